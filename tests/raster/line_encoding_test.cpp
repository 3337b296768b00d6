// PackBits packing of a page's raster region, the walk it shares with the line thinning,
// and the worked example's whole page stream.
#include <cstring>
#include <random>
#include <vector>

#include "raster/line_encoding.h"
#include "raster/printer_commands.h"
#include "raster/raster_region.h"
#include "stream/packbits.h"
#include "stream/stream_parser.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr DWORD kStart = PAGE_STREAM_RASTER_START;

void AppendLine(Bytes* region, const Bytes& data) {
  region->insert(region->end(), {CMD_RASTER_LINE, static_cast<BYTE>(data.size()), 0});
  region->insert(region->end(), data.begin(), data.end());
}

// The byte-by-byte encoder exactly as the packing rule states it, to hold the packer to.
Bytes ReferencePack(const Bytes& line) {
  Bytes out;
  BYTE last = line[0];
  size_t literalStart = 0;
  DWORD literal = 1;
  DWORD repeats = 0;
  for (size_t i = 1; i < line.size(); ++i) {
    if (line[i] == last) {
      if (literal > 1) {
        out.push_back(static_cast<BYTE>(literal - 2));
        out.insert(out.end(), line.begin() + literalStart, line.begin() + literalStart + literal - 1);
      }
      literal = 0;
      ++repeats;
    } else {
      if (repeats > 0) {
        out.insert(out.end(), {static_cast<BYTE>(0 - repeats), last});
        repeats = 0;
        literal = 0;
      }
      if (literal == 0) literalStart = i;
      last = line[i];
      ++literal;
    }
  }
  if (repeats > 0)
    out.insert(out.end(), {static_cast<BYTE>(0 - repeats), last});
  else {
    out.push_back(static_cast<BYTE>(literal - 1));
    out.insert(out.end(), line.begin() + literalStart, line.end());
  }
  return out;
}

// Random line data with runs in it, so that both packed and raw lines occur.
Bytes RandomLine(std::mt19937& random, DWORD count) {
  Bytes line(count);
  const BYTE palette[4] = {0x00, 0xFF, static_cast<BYTE>(random()), static_cast<BYTE>(random())};
  for (DWORD i = 0; i < count; ++i) {
    const DWORD pick = random() % 8;
    line[i] = pick < 4 ? palette[pick] : pick < 6 && i > 0 ? line[i - 1] : static_cast<BYTE>(random());
  }
  return line;
}

class LineEncodingTest : public HostTest {
 protected:
  // Packs the region behind a stream head of kStart bytes; returns the packed region.
  Bytes Pack(const Bytes& region, DWORD extraCapacity = 4096) {
    Bytes stream(kStart, 0xA5);
    stream.insert(stream.end(), region.begin(), region.end());
    const DWORD length = static_cast<DWORD>(stream.size());
    stream.resize(length + extraCapacity, 0xEE);
    const DWORD result = PackRasterLines(ctx_.get(), stream.data(), kStart, length,
                                         static_cast<DWORD>(stream.size()));
    EXPECT_NE(result, 0u);
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + kStart), Bytes(kStart, 0xA5));
    return Bytes(stream.begin() + kStart, stream.begin() + (result ? result : kStart));
  }

  // A region the packer must refuse, leaving every byte of the buffer as it was.
  void ExpectRefused(const Bytes& region, DWORD capacity = 0) {
    Bytes stream(kStart, 0xA5);
    stream.insert(stream.end(), region.begin(), region.end());
    const DWORD length = static_cast<DWORD>(stream.size());
    stream.resize(length + 64, 0xEE);
    const Bytes before = stream;
    EXPECT_EQ(PackRasterLines(ctx_.get(), stream.data(), kStart, length, capacity ? capacity : length + 64), 0u);
    EXPECT_EQ(stream, before);
  }

  test::TestContext ctx_;
};

TEST_F(LineEncodingTest, PacksTheDocumentedLines) {
  Bytes region;
  AppendLine(&region, Bytes(48, 0x00));
  AppendLine(&region, Bytes(32, 0xFF));
  Bytes distinct47(47), distinct24(24);
  for (BYTE i = 0; i < 47; ++i) distinct47[i] = static_cast<BYTE>(i + 1);
  for (BYTE i = 0; i < 24; ++i) distinct24[i] = static_cast<BYTE>(0x80 + i);
  AppendLine(&region, distinct47);
  AppendLine(&region, distinct24);
  AppendLine(&region, {0x01, 0x02, 0x02, 0x03});

  Bytes expected = {CMD_COMPRESSION_MODE, 0x02};
  expected.insert(expected.end(), {0x47, 0x02, 0x00, 0xD1, 0x00});                    // 48 zeros
  expected.insert(expected.end(), {0x47, 0x04, 0x00, 0xE1, 0xFF, 0xF1, 0x00});        // 32 x FF
  expected.insert(expected.end(), {0x47, 0x32, 0x00, 0x2E});                          // raw 47
  expected.insert(expected.end(), distinct47.begin(), distinct47.end());
  expected.insert(expected.end(), {0x00, 0x00});
  expected.insert(expected.end(), {0x47, 0x1B, 0x00, 0x17});                          // raw 24
  expected.insert(expected.end(), distinct24.begin(), distinct24.end());
  expected.insert(expected.end(), {0xE9, 0x00});
  // 01 02 02 03 packs as 00 01 FF 02 00 03, longer than the line: sent raw.
  expected.insert(expected.end(), {0x47, 0x07, 0x00, 0x03, 0x01, 0x02, 0x02, 0x03, 0xD5, 0x00});
  EXPECT_EQ(Pack(region), expected);

  BYTE packed[96];
  const BYTE pair[4] = {0x01, 0x02, 0x02, 0x03};
  ASSERT_EQ(PackLine(pair, 4, packed), 6u);
  EXPECT_EQ(Bytes(packed, packed + 6), (Bytes{0x00, 0x01, 0xFF, 0x02, 0x00, 0x03}));
  const BYTE one = 0x42;
  ASSERT_EQ(PackLine(&one, 1, packed), 2u);
  EXPECT_EQ(packed[0], 0x00);
  EXPECT_EQ(packed[1], 0x42);
}

TEST_F(LineEncodingTest, PackerMatchesTheByteByByteRuleForEveryLength) {
  std::mt19937 random(1234);
  BYTE packed[96];
  for (int round = 0; round < 40; ++round) {
    for (DWORD count = 1; count <= HEAD_LINE_BYTES; ++count) {
      const Bytes line = RandomLine(random, count);
      const DWORD length = PackLine(line.data(), count, packed);
      ASSERT_EQ(Bytes(packed, packed + length), ReferencePack(line)) << "count " << count;
    }
  }
}

// The command the packing rule gives for a line: packed when that is not longer, else raw.
Bytes ExpectedCommand(const Bytes& line) {
  const DWORD n = static_cast<DWORD>(line.size());
  Bytes data = ReferencePack(line);
  if (data.size() > n) {
    data = {static_cast<BYTE>(n - 1)};
    data.insert(data.end(), line.begin(), line.end());
  }
  if (n == 47) data.insert(data.end(), {0x00, 0x00});
  if (n < 47) data.insert(data.end(), {static_cast<BYTE>(1 - static_cast<int>(48 - n)), 0x00});
  Bytes command = {CMD_RASTER_LINE, static_cast<BYTE>(data.size()), 0};
  command.insert(command.end(), data.begin(), data.end());
  return command;
}

TEST_F(LineEncodingTest, EveryPackedLineDecodesToTheDataAndItsPad) {
  std::mt19937 random(99);
  Bytes region;
  std::vector<Bytes> lines;
  for (int round = 0; round < 20; ++round) {
    for (DWORD count = 1; count <= HEAD_LINE_BYTES; ++count) {
      lines.push_back(RandomLine(random, count));
      AppendLine(&region, lines.back());
      region.push_back(CMD_ZERO_LINE);
    }
  }
  region.push_back(CMD_PAGE_END);
  const Bytes packed = Pack(region);

  DWORD offset = 2;  // behind "M" 02
  for (const Bytes& line : lines) {
    const RegionCommand command = NextRegionCommand(packed.data(), static_cast<DWORD>(packed.size()), &offset);
    ASSERT_EQ(command.kind, RegionItem::RasterLine);
    ASSERT_EQ(Bytes(packed.begin() + command.offset, packed.begin() + command.offset + command.size),
              ExpectedCommand(line));
    BYTE decoded[HEAD_LINE_BYTES];
    const auto result = tq33stream::DecodePackBits(packed.data() + command.offset + 3, command.dataCount,
                                                   decoded, sizeof(decoded));
    ASSERT_EQ(result.status, tq33stream::PackBitsStatus::Ok);
    ASSERT_EQ(result.produced, HEAD_LINE_BYTES);
    Bytes full = line;
    full.resize(HEAD_LINE_BYTES, 0);
    ASSERT_EQ(Bytes(decoded, decoded + HEAD_LINE_BYTES), full) << "count " << line.size();
    EXPECT_EQ(NextRegionCommand(packed.data(), static_cast<DWORD>(packed.size()), &offset).kind,
              RegionItem::ZeroLine);
  }
  EXPECT_EQ(packed.back(), CMD_PAGE_END);
  EXPECT_EQ(offset + 1, packed.size());
}

TEST_F(LineEncodingTest, OtherBytesPassUnchangedBehindTheCompressionMode) {
  const Bytes region = {CMD_ZERO_LINE, CMD_ZERO_LINE, CMD_PAGE_END, CMD_ZERO_LINE, CMD_RETAINED_PAGE_END};
  Bytes expected = {CMD_COMPRESSION_MODE, 0x02};
  expected.insert(expected.end(), region.begin(), region.end());
  EXPECT_EQ(Pack(region), expected);
  EXPECT_EQ(Pack({}), (Bytes{CMD_COMPRESSION_MODE, 0x02}));
}

// A later label's SetupHeader lies inside the region; with a margin of 71 or 90 dots its
// margin byte reads as "G" or "Z", and a byte-by-byte walk would take it for a command.
TEST_F(LineEncodingTest, LaterLabelsHeadersAreSteppedOverWhole) {
  for (WORD margin : {71, 90, 0x5A47}) {
    ctx_.priv().privMargin = margin;
    Bytes header(SETUP_HEADER_SIZE);
    ASSERT_EQ(BuildSetupHeader(header.data(), ctx_.get(), 0), 25u);
    Bytes label;
    AppendLine(&label, Bytes(16, 0x0F));
    label.push_back(CMD_ZERO_LINE);
    label.push_back(CMD_PAGE_END);
    Bytes region = label;
    region.insert(region.end(), header.begin(), header.end());
    region.insert(region.end(), {CMD_COMPRESSION_MODE, CMD_COMPRESSION_PACKBITS});
    region.insert(region.end(), label.begin(), label.end());

    const Bytes packedLabel = {0x47, 0x04, 0x00, 0xF1, 0x0F, 0xE1, 0x00, CMD_ZERO_LINE, CMD_PAGE_END};
    Bytes expected = {CMD_COMPRESSION_MODE, 0x02};
    expected.insert(expected.end(), packedLabel.begin(), packedLabel.end());
    expected.insert(expected.end(), header.begin(), header.end());
    expected.insert(expected.end(), {CMD_COMPRESSION_MODE, CMD_COMPRESSION_PACKBITS});
    expected.insert(expected.end(), packedLabel.begin(), packedLabel.end());
    EXPECT_EQ(Pack(region), expected) << "margin " << margin;

    DWORD offset = static_cast<DWORD>(label.size());
    const RegionCommand command = NextRegionCommand(region.data(), static_cast<DWORD>(region.size()), &offset);
    EXPECT_EQ(command.kind, RegionItem::SetupHeader);
    EXPECT_EQ(offset, label.size() + SETUP_HEADER_SIZE);
  }
}

TEST_F(LineEncodingTest, WalkReportsCommandsCutOffByTheEndWithoutMoving) {
  const Bytes cut[] = {{CMD_RASTER_LINE, 0x05}, {CMD_RASTER_LINE, 0x05, 0x00, 1, 2, 3, 4},
                       Bytes(24, CMD_ESC), {CMD_COMPRESSION_MODE}};
  for (const Bytes& bytes : cut) {
    Bytes region = {CMD_ZERO_LINE};
    region.insert(region.end(), bytes.begin(), bytes.end());
    DWORD offset = 1;
    EXPECT_EQ(NextRegionCommand(region.data(), static_cast<DWORD>(region.size()), &offset).kind,
              RegionItem::Malformed);
    EXPECT_EQ(offset, 1u);
  }
}

TEST_F(LineEncodingTest, RefusesBadRegionsAndLeavesTheBufferUnchanged) {
  Bytes tooLong;
  AppendLine(&tooLong, Bytes(49, 0x11));
  ExpectRefused(tooLong);
  ExpectRefused({CMD_ZERO_LINE, CMD_RASTER_LINE, 0x00, 0x00, CMD_PAGE_END});  // no data
  ExpectRefused({CMD_ZERO_LINE, CMD_RASTER_LINE, 0x08, 0x00, 1, 2, 3});       // past the end
  ExpectRefused({CMD_ZERO_LINE, CMD_RASTER_LINE, 0x01});                     // cut off

  // Raw lines of one byte grow from 4 to 7 bytes: the capacity must hold the result.
  Bytes growing;
  for (int i = 0; i < 10; ++i) AppendLine(&growing, {0x55});
  ExpectRefused(growing, kStart + static_cast<DWORD>(growing.size()) + 2 + 29);
  EXPECT_EQ(Pack(growing, 2 + 30).size(), 72u);

  Bytes stream(kStart + 4, CMD_ZERO_LINE);
  EXPECT_EQ(PackRasterLines(ctx_.get(), stream.data(), kStart, kStart + 4, kStart + 3), 0u);
  EXPECT_EQ(PackRasterLines(ctx_.get(), stream.data(), kStart + 5, kStart + 4, kStart + 9), 0u);
  EXPECT_EQ(PackRasterLines(nullptr, stream.data(), kStart, kStart + 4, kStart + 9), 0u);
  EXPECT_EQ(PackRasterLines(ctx_.get(), nullptr, kStart, kStart + 4, kStart + 9), 0u);
  EXPECT_EQ(stream, Bytes(kStart + 4, CMD_ZERO_LINE));
  ExpectNothingLeaked();
}

TEST_F(LineEncodingTest, FailedWorkingMemoryLeavesTheBufferAndTheHeapAsTheyWere) {
  Bytes region;
  AppendLine(&region, Bytes(20, 0x33));
  for (uint64_t failing : {1, 2}) {
    host::ClearFailures();
    host::FailCall(host::Call::HeapAlloc, failing);
    ExpectRefused(region);
    ExpectNothingLeaked();
  }
  host::ClearFailures();
  EXPECT_EQ(Pack(region).size(), 2u + 3 + 4);
  EXPECT_EQ(host::CallCount(host::Call::HeapAlloc), 2u) << "two working areas per region, none per line";
  ExpectNothingLeaked();
}

// The worked example: a landscape label 128 dots wide, three feed positions (blank, black,
// blank) at 360 dpi, packed into the 97-byte page stream and read back.
TEST_F(LineEncodingTest, WorkedExamplePageStreamIs97Bytes) {
  PrivateSettings& p = ctx_.priv();
  p.privAutoCut = 1;
  p.privHalfCut = 1;
  p.privChainPrint = 0;
  p.privMargin = 57;
  Bytes stream(1024, 0);
  JobInfoRecord record{};
  BuildJobInfoRecord(&record, ctx_.get(), 0);
  ASSERT_EQ(BuildSetupHeader(stream.data() + JOB_INFO_RECORD_SIZE, ctx_.get(), 0), 25u);
  Bytes line(16, 0x00);
  line.resize(32, 0xFF);
  Bytes region = {CMD_ZERO_LINE};
  AppendLine(&region, line);
  region.insert(region.end(), {CMD_ZERO_LINE, CMD_PAGE_END});
  std::memcpy(stream.data() + kStart, region.data(), region.size());

  const DWORD length = PackRasterLines(ctx_.get(), stream.data(), kStart,
                                       kStart + static_cast<DWORD>(region.size()), 1024);
  ASSERT_EQ(length, 97u);
  record.jiTotalLength = length;
  std::memcpy(stream.data(), &record, sizeof(record));
  stream.resize(length);
  const Bytes tail = {0x1B, 0x69, 0x61, 0x01, 0x1B, 0x69, 0x63, 0x84, 0x00, 0x18, 0x00, 0x00,
                      0x1B, 0x69, 0x4D, 0x40, 0x1B, 0x69, 0x4B, 0x0C, 0x1B, 0x69, 0x64, 0x39, 0x00,
                      0x4D, 0x02, 0x5A, 0x47, 0x06, 0x00, 0xF1, 0x00, 0xF1, 0xFF, 0xF1, 0x00, 0x5A, 0x0C};
  EXPECT_EQ(Bytes(stream.begin() + 58, stream.end()), tail);
  EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 8), (Bytes{0x3A, 0, 0, 0, 0x61, 0, 0, 0}));
  EXPECT_EQ(Bytes(stream.begin() + 55, stream.begin() + 58), (Bytes{0x18, 0x01, 0x00}));

  const auto parsed = tq33stream::ParseStream(stream.data(), stream.size());
  ASSERT_TRUE(parsed.ok) << parsed.error;
  ASSERT_EQ(parsed.stream.pages.size(), 1u);
  const auto& label = parsed.stream.pages[0].labels.at(0);
  ASSERT_EQ(label.lines.size(), 3u);
  EXPECT_TRUE(label.lines[0].zero);
  EXPECT_EQ(label.lines[1].dots[15], 0x00);
  EXPECT_EQ(label.lines[1].dots[16], 0xFF);
  EXPECT_EQ(label.lines[1].dots[32], 0x00);
  EXPECT_EQ(label.end, CMD_PAGE_END);
}

}  // namespace
