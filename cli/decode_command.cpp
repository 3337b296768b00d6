// `tq33 decode`: a printer stream, page by page and label by label, and its dots as PNG.
#include <CLI/CLI.hpp>
#include <bit>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/file_io.h"
#include "cli/png_output.h"
#include "cli/tool.h"
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
  std::printf("%s: %zu bytes, %s output, %zu page%s", path.c_str(), size,
              framed ? "framed" : "plain", stream.pages.size(),
              stream.pages.size() == 1 ? "" : "s");
  if (!framed)
    std::printf(", %zu document end%s", stream.documents, stream.documents == 1 ? "" : "s");
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
          "margin %u dots\n",
          h.autoCut ? "on" : "off", h.mirror ? "on" : "off", h.halfCut ? "on" : "off",
          h.noChain ? "off" : "on", h.opt800 ? "on" : "off", h.margin);
      std::printf("    %zu lines (%zu raster, %zu zero), %llu dots, ends with %s\n",
                  label.lines.size(), counts.rasterLines, counts.zeroLines,
                  static_cast<unsigned long long>(counts.dots),
                  label.end ? (HexByte(label.end) + " (" + EndName(label.end) + ")").c_str()
                            : EndName(label.end));
    }
  }
}

// One page as the label comes out of the printer: a row per feed line in feed order,
// the head across. Head dot 0 lies on the right of the printed side (portrait pages are
// sent right to left), unless the label is printed mirrored. A set dot prints black.
void WritePagePng(const std::string& path, const tq33stream::Page& page) {
  uint8_t reversed[256];
  for (unsigned v = 0; v < 256; ++v) {
    unsigned r = 0;
    for (unsigned bit = 0; bit < 8; ++bit) r |= ((v >> bit) & 1u) << (7 - bit);
    reversed[v] = static_cast<uint8_t>(r);
  }
  size_t lines = 0;
  for (const tq33stream::Label& label : page.labels) lines += label.lines.size();
  // A page without lines still gets one white row: a PNG cannot be empty.
  const uint32_t height = lines ? static_cast<uint32_t>(lines) : 1;
  std::vector<uint8_t> rows(size_t{height} * kHeadLineBytes, 0xFF);
  uint8_t* row = rows.data();
  for (const tq33stream::Label& label : page.labels) {
    for (const tq33stream::Line& line : label.lines) {
      if (!line.zero) {
        for (size_t k = 0; k < kHeadLineBytes; ++k) {
          row[k] = static_cast<uint8_t>(
              ~(label.header.mirror ? line.dots[k] : reversed[line.dots[kHeadLineBytes - 1 - k]]));
        }
      }
      row += kHeadLineBytes;
    }
  }
  WriteBilevelPng(path, kHeadDots, height, rows);
}

struct DecodeOptions {
  std::string stream;
  std::string pngPrefix;
  bool json = false;
};

// Runs the command; throws when the stream cannot be read, decoded or rendered.
int RunDecode(const DecodeOptions& options) {
  std::vector<uint8_t> bytes = ReadInputFile(options.stream, "stream", kMaxStreamBytes);
  tq33stream::ParseResult result = tq33stream::ParseStream(bytes.data(), bytes.size());
  if (!result.ok) Fail("cannot decode " + options.stream + ": " + result.error);
  if (!options.pngPrefix.empty()) {
    for (size_t i = 0; i < result.stream.pages.size(); ++i) {
      WritePagePng(options.pngPrefix + "-" + std::to_string(i + 1) + ".png",
                   result.stream.pages[i]);
    }
  }
  if (options.json) {
    PrintReport(StreamJson(options.stream, bytes.size(), result.stream), true);
  } else {
    PrintText(options.stream, bytes.size(), result.stream);
  }
  return kExitOk;
}

}  // namespace

void AddDecodeCommand(CLI::App* app, SetRun setRun) {
  auto options = std::make_shared<DecodeOptions>();
  CLI::App* command = app->add_subcommand(
      "decode", "Decode a printer stream: job records, label headers, line and dot counts");
  command->add_option("STREAM", options->stream, "The printer stream (framed or plain)")
      ->required();
  command->add_flag("--json", options->json, "Print one JSON object");
  command
      ->add_option("--png", options->pngPrefix,
                   "Render page N as PREFIX-N.png, the dots as the label comes out of "
                   "the printer (384 pixels across, one row per feed line)")
      ->type_name("PREFIX");
  command->footer(
      "Plain output does not mark where a page ends: there every label that ends with 0C\n"
      "counts as a page. The PNG has one pixel per dot, so at 720 dpi along the tape a\n"
      "label is drawn twice as long as it prints.\n"
      "\n"
      "Examples:\n"
      "  tq33 decode out.bin\n"
      "  tq33 decode out.bin --json\n"
      "  tq33 decode out.bin --png preview      # preview-1.png, preview-2.png, ...\n");
  command->callback([options, setRun] { setRun([options] { return RunDecode(*options); }); });
}

}  // namespace tq33cli
