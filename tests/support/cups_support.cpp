// SPDX-License-Identifier: Apache-2.0
#include "tests/support/cups_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

namespace test {

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string ToolPrint(const std::string& directory, std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"print", "--plain", "-o", "tool.bin"});
  const ToolResult printed = RunTool(arguments, directory);
  EXPECT_EQ(printed.status, 0) << printed.err;
  return ReadFile(directory + "/tool.bin");
}

cups_page_header2_t GrayHeader(const std::string& sizeName, double width, double height,
                               unsigned xResolution, unsigned yResolution) {
  cups_page_header2_t header{};
  header.HWResolution[0] = xResolution, header.HWResolution[1] = yResolution;
  header.PageSize[0] = static_cast<unsigned>(width), header.PageSize[1] = static_cast<unsigned>(height);
  header.cupsPageSize[0] = static_cast<float>(width), header.cupsPageSize[1] = static_cast<float>(height);
  header.cupsWidth = static_cast<unsigned>(width * xResolution / 72 + 0.5);
  header.cupsHeight = static_cast<unsigned>(height * yResolution / 72 + 0.5);
  header.cupsBitsPerColor = header.cupsBitsPerPixel = 8;
  header.cupsBytesPerLine = header.cupsWidth;
  header.cupsColorOrder = CUPS_ORDER_CHUNKED, header.cupsColorSpace = CUPS_CSPACE_W;
  header.cupsNumColors = 1, header.NumCopies = 1;
  std::strncpy(header.cupsPageSizeName, sizeName.c_str(), sizeof(header.cupsPageSizeName) - 1);
  return header;
}

bool WriteRaster(const std::string& path, const std::vector<RasterPage>& pages, bool pwg) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  cups_raster_t* raster = cupsRasterOpen(fd, pwg ? CUPS_RASTER_WRITE_PWG : CUPS_RASTER_WRITE);
  bool ok = raster != nullptr;
  for (const RasterPage& page : pages) {
    if (!ok) break;
    cups_page_header2_t header = page.header;
    ok = cupsRasterWriteHeader2(raster, &header) != 0;
    std::vector<uint8_t> white(header.cupsBytesPerLine, 0xFF);
    for (size_t y = 0; ok && y < header.cupsHeight && y < page.linesWritten; ++y) {
      const uint8_t* row = page.pixels.empty() ? white.data() : page.pixels.data() + y * header.cupsBytesPerLine;
      ok = cupsRasterWritePixels(raster, const_cast<uint8_t*>(row), header.cupsBytesPerLine) ==
           header.cupsBytesPerLine;
    }
  }
  if (raster) cupsRasterClose(raster);
  return close(fd) == 0 && ok;
}

std::vector<int> DotsPerLine(const tq33stream::Label& label) {
  std::vector<int> dots;
  for (const tq33stream::Line& line : label.lines) {
    int count = 0;
    for (uint8_t byte : line.dots) count += std::popcount(byte);
    dots.push_back(count);
  }
  return dots;
}

void ExpectOnlyBars(const tq33stream::Label& label, const std::vector<Rows>& bars, int shift, int slack) {
  const std::vector<int> dots = DotsPerLine(label);
  for (int line = 0; line < static_cast<int>(dots.size()); ++line) {
    bool inside = false;
    bool near = false;
    for (const Rows& bar : bars) {
      inside |= line >= bar.first + shift + slack && line < bar.second + shift - slack;
      near |= line >= bar.first + shift - slack && line < bar.second + shift + slack;
    }
    EXPECT_TRUE(!inside || dots[line] > 0) << "no dots on line " << line << " inside a bar";
    EXPECT_TRUE(near || dots[line] == 0) << dots[line] << " dots on line " << line << " outside the bars";
  }
}

tq33stream::Stream ParsedStream(const std::string& bytes) {
  tq33stream::ParseResult parsed =
      tq33stream::ParseStream(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_TRUE(parsed.ok) << parsed.error;
  return parsed.stream;
}

PngLayout BarcodePng(uint32_t width, uint32_t height, const std::vector<Rows>& bars, uint8_t background) {
  PngLayout png{width, height};
  png.samples.assign(size_t{width} * height, background);
  for (const Rows& bar : bars)
    std::fill(png.samples.begin() + bar.first * width, png.samples.begin() + bar.second * width, 0);
  return png;
}

std::string Pdf(double width, double height, const std::vector<std::string>& contents) {
  const std::string size = std::to_string(width) + " " + std::to_string(height);
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
  std::string kids;
  for (const std::string& content : contents) {
    const std::string page = std::to_string(objects.size() + 1);
    kids += page + " 0 R ";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + size + "] /Contents " +
                      std::to_string(objects.size() + 2) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream");
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(contents.size()) + " >>";
  std::string pdf = "%PDF-1.4\n";
  std::string xref = "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t i = 0; i < objects.size(); ++i) {
    char entry[24];
    std::snprintf(entry, sizeof(entry), "%010zu 00000 n \n", pdf.size());
    xref += entry;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  return pdf + xref + "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(pdf.size()) + "\n%%EOF\n";
}

std::string BarcodePdf(double width, double length, const std::vector<Rows>& bars) {
  std::string content = "0.75 g 0 0 " + std::to_string(width) + " " + std::to_string(length) + " re f 0 g\n";
  for (const Rows& b : bars) {
    content += "10 " + std::to_string(length - b.second / 5.0) + " 48 " +
               std::to_string((b.second - b.first) / 5.0) + " re f\n";
  }
  return Pdf(width, length, {content});
}

}  // namespace test
