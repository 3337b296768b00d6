// SPDX-License-Identifier: Apache-2.0
// PackBits encoding of a page's raster lines: every raster line command of the region is
// rewritten so that its data decodes to one full line of the print head.
#include "raster/line_encoding.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "context/device_context.h"
#include "raster/printer_commands.h"
#include "raster/raster_region.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The neighbour mask is built from little-endian 8-byte loads.
static_assert(std::endian::native == std::endian::little);

// Room for one line and its slack: a line near the end of the region is copied here.
constexpr DWORD kLineAreaSize = 96;

// The mask loads and the span copies work in 16-byte pieces, so they may read and write
// up to 15 bytes past the bytes that count. Every source line has that many readable
// bytes behind it (near the end of the region the line is copied first), and the line
// area and the output area have that much room behind their last byte.
constexpr DWORD kSlack = 15;
static_assert(48 + kSlack <= kLineAreaSize);

// A raster line command: "G", the count as two bytes, then the data.
constexpr DWORD kLineCommandSize = 3;

// Bit k of the result is set when line[k] == line[k + 1], for k from 0 to count - 2.
// Reads count + kSlack bytes; the bits of bytes past the line are cleared.
uint64_t EqualNeighbourMask(const BYTE* line, DWORD count) {
  uint64_t mask = 0;
#if defined(__SSE2__)
  // Sixteen neighbour pairs per comparison.
  for (DWORD k = 0; k + 1 < count; k += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + k));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + k + 1));
    const auto equal = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, next)));
    mask |= static_cast<uint64_t>(equal) << k;
  }
#else
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  constexpr uint64_t kGather = 0x0102040810204080ULL;  // high bits of 8 bytes into one byte
  for (DWORD k = 0; k + 1 < count; k += 8) {
    uint64_t here = 0;
    uint64_t next = 0;
    std::memcpy(&here, line + k, 8);
    std::memcpy(&next, line + k + 1, 8);
    const uint64_t differ = here ^ next;
    // High bit of each byte set when that byte of differ is non-zero, without carries
    // between bytes, so equal neighbours are exactly the bytes left with it clear.
    const uint64_t nonZero = ((differ & kLow7) + kLow7) | differ;
    const uint64_t equal = ~nonZero & kHigh;
    mask |= ((equal >> 7) * kGather >> 56) << k;
  }
#endif
  return count > 1 ? mask & ((uint64_t{1} << (count - 1)) - 1) : 0;
}

// Copies count bytes in whole 16-byte pieces (see kSlack): lines are at most 48 bytes
// and most literal runs only a few, so one piece usually does.
inline void CopySpan(BYTE* to, const BYTE* from, DWORD count) {
  for (DWORD done = 0; done < count; done += 16) std::memcpy(to + done, from + done, 16);
}

// Packs count bytes from their equal-neighbour mask. Every run of two or more equal bytes
// becomes a repeat run; the single bytes between them are gathered into literal runs.
// This is exactly what a byte-by-byte encoder that opens a repeat on the first equal pair
// produces, but it takes one step per run instead of one per byte. A literal run is
// always followed by a repeat run or the end, which keeps the branches predictable.
DWORD PackMasked(const BYTE* line, DWORD count, uint64_t mask, BYTE* output) {
  DWORD packed = 0;
  DWORD at = 0;
  while (at < count) {
    uint64_t rest = mask >> at;
    if (!(rest & 1)) {
      // The literal run ends where the next repeat starts, or at the end of the line.
      const DWORD end = rest ? at + static_cast<DWORD>(std::countr_zero(rest)) : count;
      const DWORD literal = end - at;
      output[packed] = static_cast<BYTE>(literal - 1);
      CopySpan(output + packed + 1, line + at, literal);
      packed += literal + 1;
      at = end;
      if (at >= count) break;
      rest = mask >> at;
    }
    // Bits at..at+repeats-1 are set: bytes at..at+repeats are all equal.
    const DWORD repeats = static_cast<DWORD>(std::countr_zero(~rest));
    output[packed] = static_cast<BYTE>(0 - repeats);
    output[packed + 1] = line[at];
    packed += 2;
    at += repeats + 1;
  }
  return packed;
}

// Bits set in value. std::popcount becomes a library call on processors without the
// population-count instruction, which the driver cannot assume.
inline int CountBits(uint64_t value) {
  value -= (value >> 1) & 0x5555555555555555ULL;
  value = (value & 0x3333333333333333ULL) + ((value >> 2) & 0x3333333333333333ULL);
  value = (value + (value >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<int>((value * 0x0101010101010101ULL) >> 56);
}

// TRUE when PackMasked would not make the line longer, worked out from the mask alone so
// that a line that goes raw is not packed first. Packing saves the repeated bytes (one
// per mask bit) and spends a count byte on every run; a repeat run starts on a set bit
// and a literal run on a byte in no repeat run, so their starts never share a bit.
BOOL PackingPays(uint64_t mask, DWORD count) {
  if (mask == 0) return FALSE;  // one literal run, one byte longer: dithered lines mostly
  const uint64_t line = (uint64_t{1} << count) - 1;
  const uint64_t literal = line & ~(mask | (mask << 1));  // bytes in no repeat run
  const uint64_t runStarts = (mask & ~(mask << 1)) | (literal & ~(literal << 1));
  return CountBits(runStarts) <= CountBits(mask);
}

// Writes the command for one line of count (1..48) bytes at output and returns the bytes
// written (at most 3 + 1 + 48 + 2, plus kSlack of scratch). The data goes out packed when
// packing does not make it longer, raw as one literal run otherwise; either way a pad run
// makes the line decode to a full head line. Packing goes straight to the output: a trip
// through a separate line buffer would read back bytes still in flight from the stores.
DWORD WriteLineCommand(const BYTE* data, DWORD count, uint64_t mask, BYTE* output) {
  const DWORD pad = kHeadLineBytes - count;
  const DWORD padRun = pad > 0 ? 2 : 0;
  BYTE* at = output + kLineCommandSize;
  DWORD commandCount = 0;
  if (PackingPays(mask, count)) {
    const DWORD packed = PackMasked(data, count, mask, at);
    at += packed;
    commandCount = packed + padRun;
  } else {
    *at++ = static_cast<BYTE>(count - 1);
    CopySpan(at, data, count);
    at += count;
    commandCount = count + 1 + padRun;
  }
  if (pad == 1) {
    at[0] = 0x00;  // one literal zero
    at[1] = 0x00;
    at += 2;
  } else if (pad > 1) {
    at[0] = static_cast<BYTE>(1 - static_cast<LONG>(pad));
    at[1] = 0x00;
    at += 2;
  }
  output[0] = kCmdRasterLine;
  output[1] = static_cast<BYTE>(commandCount & 0xFF);
  output[2] = static_cast<BYTE>(commandCount >> 8);
  return static_cast<DWORD>(at - output);
}

// Rewrites the region into output ("M" 02 first) and returns the output length, or 0
// when a raster command is cut off or its count is not 1..48. The output area must hold
// 2 + 2 * length + kSlack bytes: no command grows by more than 7/4 (a 4-byte line of one
// data byte becomes 7 bytes), the other commands are copied as they are.
DWORD PackRegion(const BYTE* region, DWORD length, BYTE* output, BYTE* lineArea) {
  BYTE* out = output;
  *out++ = kCmdCompressionMode;
  *out++ = kCmdCompressionPackBits;
  DWORD offset = 0;
  for (;;) {
    const RegionCommand command = NextRegionCommand(region, length, &offset);
    switch (command.kind) {
      case RegionItem::End:
        return static_cast<DWORD>(out - output);
      case RegionItem::Malformed:
        return 0;
      case RegionItem::RasterLine: {
        const DWORD count = command.dataCount;
        if (count == 0 || count > kHeadLineBytes) return 0;
        const BYTE* data = region + command.offset + kLineCommandSize;
        // Too close to the end of the region for the 16-byte pieces: work on a copy.
        if (length - (command.offset + kLineCommandSize) < count + kSlack) {
          std::memcpy(lineArea, data, count);
          data = lineArea;
        }
        out += WriteLineCommand(data, count, EqualNeighbourMask(data, count), out);
        break;
      }
      case RegionItem::ZeroLine: {
        // Blank stretches are long runs of zero lines: take them eight at a time.
        constexpr uint64_t kEightZeroLines = 0x0101010101010101ULL * kCmdZeroLine;
        *out++ = kCmdZeroLine;
        uint64_t eight = 0;
        while (length - offset >= 8 && (std::memcpy(&eight, region + offset, 8), eight == kEightZeroLines)) {
          std::memcpy(out, &eight, 8);
          out += 8;
          offset += 8;
        }
        while (offset < length && region[offset] == kCmdZeroLine) {
          *out++ = kCmdZeroLine;
          ++offset;
        }
        break;
      }
      default:
        std::memcpy(out, region + command.offset, command.size);
        out += command.size;
        break;
    }
  }
}

}  // namespace

// Packs every raster line of stream[start, length) in place; returns the new stream
// length, or 0 with the buffer unchanged on any failure.
DWORD PackRasterLines(DeviceContext* context, BYTE* stream, DWORD start, DWORD length,
                      DWORD capacity, BYTE* spare, SIZE_T spareBytes) {
  if (!context || !context->heap || !stream || start > length || capacity < length) return 0;
  // The output area must be addressable: 2 + 2 * length + kSlack bytes.
  if (length > (0xFFFFFFFFu - 2 - kSlack) / 2) return 0;

  const DWORD areaSize = 2 + 2 * length + kSlack;
  const bool spareHolds = spare && spareBytes >= areaSize;
  BYTE* area = spareHolds ? spare : static_cast<BYTE*>(HeapAlloc(context->heap, 0, areaSize));
  BYTE* lineArea =
      area ? static_cast<BYTE*>(HeapAlloc(context->heap, HEAP_ZERO_MEMORY, kLineAreaSize)) : nullptr;

  DWORD result = 0;
  if (lineArea) {
    const DWORD packed = PackRegion(stream + start, length - start, area, lineArea);
    if (packed != 0 && packed <= capacity - start) {
      std::memcpy(stream + start, area, packed);
      result = start + packed;
    }
  }

  if (lineArea) HeapFree(context->heap, 0, lineArea);
  if (area && !spareHolds) HeapFree(context->heap, 0, area);
  return result;
}
