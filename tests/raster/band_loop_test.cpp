#include <algorithm>
#include <cstring>
#include <memory>

#include "driver/ddi.h"
#include "raster/band_loop.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace test {
namespace {

bool AllWhite(const SURFOBJ* band) {
  const BYTE* bits = static_cast<const BYTE*>(band->pvBits);
  return std::all_of(bits, bits + band->cjBits, [](BYTE b) { return b == 0xFF; });
}

class BandLoopTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    printer_ = host::AddPrinter({});
  }
  void TearDown() override {
    if (context_) DrvDisableSurface(HandleFromContext(context_->get()));
    context_.reset();
    host::DeleteEngineDevice(device_);
    host::RemovePrinter(printer_);
    ExpectNothingLeaked();
    HostTest::TearDown();
  }

  // Enables the surface of a continuous tape with acrossDots on the head and a page of
  // lengthDots + 1 along the tape, the engine granting bitmaps of at most maxBytes.
  SURFOBJ* Enable(bool landscape, SHORT acrossDots, DWORD lengthDots, uint64_t maxBytes) {
    context_ = std::make_unique<TestContext>(std::vector<Medium>{Tape(262, 240, acrossDots)});
    DeviceContext* context = context_->get();
    context->settings.dm.dmOrientation = landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
    PrivateSettings& priv = context_->priv();
    priv.privLengthDots = lengthDots;
    priv.privMargin = 0;
    priv.privHalftone = 2;  // the ordered matrix leaves the page image as it was drawn
    context->printer = printer_;
    device_ = host::CreateEngineDevice();
    host::BindEngineDevice(device_, HandleFromContext(context));
    context->engineDevice = device_;
    host::SetMaxBitmapBytes(maxBytes);
    HSURF surface = DrvEnableSurface(HandleFromContext(context));
    return surface ? host::SurfaceObject(surface) : nullptr;
  }

  // Runs the band loop drawing band k in level k + 1 over its whole bitmap, and returns the
  // origins given for the bands after the first.
  std::vector<POINTL> DrawBands(SURFOBJ* band) {
    std::vector<POINTL> origins;
    POINTL origin = {7, 7};
    EXPECT_TRUE(DrvStartBanding(band, &origin));
    EXPECT_EQ(origin.x, 0);
    EXPECT_EQ(origin.y, 0);
    for (BYTE level = 1; origin.x != -1 && level < 20; ++level) {
      EXPECT_TRUE(AllWhite(band)) << "band " << int(level);
      std::memset(band->pvBits, level, band->cjBits);
      EXPECT_TRUE(DrvNextBand(band, &origin));
      origins.push_back(origin);
    }
    EXPECT_TRUE(AllWhite(band));
    return origins;
  }

  BYTE PagePixel(LONG x, LONG y) const {
    const DeviceContext* context = context_->get();
    return static_cast<const BYTE*>(context->pageBuffers[0])[y * context->pageStride + x];
  }

  HANDLE printer_ = nullptr;
  HDEV device_ = {};
  std::unique_ptr<TestContext> context_;
};

TEST_F(BandLoopTest, PortraitPageOfThreeBandsIsGatheredRowByRowAndTheSurfaceRestored) {
  SURFOBJ* band = Enable(false, 1000, 3000, 1000 * 1001);  // 1000 x 3001 dots
  ASSERT_TRUE(band);
  const DeviceContext* context = context_->get();
  EXPECT_EQ(context->bandCount, 3u);
  EXPECT_EQ(context->bandExtent, 1001u);
  EXPECT_EQ(context->lastBandExtent, 999u);
  EXPECT_TRUE(context->surfaceFlags & SF_BANDING);
  EXPECT_TRUE(host::IsBandingSurface(context->surface));
  const SURFOBJ before = *band;

  std::vector<POINTL> origins = DrawBands(band);
  ASSERT_EQ(origins.size(), 3u);
  EXPECT_EQ(origins[0].y, 1001);
  EXPECT_EQ(origins[1].y, 2002);
  EXPECT_EQ(origins[2].x, -1);
  EXPECT_EQ(origins[2].y, -1);
  // The last band's two rows beyond the page went nowhere (the page image has no room).
  EXPECT_EQ(PagePixel(999, 0), 1);
  EXPECT_EQ(PagePixel(0, 1000), 1);
  EXPECT_EQ(PagePixel(0, 1001), 2);
  EXPECT_EQ(PagePixel(999, 3000), 3);
  // A page 1000 dots wide does not fit the head: its conversion fails, and says so.
  EXPECT_EQ(context->bandedPage, static_cast<DWORD>(BP_FAILED));
  EXPECT_EQ(band->pvBits, before.pvBits);
  EXPECT_EQ(band->pvScan0, before.pvScan0);
  EXPECT_EQ(band->lDelta, before.lDelta);
  EXPECT_EQ(band->cjBits, before.cjBits);
  EXPECT_EQ(band->sizlBitmap.cy, before.sizlBitmap.cy);
  EXPECT_EQ(host::SurfaceLocks(context->surface), 0);
}

TEST_F(BandLoopTest, LandscapeBandsAreColumnsConvertedOnceAfterTheLastShortOne) {
  // 301 x 128 dots: two bands of 151 and 150 columns.
  SURFOBJ* band = Enable(true, 128, 300, 152 * 128);
  ASSERT_TRUE(band);
  const DeviceContext* context = context_->get();
  ASSERT_EQ(context->bandCount, 2u);
  EXPECT_EQ(context->lastBandExtent, 150u);
  EXPECT_EQ(band->lDelta, 152);

  std::vector<POINTL> origins = DrawBands(band);
  ASSERT_EQ(origins.size(), 2u);
  EXPECT_EQ(origins[0].x, 151);
  EXPECT_EQ(origins[0].y, 0);
  EXPECT_EQ(origins[1].x, -1);
  for (LONG y : {0, 127}) {
    EXPECT_EQ(PagePixel(150, y), 1);
    EXPECT_EQ(PagePixel(151, y), 2);
    EXPECT_EQ(PagePixel(300, y), 2);
    EXPECT_EQ(PagePixel(301, y), 0xFF) << "the row padding is not part of any band";
  }
  EXPECT_EQ(context->bandedPage, static_cast<DWORD>(BP_CONVERTED));
  const uint64_t writes = host::WriteCalls(printer_);
  EXPECT_GT(writes, 0u);

  // The engine calling once more finds the page done: nothing is copied or sent again.
  POINTL origin = {0, 0};
  EXPECT_TRUE(DrvNextBand(band, &origin));
  EXPECT_EQ(origin.x, -1);
  EXPECT_EQ(origin.y, -1);
  EXPECT_EQ(host::WriteCalls(printer_), writes);
}

TEST_F(BandLoopTest, AFailedLockAbandonsThePageAndAnAbortStopsEitherEntry) {
  SURFOBJ* band = Enable(true, 128, 300, 152 * 128);
  ASSERT_TRUE(band);
  DeviceContext* context = context_->get();
  const SURFOBJ before = *band;
  host::FailCall(host::Call::EngLockSurface, 1);
  DrawBands(band);
  EXPECT_EQ(context->bandedPage, static_cast<DWORD>(BP_FAILED));
  EXPECT_EQ(band->pvBits, before.pvBits);
  EXPECT_EQ(host::WriteCalls(printer_), 0u);

  POINTL origin = {0, 0};
  host::SetAbort(true);
  EXPECT_FALSE(DrvStartBanding(band, &origin));
  host::SetAbort(false);
  ASSERT_TRUE(DrvStartBanding(band, &origin));
  host::SetAbort(true);
  EXPECT_FALSE(DrvNextBand(band, &origin));
  EXPECT_EQ(context->bandIndex, 0u);
  EXPECT_EQ(PagePixel(0, 0), 1) << "the aborted band was not copied";
}

}  // namespace
}  // namespace test
