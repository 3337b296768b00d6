// SPDX-License-Identifier: Apache-2.0
// End-to-end tests of the tq33 tool: running the built binary as a subprocess in a
// scratch directory, and the image files it reads and writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/subprocess.h"

namespace test {

using ToolResult = ProcessResult;
using Args = std::vector<std::string>;

// A command line: the command's words, then more.
inline Args Join(Args args, const Args& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// The names of the files in a directory, sorted.
std::vector<std::string> FileNames(const std::string& directory);

// A scratch directory, removed with everything in it.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> Names() const { return FileNames(path_); }

 private:
  std::string path_;
};

// Runs tq33 with the arguments in directory (its working directory), input from
// /dev/null or, when given, the bytes of input. A crash, a sanitizer report or a stack
// trace fails the calling test. With interruptAfterMs, SIGINT is sent to it that long
// after it started. Where TQ33_VIA_WINE names widths ("32 64", as `make wine` sets it), a
// print or info that succeeds is run again with --via-wine of each, and must give the same
// status, warnings and bytes.
ToolResult RunTool(const std::vector<std::string>& args, const std::string& directory,
                   int interruptAfterMs = 0, const std::vector<uint8_t>& input = {});

std::vector<uint8_t> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);

// An 8-bit gray image, rows of width bytes.
struct Gray {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> pixels;
  uint8_t at(uint32_t x, uint32_t y) const { return pixels[size_t{y} * width + x]; }
};

void WritePgm(const std::string& path, const Gray& image);
// Steps of gray with a black block in the top left corner: shows any turn or mirror.
Gray Ramp(uint32_t width, uint32_t height);
// Writes a gray JPEG of the best quality; false when the file cannot be made.
bool WriteJpeg(const std::string& path, const Gray& image);

// A PNG written as given: colour type and bit depth of libpng, samples row by row
// (width * channels samples of bitDepth bits, 16-bit ones big-endian), an optional
// palette (RGB triples) and tRNS alphas, interlaced or not.
struct PngLayout {
  uint32_t width = 0;
  uint32_t height = 0;
  int colorType = 0;
  int bitDepth = 8;
  std::vector<uint8_t> samples;
  std::vector<uint8_t> palette;
  std::vector<uint8_t> transparency;
  bool interlaced = false;
};
void WritePng(const std::string& path, const PngLayout& layout);

// A PNG signature and IHDR chunk claiming width x height, with a correct CRC and
// nothing after it.
std::vector<uint8_t> PngHeaderOnly(uint32_t width, uint32_t height);

}  // namespace test
