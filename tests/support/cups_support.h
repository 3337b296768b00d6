// SPDX-License-Identifier: Apache-2.0
// What the CUPS filter's tests share: text files, CUPS raster files made with libcups, and
// reading dots back out of a decoded printer stream. Scratch directories and PNG files
// come from tool_runner.h.
#pragma once

#include <cups/raster.h>

#include <string>
#include <utility>
#include <vector>

#include "stream/stream_parser.h"
#include "tests/support/tool_runner.h"

namespace test {

// The 24 mm tape's named size (100 mm) in points, a landscape page of 1417 x 340 dots at
// 360 dpi (a dot is 1/5 point), and the feed margin in dots before the driver's first line.
inline constexpr double kTapeWidth = 68.03;
inline constexpr double kTapeLength = 283.46;
inline constexpr int kFeedMargin = 57;

bool WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// What `tq33 print --plain -o tool.bin` run in directory makes of the arguments (images
// and options): the bytes of tool.bin; the tool must succeed.
std::string ToolPrint(const std::string& directory, std::vector<std::string> arguments);

// An 8-bit gray (W) page header for a page size of the PPD, in points at a resolution.
cups_page_header2_t GrayHeader(const std::string& sizeName, double width, double height,
                               unsigned xResolution = 360, unsigned yResolution = 360);

// One raster page: its header, cupsHeight rows of cupsBytesPerLine bytes (white when
// empty), and how many of them to write (fewer cut the raster short).
struct RasterPage {
  cups_page_header2_t header;
  std::vector<uint8_t> pixels;
  size_t linesWritten = static_cast<size_t>(-1);
};

// Writes a CUPS raster file through libcups, or a PWG raster file; FALSE when it cannot.
bool WriteRaster(const std::string& path, const std::vector<RasterPage>& pages, bool pwg = false);

// Rows [first, last) of a page, e.g. the bars of a barcode along the tape.
using Rows = std::pair<int, int>;

// Dots printed on every line of a label.
std::vector<int> DotsPerLine(const tq33stream::Label& label);

// Every line of bars shifted by shift, less slack lines at each edge, has dots; every line
// farther than slack from a bar has none.
void ExpectOnlyBars(const tq33stream::Label& label, const std::vector<Rows>& bars, int shift, int slack);

// The stream of a file, parsed; fails the test when it does not parse.
tq33stream::Stream ParsedStream(const std::string& bytes);

// A barcode label for printing through CUPS: black bars across a background of one gray,
// as a PNG of width x height pixels (rows are bars), and as a PDF page of width x length
// points (bars in rows at 360 dpi from the top, on light gray).
PngLayout BarcodePng(uint32_t width, uint32_t height, const std::vector<Rows>& bars, uint8_t background);
std::string BarcodePdf(double width, double length, const std::vector<Rows>& bars);

// A PDF of width x height points with one page per content stream.
std::string Pdf(double width, double height, const std::vector<std::string>& contents);

}  // namespace test
