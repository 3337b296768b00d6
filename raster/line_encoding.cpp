// PackBits encoding of a page's raster lines: every raster line command of the region is
// rewritten so that its data decodes to one full line of the print head.
#include "raster/line_encoding.h"

#include <bit>
#include <cstdint>
#include <cstring>

#include "driver/device_context.h"
#include "raster/printer_commands.h"
#include "raster/raster_region.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// The neighbour mask is built from little-endian 8-byte loads.
static_assert(std::endian::native == std::endian::little);

// A packed line never needs more than this: the worst case, a single byte between every
// pair of repeated bytes, packs 3 bytes into 4, so 48 bytes into at most 65.
constexpr DWORD kLineAreaSize = 96;

// The mask loads read up to 15 bytes past a line of count bytes.
constexpr DWORD kMaskSlack = 15;

// A raster line command: "G", the count as two bytes, then the data.
constexpr DWORD kLineCommandSize = 3;

// Bit k of the result is set when line[k] == line[k + 1], for k from 0 to count - 2.
// Reads count + kMaskSlack bytes; the bits of bytes past the line are cleared.
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

// Copies a short span without a library call: lines are at most 48 bytes and most
// literal runs only a few.
inline void CopySpan(BYTE* to, const BYTE* from, DWORD count) {
  while (count >= 8) {
    std::memcpy(to, from, 8);
    to += 8;
    from += 8;
    count -= 8;
  }
  if (count & 4) {
    std::memcpy(to, from, 4);
    to += 4;
    from += 4;
  }
  if (count & 2) {
    std::memcpy(to, from, 2);
    to += 2;
    from += 2;
  }
  if (count & 1) *to = *from;
}

// Packs count bytes from their equal-neighbour mask. Every run of two or more equal bytes
// becomes a repeat run; the single bytes between them are gathered into literal runs.
// This is exactly what a byte-by-byte encoder that opens a repeat on the first equal pair
// produces, but it visits each run once instead of each byte.
DWORD PackMasked(const BYTE* line, DWORD count, uint64_t mask, BYTE* output) {
  DWORD packed = 0;
  DWORD at = 0;
  while (at < count) {
    const uint64_t rest = mask >> at;
    if (rest & 1) {
      // Bits at..at+repeats-1 are set: bytes at..at+repeats are all equal.
      const DWORD repeats = static_cast<DWORD>(std::countr_zero(~rest));
      output[packed++] = static_cast<BYTE>(0 - repeats);
      output[packed++] = line[at];
      at += repeats + 1;
    } else {
      // The literal run ends where the next repeat starts, or at the end of the line.
      const DWORD end = rest ? at + static_cast<DWORD>(std::countr_zero(rest)) : count;
      const DWORD literal = end - at;
      output[packed++] = static_cast<BYTE>(literal - 1);
      CopySpan(output + packed, line + at, literal);
      packed += literal;
      at = end;
    }
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

// The length PackMasked will produce, from the mask alone: two bytes per repeat run, and
// one count byte per literal run besides its bytes. A line that would not shrink then goes
// out raw without being packed first.
DWORD PackedLength(uint64_t mask, DWORD count) {
  const uint64_t line = (uint64_t{1} << count) - 1;
  const uint64_t inRepeat = (mask | (mask << 1)) & line;  // byte i equals byte i-1 or i+1
  const uint64_t literal = line & ~inRepeat;
  const int repeatRuns = CountBits(mask & ~(mask << 1));
  const int literalRuns = CountBits(literal & ~(literal << 1));
  return static_cast<DWORD>(2 * repeatRuns + CountBits(literal) + literalRuns);
}

// Writes the command for one line of count (1..48) bytes at output and returns the bytes
// written (at most 3 + 1 + 48 + 2). The data goes out packed (through the line area) when
// packing does not make it longer, raw as one literal run otherwise; either way a pad run
// makes the line decode to a full head line.
DWORD WriteLineCommand(const BYTE* data, DWORD count, uint64_t mask, BYTE* lineArea,
                       BYTE* output) {
  const DWORD pad = HEAD_LINE_BYTES - count;
  const DWORD padRun = pad > 0 ? 2 : 0;
  BYTE* at = output + kLineCommandSize;
  DWORD commandCount = 0;
  const DWORD packed = PackedLength(mask, count);
  if (packed <= count) {
    PackMasked(data, count, mask, lineArea);
    CopySpan(at, lineArea, packed);
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
  output[0] = CMD_RASTER_LINE;
  output[1] = static_cast<BYTE>(commandCount & 0xFF);
  output[2] = static_cast<BYTE>(commandCount >> 8);
  return static_cast<DWORD>(at - output);
}

// Rewrites the region into output ("M" 02 first) and returns the output length, or 0
// when a raster command is cut off or its count is not 1..48. The output area must hold
// 2 + 2 * length bytes: no command grows by more than 7/4 (a 4-byte line of one data byte
// becomes 7 bytes), the other commands are copied as they are.
DWORD PackRegion(const BYTE* region, DWORD length, BYTE* output, BYTE* lineArea) {
  BYTE* out = output;
  *out++ = CMD_COMPRESSION_MODE;
  *out++ = CMD_COMPRESSION_PACKBITS;
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
        if (count == 0 || count > HEAD_LINE_BYTES) return 0;
        const BYTE* data = region + command.offset + kLineCommandSize;
        uint64_t mask = 0;
        if (length - (command.offset + kLineCommandSize) >= count + kMaskSlack) {
          mask = EqualNeighbourMask(data, count);
        } else {
          // Too close to the end of the region for the wide loads: work on a copy.
          BYTE copy[HEAD_LINE_BYTES + kMaskSlack] = {};
          std::memcpy(copy, data, count);
          mask = EqualNeighbourMask(copy, count);
        }
        out += WriteLineCommand(data, count, mask, lineArea, out);
        break;
      }
      case RegionItem::ZeroLine:
        // Blank stretches are long runs of zero lines: take them together.
        *out++ = CMD_ZERO_LINE;
        while (offset < length && region[offset] == CMD_ZERO_LINE) {
          *out++ = CMD_ZERO_LINE;
          ++offset;
        }
        break;
      default:
        std::memcpy(out, region + command.offset, command.size);
        out += command.size;
        break;
    }
  }
}

}  // namespace

// Packs one line of 1..48 bytes into output (96 bytes of room); 0 for a bad line.
DWORD PackLine(const BYTE* line, DWORD count, BYTE* output) {
  if (!line || !output || count == 0 || count > HEAD_LINE_BYTES) return 0;
  BYTE copy[HEAD_LINE_BYTES + kMaskSlack] = {};
  std::memcpy(copy, line, count);
  return PackMasked(line, count, EqualNeighbourMask(copy, count), output);
}

// Packs every raster line of stream[start, length) in place; returns the new stream
// length, or 0 with the buffer unchanged on any failure.
DWORD PackRasterLines(DeviceContext* context, BYTE* stream, DWORD start, DWORD length,
                      DWORD capacity) {
  if (!context || !context->heap || !stream || start > length || capacity < length) return 0;
  // The output area must be addressable: 2 + 2 * length bytes.
  if (length > (0xFFFFFFFFu - 2) / 2) return 0;

  const DWORD areaSize = 2 + 2 * length;
  BYTE* area = static_cast<BYTE*>(HeapAlloc(context->heap, 0, areaSize));
  BYTE* lineArea = area ? static_cast<BYTE*>(HeapAlloc(context->heap, 0, kLineAreaSize)) : nullptr;

  DWORD result = 0;
  if (lineArea) {
    const DWORD packed = PackRegion(stream + start, length - start, area, lineArea);
    if (packed != 0 && packed <= capacity - start) {
      std::memcpy(stream + start, area, packed);
      result = start + packed;
    }
  }

  if (lineArea) HeapFree(context->heap, 0, lineArea);
  if (area) HeapFree(context->heap, 0, area);
  return result;
}
