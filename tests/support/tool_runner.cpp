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
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace test {

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

std::vector<std::string> ScratchDir::Names() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

ToolResult RunTool(const std::vector<std::string>& args, const std::string& directory,
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

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// Writes a gray JPEG of the best quality; false when the file cannot be made.
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
  for (size_t i = 0; i + 2 < layout.palette.size(); i += 3) {
    palette.push_back({layout.palette[i], layout.palette[i + 1], layout.palette[i + 2]});
  }
  if (!palette.empty()) png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
  if (!layout.transparency.empty()) {
    png_set_tRNS(png, info, layout.transparency.data(), static_cast<int>(layout.transparency.size()),
                 nullptr);
  }
  png_write_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  std::vector<png_bytep> rows(layout.height);
  for (uint32_t y = 0; y < layout.height; ++y) {
    rows[y] = const_cast<png_bytep>(layout.samples.data() + rowBytes * y);
  }
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
}

std::vector<uint8_t> PngHeaderOnly(uint32_t width, uint32_t height) {
  std::vector<uint8_t> bytes = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13};
  std::vector<uint8_t> chunk = {'I', 'H', 'D', 'R'};
  for (uint32_t value : {width, height}) {
    for (int shift = 24; shift >= 0; shift -= 8)
      chunk.push_back(static_cast<uint8_t>(value >> shift));
  }
  chunk.insert(chunk.end(), {8, 0, 0, 0, 0});  // 8-bit gray, no interlace
  uLong crc = crc32(0, chunk.data(), static_cast<uInt>(chunk.size()));
  bytes.insert(bytes.end(), chunk.begin(), chunk.end());
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(crc >> shift));
  return bytes;
}

}  // namespace test
