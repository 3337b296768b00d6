// SPDX-License-Identifier: Apache-2.0
// Label images for `tq33 print`: PNG (gray, RGB, palette, with or without alpha), JPEG
// (gray, RGB; libjpeg makes it gray) and binary PGM (P5, 8-bit), decoded row by row to
// 8-bit gray and placed on a white page.
//
// Gray conversion: alpha is composited over white, colour becomes gray by the BT.601 luma
// weights (0.299 R + 0.587 G + 0.114 B), each step rounded to the nearest level; 16-bit
// samples are scaled to 8 bits; gamma chunks are not applied. Rows are decoded one at a
// time and placed as they come, so an image larger than the page costs no more memory
// than one of its rows (interlaced PNGs, whose rows arrive in passes, are the exception
// and are limited to kMaxInterlacedBytes of decoded rows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tq33cli {

// Neither side of an image may exceed this many pixels.
inline constexpr uint32_t kMaxImageSide = 1u << 20;
inline constexpr size_t kMaxInterlacedBytes = size_t{256} << 20;

enum class Fit {
  None,     // image pixel (x, y) to page pixel (x, y), cropped; the rest white
  Contain,  // scaled to fit the page, aspect kept on the tape, centred, by area averaging
};

// An 8-bit gray page in surface coordinates, top-down; 255 is white. The pixels belong to
// the caller (the driver's surface, or a page image for a banded one); rows lie stride
// bytes apart (width when 0), and what lies between a row's end and the next row is left
// as it is. Its dots per inch on each axis differ at 720 dpi along the tape: scaling keeps
// the image's aspect on the tape, not in dots.
struct GrayPage {
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t* pixels = nullptr;
  uint32_t xResolution = 360;
  uint32_t yResolution = 360;
  size_t stride = 0;

  uint8_t* Row(uint32_t y) const { return pixels + size_t{y} * (stride ? stride : width); }
};

struct ImageSize {
  uint32_t width = 0;
  uint32_t height = 0;
};

// An image to print: a file read from its path each time, or standard input ("-") or a
// pipe, which can be read only once and so is held in memory, read whole.
struct ImageSource {
  std::string path;
  std::vector<uint8_t> bytes;  // the whole image when inMemory
  bool inMemory = false;
  bool strict = false;  // JPEG data libjpeg finds corrupt or short fails the decode, rather
                        // than being filled in (gray) as it is by default
};

// The source of path; reads standard input or a pipe to its end (at most
// kMaxStreamedImageBytes). Throws when it cannot be read.
inline constexpr size_t kMaxStreamedImageBytes = size_t{256} << 20;
ImageSource OpenImageSource(const std::string& path);

// Reads only the header of an image. Throws "cannot read image NAME: reason" (exit
// status 1) when it is not an image this tool takes.
ImageSize ProbeImage(const ImageSource& source);

// Decodes the image and places it on page (already sized); what the image leaves
// uncovered becomes white.
// Throws "cannot read image NAME: reason" when the image cannot be decoded.
void RenderImage(const ImageSource& source, Fit fit, GrayPage* page);

}  // namespace tq33cli
