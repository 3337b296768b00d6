// SPDX-License-Identifier: Apache-2.0
#include "device/media_definitions.h"
#include "driver/surface.h"
#include "tests/support/surface_fixture.h"

namespace test {
namespace {

class SurfaceTest : public SurfaceFixture {
 protected:
  void SetUp() override {
    SurfaceFixture::SetUp();
    context_.SetMedia({Tape(262, 240, 127), Label(263, 240, 128, 282, 247, 400, 350)});
  }
  // Page width and height in dots of medium m (and definition d), or 0 x 0 when refused.
  SIZEL Extent(LONG m, LONG d = -1) {
    SIZEL size = {0, 0};
    ComputePageExtent(context_.get(), m, d, &size.cx, &size.cy);
    return size;
  }
};

TEST_F(SurfaceTest, PageExtentFollowsTheTapeTheExchangeBlockAndTheLabelWithin32Bits) {
  PrivateSettings& priv = context_.priv();
  DEVMODEW& dm = context_.settings().dm;
  EXPECT_EQ(Extent(0).cy, 1417 - 2 * 57 + 1);  // continuous: both feed margins off, plus one
  priv.xbReport |= 0x40;                        // the margin in dots from the exchange block
  priv.xbMargin = 10;
  priv.xbRequest |= 0x2;                        // and a length, unless within a dot
  for (auto [dots, length, rows] : {std::tuple{18u, 0u, 0}, {19u, 0u, 0}, {20u, 0u, 1}, {1417u, 1418u, 1398},
                                    {1417u, 1416u, 1398}, {1417u, 1415u, 1396}, {1417u, 20u, 1398}, {1417u, 1419u, 1400}}) {
    priv.privLengthDots = dots;  // no more than both margins (20): no page, not a wrapped one
    priv.xbLength = length;      // counts more than a dot from the settled length, past the margins
    EXPECT_EQ(std::pair(Extent(0).cx, Extent(0).cy), std::pair(rows ? 127 : 0, rows)) << dots << " " << length;
  }
  dm.dmOrientation = DMORIENT_LANDSCAPE;
  EXPECT_EQ(std::pair(Extent(0).cx, Extent(0).cy), std::pair(1419 - 20 + 1, 127));
  dm.dmOrientation = DMORIENT_PORTRAIT;
  EXPECT_EQ(Extent(1).cy, 350);  // a label takes no margin from the job
  priv.privSmallChar = 1;
  EXPECT_EQ(Extent(1).cx, 128);
  dm.dmYResolution = 720;        // doubled across the head at 720 dpi only
  EXPECT_EQ(std::pair(Extent(1).cx, Extent(1).cy), std::pair(256, 700));

  dm.dmYResolution = 360;
  priv.xbRequest = 0;
  MediaDefinition definitions[MEDIA_DEFINITION_SLOTS] = {};
  definitions[1].defMargin = 300;  // 3 mm: 43 dots, at both ends
  context_->mediaDefinitions = definitions;
  context_->mediaDefinitionCount = 2;
  EXPECT_EQ(Extent(0, 1).cy, 1417 - 86 + 1);
  EXPECT_EQ(Extent(0, 2).cy, 0) << "past the definitions read";
  EXPECT_EQ(Extent(2).cy, 0) << "the terminator";
  context_->mediaDefinitions = nullptr;
  // A page beyond 32-bit sizes is refused before anything is allocated.
  context_.priv().privLengthDots = 0x7FFFFFF0;
  const uint64_t bitmaps = host::CallCount(host::Call::EngCreateBitmap);
  EXPECT_FALSE(Enable());
  EXPECT_EQ(host::CallCount(host::Call::EngCreateBitmap), bitmaps);
  context_.SetMedia({Tape(262, 240, 1)});
  EXPECT_EQ(Extent(0).cx, 1) << "a tape of one dot across";
  priv.privLengthDots = 22, priv.privHalftone = kToneErrorDiffusion;  // the least page diffuses too
  EXPECT_EQ(std::pair(Extent(0).cy, Enable() != HSURF{}), std::pair(3, true));
}

TEST_F(SurfaceTest, BandSearchSkipsBandCountsWhoseLastBandWouldBeEmpty) {
  context_.priv().privLengthDots = 62;  // 63 rows
  context_.priv().privMargin = 0;
  // 1 to 12 bands are too large (10 and 12 are never asked for: their last band would have
  // 0 and -3 rows), and 13 is refused.
  host::SetMaxBitmapBytes(128 * 5);
  host::FailCall(host::Call::EngCreateBitmap, 11);
  ASSERT_TRUE(Enable());
  // 14 and 15 bands of 5 rows would leave -2 and -7 rows; the last count, 16 of 4, leaves 3.
  EXPECT_EQ(std::pair(context_->bandCount, context_->lastBandExtent), std::pair(16u, 3u));
  // 68 rows would fit in 17 bands of 4, but 16 is the most.
  context_.priv().privLengthDots = 67;
  host::SetMaxBitmapBytes(128 * 4);
  EXPECT_EQ(Enable(), HSURF{});
}

TEST_F(SurfaceTest, EveryFailureReleasesWhatTheEnableMadeAndTheBufferIsReleasedOnce) {
  SideRecord* side = context_->sideRecord;
  side->srMode = 2;
  host::SetMaxBitmapBytes(128 * 700);  // two bands, a page image, a work line, three rows
  int failures = 0;
  for (uint64_t nth = 1; nth < 100; ++nth) {
    host::ClearFailures();
    host::FailAnyCall(nth);
    HSURF surface = Enable();
    if (surface) {
      EXPECT_EQ(context_->pageStride, 128u) << "127 dots in even rows";
      EXPECT_EQ(host::SurfaceHooks(surface), 0u);
      EXPECT_TRUE(host::IsBandingSurface(surface));
    } else {
      ++failures;
      EXPECT_EQ(context_->lineBuffers->rowCount, 0) << "no surface that prints blank";
    }
    Disable();
    EXPECT_EQ(side->srBuffer, nullptr);
    Disable();  // finds nothing to release twice
    if (host::FailuresStruck() == 0) break;
  }
  // The buffer, association, page image, work line, three rows and the banding mark; a
  // refused bitmap only means one band more.
  EXPECT_EQ(failures, 8);
}

// The engine may enable a surface again without disabling it: the old surface is given up
// (the fixture's checks find it otherwise) and the side buffer kept, not made twice.
TEST_F(SurfaceTest, ASurfaceEnabledAgainGivesUpTheOldOneAndKeepsItsSideBuffer) {
  context_->sideRecord->srMode = 2;
  ASSERT_NE(Enable(), HSURF{});
  const int64_t blocks = host::Live().heapBlocks;
  EXPECT_TRUE(Enable() != HSURF{} && host::Live().heapBlocks == blocks);
}

}  // namespace
}  // namespace test
