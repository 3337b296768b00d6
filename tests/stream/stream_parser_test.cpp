// SPDX-License-Identifier: Apache-2.0
// The strict stream parser and the PackBits decoder: what the driver's page output can
// send is accepted with its structure; anything else is refused at the right offset.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "stream/stream_parser.h"
#include "tests/support/bytes.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace tq33stream;

Bytes Header(uint16_t margin = 57, uint8_t kind = 0x00, uint8_t advanced = 0x08, uint8_t p5 = 0) {
  return {0x1B, 0x69, 0x61, 0x01, 0x1B, 0x69, 0x63, static_cast<uint8_t>(kind ? 0x86 : 0x84), kind, 0x18,
          0x00, p5, 0x1B, 0x69, 0x4D, 0x40, 0x1B, 0x69, 0x4B, advanced, 0x1B, 0x69, 0x64,
          static_cast<uint8_t>(margin), static_cast<uint8_t>(margin >> 8)};
}

Bytes Set(Bytes bytes, size_t at, uint8_t value) { bytes.at(at) = value; return bytes; }

Bytes Record(size_t total) {
  Bytes r = {0x3A, 0, 0, 0, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8), 0, 0,
             0x06, 0x01, 2, 1, 2, 0, 1, 3};
  for (char c : std::string("TQ33Kr.dll")) r = r + Bytes{static_cast<uint8_t>(c), 0};
  r.resize(55, 0);
  return r + Bytes{0x18, 0x01, 0};
}

const Bytes kM = {0x4D, 0x02};
const Bytes kBlack = {0x47, 0x02, 0x00, 0xD1, 0xFF};             // 48 bytes of 0xFF
const Bytes kEdge = {0x47, 0x04, 0x00, 0x00, 0x81, 0xD2, 0x00};  // 0x81, then 47 zeros
const Bytes kZ = {0x5A};
constexpr size_t kLabel = 25 + 2 + 1 + 5 + 7 + 1;                // bytes of a Labels(1)

// Labels as the driver builds them, each ending with the page end.
Bytes Labels(int count) {
  return count == 0 ? Bytes{} : Header() + kM + kZ + kBlack + kEdge + Bytes{0x0C} + Labels(count - 1);
}

// Parsed from a block of exactly their size, so that a read past the end is the sanitizer's.
ParseResult Parse(Bytes bytes) { bytes.shrink_to_fit(); return ParseStream(bytes.data(), bytes.size()); }

TEST(StreamParser, FramedPagesDecodeRecordsHeadersLinesAndCommandOffsets) {
  const Bytes stream = Record(58 + 2 * kLabel) + Labels(2) + Record(58 + kLabel) + Labels(1);
  const ParseResult result = Parse(stream);
  ASSERT_TRUE(result.ok) << result.error;
  const Stream& s = result.stream;
  EXPECT_EQ(s.format, StreamFormat::Framed);
  ASSERT_EQ(s.pages.size(), 2u);
  const JobRecord& r = *s.pages[0].record;
  EXPECT_EQ(std::tuple(r.totalLength, r.copies, r.paperSize, +r.inchUnits, +r.collate, +r.jobOption, s.pages[1].offset,
                       s.pages[1].record->offset), std::tuple(58 + 2 * kLabel, 2, 262, 2, 1, 3, 58 + 2 * kLabel, 58 + 2 * kLabel));
  ASSERT_EQ(s.pages[0].labels.size(), 2u);
  const Label& second = s.pages[0].labels[1];
  const SetupHeader& h = second.header;
  EXPECT_EQ(std::tuple(h.autoCut && !h.halfCut && h.noChain, h.mirror, h.opt800, h.margin, h.feedResolution, +h.printInfo[2],
                       +h.variousMode, +h.advancedMode, second.offset, h.offset, second.end, second.endOffset, CountLines(s)),
            std::tuple(true, false, false, 57, 360, 0x18, 0x40, 0x08, 58 + kLabel, 58 + kLabel, 0x0C, 58 + 2 * kLabel - 1, 9u));
  ASSERT_EQ(second.lines.size(), 3u);
  EXPECT_TRUE(second.lines[0].zero);
  EXPECT_EQ(std::tuple(second.lines[1].dots[47], second.lines[2].dots[0], second.lines[2].dots[1]),
            std::tuple(0xFF, 0x81, 0x00));
  const size_t offsets[] = {0, 58, 62, 70, 74, 78, 83, 85, 86, 91, 98}, sizes[] = {58, 4, 8, 4, 4, 5, 2, 1, 5, 7, 1};
  for (size_t i = 0; i < std::size(offsets); ++i)
    EXPECT_EQ(std::pair(s.commands.at(i).offset, s.commands.at(i).size), std::pair(offsets[i], sizes[i])) << i;
  EXPECT_EQ(s.commands.at(10).kind, CommandKind::PageEnd);
  EXPECT_TRUE(Parse(Record(58 + 2 * kLabel) + Labels(1) + Set(Labels(1), 9, 0x0C)).ok) << "only a frame's first header";
}

TEST(StreamParser, RetainedChainsAreOnePageWhoseRecordCountsEveryPiece) {
  // Framed: retained page A whole, retained page B from its lines (two labels), page C.
  Bytes a = Labels(1);
  a.back() = 0x0B;  // retained
  const Bytes b = kBlack + Bytes{0x0C} + Header() + kM + kZ + Bytes{0x0B};
  const Bytes c = kZ + kBlack + Bytes{0x0C};
  const size_t total = 58 + a.size() + b.size() + c.size();
  ParseResult result = Parse(Record(total) + a + b + c);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(result.stream.pages.size(), 1u);
  const Page& page = result.stream.pages[0];
  ASSERT_EQ(page.labels.size(), 4u);
  // B's lines print with the header in force.
  EXPECT_EQ(std::tuple(page.labels[0].end, page.labels[1].ownHeader, page.labels[1].header.margin,
                       page.labels[2].ownHeader, page.labels[3].end, result.stream.commands.at(10).kind),
            std::tuple(0x0B, false, 57, true, 0x0C, CommandKind::RetainedPageEnd));

  // A retained page that keeps its own record inside the chain: that record counts its page.
  const Bytes withRecord = Record(58 + a.size()) + a;
  result = Parse(Record(58 + a.size() + withRecord.size() + c.size()) + a + withRecord + c);
  ASSERT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.stream.pages[0].chainedRecords.size(), 1u);

  // Plain: a retained page from its header, then the next page's lines ended by the document.
  result = Parse(a + kBlack + Bytes{0x1A});
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(result.stream.pages.size(), 1u);
  EXPECT_FALSE(result.stream.pages[0].labels.at(1).ownHeader);
}

TEST(StreamParser, PlainDocumentsWithCopiesAndHeldBackPageEnds) {
  Bytes page = Labels(1);
  page.pop_back();  // the last page end is held back
  // 1B 40, page 1 in two copies, 1A; 1B 40, page 2, 1A; then a document without pages.
  ParseResult result = Parse(Bytes{0x1B, 0x40} + Labels(2) + Bytes{0x1A, 0x1B, 0x40} + page + Bytes{0x1A, 0x1A});
  ASSERT_TRUE(result.ok) << result.error;
  const Command first = result.stream.commands.front(), last = result.stream.commands.back();
  EXPECT_EQ(std::tuple(result.stream.format, result.stream.documents, result.stream.pages.size(), first.kind, first.size,
                       last.kind, last.offset, last.size),
            std::tuple(StreamFormat::Plain, 3u, 3u, CommandKind::Initialise, 2u, CommandKind::DocumentEnd, 3 * kLabel + 5, 1u));
  EXPECT_EQ(result.stream.pages.at(2).labels[0].end, 0x1A);

  // Captured between two pages: the stream stops after the lines.
  result = Parse(Bytes{0x1B, 0x40} + page);
  ASSERT_TRUE(result.ok) << result.error;
  const Label& captured = result.stream.pages[0].labels[0];
  EXPECT_EQ(std::pair(+captured.end, captured.endOffset), std::pair(0, page.size() + 2));
}

TEST(StreamParser, RefusesWhatThePageOutputCannotSendNamingTheOffset) {
  const Bytes page = Labels(1);
  const Bytes lines = Header() + kM;  // raster lines start at offset 27
  const Bytes tail = kM + kBlack + Bytes{0x0C};
  const Bytes a = Set(page, page.size() - 1, 0x0B);  // retained
  const Bytes c = kZ + kBlack + Bytes{0x0C};
  const size_t total = 58 + a.size() + c.size();
  const Bytes framed = Record(58 + kLabel) + page;
  struct Case { Bytes bytes; size_t offset; const char* words; };
  const Case cases[] = {
      {{0x99}, 0, "unexpected byte 0x99 (a stream starts with"},
      {Bytes{0x1B, 0x40} + kBlack, 2, "(expected a SetupHeader after the initialise command)"},
      {page + Bytes{0x1B, 0x40}, kLabel, "initialise command 1B 40 inside a document"},
      {Bytes{0x1B, 0x40}, 2, "ends after the initialise command"}, {a + Bytes{0x1A}, kLabel, "unexpected byte 0x1A"},
      // Framed: the record's total length must end the chain exactly.
      {Record(total - 1) + a + c, total - 1, "ends inside a label"},
      {Record(total - 3) + a + c, total - 6, "raster line of 2 data bytes runs past the end of the framed page"},
      {Set(framed, 7, 1), 4, "total length 16777315 does not fit"},
      {framed + Record(59 + kLabel) + page, 58 + kLabel + 4, "total length 100 does not fit the 99 bytes"},
      {Record(58), 58, "framed page ends where a SetupHeader should start"},
      {framed + Bytes(framed.begin(), framed.begin() + 57), 58 + kLabel, "job record cut off by the end of the stream"},
      {framed + Set(framed, 0, 0x3B), 58 + kLabel, "unexpected byte 0x3B in the job record's size field"},
      {Record(2 * 58 + 2 * kLabel) + a + Record(58 + kLabel) + page, 2 * 58 + 2 * kLabel - 1, "ends with 0C, not 0B"},
      {Record(58 + kLabel) + a, 58 + kLabel - 1, "ends with the retained page end 0B"},
      {Record(total + 58 + kLabel) + a + Record(59 + kLabel) + a + c, 2 * 58 + 2 * kLabel - 1,
       "ends at offset 198, not where its job record's total length puts it (199)"},
      {Record(total + 58 + kLabel) + a + Set(Record(58 + kLabel), 55, 0x0C) + a + c, 58 + kLabel + 55, "width byte 0x0C differs"},
      {Record(total) + a + Set(c, 0, 0x1B), 58 + kLabel, "(expected the raster lines of the next retained page or its"},
      {Set(framed, 58, 0x5A), 58, "unexpected byte 0x5A (expected a SetupHeader)"},
      {Set(framed, 58 + kLabel - 1, 0x1A), 58 + kLabel - 1, "(expected a raster line, a zero line or a page end)"},
      {Set(page, kLabel - 1, 0x1B), kLabel - 1, "(expected a raster line, a zero line, a page end or the document end)"},
      {page + Bytes{0x1A} + kBlack, kLabel + 1, "raster line before any SetupHeader"},
      {Set(page, kLabel - 1, 0x1A) + kBlack, kLabel, "raster line before any SetupHeader"},
      {Set(framed, 58 + 9, 0x0C), 55, "width byte"}, {Set(framed, 16, 'X'), 16, "resource name"},
      {Set(framed, 47, 1), 47, "resource name"},
      {Set(framed, 3, 1), 3, "unexpected byte 0x01 in the job record's size field (58)"},
      {Set(framed, 11, 0), 11, "job record byte 11 is 0x00, not 0x01"},
      {Set(framed, 56, 0x0F), 56, "job record kind byte 0x0F is not 01, 09, 10 or 11"},
      {Set(framed, 56, 0x10), 56, "job record kind byte 0x10 does not match the SetupHeader's kind byte 0x00"},
      // Headers: only what the driver can build.
      {Header(57, 0x09, 0x0C) + tail, 19, "about 720 dpi"},
      {Header(57, 0x10, 0x04) + tail, 19, "lacks 0x08 on special media"},
      {Header(57, 0x11, 0x44) + tail, 19, "lacks 0x08 on special media"},
      {Header(57, 0x00, 0x0C, 1) + tail, 11, "high-resolution byte set with kind byte 0x00"},
      {Set(Header(), 14, 0x4E) + tail, 14, "unexpected byte 0x4E in the various-mode command"},
      {Set(Header(), 18, 0x4C) + tail, 18, "unexpected byte 0x4C in the advanced-mode command"},
      {Set(Header(), 19, 0x0D) + tail, 19, "advanced-mode byte 0x0D has unknown bits"},
      {Set(Header(), 22, 0x65) + tail, 22, "unexpected byte 0x65 in the margin command"},
      {Header(57, 0x12) + tail, 8, "kind byte 0x12"},
      {Set(Header(), 7, 0x86) + tail, 7, "print-information byte 0x86 does not match kind byte 0x00"},
      {Set(Header(), 3, 0x02) + tail, 3, "unexpected byte 0x02 in the raster mode command"},
      {Set(Header(), 6, 0x64) + tail, 6, "unexpected byte 0x64 in the print-information command"},
      {Header(), 25, "compression-mode command missing at the end of the stream"},
      {Set(Header(), 15, 0x41) + tail, 15, "unknown bits"},
      {Header() + Bytes{0x4D, 0x03} + kBlack, 26, "compression mode 0x03 is not PackBits"},
      {Header() + Bytes{0x4E, 0x02} + kBlack, 25, "unexpected byte 0x4E (expected the compression-mode command 4D 02)"},
      {Header() + Bytes{0x4D}, 25, "compression-mode command cut off by the end of the stream"},
      {Record(85) + Header() + kM, 85, "framed page of 85 bytes (its job record's total length) ends inside a label"},
      {Set(Header(), 10, 1) + tail, 10, "print-information byte p4 is 0x01, not 0x00"},
      {Set(Header(), 11, 2) + tail, 11, "high-resolution byte 0x02 is not 00 or 01"},
      {page + Bytes(page.begin(), page.begin() + 20), kLabel, "SetupHeader cut off"},
      {page + Bytes{0x1B}, kLabel, "the raster mode command 1B 69 61 01 cut off"},
      // Raster lines: PackBits data that decodes to exactly one head line.
      {lines + Bytes{0x47, 0x04, 0x00, 0xD2, 0x00, 0xFF, 0x00}, 32, "decodes to more than 48 bytes"},
      {lines + Bytes{0x47, 0x05, 0x00, 0xD2, 0x00, 0x01, 0x00, 0x00}, 32, "decodes to more than 48 bytes"},
      {lines + Bytes{0x47, 0x02, 0x00, 0xD2, 0x00}, 27, "decodes to 47 bytes, not 48"},
      {lines + Bytes{0x47, 0x03, 0x00, 0x80, 0xD1, 0x00}, 30, "0x80"},
      {lines + Bytes{0x47, 0x04, 0x00, 0xD2, 0x00, 0x01, 0x02}, 32, "cut off by the end of the raster line"},
      {lines + Bytes{0x47, 0x03, 0x00, 0xD2, 0x00, 0xFF}, 32, "cut off by the end of the raster line"},
      {lines + Bytes{0x47, 0x02, 0x00, 0xD1}, 27, "2 data bytes runs past the end of the stream (1 byte left)"},
      {lines + Bytes{0x47, 0x02}, 27, "raster line command cut off by the end of the stream"},
      {lines + Bytes{0x47, 0x00, 0x00}, 27, "raster line without data"},
  };
  for (const Case& refused : cases) {
    const ParseResult result = Parse(refused.bytes);
    EXPECT_FALSE(result.ok) << refused.words;
    EXPECT_EQ(result.error.rfind("offset " + std::to_string(refused.offset) + ": ", 0), 0u) << result.error;
    EXPECT_NE(result.error.find(refused.words), std::string::npos) << result.error;
  }
  for (size_t at : {48, 49, 50, 51, 52, 53, 54, 57}) EXPECT_EQ(Parse(Set(framed, at, 1)).error,
              "offset " + std::to_string(at) + ": job record byte " + std::to_string(at) + " is 0x01, not 0x00");
  // Header margins that read as "G" and "Z" are parameters, not commands; every mode bit reads back.
  const SetupHeader h = Parse(Set(Header(0x5A47, 0x09, 0x64, 1), 15, 0x80) + tail).stream.pages.at(0).labels.at(0).header;
  EXPECT_EQ(std::tuple(h.margin, h.highResolutionByte, h.feedResolution, +h.printInfo[0], +h.printInfo[4], h.mirror, h.opt800,
                       h.autoCut || !h.halfCut || h.noChain), std::tuple(0x5A47, true, 720, 0x86, 1, true, true, false));
  // No bytes are an empty stream whatever the pointer; a size without data is refused.
  EXPECT_EQ(ParseStream(nullptr, 0).error, ParseStream(kZ.data(), 0).error);
  EXPECT_EQ(ParseStream(nullptr, 1).error, "offset 0: no data");
}

TEST(StreamParser, CapsLinesOfAPageAndOfTheStreamAndLabels) {
  // Each label a page of its own: a page's bound counts its own lines only.
  const auto refusedAt = [](ParseOptions options, const Bytes& stream = Labels(3)) {
    const ParseResult result = ParseStream(stream.data(), stream.size(), options);
    return result.ok ? SIZE_MAX : result.errorOffset;
  };
  EXPECT_EQ(refusedAt({.maxLines = 8}), 2 * kLabel + 27 + 1 + 5) << "the ninth line";
  EXPECT_EQ(refusedAt({.maxPageLines = 3}), SIZE_MAX);
  EXPECT_EQ(refusedAt({.maxPageLines = 2}), 27 + 1 + 5) << "the first page's third line";
  EXPECT_EQ(refusedAt({.maxLabels = 2}), 2 * kLabel);
  EXPECT_EQ(refusedAt({.maxLabels = 1}, Record(58 + 2 * kLabel) + Labels(2)), 58 + kLabel);
  // Checking alone keeps no line and no command, yet counts and refuses alike.
  const Bytes three = Labels(3);
  const ParseResult checked = ParseStream(three.data(), three.size(), {.keepLines = false});
  EXPECT_EQ(std::tuple(checked.ok, CountLines(checked.stream), checked.stream.commands.size(),
                       checked.stream.pages.at(2).labels.at(0).lines.size()),
            std::tuple(true, CountLines(Parse(three).stream), size_t{0}, size_t{0}));
  EXPECT_EQ(refusedAt({.maxLines = 8, .keepLines = false}), 2 * kLabel + 27 + 1 + 5);
}

}  // namespace
