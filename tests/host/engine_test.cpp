// SPDX-License-Identifier: Apache-2.0
// The engine calls of the drawing surface, the band loop and the escape: bitmaps and their
// refusal, locks and clip paths. (What an association binds is checked where the driver
// makes one, in SurfaceTest and every banded document.)
#include "tests/support/host_test.h"

namespace {

using EngineTest = HostTest;

TEST_F(EngineTest, BitmapsGetZeroedBitsAndDescribeTheirRows) {
  HBITMAP given = EngCreateBitmap(SIZEL{100, 3}, 128, BMF_8BPP, BMF_TOPDOWN, nullptr);
  HBITMAP computed = EngCreateBitmap(SIZEL{5, 4}, 0, BMF_8BPP, 0, nullptr);
  ASSERT_TRUE(given && computed && given != computed);
  SURFOBJ* top = host::SurfaceObject((HSURF)given);
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(std::tuple(top->hsurf, top->sizlBitmap.cx, top->cjBits, top->lDelta, top->pvScan0),
            std::tuple((HSURF)given, 100, 384u, 128, top->pvBits));
  const BYTE* bits = static_cast<const BYTE*>(top->pvBits);
  EXPECT_EQ(bits[0] | bits[383], 0);
  // Rows padded to 32 bits; bottom-up rows start from the last.
  SURFOBJ* bottom = host::SurfaceObject((HSURF)computed);
  EXPECT_EQ(std::tuple(bottom->cjBits, bottom->lDelta, bottom->pvScan0),
            std::tuple(32u, -8, static_cast<BYTE*>(bottom->pvBits) + 24));
  EXPECT_EQ(host::Live().surfaces - baseline_.surfaces, 2);
  EXPECT_TRUE(EngDeleteSurface((HSURF)given) && EngDeleteSurface((HSURF)computed) && !EngDeleteSurface((HSURF)computed));
  EXPECT_EQ(host::Live().badReleases, ++baseline_.badReleases) << "a bitmap deleted twice is counted";
}

TEST_F(EngineTest, BitmapsBeyondTheLimitOrMalformedAreRefused) {
  host::SetMaxBitmapBytes(1000);
  HBITMAP fits = EngCreateBitmap(SIZEL{100, 10}, 100, BMF_8BPP, BMF_TOPDOWN, nullptr);
  EXPECT_TRUE(fits);
  // Over the limit, rows shorter than the width, no width, an unknown format, too large.
  const int top = BMF_TOPDOWN;
  for (auto [size, stride, format, flags] :
       {std::tuple(SIZEL{100, 11}, 100, BMF_8BPP, top), {SIZEL{100, 2}, 99, BMF_8BPP, top},
        {SIZEL{0, 2}, 0, BMF_8BPP, top}, {SIZEL{4, 2}, 0, 42, top}, {SIZEL{0x7FFFFFFF, 0x7FFFFFFF}, 0, BMF_24BPP, 0}})
    EXPECT_FALSE(EngCreateBitmap(size, stride, format, flags, nullptr)) << size.cx;
  host::Reset();
  HBITMAP large = EngCreateBitmap(SIZEL{100, 11}, 100, BMF_8BPP, BMF_TOPDOWN, nullptr);
  EXPECT_TRUE(large);
  EngDeleteSurface((HSURF)fits);
  EngDeleteSurface((HSURF)large);
}

TEST_F(EngineTest, ALockedSurfaceMayBeRewrittenButIsNotDeletedUntilUnlocked) {
  HSURF surface = (HSURF)EngCreateBitmap(SIZEL{8, 8}, 0, BMF_8BPP, BMF_TOPDOWN, nullptr);
  SURFOBJ* locked = EngLockSurface(surface);
  ASSERT_NE(locked, nullptr);
  EXPECT_EQ(EngLockSurface(surface), locked);
  EXPECT_EQ(host::SurfaceLocks(surface), 2);
  // The band loop points the record at its page image while it holds the lock.
  BYTE page[256] = {};
  locked->pvBits = page;
  locked->hsurf = HSURF{};
  EngUnlockSurface(locked);
  EXPECT_FALSE(EngDeleteSurface(surface));
  EngUnlockSurface(locked);
  EXPECT_EQ(host::SurfaceLocks(surface), 0);
  EXPECT_TRUE(EngDeleteSurface(surface));
  EXPECT_EQ(EngLockSurface(surface), nullptr);
}

TEST_F(EngineTest, AClipPathEnumeratesEachRecordAndSaysWhenItIsTheLastOrHasNone) {
  std::vector<host::PathRecord> records = {
      {PD_BEGINSUBPATH, {{0, 0}, {16, 0}}}, {PD_BEZIERS, {{16, 16}, {32, 16}, {32, 32}}},
      {PD_ENDSUBPATH | PD_CLOSEFIGURE, {{0, 32}}}};
  CLIPOBJ* clip = host::CreateClip(DC_COMPLEX, records);
  EXPECT_EQ(clip->iDComplexity, DC_COMPLEX);
  PATHOBJ* path = CLIPOBJ_ppoGetPath(clip);
  ASSERT_NE(path, nullptr);
  host::DeleteClip(clip);  // the path is a copy of its own
  PATHDATA data;
  for (int pass = 0; pass < 2; ++pass) {
    PATHOBJ_vEnumStart(path);
    // The last record comes with FALSE; after it, nothing.
    std::vector<std::tuple<BOOL, FLONG, ULONG, FIX>> seen;
    for (int call = 0; call < 4; ++call) {
      const BOOL more = PATHOBJ_bEnum(path, &data);
      seen.emplace_back(more, data.flags, data.count, data.count ? data.pptfx[data.count - 1].x : -1);
    }
    EXPECT_EQ(seen, (std::vector<std::tuple<BOOL, FLONG, ULONG, FIX>>{
                        {TRUE, PD_BEGINSUBPATH, 2, 16}, {TRUE, PD_BEZIERS, 3, 32},
                        {FALSE, PD_ENDSUBPATH | PD_CLOSEFIGURE, 1, 0}, {FALSE, 0, 0, -1}}));
  }
  EXPECT_EQ(host::Live().paths - baseline_.paths, 1);
  EngDeletePath(path);

  // An empty clip gives nothing to walk; a refused one no path at all.
  clip = host::CreateClip(DC_COMPLEX);
  path = CLIPOBJ_ppoGetPath(clip);
  ASSERT_NE(path, nullptr);
  data = PATHDATA{7, 7, nullptr};
  PATHOBJ_vEnumStart(path);
  EXPECT_FALSE(PATHOBJ_bEnum(path, &data));
  EXPECT_EQ(data.count, 0u);
  EngDeletePath(path);
  host::FailCall(host::Call::ClipPath, 1);
  EXPECT_EQ(CLIPOBJ_ppoGetPath(clip), nullptr);
  host::DeleteClip(clip);
  EXPECT_EQ(CLIPOBJ_ppoGetPath(clip), nullptr);
}

}  // namespace
