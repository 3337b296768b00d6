// SPDX-License-Identifier: Apache-2.0
// The codec module: PNG and JPEG decoding to gray rows and bilevel PNG writing, with
// libpng and libjpeg. Errors of both libraries leave by longjmp, so the frames they may
// leave hold nothing with a destructor.
#include "cli/image_codecs.h"

#include <png.h>

// libjpeg's header needs FILE and size_t declared before it.
#include <cstdio>
#include <jpeglib.h>

#include <csetjmp>
#include <cstring>
#include <vector>

namespace tq33cli {
namespace {

void Keep(char* message, size_t size, const char* text) {
  if (size > 0) std::snprintf(message, size, "%s", text);
}

// ---- PNG decoding -----------------------------------------------------------------------

// What the libpng callbacks share with the decoder; lives in the caller's frame so that
// nothing with a destructor is skipped by libpng's longjmp.
struct PngState {
  std::FILE* file = nullptr;
  const CodecRows* rows = nullptr;
  char message[256] = {};
  bool stopped = false;         // a callback answered false
  std::vector<uint8_t> row;     // one decoded row, up to 4 channels
  std::vector<uint8_t> gray;    // the row converted to gray
  std::vector<uint8_t> whole;   // an interlaced image's rows
  std::vector<png_bytep> starts;  // and their starts
};

// libpng's error handler: keeps the message and returns to the decoder's setjmp.
void PngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<PngState*>(png_get_error_ptr(png));
  std::snprintf(state->message, sizeof(state->message), "%s", message);
  png_longjmp(png, 1);
}

// Warnings (unknown chunks, gamma values) do not stop a decode.
void PngWarning(png_structp, png_const_charp) {}

// libpng's reader: exactly length bytes from the file, or an error for a file that ends.
void PngRead(png_structp png, png_bytep data, size_t length) {
  auto* state = static_cast<PngState*>(png_get_io_ptr(png));
  if (std::fread(data, 1, length, state->file) != length) {
    png_error(png, "truncated: the file ends inside the image data");
  }
}

// Stops the decode when a callback answered false.
void Check(png_structp png, PngState* state, bool going) {
  if (going) return;
  state->stopped = true;
  png_error(png, "stopped");
}

// Over white: c * a / 255 + 255 - a, rounded.
inline uint32_t OverWhite(uint32_t c, uint32_t a) { return (c * a + 255 * (255 - a) + 127) / 255; }

// BT.601 luma, rounded.
inline uint8_t Luma(uint32_t r, uint32_t g, uint32_t b) {
  return static_cast<uint8_t>((299 * r + 587 * g + 114 * b + 500) / 1000);
}

// One row of 1 to 4 eight-bit channels (gray, gray+alpha, RGB, RGBA) to gray over white.
void ToGray(const uint8_t* in, uint32_t width, int channels, uint8_t* out) {
  switch (channels) {
    case 1:
      std::memcpy(out, in, width);
      break;
    case 2:
      for (uint32_t x = 0; x < width; ++x, in += 2)
        out[x] = static_cast<uint8_t>(OverWhite(in[0], in[1]));
      break;
    case 3:
      for (uint32_t x = 0; x < width; ++x, in += 3) out[x] = Luma(in[0], in[1], in[2]);
      break;
    default:
      for (uint32_t x = 0; x < width; ++x, in += 4) {
        out[x] = Luma(OverWhite(in[0], in[3]), OverWhite(in[1], in[3]), OverWhite(in[2], in[3]));
      }
      break;
  }
}

// Decodes with libpng; false with state->message set on any libpng error.
bool DecodePngRows(png_structp png, png_infop info, CodecLimits limits, PngState* state) {
  if (setjmp(png_jmpbuf(png))) return false;
  const CodecRows& rows = *state->rows;
  png_set_read_fn(png, state, PngRead);
  png_set_user_limits(png, limits.maxSide, limits.maxSide);
  png_read_info(png, info);

  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bitDepth = 0;
  int colorType = 0;
  int interlace = 0;
  png_get_IHDR(png, info, &width, &height, &bitDepth, &colorType, &interlace, nullptr, nullptr);
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (png_get_valid(png, info, PNG_INFO_tRNS)) png_set_tRNS_to_alpha(png);
  if (bitDepth == 16) png_set_scale_16(png);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const int channels = png_get_channels(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  if (channels < 1 || channels > 4 || rowBytes < size_t{width} * channels) {
    png_error(png, "unexpected sample layout");
  }

  state->gray.resize(width);
  Check(png, state, rows.start(rows.context, width, height));
  if (passes == 1) {
    state->row.resize(rowBytes);
    for (png_uint_32 y = 0; y < height; ++y) {
      // 8-bit gray rows need no conversion: they are decoded where they belong.
      uint8_t* target = channels == 1 ? rows.target(rows.context, y) : nullptr;
      if (target) {
        png_read_row(png, target, nullptr);
        Check(png, state, rows.row(rows.context, y, target));
        continue;
      }
      png_read_row(png, state->row.data(), nullptr);
      ToGray(state->row.data(), width, channels, state->gray.data());
      Check(png, state, rows.row(rows.context, y, state->gray.data()));
    }
    return true;
  }
  // Interlaced rows arrive pass by pass, so the whole image is decoded first.
  if (rowBytes > limits.maxInterlacedBytes / height) {
    png_error(png, "interlaced image too large to decode (de-interlace it first)");
  }
  state->whole.resize(rowBytes * height);
  state->starts.resize(height);
  for (png_uint_32 y = 0; y < height; ++y) state->starts[y] = state->whole.data() + rowBytes * y;
  png_read_image(png, state->starts.data());
  for (png_uint_32 y = 0; y < height; ++y) {
    ToGray(state->starts[y], width, channels, state->gray.data());
    Check(png, state, rows.row(rows.context, y, state->gray.data()));
  }
  return true;
}

CodecResult DecodePng(std::FILE* file, CodecLimits limits, const CodecRows* rows, char* message,
                      size_t messageSize) {
  PngState state;
  state.file = file;
  state.rows = rows;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &state, PngError, PngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  const bool created = info != nullptr;
  const bool ok = created && DecodePngRows(png, info, limits, &state);
  png_destroy_read_struct(&png, created ? &info : nullptr, nullptr);
  if (ok) return CodecResult::Done;
  if (state.stopped) return CodecResult::Stopped;
  Keep(message, messageSize, created ? state.message : "out of memory");
  return CodecResult::Failed;
}

// ---- JPEG decoding ----------------------------------------------------------------------

// What libjpeg's callbacks share with the decoder; the error manager comes first, so that
// the handler finds the state from libjpeg's pointer to it.
struct JpegState {
  jpeg_error_mgr error{};
  std::jmp_buf jump{};
  char message[JMSG_LENGTH_MAX] = {};
  bool strict = false;   // warnings of corrupt data are errors
  bool stopped = false;  // a callback answered false
};

// libjpeg's error handler: keeps the message and returns to the decoder's setjmp.
[[noreturn]] void JpegError(j_common_ptr info) {
  auto* state = reinterpret_cast<JpegState*>(info->err);
  info->err->format_message(info, state->message);
  std::longjmp(state->jump, 1);
}

// Warnings of corrupt data libjpeg can still decode (level -1) stop a strict decode only;
// trace messages (levels from 0) never do.
void JpegWarning(j_common_ptr info, int level) {
  if (level < 0 && reinterpret_cast<JpegState*>(info->err)->strict) JpegError(info);
}

// Reads the header; false with state->message set on any libjpeg error. Nothing with a
// destructor lives in this frame or the next: libjpeg's errors leave them by longjmp.
bool ReadJpegHeader(jpeg_decompress_struct* info, std::FILE* file, JpegState* state) {
  if (setjmp(state->jump)) return false;
  jpeg_stdio_src(info, file);
  jpeg_read_header(info, TRUE);
  return true;
}

// Decodes every row as 8-bit gray to rows, through row when they give no place of their
// own; false with state->message set, or state->stopped.
bool ReadJpegRows(jpeg_decompress_struct* info, JpegState* state, const CodecRows& rows,
                  uint8_t* row) {
  if (setjmp(state->jump)) return false;
  info->out_color_space = JCS_GRAYSCALE;
  jpeg_start_decompress(info);
  for (JDIMENSION y = 0; y < info->output_height; ++y) {
    uint8_t* target = rows.target(rows.context, y);
    JSAMPROW line = target ? target : row;
    jpeg_read_scanlines(info, &line, 1);
    if (!rows.row(rows.context, y, line)) {
      state->stopped = true;
      return false;
    }
  }
  jpeg_finish_decompress(info);
  return true;
}

CodecResult DecodeJpeg(std::FILE* file, CodecLimits limits, bool strict, const CodecRows* rows,
                       JpegHeader* header, char* message, size_t messageSize) {
  JpegState state;
  state.strict = strict;
  jpeg_decompress_struct info{};
  info.err = jpeg_std_error(&state.error);
  state.error.error_exit = JpegError;
  state.error.emit_message = JpegWarning;
  jpeg_create_decompress(&info);
  std::vector<uint8_t> row;
  bool ok = ReadJpegHeader(&info, file, &state);
  // libjpeg turns every colour space but CMYK and YCCK into gray.
  *header = {info.image_width, info.image_height,
             info.jpeg_color_space == JCS_CMYK || info.jpeg_color_space == JCS_YCCK};
  if (ok && rows && !header->cmyk && header->width > 0 && header->height > 0 &&
      header->width <= limits.maxSide && header->height <= limits.maxSide) {
    row.resize(header->width);
    ok = rows->start(rows->context, header->width, header->height);
    state.stopped = !ok;
    ok = ok && ReadJpegRows(&info, &state, *rows, row.data());
  }
  jpeg_destroy_decompress(&info);
  if (ok) return CodecResult::Done;
  if (state.stopped) return CodecResult::Stopped;
  Keep(message, messageSize, state.message);
  return CodecResult::Failed;
}

// ---- Bilevel PNG writing ------------------------------------------------------------------

struct WriteState {
  const CodecOutput* output = nullptr;
  char message[256] = {};
};

void PngWriteError(png_structp png, png_const_charp message) {
  auto* state = static_cast<WriteState*>(png_get_error_ptr(png));
  std::snprintf(state->message, sizeof(state->message), "%s", message);
  png_longjmp(png, 1);
}

// libpng's writer: hands the bytes on, or an error once a write failed.
void PngWrite(png_structp png, png_bytep data, size_t length) {
  auto* state = static_cast<WriteState*>(png_get_io_ptr(png));
  if (!state->output->write(state->output->context, data, length)) png_error(png, "write error");
}

// Every write reaches the output at once.
void PngFlush(png_structp) {}

// Writes the header and rows; false with the message in state on a libpng error.
bool WriteRows(png_structp png, png_infop info, WriteState* state, uint32_t width, uint32_t height,
               const uint8_t* rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, state, PngWrite, PngFlush);
  png_set_IHDR(png, info, width, height, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  const size_t stride = (size_t{width} + 7) / 8;
  for (uint32_t y = 0; y < height; ++y) {
    png_write_row(png, const_cast<png_bytep>(rows + stride * y));
  }
  png_write_end(png, nullptr);
  return true;
}

CodecResult WriteBilevelPng(const CodecOutput* output, uint32_t width, uint32_t height,
                            const uint8_t* rows, char* message, size_t messageSize) {
  WriteState state;
  state.output = output;
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, PngWriteError, PngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  const bool created = info != nullptr;
  const bool ok = created && WriteRows(png, info, &state, width, height, rows);
  png_destroy_write_struct(&png, created ? &info : nullptr);
  if (ok) return CodecResult::Done;
  Keep(message, messageSize, created ? state.message : "out of memory");
  return CodecResult::Failed;
}

constexpr ImageCodecs kCodecs = {kImageCodecsVersion, DecodePng, DecodeJpeg, WriteBilevelPng};

}  // namespace

extern "C" __attribute__((visibility("default"))) const ImageCodecs* tq33_image_codecs() {
  return &kCodecs;
}

}  // namespace tq33cli
