// SPDX-License-Identifier: Apache-2.0
// The conversion of one rendered page into its printer stream: grey levels adjusted, the
// 720-dpi corrections, dots by matrix or error diffusion, labels cut across the head, one
// raster line command per feed position, packing, the job record, and out.
//
// The image is worked on in place. The grey-level changes (contrast, brightness, the
// 720-dpi tone) are one table, applied in a pass of their own, or for error diffusion as
// the diffusion reads each pixel. The page stream is the only block this unit makes for a
// page; before its raster lines are written, its raster region doubles as the scratch
// space of the error diffusion.
#include "raster/page_conversion.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "context/device_context.h"
#include "device/media_lookup.h"
#include "raster/error_diffusion.h"
#include "raster/hires_corrections.h"
#include "raster/line_encoding.h"
#include "raster/page_output.h"
#include "raster/printer_commands.h"

const BYTE kOrderedMatrix[16] = {0x08, 0x20, 0x40, 0x60, 0x90, 0xD0, 0xC0, 0x80,
                                 0xB0, 0xF0, 0xE0, 0xA0, 0x10, 0x30, 0x50, 0x70};
const BYTE kFlatMatrix[16] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                              0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

namespace {

// The privMediaKind for which the 720-dpi tone fixes do not apply.
constexpr BYTE kMediaKindSpecialRules = 1;
constexpr DWORD kAbortPollInterval = 100;  // rows or head positions between two abort polls
constexpr DWORD kMaxLabelsAcross = 4;
constexpr DWORD kMaxPageStream = 0x7FFFFFFFu;  // so that the packer's doubled work area cannot wrap
constexpr DWORD kDiffusionBlock = 48;          // portrait columns gathered per pass over the rows
constexpr DWORD kDiffusionScratchOffset = 128;  // inside the page stream, past the headers' room
constexpr DWORD kLandscapePrefetchBytes = 64;   // a cache line of a landscape row

}  // namespace

// The page image as handed in, checked against its own buffer size.
struct PageImage {
  BYTE* pixels;
  DWORD stride;  // lDelta: bytes per row
  DWORD cx;
  DWORD cy;
};

// Where the dots of the raster lines come from and how the lines are laid out.
struct LineGeometry {
  BOOL landscape;
  const BYTE* pixels;
  DWORD rowStride;         // bytes between rows of the (merged) image
  DWORD feedLines;         // raster lines per label
  DWORD headExtent;        // image dots along the head
  DWORD labels;            // labels side by side across the head
  DWORD partExtent;        // dots per raster line of one label
  DWORD margin;            // blank dots in front of the image dots
  DWORD leadingZeroBytes;  // margin / 8
  DWORD lineByteCount;     // data bytes of every raster line command
  // Landscape rows that hold the diffusion's dots rather than pixels: a bit per feed line
  // from the row's start, the first line in the most significant bit, 1 for a dot.
  BOOL dotBits;
};

namespace {

// Pixels (0 or 255) for the eight dots of a byte, most significant bit first: 0 for a dot.
struct DotExpansion {
  BYTE pixels[256][8];
};
constexpr DotExpansion MakeDotExpansion() {
  DotExpansion expansion{};
  for (int value = 0; value < 256; ++value) {
    for (int bit = 0; bit < 8; ++bit) {
      expansion.pixels[value][bit] = (value & (0x80 >> bit)) ? 0 : 255;
    }
  }
  return expansion;
}
constexpr DotExpansion kDotPixels = MakeDotExpansion();

}  // namespace

// Fills the 256-entry contrast table: levels move away from 128 (or toward it for a
// negative contrast) by |contrast| / 128 of their distance, rounded. Cannot fail.
void BuildToneTable(signed char contrast, BYTE table[256]) {
  const DWORD magnitude = contrast < 0 ? static_cast<DWORD>(-static_cast<LONG>(contrast))
                                       : static_cast<DWORD>(contrast);
  const DWORD k = (magnitude * 1000000u) >> 7;
  for (DWORD i = 0; i < 256; ++i) {
    const DWORD dist = i < 128 ? 128 - i : i - 128;
    const DWORD v = dist * k;
    const DWORD q = v / 100000 + (v % 100000 > 49999 ? 1 : 0);
    const DWORD d = q / 10 + (q % 10 > 4 ? 1 : 0);
    const LONG up = static_cast<LONG>(i + d) > 255 ? 255 : static_cast<LONG>(i + d);
    const LONG down = static_cast<LONG>(i) - static_cast<LONG>(d) < 0
                          ? 0
                          : static_cast<LONG>(i) - static_cast<LONG>(d);
    // Positive contrast spreads the levels away from the middle, negative pulls them in.
    if (contrast >= 0) {
      table[i] = static_cast<BYTE>(i < 128 ? down : up);
    } else {
      table[i] = static_cast<BYTE>(i < 128 ? up : down);
    }
  }
}

// Reads the surface's description. FALSE for a surface whose rows do not fit its own
// buffer, or an empty or bottom-up one, so that no later pass can run outside the bits.
static BOOL DescribeImage(const SURFOBJ* surface, PageImage* image) {
  if (!surface->pvBits || surface->sizlBitmap.cx <= 0 || surface->sizlBitmap.cy <= 0 ||
      surface->lDelta < surface->sizlBitmap.cx)
    return FALSE;
  const uint64_t bytes =
      static_cast<uint64_t>(surface->lDelta) * static_cast<uint64_t>(surface->sizlBitmap.cy);
  if (bytes > surface->cjBits) return FALSE;
  image->pixels = static_cast<BYTE*>(surface->pvBits);
  image->stride = static_cast<DWORD>(surface->lDelta);
  image->cx = static_cast<DWORD>(surface->sizlBitmap.cx);
  image->cy = static_cast<DWORD>(surface->sizlBitmap.cy);
  return TRUE;
}

// The grey level every level of the page becomes: through the tone table and the
// brightness, black and white staying as they are; then, when hiResTone, through the
// 720-dpi tone table. TRUE when some level changes.
static BOOL BuildLevelMap(const BYTE table[256], signed char brightness, BOOL hiResTone,
                          BYTE map[256]) {
  BOOL changes = FALSE;
  for (DWORD v = 0; v < 256; ++v) {
    LONG level = static_cast<LONG>(table[v]) + brightness;
    if (level < 0) level = 0;
    if (level > 255) level = 255;
    if (v == 0 || v == 255) level = static_cast<LONG>(v);
    map[v] = hiResTone ? HiResToneTable[level] : static_cast<BYTE>(level);
    if (map[v] != v) changes = TRUE;
  }
  return changes;
}

// Adjusts every grey level of every row (padding included) through the level map, unless
// map is null (the levels are left to the diffusion, or stay as they are). FALSE when the
// job was aborted.
static BOOL ApplyTone(SURFOBJ* surface, const PageImage& image, const BYTE* map) {
  for (DWORD row = 0; row < image.cy; row += kAbortPollInterval) {
    if (EngCheckAbort(surface)) return FALSE;
    // Without a map only the polls remain to be done.
    if (!map) continue;
    const DWORD rows = image.cy - row < kAbortPollInterval ? image.cy - row : kAbortPollInterval;
    BYTE* pixel = image.pixels + static_cast<size_t>(row) * image.stride;
    BYTE* end = pixel + static_cast<size_t>(rows) * image.stride;
    for (; pixel < end; ++pixel) *pixel = map[*pixel];
  }
  return TRUE;
}

// Works out the raster line layout. FALSE when a label would be wider than the head.
static BOOL ComputeLineGeometry(const PageImage& image, BOOL landscape, BOOL merged,
                                BYTE widthMultiple, LineGeometry* geometry) {
  geometry->landscape = landscape;
  geometry->pixels = image.pixels;
  geometry->dotBits = FALSE;
  geometry->feedLines = landscape ? image.cx : image.cy;
  geometry->headExtent = landscape ? image.cy : image.cx;
  geometry->rowStride = image.stride;
  if (merged) {
    geometry->headExtent /= 2;
    if (!landscape) geometry->rowStride = image.stride / 2;
  }
  // More labels than the head can take cannot come from sound media data; reading the
  // record as one label prints every dot where it was drawn.
  geometry->labels = widthMultiple < kMaxLabelsAcross ? widthMultiple + 1u : 1u;
  geometry->partExtent = geometry->headExtent / geometry->labels;
  if (geometry->partExtent > kHeadDots) return FALSE;
  geometry->margin = (kHeadDots - geometry->partExtent) / 2;
  geometry->leadingZeroBytes = geometry->margin / 8;
  geometry->lineByteCount = (geometry->margin + geometry->partExtent + 7) / 8;
  return TRUE;
}

// Capacity of the page stream: 55 bytes per raster line, room for the later labels'
// headers and the fixed parts. 0 when it does not fit a page stream.
static DWORD PageStreamCapacity(const PageImage& image, const LineGeometry& geometry) {
  const uint64_t lines = (geometry.landscape ? image.stride : image.cy) + 1ull;
  const uint64_t capacity =
      lines * geometry.labels * 55 + (geometry.labels - 1ull) * 256 + 314;
  // The raster lines themselves must fit too: at most 3 + 48 bytes a line, the later
  // labels' headers and compression commands, and one page-end byte per label.
  const uint64_t needed = kPageStreamRasterStart +
                          geometry.labels * (geometry.feedLines * (3ull + geometry.lineByteCount) + 1) +
                          (geometry.labels - 1ull) * (SETUP_HEADER_SIZE + 2);
  if (capacity > kMaxPageStream || needed > capacity) return 0;
  return static_cast<DWORD>(capacity);
}

// Words of eight pixels. Every target of the driver is little-endian: byte k of a word is
// the pixel at address + k.
static inline uint64_t LoadWord(const BYTE* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof(word));
  return word;
}
static inline void StoreWord(BYTE* bytes, uint64_t word) { std::memcpy(bytes, &word, sizeof(word)); }

// The head positions diffused together from first on: at most limit, and none past the
// next abort poll, so that the polls fall between the same lines as one line at a time.
static DWORD DiffusionBlock(DWORD first, DWORD heads, DWORD limit) {
  DWORD count = heads - first;
  if (count > limit) count = limit;
  const DWORD toPoll = kAbortPollInterval - first % kAbortPollInterval;
  return count < toPoll ? count : toPoll;
}

// Replaces count pixels in place by their inverted levels: through inverted, the level
// map's inverse, when there is one, else by inverting them.
static void InvertLevels(BYTE* pixels, DWORD count, const BYTE* inverted) {
  DWORD x = 0;
  if (!inverted) {
    for (; x + 8 <= count; x += 8) StoreWord(pixels + x, ~LoadWord(pixels + x));
    for (; x < count; ++x) pixels[x] = static_cast<BYTE>(~pixels[x]);
    return;
  }
#pragma GCC unroll 8
  for (; x < count; ++x) pixels[x] = inverted[pixels[x]];
}

// The level map's inverse for two pixels at once: entry a | b << 8 holds the inverted
// levels of a and b in the same places. 128 KB, built from the end of a scratch area.
constexpr DWORD kLevelPairs = 65536;
constexpr DWORD kLevelPairBytes = kLevelPairs * sizeof(uint16_t);

// Builds the two-pixel table in the last kLevelPairBytes of a scratch area large enough to
// give them up (twice as large), and takes them off its size; null, leaving the size, for
// no level map or a smaller area.
static const uint16_t* PlaceLevelPairs(const BYTE* inverted, BYTE* scratch,
                                       DWORD* scratchBytes) {
  if (!inverted || *scratchBytes < 2 * kLevelPairBytes) return nullptr;
  // The area starts on a heap block's alignment: an even size puts the table on an even byte.
  *scratchBytes = (*scratchBytes - kLevelPairBytes) & ~DWORD{1};
  auto* pairs = reinterpret_cast<uint16_t*>(scratch + *scratchBytes);
  for (DWORD b = 0; b < 256; ++b) {
    for (DWORD a = 0; a < 256; ++a)
      pairs[a | b << 8] = static_cast<uint16_t>(inverted[a] | inverted[b] << 8);
  }
  return pairs;
}

// InvertLevels through the two-pixel table (and inverted for an odd last pixel).
static void InvertLevelPairs(BYTE* pixels, DWORD count, const uint16_t* pairs,
                             const BYTE* inverted) {
  DWORD x = 0;
#pragma GCC unroll 8
  for (; x + 2 <= count; x += 2) {
    uint16_t two;
    std::memcpy(&two, pixels + x, 2);
    two = pairs[two];
    std::memcpy(pixels + x, &two, 2);
  }
  if (x < count) pixels[x] = inverted[pixels[x]];
}

// Landscape: each head position is a row, its pixels along the feed lie side by side. A
// block of rows is inverted in place (through the level map, when there is one: inverted
// holds its inverse), diffused, and its dots put back at the start of their rows as bits
// (the line writer reads them so). FALSE when the job was aborted.
static BOOL DiffuseRows(DeviceContext* context, SURFOBJ* surface, const LineGeometry& geometry,
                        DWORD heads, const BYTE* inverted, BYTE* scratch, DWORD scratchBytes) {
  const DWORD feed = geometry.feedLines;
  const DWORD bitBytes = (feed + 7) / 8;
  const uint16_t* pairs = PlaceLevelPairs(inverted, scratch, &scratchBytes);
  DWORD limit = scratchBytes / bitBytes;
  if (limit == 0) return FALSE;
  if (limit > kAbortPollInterval) limit = kAbortPollInterval;
  BYTE* bits = scratch;
  const size_t stride = geometry.rowStride;
  BYTE* pixels = const_cast<BYTE*>(geometry.pixels);
  for (DWORD first = 0; first < heads;) {
    if (first % kAbortPollInterval == 0 && EngCheckAbort(surface)) return FALSE;
    const DWORD count = DiffusionBlock(first, heads, limit);
    BYTE* rows = pixels + first * stride;
    for (DWORD r = 0; r < count; ++r) {
      if (pairs) {
        InvertLevelPairs(rows + r * stride, feed, pairs, inverted);
      } else {
        InvertLevels(rows + r * stride, feed, inverted);
      }
    }
    // Cleared first: a line the diffusion does not write stays white.
    std::memset(bits, 0, static_cast<size_t>(count) * bitBytes);
    DiffuseLines(context, rows, stride, bits, bitBytes, feed, count);
    for (DWORD r = 0; r < count; ++r)
      std::memcpy(rows + r * stride, bits + static_cast<size_t>(r) * bitBytes, bitBytes);
    first += count;
  }
  return TRUE;
}

// Transposes an 8 x 8 block of bytes: byte k of word i becomes byte i of word k.
static inline void TransposeBytes(uint64_t word[8]) {
  for (int i = 0; i < 8; i += 2) {
    const uint64_t t = ((word[i] >> 8) ^ word[i + 1]) & 0x00FF00FF00FF00FFull;
    word[i + 1] ^= t;
    word[i] ^= t << 8;
  }
  for (int i : {0, 1, 4, 5}) {
    const uint64_t t = ((word[i] >> 16) ^ word[i + 2]) & 0x0000FFFF0000FFFFull;
    word[i + 2] ^= t;
    word[i] ^= t << 16;
  }
  for (int i = 0; i < 4; ++i) {
    const uint64_t t = ((word[i] >> 32) ^ word[i + 4]) & 0x00000000FFFFFFFFull;
    word[i + 4] ^= t;
    word[i] ^= t << 32;
  }
}

// Transposes an 8 x 8 block of bits: bit j of byte k becomes bit k of byte j.
static inline uint64_t TransposeBits(uint64_t x) {
  uint64_t t = (x ^ (x >> 7)) & 0x00AA00AA00AA00AAull;
  x ^= t ^ (t << 7);
  t = (x ^ (x >> 14)) & 0x0000CCCC0000CCCCull;
  x ^= t ^ (t << 14);
  t = (x ^ (x >> 28)) & 0x00000000F0F0F0F0ull;
  x ^= t ^ (t << 28);
  return x;
}

// The inverted pixels of count columns from first on, one column after another in lines:
// eight rows by eight columns at a time, so that rows are read in memory order and whole
// words are written. With a level map (inverted holds its inverse) the pixels are first
// replaced in place by their inverted levels, eight rows at a time.
static void GatherColumns(BYTE* pixels, size_t stride, DWORD feed, DWORD first, DWORD count,
                          const BYTE* inverted, BYTE* lines) {
  const DWORD wholeColumns = count / 8 * 8;
  // Pixels already inverted are taken as they are.
  const uint64_t flip = inverted ? 0 : ~uint64_t{0};
  const BYTE flipByte = static_cast<BYTE>(flip);
  DWORD y = 0;
  for (; y + 8 <= feed; y += 8) {
    BYTE* rows = pixels + y * stride + first;
    if (inverted) {
      for (DWORD i = 0; i < 8; ++i) InvertLevels(rows + i * stride, count, inverted);
    }
    for (DWORD c = 0; c < wholeColumns; c += 8) {
      uint64_t word[8];
      for (DWORD i = 0; i < 8; ++i) word[i] = LoadWord(rows + i * stride + c) ^ flip;
      TransposeBytes(word);
      for (DWORD k = 0; k < 8; ++k) StoreWord(lines + static_cast<size_t>(c + k) * feed + y, word[k]);
    }
    for (DWORD c = wholeColumns; c < count; ++c) {
      for (DWORD i = 0; i < 8; ++i) {
        lines[static_cast<size_t>(c) * feed + y + i] = rows[i * stride + c] ^ flipByte;
      }
    }
  }
  for (; y < feed; ++y) {
    BYTE* row = pixels + y * stride + first;
    if (inverted) InvertLevels(row, count, inverted);
    for (DWORD c = 0; c < count; ++c) lines[static_cast<size_t>(c) * feed + y] = row[c] ^ flipByte;
  }
}

// Puts the dots of count diffused columns back as pixels, 0 for a dot and 255 for none,
// eight rows by eight columns at a time.
static void ScatterColumns(BYTE* pixels, size_t stride, DWORD feed, DWORD first, DWORD count,
                           const BYTE* bits, DWORD bitBytes) {
  const DWORD wholeColumns = count / 8 * 8;
  DWORD y = 0;
  for (; y + 8 <= feed; y += 8) {
    BYTE* rows = pixels + y * stride + first;
    const BYTE* dots = bits + y / 8;
    for (DWORD c = 0; c < wholeColumns; c += 8) {
      // Column c + k's byte goes to byte 7 - k, so that after the transpose byte 7 - i
      // holds row i with column c first, most significant bit first.
      uint64_t block = 0;
      for (DWORD k = 0; k < 8; ++k) {
        block |= static_cast<uint64_t>(dots[static_cast<size_t>(c + k) * bitBytes]) << (8 * (7 - k));
      }
      block = TransposeBits(block);
      for (DWORD i = 0; i < 8; ++i) {
        std::memcpy(rows + i * stride + c, kDotPixels.pixels[(block >> (8 * (7 - i))) & 0xFF], 8);
      }
    }
    for (DWORD c = wholeColumns; c < count; ++c) {
      for (DWORD i = 0; i < 8; ++i) {
        rows[i * stride + c] = kDotPixels.pixels[dots[static_cast<size_t>(c) * bitBytes]][i];
      }
    }
  }
  for (; y < feed; ++y) {
    BYTE* row = pixels + y * stride + first;
    for (DWORD c = 0; c < count; ++c) {
      row[c] = kDotPixels.pixels[bits[static_cast<size_t>(c) * bitBytes + y / 8]][y % 8];
    }
  }
}

// Whether every pixel of count columns from first on is black or white.
static bool BlackAndWhiteColumns(const BYTE* pixels, size_t stride, DWORD feed, DWORD first,
                                 DWORD count) {
  for (DWORD y = 0; y < feed; ++y) {
    if (!OnlyFullLevels(pixels + y * stride + first, count)) return false;
  }
  return true;
}

// Portrait: each head position is a column. Columns are gathered a block at a time, so
// that every pass walks the rows in memory order, then diffused together and put back.
// A block of black and white after lines that left no error stays as it is: the filter
// would put a dot where a pixel is 0 (black and white keep their levels through any map),
// and a pixel of 0 is what the line writer takes for one. FALSE when the job was aborted
// or the scratch cannot hold one column.
static BOOL DiffuseColumns(DeviceContext* context, SURFOBJ* surface, const LineGeometry& geometry,
                           DWORD heads, const BYTE* inverted, BYTE* scratch, DWORD scratchBytes) {
  const DWORD feed = geometry.feedLines;
  const DWORD bitBytes = (feed + 7) / 8;
  DWORD limit = scratchBytes / (feed + bitBytes);
  if (limit == 0) return FALSE;
  if (limit > kDiffusionBlock) limit = kDiffusionBlock;
  BYTE* lines = scratch;
  BYTE* bits = scratch + static_cast<size_t>(limit) * feed;
  BYTE* pixels = const_cast<BYTE*>(geometry.pixels);
  const size_t stride = geometry.rowStride;

  for (DWORD first = 0; first < heads;) {
    if (first % kAbortPollInterval == 0 && EngCheckAbort(surface)) return FALSE;
    const DWORD count = DiffusionBlock(first, heads, limit);
    if (BlackAndWhiteColumns(pixels, stride, feed, first, count) &&
        PassFullLines(context, feed, count)) {
      first += count;
      continue;
    }
    GatherColumns(pixels, stride, feed, first, count, inverted, lines);
    // Cleared first: a line the diffusion does not write stays white.
    std::memset(bits, 0, static_cast<size_t>(count) * bitBytes);
    DiffuseLines(context, lines, feed, bits, bitBytes, feed, count);
    ScatterColumns(pixels, stride, feed, first, count, bits, bitBytes);
    first += count;
  }
  return TRUE;
}

// Reverses the order of the eight bytes of a word.
static inline uint64_t ReverseBytes(uint64_t word) {
  word = ((word & 0x00FF00FF00FF00FFull) << 8) | ((word >> 8) & 0x00FF00FF00FF00FFull);
  word = ((word & 0x0000FFFF0000FFFFull) << 16) | ((word >> 16) & 0x0000FFFF0000FFFFull);
  return (word << 32) | (word >> 32);
}

// Eight dots of a line from eight pixels in head order against the matrix row's
// thresholds, which repeat every four dots; most significant bit first.
static inline BYTE PackDots(const BYTE* pixel, const BYTE* threshold) {
  return static_cast<BYTE>(
      ((pixel[0] < threshold[0]) << 7) | ((pixel[1] < threshold[1]) << 6) |
      ((pixel[2] < threshold[2]) << 5) | ((pixel[3] < threshold[3]) << 4) |
      ((pixel[4] < threshold[0]) << 3) | ((pixel[5] < threshold[1]) << 2) |
      ((pixel[6] < threshold[2]) << 1) | (pixel[7] < threshold[3]));
}

#if defined(__SSE2__)
namespace {

// Each byte with its bits in reverse order.
struct BitReversal {
  BYTE bytes[256];
};
constexpr BitReversal MakeBitReversal() {
  BitReversal reversal{};
  for (int value = 0; value < 256; ++value) {
    for (int bit = 0; bit < 8; ++bit) {
      if (value & (1 << bit)) reversal.bytes[value] |= static_cast<BYTE>(0x80 >> bit);
    }
  }
  return reversal;
}
constexpr BitReversal kReversedBits = MakeBitReversal();

}  // namespace
#endif

// The raster line command's header and the line's leading zero bytes, written at command;
// the line's data go where it returns. A line found to have no dot is then turned into "Z".
static inline BYTE* BeginRasterLine(const LineGeometry& geometry, BYTE* command) {
  command[0] = kCmdRasterLine;
  command[1] = static_cast<BYTE>(geometry.lineByteCount);
  command[2] = static_cast<BYTE>(geometry.lineByteCount >> 8);
  std::memset(command + 3, 0, geometry.leadingZeroBytes);
  return command + 3 + geometry.leadingZeroBytes;
}

// Appends the raster line command of one line, or "Z" when it has no dot. line holds the
// pixels in head order from the first dot position of the first data byte on.
static DWORD WriteLine(const LineGeometry& geometry, const BYTE* line, const BYTE* threshold,
                       BYTE* stream, DWORD position) {
  const DWORD dataBytes = geometry.lineByteCount - geometry.leadingZeroBytes;
  BYTE* command = stream + position;
  BYTE* data = BeginRasterLine(geometry, command);
  BYTE any = 0;
  DWORD i = 0;
#if defined(__SSE2__)
  // Sixteen dots at a time: a signed compare of the levels with 128 taken off is the
  // unsigned compare, and the mask has the first dot in its lowest bit.
  int thresholds;
  std::memcpy(&thresholds, threshold, sizeof(thresholds));
  const __m128i offset = _mm_set1_epi8(static_cast<char>(0x80));
  const __m128i limits = _mm_xor_si128(_mm_set1_epi32(thresholds), offset);
  for (; i + 2 <= dataBytes; i += 2) {
    const __m128i pixels =
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line + 8 * i)), offset);
    const int dots = _mm_movemask_epi8(_mm_cmpgt_epi8(limits, pixels));
    data[i] = kReversedBits.bytes[dots & 0xFF];
    data[i + 1] = kReversedBits.bytes[dots >> 8];
    any |= static_cast<BYTE>(dots | (dots >> 8));
  }
#endif
  for (; i < dataBytes; ++i) {
    const BYTE packed = PackDots(line + 8 * i, threshold);
    data[i] = packed;
    any |= packed;
  }
  if (any) return position + 3 + geometry.lineByteCount;
  command[0] = kCmdZeroLine;
  return position + 1;
}

// Landscape: the dots of eight lines f .. f + 7 of a label, one line per buffer. A head
// position is a row, so eight pixels along it are one word; eight rows at a time are
// transposed into eight lines.
static void GatherLandscapeLines(const LineGeometry& geometry, DWORD label, DWORD f,
                                 BYTE* dots[8]) {
  const size_t stride = geometry.rowStride;
  const DWORD part = geometry.partExtent;
  const BYTE* source = geometry.pixels + static_cast<size_t>(label) * part * stride + f;
  // Every row is a stream of its own, too many for the processor to foresee: the first
  // block of a cache line asks for the row's next line ahead of time.
  const bool lineStart = f % kLandscapePrefetchBytes == 0;
  DWORD j = 0;
  for (; j + 8 <= part; j += 8) {
    uint64_t word[8];
    for (DWORD i = 0; i < 8; ++i) {
      const BYTE* row = source + (j + i) * stride;
      if (lineStart) __builtin_prefetch(row + 2 * kLandscapePrefetchBytes);
      word[i] = LoadWord(row);
    }
    TransposeBytes(word);
    for (DWORD k = 0; k < 8; ++k) StoreWord(dots[k] + j, word[k]);
  }
  for (; j < part; ++j) {
    for (DWORD k = 0; k < 8; ++k) dots[k][j] = source[j * stride + k];
  }
}

// The dots of line f of a label into dots, in head order.
static void GatherLine(const LineGeometry& geometry, DWORD label, DWORD f, BYTE* dots) {
  const size_t stride = geometry.rowStride;
  const DWORD part = geometry.partExtent;
  if (geometry.landscape && geometry.dotBits) {
    const BYTE* source = geometry.pixels + static_cast<size_t>(label) * part * stride + f / 8;
    const BYTE bit = static_cast<BYTE>(0x80 >> (f % 8));
    for (DWORD j = 0; j < part; ++j) dots[j] = source[j * stride] & bit ? 0 : 255;
    return;
  }
  if (geometry.landscape) {
    const BYTE* source = geometry.pixels + static_cast<size_t>(label) * part * stride + f;
    for (DWORD j = 0; j < part; ++j) dots[j] = source[j * stride];
    return;
  }
  // Dots run from the right: the label's last column is the head's first dot.
  const BYTE* end = geometry.pixels + f * stride + static_cast<size_t>(label + 1) * part;
  DWORD j = 0;
  for (; j + 8 <= part; j += 8) StoreWord(dots + j, ReverseBytes(LoadWord(end - j - 8)));
  for (; j < part; ++j) dots[j] = *(end - 1 - j);
}

// Whether every threshold of the matrix is 128: a pixel then prints where its top bit is
// clear, whatever its place.
static bool IsFlatMatrix(const BYTE* matrix) {
  for (DWORD i = 0; i < 16; ++i) {
    if (matrix[i] != 0x80) return false;
  }
  return true;
}

#if defined(__SSE2__)
// Landscape with the flat matrix: the commands of the sixteen raster lines f .. f + 15 of a
// label, the same bytes WriteLine writes from their pixels. Sixteen pixels of a row are
// one head position of the sixteen lines, so the row's top bits, inverted, are that head
// position's dots (with kDotBits, the row's two bytes of dots from bit f on, reversed);
// eight rows of them are turned into the lines' bytes a block of 8 x 8 bits at a time.
// f + 16 must not pass the feed lines.
template <bool kDotBits>
static DWORD WriteFlatLandscapeLines(const LineGeometry& geometry, DWORD label, DWORD f,
                                     BYTE* stream, DWORD position) {
  constexpr DWORD kLines = 16;
  constexpr DWORD kDotBytes = kHeadDots / 8 + 2;
  const size_t stride = geometry.rowStride;
  const DWORD part = geometry.partExtent;
  const BYTE* source =
      geometry.pixels + static_cast<size_t>(label) * part * stride + (kDotBits ? f / 8 : f);
  // Each row is prefetched once per cache line of it, which holds eight times as many
  // lines of bits as of pixels.
  const DWORD lineLines = kDotBits ? 8 * kLandscapePrefetchBytes : kLandscapePrefetchBytes;
  const bool lineStart = f % lineLines == 0;

  // Each line's dots, eight head positions a byte from the first, most significant bit
  // first; zero past the label, through the byte after the line's data.
  BYTE dots[kLines][kDotBytes];
  const DWORD groups = (part + 7) / 8;
  // Row t of a group in byte 7 - t, so that after the turn bit 7 - t is row t.
  const auto addRow = [&](const BYTE* row, DWORD t, uint64_t* low, uint64_t* high) {
    if (lineStart) __builtin_prefetch(row + 2 * kLandscapePrefetchBytes);
    DWORD printed;
    if constexpr (kDotBits) {
      printed = kReversedBits.bytes[row[0]] | static_cast<DWORD>(kReversedBits.bytes[row[1]]) << 8;
    } else {
      const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
      printed = ~static_cast<DWORD>(_mm_movemask_epi8(pixels));
    }
    *low |= static_cast<uint64_t>(printed & 0xFF) << (8 * (7 - t));
    *high |= static_cast<uint64_t>((printed >> 8) & 0xFF) << (8 * (7 - t));
  };
  for (DWORD q = 0; q < groups; ++q) {
    uint64_t low = 0;
    uint64_t high = 0;
    const BYTE* group = source + 8 * q * stride;
    if (part - 8 * q >= 8) {
      // Whole groups, the rows unrolled so that every shift is a constant.
#pragma GCC unroll 8
      for (DWORD t = 0; t < 8; ++t) addRow(group + t * stride, t, &low, &high);
    } else {
      for (DWORD t = 0; 8 * q + t < part; ++t) addRow(group + t * stride, t, &low, &high);
    }
    low = TransposeBits(low);
    high = TransposeBits(high);
    for (DWORD k = 0; k < 8; ++k) {
      dots[k][q] = static_cast<BYTE>(low >> (8 * k));
      dots[8 + k][q] = static_cast<BYTE>(high >> (8 * k));
    }
  }

  // The data start with the margin's dots that are not whole zero bytes: the dots move
  // by that many bits.
  const DWORD shift = geometry.margin % 8;
  const DWORD dataBytes = geometry.lineByteCount - geometry.leadingZeroBytes;
  for (DWORD k = 0; k < kLines; ++k) {
    for (DWORD q = groups; q <= dataBytes; ++q) dots[k][q] = 0;
    BYTE* command = stream + position;
    BYTE* data = BeginRasterLine(geometry, command);
    uint64_t any = 0;
    if (shift == 0) {
      // Copied a word at a time: a line is a few words, too short for memcpy's string copy.
      DWORD i = 0;
      for (; i + 8 <= dataBytes; i += 8) {
        const uint64_t word = LoadWord(dots[k] + i);
        StoreWord(data + i, word);
        any |= word;
      }
      for (; i < dataBytes; ++i) {
        data[i] = dots[k][i];
        any |= dots[k][i];
      }
    } else {
      DWORD carried = 0;
      for (DWORD i = 0; i < dataBytes; ++i) {
        const DWORD bits = dots[k][i];
        const BYTE value = static_cast<BYTE>((bits >> shift) | (carried << (8 - shift)));
        carried = bits;
        data[i] = value;
        any |= value;
      }
    }
    if (any) {
      position += 3 + geometry.lineByteCount;
    } else {
      command[0] = kCmdZeroLine;
      position += 1;
    }
  }
  return position;
}
#endif

// Writes every label's raster lines, with the later labels' headers and every label's
// page-end byte, from offset 83 on. Returns the end of the region.
static DWORD WriteRasterRegion(const LineGeometry& geometry, const BYTE* matrix, BYTE* stream) {
  const DWORD shift = geometry.margin % 8;
  const DWORD feedLines = geometry.feedLines;

  // The pixels of up to eight lines in head order, placed so that line[k][0] is the first
  // dot of the first data byte; the dots around the label stay white and never print.
  BYTE lines[8][kHeadDots + 16];
  std::memset(lines, 0xFF, sizeof(lines));
  BYTE* dots[8];
  for (DWORD k = 0; k < 8; ++k) dots[k] = lines[k] + shift;

  // Thresholds by matrix row and by dot position within the data bytes (mod 4).
  BYTE thresholds[4][4];
  for (DWORD row = 0; row < 4; ++row) {
    for (DWORD column = 0; column < 4; ++column) {
      thresholds[row][column] = matrix[row * 4 + ((column - shift) & 3)];
    }
  }

  DWORD position = kPageStreamRasterStart;
  for (DWORD label = 0; label < geometry.labels; ++label) {
    if (label > 0) {
      std::memcpy(stream + position, stream + JOB_INFO_RECORD_SIZE, SETUP_HEADER_SIZE);
      position += SETUP_HEADER_SIZE;
      stream[position++] = kCmdCompressionMode;
      stream[position++] = kCmdCompressionPackBits;
    }
    // The matrix line counter runs on across labels: every feed position writes one line.
    const DWORD counterBase = label * feedLines;
    DWORD f = 0;
    if (geometry.landscape && geometry.partExtent > 0) {
#if defined(__SSE2__)
      if (geometry.dotBits) {
        for (; f + 16 <= feedLines; f += 16)
          position = WriteFlatLandscapeLines<true>(geometry, label, f, stream, position);
      } else if (IsFlatMatrix(matrix)) {
        for (; f + 16 <= feedLines; f += 16)
          position = WriteFlatLandscapeLines<false>(geometry, label, f, stream, position);
      }
#endif
      // Dots as bits take the line-at-a-time loop.
      for (; !geometry.dotBits && f + 8 <= feedLines; f += 8) {
        GatherLandscapeLines(geometry, label, f, dots);
        for (DWORD k = 0; k < 8; ++k) {
          position = WriteLine(geometry, lines[k], thresholds[(counterBase + f + k) & 3], stream,
                               position);
        }
      }
    }
    for (; f < feedLines; ++f) {
      if (geometry.partExtent > 0) GatherLine(geometry, label, f, dots[0]);
      position = WriteLine(geometry, lines[0], thresholds[(counterBase + f) & 3], stream, position);
    }
    stream[position++] = kCmdPageEnd;
  }
  return position;
}

// Steps 8 to 15 on an allocated page stream. FALSE when the job was aborted, a pass
// failed, or the page output could not keep the page.
// inverted, when given, is the inverse of the level map the diffusion applies as it reads
// the page.
static BOOL BuildAndEmit(DeviceContext* context, SURFOBJ* surface, const PageImage& image,
                         LineGeometry geometry, BOOL merged, const BYTE* inverted,
                         LONG mediaOffset, BYTE* stream, DWORD capacity) {
  const PrivateSettings& priv = context->settings.priv;
  const BOOL hiRes = context->settings.dm.dmYResolution == 720;

  const BYTE* matrix = kOrderedMatrix;  // 2, and 0 or any unknown mode read as 2
  if (priv.privHalftone == kToneErrorDiffusion) {
    BYTE* scratch = stream + kDiffusionScratchOffset;
    const DWORD scratchBytes = capacity - kDiffusionScratchOffset;
    BOOL diffused;
    if (geometry.landscape) {
      const DWORD heads = merged ? (image.cy + 1) / 2 : image.cy;
      diffused = DiffuseRows(context, surface, geometry, heads, inverted, scratch, scratchBytes);
      geometry.dotBits = TRUE;
    } else {
      diffused = DiffuseColumns(context, surface, geometry, geometry.rowStride, inverted, scratch,
                                scratchBytes);
    }
    if (!diffused) return FALSE;
    matrix = kFlatMatrix;
  } else if (priv.privHalftone == kToneThreshold) {
    matrix = kFlatMatrix;
  }

  JobInfoRecord record = {};
  BuildJobInfoRecord(&record, context, mediaOffset);
  if (BuildSetupHeader(stream + JOB_INFO_RECORD_SIZE, context, mediaOffset) != SETUP_HEADER_SIZE)
    return FALSE;

  const DWORD regionEnd = WriteRasterRegion(geometry, matrix, stream);

  if (hiRes && priv.privHalftone == kToneThreshold && priv.privMediaKind != kMediaKindSpecialRules)
    ThinOddLines(context, stream, kPageStreamRasterStart, regionEnd);

  // The diffusion has already put its dots in place of the page: the page's memory, which
  // is faulted in, takes the packed lines, rather than fresh memory.
  BYTE* spare = priv.privHalftone == kToneErrorDiffusion ? image.pixels : nullptr;
  const DWORD length = PackRasterLines(context, stream, kPageStreamRasterStart, regionEnd, capacity,
                                       spare, SIZE_T{image.stride} * image.cy);
  if (length == 0) return FALSE;

  record.jiTotalLength = length;
  std::memcpy(stream, &record, JOB_INFO_RECORD_SIZE);
  return EmitPageStream(context, stream, length);
}

// Converts the surface's page into its printer stream and hands it to the page output.
// FALSE, with nothing written or retained, for a surface or context that cannot be used,
// an abort, a page that cannot be held, or a failed allocation or pass.
BOOL ConvertPage(SURFOBJ* surface) {
  if (!surface || surface->iBitmapFormat != BMF_8BPP) return FALSE;
  DeviceContext* context = ContextOfSurface(surface, false);
  if (!context) return FALSE;
  PageImage image;
  if (!DescribeImage(surface, &image)) return FALSE;
  const SettingsRecord& settings = context->settings;
  const PrivateSettings& priv = settings.priv;

  const BOOL hiRes = settings.dm.dmYResolution == 720;
  const BOOL diffusion = priv.privHalftone == kToneErrorDiffusion;
  const BOOL merged = hiRes && priv.privSmallChar == 1;
  BYTE tone[256];
  BuildToneTable(priv.privContrast, tone);
  BYTE levels[256];
  const BOOL hiResTone = hiRes && diffusion && priv.privMediaKind != kMediaKindSpecialRules;
  const BOOL changes = BuildLevelMap(tone, priv.privBrightness, hiResTone, levels);
  // The diffusion reads every pixel once and takes the levels as it reads them, unless the
  // merge along the head must see them first.
  const BOOL levelsInDiffusion = changes && diffusion && !merged;
  if (!ApplyTone(surface, image, changes && !levelsInDiffusion ? levels : nullptr)) return FALSE;
  BYTE inverted[256];
  for (DWORD v = 0; v < sizeof(inverted); ++v) inverted[v] = static_cast<BYTE>(~levels[v]);

  LONG mediaOffset = -1;
  FindMediaIndex(context->printer, &context->settings, &context->modelData, &mediaOffset, nullptr,
                 context->mediaDefinitions, context->mediaDefinitionCount,
                 context->defaultSettings.dm.dmPaperSize);
  const LONGLONG position = static_cast<LONGLONG>(priv.privMediaBase) + mediaOffset;
  const MediaRecord* media = MediaRecordAt(&context->modelData, position);
  // The terminator describes no medium.
  if (!media || position >= static_cast<LONGLONG>(context->modelData.mediaCount)) return FALSE;

  if (merged && !HeadAxisMerge(context, surface)) return FALSE;

  LineGeometry geometry;
  const BOOL landscape = settings.dm.dmOrientation == DMORIENT_LANDSCAPE;
  if (!ComputeLineGeometry(image, landscape, merged, media->mrWidthMultiple, &geometry))
    return FALSE;
  const DWORD capacity = PageStreamCapacity(image, geometry);
  if (capacity == 0) return FALSE;
  auto* stream = static_cast<BYTE*>(HeapAlloc(context->heap, HEAP_ZERO_MEMORY, capacity));
  if (!stream) return FALSE;

  const BOOL result = BuildAndEmit(context, surface, image, geometry, merged,
                                   levelsInDiffusion ? inverted : nullptr, mediaOffset, stream,
                                   capacity);
  HeapFree(context->heap, 0, stream);
  return result;
}
