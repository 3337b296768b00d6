// The conversion of one rendered page into its printer stream: grey levels adjusted, the
// 720-dpi corrections, dots by matrix or error diffusion, labels cut across the head, one
// raster line command per feed position, packing, the job record, and out.
//
// The image is worked on in place, one pass per stage. The page stream is the only block
// made for the page; before its raster lines are written, its raster region doubles as
// the scratch space of the error diffusion.
#include "raster/page_conversion.h"

#include <cstdint>
#include <cstring>

#include "device/media_lookup.h"
#include "driver/device_context.h"
#include "raster/error_diffusion.h"
#include "raster/hires_corrections.h"
#include "raster/line_encoding.h"
#include "raster/page_output.h"
#include "raster/printer_commands.h"

const BYTE kOrderedMatrix[16] = {0x08, 0x20, 0x40, 0x60, 0x90, 0xD0, 0xC0, 0x80,
                                 0xB0, 0xF0, 0xE0, 0xA0, 0x10, 0x30, 0x50, 0x70};
const BYTE kFlatMatrix[16] = {0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                              0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

#define TONE_ERROR_DIFFUSION 3
#define TONE_THRESHOLD 1
#define MEDIA_KIND_SPECIAL_RULES 1  // privMediaKind for which the 720-dpi tone fixes do not apply
#define ABORT_POLL_INTERVAL 100     // rows or head positions between two abort polls
#define MAX_LABELS_ACROSS 4
#define MAX_PAGE_STREAM 0x7FFFFFFFu // so that the packer's doubled work area cannot wrap
#define DIFFUSION_BLOCK 32          // portrait columns gathered per pass over the rows
#define DIFFUSION_SCRATCH_OFFSET 128  // inside the page stream, past the headers' room

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
};

// Pixels (0 or 255) for the eight dots of a byte, most significant bit first: 0 for a dot.
struct DotExpansion {
  BYTE pixels[256][8];
};
static constexpr DotExpansion MakeDotExpansion() {
  DotExpansion expansion{};
  for (int value = 0; value < 256; ++value) {
    for (int bit = 0; bit < 8; ++bit) {
      expansion.pixels[value][bit] = (value & (0x80 >> bit)) ? 0 : 255;
    }
  }
  return expansion;
}
static constexpr DotExpansion kDotPixels = MakeDotExpansion();

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

// Adjusts every grey level of every row (padding included) through the tone table and the
// brightness; black and white stay as they are. FALSE when the job was aborted.
static BOOL ApplyTone(SURFOBJ* surface, const PageImage& image, const BYTE table[256],
                      signed char brightness) {
  BYTE map[256];
  BOOL identity = TRUE;
  map[0] = 0;
  map[255] = 255;
  for (DWORD v = 1; v < 255; ++v) {
    LONG level = static_cast<LONG>(table[v]) + brightness;
    if (level < 0) level = 0;
    if (level > 255) level = 255;
    map[v] = static_cast<BYTE>(level);
    if (map[v] != v) identity = FALSE;
  }
  for (DWORD row = 0; row < image.cy; row += ABORT_POLL_INTERVAL) {
    if (EngCheckAbort(surface)) return FALSE;
    // An unchanged table leaves every pixel as it is: only the polls remain to be done.
    if (identity) continue;
    const DWORD rows = image.cy - row < ABORT_POLL_INTERVAL ? image.cy - row : ABORT_POLL_INTERVAL;
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
  geometry->feedLines = landscape ? image.cx : image.cy;
  geometry->headExtent = landscape ? image.cy : image.cx;
  geometry->rowStride = image.stride;
  if (merged) {
    geometry->headExtent /= 2;
    if (!landscape) geometry->rowStride = image.stride / 2;
  }
  // More labels than the head can take cannot come from sound media data; reading the
  // record as one label prints every dot where it was drawn.
  geometry->labels = widthMultiple < MAX_LABELS_ACROSS ? widthMultiple + 1u : 1u;
  geometry->partExtent = geometry->headExtent / geometry->labels;
  if (geometry->partExtent > HEAD_DOTS) return FALSE;
  geometry->margin = (HEAD_DOTS - geometry->partExtent) / 2;
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
  const uint64_t needed = PAGE_STREAM_RASTER_START +
                          geometry.labels * (geometry.feedLines * (3ull + geometry.lineByteCount) + 1) +
                          (geometry.labels - 1ull) * (SETUP_HEADER_SIZE + 2);
  if (capacity > MAX_PAGE_STREAM || needed > capacity) return 0;
  return static_cast<DWORD>(capacity);
}

// Landscape: each head position is a row, its pixels along the feed lie side by side and
// are inverted, diffused and replaced in place. FALSE when the job was aborted.
static BOOL DiffuseRows(DeviceContext* context, SURFOBJ* surface, const LineGeometry& geometry,
                        DWORD heads, BYTE* scratch, DWORD scratchBytes) {
  const DWORD feed = geometry.feedLines;
  const DWORD bitBytes = (feed + 7) / 8;
  if (bitBytes > scratchBytes) return FALSE;
  BYTE* bits = scratch;
  for (DWORD h = 0; h < heads; ++h) {
    if (h % ABORT_POLL_INTERVAL == 0 && EngCheckAbort(surface)) return FALSE;
    BYTE* row = const_cast<BYTE*>(geometry.pixels) + static_cast<size_t>(h) * geometry.rowStride;
    for (DWORD x = 0; x < feed; ++x) row[x] = static_cast<BYTE>(255 - row[x]);
    // Cleared first: a line the diffusion does not write stays white.
    std::memset(bits, 0, bitBytes);
    DiffuseLine(context, row, bits, feed);
    const DWORD whole = feed / 8;
    for (DWORD i = 0; i < whole; ++i) std::memcpy(row + 8 * i, kDotPixels.pixels[bits[i]], 8);
    for (DWORD x = whole * 8; x < feed; ++x) row[x] = kDotPixels.pixels[bits[x / 8]][x % 8];
    // The row padding is white: no dot lies past the feed lines.
    std::memset(row + feed, 255, geometry.rowStride - feed);
  }
  return TRUE;
}

// Portrait: each head position is a column. Columns are gathered a block at a time, so
// that every pass walks the rows in memory order, then diffused one after another and put
// back. FALSE when the job was aborted or the scratch cannot hold one column.
static BOOL DiffuseColumns(DeviceContext* context, SURFOBJ* surface, const LineGeometry& geometry,
                           DWORD heads, BYTE* scratch, DWORD scratchBytes) {
  const DWORD feed = geometry.feedLines;
  const DWORD bitBytes = (feed + 7) / 8;
  DWORD block = scratchBytes / (feed + bitBytes);
  if (block == 0) return FALSE;
  if (block > DIFFUSION_BLOCK) block = DIFFUSION_BLOCK;
  BYTE* lines = scratch;
  BYTE* bits = scratch + static_cast<size_t>(block) * feed;
  BYTE* pixels = const_cast<BYTE*>(geometry.pixels);
  const size_t stride = geometry.rowStride;

  for (DWORD first = 0; first < heads; first += block) {
    const DWORD count = heads - first < block ? heads - first : block;
    for (DWORD y = 0; y < feed; ++y) {
      const BYTE* source = pixels + y * stride + first;
      for (DWORD c = 0; c < count; ++c) {
        lines[static_cast<size_t>(c) * feed + y] = static_cast<BYTE>(255 - source[c]);
      }
    }
    std::memset(bits, 0, static_cast<size_t>(count) * bitBytes);
    for (DWORD c = 0; c < count; ++c) {
      const DWORD h = first + c;
      if (h % ABORT_POLL_INTERVAL == 0 && EngCheckAbort(surface)) return FALSE;
      DiffuseLine(context, lines + static_cast<size_t>(c) * feed,
                  bits + static_cast<size_t>(c) * bitBytes, feed);
    }
    for (DWORD y = 0; y < feed; ++y) {
      BYTE* target = pixels + y * stride + first;
      const BYTE* column = bits + y / 8;
      const BYTE mask = static_cast<BYTE>(0x80 >> (y % 8));
      for (DWORD c = 0; c < count; ++c) {
        target[c] = (column[static_cast<size_t>(c) * bitBytes] & mask) ? 0 : 255;
      }
    }
  }
  return TRUE;
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

// Writes every label's raster lines, with the later labels' headers and every label's
// page-end byte, from offset 83 on. Returns the end of the region.
static DWORD WriteRasterRegion(const LineGeometry& geometry, const BYTE* matrix, BYTE* stream) {
  const DWORD shift = geometry.margin % 8;
  const DWORD dataBytes = geometry.lineByteCount - geometry.leadingZeroBytes;
  const DWORD part = geometry.partExtent;
  const DWORD feedLines = geometry.feedLines;
  const size_t stride = geometry.rowStride;

  // The pixels of one line in head order, placed so that pixel[0] is the first dot of the
  // first data byte; the dots around the label stay white and never print.
  BYTE line[HEAD_DOTS + 16];
  std::memset(line, 0xFF, sizeof(line));
  BYTE* dots = line + shift;

  // Thresholds by matrix row and by dot position within the data bytes (mod 4).
  BYTE thresholds[4][4];
  for (DWORD row = 0; row < 4; ++row) {
    for (DWORD column = 0; column < 4; ++column) {
      thresholds[row][column] = matrix[row * 4 + ((column - shift) & 3)];
    }
  }

  DWORD position = PAGE_STREAM_RASTER_START;
  for (DWORD label = 0; label < geometry.labels; ++label) {
    if (label > 0) {
      std::memcpy(stream + position, stream + JOB_INFO_RECORD_SIZE, SETUP_HEADER_SIZE);
      position += SETUP_HEADER_SIZE;
      stream[position++] = CMD_COMPRESSION_MODE;
      stream[position++] = CMD_COMPRESSION_PACKBITS;
    }
    // The matrix line counter runs on across labels: every feed position writes one line.
    const DWORD counterBase = label * feedLines;
    for (DWORD f = 0; f < feedLines; ++f) {
      if (part > 0) {
        if (geometry.landscape) {
          const BYTE* source = geometry.pixels + static_cast<size_t>(label) * part * stride + f;
          for (DWORD j = 0; j < part; ++j) dots[j] = source[j * stride];
        } else {
          // Dots run from the right: the label's last column is the head's first dot.
          const BYTE* source = geometry.pixels + f * stride + static_cast<size_t>(label + 1) * part - 1;
          for (DWORD j = 0; j < part; ++j) dots[j] = *(source - j);
        }
      }
      const BYTE* threshold = thresholds[(counterBase + f) & 3];
      BYTE* command = stream + position;
      command[0] = CMD_RASTER_LINE;
      command[1] = static_cast<BYTE>(geometry.lineByteCount);
      command[2] = static_cast<BYTE>(geometry.lineByteCount >> 8);
      std::memset(command + 3, 0, geometry.leadingZeroBytes);
      BYTE* data = command + 3 + geometry.leadingZeroBytes;
      BYTE any = 0;
      for (DWORD i = 0; i < dataBytes; ++i) {
        const BYTE packed = PackDots(line + 8 * i, threshold);
        data[i] = packed;
        any |= packed;
      }
      if (any) {
        position += 3 + geometry.lineByteCount;
      } else {
        command[0] = CMD_ZERO_LINE;
        position += 1;
      }
    }
    stream[position++] = CMD_PAGE_END;
  }
  return position;
}

// Steps 8 to 15 on an allocated page stream. FALSE when the job was aborted, a pass
// failed, or the page output could not keep the page.
static BOOL BuildAndEmit(DeviceContext* context, SURFOBJ* surface, const PageImage& image,
                         const LineGeometry& geometry, BOOL merged, LONG mediaOffset,
                         BYTE* stream, DWORD capacity) {
  const PrivateSettings& priv = context->settings.priv;
  const BOOL hiRes = context->settings.dm.dmYResolution == 720;

  const BYTE* matrix = kOrderedMatrix;  // 2, and 0 or any unknown mode read as 2
  if (priv.privHalftone == TONE_ERROR_DIFFUSION) {
    BYTE* scratch = stream + DIFFUSION_SCRATCH_OFFSET;
    const DWORD scratchBytes = capacity - DIFFUSION_SCRATCH_OFFSET;
    BOOL diffused;
    if (geometry.landscape) {
      const DWORD heads = merged ? (image.cy + 1) / 2 : image.cy;
      diffused = DiffuseRows(context, surface, geometry, heads, scratch, scratchBytes);
    } else {
      diffused = DiffuseColumns(context, surface, geometry, geometry.rowStride, scratch,
                                scratchBytes);
    }
    if (!diffused) return FALSE;
    matrix = kFlatMatrix;
  } else if (priv.privHalftone == TONE_THRESHOLD) {
    matrix = kFlatMatrix;
  }

  JobInfoRecord record = {};
  BuildJobInfoRecord(&record, context, mediaOffset);
  if (BuildSetupHeader(stream + JOB_INFO_RECORD_SIZE, context, mediaOffset) != SETUP_HEADER_SIZE)
    return FALSE;

  const DWORD regionEnd = WriteRasterRegion(geometry, matrix, stream);

  if (hiRes && priv.privHalftone == TONE_THRESHOLD && priv.privMediaKind != MEDIA_KIND_SPECIAL_RULES)
    ThinOddLines(context, stream, PAGE_STREAM_RASTER_START, regionEnd);

  const DWORD length = PackRasterLines(context, stream, PAGE_STREAM_RASTER_START, regionEnd, capacity);
  if (length == 0) return FALSE;

  record.jiTotalLength = length;
  std::memcpy(stream, &record, JOB_INFO_RECORD_SIZE);
  return EmitPageStream(context, stream, length);
}

BOOL ConvertPage(SURFOBJ* surface) {
  if (!surface || surface->iBitmapFormat != BMF_8BPP) return FALSE;
  DeviceContext* context = ContextFromHandle(surface->dhpdev);
  if (!isValidDeviceContext(context)) return FALSE;
  PageImage image;
  if (!DescribeImage(surface, &image)) return FALSE;
  const SettingsRecord& settings = context->settings;
  const PrivateSettings& priv = settings.priv;

  BYTE tone[256];
  BuildToneTable(priv.privContrast, tone);
  if (!ApplyTone(surface, image, tone, priv.privBrightness)) return FALSE;

  LONG mediaOffset = -1;
  FindMediaIndex(context->printer, &context->settings, &context->modelData, &mediaOffset, nullptr,
                 context->mediaDefinitions, context->mediaDefinitionCount,
                 context->defaultSettings.dm.dmPaperSize);
  const LONGLONG position = static_cast<LONGLONG>(priv.privMediaBase) + mediaOffset;
  const MediaRecord* media = MediaRecordAt(&context->modelData, position);
  // The terminator describes no medium.
  if (!media || position >= static_cast<LONGLONG>(context->modelData.mediaCount)) return FALSE;

  const BOOL hiRes = settings.dm.dmYResolution == 720;
  if (hiRes && priv.privHalftone == TONE_ERROR_DIFFUSION &&
      priv.privMediaKind != MEDIA_KIND_SPECIAL_RULES)
    ApplyHiResTone(surface);
  BOOL merged = FALSE;
  if (hiRes && priv.privSmallChar == 1) {
    if (!HeadAxisMerge(context, surface)) return FALSE;
    merged = TRUE;
  }

  LineGeometry geometry;
  const BOOL landscape = settings.dm.dmOrientation == DMORIENT_LANDSCAPE;
  if (!ComputeLineGeometry(image, landscape, merged, media->mrWidthMultiple, &geometry))
    return FALSE;
  const DWORD capacity = PageStreamCapacity(image, geometry);
  if (capacity == 0) return FALSE;
  auto* stream = static_cast<BYTE*>(HeapAlloc(context->heap, HEAP_ZERO_MEMORY, capacity));
  if (!stream) return FALSE;

  const BOOL result =
      BuildAndEmit(context, surface, image, geometry, merged, mediaOffset, stream, capacity);
  HeapFree(context->heap, 0, stream);
  return result;
}
