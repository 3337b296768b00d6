#include <memory>

#include "driver/ddi.h"
#include "driver/surface.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace test {
namespace {

class SurfaceTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    context_ = std::make_unique<TestContext>(std::vector<Medium>{
        Tape(262, 240, 128), Label(263, 240, 128, 282, 247, 400, 350)});
    DeviceContext* context = context_->get();
    context->settings.dm.dmOrientation = DMORIENT_PORTRAIT;
    device_ = host::CreateEngineDevice();
    host::BindEngineDevice(device_, HandleFromContext(context));
    context->engineDevice = device_;
    baseline_ = host::Live();
  }
  void TearDown() override {
    context_.reset();
    host::DeleteEngineDevice(device_);
    HostTest::TearDown();
  }

  // Page width and height in dots for medium m without a definition.
  SIZEL Extent(LONG m, LONG definition = -1) {
    SIZEL size = {0, 0};
    EXPECT_TRUE(ComputePageExtent(context_->get(), m, definition, &size.cx, &size.cy));
    return size;
  }
  HSURF Enable() { return DrvEnableSurface(HandleFromContext(context_->get())); }
  void Disable() { DrvDisableSurface(HandleFromContext(context_->get())); }

  std::unique_ptr<TestContext> context_;
  HDEV device_ = {};
};

TEST_F(SurfaceTest, PageExtentFollowsTheTapeTheExchangeBlockAndTheLabel) {
  PrivateSettings& priv = context_->priv();
  DEVMODEW& dm = context_->settings().dm;
  // Continuous tape: the job's length less both feed margins, plus one.
  EXPECT_EQ(Extent(0).cx, 128);
  EXPECT_EQ(Extent(0).cy, 1417 - 2 * 57 + 1);
  priv.xbReport |= 0x40;  // the margin in dots comes from the exchange block
  priv.xbMargin = 10;
  EXPECT_EQ(Extent(0).cy, 1417 - 20 + 1);
  priv.xbRequest |= 0x2;  // and so does a length, unless it is within a dot of the job's
  priv.xbLength = 1418;
  EXPECT_EQ(Extent(0).cy, 1417 - 20 + 1);
  priv.xbLength = 2000;
  EXPECT_EQ(Extent(0).cy, 2000 - 20 + 1);
  dm.dmOrientation = DMORIENT_LANDSCAPE;
  EXPECT_EQ(Extent(0).cx, 2000 - 20 + 1);
  EXPECT_EQ(Extent(0).cy, 128);
  dm.dmOrientation = DMORIENT_PORTRAIT;

  // A fixed label takes no margin from the job, and is scaled to the feed resolution.
  EXPECT_EQ(Extent(1).cy, 350);
  dm.dmYResolution = 720;
  EXPECT_EQ(Extent(1).cy, 700);
  EXPECT_EQ(Extent(1).cx, 128);
  priv.privSmallChar = 1;  // twice the dots across the head, at 720 dpi only
  EXPECT_EQ(Extent(1).cx, 256);
  dm.dmYResolution = 360;
  EXPECT_EQ(Extent(1).cx, 128);

  // A media definition's margin (hundredths of a millimetre) in whole dots, twice.
  auto* definitions = static_cast<MediaDefinition*>(GlobalAlloc(GPTR, MEDIA_DEFINITION_BLOCK_SIZE));
  definitions[0].defMargin = 300;  // 3 mm: 43 dots at 360 dpi
  context_->get()->mediaDefinitions = definitions;
  context_->get()->mediaDefinitionCount = 1;
  priv.xbRequest = 0;
  EXPECT_EQ(Extent(0, 0).cy, 1417 - 86 + 1);
  LONG cx = 0, cy = 0;
  EXPECT_FALSE(ComputePageExtent(context_->get(), 0, 1, &cx, &cy)) << "past the definitions read";
  EXPECT_FALSE(ComputePageExtent(context_->get(), 2, -1, &cx, &cy)) << "the terminator";
  dm.dmPrintQuality = 0;
  EXPECT_FALSE(ComputePageExtent(context_->get(), 0, -1, &cx, &cy));
}

TEST_F(SurfaceTest, AWholePageSurfaceHasEvenRowsNoHooksAndItsDiffusionRows) {
  context_->SetMedia({Tape(262, 240, 127)});
  baseline_ = host::Live();
  HSURF surface = Enable();
  ASSERT_TRUE(surface);
  const DeviceContext* context = context_->get();
  EXPECT_EQ(context->bandCount, 1u);
  EXPECT_FALSE(context->surfaceFlags & SF_BANDING);
  EXPECT_EQ(context->pageStride, 128u);
  EXPECT_EQ(host::SurfaceObject(surface)->lDelta, 128);
  EXPECT_TRUE(host::IsAssociated(surface));
  EXPECT_EQ(host::SurfaceHooks(surface), 0u);
  EXPECT_FALSE(host::IsBandingSurface(surface));
  EXPECT_EQ(context->pageBuffers[0], nullptr);
  EXPECT_NE(context->workBuffer, nullptr);
  EXPECT_EQ(context->lineBuffers->rowCount, 3);
  Disable();
  EXPECT_EQ(context->surface, HSURF{});
  ExpectNothingLeaked();
}

TEST_F(SurfaceTest, BandSearchSkipsBandCountsWhoseLastBandWouldBeEmpty) {
  context_->priv().privLengthDots = 99;  // 100 rows
  context_->priv().privMargin = 0;
  host::SetMaxBitmapBytes(128 * 8);  // 1 to 12 bands are too large (11 is never asked for:
                                     // its last band would be empty)
  host::FailCall(host::Call::EngCreateBitmap, 12);  // and 13 is refused
  ASSERT_TRUE(Enable());
  // 14 bands of 8 rows would leave -4 rows for the last; 15 bands of 7 leave 2.
  EXPECT_EQ(context_->get()->bandCount, 15u);
  EXPECT_EQ(context_->get()->bandExtent, 7u);
  EXPECT_EQ(context_->get()->lastBandExtent, 2u);
  Disable();
}

TEST_F(SurfaceTest, EveryFailureReleasesWhatTheEnableMadeAndTheBufferIsReleasedOnce) {
  SideRecord* side = context_->get()->sideRecord;
  side->srMode = 2;
  host::SetMaxBitmapBytes(128 * 700);  // two bands, a page image, a work line, three rows
  int failures = 0;
  for (uint64_t nth = 1; nth < 100; ++nth) {
    host::ClearFailures();
    host::FailAnyCall(nth);
    HSURF surface = Enable();
    const bool struck = host::FailuresStruck() != 0;
    if (!surface) {
      ++failures;
      EXPECT_EQ(context_->get()->surface, HSURF{});
      EXPECT_EQ(context_->get()->pageBuffers[0], nullptr);
      EXPECT_EQ(context_->get()->workBuffer, nullptr);
      EXPECT_EQ(context_->get()->lineBuffers->rowCount, 0) << "no surface that prints blank";
    } else {
      EXPECT_NE(side->srBuffer, nullptr);
    }
    Disable();
    EXPECT_EQ(side->srBuffer, nullptr);
    Disable();  // a second disable finds nothing to release twice
    ExpectNothingLeaked();
    if (!struck) break;
  }
  // The buffer, association, page image, work line, three rows and the banding mark; a
  // refused bitmap only means one band more.
  EXPECT_EQ(failures, 8);
  EXPECT_TRUE(context_->get()->surfaceFlags & SF_BANDING);
}

TEST_F(SurfaceTest, APageBeyondThirtyTwoBitSizesIsRefusedBeforeAnythingIsAllocated) {
  context_->priv().privLengthDots = 0x7FFFFFF0;
  EXPECT_FALSE(Enable());
  EXPECT_EQ(host::CallCount(host::Call::EngCreateBitmap), 0u);
  EXPECT_EQ(host::CallCount(host::Call::GlobalAlloc), 0u);
  ExpectNothingLeaked();
}

}  // namespace
}  // namespace test
