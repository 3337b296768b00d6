// SPDX-License-Identifier: Apache-2.0
#include "tests/support/tool_runner.h"

#include <gtest/gtest.h>
#include <png.h>
#include <cstdio>
// libjpeg's header needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace test {
namespace {

// The widths TQ33_VIA_WINE names ("32 64"): every print and info that succeeds is run
// again through the Windows driver of each (`make wine` sets it).
std::vector<std::string> ViaWineWidths() {
  const char* named = std::getenv("TQ33_VIA_WINE");
  std::vector<std::string> widths;
  std::istringstream in(named ? named : "");
  for (std::string width; in >> width;) widths.push_back(width);
  return widths;
}

int viaWineCommandLines = 0;
int viaWineRuns = 0;

// Says at the end of the tests how many command lines were repeated through Wine.
class ViaWineCount : public ::testing::Environment {
 public:
  void TearDown() override {
    if (viaWineCommandLines == 0) return;
    std::printf("via-wine: %d command lines of print and info repeated in %d runs under Wine\n",
                viaWineCommandLines, viaWineRuns);
  }
};
[[maybe_unused]] ::testing::Environment* const viaWineCount = ::testing::AddGlobalTestEnvironment(new ViaWineCount);

ToolResult RunOnce(const std::vector<std::string>& args, const std::string& directory,
                   int interruptAfterMs, const std::vector<uint8_t>& input) {
  std::vector<std::string> argv = {BuiltProgram("tq33")};
  argv.insert(argv.end(), args.begin(), args.end());
  ProcessOptions options;
  options.directory = directory;
  if (!input.empty()) {
    options.feed = [&input](pid_t, int pipe) {
      // A tool that stops reading early must not end the test with SIGPIPE.
      struct sigaction ignore {
      }, previous{};
      ignore.sa_handler = SIG_IGN;
      sigaction(SIGPIPE, &ignore, &previous);
      for (size_t done = 0; done < input.size();) {
        const ssize_t written = write(pipe, input.data() + done, input.size() - done);
        if (written <= 0) break;
        done += static_cast<size_t>(written);
      }
      sigaction(SIGPIPE, &previous, nullptr);
    };
  }
  if (interruptAfterMs > 0) {
    options.feed = [interruptAfterMs](pid_t pid, int) {
      usleep(static_cast<useconds_t>(interruptAfterMs) * 1000);
      kill(pid, SIGINT);
    };
  }
  ToolResult result = RunProcess(argv, options);
  EXPECT_NE(result.status, -1) << "the tool crashed: " << result.err;
  EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("runtime error"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("terminate called"), std::string::npos) << result.err;
  return result;
}

// Repeats a print or info that succeeded with --via-wine for each width TQ33_VIA_WINE names,
// and expects the same status, warnings and bytes: print's output file (under another
// name) or standard output, info's report. A print to anything but a regular file or
// standard output is left out.
void RepeatViaWine(const std::vector<std::string>& args, const std::string& directory,
                   const std::vector<uint8_t>& input, const ToolResult& linux) {
  if (args.empty() || (args[0] != "print" && args[0] != "info") || linux.status != 0 ||
      std::find(args.begin(), args.end(), "--via-wine") != args.end()) return;
  const std::vector<std::string> widths = ViaWineWidths();
  if (widths.empty()) return;
  size_t output = 0;  // the index of print's output
  for (size_t i = 1; i < args.size() && args[i] != "--"; ++i) {
    if ((args[i] == "-o" || args[i] == "--output") && i + 1 < args.size()) output = i + 1;
    if (args[i].rfind("--output=", 0) == 0) output = i;
  }
  const bool print = args[0] == "print";
  auto at = [&](const std::string& name) { return name[0] == '/' ? name : directory + "/" + name; };
  std::string path;
  if (print) {
    if (output == 0) return;
    path = args[output].rfind("--output=", 0) == 0 ? args[output].substr(9) : args[output];
    // A path of /dev or /proc names a descriptor or device of the tool's own.
    std::error_code code;
    if (path != "-" && (path.rfind("/dev/", 0) == 0 || path.rfind("/proc/", 0) == 0 ||
                        !std::filesystem::is_regular_file(at(path), code))) return;
  }
  ++viaWineCommandLines;
  for (const std::string& width : widths) {
    std::vector<std::string> repeated = args;
    const std::string copy = path + ".via-wine-" + width;
    if (print && path != "-") repeated[output] = args[output] == path ? copy : "--output=" + copy;
    repeated.insert(repeated.begin() + 1, {"--via-wine", width});
    const ToolResult wine = RunOnce(repeated, directory, 0, input);
    ++viaWineRuns;
    SCOPED_TRACE(::testing::PrintToString(repeated));
    EXPECT_EQ(wine.status, 0) << wine.err;
    EXPECT_EQ(wine.err, linux.err);
    if (print && path != "-") {
      EXPECT_TRUE(ReadBytes(at(copy)) == ReadBytes(at(path))) << "the output differs";
      std::filesystem::remove(at(copy));
    } else {
      EXPECT_TRUE(wine.out == linux.out) << "the output differs";
    }
  }
}

}  // namespace

ScratchDir::ScratchDir() {
  char pattern[] = "/tmp/tq33-tool-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (!made) throw std::runtime_error("cannot make a scratch directory");
  path_ = made;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> FileNames(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

ToolResult RunTool(const std::vector<std::string>& args, const std::string& directory,
                   int interruptAfterMs, const std::vector<uint8_t>& input) {
  ToolResult result = RunOnce(args, directory, interruptAfterMs, input);
  if (interruptAfterMs == 0) RepeatViaWine(args, directory, input, result);
  return result;
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

bool WriteJpeg(const std::string& path, const Gray& image) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  jpeg_compress_struct info{};
  jpeg_error_mgr error{};
  info.err = jpeg_std_error(&error);
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file);
  info.image_width = image.width;
  info.image_height = image.height;
  info.input_components = 1;
  info.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 100, TRUE);
  jpeg_start_compress(&info, TRUE);
  for (uint32_t y = 0; y < image.height; ++y) {
    JSAMPROW row = const_cast<uint8_t*>(image.pixels.data() + size_t{y} * image.width);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return std::fclose(file) == 0;
}

void WritePgm(const std::string& path, const Gray& image) {
  std::string header = "P5\n# test image\n" + std::to_string(image.width) + " " +
                       std::to_string(image.height) + "\n255\n";
  std::vector<uint8_t> bytes(header.begin(), header.end());
  bytes.insert(bytes.end(), image.pixels.begin(), image.pixels.end());
  WriteBytes(path, bytes);
}

Gray Ramp(uint32_t width, uint32_t height) {
  Gray ramp{width, height, std::vector<uint8_t>(size_t{width} * height)};
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x)
      ramp.pixels[size_t{y} * width + x] = x < width / 4 && y < height / 3 ? 0 : static_cast<uint8_t>(x * 7 + y * 13);
  }
  return ramp;
}

void WritePng(const std::string& path, const PngLayout& layout) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_TRUE(file);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    FAIL() << "libpng could not write " << path;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, layout.width, layout.height, layout.bitDepth, layout.colorType,
               layout.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> palette;
  for (size_t i = 0; i + 2 < layout.palette.size(); i += 3)
    palette.push_back({layout.palette[i], layout.palette[i + 1], layout.palette[i + 2]});
  if (!palette.empty()) png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
  if (!layout.transparency.empty()) {
    png_set_tRNS(png, info, layout.transparency.data(), static_cast<int>(layout.transparency.size()), nullptr);
  }
  png_write_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  std::vector<png_bytep> rows(layout.height);
  for (uint32_t y = 0; y < layout.height; ++y) rows[y] = const_cast<png_bytep>(layout.samples.data() + rowBytes * y);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
}

std::vector<uint8_t> PngHeaderOnly(uint32_t width, uint32_t height) {
  std::vector<uint8_t> bytes = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13};
  std::vector<uint8_t> chunk = {'I', 'H', 'D', 'R'};
  for (uint32_t value : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8) chunk.push_back(static_cast<uint8_t>(value >> shift));
  }
  chunk.insert(chunk.end(), {8, 0, 0, 0, 0});  // 8-bit gray, no interlace
  uLong crc = crc32(0, chunk.data(), static_cast<uInt>(chunk.size()));
  bytes.insert(bytes.end(), chunk.begin(), chunk.end());
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(crc >> shift));
  return bytes;
}

}  // namespace test
