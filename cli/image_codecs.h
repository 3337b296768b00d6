// SPDX-License-Identifier: Apache-2.0
// The PNG and JPEG codecs, in a module of their own (libtq33codecs.so, beside the driver
// library) that the tool loads the first time it reads a PNG or JPEG or writes a PNG. Most runs read a PGM or no image
// at all, and loading libpng, libjpeg and zlib at every start cost more than anything else
// the tool loads but the driver.
//
// The interface is plain C: no exception and no C++ object crosses it. Rows are handed
// back through callbacks that answer false to stop the decode; the caller keeps the
// reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tq33cli {

// Where a decoder hands its 8-bit gray rows, top to bottom.
struct CodecRows {
  void* context;
  // Once, with the image's size, before any row; false stops the decode.
  bool (*start)(void* context, uint32_t width, uint32_t height);
  // Where row y may be decoded in place (a whole image row fits there), or null.
  uint8_t* (*target)(void* context, uint32_t y);
  // Row y; gray is the place target gave, or the decoder's own. false stops the decode.
  bool (*row)(void* context, uint32_t y, const uint8_t* gray);
};

// Where an encoder's bytes go; false when they cannot be written.
struct CodecOutput {
  void* context;
  bool (*write)(void* context, const uint8_t* bytes, size_t count);
};

enum class CodecResult : int {
  Done = 0,
  Failed = 1,   // the codec's reason is in the message
  Stopped = 2,  // a callback answered false
};

// The size of a JPEG and what the tool must know of its colour space before decoding it.
struct JpegHeader {
  uint32_t width;
  uint32_t height;
  bool cmyk;  // CMYK or YCCK: not turned into gray
};

// Neither side of an image may exceed this many pixels (a decoder refuses larger), and an
// interlaced PNG's decoded rows at most this many bytes.
struct CodecLimits {
  uint32_t maxSide;
  size_t maxInterlacedBytes;
};

inline constexpr uint32_t kImageCodecsVersion = 1;

struct ImageCodecs {
  uint32_t version;  // kImageCodecsVersion
  // A PNG of any colour type and depth, gray over white, to rows.
  CodecResult (*decodePng)(std::FILE* file, CodecLimits limits, const CodecRows* rows,
                           char* message, size_t messageSize);
  // A JPEG's header into header, then, with rows and when it is not CMYK and lies within
  // the limits, its rows as gray. strict: data libjpeg finds corrupt fails the decode.
  CodecResult (*decodeJpeg)(std::FILE* file, CodecLimits limits, bool strict,
                            const CodecRows* rows, JpegHeader* header, char* message,
                            size_t messageSize);
  // A 1-bit gray PNG of rows packed most significant bit first, (width + 7) / 8 bytes a
  // row, a set bit white.
  CodecResult (*writeBilevelPng)(const CodecOutput* output, uint32_t width, uint32_t height,
                                 const uint8_t* rows, char* message, size_t messageSize);
};

// The module's one entry.
extern "C" const ImageCodecs* tq33_image_codecs();
using ImageCodecsEntry = const ImageCodecs* (*)();
inline constexpr const char kImageCodecsModule[] = "libtq33codecs.so";
inline constexpr const char kImageCodecsEntry[] = "tq33_image_codecs";

// The loaded module's codecs; throws, saying why, when it cannot be loaded.
const ImageCodecs& LoadImageCodecs();

}  // namespace tq33cli
