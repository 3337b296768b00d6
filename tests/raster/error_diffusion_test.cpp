// Error diffusion: the filter's arithmetic at the ends and inside a line, the rotation of the
// error lines from line to line, the tone it reproduces, and what it does without lines or
// with counts it cannot honour.
#include <algorithm>
#include <bit>
#include <vector>

#include "raster/error_diffusion.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

class ErrorDiffusionTest : public HostTest {
 protected:
  LineBufferRecord& state() { return *ctx->lineBuffers; }
  // The error lines by the role they play before the next line.
  LONG* TwoBack() { return state().rows[state().rotation % 3]; }
  LONG* Previous() { return state().rows[(state().rotation + 1) % 3]; }
  // The errors the last line left (the previous line of the next one).
  std::vector<LONG> LastErrors(DWORD count) {
    const LONG* row = Previous();
    return std::vector<LONG>(row, row + count);
  }
  // Diffuses one line into a buffer of exactly its packed size.
  std::vector<BYTE> Diffuse(const std::vector<BYTE>& input) {
    std::vector<BYTE> output((input.size() + 7) / 8, 0);
    DiffuseLine(ctx.get(), input.data(), output.data(), static_cast<DWORD>(input.size()));
    return output;
  }

  test::TestContext ctx;
};

size_t DotCount(const std::vector<BYTE>& packed) {
  size_t dots = 0;
  for (BYTE b : packed) dots += static_cast<size_t>(std::popcount(b));
  return dots;
}

TEST_F(ErrorDiffusionTest, MidGreyLeavesTheFirstPixelWhiteAndPrintsTheSecond) {
  ASSERT_TRUE(InitDiffusion(ctx.get(), 6));
  const std::vector<BYTE> out = Diffuse(std::vector<BYTE>(6, 128));
  // 128 is not above 128; the second pixel gets 7 * 128 / 39 = 22 and prints.
  EXPECT_EQ(out[0] & 0xC0, 0x40);
  const std::vector<LONG> errors = LastErrors(6);
  EXPECT_EQ(errors[0], 128);
  EXPECT_EQ(errors[1], -105);
}

TEST_F(ErrorDiffusionTest, WhiteAndBlackLinesMakeNoErrors) {
  ASSERT_TRUE(InitDiffusion(ctx.get(), 100));
  EXPECT_EQ(DotCount(Diffuse(std::vector<BYTE>(100, 0))), 0u);
  EXPECT_EQ(LastErrors(100), std::vector<LONG>(100, 0));
  const std::vector<BYTE> black = Diffuse(std::vector<BYTE>(100, 255));
  EXPECT_EQ(DotCount(black), 100u);
  EXPECT_EQ(LastErrors(100), std::vector<LONG>(100, 0));
}

TEST_F(ErrorDiffusionTest, APartialLastByteKeepsOnlyItsMeaningfulBits) {
  ASSERT_TRUE(InitDiffusion(ctx.get(), 10));
  std::vector<BYTE> output = {0x55, 0x55, 0xEE};
  const std::vector<BYTE> black(10, 255);
  DiffuseLine(ctx.get(), black.data(), output.data(), 10);
  EXPECT_EQ(output[0], 0xFF);
  EXPECT_EQ(output[1], 0xC0) << "two dots, then six 0 bits";
  EXPECT_EQ(output[2], 0xEE) << "nothing past the line's bytes";
}

TEST_F(ErrorDiffusionTest, EachLineSeesTheErrorsOfTheLinesBefore) {
  ASSERT_TRUE(InitDiffusion(ctx.get(), 64));
  std::vector<BYTE> grey(64);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<BYTE>(40 + i * 3);
  const std::vector<BYTE> first = Diffuse(grey);
  const std::vector<BYTE> second = Diffuse(grey);
  EXPECT_NE(first, second);

  // After three lines every error line has played every role once.
  EXPECT_EQ(state().rotation, 2);
  Diffuse(grey);
  EXPECT_EQ(state().rotation, 0);
}

// Expected values below come from a direct evaluation of the filter with truncating
// division; flooring instead changes several of them.
TEST_F(ErrorDiffusionTest, EndsAndInteriorUseTheWeightsOfTheNeighboursPresent) {
  const std::vector<LONG> twoBack = {-90, 17, 120, -3, 55, -127};
  const std::vector<LONG> previous = {40, -100, 8, 128, -77, 33};
  const std::vector<BYTE> input = {0, 200, 130, 60, 255, 129};
  struct Case {
    DWORD count;
    std::vector<LONG> errors;
    BYTE packed;
  };
  const Case cases[] = {
      {6, {-19, -55, -121, 53, 1, -126}, 0x6C},  // divisors 24, 39, 48, 48, 44, 36
      {3, {-19, -66, 122}, 0x40},
      {2, {-30, -88}, 0x40},
      {1, {-14}, 0x00},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    ASSERT_TRUE(InitDiffusion(ctx.get(), c.count));
    std::copy_n(twoBack.begin(), c.count, TwoBack());
    std::copy_n(previous.begin(), c.count, Previous());
    const std::vector<BYTE> line(input.begin(), input.begin() + c.count);
    const std::vector<BYTE> out = Diffuse(line);
    EXPECT_EQ(out[0], c.packed);
    EXPECT_EQ(LastErrors(c.count), c.errors);
  }
}

// The filter evaluated the slow way, neighbour by neighbour, as the reference for lines
// long enough to take the unrolled paths.
struct ReferenceDiffuser {
  explicit ReferenceDiffuser(size_t length) : lines(3, std::vector<LONG>(length, 0)) {}
  std::vector<BYTE> Line(const std::vector<BYTE>& input) {
    static constexpr LONG kA[5] = {1, 3, 5, 3, 1}, kB[5] = {3, 5, 7, 5, 3}, kC[2] = {5, 7};
    const long n = static_cast<long>(input.size());
    std::vector<LONG>& a = lines[rotation];
    std::vector<LONG>& b = lines[(rotation + 1) % 3];
    std::vector<LONG>& c = lines[(rotation + 2) % 3];
    std::vector<BYTE> packed((input.size() + 7) / 8, 0);
    for (long i = 0; i < n; ++i) {
      LONG sum = 0, weight = 0;
      for (long d = -2; d <= 2; ++d) {
        if (i + d < 0 || i + d >= n) continue;
        sum += kA[d + 2] * a[i + d] + kB[d + 2] * b[i + d];
        weight += kA[d + 2] + kB[d + 2];
        if (d < 0) sum += kC[d + 2] * c[i + d], weight += kC[d + 2];
      }
      const LONG value = input[i] + sum / weight;
      const bool dot = value > 128;
      c[i] = dot ? value - 255 : value;
      if (dot) packed[i / 8] |= static_cast<BYTE>(0x80 >> (i % 8));
    }
    rotation = (rotation + 1) % 3;
    return packed;
  }
  std::vector<std::vector<LONG>> lines;
  int rotation = 0;
};

TEST_F(ErrorDiffusionTest, LongLinesMatchTheFilterPixelByPixel) {
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1664525u + 1013904223u; };
  for (DWORD count : {4u, 5u, 9u, 10u, 17u, 26u, 64u, 1001u, 1024u}) {
    SCOPED_TRACE(count);
    ASSERT_TRUE(InitDiffusion(ctx.get(), count));
    state().rotation = 0;
    ReferenceDiffuser reference(count);
    for (int line = 0; line < 5; ++line) {
      std::vector<BYTE> input(count);
      for (BYTE& level : input) level = static_cast<BYTE>(next() >> 24);
      ASSERT_EQ(Diffuse(input), reference.Line(input)) << "line " << line;
    }
    EXPECT_EQ(LastErrors(count), reference.lines[(reference.rotation + 1) % 3]);
  }
}

TEST_F(ErrorDiffusionTest, AUniformErrorFieldStaysUniformUpToBothEnds) {
  // On a white line an error of 100 everywhere is a fixed point only when every pixel
  // divides by exactly the weight it gathered, the ends of the line included.
  for (DWORD count : {1u, 2u, 3u, 4u, 5u, 9u, 40u}) {
    SCOPED_TRACE(count);
    ASSERT_TRUE(InitDiffusion(ctx.get(), count));
    std::fill_n(TwoBack(), count, 100);
    std::fill_n(Previous(), count, 100);
    EXPECT_EQ(DotCount(Diffuse(std::vector<BYTE>(count, 0))), 0u);
    EXPECT_EQ(LastErrors(count), std::vector<LONG>(count, 100));
  }
}

TEST_F(ErrorDiffusionTest, AUniformLevelPrintsItsShareOfDots) {
  constexpr DWORD kLength = 2000;
  constexpr int kLines = 60;
  for (int level : {16, 64, 100, 128, 180, 240}) {
    SCOPED_TRACE(level);
    ASSERT_TRUE(InitDiffusion(ctx.get(), kLength));
    const std::vector<BYTE> line(kLength, static_cast<BYTE>(level));
    size_t dots = 0;
    for (int n = 0; n < kLines; ++n) dots += DotCount(Diffuse(line));
    const double share = static_cast<double>(dots) / (kLength * kLines);
    EXPECT_NEAR(share, level / 255.0, 0.01);
  }
}

TEST_F(ErrorDiffusionTest, ErrorsCarryOverToTheNextSurfaceButTheLinesAreNew) {
  ASSERT_TRUE(InitDiffusion(ctx.get(), 32));
  Diffuse(std::vector<BYTE>(32, 77));
  const WORD rotation = state().rotation;
  const int64_t blocks = host::Live().heapBlocks;
  ASSERT_TRUE(InitDiffusion(ctx.get(), 48));
  EXPECT_EQ(host::Live().heapBlocks, blocks) << "the old lines were released first";
  EXPECT_EQ(state().rotation, rotation);
  EXPECT_EQ(state().lineLength, 48u);
  EXPECT_EQ(LastErrors(48), std::vector<LONG>(48, 0));

  FreeDiffusion(ctx.get());
  EXPECT_EQ(host::Live().heapBlocks, blocks - 3);
  EXPECT_EQ(state().rowCount, 0);
  for (LONG* row : state().rows) EXPECT_EQ(row, nullptr);
  FreeDiffusion(ctx.get());
}

TEST_F(ErrorDiffusionTest, LinesThatCannotBeAllocatedLeaveEveryLineWhite) {
  for (uint64_t failing = 1; failing <= 3; ++failing) {
    SCOPED_TRACE(failing);
    const int64_t blocks = host::Live().heapBlocks;
    host::ClearFailures();
    host::FailCall(host::Call::HeapAlloc, failing);
    EXPECT_FALSE(InitDiffusion(ctx.get(), 16));
    host::ClearFailures();
    EXPECT_EQ(host::Live().heapBlocks, blocks);
    EXPECT_EQ(state().rowCount, 0);
    for (LONG* row : state().rows) EXPECT_EQ(row, nullptr);

    std::vector<BYTE> output(2, 0);
    const std::vector<BYTE> black(16, 255);
    DiffuseLine(ctx.get(), black.data(), output.data(), 16);
    EXPECT_EQ(output, std::vector<BYTE>(2, 0));
  }
}

TEST_F(ErrorDiffusionTest, CountsItCannotHonourWriteNothingAndKeepTheState) {
  std::vector<BYTE> output(4, 0xA5);
  const std::vector<BYTE> black(32, 255);
  DiffuseLine(ctx.get(), black.data(), output.data(), 8);  // before any InitDiffusion
  EXPECT_EQ(output, std::vector<BYTE>(4, 0xA5));

  ASSERT_TRUE(InitDiffusion(ctx.get(), 16));
  DiffuseLine(ctx.get(), black.data(), output.data(), 0);
  DiffuseLine(ctx.get(), black.data(), output.data(), 17);
  EXPECT_EQ(output, std::vector<BYTE>(4, 0xA5));
  EXPECT_EQ(state().rotation, 0);
  DiffuseLine(nullptr, black.data(), output.data(), 8);
  DiffuseLine(ctx.get(), nullptr, output.data(), 8);
  DiffuseLine(ctx.get(), black.data(), nullptr, 8);
  EXPECT_EQ(output, std::vector<BYTE>(4, 0xA5));

  EXPECT_FALSE(InitDiffusion(ctx.get(), 0));
  EXPECT_EQ(state().rowCount, 0);
  EXPECT_FALSE(InitDiffusion(nullptr, 16));
}

}  // namespace
