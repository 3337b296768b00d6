// The device capability table handed to the engine.
#include <cstring>
#include <vector>

#include "device/gdi_info.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

constexpr COLORINFO kDefaultColors = {{6380, 3350, 0}, {2345, 6075, 0}, {1410, 932, 0},
                                      {2000, 2450, 0}, {5210, 2100, 0}, {4750, 5100, 0},
                                      {3127, 3290, 0}, 12500, 12500, 12500, 585, 120, 0, 0, 0,
                                      10000};

class GdiInfoTest : public HostTest {
 protected:
  // A 24 mm continuous tape: 340 dots wide, 128 printable, 9.0 mm printable.
  test::TestContext context_{{test::Tape(262, 240, 128)}};

  GDIINFO Fill(SHORT orientation, SHORT yResolution) {
    context_.settings().dm.dmOrientation = orientation;
    context_.settings().dm.dmYResolution = yResolution;
    GDIINFO info;
    std::memset(&info, 0xCC, sizeof(info));
    FillGdiInfo(context_.get(), sizeof(info), &info);
    return info;
  }
};

TEST_F(GdiInfoTest, TheWholeTableAt360DpiPortraitOnContinuousTape) {
  GDIINFO expected = {};
  expected.ulVersion = 0x400;
  expected.ulTechnology = DT_RASPRINTER;
  expected.ulHorzSize = static_cast<ULONG>(-9000);   // 90 tenths of printable width
  expected.ulVertSize = static_cast<ULONG>(-92000);  // 1000 tenths less 2 x 4 mm margin
  expected.ulHorzRes = 128;
  expected.ulVertRes = 1304;  // 1417 - 2 x 57 + 1
  expected.cBitsPixel = 8;
  expected.cPlanes = 1;
  expected.ulNumColors = 8;
  expected.ulLogPixelsX = 360;
  expected.ulLogPixelsY = 360;
  expected.ulAspectX = 360;
  expected.ulAspectY = 360;
  expected.ulAspectXY = 509;
  expected.xStyleStep = 1;
  expected.yStyleStep = 1;
  expected.denStyleStep = 14;
  expected.ptlPhysOffset = {106, 57};  // (340 - 128) / 2 across, the margin along
  expected.szlPhysSize = {340, 1418};
  expected.ulNumPalReg = 256;
  expected.ciDevice = kDefaultColors;
  expected.ulDevicePelsDPI = 360;
  expected.ulHTPatternSize = HT_PATSIZE_6x6_M;
  expected.ulHTOutputFormat = HT_FORMAT_4BPP;
  expected.flHTFlags = HT_FLAG_HAS_BLACK_DYE;

  GDIINFO info = Fill(DMORIENT_PORTRAIT, 360);
  EXPECT_EQ(std::memcmp(&info, &expected, sizeof(info)), 0);

  const SideRecord& side = *context_->sideRecord;
  EXPECT_EQ(side.srDepth, 8);
  EXPECT_EQ(side.srMode, 2);
  EXPECT_EQ(side.srUnit, 1);
  EXPECT_EQ(side.srMark, 0xFF);
  EXPECT_EQ(std::memcmp(&side.srColorAdjustment, &context_.priv().privColorAdjustment,
                        sizeof(COLORADJUSTMENT)), 0);
  ExpectNothingLeaked();
}

TEST_F(GdiInfoTest, A720DpiFeedDoublesTheAlongAxisInEitherOrientation) {
  GDIINFO portrait = Fill(DMORIENT_PORTRAIT, 720);
  EXPECT_EQ(portrait.ulLogPixelsX, 360u);
  EXPECT_EQ(portrait.ulLogPixelsY, 720u);
  EXPECT_EQ(portrait.ulAspectX, 720u);
  EXPECT_EQ(portrait.ulAspectY, 360u);
  EXPECT_EQ(portrait.ulAspectXY, 804u);
  EXPECT_EQ(portrait.xStyleStep, 1);
  EXPECT_EQ(portrait.yStyleStep, 2);

  GDIINFO landscape = Fill(DMORIENT_LANDSCAPE, 720);
  EXPECT_EQ(landscape.ulLogPixelsX, 720u);
  EXPECT_EQ(landscape.ulLogPixelsY, 360u);
  EXPECT_EQ(landscape.ulAspectX, 360u);
  EXPECT_EQ(landscape.ulAspectY, 720u);
  EXPECT_EQ(landscape.xStyleStep, 2);
  EXPECT_EQ(landscape.yStyleStep, 1);
  EXPECT_EQ(landscape.ulHorzRes, portrait.ulVertRes);
  EXPECT_EQ(landscape.ulVertRes, 128u);
}

TEST_F(GdiInfoTest, PatternSizesFollowTheResolutionSteps) {
  const std::pair<ULONG, ULONG> steps[] = {
      {0, 3},    {179, 3},  {180, 5},   {360, 5},   {399, 5},   {400, 7},   {720, 7},
      {899, 7},  {900, 9},  {1199, 9},  {1200, 11}, {1799, 11}, {1800, 13}, {2399, 13},
      {2400, 15}, {0xFFFFFFFF, 15}};
  for (auto [resolution, size] : steps) EXPECT_EQ(PickHalftonePatternSize(resolution), size) << resolution;
}

TEST_F(GdiInfoTest, ThePrintersHalftoneDataCountsOnlyWhenComplete) {
  HANDLE printer = host::AddPrinter({});
  context_->printer = printer;
  DEVHTINFO stored = {};
  stored.HTFlags = 0x7;
  stored.HTPatternSize = 16;
  stored.DevPelsDPI = 300;
  stored.ColorInfo.RedGamma = 20000;
  std::vector<uint8_t> bytes(sizeof(stored));
  std::memcpy(bytes.data(), &stored, sizeof(stored));
  host::SetPrinterDataBinary(printer, u"CurDevHTInfo", bytes);
  GDIINFO info = Fill(DMORIENT_PORTRAIT, 360);
  EXPECT_EQ(info.ulHTPatternSize, 5u) << "16 is beyond the engine's patterns";
  EXPECT_EQ(info.ulDevicePelsDPI, 300u);
  EXPECT_EQ(std::memcmp(&info.ciDevice, &stored.ColorInfo, sizeof(COLORINFO)), 0);
  EXPECT_EQ(info.flHTFlags, HT_FLAG_HAS_BLACK_DYE);

  bytes.resize(128);
  host::SetPrinterDataBinary(printer, u"CurDevHTInfo", bytes);
  info = Fill(DMORIENT_PORTRAIT, 720);
  EXPECT_EQ(info.ulHTPatternSize, 5u);
  EXPECT_EQ(info.ulDevicePelsDPI, 360u);
  EXPECT_EQ(std::memcmp(&info.ciDevice, &kDefaultColors, sizeof(COLORINFO)), 0);
}

TEST_F(GdiInfoTest, TheEngineGetsNoMoreThanItsBufferAndNothingWithoutAMediaTable) {
  std::vector<uint8_t> buffer(400, 0xCC);
  FillGdiInfo(context_.get(), 200, reinterpret_cast<GDIINFO*>(buffer.data()));
  GDIINFO whole = Fill(DMORIENT_LANDSCAPE, 360);
  EXPECT_EQ(std::memcmp(buffer.data(), &whole, 200), 0);
  EXPECT_EQ(buffer[200], 0xCC);

  FillGdiInfo(context_.get(), 400, reinterpret_cast<GDIINFO*>(buffer.data()));
  EXPECT_EQ(std::memcmp(buffer.data(), &whole, sizeof(GDIINFO)), 0);
  EXPECT_EQ(buffer[sizeof(GDIINFO)], 0xCC);

  std::fill(buffer.begin(), buffer.end(), 0xCC);
  context_->modelData.mediaTable = nullptr;
  FillGdiInfo(context_.get(), 400, reinterpret_cast<GDIINFO*>(buffer.data()));
  EXPECT_EQ(buffer, std::vector<uint8_t>(400, 0xCC));
}

TEST_F(GdiInfoTest, AResolutionOfZeroLeavesBothResolutionsZero) {
  const auto refuse = [&](SHORT quality, SHORT yResolution, LONG scaled) {
    context_.settings().dm.dmPrintQuality = quality;
    context_->scaledResolution = scaled;
    GDIINFO info = Fill(DMORIENT_PORTRAIT, yResolution);
    EXPECT_EQ(info.ulHorzRes, 0u) << quality << " " << yResolution << " " << scaled;
    EXPECT_EQ(info.ulVertRes, 0u);
  };
  refuse(0, 360, 0);
  refuse(360, 0, 360);
  refuse(360, 360, 0);
  refuse(-360, 360, -360);
  refuse(720, 360, 1);  // a feed resolution that truncates to 0
}

}  // namespace
