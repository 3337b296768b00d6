// SPDX-License-Identifier: Apache-2.0
// The corrections of 720-dpi feed resolution: the high-resolution tone table, the 2:1
// merge of an image drawn with twice the dots across the head, and the thinning of odd
// raster lines, which would otherwise print dots twice as close along the tape as across.
#include "raster/hires_corrections.h"

#include <cstdint>
#include <cstring>

#include "context/device_context.h"
#include "raster/raster_region.h"

namespace {

constexpr WORD kLandscape = DMORIENT_LANDSCAPE;
constexpr DWORD kRasterLineHeader = 3;  // "G" nL nH

// 1 for a grey level that is not dark (128 and above), 0 for a dark one.
template <typename T>
inline T Light(T level) {
  return static_cast<T>(level >> 7);
}

// One pair (a, b) along the head: returns the merged pixel and updates the selector (0 or
// 1). A dark run that starts on the second pixel of a pair is followed on the second
// pixels until it ends, so one-pixel lines on odd positions survive the halving. All 0/1
// arithmetic, no branches: the portrait chain from pair to pair stays two operations long,
// and on bytes the landscape rows vectorise sixteen columns at a time.
template <typename T>
inline T MergePair(T a, T b, T previousLight, T* selector) {
  const T bLight = Light(b);
  const T taken = static_cast<T>(*selector | (previousLight & Light(a) & (bLight ^ 1)));
  *selector = static_cast<T>(taken & (previousLight | (bLight ^ 1)));
  return taken ? b : a;
}

// Merges the rows of a portrait image: each row's pairs (2k, 2k + 1) become one pixel,
// stored one after another from the start of the image. Writing never overtakes reading
// (row y, pixel k lands at y * pairs + k, read from y * 2 * pairs + 2k), so one forward
// pass in place is safe. The selector and the previous pair's b carry on from row to row.
void MergePortrait(BYTE* bits, DWORD stride, DWORD rows) {
  const DWORD pairs = stride / 2;
  DWORD selector = 0;
  DWORD previousLight = 1;
  BYTE* merged = bits;
  for (DWORD y = 0; y < rows; ++y) {
    const BYTE* row = bits + static_cast<SIZE_T>(y) * stride;
#pragma GCC unroll 4
    for (DWORD k = 0; k < pairs; ++k) {
      const DWORD b = row[2 * k + 1];
      merged[k] = static_cast<BYTE>(MergePair<DWORD>(row[2 * k], b, previousLight, &selector));
      previousLight = Light(b);
    }
    merged += pairs;
  }
}

// Merges rows 2r and 2r + 1 of a landscape image into row r, each column with its own
// selector. previous is row 2r - 1 (the second pixel of the column's previous pair), or
// null for r = 0. Row r overlaps at most rows 2r - 1 and 2r, and every column is read
// before it is written, so the pass is safe in place. Columns go in blocks of 16 through
// local copies: with no aliasing left to disprove the compiler vectorises them.
void MergeLandscapeRow(const BYTE* previous, const BYTE* top, const BYTE* bottom, BYTE* merged,
                       BYTE* selectors, DWORD width) {
  constexpr DWORD kBlock = 16;
  BYTE previousLight[kBlock];
  std::memset(previousLight, 1, sizeof(previousLight));
  DWORD x = 0;
  for (; width - x >= kBlock; x += kBlock) {
    BYTE a[kBlock], b[kBlock], selector[kBlock], out[kBlock];
    std::memcpy(a, top + x, kBlock);
    std::memcpy(b, bottom + x, kBlock);
    std::memcpy(selector, selectors + x, kBlock);
    if (previous) {
      for (DWORD k = 0; k < kBlock; ++k) previousLight[k] = Light(previous[x + k]);
    }
    for (DWORD k = 0; k < kBlock; ++k) {
      out[k] = MergePair<BYTE>(a[k], b[k], previousLight[k], &selector[k]);
    }
    std::memcpy(merged + x, out, kBlock);
    std::memcpy(selectors + x, selector, kBlock);
  }
  for (; x < width; ++x) {
    const BYTE light = previous ? Light(previous[x]) : 1;
    merged[x] = MergePair<BYTE>(top[x], bottom[x], light, &selectors[x]);
  }
}

// Where is a raster line's data, and how long is it.
struct LineData {
  DWORD offset;
  DWORD count;
};

// Clears in the odd line every dot that the even lines before and after it both have.
// Only the bytes all three lines have are touched, so the pass never writes past the odd
// line's own data into the next command.
void ClearSandwichedDots(BYTE* stream, LineData odd, LineData before, LineData after) {
  DWORD count = after.count;
  if (odd.count < count) count = odd.count;
  if (before.count < count) count = before.count;
  BYTE* target = stream + odd.offset;
  const BYTE* above = stream + before.offset;
  const BYTE* below = stream + after.offset;
  // Eight bytes at a time: the three lines are distinct commands and never overlap.
  DWORD j = 0;
  for (; j + 8 <= count; j += 8) {
    uint64_t words[3];
    std::memcpy(&words[0], target + j, 8);
    std::memcpy(&words[1], above + j, 8);
    std::memcpy(&words[2], below + j, 8);
    words[0] &= ~(words[1] & words[2]);
    std::memcpy(target + j, &words[0], 8);
  }
  for (; j < count; ++j) target[j] &= static_cast<BYTE>(~(above[j] & below[j]));
}

}  // namespace

const BYTE HiResToneTable[256] = {
    0, 8, 16, 24, 32, 40, 46, 51, 56, 61, 66, 71, 75, 79, 84, 88,  // 0-15
    91, 95, 99, 102, 105, 108, 111, 114, 117, 119, 122, 124, 127, 129, 131, 133,  // 16-31
    135, 137, 138, 140, 141, 143, 144, 146, 147, 148, 149, 150, 151, 152, 153, 153,  // 32-47
    154, 154, 155, 155, 156, 156, 157, 157, 158, 158, 159, 159, 159, 160, 160, 161,  // 48-63
    161, 161, 162, 162, 162, 163, 163, 163, 164, 164, 164, 165, 165, 165, 166, 166,  // 64-79
    166, 167, 167, 167, 168, 168, 168, 169, 169, 169, 170, 170, 170, 171, 171, 172,  // 80-95
    172, 172, 173, 173, 174, 174, 174, 175, 175, 176, 176, 177, 177, 177, 178, 178,  // 96-111
    179, 179, 180, 180, 181, 181, 182, 182, 183, 183, 184, 185, 185, 186, 186, 187,  // 112-127
    187, 188, 188, 189, 190, 190, 191, 191, 192, 193, 193, 194, 194, 195, 196, 196,  // 128-143
    197, 198, 198, 199, 199, 200, 201, 201, 202, 203, 203, 204, 204, 205, 206, 206,  // 144-159
    207, 208, 208, 209, 209, 210, 211, 211, 212, 212, 213, 214, 214, 215, 215, 216,  // 160-175
    216, 217, 218, 218, 219, 219, 220, 220, 221, 221, 222, 222, 223, 224, 224, 225,  // 176-191
    225, 226, 226, 226, 227, 227, 228, 228, 229, 229, 230, 230, 231, 231, 231, 232,  // 192-207
    232, 233, 233, 234, 234, 234, 235, 235, 236, 236, 236, 237, 237, 238, 238, 238,  // 208-223
    239, 239, 240, 240, 240, 241, 241, 242, 242, 243, 243, 244, 244, 244, 245, 245,  // 224-239
    246, 246, 247, 247, 248, 249, 249, 250, 250, 251, 252, 252, 253, 254, 254, 255,  // 240-255
};

// Merges the image 2:1 along the head axis in place. Only whole rows inside cjBits are
// touched. FALSE without a context or an image, or when the landscape selector array
// cannot be allocated.
BOOL HeadAxisMerge(DeviceContext* context, SURFOBJ* surface) {
  if (!isValidDeviceContext(context) || !surface || !surface->pvBits || surface->lDelta <= 0)
    return FALSE;
  if (surface->sizlBitmap.cy <= 0) return TRUE;
  BYTE* bits = static_cast<BYTE*>(surface->pvBits);
  const DWORD stride = static_cast<DWORD>(surface->lDelta);
  // Rows the engine's description claims beyond the bits it gave are not touched.
  DWORD rows = surface->cjBits / stride;
  const DWORD height = static_cast<DWORD>(surface->sizlBitmap.cy);
  if (height < rows) rows = height;

  if (context->settings.dm.dmOrientation != kLandscape) {
    MergePortrait(bits, stride, rows);
    return TRUE;
  }

  BYTE* selectors = static_cast<BYTE*>(HeapAlloc(context->heap, HEAP_ZERO_MEMORY, stride));
  if (!selectors) return FALSE;
  for (DWORD r = 0; r < rows / 2; ++r) {
    BYTE* top = bits + static_cast<SIZE_T>(2 * r) * stride;
    MergeLandscapeRow(r ? top - stride : nullptr, top, top + stride,
                      bits + static_cast<SIZE_T>(r) * stride, selectors, stride);
  }
  HeapFree(context->heap, 0, selectors);
  return TRUE;
}

// Thins the uncompressed raster region stream[start, end) in place: within each run of
// raster lines, a dot of an odd line goes where both neighbouring lines have one. Stops at
// a command cut off by the end of the region.
void ThinOddLines(DeviceContext* context, BYTE* stream, DWORD start, DWORD end) {
  (void)context;
  if (!stream || start >= end) return;
  bool odd = false;
  bool evenLineSeen = false;
  LineData lastEven = {0, 0};
  LineData lastOdd = {0, 0};
  DWORD offset = start;
  for (;;) {
    const RegionCommand command = NextRegionCommand(stream, end, &offset);
    switch (command.kind) {
      case RegionItem::RasterLine: {
        const LineData line = {command.offset + kRasterLineHeader, command.dataCount};
        if (odd) {
          lastOdd = line;
        } else {
          if (evenLineSeen) ClearSandwichedDots(stream, lastOdd, lastEven, line);
          evenLineSeen = true;
          lastEven = line;
        }
        odd = !odd;
        break;
      }
      case RegionItem::ZeroLine:
        odd = !odd;
        evenLineSeen = false;
        break;
      case RegionItem::Malformed:
      case RegionItem::End:
        return;
      default:
        // Headers, compression mode, page ends and stray bytes end a run of lines.
        odd = false;
        evenLineSeen = false;
        break;
    }
  }
}
