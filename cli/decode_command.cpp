// SPDX-License-Identifier: Apache-2.0
// `tq33 decode`: a printer stream, page by page and label by label, and its dots as PNG.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <bit>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/file_io.h"
#include "cli/png_output.h"
#include "cli/tool.h"
#include "cli/tool_options.h"
#include "stream/stream_parser.h"

namespace tq33cli {
namespace {

using tq33stream::kHeadLineBytes;

constexpr size_t kMaxStreamBytes = size_t{256} << 20;
constexpr uint32_t kHeadDots = kHeadLineBytes * 8;

// Two upper-case hexadecimal digits.
std::string HexByte(uint8_t value) {
  char text[8];
  std::snprintf(text, sizeof(text), "%02X", value);
  return text;
}

// What a label's end byte means.
const char* EndName(uint8_t end) {
  switch (end) {
    case 0x0C:
      return "page end";
    case 0x0B:
      return "retained page end";
    case 0x1A:
      return "document end";
    default:
      return "none (the stream stops)";
  }
}

struct LabelCounts {
  size_t rasterLines = 0;
  size_t zeroLines = 0;
  uint64_t dots = 0;
};

// The raster lines, zero lines and dots of a label.
LabelCounts Count(const tq33stream::Label& label) {
  LabelCounts counts;
  for (const tq33stream::Line& line : label.lines) {
    if (line.zero) {
      ++counts.zeroLines;
      continue;
    }
    ++counts.rasterLines;
    for (uint8_t byte : line.dots) counts.dots += static_cast<unsigned>(std::popcount(byte));
  }
  return counts;
}

// A job record's fields.
Json RecordJson(const tq33stream::JobRecord& record) {
  return Json{{"offset", record.offset},       {"totalLength", record.totalLength},
              {"paperSize", record.paperSize}, {"inchUnits", record.inchUnits},
              {"copies", record.copies},       {"collate", record.collate},
              {"jobOption", record.jobOption}, {"widthByte", record.widthByte},
              {"kindByte", record.kindByte}};
}

// A SetupHeader's bytes and what they switch on.
Json HeaderJson(const tq33stream::SetupHeader& header) {
  Json printInfo = Json::array();
  for (uint8_t p : header.printInfo) printInfo.push_back(p);
  return Json{{"offset", header.offset},
              {"resolution", header.feedResolution},
              {"printInfo", printInfo},
              {"kindByte", header.kindByte},
              {"widthByte", header.widthByte},
              {"special", header.special()},
              {"highResolutionByte", header.highResolutionByte},
              {"variousMode", header.variousMode},
              {"advancedMode", header.advancedMode},
              {"autoCut", header.autoCut},
              {"mirror", header.mirror},
              {"halfCut", header.halfCut},
              {"chainPrinting", !header.noChain},
              {"opt800", header.opt800},
              {"margin", header.margin}};
}

// The whole decoded stream, page by page and label by label.
Json StreamJson(const std::string& path, size_t size, const tq33stream::Stream& stream) {
  Json pages = Json::array();
  for (const tq33stream::Page& page : stream.pages) {
    Json labels = Json::array();
    for (const tq33stream::Label& label : page.labels) {
      LabelCounts counts = Count(label);
      labels.push_back(Json{{"offset", label.offset},
                            {"ownHeader", label.ownHeader},
                            {"header", HeaderJson(label.header)},
                            {"lines", label.lines.size()},
                            {"rasterLines", counts.rasterLines},
                            {"zeroLines", counts.zeroLines},
                            {"dots", counts.dots},
                            {"end", label.end},
                            {"endOffset", label.endOffset}});
    }
    Json chained = Json::array();
    for (const tq33stream::JobRecord& record : page.chainedRecords) {
      chained.push_back(RecordJson(record));
    }
    pages.push_back(Json{{"offset", page.offset},
                         {"record", page.record ? RecordJson(*page.record) : Json()},
                         {"chainedRecords", chained},
                         {"labels", labels}});
  }
  return Json{{"file", path},
              {"bytes", size},
              {"format", stream.format == tq33stream::StreamFormat::Framed ? "framed" : "plain"},
              {"documents", stream.documents},
              {"pages", pages}};
}

// One line for a job record.
void PrintRecord(const tq33stream::JobRecord& record, const char* what) {
  std::printf(
      "  %s (offset %zu): total length %u, paper size %u, copies %u, collate 0x%02X, "
      "job option %u, inch units %u, width byte %u, kind byte %u\n",
      what, record.offset, record.totalLength, record.paperSize, record.copies, record.collate,
      record.jobOption, record.inchUnits, record.widthByte, record.kindByte);
}

// The decoded stream as text, a few lines a label.
void PrintText(const std::string& path, size_t size, const tq33stream::Stream& stream) {
  const bool framed = stream.format == tq33stream::StreamFormat::Framed;
  std::printf("%s: %s, %s output, %s", path.c_str(),
              CountOf(static_cast<int64_t>(size), "byte", "bytes").c_str(),
              framed ? "framed" : "plain",
              CountOf(static_cast<int64_t>(stream.pages.size()), "page", "pages").c_str());
  if (!framed) {
    std::printf(
        ", %s",
        CountOf(static_cast<int64_t>(stream.documents), "document end", "document ends").c_str());
  }
  std::printf("\n");
  size_t pageNumber = 0;
  for (const tq33stream::Page& page : stream.pages) {
    std::printf("page %zu (offset %zu)\n", ++pageNumber, page.offset);
    if (page.record) PrintRecord(*page.record, "job record");
    for (const tq33stream::JobRecord& record : page.chainedRecords) {
      PrintRecord(record, "chained job record");
    }
    size_t labelNumber = 0;
    for (const tq33stream::Label& label : page.labels) {
      const tq33stream::SetupHeader& h = label.header;
      LabelCounts counts = Count(label);
      std::printf(
          "  label %zu (offset %zu)%s: %d dpi, kind byte 0x%s%s, width byte %u, print "
          "info %s %s %s %s %s\n",
          ++labelNumber, label.offset, label.ownHeader ? "" : ", header of the chain",
          h.feedResolution, HexByte(h.kindByte).c_str(), h.special() ? " (special)" : "",
          h.widthByte, HexByte(h.printInfo[0]).c_str(), HexByte(h.printInfo[1]).c_str(),
          HexByte(h.printInfo[2]).c_str(), HexByte(h.printInfo[3]).c_str(),
          HexByte(h.printInfo[4]).c_str());
      std::printf(
          "    auto cut %s, mirror %s, half cut %s, chain printing %s, opt800 %s, "
          "margin %s\n",
          h.autoCut ? "on" : "off", h.mirror ? "on" : "off", h.halfCut ? "on" : "off",
          h.noChain ? "off" : "on", h.opt800 ? "on" : "off",
          CountOf(h.margin, "dot", "dots").c_str());
      std::printf("    %s (%zu raster, %zu zero), %s, ends with %s\n",
                  CountOf(static_cast<int64_t>(label.lines.size()), "line", "lines").c_str(),
                  counts.rasterLines, counts.zeroLines,
                  CountOf(static_cast<int64_t>(counts.dots), "dot", "dots").c_str(),
                  label.end ? (HexByte(label.end) + " (" + EndName(label.end) + ")").c_str()
                            : EndName(label.end));
    }
  }
}

// One page as the label comes out of the printer: a row per feed line in feed order,
// the head across. Head dot 0 lies on the right of the printed side (portrait pages are
// sent right to left), unless the label is printed mirrored. A set dot prints black.
// With trueAspect a page with 720-dpi lines is drawn at its printed proportions: every dot
// two pixels wide, a 720-dpi line one pixel high and a 360-dpi line two.
void WritePagePng(const std::string& path, const tq33stream::Page& page, bool trueAspect) {
  uint8_t reversed[256];
  uint16_t doubled[256];
  for (unsigned v = 0; v < 256; ++v) {
    unsigned r = 0;
    unsigned d = 0;
    for (unsigned bit = 0; bit < 8; ++bit) {
      r |= ((v >> bit) & 1u) << (7 - bit);
      d |= ((v >> bit) & 1u) * (3u << (2 * bit));
    }
    reversed[v] = static_cast<uint8_t>(r);
    doubled[v] = static_cast<uint16_t>(d);
  }
  bool wide = false;
  for (const tq33stream::Label& label : page.labels) {
    wide = wide || (trueAspect && label.header.feedResolution == 720);
  }
  const size_t stride = wide ? 2 * kHeadLineBytes : kHeadLineBytes;
  size_t rowCount = 0;
  for (const tq33stream::Label& label : page.labels) {
    const size_t repeat = wide && label.header.feedResolution != 720 ? 2 : 1;
    rowCount += label.lines.size() * repeat;
  }
  // A page without lines still gets one white row: a PNG cannot be empty.
  const uint32_t height = rowCount ? static_cast<uint32_t>(rowCount) : 1;
  std::vector<uint8_t> rows(size_t{height} * stride, 0xFF);
  uint8_t* row = rows.data();
  for (const tq33stream::Label& label : page.labels) {
    const size_t repeat = wide && label.header.feedResolution != 720 ? 2 : 1;
    for (const tq33stream::Line& line : label.lines) {
      if (!line.zero) {
        for (size_t k = 0; k < kHeadLineBytes; ++k) {
          const uint8_t dots = static_cast<uint8_t>(
              ~(label.header.mirror ? line.dots[k] : reversed[line.dots[kHeadLineBytes - 1 - k]]));
          if (wide) {
            row[2 * k] = static_cast<uint8_t>(doubled[dots] >> 8);
            row[2 * k + 1] = static_cast<uint8_t>(doubled[dots] & 0xFF);
          } else {
            row[k] = dots;
          }
        }
        if (repeat == 2) std::copy(row, row + stride, row + stride);
      }
      row += stride * repeat;
    }
  }
  WriteBilevelPng(path, static_cast<uint32_t>(stride * 8), height, rows);
}

// Where page (counted from 1) of the stream goes for --png PREFIX: PREFIX-N.png; a
// directory (PREFIX ending in '/', or one that exists) receives STEM-N.png, STEM the
// stream's file name without its extension ("page" for standard input); "-" is standard
// output.
std::string PngPath(const std::string& prefix, const std::string& stream, size_t page) {
  if (prefix == "-") return prefix;
  std::error_code code;
  if (prefix.back() == '/' || std::filesystem::is_directory(prefix, code)) {
    std::string stem = stream == "-" ? "page" : std::filesystem::path(stream).stem().string();
    if (stem.empty()) stem = "page";
    return (prefix.back() == '/' ? prefix : prefix + "/") + stem + "-" + std::to_string(page) +
           ".png";
  }
  return prefix + "-" + std::to_string(page) + ".png";
}

struct DecodeOptions {
  std::string stream;
  std::string pngPrefix;
  bool json = false;
  bool trueAspect = false;
};

// Runs the command; throws when the stream cannot be read, decoded or rendered.
int RunDecode(const DecodeOptions& options) {
  const bool pngOut = options.pngPrefix == "-";
  if (pngOut && options.json) UsageError("--png - and --json would both write to standard output");
  if (pngOut && isatty(STDOUT_FILENO)) {
    UsageError("standard output is a terminal: redirect it, or give --png a PREFIX");
  }
  if (!options.pngPrefix.empty() && options.pngPrefix.back() == '/') {
    std::error_code code;
    if (!std::filesystem::is_directory(options.pngPrefix, code)) {
      Fail("cannot write " + options.pngPrefix + ": no such directory");
    }
  }
  const std::string name = InputName(options.stream);
  std::vector<uint8_t> bytes = ReadInputFile(options.stream, "stream", kMaxStreamBytes);
  if (bytes.empty()) Fail("cannot decode " + name + ": no printer stream (it is empty)");
  tq33stream::ParseResult result = tq33stream::ParseStream(bytes.data(), bytes.size());
  if (!result.ok) Fail("cannot decode " + name + ": " + result.error);
  const size_t pages = result.stream.pages.size();
  if (pngOut && pages != 1) {
    Fail("--png -: the stream holds " + CountOf(static_cast<int64_t>(pages), "page", "pages") +
         "; standard output takes the PNG of one page (give a PREFIX for more)");
  }
  if (!options.pngPrefix.empty()) {
    for (size_t i = 0; i < pages; ++i) {
      WritePagePng(PngPath(options.pngPrefix, options.stream, i + 1), result.stream.pages[i],
                   options.trueAspect);
    }
  }
  if (pngOut) return kExitOk;
  if (options.json) {
    PrintReport(StreamJson(name, bytes.size(), result.stream), true);
  } else {
    PrintText(name, bytes.size(), result.stream);
  }
  return kExitOk;
}

}  // namespace

void AddDecodeCommand(CLI::App* app, SetRun setRun) {
  auto options = std::make_shared<DecodeOptions>();
  CLI::App* command = app->add_subcommand(
      "decode", "Decode a printer stream: job records, label headers, line and dot counts");
  command
      ->add_option("STREAM", options->stream,
                   "The printer stream (framed or plain); - reads standard input")
      ->required();
  command->add_flag("--json", options->json, "Print one JSON object");
  command
      ->add_option("--png", options->pngPrefix,
                   "Render page N as PREFIX-N.png, the dots as the label comes out of "
                   "the printer (384 pixels across, one row per feed line); a directory "
                   "DIR/ receives STEM-N.png; - writes a one-page stream's PNG to standard "
                   "output instead of the report")
      ->type_name("PREFIX");
  AcceptChoices(command
                    ->add_option("--aspect", options->trueAspect,
                                 "true: draw a 720-dpi page at its printed proportions (768 "
                                 "pixels across, a 720-dpi line one pixel high, a 360-dpi "
                                 "line two); a 360-dpi page is drawn true already")
                    ->default_str("false"),
                {"true", "false"});
  command->footer(
      "Plain output does not mark where a page ends: there every label that ends with 0C\n"
      "counts as a page. The PNG has one pixel per dot, so at 720 dpi along the tape a\n"
      "label is drawn twice as long as it prints (--aspect true draws it true). A 720-dpi\n"
      "page looks lighter than it prints: the driver thins alternate lines of solid areas\n"
      "(threshold) or lightens the grays (diffusion), since a dot is two lines long.\n"
      "\n"
      "Examples:\n"
      "  tq33 decode out.bin\n"
      "  tq33 decode out.bin --json\n"
      "  tq33 decode out.bin --png preview      # preview-1.png, preview-2.png, ...\n"
      "  tq33 decode out.bin --png previews/    # previews/out-1.png, ...\n"
      "  tq33 print label.png -o - | tq33 decode - --png - --aspect true > label-preview.png\n");
  command->callback([options, setRun] { setRun([options] { return RunDecode(*options); }); });
}

}  // namespace tq33cli
