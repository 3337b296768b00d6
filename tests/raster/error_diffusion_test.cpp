// SPDX-License-Identifier: Apache-2.0
// Error diffusion: the filter's arithmetic from line to line, and what it does without error
// lines or with counts it cannot honour.
#include <random>
#include <vector>

#include "raster/error_diffusion.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

using ErrorDiffusionTest = test::ContextTest;

// The filter the slow way, neighbour by neighbour, as the reference for the fast paths.
std::vector<BYTE> ReferenceLine(std::vector<LONG>* lines, int rotation, const std::vector<BYTE>& input) {
  static constexpr LONG kA[5] = {1, 3, 5, 3, 1}, kB[5] = {3, 5, 7, 5, 3}, kC[2] = {5, 7};
  const std::vector<LONG>&a = lines[rotation], &b = lines[(rotation + 1) % 3];
  std::vector<LONG>& c = lines[(rotation + 2) % 3];
  const long n = static_cast<long>(input.size());
  std::vector<BYTE> packed((n + 7) / 8, 0);
  for (long i = 0; i < n; ++i) {
    LONG sum = 0, weight = 0;
    for (long d = -2; d <= 2; ++d) {
      if (i + d < 0 || i + d >= n) continue;
      sum += kA[d + 2] * a[i + d] + kB[d + 2] * b[i + d] + (d < 0 ? kC[d + 2] * c[i + d] : 0);
      weight += kA[d + 2] + kB[d + 2] + (d < 0 ? kC[d + 2] : 0);
    }
    const LONG value = input[i] + sum / weight;
    c[i] = value > 128 ? value - 255 : value;
    if (value > 128) packed[i / 8] |= static_cast<BYTE>(0x80 >> (i % 8));
  }
  return packed;
}

TEST_F(ErrorDiffusionTest, LinesDiffusedTogetherMatchTheFilterLineByLine) {
  std::mt19937 random(11);
  constexpr DWORD kLength = 1003;
  ASSERT_TRUE(InitDiffusion(context_.get(), kLength));
  context_->lineBuffers->rotation = 2;
  std::vector<LONG> lines[3] = {std::vector<LONG>(kLength), std::vector<LONG>(kLength), std::vector<LONG>(kLength)};
  int rotation = 2;
  // Lengths of 1 to 3 (no interior), of partial and whole output bytes, below, at and above
  // the shortest that is diffused in groups, and counts of lines around a group of eight,
  // in turn on one state. Output bytes hold other bits: those past the last dot are cleared.
  const DWORD counts[] = {1, 2, 3, 4, 5, 9, 10, 17, 26, 31, 32, 33, 47, 200, 1001, kLength};
  for (int call = 0; call < 64; ++call) {
    const DWORD count = counts[call % 16];
    const DWORD lineCount = 1 + random() % 19;
    const size_t inStride = count + random() % 3, outStride = (count + 7) / 8 + random() % 2;
    std::vector<BYTE> input(inStride * lineCount);
    const int kind = call / 16;  // grey noise, runs of black and white, one level, all black
    const BYTE level = static_cast<BYTE>(random());
    for (size_t i = 0; i < input.size(); ++i) {
      input[i] = kind == 0 ? static_cast<BYTE>(random())
                 : kind == 1 ? ((i / 7 + random() % 2) % 2 ? 255 : 0) : kind == 2 ? level : 255;
    }
    // Black and white after lines without error need no filter: such calls start from no error
    // but one at an end of an error line (every other call), or are grey, or black but greys.
    if (kind == 1) {
      ASSERT_TRUE(InitDiffusion(context_.get(), kLength));  // error lines of 0 (1: still errors), the rotation kept
      const LONG e = call % 8 == 4;
      for (int k : {0, 1, 2}) lines[k].assign(kLength, e), std::fill_n(context_->lineBuffers->rows[k], kLength, e);
      const DWORD n = (rotation + call / 2 % 3) % 3, at = call % 4 == 1 ? count - 1 : 0;
      if (call % 2) lines[n][at] = context_->lineBuffers->rows[n][at] = -100;
      const BYTE grey = static_cast<BYTE>(380 - call % 3 * 126);  // 254 or 128 in black
      if (call % 4 == 2) std::fill(input.begin(), input.end(), call % 3 ? 255 : 1);
      for (size_t i = 0; call % 4 == 2 && call % 3 && i < input.size(); i += 16) input[i] = grey;
    }
    std::vector<BYTE> output(outStride * lineCount, 0xA5), expected = output;
    DiffuseLines(context_.get(), input.data(), inStride, output.data(), outStride, count, lineCount);
    for (DWORD j = 0; j < lineCount; ++j) {
      const auto first = input.begin() + j * inStride;
      const std::vector<BYTE> line(first, first + count);
      const std::vector<BYTE> dots = ReferenceLine(lines, rotation, line);
      std::copy(dots.begin(), dots.end(), expected.begin() + j * outStride);
      rotation = (rotation + 1) % 3;
    }
    ASSERT_EQ(output, expected) << "call " << call << ": " << lineCount << " x " << count;
    ASSERT_EQ(context_->lineBuffers->rotation, rotation) << call;
    for (int n = 0; n < 3; ++n) {
      const LONG* row = context_->lineBuffers->rows[n];
      ASSERT_EQ(std::vector<LONG>(row, row + kLength), lines[n]) << call << ", error line " << n;
    }
  }
  FreeDiffusion(context_.get());
}

TEST_F(ErrorDiffusionTest, WithoutLinesOrWithCountsBeyondThemNothingIsWritten) {
  const std::vector<BYTE> black(17, 255);
  std::vector<BYTE> output(3, 0xA5);
  for (uint64_t failing = 1; failing <= 3; ++failing) {
    host::FailCall(host::Call::HeapAlloc, failing);
    EXPECT_FALSE(InitDiffusion(context_.get(), 16));
    host::ClearFailures();
    EXPECT_EQ(context_->lineBuffers->rowCount, 0);
    DiffuseLine(context_.get(), black.data(), output.data(), 16);
    EXPECT_FALSE(PassFullLines(context_.get(), 16, 1));
    ExpectNothingLeaked();
  }
  ASSERT_TRUE(InitDiffusion(context_.get(), 16));
  DiffuseLine(context_.get(), black.data(), output.data(), 0);
  DiffuseLine(context_.get(), black.data(), output.data(), 17);
  EXPECT_EQ(output, std::vector<BYTE>(3, 0xA5));
  // A new surface gets new lines, the old ones released; the rotation goes on. The errors
  // the last line left (the previous line of the next one) are gone.
  DiffuseLine(context_.get(), std::vector<BYTE>(16, 77).data(), output.data(), 16);
  ASSERT_TRUE(InitDiffusion(context_.get(), 48));
  const LONG* last = context_->lineBuffers->rows[(context_->lineBuffers->rotation + 1) % 3];
  EXPECT_EQ(std::tuple(context_->lineBuffers->rotation, std::vector<LONG>(last, last + 48)), std::tuple(1, std::vector<LONG>(48, 0)));
  FreeDiffusion(context_.get());
  EXPECT_TRUE(!context_->lineBuffers->rows[0] && !context_->lineBuffers->work);  // nothing left to free again
}

}  // namespace
