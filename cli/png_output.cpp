// SPDX-License-Identifier: Apache-2.0
// Bilevel PNG writing with libpng.
#include "cli/png_output.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>

#include "cli/file_io.h"
#include "cli/tool.h"

namespace tq33cli {
namespace {

struct WriteState {
  OutputFile* file = nullptr;
  char message[256] = {};
};

// libpng's error handler: keeps the message and returns to the writer's setjmp.
void PngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<WriteState*>(png_get_error_ptr(png));
  std::snprintf(state->message, sizeof(state->message), "%s", message);
  png_longjmp(png, 1);
}

// Warnings do not stop a write.
void PngWarning(png_structp, png_const_charp) {}

// libpng's writer: appends to the output, or an error once a write failed.
void PngWrite(png_structp png, png_bytep data, size_t length) {
  auto* state = static_cast<WriteState*>(png_get_io_ptr(png));
  if (!state->file->Write(data, length)) png_error(png, "write error");
}

// Every write reaches the output at once.
void PngFlush(png_structp) {}

// Writes the header and rows; false with the message in state on a libpng error.
bool WriteRows(png_structp png, png_infop info, WriteState* state, uint32_t width, uint32_t height,
               const std::vector<uint8_t>& rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, state, PngWrite, PngFlush);
  png_set_IHDR(png, info, width, height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const size_t stride = (size_t{width} + 7) / 8;
  for (uint32_t y = 0; y < height; ++y) {
    png_write_row(png, const_cast<png_bytep>(rows.data() + stride * y));
  }
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

void WriteBilevelPng(const std::string& path, uint32_t width, uint32_t height,
                     const std::vector<uint8_t>& rows) {
  OutputFile file(path);
  WriteState state;
  state.file = &file;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, PngError, PngWarning);
  if (!png) Fail("cannot write " + OutputName(path) + ": out of memory");
  png_infop info = png_create_info_struct(png);
  bool ok = info && WriteRows(png, info, &state, width, height, rows);
  png_destroy_write_struct(&png, &info);
  if (file.error() != 0) file.FailWrite();
  if (!ok) Fail("cannot write " + OutputName(path) + ": " + state.message);
  file.Commit();
}

}  // namespace tq33cli
