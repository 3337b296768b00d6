// SPDX-License-Identifier: Apache-2.0
// A strict parser of the printer command stream the driver sends to the spooler.
//
// It takes a whole stream as the spooler received it and either returns its structure
// (every command with its offset, the job records, the labels with their decoded
// SetupHeaders and their lines decoded to full head lines) or rejects it with a message
// naming the offset of the first byte sequence the driver cannot have produced.
//
// Two formats:
//   framed  the stream is a sequence of frames, each led by a 58-byte job record whose
//           size field is 58 and whose total length covers the whole frame. A frame holds
//           one page, or a chain of retained pages: every page but the last ends with 0B
//           and the pages after the first carry either only their raster lines (the first
//           label without a SetupHeader) or a job record of their own in front of their
//           SetupHeader. The last page of a frame ends with 0C.
//   plain   printer commands only, document by document: an optional initialise command
//           1B 40, then labels, each label ended by 0C or 0B or, for the last label of the
//           document, by the document end 1A. The driver holds the final 0C of each page
//           back and writes it when the next page starts, so a stream captured between
//           pages may stop after a label's lines.
// A label is a SetupHeader (25 bytes), the compression-mode command "M" 02, and one
// raster line ("G" nL nH, PackBits data decoding to exactly 48 bytes) or zero line ("Z")
// per feed position, then its end byte. Labels of a retained page that continues a chain
// have no SetupHeader of their own and print with the one in force.
//
// Plain output does not mark where one page ends and the next begins: the labels of one
// page, the copies of a page and separate pages all read alike. A plain "page" here is
// therefore a run of labels up to one that ends with 0C or 1A (a retained chain, whose
// pages end with 0B, stays one page, as it does in framed output).
//
// The parser never reads outside its input and allocates only in proportion to what it
// accepted, within the limits of ParseOptions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tq33stream {

inline constexpr size_t kHeadLineBytes = 48;
inline constexpr size_t kJobRecordSize = 58;
inline constexpr size_t kSetupHeaderSize = 25;

enum class StreamFormat { Framed, Plain };

enum class CommandKind {
  JobRecord,        // the 58-byte record in front of a framed page
  Initialise,       // 1B 40
  RasterMode,       // 1B 69 61 01
  PrintInfo,        // 1B 69 63 p1 p2 p3 p4 p5
  VariousMode,      // 1B 69 4D n
  AdvancedMode,     // 1B 69 4B n
  Margin,           // 1B 69 64 nL nH
  CompressionMode,  // 4D 02
  RasterLine,       // 47 nL nH data
  ZeroLine,         // 5A
  PageEnd,          // 0C
  RetainedPageEnd,  // 0B
  DocumentEnd,      // 1A
};

const char* CommandName(CommandKind kind);

struct Command {
  CommandKind kind;
  size_t offset;  // of the command's first byte in the stream
  size_t size;    // bytes of the whole command
};

struct JobRecord {
  size_t offset = 0;
  uint32_t totalLength = 0;  // bytes of the frame (or of its own page inside a chain)
  uint16_t paperSize = 0;
  uint8_t inchUnits = 0;
  uint16_t copies = 0;
  uint8_t collate = 0;       // bit 0x02: the page was retained
  uint8_t jobOption = 0;
  uint8_t widthByte = 0;     // equals the SetupHeader's p3
  uint8_t kindByte = 0;      // the SetupHeader's p2, 1 in place of 0
};

struct SetupHeader {
  size_t offset = 0;
  std::array<uint8_t, 5> printInfo{};  // p1..p5
  uint8_t kindByte = 0;                // p2: 00, 09, 10 or 11
  uint8_t widthByte = 0;               // p3: tape width in millimetres (or 4)
  bool highResolutionByte = false;     // p5
  uint8_t variousMode = 0;
  uint8_t advancedMode = 0;
  int feedResolution = 360;            // 720 with advanced-mode bit 0x40
  bool autoCut = false;                // various-mode 0x40
  bool mirror = false;                 // various-mode 0x80
  bool halfCut = false;                // advanced-mode 0x04
  bool noChain = false;                // advanced-mode 0x08
  bool opt800 = false;                 // advanced-mode 0x20
  uint16_t margin = 0;                 // feed margin in dots

  bool special() const { return kindByte == 0x10 || kindByte == 0x11; }
};

struct Line {
  size_t offset = 0;  // of the "G" or "Z"
  bool zero = false;  // a zero line command: no dots
  std::array<uint8_t, kHeadLineBytes> dots{};  // 384 dots, most significant bit first
};

struct Label {
  size_t offset = 0;        // of its SetupHeader, or of its first line without one
  bool ownHeader = false;   // false: continues a retained chain with the header in force
  SetupHeader header;       // the header in force
  uint8_t compression = 0x02;  // the compression mode in force: PackBits, the only one accepted
  std::vector<Line> lines;
  size_t lineCount = 0;     // its lines, kept in `lines` or not (ParseOptions::keepLines)
  uint8_t end = 0;          // 0C, 0B, 1A (the document ended it), or 0: the stream stops
  size_t endOffset = 0;     // of the end byte; the stream length when there is none
};

struct Page {
  size_t offset = 0;
  std::optional<JobRecord> record;          // framed: the record leading the frame
  std::vector<JobRecord> chainedRecords;    // framed: records of later pages of a chain
  std::vector<Label> labels;
};

struct Stream {
  StreamFormat format = StreamFormat::Framed;
  std::vector<Command> commands;
  std::vector<Page> pages;
  size_t documents = 0;                     // plain: document ends (1A) seen
};

struct ParseOptions {
  // Raster and zero lines of one page: a page of four 1 m labels across at 720 dpi has
  // 113,384. Over the whole stream a far larger bound keeps the decoded lines (64 bytes
  // each) within 1 GiB: some 590 pages of a 1 m label at 720 dpi.
  size_t maxPageLines = size_t{1} << 18;
  size_t maxLines = size_t{1} << 24;
  size_t maxLabels = size_t{1} << 16;
  // false: every line is decoded and checked and counted, but neither the lines nor the
  // commands are kept (labels' `lines` and the stream's `commands` stay empty). For a
  // caller that asks only whether a stream is sound: a long page's lists are megabytes.
  bool keepLines = true;
};

struct ParseResult {
  bool ok = false;
  std::string error;      // "offset 123: ..." when not ok
  size_t errorOffset = 0;
  Stream stream;          // what was parsed before the error, or everything
};

// Parses a whole stream. An empty stream is a framed stream without pages.
ParseResult ParseStream(const uint8_t* data, size_t size, const ParseOptions& options = {});

// The number of raster and zero lines of every label of every page.
size_t CountLines(const Stream& stream);

}  // namespace tq33stream
