// SPDX-License-Identifier: Apache-2.0
// The drawing surface: the page size in dots, the band layout, the 8-bit surface the engine
// renders into, and the buffers that go with it (the whole-page image of a banded surface,
// the work line and the error rows of error diffusion).
//
// A page that fits one engine bitmap is rendered into it directly. When the engine refuses
// a bitmap of the whole page, the page is cut into 2 to 16 bands along the feed direction
// of the image (rows in portrait, columns in landscape); the engine renders them one at a
// time and the band loop gathers them in the whole-page image.
#include "driver/surface.h"

#include <cstdint>
#include <cstring>

#include "context/device_context.h"
#include "device/media_lookup.h"
#include "driver/ddi.h"
#include "raster/error_diffusion.h"
#include "raster/spool_stream.h"
#include "settings/exchange_block.h"

namespace {

constexpr LONGLONG kMaxBands = 16;
constexpr BYTE kSmallCharOn = 1;
constexpr LONG kHighFeedResolution = 720;
constexpr BYTE kWhite = 0xFF;
// cjBits is 32-bit: no image of the page may be larger than it can describe.
constexpr uint64_t kMaxImageBytes = 0xFFFFFFFFull;
// Lengths along the tape beyond this cannot be a label; they come from a wrapped subtraction.
constexpr uint64_t kMaxExtent = 0x7FFFFFFF;

// Landscape is orientation 2 alone, as everywhere else in the driver.
bool IsLandscape(const DeviceContext* context) {
  return context->settings.dm.dmOrientation == DMORIENT_LANDSCAPE;
}

// Gives the SideRecord buffer back and forgets it, so that no later call frees it again.
void ReleaseSideBuffer(DeviceContext* context) {
  SideRecord* side = context->sideRecord;
  if (side && side->srBuffer) {
    HeapFree(context->heap, 0, side->srBuffer);
    side->srBuffer = nullptr;
  }
}

// Attaches or releases the SideRecord buffer by srMode and resets the record's counters.
// FALSE when the buffer is needed and cannot be had, or the context has no SideRecord.
BOOL PrepareSideRecord(DeviceContext* context) {
  SideRecord* side = context->sideRecord;
  if (!side) return FALSE;
  if (side->srMode == kSideModeBuffered) {
    if (!side->srBuffer) {
      side->srBuffer =
          static_cast<BYTE*>(HeapAlloc(context->heap, HEAP_ZERO_MEMORY, kSideRecordBufferSize));
      if (!side->srBuffer) return FALSE;
    }
  } else {
    ReleaseSideBuffer(context);
  }
  side->srFlag = 0;
  side->srCounter = 0;
  side->srMark = kSideMarkInitial;
  return TRUE;
}

// Releases the surface and every buffer made with it, clearing each handle as it goes.
void ReleaseSurface(DeviceContext* context) {
  if (context->surface) {
    EngDeleteSurface(context->surface);
    context->surface = {};
  }
  for (HGLOBAL& block : context->pageBuffers) {
    if (block) {
      GlobalFree(block);
      block = nullptr;
    }
  }
  if (context->workBuffer) {
    HeapFree(context->heap, 0, context->workBuffer);
    context->workBuffer = nullptr;
  }
  FreeDiffusion(context);
  context->bandedPage = kBandedPageNone;
}

// Asks the engine for the bitmap of one band, trying 1 to 16 bands until it grants one; a
// band count whose last band would be empty is never chosen. Stores the layout and the
// surface; FALSE when every request was refused.
BOOL CreateBandedBitmap(DeviceContext* context, LONG cx, LONG cy, DWORD fullStride) {
  const bool landscape = IsLandscape(context);
  const LONGLONG extent = landscape ? cx : cy;
  context->bandAxisExtent = static_cast<DWORD>(extent);
  context->crossExtent = static_cast<DWORD>(landscape ? cy : cx);

  for (LONGLONG n = 1; n <= kMaxBands; ++n) {
    const LONGLONG bandExtent = (extent + n - 1) / n;
    const LONGLONG lastBandExtent = extent - (n - 1) * bandExtent;
    // 100 rows in 14 bands of 8 would leave -4 rows for the last band.
    if (lastBandExtent <= 0) continue;
    context->bandExtent = static_cast<DWORD>(bandExtent);
    context->lastBandExtent = static_cast<DWORD>(lastBandExtent);

    SIZEL size;
    LONGLONG stride;
    if (landscape) {
      size = {static_cast<LONG>(bandExtent), cy};
      stride = (bandExtent + 1) / 2 * 2;
    } else {
      size = {cx, static_cast<LONG>(bandExtent)};
      stride = fullStride;
    }
    if (static_cast<uint64_t>(stride) > kMaxExtent) continue;
    HBITMAP bitmap = EngCreateBitmap(size, static_cast<LONG>(stride), BMF_8BPP, BMF_TOPDOWN,
                                     nullptr);
    if (bitmap) {
      context->surface = (HSURF)bitmap;
      context->bandCount = static_cast<DWORD>(n);
      if (n > 1) context->surfaceFlags |= SF_BANDING;
      return TRUE;
    }
  }
  return FALSE;
}

// Gives up an enable that failed part-way: nothing it made stays behind.
HSURF FailEnable(DeviceContext* context) {
  ReleaseSurface(context);
  return {};
}

}  // namespace

// The page size in dots for the media index (from privMediaBase) and definition index.
// FALSE when the index names no medium, a resolution is not positive, or the page would
// be empty or longer than a 32-bit extent.
BOOL ComputePageExtent(const DeviceContext* context, LONG mediaIndex, LONG definitionIndex,
                       LONG* cx, LONG* cy) {
  if (!context || !cx || !cy) return FALSE;
  const DEVMODEW& dm = context->settings.dm;
  const PrivateSettings& priv = context->settings.priv;

  const LONGLONG position = static_cast<LONGLONG>(priv.privMediaBase) + mediaIndex;
  const MediaRecord* record = MediaRecordAt(&context->modelData, position);
  // The terminator describes no medium.
  if (!record || position >= static_cast<LONGLONG>(context->modelData.mediaCount)) return FALSE;

  const MediaDefinition* definition = nullptr;
  if (definitionIndex != -1 && context->mediaDefinitions) {
    const DWORD index = definitionIndex < 0 ? 0 : static_cast<DWORD>(definitionIndex);
    if (index >= context->mediaDefinitionCount || index >= MEDIA_DEFINITION_SLOTS) return FALSE;
    definition = context->mediaDefinitions + index;
  }

  // Every rule below divides by one of these; all come from the settings record.
  const LONG quality = dm.dmPrintQuality;
  const LONG yResolution = dm.dmYResolution;
  const LONG scaled = context->scaledResolution;
  if (quality <= 0 || yResolution <= 0 || scaled <= 0) return FALSE;
  const DWORD feedResolution =
      static_cast<DWORD>(scaled) * static_cast<DWORD>(yResolution) / static_cast<DWORD>(quality);

  // The margins along the tape: a label's own, or twice the feed margin of the job.
  const bool fixedLength = record->mrLengthDots != 0;
  DWORD margins;
  if (fixedLength) {
    margins = static_cast<DWORD>(static_cast<LONG>(record->mrLengthDots) -
                                 static_cast<LONG>(record->mrPrintLengthDots));
  } else {
    const WORD feedMargin =
        (priv.xbSize == EXCHANGE_BLOCK_SIZE && (priv.xbReport & XB_MARGIN_DOTS) != 0)
            ? priv.xbMargin
            : priv.privMargin;
    margins = 2u * feedMargin;
  }

  DWORD available = priv.privLengthDots - margins;
  if (definition) {
    // defMargin is in hundredths of a millimetre: rounded to whole dots, taken twice. Two
    // margins beyond 32 bits leave no page.
    const uint64_t definitionMargins =
        2 * DefinitionMarginDots(*definition, static_cast<DWORD>(yResolution));
    if (definitionMargins > 0xFFFFFFFFull) return FALSE;
    available = priv.privLengthDots - static_cast<DWORD>(definitionMargins);
  }

  LONG across = record->mrPrintWidthDots;
  if (priv.privSmallChar == kSmallCharOn && yResolution == kHighFeedResolution) across *= 2;

  DWORD along = available;
  if (fixedLength) {
    along = static_cast<DWORD>(static_cast<LONG>(record->mrPrintLengthDots)) * feedResolution /
            static_cast<DWORD>(scaled);
  }

  // A length from the exchange block counts on continuous tape when it is more than a dot
  // away from the settled one.
  if (priv.xbSize == EXCHANGE_BLOCK_SIZE && (priv.xbRequest & XB_LENGTH) != 0 &&
      !fixedLength && priv.xbLength > margins) {
    const uint64_t requested = priv.xbLength;
    const uint64_t settled = priv.privLengthDots;
    if (requested > settled + 1 || settled > requested + 1) along = priv.xbLength - margins;
  }
  if (!fixedLength) along += 1;

  if (across <= 0 || along == 0 || along > kMaxExtent) return FALSE;
  if (IsLandscape(context)) {
    *cx = static_cast<LONG>(along);
    *cy = across;
  } else {
    *cx = across;
    *cy = static_cast<LONG>(along);
  }
  return TRUE;
}

// Creates the drawing surface for the context's medium, banded when the engine cannot
// give a bitmap of the whole page. Null on failure (last error 87 for an invalid context),
// with nothing of the surface left behind.
HSURF APIENTRY DrvEnableSurface(DHPDEV device) {
  DeviceContext* context = ContextFromHandle(device);
  if (!isValidDeviceContext(context)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  // A surface the engine never disabled is given up, not leaked.
  ReleaseSurface(context);
  if (!PrepareSideRecord(context)) return {};

  LONG mediaIndex = -1;
  LONG definitionIndex = -1;
  FindMediaIndex(context->printer, &context->settings, &context->modelData, &mediaIndex,
                 &definitionIndex, context->mediaDefinitions, context->mediaDefinitionCount,
                 context->defaultSettings.dm.dmPaperSize);
  LONG cx = 0;
  LONG cy = 0;
  if (!ComputePageExtent(context, mediaIndex, definitionIndex, &cx, &cy)) return {};

  // Rows padded to an even number of bytes. The whole page must be describable by 32-bit
  // sizes, banded or not: a banded page is gathered in an image of exactly that size.
  const uint64_t fullStride = ((static_cast<uint64_t>(cx) * 8 + 15) >> 4) * 2;
  const uint64_t imageBytes = fullStride * static_cast<uint64_t>(cy);
  if (fullStride > kMaxExtent || imageBytes > kMaxImageBytes) return {};

  if (!CreateBandedBitmap(context, cx, cy, static_cast<DWORD>(fullStride))) return {};
  // No drawing hooks: the engine draws everything itself.
  if (!EngAssociateSurface(context->surface, context->engineDevice, 0)) return FailEnable(context);
  context->pageStride = static_cast<DWORD>(fullStride);

  if (context->surfaceFlags & SF_BANDING) {
    HGLOBAL image = GlobalAlloc(GMEM_FIXED, static_cast<SIZE_T>(imageBytes));
    if (!image) return FailEnable(context);
    // White once: the bands overwrite every pixel of the page, but not the padding of a
    // landscape row, which must not hold whatever the block held before.
    std::memset(image, kWhite, static_cast<size_t>(imageBytes));
    context->pageBuffers[0] = image;
  }

  if (context->settings.priv.privHalftone == kToneErrorDiffusion) {
    const LONG largest = cx > cy ? cx : cy;
    const uint64_t workBytes = static_cast<uint64_t>(largest / 3) * 8 + 16;
    if (workBytes > kMaxImageBytes) return FailEnable(context);
    context->workBuffer = static_cast<BYTE*>(
        HeapAlloc(context->heap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(workBytes)));
    if (!context->workBuffer) return FailEnable(context);
    // Without its error rows the diffusion would print every page blank.
    if (!InitDiffusion(context, static_cast<DWORD>(IsLandscape(context) ? cx : cy)))
      return FailEnable(context);
  }

  SpoolReset(context);
  if ((context->surfaceFlags & SF_BANDING) && !EngMarkBandingSurface(context->surface))
    return FailEnable(context);
  return context->surface;
}

// Releases the surface, the whole-page image, the work line and the error rows. An
// invalid context is ignored without a last error.
VOID APIENTRY DrvDisableSurface(DHPDEV device) {
  DeviceContext* context = ContextFromHandle(device);
  if (!isValidDeviceContext(context)) return;
  ReleaseSideBuffer(context);
  ReleaseSurface(context);
}
