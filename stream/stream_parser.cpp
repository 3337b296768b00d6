// SPDX-License-Identifier: Apache-2.0
// The strict parser of the printer command stream: one pass, every read checked against
// the end of the input (and, inside a framed page, against the end its job record gives).
#include "stream/stream_parser.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "stream/packbits.h"

namespace tq33stream {

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kInitialise = 0x40;
constexpr uint8_t kRasterLine = 0x47;
constexpr uint8_t kZeroLine = 0x5A;
constexpr uint8_t kCompression = 0x4D;
constexpr uint8_t kPackBits = 0x02;
constexpr uint8_t kPageEnd = 0x0C;
constexpr uint8_t kRetainedPageEnd = 0x0B;
constexpr uint8_t kDocumentEnd = 0x1A;

constexpr uint8_t kRasterMode[4] = {0x1B, 0x69, 0x61, 0x01};
constexpr uint8_t kPrintInfoPrefix[3] = {0x1B, 0x69, 0x63};
constexpr uint8_t kVariousPrefix[3] = {0x1B, 0x69, 0x4D};
constexpr uint8_t kAdvancedPrefix[3] = {0x1B, 0x69, 0x4B};
constexpr uint8_t kMarginPrefix[3] = {0x1B, 0x69, 0x64};
constexpr uint8_t kRecordSizeField[4] = {0x3A, 0x00, 0x00, 0x00};

// "TQ33Kr.dll" in UTF-16LE with its terminator, zero-filled to the 32-byte field.
constexpr uint8_t kResourceName[32] = {'T', 0, 'Q', 0, '3', 0, '3', 0, 'K', 0, 'r', 0,
                                       '.', 0, 'd', 0, 'l', 0, 'l', 0};

constexpr uint8_t kVariousBits = 0x40 | 0x80;
constexpr uint8_t kAdvancedBits = 0x04 | 0x08 | 0x20 | 0x40;
constexpr uint8_t kAdvancedNoChain = 0x08;
constexpr uint8_t kAdvancedHighRes = 0x40;
// A label's end, a job record, the initialisation and a label's SetupHeader and compression
// mode: the commands a stream has between one label's lines and the next's, and some over.
constexpr size_t kCommandsBetweenLabels = 16;

std::string Hex(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof(text), "0x%02X", value);
  return text;
}

uint16_t Word(const uint8_t* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

uint32_t Dword(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | (static_cast<uint32_t>(at[1]) << 8) |
         (static_cast<uint32_t>(at[2]) << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

bool IsLineByte(uint8_t value) { return value == kRasterLine || value == kZeroLine; }

class Parser {
 public:
  Parser(const uint8_t* data, size_t size, const ParseOptions& options, ParseResult* result)
      : data_(data), size_(size), options_(options), result_(result), stream_(result->stream) {}

  bool Run() {
    if (size_ == 0) {
      stream_.format = StreamFormat::Framed;
      return true;
    }
    if (data_[0] == kRecordSizeField[0]) {
      stream_.format = StreamFormat::Framed;
      return ParseFramed();
    }
    if (data_[0] == kEsc || data_[0] == kDocumentEnd) {
      stream_.format = StreamFormat::Plain;
      return ParsePlain();
    }
    return Fail(0, "unexpected byte " + Hex(data_[0]) +
                       " (a stream starts with a job record, 1B 40, a SetupHeader or 1A)");
  }

 private:
  // ---- Failure -----------------------------------------------------------------------

  bool Fail(size_t offset, const std::string& message) {
    result_->errorOffset = offset;
    result_->error = "offset " + std::to_string(offset) + ": " + message;
    return false;
  }

  bool Unexpected(size_t offset, const char* expected) {
    return Fail(offset, "unexpected byte " + Hex(data_[offset]) + " (expected " + expected + ")");
  }

  // What ends the bytes a command may use: the stream, or a framed page.
  const char* LimitName(size_t limit) const {
    return limit == size_ ? "the stream" : "the framed page its job record gives";
  }

  // Compares count bytes at `at` with expected; fails at the first byte that differs, or
  // at the limit when the command is cut off there.
  bool Expect(size_t at, size_t limit, const uint8_t* expected, size_t count, const char* what) {
    for (size_t i = 0; i < count; ++i) {
      if (at + i >= limit) return Fail(at, std::string(what) + " cut off by the end of " + LimitName(limit));
      if (data_[at + i] != expected[i])
        return Fail(at + i, "unexpected byte " + Hex(data_[at + i]) + " in " + what);
    }
    return true;
  }

  void Record(CommandKind kind, size_t offset, size_t size) {
    if (options_.keepLines) stream_.commands.push_back({kind, offset, size});
  }

  // ---- Job record ----------------------------------------------------------------------

  // A 58-byte job record at `at`, inside limit; its total length must fit there too.
  bool ParseJobRecord(size_t at, size_t limit, JobRecord* record) {
    if (!Expect(at, limit, kRecordSizeField, 4, "the job record's size field (58)")) return false;
    if (limit - at < kJobRecordSize)
      return Fail(at, "job record cut off by the end of " + std::string(LimitName(limit)));
    const uint8_t* r = data_ + at;
    record->offset = at;
    record->totalLength = Dword(r + 4);
    record->paperSize = Word(r + 8);
    record->inchUnits = r[10];
    record->copies = Word(r + 12);
    record->collate = r[14];
    record->jobOption = r[15];
    record->widthByte = r[55];
    record->kindByte = r[56];
    if (r[11] != 1) return Fail(at + 11, "job record byte 11 is " + Hex(r[11]) + ", not 0x01");
    for (size_t i = 0; i < sizeof(kResourceName); ++i) {
      if (r[16 + i] != kResourceName[i])
        return Fail(at + 16 + i, "job record resource name is not \"TQ33Kr.dll\"");
    }
    for (size_t i : {48, 49, 50, 51, 52, 53, 54, 57}) {
      if (r[i] != 0)
        return Fail(at + i, "job record byte " + std::to_string(i) + " is " + Hex(r[i]) + ", not 0x00");
    }
    const uint8_t kind = record->kindByte;
    if (kind != 0x01 && kind != 0x09 && kind != 0x10 && kind != 0x11)
      return Fail(at + 56, "job record kind byte " + Hex(kind) + " is not 01, 09, 10 or 11");
    if (record->totalLength < kJobRecordSize || record->totalLength > limit - at)
      return Fail(at + 4, "job record total length " + std::to_string(record->totalLength) +
                              " does not fit the " + std::to_string(limit - at) +
                              " bytes from the record to the end of " + LimitName(limit));
    Record(CommandKind::JobRecord, at, kJobRecordSize);
    return true;
  }

  // The record repeats two bytes of the header that follows it.
  bool CheckRecordAgainstHeader(const JobRecord& record, const SetupHeader& header) {
    if (record.widthByte != header.widthByte)
      return Fail(record.offset + 55, "job record width byte " + Hex(record.widthByte) +
                                          " differs from the SetupHeader's " + Hex(header.widthByte));
    const uint8_t kind = header.kindByte != 0 ? header.kindByte : 1;
    if (record.kindByte != kind)
      return Fail(record.offset + 56, "job record kind byte " + Hex(record.kindByte) +
                                          " does not match the SetupHeader's kind byte " +
                                          Hex(header.kindByte));
    return true;
  }

  // ---- SetupHeader ---------------------------------------------------------------------

  bool ParseSetupHeader(size_t at, size_t limit, SetupHeader* header) {
    if (limit - at >= 2 && data_[at] == kEsc && data_[at + 1] == kInitialise)
      return Fail(at, "initialise command 1B 40 inside a document");
    if (!Expect(at, limit, kRasterMode, 4, "the raster mode command 1B 69 61 01") ||
        !Expect(at + 4, limit, kPrintInfoPrefix, 3, "the print-information command 1B 69 63"))
      return false;
    if (limit - at < kSetupHeaderSize)
      return Fail(at, "SetupHeader cut off by the end of " + std::string(LimitName(limit)));
    const uint8_t* h = data_ + at;
    header->offset = at;
    for (size_t i = 0; i < 5; ++i) header->printInfo[i] = h[7 + i];
    const uint8_t p1 = h[7];
    const uint8_t kind = h[8];
    header->kindByte = kind;
    header->widthByte = h[9];
    if (kind != 0x00 && kind != 0x09 && kind != 0x10 && kind != 0x11)
      return Fail(at + 8, "kind byte " + Hex(kind) + " is not 00, 09, 10 or 11");
    if (p1 != (kind != 0 ? 0x86 : 0x84))
      return Fail(at + 7, "print-information byte " + Hex(p1) + " does not match kind byte " + Hex(kind));
    if (h[10] != 0) return Fail(at + 10, "print-information byte p4 is " + Hex(h[10]) + ", not 0x00");
    if (h[11] > 1) return Fail(at + 11, "high-resolution byte " + Hex(h[11]) + " is not 00 or 01");
    header->highResolutionByte = h[11] == 1;

    if (!Expect(at + 12, limit, kVariousPrefix, 3, "the various-mode command 1B 69 4D")) return false;
    const uint8_t various = h[15];
    if (various & ~kVariousBits) return Fail(at + 15, "various-mode byte " + Hex(various) + " has unknown bits");
    if (!Expect(at + 16, limit, kAdvancedPrefix, 3, "the advanced-mode command 1B 69 4B")) return false;
    const uint8_t advanced = h[19];
    if (advanced & ~kAdvancedBits)
      return Fail(at + 19, "advanced-mode byte " + Hex(advanced) + " has unknown bits");
    if (!Expect(at + 20, limit, kMarginPrefix, 3, "the margin command 1B 69 64")) return false;

    // The kind byte, the high-resolution byte and the advanced-mode byte all come from
    // the same feed resolution and media.
    const bool kindHighRes = kind == 0x09 || kind == 0x11;
    const bool special = kind == 0x10 || kind == 0x11;
    if (kindHighRes != ((advanced & kAdvancedHighRes) != 0))
      return Fail(at + 19, "advanced-mode byte " + Hex(advanced) +
                               " disagrees with kind byte " + Hex(kind) + " about 720 dpi");
    if (special && !(advanced & kAdvancedNoChain))
      return Fail(at + 19, "advanced-mode byte " + Hex(advanced) + " lacks 0x08 on special media");
    if (header->highResolutionByte && kind != 0x09)
      return Fail(at + 11, "high-resolution byte set with kind byte " + Hex(kind));

    header->variousMode = various;
    header->advancedMode = advanced;
    header->feedResolution = (advanced & kAdvancedHighRes) ? 720 : 360;
    header->autoCut = (various & 0x40) != 0;
    header->mirror = (various & 0x80) != 0;
    header->halfCut = (advanced & 0x04) != 0;
    header->noChain = (advanced & 0x08) != 0;
    header->opt800 = (advanced & 0x20) != 0;
    header->margin = Word(h + 23);

    Record(CommandKind::RasterMode, at, 4);
    Record(CommandKind::PrintInfo, at + 4, 8);
    Record(CommandKind::VariousMode, at + 12, 4);
    Record(CommandKind::AdvancedMode, at + 16, 4);
    Record(CommandKind::Margin, at + 20, 5);
    return true;
  }

  // ---- Labels ----------------------------------------------------------------------------

  bool ParseCompressionMode(size_t at, size_t limit) {
    if (at >= limit) return Fail(at, "compression-mode command missing at the end of " + std::string(LimitName(limit)));
    if (data_[at] != kCompression) return Unexpected(at, "the compression-mode command 4D 02");
    if (limit - at < 2) return Fail(at, "compression-mode command cut off by the end of " + std::string(LimitName(limit)));
    if (data_[at + 1] != kPackBits)
      return Fail(at + 1, "compression mode " + Hex(data_[at + 1]) + " is not PackBits (0x02)");
    Record(CommandKind::CompressionMode, at, 2);
    return true;
  }

  bool CountLine(size_t at) {
    if (++pageLineCount_ > options_.maxPageLines)
      return Fail(at, "a page of more than " + std::to_string(options_.maxPageLines) +
                          " lines, the most this parser takes");
    if (++lineCount_ > options_.maxLines)
      return Fail(at, "more than " + std::to_string(options_.maxLines) +
                          " lines, the most this parser takes");
    return true;
  }

  // A new page, whose lines are counted from none.
  Page& NewPage(size_t at) {
    pageLineCount_ = 0;
    stream_.pages.emplace_back();
    stream_.pages.back().offset = at;
    return stream_.pages.back();
  }

  void Keep(Label* label, const Line& line) {
    ++label->lineCount;
    if (options_.keepLines) label->lines.push_back(line);
  }

  // One raster or zero line at `at`; advances *at past it.
  bool ParseLine(size_t* at, size_t limit, Label* label) {
    const size_t start = *at;
    if (!CountLine(start)) return false;
    Line line;
    line.offset = start;
    if (data_[start] == kZeroLine) {
      line.zero = true;
      Record(CommandKind::ZeroLine, start, 1);
      Keep(label, line);
      *at = start + 1;
      return true;
    }
    if (limit - start < 3)
      return Fail(start, "raster line command cut off by the end of " + std::string(LimitName(limit)));
    const size_t count = Word(data_ + start + 1);
    if (count == 0) return Fail(start, "raster line without data");
    if (const size_t left = limit - start - 3; count > left)
      return Fail(start, "raster line of " + std::to_string(count) + " data bytes runs past the end of " +
                             LimitName(limit) + " (" + std::to_string(left) +
                             (left == 1 ? " byte left)" : " bytes left)"));
    const PackBitsResult decoded =
        DecodePackBits(data_ + start + 3, count, line.dots.data(), line.dots.size());
    const size_t runAt = start + 3 + decoded.errorAt;
    switch (decoded.status) {
      case PackBitsStatus::Reserved:
        return Fail(runAt, "PackBits count byte 0x80 in a raster line");
      case PackBitsStatus::Truncated:
        return Fail(runAt, "PackBits run cut off by the end of the raster line's " +
                               std::to_string(count) + " data bytes");
      case PackBitsStatus::Overflow:
        return Fail(runAt, "raster line data decodes to more than 48 bytes");
      case PackBitsStatus::Ok:
        break;
    }
    if (decoded.produced != kHeadLineBytes)
      return Fail(start, "raster line data decodes to " + std::to_string(decoded.produced) +
                             " bytes, not 48");
    Record(CommandKind::RasterLine, start, 3 + count);
    Keep(label, line);
    *at = start + 3 + count;
    return true;
  }

  // A label from `at`: its own SetupHeader and compression mode when withHeader, then its
  // lines. Stops at the first byte that is not a line; the caller takes the end byte.
  bool ParseLabelBody(size_t* at, size_t limit, bool withHeader, Label* label) {
    label->offset = *at;
    label->ownHeader = withHeader;
    if (withHeader) {
      if (!ParseSetupHeader(*at, limit, &label->header)) return false;
      *at += kSetupHeaderSize;
      if (!ParseCompressionMode(*at, limit)) return false;
      *at += 2;
      inForce_ = label->header;
      headerInForce_ = true;
    } else {
      if (!headerInForce_) return Fail(*at, "raster line before any SetupHeader");
      label->header = inForce_;
    }
    MakeRoomForLines(*at, limit, label);
    while (*at < limit && IsLineByte(data_[*at])) {
      if (!ParseLine(at, limit, label)) return false;
    }
    return true;
  }

  // Room for the lines from `at` on and their commands, made at once: a long label's lists
  // would otherwise grow by doubling, each step a copy of everything before it into fresh
  // memory. The lines are stepped over by their sizes alone, up to the first byte that does
  // not start one, and at most a page's worth: no more than the parse will look at.
  void MakeRoomForLines(size_t at, size_t limit, Label* label) {
    if (!options_.keepLines) return;
    size_t lines = 0;
    while (at < limit && lines < options_.maxPageLines) {
      if (data_[at] == kZeroLine) {
        at += 1;
      } else if (data_[at] == kRasterLine && limit - at >= 3) {
        at += 3 + size_t{Word(data_ + at + 1)};
      } else {
        break;
      }
      ++lines;
    }
    label->lines.reserve(lines);
    // With the label's end and the next label's header too.
    std::vector<Command>& commands = stream_.commands;
    const size_t needed = commands.size() + lines + kCommandsBetweenLabels;
    if (commands.capacity() < needed) commands.reserve(std::max(needed, 2 * commands.capacity()));
  }

  Label* AddLabel(Page* page, size_t at) {
    if (++labelCount_ > options_.maxLabels) {
      Fail(at, "more than " + std::to_string(options_.maxLabels) +
                   " labels, the most this parser takes");
      return nullptr;
    }
    page->labels.emplace_back();
    return &page->labels.back();
  }

  void EndLabel(Label* label, size_t at) {
    label->end = data_[at];
    label->endOffset = at;
    Record(data_[at] == kPageEnd          ? CommandKind::PageEnd
           : data_[at] == kRetainedPageEnd ? CommandKind::RetainedPageEnd
                                           : CommandKind::DocumentEnd,
           at, 1);
  }

  // ---- Framed --------------------------------------------------------------------------

  bool ParseFramed() {
    size_t at = 0;
    while (at < size_) {
      Page& page = NewPage(at);
      JobRecord record;
      if (!ParseJobRecord(at, size_, &record)) return false;
      page.record = record;
      if (!ParseFrame(at + kJobRecordSize, at + record.totalLength, record, &page)) return false;
      at += record.totalLength;
    }
    return true;
  }

  // The pages of one frame, from behind its record up to frameEnd: labels with their own
  // headers, and after a retained page end (0B) the next page of the chain, which starts
  // with its raster lines or with a job record of its own.
  bool ParseFrame(size_t at, size_t frameEnd, const JobRecord& record, Page* page) {
    headerInForce_ = false;
    bool withHeader = true;
    const JobRecord* recordToCheck = &record;
    size_t chainedPageEnd = 0;  // end of a chained page that carries its own record
    for (;;) {
      Label* label = AddLabel(page, at);
      if (!label) return false;
      if (withHeader && (at >= frameEnd || data_[at] != kEsc)) {
        if (at >= frameEnd) return Fail(at, "framed page ends where a SetupHeader should start");
        return Unexpected(at, "a SetupHeader");
      }
      if (!ParseLabelBody(&at, frameEnd, withHeader, label)) return false;
      if (recordToCheck) {
        if (!CheckRecordAgainstHeader(*recordToCheck, label->header)) return false;
        recordToCheck = nullptr;
      }
      if (at >= frameEnd)
        return Fail(at, "framed page of " + std::to_string(record.totalLength) +
                            " bytes (its job record's total length) ends inside a label");
      const uint8_t end = data_[at];
      if (end != kPageEnd && end != kRetainedPageEnd)
        return Unexpected(at, "a raster line, a zero line or a page end");
      EndLabel(label, at);
      ++at;

      if (end == kPageEnd) {
        if (at == frameEnd) {
          if (chainedPageEnd != 0)
            return Fail(at - 1, "chained page with a job record of its own ends with 0C, not 0B");
          return true;
        }
        withHeader = true;  // the next label of the same page
        continue;
      }

      // A retained page of the chain ended; the chain goes on.
      if (chainedPageEnd != 0 && at != chainedPageEnd)
        return Fail(at - 1, "chained page ends at offset " + std::to_string(at) +
                                ", not where its job record's total length puts it (" +
                                std::to_string(chainedPageEnd) + ")");
      chainedPageEnd = 0;
      if (at == frameEnd) return Fail(at - 1, "framed page ends with the retained page end 0B");
      if (data_[at] == kRecordSizeField[0]) {
        JobRecord chained;
        if (!ParseJobRecord(at, frameEnd, &chained)) return false;
        page->chainedRecords.push_back(chained);
        chainedPageEnd = at + chained.totalLength;
        recordToCheck = &page->chainedRecords.back();
        at += kJobRecordSize;
        withHeader = true;
      } else if (IsLineByte(data_[at])) {
        withHeader = false;
      } else {
        return Unexpected(at, "the raster lines of the next retained page or its job record");
      }
    }
  }

  // ---- Plain ---------------------------------------------------------------------------

  bool ParsePlain() {
    enum class After { DocumentStart, Initialise, PageEnd, RetainedPageEnd };
    After after = After::DocumentStart;
    Page* page = nullptr;
    size_t at = 0;
    while (at < size_) {
      const uint8_t b = data_[at];
      if (after == After::DocumentStart && b == kEsc && size_ - at >= 2 && data_[at + 1] == kInitialise) {
        Record(CommandKind::Initialise, at, 2);
        at += 2;
        after = After::Initialise;
        continue;
      }
      if (b == kDocumentEnd && (after == After::DocumentStart || after == After::PageEnd)) {
        Record(CommandKind::DocumentEnd, at, 1);
        ++stream_.documents;
        ++at;
        after = After::DocumentStart;
        headerInForce_ = false;
        page = nullptr;
        continue;
      }
      const bool withHeader = b == kEsc;
      if (!withHeader && !IsLineByte(b)) {
        switch (after) {
          case After::Initialise:
            return Unexpected(at, "a SetupHeader after the initialise command");
          case After::RetainedPageEnd:
            return Unexpected(at, "the next retained page's SetupHeader or raster lines");
          default:
            return Unexpected(at, "a SetupHeader, a raster line or the document end");
        }
      }
      if (after == After::Initialise && !withHeader)
        return Unexpected(at, "a SetupHeader after the initialise command");
      if (!page) page = &NewPage(at);
      Label* label = AddLabel(page, at);
      if (!label || !ParseLabelBody(&at, size_, withHeader, label)) return false;

      if (at == size_) {
        // The driver holds the last page end back until the next page or the document
        // end: a stream captured in between stops right after the lines.
        label->endOffset = at;
        return true;
      }
      const uint8_t end = data_[at];
      if (end != kPageEnd && end != kRetainedPageEnd && end != kDocumentEnd)
        return Unexpected(at, "a raster line, a zero line, a page end or the document end");
      EndLabel(label, at);
      ++at;
      if (end == kRetainedPageEnd) {
        after = After::RetainedPageEnd;
        continue;
      }
      page = nullptr;
      if (end == kDocumentEnd) {
        ++stream_.documents;
        headerInForce_ = false;
        after = After::DocumentStart;
      } else {
        after = After::PageEnd;
      }
    }
    switch (after) {
      case After::Initialise:
        return Fail(size_, "stream ends after the initialise command");
      case After::RetainedPageEnd:
        return Fail(size_, "stream ends after a retained page end");
      default:
        return true;
    }
  }

  const uint8_t* data_;
  size_t size_;
  const ParseOptions& options_;
  ParseResult* result_;
  Stream& stream_;
  SetupHeader inForce_;
  bool headerInForce_ = false;
  size_t lineCount_ = 0;
  size_t pageLineCount_ = 0;
  size_t labelCount_ = 0;
};

}  // namespace

const char* CommandName(CommandKind kind) {
  switch (kind) {
    case CommandKind::JobRecord: return "job record";
    case CommandKind::Initialise: return "initialise";
    case CommandKind::RasterMode: return "raster mode";
    case CommandKind::PrintInfo: return "print information";
    case CommandKind::VariousMode: return "various mode";
    case CommandKind::AdvancedMode: return "advanced mode";
    case CommandKind::Margin: return "margin";
    case CommandKind::CompressionMode: return "compression mode";
    case CommandKind::RasterLine: return "raster line";
    case CommandKind::ZeroLine: return "zero line";
    case CommandKind::PageEnd: return "page end";
    case CommandKind::RetainedPageEnd: return "retained page end";
    case CommandKind::DocumentEnd: return "document end";
  }
  return "unknown";
}

ParseResult ParseStream(const uint8_t* data, size_t size, const ParseOptions& options) {
  ParseResult result;
  if (!data && size != 0) {
    result.error = "offset 0: no data";
    return result;
  }
  Parser parser(data, size, options, &result);
  result.ok = parser.Run();
  return result;
}

size_t CountLines(const Stream& stream) {
  size_t lines = 0;
  for (const Page& page : stream.pages)
    for (const Label& label : page.labels) lines += label.lineCount;
  return lines;
}

}  // namespace tq33stream
