// SPDX-License-Identifier: Apache-2.0
// The 720-dpi corrections: the tone table, the merge along the head in both orientations and
// within the bits the engine gave, and the thinning of odd lines in a page's raster region.
#include <algorithm>
#include <tuple>
#include <vector>

#include "raster/hires_corrections.h"
#include "raster/printer_commands.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

constexpr BYTE W = 255, K = 0;  // white, black

class HeadAxisMergeTest : public test::ContextTest {
 protected:
  // Merges an image of the given stride over exactly its bytes (cjBits is their number).
  std::vector<BYTE> Merge(SHORT orientation, LONG stride, LONG height, std::vector<BYTE> bits, BOOL expected = TRUE) {
    context_.settings().dm.dmOrientation = orientation;
    SURFOBJ surface{};
    surface.sizlBitmap = {stride, height};
    surface.lDelta = stride;
    surface.pvBits = bits.data();
    surface.cjBits = static_cast<ULONG>(bits.size());
    EXPECT_EQ(HeadAxisMerge(context_.get(), &surface), expected);
    return bits;
  }
};

TEST_F(HeadAxisMergeTest, ADarkRunBegunOnTheSecondPixelIsFollowedUntilItEnds) {
  // Pairs (W, K) (W, K) (K, W) give K K W; (K, W) (W, W) give K W; (W, K) (K, W) give K W.
  // Along a portrait row (the first run ends on its light b), the merged pixels are stored
  // from the start of the image.
  const std::vector<BYTE> row = Merge(DMORIENT_PORTRAIT, 14, 1, {W, K, W, K, K, W, K, W, W, W, W, K, K, W});
  EXPECT_EQ(std::vector<BYTE>(row.begin(), row.begin() + 7), (std::vector<BYTE>{K, K, W, K, W, K, W}));
  // Down landscape columns 0 to 2, each with its own selector; the odd last row stays.
  EXPECT_EQ(Merge(DMORIENT_LANDSCAPE, 4, 5, {W, K, W, W, K, W, K, W, W, W, K, W, K, W, W, W, 1, 2, 3, 4}),
            (std::vector<BYTE>{K, K, K, W, K, W, W, W, W, W, K, W, K, W, W, W, 1, 2, 3, 4}));
  // Portrait rows land at half the stride, and the selector carries over: row 1 starts
  // with a dark a and a light b, which only a selector still set takes.
  const std::vector<BYTE> rows = Merge(DMORIENT_PORTRAIT, 6, 2, {W, W, W, W, W, K, K, 200, W, W, 7, 9});
  EXPECT_EQ(std::vector<BYTE>(rows.begin(), rows.begin() + 6), (std::vector<BYTE>{W, W, K, 200, W, 7}));
}

TEST_F(HeadAxisMergeTest, LandscapeColumnsMergeAsTheSamePixelsAlongAPortraitRowDo) {
  // Column x of a landscape image (four blocks of 16 and a tail) and row x of a portrait one
  // hold x + 11 in six pixels, a set bit a dark pixel, then a white pair that ends any run.
  constexpr LONG kWidth = 66, kHeight = 8;
  std::vector<BYTE> across(kWidth * kHeight, W), down(kWidth * kHeight, W);
  for (LONG x = 0; x < kWidth; ++x)
    for (LONG y = 0; y < 6; ++y) if ((x + 11) >> y & 1) across[y * kWidth + x] = down[x * kHeight + y] = K;
  across = Merge(DMORIENT_LANDSCAPE, kWidth, kHeight, across);
  down = Merge(DMORIENT_PORTRAIT, kHeight, kWidth, down);
  for (LONG i = 0; i < kWidth * kHeight / 2; ++i)
    ASSERT_EQ(across[i], down[i % kWidth * (kHeight / 2) + i / kWidth]) << i;
}

TEST_F(HeadAxisMergeTest, StaysWithinTheBitsAndFailsOnlyWithoutItsSelectors) {
  // Every vector is exactly cjBits long, so a stray access is caught by the address checker.
  for (SHORT orientation : {DMORIENT_PORTRAIT, DMORIENT_LANDSCAPE}) {
    Merge(orientation, 7, 3, std::vector<BYTE>(21, K));           // odd stride
    Merge(orientation, 6, 100, std::vector<BYTE>(6 * 3 + 4, K));  // claims more rows
    Merge(orientation, 8, 2, std::vector<BYTE>(5, K));            // less than a row
    Merge(orientation, -4, 2, std::vector<BYTE>(8, K), FALSE);    // bottom-up
  }
  EXPECT_FALSE(HeadAxisMerge(context_.get(), nullptr));
  host::FailCall(host::Call::HeapAlloc, 1);
  EXPECT_EQ(Merge(DMORIENT_LANDSCAPE, 2, 2, {W, K, K, W}, FALSE), (std::vector<BYTE>{W, K, K, W}));
}

// Builds a raster region command by command.
struct Region {
  Region& Line(std::vector<BYTE> data) {
    bytes.insert(bytes.end(), {kCmdRasterLine, static_cast<BYTE>(data.size()), 0});
    bytes.insert(bytes.end(), data.begin(), data.end());
    return *this;
  }
  Region& Byte(BYTE b) { return bytes.push_back(b), *this; }
  // A later label's header whose bytes happen to read as line commands, and "M" 02.
  Region& LabelHeader() {
    bytes.push_back(kCmdEsc);
    bytes.insert(bytes.end(), SETUP_HEADER_SIZE - 1, kCmdRasterLine);
    bytes.insert(bytes.end(), {kCmdCompressionMode, kCmdCompressionPackBits});
    return *this;
  }
  std::vector<BYTE> Thinned(DWORD start = 0) const {
    std::vector<BYTE> copy = bytes;
    ThinOddLines(nullptr, copy.data(), start, static_cast<DWORD>(copy.size()));
    return copy;
  }
  std::vector<BYTE> bytes;
};

TEST(ThinOddLinesTest, ClearsWhatBothNeighbourLinesOfARunPrint) {
  using R = Region;
  EXPECT_EQ(R().Line({W}).Line({W}).Line({W}).Thinned(), R().Line({W}).Line({K}).Line({W}).bytes);
  const R apart = R().Line({W}).Line({W}).Byte(kCmdZeroLine).Line({W}).Line({W}).Byte(kCmdPageEnd).Line({W});
  EXPECT_EQ(apart.Thinned(), apart.bytes);
  // After "Z" the second "G" is line 2: the third is odd with no line after it.
  const R afterZero = R().Byte(kCmdZeroLine).Line({W}).Line({W}).Line({W});
  EXPECT_EQ(afterZero.Thinned(), afterZero.bytes);
  // A page end, or a later label's header stepped over whole, starts a new run at line 0.
  EXPECT_EQ(R().Line({W}).Byte(kCmdPageEnd).LabelHeader().Line({W}).Line({W}).Line({W}).Thinned(),
            R().Line({W}).Byte(kCmdPageEnd).LabelHeader().Line({W}).Line({K}).Line({W}).bytes);
  // Before the start offset nothing is read; at a cut-off command the pass stops.
  EXPECT_EQ(R().Line({W}).Line({W}).Line({W}).Line({W}).Line({W}).Thinned(8),
            R().Line({W}).Line({W}).Line({W}).Line({K}).Line({W}).bytes);
  const R cut = R().Line({W}).Line({W}).Byte(kCmdRasterLine).Byte(2).Byte(0).Byte(W);
  EXPECT_EQ(cut.Thinned(), cut.bytes);
  // Long lines, taken eight bytes at a time and then one by one, thinned over the bytes all
  // three have, whichever is shortest; the line after them ends the run.
  for (const auto& [top, middle, bottom] : {std::tuple{20, 20, 17}, {15, 20, 20}, {20, 9, 20}}) {
    SCOPED_TRACE(testing::Message() << top << " " << middle << " " << bottom);
    std::vector<BYTE> above(top), odd(middle, W), below(bottom);
    for (int i = 0; i < top; ++i) above[i] = static_cast<BYTE>(i * 37 + 11);
    for (int i = 0; i < bottom; ++i) below[i] = static_cast<BYTE>(i * 53 + 7);
    std::vector<BYTE> thinned = odd;
    for (int i = 0; i < std::min({top, middle, bottom}); ++i)
      thinned[i] = static_cast<BYTE>(odd[i] & ~(above[i] & below[i]));
    EXPECT_EQ(R().Line(above).Line(odd).Line(below).Line({W}).Thinned(),
              R().Line(above).Line(thinned).Line(below).Line({W}).bytes);
  }
}

TEST(HiResToneTableTest, KeepsEveryLevel) {
  unsigned digest = 0;  // 31 is odd: a change of any one level moves the digest
  for (BYTE level : HiResToneTable) digest = digest * 31 + level;
  EXPECT_EQ(digest, 0x30f1fe60u);
}

}  // namespace
