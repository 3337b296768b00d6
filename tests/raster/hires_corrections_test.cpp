// The 720-dpi corrections: the tone table, the merge along the head in both orientations and
// within the bits the engine gave, and the thinning of odd raster lines inside a page's
// raster region.
#include <algorithm>
#include <random>
#include <vector>

#include "raster/hires_corrections.h"
#include "raster/printer_commands.h"
#include "raster/raster_region.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

constexpr BYTE W = 255;  // white
constexpr BYTE K = 0;    // black

// A test image over bytes the test owns; cjBits is the whole vector unless a test says less.
struct Image {
  Image(LONG width, LONG height, LONG stride, std::vector<BYTE> pixels)
      : bits(std::move(pixels)) {
    surface.sizlBitmap = {width, height};
    surface.lDelta = stride;
    surface.pvBits = bits.data();
    surface.cjBits = static_cast<ULONG>(bits.size());
    surface.iBitmapFormat = BMF_8BPP;
  }
  std::vector<BYTE> bits;
  SURFOBJ surface{};
};

class HeadAxisMergeTest : public HostTest {
 protected:
  void Orientation(SHORT orientation) { ctx.settings().dm.dmOrientation = orientation; }
  test::TestContext ctx;
};

TEST(HiResToneTest, TableBrightensDarkLevelsAndKeepsTheEnds) {
  EXPECT_EQ(HiResToneTable[0], 0);
  EXPECT_EQ(HiResToneTable[1], 8);
  EXPECT_EQ(HiResToneTable[32], 135);
  EXPECT_EQ(HiResToneTable[128], 187);
  EXPECT_EQ(HiResToneTable[255], 255);
  // The first and last entry of every group of 16 pin each group in place.
  const BYTE firsts[16] = {0, 91, 135, 154, 161, 166, 172, 179,
                           187, 197, 207, 216, 225, 232, 239, 246};
  const BYTE lasts[16] = {88, 133, 153, 161, 166, 172, 178, 187,
                          196, 206, 216, 225, 232, 238, 245, 255};
  for (int group = 0; group < 16; ++group) {
    EXPECT_EQ(HiResToneTable[group * 16], firsts[group]) << group;
    EXPECT_EQ(HiResToneTable[group * 16 + 15], lasts[group]) << group;
  }
  for (int level = 0; level < 256; ++level) {
    EXPECT_GE(HiResToneTable[level], level) << "never darkens";
    if (level > 0) {
      EXPECT_GE(HiResToneTable[level], HiResToneTable[level - 1]) << level;
    }
  }
}

TEST(HiResToneTest, PassCoversEveryByteOfTheBitsAndNothingElse) {
  std::vector<BYTE> bits = {0, 1, 32, 128, 255, 32};
  SURFOBJ surface{};
  surface.sizlBitmap = {3, 1};  // the description is smaller than the bits: padding too
  surface.lDelta = 4;
  surface.pvBits = bits.data();
  surface.cjBits = 5;
  ApplyHiResTone(&surface);
  EXPECT_EQ(bits, (std::vector<BYTE>{0, 8, 135, 187, 255, 32}));
  ApplyHiResTone(nullptr);
}

TEST_F(HeadAxisMergeTest, PortraitPairsFollowADarkRunOnTheSecondPixel) {
  Orientation(DMORIENT_PORTRAIT);
  struct Case {
    std::vector<BYTE> row;
    std::vector<BYTE> merged;
  };
  const Case cases[] = {
      {{W, K, W, K}, {K, K}},  // not W, W: the run begun on b is followed
      {{K, W, W, W}, {K, W}},
      {{W, K, K, W}, {K, W}},  // the run ends, b is taken once more, then a again
  };
  for (const Case& c : cases) {
    Image image(4, 1, 4, c.row);
    ASSERT_TRUE(HeadAxisMerge(ctx.get(), &image.surface));
    EXPECT_EQ(std::vector<BYTE>(image.bits.begin(), image.bits.begin() + 2), c.merged);
  }
}

TEST_F(HeadAxisMergeTest, LandscapePairsAreRowsAndEveryColumnHasItsOwnSelector) {
  Orientation(DMORIENT_LANDSCAPE);
  // Columns 0 to 2 hold the three pair cases top to bottom; column 3 is plain white.
  Image image(4, 4, 4,
              {W, K, W, W,
               K, W, K, W,
               W, W, K, W,
               K, W, W, W});
  ASSERT_TRUE(HeadAxisMerge(ctx.get(), &image.surface));
  EXPECT_EQ(std::vector<BYTE>(image.bits.begin(), image.bits.begin() + 8),
            (std::vector<BYTE>{K, K, K, W,
                               K, W, W, W}));
}

TEST_F(HeadAxisMergeTest, PortraitRowsArePackedAtHalfTheStrideAndTheSelectorCarriesOver) {
  Orientation(DMORIENT_PORTRAIT);
  // Row 0 ends inside a run taken from b; row 1 starts with a dark a and a light b, which
  // only a carried selector takes (b), before the run's end resets it.
  Image image(6, 2, 6,
              {W, W, W, W, W, K,
               K, 200, W, W, 7, 9});
  ASSERT_TRUE(HeadAxisMerge(ctx.get(), &image.surface));
  EXPECT_EQ(std::vector<BYTE>(image.bits.begin(), image.bits.begin() + 6),
            (std::vector<BYTE>{W, W, K, 200, W, 7}));
}

TEST_F(HeadAxisMergeTest, OnePixelLinesOnOddPositionsSurvive) {
  constexpr LONG kSize = 24;
  for (LONG position = 1; position < kSize; position += 2) {
    SCOPED_TRACE(position);
    // Portrait: a line down the page in column `position`, on a light grey ground.
    std::vector<BYTE> pixels(kSize * kSize, 180);
    for (LONG y = 0; y < kSize; ++y) pixels[y * kSize + position] = 20;
    Orientation(DMORIENT_PORTRAIT);
    Image portrait(kSize, kSize, kSize, pixels);
    ASSERT_TRUE(HeadAxisMerge(ctx.get(), &portrait.surface));
    for (LONG y = 0; y < kSize; ++y) {
      ASSERT_EQ(portrait.bits[y * (kSize / 2) + position / 2], 20) << "row " << y;
    }

    // Landscape: a line across the page in row `position`.
    std::fill(pixels.begin(), pixels.end(), 180);
    for (LONG x = 0; x < kSize; ++x) pixels[position * kSize + x] = 20;
    Orientation(DMORIENT_LANDSCAPE);
    Image landscape(kSize, kSize, kSize, pixels);
    ASSERT_TRUE(HeadAxisMerge(ctx.get(), &landscape.surface));
    for (LONG x = 0; x < kSize; ++x) {
      ASSERT_EQ(landscape.bits[(position / 2) * kSize + x], 20) << "column " << x;
    }
  }
}

TEST_F(HeadAxisMergeTest, StaysWithinTheBitsWhateverTheDescriptionSays) {
  // Each vector is exactly cjBits long, so a stray access is caught by the address checker.
  for (SHORT orientation : {DMORIENT_PORTRAIT, DMORIENT_LANDSCAPE}) {
    SCOPED_TRACE(orientation);
    Orientation(orientation);
    Image oddStride(5, 3, 7, std::vector<BYTE>(21, K));
    EXPECT_TRUE(HeadAxisMerge(ctx.get(), &oddStride.surface));
    Image claimsMoreRows(4, 100, 6, std::vector<BYTE>(6 * 3 + 4, K));
    EXPECT_TRUE(HeadAxisMerge(ctx.get(), &claimsMoreRows.surface));
    Image shorterThanARow(4, 2, 8, std::vector<BYTE>(5, K));
    EXPECT_TRUE(HeadAxisMerge(ctx.get(), &shorterThanARow.surface));
  }

  // An odd height leaves the unpaired last row as it was.
  Orientation(DMORIENT_LANDSCAPE);
  Image oddHeight(2, 3, 2, {W, K, K, W, 9, 9});
  EXPECT_TRUE(HeadAxisMerge(ctx.get(), &oddHeight.surface));
  EXPECT_EQ(oddHeight.bits, (std::vector<BYTE>{K, K, K, W, 9, 9}));

  Image unusable(4, 2, -4, std::vector<BYTE>(8, K));
  EXPECT_FALSE(HeadAxisMerge(ctx.get(), &unusable.surface));
  unusable.surface.lDelta = 4;
  unusable.surface.pvBits = nullptr;
  EXPECT_FALSE(HeadAxisMerge(ctx.get(), &unusable.surface));
  EXPECT_FALSE(HeadAxisMerge(ctx.get(), nullptr));
  EXPECT_FALSE(HeadAxisMerge(nullptr, &oddHeight.surface));
}

TEST_F(HeadAxisMergeTest, LandscapeWithoutItsSelectorArrayFailsAndLeavesTheImage) {
  Orientation(DMORIENT_LANDSCAPE);
  Image image(2, 2, 2, {W, K, K, W});
  host::FailCall(host::Call::HeapAlloc, 1);
  EXPECT_FALSE(HeadAxisMerge(ctx.get(), &image.surface));
  host::ClearFailures();
  EXPECT_EQ(image.bits, (std::vector<BYTE>{W, K, K, W}));
  EXPECT_TRUE(HeadAxisMerge(ctx.get(), &image.surface));
  ExpectNothingLeaked();
}

// ---- Thinning ------------------------------------------------------------------------------

// Builds a raster region command by command.
struct Region {
  Region& Line(std::vector<BYTE> data) {
    bytes.push_back(CMD_RASTER_LINE);
    bytes.push_back(static_cast<BYTE>(data.size()));
    bytes.push_back(static_cast<BYTE>(data.size() >> 8));
    bytes.insert(bytes.end(), data.begin(), data.end());
    return *this;
  }
  Region& Zero() { return Byte(CMD_ZERO_LINE); }
  Region& Byte(BYTE b) {
    bytes.push_back(b);
    return *this;
  }
  // A later label's header whose parameters happen to read as line commands, and its
  // compression mode.
  Region& LabelHeader() {
    std::vector<BYTE> header(SETUP_HEADER_SIZE, CMD_RASTER_LINE);
    header[0] = CMD_ESC;
    header[7] = CMD_ZERO_LINE;
    header[20] = 0xFF;
    bytes.insert(bytes.end(), header.begin(), header.end());
    bytes.push_back(CMD_COMPRESSION_MODE);
    bytes.push_back(CMD_COMPRESSION_PACKBITS);
    return *this;
  }
  std::vector<BYTE> Thinned(DWORD start = 0) const {
    std::vector<BYTE> copy = bytes;
    ThinOddLines(nullptr, copy.data(), start, static_cast<DWORD>(copy.size()));
    return copy;
  }
  std::vector<BYTE> bytes;
};

TEST(ThinOddLinesTest, ClearsWhatBothNeighbouringLinesPrint) {
  EXPECT_EQ(Region().Line({0xFF}).Line({0xFF}).Line({0xFF}).Thinned(),
            Region().Line({0xFF}).Line({0x00}).Line({0xFF}).bytes);
  EXPECT_EQ(Region().Line({0xFF}).Line({0xFF}).Line({0x0F}).Thinned(),
            Region().Line({0xFF}).Line({0xF0}).Line({0x0F}).bytes);
  const Region zeroBetween = Region().Line({0xFF}).Zero().Line({0xFF});
  EXPECT_EQ(zeroBetween.Thinned(), zeroBetween.bytes);
  // Five lines: lines 1 and 3 are both thinned, each by its own neighbours.
  EXPECT_EQ(Region().Line({0xF0, 0x0F}).Line({0xFF, 0xFF}).Line({0xFF, 0x0F})
                .Line({0xFF, 0xFF}).Line({0x3C, 0xFF}).Thinned(),
            Region().Line({0xF0, 0x0F}).Line({0x0F, 0xF0}).Line({0xFF, 0x0F})
                .Line({0xC3, 0xF0}).Line({0x3C, 0xFF}).bytes);
}

TEST(ThinOddLinesTest, CountsLinesFromTheStartOfEveryRun) {
  // After "Z" the second "G" is line 2: the third is odd but has no line after it.
  const Region afterZero = Region().Zero().Line({0xFF}).Line({0xFF}).Line({0xFF});
  EXPECT_EQ(afterZero.Thinned(), afterZero.bytes);

  // A page end restarts the count: the three lines after it are lines 0, 1 and 2.
  EXPECT_EQ(Region().Line({0xFF}).Byte(CMD_PAGE_END).Line({0xFF}).Line({0xFF}).Line({0xFF})
                .Thinned(),
            Region().Line({0xFF}).Byte(CMD_PAGE_END).Line({0xFF}).Line({0x00}).Line({0xFF})
                .bytes);

  // So does a later label's header, stepped over whole although its bytes read as "G" and
  // "Z"; the header is left as it was.
  EXPECT_EQ(Region().Line({0xFF}).Byte(CMD_PAGE_END).LabelHeader().Line({0xFF}).Line({0xFF})
                .Line({0xFF}).Thinned(),
            Region().Line({0xFF}).Byte(CMD_PAGE_END).LabelHeader().Line({0xFF}).Line({0x00})
                .Line({0xFF}).bytes);
}

TEST(ThinOddLinesTest, TouchesNothingOutsideTheRegionOrPastACutOffCommand) {
  // Bytes before the start offset look like lines but are not part of the region.
  Region region = Region().Line({0xFF}).Line({0xFF});
  const DWORD start = static_cast<DWORD>(region.bytes.size());
  region.Line({0xFF}).Line({0xFF}).Line({0xFF});
  EXPECT_EQ(region.Thinned(start),
            Region().Line({0xFF}).Line({0xFF}).Line({0xFF}).Line({0x00}).Line({0xFF}).bytes);

  // A last line whose count runs past the end ends the pass: the line before it stays.
  Region cut = Region().Line({0xFF}).Line({0xFF});
  cut.bytes.insert(cut.bytes.end(), {CMD_RASTER_LINE, 0x02, 0x00, 0xFF});
  EXPECT_EQ(cut.Thinned(), cut.bytes);

  // Lines of different lengths: only the bytes all three have are thinned, so the pass
  // never reaches into the command after a short odd line.
  EXPECT_EQ(Region().Line({0xFF, 0xFF}).Line({0xFF}).Line({0xFF, 0xFF}).Thinned(),
            Region().Line({0xFF, 0xFF}).Line({0x00}).Line({0xFF, 0xFF}).bytes);

  ThinOddLines(nullptr, nullptr, 0, 10);
  std::vector<BYTE> empty;
  ThinOddLines(nullptr, empty.data(), 0, 0);
}

// The thinning stated over whole runs: line k of a run (numbered from 0 after any byte
// that is not a line command) loses the dots that lines k - 1 and k + 1 both print, when k
// is odd and all three are "G" lines.
std::vector<BYTE> ExpectedThinning(const std::vector<BYTE>& region) {
  std::vector<BYTE> result = region;
  std::vector<RegionCommand> run;
  auto finishRun = [&] {
    for (size_t k = 1; k + 1 < run.size(); k += 2) {
      const RegionCommand& before = run[k - 1];
      const RegionCommand& odd = run[k];
      const RegionCommand& after = run[k + 1];
      if (before.kind != RegionItem::RasterLine || odd.kind != RegionItem::RasterLine ||
          after.kind != RegionItem::RasterLine)
        continue;
      const DWORD n = std::min({before.dataCount, odd.dataCount, after.dataCount});
      for (DWORD j = 0; j < n; ++j) {
        result[odd.offset + 3 + j] &=
            static_cast<BYTE>(~(region[before.offset + 3 + j] & region[after.offset + 3 + j]));
      }
    }
    run.clear();
  };
  DWORD offset = 0;
  for (;;) {
    const RegionCommand command =
        NextRegionCommand(region.data(), static_cast<DWORD>(region.size()), &offset);
    if (command.kind == RegionItem::End || command.kind == RegionItem::Malformed) break;
    if (command.kind == RegionItem::RasterLine || command.kind == RegionItem::ZeroLine) {
      run.push_back(command);
    } else {
      finishRun();
    }
  }
  finishRun();
  return result;
}

TEST(ThinOddLinesTest, RandomRegionsKeepTheirCommandsAndOnlyLoseSandwichedDots) {
  std::mt19937 random(20240607);
  for (int trial = 0; trial < 300; ++trial) {
    SCOPED_TRACE(trial);
    Region region;
    const int commands = 1 + static_cast<int>(random() % 40);
    const DWORD width = 1 + random() % 48;
    for (int n = 0; n < commands; ++n) {
      const unsigned pick = random() % 20;
      if (pick < 14) {
        std::vector<BYTE> data(random() % 8 == 0 ? 1 + random() % 48 : width);
        // Dense data, so that most lines have dots to lose.
        for (BYTE& b : data) b = static_cast<BYTE>(random() | random());
        region.Line(data);
      } else if (pick < 17) {
        region.Zero();
      } else if (pick < 18) {
        region.Byte(CMD_PAGE_END);
      } else if (pick < 19) {
        region.LabelHeader();
      } else {
        region.Byte(static_cast<BYTE>(random()));
      }
    }
    // The expectation changes data bytes only, so equality also says that the length and
    // every command byte, count and header are as they were.
    ASSERT_EQ(region.Thinned(), ExpectedThinning(region.bytes));
  }
}

}  // namespace
