// SPDX-License-Identifier: Apache-2.0
#include "raster/page_conversion.h"

#include <algorithm>
#include <array>
#include <bit>
#include <numeric>
#include <random>

#include "raster/error_diffusion.h"
#include "raster/hires_corrections.h"
#include "raster/page_output.h"
#include "stream/stream_parser.h"
#include "tests/support/test_context.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A page image the test owns, described the way the engine hands it over.
struct Image {
  Image(DeviceContext* context, LONG cx, LONG cy, BYTE fill = 255, LONG stride = 0)
      : bits(static_cast<size_t>(stride ? stride : (cx + 1) & ~1) * cy, fill) {
    surface.dhpdev = HandleFromContext(context);
    surface.sizlBitmap = {cx, cy};
    surface.lDelta = stride ? stride : (cx + 1) & ~1;
    surface.pvBits = bits.data(), surface.cjBits = static_cast<ULONG>(bits.size());
    surface.iBitmapFormat = BMF_8BPP;
  }
  BYTE& at(LONG x, LONG y) { return bits[static_cast<size_t>(y) * surface.lDelta + x]; }
  Bytes bits;
  SURFOBJ surface = {};
};

// The lines of the single page received, label by label.
std::vector<std::vector<std::array<uint8_t, tq33stream::kHeadLineBytes>>> Lines(const Bytes& sent) {
  const tq33stream::ParseResult parsed = tq33stream::ParseStream(sent.data(), sent.size());
  EXPECT_TRUE(parsed.ok && parsed.stream.pages.size() == 1) << parsed.error;
  std::vector<std::vector<std::array<uint8_t, tq33stream::kHeadLineBytes>>> lines;
  for (const auto& label : parsed.stream.pages.at(0).labels) {
    lines.emplace_back();
    for (const auto& line : label.lines) lines.back().push_back(line.dots);
  }
  return lines;
}

class PageConversionTest : public test::ContextTest {
 protected:
  void SetUp() override {
    ContextTest::SetUp();
    context_->pageCount = 1;
    context_.settings().dm.dmPaperSize = 262;
    priv().privHalftone = 1;
  }
  void TearDown() override {
    ClearRetainedPages(context_.get());
    HostTest::TearDown();
  }
  PrivateSettings& priv() { return context_.priv(); }
  void Orient(SHORT orientation) { context_.settings().dm.dmOrientation = orientation; }
  // The dots of every line of the single framed page received, label by label.
  std::vector<std::vector<int>> Dots() {
    std::vector<std::vector<int>> dots;
    for (const auto& label : Lines(Spooled())) {
      dots.emplace_back();
      const auto count = [](int n, uint8_t byte) { return n + std::popcount(byte); };
      for (const auto& line : label) dots.back().push_back(std::accumulate(line.begin(), line.end(), 0, count));
    }
    return dots;
  }
};

TEST_F(PageConversionTest, ALandscapePageOfBlankBlackAndBlanksIsTheHundredAndTenByteStream) {
  const Bytes expected = {
      0x3A, 0, 0, 0, 0x6E, 0, 0, 0, 0x06, 0x01, 1, 1, 3, 0, 1, 7,
      'T', 0, 'Q', 0, '3', 0, '3', 0, 'K', 0, 'r', 0, '.', 0, 'd', 0, 'l', 0, 'l', 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x18, 0x01, 0,
      0x1B, 0x69, 0x61, 0x01, 0x1B, 0x69, 0x63, 0x84, 0x00, 0x18, 0x00, 0x00,
      0x1B, 0x69, 0x4D, 0x40, 0x1B, 0x69, 0x4B, 0x0C, 0x1B, 0x69, 0x64, 0x39, 0x00,
      0x4D, 0x02, 0x5A, 0x47, 0x06, 0x00, 0xF1, 0x00, 0xF1, 0xFF, 0xF1, 0x00, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A,
      0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x0C};
  priv().privInchUnits = 1;  // the job record's unit, collation and job option
  priv().privCollate = 1;
  priv().privJobOption = 7;
  for (BYTE monitor : {1, 0}) {
    host::ClearSpooled(printer_);
    priv().privUseMonitor = monitor;
    context_.settings().dm.dmCopies = monitor ? 3 : 1;  // framed copies are the record's
    Image image(context_.get(), 16, 128);  // the last fourteen lines blank, as one flat block
    for (LONG y = 0; y < 128; ++y) image.at(1, y) = 0;
    ASSERT_TRUE(ConvertPage(&image.surface));
    // Plain output: the initialise command, then the commands without the held-back 0C.
    Bytes plain = {0x1B, 0x40};
    plain.insert(plain.end(), expected.begin() + 58, expected.end() - 1);
    EXPECT_EQ(Spooled(), monitor ? expected : plain);
  }
}

TEST_F(PageConversionTest, PositiveContrastSpreadsLevelsAndNegativeContrastPullsThemIn) {
  BYTE table[256];
  BuildToneTable(64, table);
  EXPECT_EQ((Bytes{table[2], table[64], table[100], table[127], table[160], table[200], table[213]}),
            (Bytes{0, 32, 86, 126, 176, 236, 255}));
  BuildToneTable(-64, table);
  EXPECT_EQ((Bytes{table[0], table[64], table[200], table[255]}), (Bytes{64, 96, 164, 191}));
  BuildToneTable(-127, table);  // each level's move rounded to the nearest of 1/10 and then of 1
  EXPECT_EQ((Bytes{table[49], table[52], table[192]}), (Bytes{127, 127, 128}));
  BuildToneTable(-128, table);
  EXPECT_EQ(Bytes(table, table + 256), Bytes(256, 128));
}

// Brightness moves greys before the threshold, clamped to white, but spares white itself;
// the tone pass takes every row once.
TEST_F(PageConversionTest, BrightnessMovesGreysBeforeTheThreshold) {
  Orient(DMORIENT_PORTRAIT);
  const std::vector<int> all(101, 384), none(101, 0);
  const struct { BYTE level; signed char brightness; std::vector<int> dots; } cases[] = {
      {100, 100, none}, {156, 100, none}, {27, 100, all}, {28, 100, none}, {255, -128, none}, {227, -100, all}};
  for (const auto& c : cases) {
    host::ClearSpooled(printer_);
    priv().privBrightness = c.brightness;
    Image image(context_.get(), 384, 101, c.level);
    ASSERT_TRUE(ConvertPage(&image.surface));
    EXPECT_EQ(Dots(), (std::vector<std::vector<int>>{c.dots})) << int(c.level) << " " << int(c.brightness);
  }
}

// Every threshold of the ordered matrix (mode 2, and 0 or any unknown mode read as 2): line
// 4j + r meets row r's thresholds in rising order, one level below (j even) or at one (j
// odd), on a label of 129 dots, whose odd last byte lies behind a margin of 127.
TEST_F(PageConversionTest, EachOrderedThresholdPrintsTheLevelsBelowIt) {
  Orient(DMORIENT_PORTRAIT);
  const int rising[4][4] = {{8, 32, 64, 96}, {128, 144, 192, 208}, {160, 176, 224, 240}, {16, 48, 80, 112}};
  Image image(context_.get(), 129, 32), turned(context_.get(), 32, 129);  // the same lines, landscape
  std::vector<int> expected;
  for (LONG f = 0; f < 32; ++f) {
    const int j = f / 4;
    std::fill_n(&image.at(0, f), 129, static_cast<BYTE>(rising[f % 4][j / 2] - 1 + j % 2));
    for (LONG y = 0; y < 129; ++y) turned.at(f, y) = image.at(0, f);
    expected.push_back(32 * (4 - (j + 1) / 2) + (image.at(0, f) < kOrderedMatrix[f % 4 * 4]));
  }
  for (BYTE halftone : {2, 0, 9}) {
    for (Image* page : {&image, &turned}) {
      Orient(page == &image ? DMORIENT_PORTRAIT : DMORIENT_LANDSCAPE);
      host::ClearSpooled(printer_);
      priv().privHalftone = halftone;
      ASSERT_TRUE(ConvertPage(&page->surface));
      EXPECT_EQ(Dots(), (std::vector<std::vector<int>>{expected})) << int(halftone);
    }
  }
}

// At 720 dpi small characters merge two pixels along the head into one: half as many
// dots, each feed line from its own row; and a threshold page leaves out each dot of an odd
// line that both lines beside it print (line 3), unless the medium keeps special rules.
TEST_F(PageConversionTest, SmallCharactersAt720DpiMergeTwoPixelsAlongTheHead) {
  context_.settings().dm.dmYResolution = 720;
  priv().privSmallChar = 1;
  for (const auto& [landscape, kind] : {std::pair{true, 0}, {false, 0}, {false, 1}}) {
    host::ClearSpooled(printer_);
    Orient(landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT);
    priv().privMediaKind = static_cast<BYTE>(kind);
    Image image(context_.get(), landscape ? 6 : 300, landscape ? 300 : 6);
    for (LONG y = 0; y < image.surface.sizlBitmap.cy; ++y)
      for (LONG x = 0; x < image.surface.sizlBitmap.cx; ++x) image.at(x, y) = (landscape ? x : y) % 4 == 1 ? 255 : 0;
    ASSERT_TRUE(ConvertPage(&image.surface));
    EXPECT_EQ(Dots(), (std::vector<std::vector<int>>{{150, 0, 150, kind ? 150 : 0, 150, 0}})) << landscape << kind;
  }
}

// A line whose only dot is the ninth or the sixteenth of a pair of data bytes packed
// together, or lies in an odd last byte, is no blank line. Portrait head dot j is column
// 128 - j; with a margin of 127 dots, data dot 8 is head dot 1.
TEST_F(PageConversionTest, ALineOfASingleDotPrintsWhereverItLies) {
  Orient(DMORIENT_PORTRAIT);
  Image image(context_.get(), 129, 3);
  const LONG heads[] = {1, 8, 128};
  for (LONG f = 0; f < 3; ++f) image.at(128 - heads[f], f) = 0;
  ASSERT_TRUE(ConvertPage(&image.surface));
  EXPECT_EQ(Dots(), (std::vector<std::vector<int>>{{1, 1, 1}}));
}

TEST_F(PageConversionTest, LabelsAcrossEachGetAHeaderAndTheMatrixCounterRunsOn) {
  context_.SetMedia({test::Tape(262, 240, 384, 3)});
  priv().privHalftone = 2;
  Image image(context_.get(), 1, 384, 100);
  ASSERT_TRUE(ConvertPage(&image.surface));
  const Bytes sent = Spooled();
  ASSERT_GE(sent.size(), 114u);
  // Label k's single line meets the matrix's row k: none, all, all and a quarter of the
  // dots. Only label 1's page end stands between it and label 2's header.
  EXPECT_EQ(Bytes(sent.begin() + 85, sent.begin() + 87), (Bytes{0x5A, 0x0C}));
  EXPECT_EQ(Bytes(sent.begin() + 87, sent.begin() + 112), Bytes(sent.begin() + 58, sent.begin() + 83));
  EXPECT_EQ(Dots(), (std::vector<std::vector<int>>{{0}, {96}, {96}, {24}}));
}

// Levels changed by contrast, brightness and the 720-dpi tone, then the dots of every head
// position diffused in turn: rows padded or not (stride 0: the default), short, in blocks;
// black and white with two grey stripes: the blocks before the first pass unfiltered, and
// the error it leaves takes the blocks after it through the filter to the second.
TEST_F(PageConversionTest, ErrorDiffusionMatchesDiffusingEveryHeadPositionInTurn) {
  std::mt19937 random(7);
  const struct { BOOL landscape; signed char contrast, brightness; SHORT dpi; DWORD feed, heads; LONG stride; bool bw = false; } cases[] = {
      {FALSE, 0, 0, 360, 105, 200, 0, true}, {FALSE, 40, -20, 720, 64, 210, 0, true},
      {FALSE, 0, 0, 360, 105, 78, 0}, {TRUE, 0, 0, 360, 151, 130, 151}, {TRUE, 40, -20, 720, 4901, 99, 4904},
      {FALSE, -30, 25, 720, 103, 78, 0}, {FALSE, 0, 100, 360, 101, 78, 0}, {TRUE, 0, 0, 360, 7, 20, 0},
      {FALSE, 0, 0, 360, 1, 20, 0}, {TRUE, 0, 0, 360, 20, 9, 0},
      {TRUE, 40, -20, 720, 2377, 20, 2380}, {TRUE, 0, 20, 360, 4762, 20, 0}, {TRUE, 0, 0, 360, 31, 9, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.landscape << " " << int(c.contrast) << " " << c.dpi << " " << c.feed);
    Orient(c.landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT);
    const DWORD feed = c.feed, heads = c.heads;
    const LONG cx = static_cast<LONG>(c.landscape ? feed : heads), cy = static_cast<LONG>(c.landscape ? heads : feed);
    Image image(context_.get(), cx, cy, 255, c.stride), reference(context_.get(), cx, cy, 255, c.stride);
    for (BYTE& pixel : image.bits) pixel = static_cast<BYTE>(c.bw ? (random() & 1) * 255 : random());
    for (DWORD h : {99u, c.heads * 3 / 5, c.heads * 3 / 5 + 1, c.heads * 3 / 5 + 2, c.heads - 3})  // line 0, every fourth, every
      for (LONG f = 0; c.bw && f < (h == 99 ? 1 : cy); f += h < c.heads - 3 ? 4 : 1) image.at(static_cast<LONG>(h), f) = static_cast<BYTE>(1 + random() % 254);
    BYTE tone[256];
    BuildToneTable(c.contrast, tone);
    for (size_t i = 0; i < image.bits.size(); ++i) {
      const BYTE v = image.bits[i];
      const int level = v == 0 || v == 255 ? v : std::clamp(tone[v] + c.brightness, 0, 255);
      reference.bits[i] = c.dpi == 720 ? HiResToneTable[level] : static_cast<BYTE>(level);
    }
    test::TestContext diffuser;
    ASSERT_TRUE(InitDiffusion(context_.get(), feed) && InitDiffusion(diffuser.get(), feed));
    for (DWORD h = 0; h < heads; ++h) {
      Bytes line(feed), bits((feed + 7) / 8);
      auto pixel = [&](DWORD f) -> BYTE& { return c.landscape ? reference.at(f, h) : reference.at(h, f); };
      for (DWORD f = 0; f < feed; ++f) line[f] = 255 - pixel(f);
      DiffuseLine(diffuser.get(), line.data(), bits.data(), feed);
      for (DWORD f = 0; f < feed; ++f) pixel(f) = (bits[f / 8] & (0x80 >> (f % 8))) ? 0 : 255;
    }
    host::ClearSpooled(printer_);
    priv().privHalftone = 3, priv().privContrast = c.contrast, priv().privBrightness = c.brightness;
    context_.settings().dm.dmYResolution = c.dpi;
    ASSERT_TRUE(ConvertPage(&image.surface));
    const Bytes diffused = Spooled();
    host::ClearSpooled(printer_);
    priv().privHalftone = 1;
    priv().privContrast = priv().privBrightness = 0;
    context_.settings().dm.dmYResolution = 360;
    ASSERT_TRUE(ConvertPage(&reference.surface));
    EXPECT_EQ(Lines(diffused), Lines(Spooled()));
    FreeDiffusion(context_.get());
  }
}

// Threshold lines, in landscape sixteen at a time from the pixels' top bits: every dot is
// a pixel below 128, behind the margin of its label, whatever the margin's bits and the
// number of labels, for lines of a whole block and the lines after the last; in portrait
// each label's dots run from its last column. Only bad media data says more than four
// labels across: the page then prints as one label.
TEST_F(PageConversionTest, ThresholdDotsAreThePixelsBelow128OfEachLabel) {
  std::mt19937 random(11);
  const struct { bool landscape; LONG head; BYTE across, labels; } cases[] = {
      {true, 334, 0, 1}, {true, 128, 1, 2}, {true, 291, 2, 3}, {true, 7, 0, 1}, {true, 384, 3, 4},
      {true, 384, 4, 1}, {false, 384, 0, 1}, {false, 127, 0, 1}, {false, 129, 0, 1}, {false, 260, 1, 2}, {false, 1, 0, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.landscape << " " << c.head);
    Orient(c.landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT);
    context_.SetMedia({test::Tape(262, 240, static_cast<SHORT>(c.head), c.across)});
    const LONG feed = 95;  // five blocks of sixteen lines, one of eight, seven after
    Image image(context_.get(), c.landscape ? feed : c.head, c.landscape ? c.head : feed);
    for (BYTE& pixel : image.bits) pixel = static_cast<BYTE>(random());
    for (LONG y = 0; c.landscape && y < c.head; ++y) image.at(0, y) |= y % 96 / 8 == 8 ? 0 : 0x80;  // tail dots alone
    host::ClearSpooled(printer_);
    ASSERT_TRUE(ConvertPage(&image.surface));
    const auto lines = Lines(Spooled());
    const LONG part = c.head / c.labels, margin = (384 - part) / 2;
    ASSERT_EQ(lines.size(), c.labels);
    for (LONG label = 0; label < c.labels; ++label) {
      ASSERT_EQ(lines[label].size(), static_cast<size_t>(feed));
      for (LONG f = 0; f < feed; ++f) {
        std::array<uint8_t, tq33stream::kHeadLineBytes> expected{};
        for (LONG j = 0; j < part; ++j) {
          const BYTE pixel = c.landscape ? image.at(f, label * part + j) : image.at((label + 1) * part - 1 - j, f);
          if (pixel < 128) expected[(margin + j) / 8] |= 0x80 >> ((margin + j) % 8);
        }
        ASSERT_EQ(lines[label][f], expected) << "label " << label << ", line " << f;
      }
    }
  }
}

// Failed allocations during a conversion are swept by the reliability tests.
TEST_F(PageConversionTest, AnAbortAtAnyPollLeavesNothing) {
  context_.settings().dm.dmYResolution = 720;
  priv().privSmallChar = 1;  // the merge's selector array
  priv().privHalftone = 3;
  ASSERT_TRUE(InitDiffusion(context_.get(), 150));
  // Polls: landscape, rows 0 to 400 of the tone pass in hundreds, the merged head rows 0 to
  // 200 of the diffusion; portrait, rows 0 and 100, head columns 0 and 100 (blocks of 48 end there).
  for (const auto& [landscape, polls] : {std::pair<bool, uint64_t>{true, 8}, {false, 4}}) {
    Orient(landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT);
    for (uint64_t poll = 1; poll <= polls + 1; ++poll) {
      Image image(context_.get(), landscape ? 150 : 400, landscape ? 402 : 150, 60);
      host::AbortAfterPolls(poll);
      EXPECT_EQ(ConvertPage(&image.surface), poll > polls) << poll;
      EXPECT_EQ(Spooled().empty(), poll <= polls) << poll;
      host::ClearSpooled(printer_);
    }
  }
  host::SetAbort(false);
  FreeDiffusion(context_.get());
}

TEST_F(PageConversionTest, PagesThatCannotBeHeldAreRefusedCleanly) {
  Image wide(context_.get(), 386, 1), huge(context_.get(), 1, 1, 255, 39045151);
  EXPECT_FALSE(ConvertPage(&huge.surface));  // the least row stride whose page stream passes 31 bits
  Orient(DMORIENT_PORTRAIT);
  EXPECT_FALSE(ConvertPage(&wide.surface));  // a label wider than the head
  EXPECT_TRUE(Spooled().empty());
  // Surfaces without bits, empty, bottom-up, or with rows past their bits; bits to spare are fine.
  const struct { bool bits; LONG cx, cy, stride; ULONG size; BOOL ok; } surfaces[] = {
      {false, 8, 8, 8, 64, FALSE}, {true, 0, 8, 8, 64, FALSE}, {true, 8, 0, 8, 64, FALSE},
      {true, 8, 8, -8, 64, FALSE}, {true, 8, 8, 8, 63, FALSE}, {true, 8, 8, 8, 65, TRUE}};
  for (const auto& s : surfaces) {
    Image image(context_.get(), 8, 8);
    image.surface.pvBits = s.bits ? image.bits.data() : nullptr;
    image.surface.sizlBitmap = {s.cx, s.cy};
    image.surface.lDelta = s.stride;
    image.surface.cjBits = s.size;
    EXPECT_EQ(ConvertPage(&image.surface), s.ok) << s.bits << " " << s.cx << " " << s.cy << " " << s.stride << " " << s.size;
  }
}

}  // namespace
