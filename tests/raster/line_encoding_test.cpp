// SPDX-License-Identifier: Apache-2.0
// PackBits packing of a page's raster region and the walk it shares with the line thinning.
// The worked example's whole page stream is in page_conversion_test.
#include <sys/mman.h>

#include <random>
#include <vector>

#include "raster/line_encoding.h"
#include "raster/printer_commands.h"
#include "stream/stream_parser.h"
#include "tests/support/bytes.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr DWORD kStart = kPageStreamRasterStart;

Bytes Line(const Bytes& data) { return Bytes{kCmdRasterLine, static_cast<BYTE>(data.size()), 0} + data; }

// The byte-by-byte encoder exactly as the packing rule states it, to hold the packer to.
Bytes ReferencePack(const Bytes& line) {
  Bytes out;
  size_t literalStart = 0;
  DWORD literal = 1;
  DWORD repeats = 0;
  for (size_t i = 1; i < line.size(); ++i) {
    if (line[i] == line[i - 1]) {
      if (literal > 1) out = out + Bytes{static_cast<BYTE>(literal - 2)} +
                             Bytes(line.begin() + literalStart, line.begin() + literalStart + literal - 1);
      literal = 0;
      ++repeats;
    } else {
      if (repeats > 0) out = out + Bytes{static_cast<BYTE>(0 - repeats), line[i - 1]};
      if (repeats > 0 || literal == 0) literalStart = i, literal = 0;
      repeats = 0;
      ++literal;
    }
  }
  if (repeats > 0) return out + Bytes{static_cast<BYTE>(0 - repeats), line.back()};
  return out + Bytes{static_cast<BYTE>(literal - 1)} + Bytes(line.begin() + literalStart, line.end());
}

// The command the rule gives for a line: packed when that is not longer, else raw; then
// the pad run.
Bytes ExpectedCommand(const Bytes& line) {
  const int n = static_cast<int>(line.size());
  Bytes data = ReferencePack(line);
  if (static_cast<int>(data.size()) > n) data = Bytes{static_cast<BYTE>(n - 1)} + line;
  if (n == 47) data = data + Bytes{0x00, 0x00};
  if (n < 47) data = data + Bytes{static_cast<BYTE>(1 - (48 - n)), 0x00};
  return Bytes{kCmdRasterLine, static_cast<BYTE>(data.size()), 0} + data;
}

class LineEncodingTest : public test::ContextTest {
 protected:
  // Packs the region behind a stream head of kStart bytes; returns the packed region.
  Bytes Pack(const Bytes& region, DWORD room = 4096) {
    Bytes stream = Bytes(kStart, 0xA5) + region;
    const DWORD length = static_cast<DWORD>(stream.size());
    stream.resize(length + room, 0xEE);
    stream.shrink_to_fit();  // a read past the room is the address sanitizer's
    const DWORD result = PackRasterLines(context_.get(), stream.data(), kStart, length, length + room);
    EXPECT_NE(result, 0u);
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + kStart), Bytes(kStart, 0xA5));
    return Bytes(stream.begin() + kStart, stream.begin() + (result ? result : kStart));
  }

  // A region the packer must refuse, leaving every byte of the buffer as it was.
  void ExpectRefused(const Bytes& region, int room = 64) {
    Bytes stream = Bytes(kStart, 0xA5) + region;
    const LONG length = static_cast<LONG>(stream.size());
    stream.resize(length + 64, 0x00);  // a count read past the end would find one line
    const Bytes before = stream;
    EXPECT_EQ(PackRasterLines(context_.get(), stream.data(), kStart, length, length + room), 0u);
    EXPECT_EQ(stream, before);
  }

};

TEST_F(LineEncodingTest, PacksTheDocumentedLines) {
  Bytes distinct47(47), distinct24(24);
  for (BYTE i = 0; i < 47; ++i) distinct47[i] = static_cast<BYTE>(i + 1);
  for (BYTE i = 0; i < 24; ++i) distinct24[i] = static_cast<BYTE>(0x80 + i);
  const Bytes region = Line(Bytes(48, 0x00)) + Line(Bytes(32, 0xFF)) + Line(distinct47) +
                       Line(distinct24) + Line({0x01, 0x02, 0x02, 0x03});
  const Bytes expected = Bytes{kCmdCompressionMode, 0x02} + Bytes{0x47, 0x02, 0x00, 0xD1, 0x00} +
                         Bytes{0x47, 0x04, 0x00, 0xE1, 0xFF, 0xF1, 0x00} +
                         Bytes{0x47, 0x32, 0x00, 0x2E} + distinct47 + Bytes{0x00, 0x00} +
                         Bytes{0x47, 0x1B, 0x00, 0x17} + distinct24 + Bytes{0xE9, 0x00} +
                         // 01 02 02 03 packs as 00 01 FF 02 00 03, longer than itself: raw
                         Bytes{0x47, 0x07, 0x00, 0x03, 0x01, 0x02, 0x02, 0x03, 0xD5, 0x00};
  EXPECT_EQ(Pack(region), expected);

  // Zero lines and page ends pass unchanged behind "M" 02.
  const Bytes others = {kCmdZeroLine, kCmdZeroLine, kCmdPageEnd, kCmdZeroLine, kCmdRetainedPageEnd};
  EXPECT_EQ(Pack(others), (Bytes{kCmdCompressionMode, 0x02} + others));
  EXPECT_EQ(Pack({}), (Bytes{kCmdCompressionMode, 0x02}));
  // No room behind the region: lines near its end are read from copies, never past it.
  EXPECT_EQ(Pack(Line(Bytes(18, 0x0F)) + Line({1, 2, 3}) + Bytes(8, kCmdZeroLine), 0),
            (Bytes{kCmdCompressionMode, 2, 0x47, 4, 0, 0xEF, 0x0F, 0xE3, 0, 0x47, 6, 0, 2, 1, 2, 3, 0xD4, 0} + Bytes(8, kCmdZeroLine)));
  for (DWORD n : {16u, 17u}) Pack(Line(Bytes(distinct47.begin(), distinct47.begin() + n)) + Line(Bytes(12, 0)), 0);
  // A spare area of 2 + 2 x the stream + 15 bytes is the packer's own; a byte less is not.
  const Bytes stream = Bytes(kStart, 0xA5) + Line(Bytes(48, 0x00));
  const DWORD size = static_cast<DWORD>(stream.size());
  for (DWORD spareBytes : {2 + 2 * size + 15, 2 + 2 * size + 14}) {
    host::ClearFailures();
    Bytes packed = stream;
    Bytes spare(spareBytes);
    EXPECT_EQ(PackRasterLines(context_.get(), packed.data(), kStart, size, size, spare.data(), spareBytes), kStart + 7);
    EXPECT_EQ(host::CallCount(host::Call::HeapAlloc), spareBytes % 2 ? 1u : 2u) << spareBytes;
  }
}

// Random lines of every length, with runs in them: every command is the rule's, byte for
// byte, and the stream parser decodes each back to the data and its zero pad.
TEST_F(LineEncodingTest, EveryLineLengthPacksByTheRuleAndDecodesToTheDataAndItsPad) {
  std::mt19937 random(99);
  Bytes region;
  std::vector<Bytes> lines;
  for (int round = 0; round < 20; ++round) {
    for (DWORD count = 1; count <= kHeadLineBytes; ++count) {
      Bytes line(count);
      const BYTE palette[4] = {0x00, 0xFF, static_cast<BYTE>(random()), static_cast<BYTE>(random())};
      for (DWORD i = 0; i < count; ++i) {
        const DWORD pick = random() % 8;
        line[i] = pick < 4 ? palette[pick] : pick < 6 && i > 0 ? line[i - 1] : static_cast<BYTE>(random());
      }
      lines.push_back(line);
      region = region + Line(line) + Bytes{kCmdZeroLine};
    }
  }
  const Bytes packed = Pack(region + Bytes{kCmdPageEnd});

  Bytes header(SETUP_HEADER_SIZE);
  ASSERT_EQ(BuildSetupHeader(header.data(), context_.get(), 0), 25u);
  const Bytes stream = header + packed;
  const auto parsed = tq33stream::ParseStream(stream.data(), stream.size());
  ASSERT_TRUE(parsed.ok) << parsed.error;
  const auto& decoded = parsed.stream.pages.at(0).labels.at(0).lines;
  ASSERT_EQ(decoded.size(), 2 * lines.size());
  for (size_t i = 0; i < lines.size(); ++i) {
    const size_t at = decoded[2 * i].offset - SETUP_HEADER_SIZE;
    const size_t size = 3 + packed[at + 1];
    ASSERT_EQ(Bytes(packed.begin() + at, packed.begin() + at + size), ExpectedCommand(lines[i]));
    Bytes full = lines[i];
    full.resize(kHeadLineBytes, 0);
    ASSERT_EQ(Bytes(decoded[2 * i].dots.begin(), decoded[2 * i].dots.end()), full);
    EXPECT_TRUE(decoded[2 * i + 1].zero);
  }
}

// A later label's SetupHeader lies inside the region; with a margin of 71 or 90 dots its
// margin byte reads as "G" or "Z", and a byte-by-byte walk would take it for a command.
TEST_F(LineEncodingTest, LaterLabelsHeadersAreSteppedOverWhole) {
  for (WORD margin : {71, 90, 0x5A47}) {
    context_.priv().privMargin = margin;
    Bytes header(SETUP_HEADER_SIZE);
    ASSERT_EQ(BuildSetupHeader(header.data(), context_.get(), 0), 25u);
    const Bytes compression = {kCmdCompressionMode, kCmdCompressionPackBits};
    const Bytes label = Line(Bytes(16, 0x0F)) + Bytes{kCmdZeroLine, kCmdPageEnd};
    const Bytes packedLabel = {0x47, 0x04, 0x00, 0xF1, 0x0F, 0xE1, 0x00, kCmdZeroLine, kCmdPageEnd};
    EXPECT_EQ(Pack(label + header + compression + label),
              compression + packedLabel + header + compression + packedLabel) << "margin " << margin;
  }
}

TEST_F(LineEncodingTest, RefusesBadRegionsLeavingTheBufferUnchanged) {
  EXPECT_EQ(PackRasterLines(nullptr, nullptr, 0, 0, 2) + PackRasterLines(context_.get(), nullptr, 0, 0, 2) +
                PackRasterLines(context_.get(), Line({1}).data(), 0, 0x7FFFFFF8u, 0x7FFFFFF8u), 0u) << "an area past 32 bits";
  ExpectRefused(Line(Bytes(49, 0x11)));
  ExpectRefused({kCmdZeroLine, 0x42, kCmdRasterLine, 0x00, 0x00, kCmdPageEnd});  // no data, after any byte
  ExpectRefused({kCmdZeroLine, kCmdRasterLine, 0x08, 0x00, 1, 2, 3});       // past the end
  ExpectRefused({kCmdZeroLine, kCmdRasterLine, 0x01});                     // cut off
  ExpectRefused(Bytes{kCmdZeroLine} + Bytes(24, kCmdEsc));                   // header cut off
  ExpectRefused({kCmdZeroLine, kCmdCompressionMode});                      // mode cut off

  // Lines of one byte grow from 4 to 7 bytes: the capacity must hold the result.
  Bytes growing;
  for (int i = 0; i < 10; ++i) growing = growing + Line({0x55});
  ExpectRefused(growing, 2 + 30 - 1);
  EXPECT_EQ(Pack(growing, 2 + 30).size(), 72u);

  ExpectRefused(Line(Bytes(48, 0x00)), -1);  // capacity below the stream, though the lines shrink

  host::ClearFailures();
  EXPECT_EQ(Pack(growing).size(), 72u);
  EXPECT_EQ(host::CallCount(host::Call::HeapAlloc), 2u) << "two working areas a region, none a line";

  // The longest region whose work area (2 + 2 * length + 15 bytes) a DWORD counts is taken: a stream of 2 GB mapped,
  // its region of no lines at its end, the spare said to be that large.
  const DWORD longest = 0x7FFFFFF7u;
  void* mapped = mmap(nullptr, longest + 2ull, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  BYTE spare[2];
  if (mapped != MAP_FAILED) {  // where the address space has room for it
    EXPECT_EQ(PackRasterLines(context_.get(), static_cast<BYTE*>(mapped), longest, longest, longest + 2, spare,
                              ~SIZE_T{0}), longest + 2);
    munmap(mapped, longest + 2ull);
  }
}

}  // namespace
