// The engine calls of the drawing surface, the band loop and the escape: bitmaps and their
// refusal, surface association and locks, palettes and clip paths.
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
  EXPECT_TRUE(EngDeleteSurface((HSURF)given));
  EXPECT_TRUE(EngDeleteSurface((HSURF)computed));
  EXPECT_FALSE(EngDeleteSurface((HSURF)computed));
}

TEST_F(EngineTest, BitmapsBeyondTheLimitOrMalformedAreRefused) {
  host::SetMaxBitmapBytes(1000);
  HBITMAP fits = EngCreateBitmap(SIZEL{100, 10}, 100, BMF_8BPP, BMF_TOPDOWN, nullptr);
  EXPECT_TRUE(fits);
  // Over the limit, rows shorter than the width, no width, an unknown format, too large.
  const int top = BMF_TOPDOWN;
  for (auto [size, stride, format, flags] :
       {std::tuple(SIZEL{100, 11}, 100, BMF_8BPP, top), {SIZEL{100, 2}, 99, BMF_8BPP, top},
        {SIZEL{0, 2}, 0, BMF_8BPP, top}, {SIZEL{4, 2}, 0, 42, top},
        {SIZEL{0x7FFFFFFF, 0x7FFFFFFF}, 0, BMF_24BPP, 0}})
    EXPECT_FALSE(EngCreateBitmap(size, stride, format, flags, nullptr)) << size.cx;
  host::Reset();
  HBITMAP large = EngCreateBitmap(SIZEL{100, 11}, 100, BMF_8BPP, BMF_TOPDOWN, nullptr);
  EXPECT_TRUE(large);
  EngDeleteSurface((HSURF)fits);
  EngDeleteSurface((HSURF)large);
}

TEST_F(EngineTest, AssociationFillsTheBoundDeviceAndMarksAreObserved) {
  HSURF surface = (HSURF)EngCreateBitmap(SIZEL{8, 8}, 0, BMF_8BPP, BMF_TOPDOWN, nullptr);
  HDEV device = host::CreateEngineDevice();
  DHPDEV driverDevice = reinterpret_cast<DHPDEV>(0x5000);
  host::BindEngineDevice(device, driverDevice);
  EXPECT_FALSE(EngAssociateSurface(surface, HDEV{}, 0));
  EXPECT_FALSE(EngAssociateSurface(HSURF{}, device, 0));
  EXPECT_FALSE(host::IsAssociated(surface));
  ASSERT_TRUE(EngAssociateSurface(surface, device, 0x40));
  const SURFOBJ* object = host::SurfaceObject(surface);
  EXPECT_EQ(std::tuple(host::IsAssociated(surface), host::SurfaceHooks(surface), object->dhpdev,
                       object->hdev, host::IsBandingSurface(surface)),
            std::tuple(true, 0x40u, driverDevice, device, false));
  EXPECT_TRUE(EngMarkBandingSurface(surface));
  EXPECT_TRUE(host::IsBandingSurface(surface));
  EXPECT_TRUE(EngDeleteSurface(surface));
  host::DeleteEngineDevice(device);
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
      {PD_BEGINSUBPATH, {{0, 0}, {16, 0}}},
      {PD_BEZIERS, {{16, 16}, {32, 16}, {32, 32}}},
      {PD_ENDSUBPATH | PD_CLOSEFIGURE, {{0, 32}}}};
  CLIPOBJ* clip = host::CreateClip(DC_COMPLEX, records);
  EXPECT_EQ(clip->iDComplexity, DC_COMPLEX);
  PATHOBJ* path = CLIPOBJ_ppoGetPath(clip);
  ASSERT_NE(path, nullptr);
  host::DeleteClip(clip);  // the path is a copy of its own
  PATHDATA data;
  for (int pass = 0; pass < 2; ++pass) {
    PATHOBJ_vEnumStart(path);
    EXPECT_TRUE(PATHOBJ_bEnum(path, &data));
    EXPECT_EQ(data.flags, static_cast<FLONG>(PD_BEGINSUBPATH));
    ASSERT_EQ(data.count, 2u);
    EXPECT_EQ(data.pptfx[1].x, 16);
    EXPECT_TRUE(PATHOBJ_bEnum(path, &data));
    EXPECT_EQ(data.count, 3u);
    EXPECT_FALSE(PATHOBJ_bEnum(path, &data));
    EXPECT_EQ(data.flags, static_cast<FLONG>(PD_ENDSUBPATH | PD_CLOSEFIGURE));
    EXPECT_EQ(data.count, 1u);
    EXPECT_FALSE(PATHOBJ_bEnum(path, &data));
    EXPECT_EQ(data.count, 0u);
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
