// The strict stream parser and the PackBits decoder: what the driver's page output can
// send is accepted with its structure; anything else is refused at the right offset.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stream/packbits.h"
#include "stream/stream_parser.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace tq33stream;

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Header(uint16_t margin = 57, uint8_t kind = 0x00, uint8_t advanced = 0x0C, uint8_t p5 = 0) {
  return {0x1B, 0x69, 0x61, 0x01, 0x1B, 0x69, 0x63, static_cast<uint8_t>(kind ? 0x86 : 0x84), kind, 0x18,
          0x00, p5, 0x1B, 0x69, 0x4D, 0x40, 0x1B, 0x69, 0x4B, advanced, 0x1B, 0x69, 0x64,
          static_cast<uint8_t>(margin), static_cast<uint8_t>(margin >> 8)};
}

Bytes Record(uint32_t total, uint8_t kind = 0x01) {
  Bytes r = {0x3A, 0, 0, 0, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), 0, 0,
             0x06, 0x01, 0, 1, 2, 0, 0, 0};
  for (char c : std::string("TQ33Kr.dll")) r = r + Bytes{static_cast<uint8_t>(c), 0};
  r.resize(55, 0);
  return r + Bytes{0x18, kind, 0};
}

const Bytes kCompression = {0x4D, 0x02};
const Bytes kBlack = {0x47, 0x02, 0x00, 0xD1, 0xFF};  // 48 bytes of 0xFF
const Bytes kEdge = {0x47, 0x04, 0x00, 0x00, 0x81, 0xD2, 0x00};  // 0x81, then 47 zeros
const Bytes kZero = {0x5A};

constexpr size_t kLabel = 25 + 2 + 1 + 5 + 7 + 1;  // bytes of one label of PageBody

// A page as the driver builds it, behind its record: labels of Z, black, edge lines.
Bytes PageBody(int labels = 1, uint16_t margin = 57) {
  Bytes body;
  for (int i = 0; i < labels; ++i) body = body + Header(margin) + kCompression + kZero + kBlack + kEdge + Bytes{0x0C};
  return body;
}

Bytes FramedPage(int labels = 1) {
  const Bytes body = PageBody(labels);
  return Record(static_cast<uint32_t>(58 + body.size())) + body;
}

ParseResult Parse(const Bytes& bytes) { return ParseStream(bytes.data(), bytes.size()); }

void ExpectRejected(const Bytes& bytes, size_t offset, const std::string& words) {
  const ParseResult result = Parse(bytes);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.errorOffset, offset) << result.error;
  EXPECT_EQ(result.error.rfind("offset " + std::to_string(offset) + ": ", 0), 0u) << result.error;
  EXPECT_NE(result.error.find(words), std::string::npos) << result.error;
}

TEST(StreamParser, FramedPageDecodesRecordHeaderLinesAndEveryCommandOffset) {
  const Bytes stream = FramedPage(2) + FramedPage(1);
  const ParseResult result = Parse(stream);
  ASSERT_TRUE(result.ok) << result.error;
  const Stream& s = result.stream;
  EXPECT_EQ(s.format, StreamFormat::Framed);
  ASSERT_EQ(s.pages.size(), 2u);
  ASSERT_TRUE(s.pages[0].record.has_value());
  EXPECT_EQ(s.pages[0].record->totalLength, 58 + 2 * kLabel);
  EXPECT_EQ(s.pages[0].record->paperSize, 262);
  EXPECT_EQ(s.pages[0].record->copies, 2);
  EXPECT_EQ(s.pages[1].offset, 58 + 2 * kLabel);
  ASSERT_EQ(s.pages[0].labels.size(), 2u);
  const Label& second = s.pages[0].labels[1];
  EXPECT_EQ(second.offset, 58 + kLabel);
  EXPECT_TRUE(second.ownHeader);
  EXPECT_EQ(second.header.margin, 57);
  EXPECT_EQ(second.header.widthByte, 0x18);
  EXPECT_TRUE(second.header.autoCut);
  EXPECT_TRUE(second.header.halfCut && second.header.noChain);
  EXPECT_EQ(second.header.feedResolution, 360);
  ASSERT_EQ(second.lines.size(), 3u);
  EXPECT_TRUE(second.lines[0].zero);
  std::array<uint8_t, 48> black;
  black.fill(0xFF);
  EXPECT_EQ(second.lines[1].dots, black);
  EXPECT_EQ(second.lines[2].dots[0], 0x81);
  EXPECT_EQ(second.lines[2].dots[1], 0x00);
  EXPECT_EQ(second.end, 0x0C);
  EXPECT_EQ(CountLines(s), 9u);

  const CommandKind expected[] = {CommandKind::JobRecord,   CommandKind::RasterMode, CommandKind::PrintInfo,
                                  CommandKind::VariousMode, CommandKind::AdvancedMode, CommandKind::Margin,
                                  CommandKind::CompressionMode, CommandKind::ZeroLine, CommandKind::RasterLine,
                                  CommandKind::RasterLine,  CommandKind::PageEnd};
  const size_t offsets[] = {0, 58, 62, 70, 74, 78, 83, 85, 86, 91, 58 + kLabel - 1};
  ASSERT_GE(s.commands.size(), 11u);
  for (size_t i = 0; i < 11; ++i) {
    EXPECT_EQ(s.commands[i].kind, expected[i]) << i;
    EXPECT_EQ(s.commands[i].offset, offsets[i]) << i;
  }
}

TEST(StreamParser, FramedRetainedChainIsOnePageWhoseRecordCountsEveryPiece) {
  // A retained page A, a retained page B sending only its lines (two labels), then C.
  const Bytes a = PageBody(1);
  const Bytes bLines = kBlack + Bytes{0x0C} + Header() + kCompression + kZero + Bytes{0x0B};
  const Bytes cLines = kZero + kBlack + Bytes{0x0C};
  Bytes aRetained = a;
  aRetained.back() = 0x0B;
  const uint32_t total = static_cast<uint32_t>(58 + aRetained.size() + bLines.size() + cLines.size());
  Bytes chain = Record(total) + aRetained + bLines + cLines;
  ParseResult result = Parse(chain);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(result.stream.pages.size(), 1u);
  const Page& page = result.stream.pages[0];
  ASSERT_EQ(page.labels.size(), 4u);
  EXPECT_EQ(page.labels[0].end, 0x0B);
  EXPECT_FALSE(page.labels[1].ownHeader);
  EXPECT_EQ(page.labels[1].header.margin, 57) << "prints with the header in force";
  EXPECT_TRUE(page.labels[2].ownHeader);
  EXPECT_FALSE(page.labels[3].ownHeader);
  EXPECT_EQ(page.labels[3].end, 0x0C);

  // A retained page that keeps its own record inside the chain: that record counts its page.
  const Bytes b = Record(static_cast<uint32_t>(58 + aRetained.size())) + aRetained;
  chain = Record(static_cast<uint32_t>(58 + aRetained.size() + b.size() + cLines.size())) + aRetained + b + cLines;
  result = Parse(chain);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.stream.pages[0].chainedRecords.size(), 1u);

  // A record whose total falls short of the end of the chain, or overshoots the stream.
  ExpectRejected(Record(total - 1) + aRetained + bLines + cLines, total - 1, "ends inside a label");
  ExpectRejected(Record(total - 3) + aRetained + bLines + cLines, total - 6,
                 "raster line of 2 data bytes runs past the end of the framed page");
  ExpectRejected(Record(total + 1) + aRetained + bLines + cLines, 4, "total length");
}

TEST(StreamParser, PlainDocumentsWithCopiesRetainedPagesAndHeldBackPageEnds) {
  Bytes page = PageBody(1);
  page.pop_back();  // the last page end is held back
  // 1B 40, page 1 in two copies, 0C, page 2, 1A; then a document of no pages.
  const Bytes stream = Bytes{0x1B, 0x40} + PageBody(1) + page + Bytes{0x0C} + page + Bytes{0x1A, 0x1A};
  ParseResult result = Parse(stream);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.stream.format, StreamFormat::Plain);
  EXPECT_EQ(result.stream.documents, 2u);
  ASSERT_EQ(result.stream.pages.size(), 3u);
  EXPECT_EQ(result.stream.pages[2].labels[0].end, 0x1A);
  EXPECT_EQ(result.stream.commands.front().kind, CommandKind::Initialise);

  // A retained page from its header, then the next page's lines, the document ending it.
  Bytes retained = PageBody(1);
  retained.back() = 0x0B;
  result = Parse(retained + kBlack + Bytes{0x1A});
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(result.stream.pages.size(), 1u);
  ASSERT_EQ(result.stream.pages[0].labels.size(), 2u);
  EXPECT_FALSE(result.stream.pages[0].labels[1].ownHeader);

  // Captured between two pages: the stream stops after the lines.
  result = Parse(Bytes{0x1B, 0x40} + page);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.stream.pages[0].labels[0].end, 0);
  EXPECT_EQ(result.stream.documents, 0u);
}

TEST(StreamParser, RefusesWhatThePageOutputCannotSend) {
  const Bytes page = PageBody(1);
  ExpectRejected(Bytes{0x99}, 0, "unexpected byte 0x99");
  ExpectRejected(Bytes{0x1B, 0x40} + kBlack, 2, "SetupHeader");
  ExpectRejected(Bytes{0x1A} + kBlack, 1, "raster line before any SetupHeader");
  ExpectRejected(page + Bytes{0x1B, 0x40} + page, kLabel, "initialise command 1B 40 inside a document");
  ExpectRejected(Bytes{0x1B, 0x40}, 2, "ends after the initialise command");
  Bytes retained = page;
  retained.back() = 0x0B;
  ExpectRejected(retained + Bytes{0x1A}, kLabel, "unexpected byte 0x1A");
  ExpectRejected(retained, kLabel, "ends after a retained page end");
  ExpectRejected(page + Bytes{0x0C}, kLabel, "unexpected byte 0x0C");

  // Framed: records and headers must agree and be what the driver writes.
  Bytes framed = FramedPage();
  framed[58 + 9] = 0x0C;  // header width byte
  ExpectRejected(framed, 55, "width byte");
  framed = FramedPage();
  framed[20] = 'X';
  ExpectRejected(framed, 20, "resource name");
  Bytes retainedFrame = Record(static_cast<uint32_t>(58 + retained.size())) + retained;
  ExpectRejected(retainedFrame, 58 + kLabel - 1, "ends with the retained page end 0B");
}

TEST(StreamParser, RefusesHeadersTheDriverCannotBuild) {
  const Bytes tail = kCompression + kBlack + Bytes{0x0C};
  ExpectRejected(Header(57, 0x09, 0x0C) + tail, 19, "about 720 dpi");
  ExpectRejected(Header(57, 0x10, 0x04) + tail, 19, "lacks 0x08 on special media");
  ExpectRejected(Header(57, 0x00, 0x0C, 1) + tail, 11, "high-resolution byte");
  ExpectRejected(Header(57, 0x05) + tail, 8, "kind byte 0x05");
  Bytes h = Header();
  h[7] = 0x86;
  ExpectRejected(h + tail, 7, "does not match kind byte");
  h = Header();
  h[15] = 0x41;
  ExpectRejected(h + tail, 15, "unknown bits");
  ExpectRejected(Header() + Bytes{0x4D, 0x03} + kBlack, 26, "not PackBits");
  ExpectRejected(Header() + Bytes{0x4D}, 25, "cut off");
  const Bytes full = Header();
  ExpectRejected(Bytes(full.begin(), full.begin() + 20), 0, "SetupHeader cut off");
  // Header margins that read as "G" and "Z" are parameters, not commands.
  EXPECT_TRUE(Parse(Header(0x5A47, 0x09, 0x4C, 1) + tail).ok);
}

TEST(StreamParser, RefusesRasterLinesThatDoNotDecodeToOneHeadLine) {
  const Bytes head = Header() + kCompression;  // lines start at offset 27
  ExpectRejected(head + Bytes{0x47, 0x02, 0x00, 0xD0, 0x00}, 30, "decodes to more than 48 bytes");
  ExpectRejected(head + Bytes{0x47, 0x02, 0x00, 0xD2, 0x00}, 27, "decodes to 47 bytes, not 48");
  ExpectRejected(head + Bytes{0x47, 0x03, 0x00, 0x80, 0xD1, 0x00}, 30, "0x80");
  ExpectRejected(head + Bytes{0x47, 0x03, 0x00, 0x05, 0x01, 0x02}, 30, "cut off by the end of the raster line");
  ExpectRejected(head + Bytes{0x47, 0x00, 0x00, 0x0C}, 27, "without data");
  ExpectRejected(head + Bytes{0x47, 0x3C, 0x00, 0xD1}, 27, "raster line of 60 data bytes runs past");
  ExpectRejected(head + Bytes{0x47, 0x3C}, 27, "cut off");
  ExpectRejected(head + kBlack + Bytes{0x4D, 0x02}, 32, "unexpected byte 0x4D");
}

TEST(StreamParser, LimitsLinesAndLabels) {
  Bytes stream = Header() + kCompression + Bytes(100, 0x5A) + Bytes{0x0C};
  ParseOptions options;
  options.maxLines = 99;
  ParseResult result = ParseStream(stream.data(), stream.size(), options);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.errorOffset, 27u + 99);
  options = {};
  options.maxLabels = 2;
  stream = PageBody(3);
  result = ParseStream(stream.data(), stream.size(), options);
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(result.errorOffset, 2 * kLabel);
}

// The parser reads files from users: no prefix, mutation or noise may take it outside.
TEST(StreamParser, NeverReadsOutsideItsInput) {
  Bytes retained = PageBody(2);
  retained.back() = 0x0B;
  const Bytes chainEnd = kBlack + kZero + Bytes{0x0C};
  const Bytes framed =
      FramedPage(2) + Record(static_cast<uint32_t>(58 + retained.size() + chainEnd.size())) + retained + chainEnd;
  const Bytes plain = Bytes{0x1B, 0x40} + PageBody(2) + retained + kBlack + Bytes{0x1A};
  std::mt19937 random(5);
  for (const Bytes& valid : {framed, plain}) {
    ASSERT_TRUE(Parse(valid).ok) << Parse(valid).error;
    for (size_t cut = 0; cut < valid.size(); ++cut) {
      const Bytes prefix(valid.begin(), valid.begin() + cut);
      const ParseResult result = Parse(prefix);
      if (!result.ok) {
        EXPECT_LE(result.errorOffset, cut);
      }
    }
    for (int round = 0; round < 2000; ++round) {
      Bytes mutated = valid;
      for (int n = 0; n < 3; ++n) mutated[random() % mutated.size()] = static_cast<uint8_t>(random());
      const ParseResult result = Parse(mutated);
      if (!result.ok) {
        EXPECT_LE(result.errorOffset, mutated.size());
      }
    }
  }
  for (int round = 0; round < 500; ++round) {
    Bytes noise(random() % 200);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(random() % 8 == 0 ? 0x47 : random());
    Parse(noise);
  }
}

TEST(PackBits, DecoderChecksEveryRunAgainstInputAndOutput) {
  uint8_t out[8];
  const Bytes ok = {0x01, 0xAA, 0xBB, 0xFE, 0x11};
  PackBitsResult r = DecodePackBits(ok.data(), ok.size(), out, sizeof(out));
  EXPECT_EQ(r.status, PackBitsStatus::Ok);
  EXPECT_EQ(Bytes(out, out + r.produced), (Bytes{0xAA, 0xBB, 0x11, 0x11, 0x11}));
  r = DecodePackBits(ok.data(), ok.size(), out, 4);
  EXPECT_EQ(r.status, PackBitsStatus::Overflow);
  EXPECT_EQ(r.errorAt, 3u);
  EXPECT_EQ(r.produced, 2u);
  const Bytes cut = {0x00, 0x01, 0xFE};
  r = DecodePackBits(cut.data(), cut.size(), out, sizeof(out));
  EXPECT_EQ(r.status, PackBitsStatus::Truncated);
  EXPECT_EQ(r.errorAt, 2u);
  const Bytes reserved = {0x80, 0x00};
  EXPECT_EQ(DecodePackBits(reserved.data(), reserved.size(), out, sizeof(out)).status, PackBitsStatus::Reserved);
}

}  // namespace
