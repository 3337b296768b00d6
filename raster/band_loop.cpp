// SPDX-License-Identifier: Apache-2.0
// The band loop: the engine renders a banded page one band at a time; every finished band
// is copied into the whole-page image, and after the last band the page is converted in
// one piece with the surface object describing the whole-page image.
//
// Bands follow each other down the page in portrait (full-width rows) and across it in
// landscape (full-height columns). Band k starts at k * bandExtent; the last band has
// lastBandExtent rows or columns.
#include "raster/band_loop.h"

#include <cstdint>
#include <cstring>

#include "context/device_context.h"
#include "raster/page_conversion.h"

namespace {

constexpr BYTE kWhite = 0xFF;

// Landscape bands are columns; any orientation but 2 gives row bands.
bool IsLandscape(const DeviceContext* context) {
  return context->settings.dm.dmOrientation == DMORIENT_LANDSCAPE;
}

// Rows of the whole page: its height.
DWORD PageRows(const DeviceContext* context) {
  return IsLandscape(context) ? context->crossExtent : context->bandAxisExtent;
}

// Paints the band bitmap white for the engine's next band.
void WhitenBand(SURFOBJ* surface) {
  if (surface->pvBits) std::memset(surface->pvBits, kWhite, surface->cjBits);
}

// The smaller of two counts.
uint64_t Least(uint64_t a, uint64_t b) { return a < b ? a : b; }

// Copies the finished band, extent rows or columns of it, to its place in the page image.
// Every copy is bounded by what the band bitmap holds (its own stride, size and bits) and
// by the page image. FALSE when there is no page image or the band lies outside the page.
BOOL CopyBand(DeviceContext* context, const SURFOBJ* surface, DWORD extent) {
  BYTE* page = static_cast<BYTE*>(context->pageBuffers[0]);
  const BYTE* band = static_cast<const BYTE*>(surface->pvBits);
  if (!page || !band || surface->lDelta <= 0 || surface->sizlBitmap.cx <= 0 ||
      surface->sizlBitmap.cy <= 0)
    return FALSE;
  const uint64_t bandStride = static_cast<uint64_t>(surface->lDelta);
  const uint64_t pageStride = context->pageStride;
  const uint64_t first = static_cast<uint64_t>(context->bandIndex) * context->bandExtent;
  const uint64_t bandRows =
      Least(static_cast<uint64_t>(surface->sizlBitmap.cy), surface->cjBits / bandStride);

  if (!IsLandscape(context)) {
    const uint64_t pageRows = PageRows(context);
    if (first >= pageRows) return FALSE;
    const uint64_t rows = Least(Least(extent, bandRows), pageRows - first);
    BYTE* target = page + first * pageStride;
    if (bandStride == pageStride) {
      // The usual case: the band is one contiguous block of the page.
      std::memcpy(target, band, static_cast<size_t>(rows * pageStride));
    } else {
      const size_t width = static_cast<size_t>(bandStride < pageStride ? bandStride : pageStride);
      for (uint64_t r = 0; r < rows; ++r)
        std::memcpy(target + r * pageStride, band + r * bandStride, width);
    }
    return TRUE;
  }

  const uint64_t pageColumns = context->bandAxisExtent;
  if (first >= pageColumns) return FALSE;
  const uint64_t bandColumns = Least(static_cast<uint64_t>(surface->sizlBitmap.cx), bandStride);
  const size_t columns = static_cast<size_t>(Least(Least(extent, bandColumns), pageColumns - first));
  const uint64_t rows = Least(bandRows, PageRows(context));
  for (uint64_t r = 0; r < rows; ++r)
    std::memcpy(page + r * pageStride + first, band + r * bandStride, columns);
  return TRUE;
}

// Converts the whole page: the surface, locked through its handle, describes the page
// image for the conversion and the band bitmap again afterwards. FALSE when the surface
// cannot be locked (then it is left as it is) or the conversion fails.
BOOL ConvertWholePage(DeviceContext* context, const SURFOBJ* surface) {
  SURFOBJ* locked = EngLockSurface(surface->hsurf);
  if (!locked) return FALSE;
  const LONG savedDelta = locked->lDelta;
  const SIZEL savedSize = locked->sizlBitmap;
  const PVOID savedBits = locked->pvBits;
  const PVOID savedScan0 = locked->pvScan0;
  const ULONG savedBytes = locked->cjBits;

  const LONG along = static_cast<LONG>(context->bandAxisExtent);
  const LONG across = static_cast<LONG>(context->crossExtent);
  locked->pvBits = context->pageBuffers[0];
  locked->pvScan0 = context->pageBuffers[0];
  locked->sizlBitmap = IsLandscape(context) ? SIZEL{along, across} : SIZEL{across, along};
  locked->lDelta = static_cast<LONG>(context->pageStride);
  // DrvEnableSurface made sure that the page image's size fits 32 bits.
  locked->cjBits = PageRows(context) * context->pageStride;

  const BOOL converted = ConvertPage(locked);

  locked->lDelta = savedDelta;
  locked->sizlBitmap = savedSize;
  locked->pvBits = savedBits;
  locked->pvScan0 = savedScan0;
  locked->cjBits = savedBytes;
  EngUnlockSurface(locked);
  return converted;
}

}  // namespace

// Copies a finished band into the page image and, after the last band, converts the page
// and records the result in bandedPage for page control. TRUE when the band was copied
// (and, for the last band, the page converted).
BOOL CopyBandToPage(SURFOBJ* surface, DWORD extent) {
  DeviceContext* context = ContextOfSurface(surface, true);
  if (!context) return FALSE;
  const BOOL copied = CopyBand(context, surface, extent);
  if (context->bandIndex + 1 < context->bandCount) return copied;
  const BOOL converted = copied && ConvertWholePage(context, surface);
  context->bandedPage = converted ? kBandedPageConverted : kBandedPageFailed;
  return converted;
}

// Takes the finished band and gives the origin of the next one, or (-1, -1) once the page
// is complete and converted. FALSE when the job was aborted, for a missing surface or
// invalid context, and when the page could not be converted after its last band (page
// control reports that again to a DrvSendPage that follows; an engine that sends none
// learns it here).
BOOL APIENTRY DrvNextBand(SURFOBJ* surface, POINTL* origin) {
  DeviceContext* context = ContextOfSurface(surface, true);
  if (!context || !origin) return FALSE;
  if (EngCheckAbort(surface)) return FALSE;
  // Calls past the last band find the page done: nothing is copied or converted again.
  if (context->bandIndex >= context->bandCount) {
    *origin = {-1, -1};
    return TRUE;
  }
  const bool lastBand = context->bandIndex + 1 >= context->bandCount;
  const BOOL taken =
      CopyBandToPage(surface, lastBand ? context->lastBandExtent : context->bandExtent);

  context->bandIndex += 1;
  WhitenBand(surface);
  if (context->bandIndex >= context->bandCount) {
    *origin = {-1, -1};
  } else {
    const LONG start = static_cast<LONG>(context->bandIndex * context->bandExtent);
    *origin = IsLandscape(context) ? POINTL{start, 0} : POINTL{0, start};
  }
  return (lastBand && !taken) ? FALSE : TRUE;
}
