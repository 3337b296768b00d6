// SPDX-License-Identifier: Apache-2.0
// The device capability table handed to the engine.
#include <cstring>
#include <vector>

#include "device/gdi_info.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

constexpr COLORINFO kDefaultColors = {{6380, 3350}, {2345, 6075}, {1410, 932}, {2000, 2450},
                                      {5210, 2100}, {4750, 5100}, {3127, 3290}, 12500, 12500,
                                      12500, 585, 120, 0, 0, 0, 10000};

// On the default 24 mm continuous tape: 340 dots wide, 128 printable, 9.0 mm printable.
class GdiInfoTest : public test::ContextTest {
 protected:
  GDIINFO Fill(SHORT orientation, SHORT yResolution) {
    context_.settings().dm.dmOrientation = orientation;
    context_.settings().dm.dmYResolution = yResolution;
    GDIINFO info[2];  // an engine buffer larger than the table gets only the table
    std::memset(info, 0xCC, sizeof(info));
    FillGdiInfo(context_.get(), sizeof(info), info);
    EXPECT_EQ(info[1].ulVersion, 0xCCCCCCCCu);
    return info[0];
  }
};

TEST_F(GdiInfoTest, TheWholeTableAt360DpiPortraitOnContinuousTape) {
  // Across: 128 of 340 dots, 9.0 mm. Along: 1417 dots less 2 x 57 of margin plus 1, and
  // 1000 tenths less 2 x 4 mm.
  const GDIINFO expected = {
      .ulVersion = 0x400, .ulTechnology = DT_RASPRINTER,
      .ulHorzSize = static_cast<ULONG>(-9000), .ulVertSize = static_cast<ULONG>(-92000),
      .ulHorzRes = 128, .ulVertRes = 1304, .cBitsPixel = 8, .cPlanes = 1, .ulNumColors = 8,
      .ulLogPixelsX = 360, .ulLogPixelsY = 360, .ulAspectX = 360, .ulAspectY = 360,
      .ulAspectXY = 509, .xStyleStep = 1, .yStyleStep = 1, .denStyleStep = 14,
      .ptlPhysOffset = {106, 57}, .szlPhysSize = {340, 1418}, .ulNumPalReg = 256,
      .ciDevice = kDefaultColors, .ulDevicePelsDPI = 360, .ulHTPatternSize = HT_PATSIZE_6x6_M,
      .ulHTOutputFormat = HT_FORMAT_4BPP, .flHTFlags = HT_FLAG_HAS_BLACK_DYE};
  GDIINFO info = Fill(DMORIENT_PORTRAIT, 360);
  EXPECT_EQ(std::memcmp(&info, &expected, sizeof(info)), 0);
  EXPECT_EQ(context_->sideRecord->srMode, 2);  // the surface reads it
}

TEST_F(GdiInfoTest, A720DpiFeedDoublesTheAlongAxisInEitherOrientation) {
  GDIINFO p = Fill(DMORIENT_PORTRAIT, 720);
  EXPECT_EQ(std::vector<ULONG>({p.ulLogPixelsX, p.ulLogPixelsY, p.ulAspectX, p.ulAspectY,
                                p.ulAspectXY}), std::vector<ULONG>({360, 720, 720, 360, 804}));
  EXPECT_EQ(Fill(DMORIENT_PORTRAIT, 480).ulAspectXY, 600u) << "the whole root of 360 x 360 + 480 x 480";
  EXPECT_EQ(std::make_pair(p.xStyleStep, p.yStyleStep), std::make_pair(1, 2));
  EXPECT_EQ(p.ulHTPatternSize, 5u) << "the pattern follows the across resolution";
  GDIINFO l = Fill(DMORIENT_LANDSCAPE, 720);
  EXPECT_EQ(std::vector<ULONG>({l.ulLogPixelsX, l.ulLogPixelsY, l.ulAspectX, l.ulAspectY, l.ulHorzRes}),
            std::vector<ULONG>({720, 360, 360, 720, p.ulVertRes}));
  EXPECT_EQ(std::make_pair(l.xStyleStep, l.yStyleStep), std::make_pair(2, 1));
}

TEST_F(GdiInfoTest, PatternSizesFollowThePrintersCompleteHalftoneData) {
  DEVHTINFO stored = {0x7, 16, 300, {.RedGamma = 20000}};
  std::vector<uint8_t> bytes = test::BytesOf(stored);
  host::SetPrinterDataBinary(context_->printer, u"CurDevHTInfo", bytes);
  GDIINFO info = Fill(DMORIENT_PORTRAIT, 360);
  EXPECT_EQ(info.ulHTPatternSize, 5u) << "16 is beyond the engine's patterns";
  EXPECT_EQ(std::tuple(info.ulDevicePelsDPI, info.ciDevice.RedGamma), std::tuple(300u, 20000));
  stored.HTPatternSize = HT_PATSIZE_16x16_M;  // the largest the engine knows is kept
  host::SetPrinterDataBinary(context_->printer, u"CurDevHTInfo", test::BytesOf(stored));
  EXPECT_EQ(Fill(DMORIENT_PORTRAIT, 360).ulHTPatternSize, ULONG{HT_PATSIZE_16x16_M});

  bytes.resize(128);
  host::SetPrinterDataBinary(context_->printer, u"CurDevHTInfo", bytes);
  info = Fill(DMORIENT_PORTRAIT, 360);
  EXPECT_EQ(info.ulDevicePelsDPI, 360u);
  EXPECT_EQ(std::memcmp(&info.ciDevice, &kDefaultColors, sizeof(COLORINFO)), 0);
}

// Each halftone pattern size from its band's first resolution on.
TEST(HalftonePatternSizeTest, EachBandStartsAtItsResolution) {
  const std::pair<ULONG, ULONG> edges[] = {
      {2400, HT_PATSIZE_16x16_M}, {2399, HT_PATSIZE_14x14_M}, {1800, HT_PATSIZE_14x14_M}, {1799, HT_PATSIZE_12x12_M},
      {1200, HT_PATSIZE_12x12_M}, {1199, HT_PATSIZE_10x10_M}, {900, HT_PATSIZE_10x10_M}, {899, HT_PATSIZE_8x8_M},
      {400, HT_PATSIZE_8x8_M}, {399, HT_PATSIZE_6x6_M}, {180, HT_PATSIZE_6x6_M}, {179, HT_PATSIZE_4x4_M}};
  for (const auto& [resolution, size] : edges) EXPECT_EQ(PickHalftonePatternSize(resolution), size) << resolution;
}

TEST_F(GdiInfoTest, TheEngineGetsNoMoreThanItsBufferAndNothingWithoutAMediaTable) {
  GDIINFO whole = Fill(DMORIENT_LANDSCAPE, 360);
  std::vector<uint8_t> buffer(sizeof(GDIINFO), 0xCC);
  FillGdiInfo(context_.get(), 200, reinterpret_cast<GDIINFO*>(buffer.data()));
  EXPECT_EQ(std::tuple(std::memcmp(buffer.data(), &whole, 200), buffer[200]), std::tuple(0, 0xCC));
  std::fill(buffer.begin(), buffer.end(), 0xCC);
  context_->modelData.mediaTable = nullptr;
  FillGdiInfo(context_.get(), sizeof(GDIINFO), reinterpret_cast<GDIINFO*>(buffer.data()));
  EXPECT_EQ(buffer, std::vector<uint8_t>(sizeof(GDIINFO), 0xCC));
}

}  // namespace
