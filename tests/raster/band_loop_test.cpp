// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <cstring>

#include "tests/support/surface_fixture.h"

namespace test {
namespace {

class BandLoopTest : public SurfaceFixture {
 protected:
  // The banded surface of a tape acrossDots wide and lengthDots + 1 long, the engine
  // granting bitmaps of at most maxBytes.
  SURFOBJ* Enable(bool landscape, SHORT acrossDots, DWORD lengthDots, uint64_t maxBytes) {
    context_.SetMedia({Tape(262, 240, acrossDots)});
    context_.settings().dm.dmOrientation = landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
    context_.priv().privLengthDots = lengthDots;
    context_.priv().privMargin = 0;
    context_.priv().privHalftone = 2;  // the ordered matrix leaves the page image as drawn
    host::SetMaxBitmapBytes(maxBytes);
    HSURF surface = SurfaceFixture::Enable();
    return surface ? host::SurfaceObject(surface) : nullptr;
  }

  // Draws band k in level k + 1 over its whole bitmap; the origins after each band. Every
  // band but the last is taken; the last one's result, which tells whether the page
  // converted, lands in lastBandTaken.
  std::vector<POINTL> DrawBands(SURFOBJ* band, bool* lastBandTaken = nullptr) {
    std::vector<POINTL> origins;
    POINTL origin = {7, 7};
    EXPECT_TRUE(DrvStartBanding(band, &origin) && origin.x == 0 && origin.y == 0);
    for (BYTE level = 1; origin.x != -1 && level < 20; ++level) {
      const BYTE* bits = static_cast<const BYTE*>(band->pvBits);
      EXPECT_TRUE(std::all_of(bits, bits + band->cjBits, [](BYTE b) { return b == 0xFF; }));
      std::memset(band->pvBits, level, band->cjBits);
      const BOOL taken = DrvNextBand(band, &origin);
      EXPECT_TRUE(taken || origin.x == -1);
      if (lastBandTaken) *lastBandTaken = taken != FALSE;
      origins.push_back(origin);
    }
    return origins;
  }

  BYTE Page(LONG x, LONG y) const {
    return static_cast<const BYTE*>(context_->pageBuffers[0])[y * context_->pageStride + x];
  }
};

TEST_F(BandLoopTest, APortraitPageOfThreeBandsIsGatheredAndTheSurfaceRestored) {
  SURFOBJ* band = Enable(false, 1000, 3000, 1000 * 1001);  // 1000 x 3001 dots
  ASSERT_TRUE(band);
  const DeviceContext& c = *context_.get();
  EXPECT_EQ(std::tuple(c.bandCount, c.bandExtent, c.lastBandExtent, c.workBuffer), std::tuple(3u, 1001u, 999u, nullptr));
  const SURFOBJ before = *band;
  bool converted = true;
  const std::vector<POINTL> origins = DrawBands(band, &converted);
  ASSERT_EQ(origins.size(), 3u);
  EXPECT_EQ(std::tuple(origins[0].x, origins[0].y, origins[1].y, origins[2].y), std::tuple(0, 1001, 2002, -1));
  // The last band's two rows beyond the page go nowhere.
  EXPECT_EQ(std::tuple(Page(999, 1000), Page(0, 1001), Page(999, 3000)), std::tuple(1, 2, 3));
  // A page 1000 dots wide does not fit the head: its conversion fails, and the last band
  // says so.
  EXPECT_EQ(std::tuple(converted, context_->bandedPage, std::memcmp(&before, band, sizeof(before)),
                       host::SurfaceLocks(band->hsurf)),
            std::tuple(false, static_cast<DWORD>(kBandedPageFailed), 0, 0));
  EXPECT_FALSE(DrvSendPage(band)) << "the engine is told the page failed";
  // A tape of one dot across bands as well, each band copied to its place.
  ASSERT_TRUE((band = Enable(false, 1, 299, 100)) && context_->bandCount >= 3);
  DrawBands(band);
  EXPECT_EQ(std::tuple(Page(0, 0), Page(0, 299)), std::tuple(1, context_->bandCount));
}

TEST_F(BandLoopTest, LandscapeBandsAreColumnsConvertedOnceAfterTheLastShortOne) {
  SURFOBJ* band = Enable(true, 128, 300, 152 * 128);  // 301 x 128: 151 and 150 columns
  ASSERT_TRUE(band);
  ASSERT_EQ(context_->bandCount, 2u);
  bool converted = false;
  const std::vector<POINTL> origins = DrawBands(band, &converted);
  EXPECT_TRUE(converted);
  ASSERT_EQ(origins.size(), 2u);
  EXPECT_EQ(std::tuple(origins[0].x, origins[0].y), std::tuple(151, 0));
  // Row padding is no band's.
  for (LONG y : {0, 127})
    EXPECT_EQ(std::tuple(Page(150, y), Page(300, y), Page(301, y)), std::tuple(1, 2, 0xFF)) << y;
  const uint64_t writes = host::WriteCalls(printer_);
  EXPECT_GT(writes, 0u);
  POINTL origin = {0, 0};
  EXPECT_TRUE(DrvNextBand(band, &origin));  // past the last band: nothing happens again
  EXPECT_EQ(std::tuple(origin.x, origin.y, host::WriteCalls(printer_)), std::tuple(-1, -1, writes));
  EXPECT_FALSE(!DrvSendPage(band) || DrvSendPage(band)) << "the page goes once: a band is no page";
  // A document started over among the bands counts the page they send as its first.
  ASSERT_TRUE(DrvStartBanding(band, &origin) && DrvNextBand(band, &origin) && DrvStartDoc(band, nullptr, 0));
  EXPECT_TRUE(DrvNextBand(band, &origin) && DrvSendPage(band) && context_->pageCount == 1);
}

TEST_F(BandLoopTest, ABandLaidOutWiderThanThePageIsCopiedRowByRow) {
  SURFOBJ* band = Enable(false, 100, 299, 100 * 101);  // 100 x 300 dots: 3 bands of 100 rows
  ASSERT_TRUE(band && context_->bandCount == 3 && context_->pageStride == 100);
  // The engine's band rows 106 bytes apart, their last 6 bytes not the page's.
  std::vector<BYTE> rows(106 * 100);
  SURFOBJ wide = *band;
  wide.lDelta = 106;
  wide.pvBits = wide.pvScan0 = rows.data();
  wide.cjBits = static_cast<ULONG>(rows.size());
  POINTL origin = {};
  ASSERT_TRUE(DrvStartBanding(band, &origin));
  for (BYTE level = 1; level <= 3; ++level) {
    for (size_t r = 0; r < 100; ++r) {
      std::memset(&rows[r * 106], level, 100);
      std::memset(&rows[r * 106 + 100], 0xEE, 6);
    }
    DrvNextBand(&wide, &origin);
  }
  EXPECT_EQ(origin.y, -1);
  for (LONG y : {0, 1, 99, 100, 299})
    EXPECT_EQ(std::tuple(Page(0, y), Page(99, y)), std::tuple(y / 100 + 1, y / 100 + 1)) << y;
}

TEST_F(BandLoopTest, AnAbortStopsEitherEntry) {
  SURFOBJ* band = Enable(true, 128, 300, 152 * 128);
  ASSERT_TRUE(band);
  POINTL origin = {0, 0};
  host::SetAbort(true);
  EXPECT_FALSE(DrvStartBanding(band, &origin));
  host::SetAbort(false);
  EXPECT_FALSE(DrvNextBand(band, nullptr) || DrvStartBanding(band, nullptr));
  ASSERT_TRUE(DrvStartBanding(band, &origin));
  std::memset(band->pvBits, 9, band->cjBits);
  host::SetAbort(true);
  EXPECT_FALSE(DrvNextBand(band, &origin));
  EXPECT_EQ(std::pair(context_->bandIndex, Page(0, 0)), std::pair(0u, BYTE{0xFF})) << "aborted, not taken";
}

}  // namespace
}  // namespace test
