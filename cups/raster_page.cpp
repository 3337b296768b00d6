// SPDX-License-Identifier: Apache-2.0
// Checking raster page headers and placing raster lines on the drawing surface.
#include "cups/raster_page.h"

#include <cmath>
#include <limits>
#include <cstring>

namespace tq33cups {
namespace {

constexpr BYTE kWhite = 0xFF;
constexpr LONG kBeyond = std::numeric_limits<LONG>::max();

// The name of the colour spaces people meet; empty for the others.
const char* ColorSpaceName(cups_cspace_t space) {
  switch (space) {
    case CUPS_CSPACE_W: return "W";
    case CUPS_CSPACE_SW: return "SW";
    case CUPS_CSPACE_K: return "K";
    case CUPS_CSPACE_RGB: return "RGB";
    case CUPS_CSPACE_SRGB: return "sRGB";
    case CUPS_CSPACE_CMYK: return "CMYK";
    default: return "";
  }
}

// The raster pixel under a surface pixel: the surface position on the page (position +
// offset), scaled to the raster's resolution, less the raster's origin on the page; -1
// before the raster.
LONG SourceOf(LONG position, LONG offset, LONG surfaceResolution, LONG rasterResolution,
              LONG origin) {
  const long long page = static_cast<long long>(position) + offset;
  if (page < 0) return -1;
  const long long source = page * rasterResolution / surfaceResolution - origin;
  if (source < 0) return -1;
  return source > std::numeric_limits<LONG>::max() ? std::numeric_limits<LONG>::max()
                                                   : static_cast<LONG>(source);
}

// Where a raster that is shorter than its page on one axis starts: the imaging bounding
// box's start on that axis, in raster pixels; 0 for a raster that spans the page.
LONG OriginOf(unsigned pixels, unsigned resolution, double pageSize, double boxStart,
              bool boxValid) {
  const double rasterSize = static_cast<double>(pixels) * 72.0 / resolution;
  const double pixel = 72.0 / resolution;
  if (!boxValid || rasterSize >= pageSize - 1.5 * pixel || boxStart <= 0) return 0;
  return static_cast<LONG>(std::floor(boxStart * resolution / 72.0 + 0.5));
}

}  // namespace

// Colour space, depth, size, line length and resolution, in that order.
bool CheckPageHeader(const cups_page_header2_t& header, std::string* problem) {
  const cups_cspace_t space = header.cupsColorSpace;
  if (space != CUPS_CSPACE_W && space != CUPS_CSPACE_SW && space != CUPS_CSPACE_K) {
    const char* name = ColorSpaceName(space);
    *problem = std::string("the raster is in colour space ") + std::to_string(space) +
               (*name ? std::string(" (") + name + ")" : std::string()) +
               "; the printer takes gray (W, SW or K)";
    return false;
  }
  if (header.cupsBitsPerColor != 8 || header.cupsBitsPerPixel != 8) {
    *problem = "the raster has " + std::to_string(header.cupsBitsPerColor) + " bits per colour and " +
               std::to_string(header.cupsBitsPerPixel) + " per pixel; the printer takes 8-bit gray";
    return false;
  }
  if (header.cupsWidth == 0 || header.cupsHeight == 0) {
    *problem = "the page is empty (" + std::to_string(header.cupsWidth) + " x " +
               std::to_string(header.cupsHeight) + " pixels)";
    return false;
  }
  for (unsigned resolution : header.HWResolution) {
    if (resolution == 0 || resolution > kMaxRasterResolution) {
      *problem = "the raster's resolution " + std::to_string(header.HWResolution[0]) + "x" +
                 std::to_string(header.HWResolution[1]) + " dpi is not one the printer can take";
      return false;
    }
  }
  if (header.cupsWidth > kMaxRasterWidth || header.cupsHeight > kMaxRasterHeight) {
    const auto mm = [](unsigned pixels, unsigned resolution) {
      return std::to_string((static_cast<unsigned long long>(pixels) * 254 / resolution + 5) / 10);
    };
    *problem = "the raster of " + mm(header.cupsWidth, header.HWResolution[0]) + " x " +
               mm(header.cupsHeight, header.HWResolution[1]) + " mm at " +
               std::to_string(header.HWResolution[0]) + "x" + std::to_string(header.HWResolution[1]) +
               " dpi is larger than any label";
    return false;
  }
  if (header.cupsBytesPerLine != header.cupsWidth) {
    *problem = "the raster has " + std::to_string(header.cupsBytesPerLine) +
               " bytes per line for " + std::to_string(header.cupsWidth) + " pixels";
    return false;
  }
  return true;
}

// Cannot fail: a missing size gives 0, which the driver clamps. The page is landscape: its
// width runs along the tape, its height across.
PageRequest PageRequestOf(const cups_page_header2_t& header) {
  PageRequest request;
  request.sizeName.assign(header.cupsPageSizeName,
                          strnlen(header.cupsPageSizeName, sizeof(header.cupsPageSizeName)));
  // The floating-point size keeps the fractions of a point that a tape width needs.
  const double along = header.cupsPageSize[0] > 0 ? header.cupsPageSize[0] : header.PageSize[0];
  const double across = header.cupsPageSize[1] > 0 ? header.cupsPageSize[1] : header.PageSize[1];
  request.width = TenthsFromPoints(across);
  request.length = TenthsFromPoints(along);
  request.yResolution = static_cast<LONG>(header.HWResolution[0]);
  return request;
}

// The raster's size, resolution and origin on the page. Cannot fail.
RasterGeometry RasterGeometryOf(const cups_page_header2_t& header) {
  RasterGeometry geometry;
  geometry.width = static_cast<LONG>(header.cupsWidth);
  geometry.height = static_cast<LONG>(header.cupsHeight);
  geometry.xResolution = static_cast<LONG>(header.HWResolution[0]);
  geometry.yResolution = static_cast<LONG>(header.HWResolution[1]);
  geometry.inverted = header.cupsColorSpace == CUPS_CSPACE_K;
  if (geometry.xResolution <= 0 || geometry.yResolution <= 0) return geometry;

  // Producers that paint only part of the page (an image placed on it) send a raster of
  // that part and say where it lies in the bounding box: left, bottom, right, top, in
  // points from the page's lower left corner.
  const double pageWidth = header.cupsPageSize[0] > 0 ? header.cupsPageSize[0] : header.PageSize[0];
  const double pageHeight = header.cupsPageSize[1] > 0 ? header.cupsPageSize[1] : header.PageSize[1];
  double box[4];
  const bool floats = header.cupsImagingBBox[2] > header.cupsImagingBBox[0] &&
                      header.cupsImagingBBox[3] > header.cupsImagingBBox[1];
  for (int i = 0; i < 4; ++i)
    box[i] = floats ? header.cupsImagingBBox[i] : static_cast<double>(header.ImagingBoundingBox[i]);
  const bool valid = box[2] > box[0] && box[3] > box[1] && box[2] <= pageWidth + 1 &&
                     box[3] <= pageHeight + 1;
  geometry.originX = OriginOf(header.cupsWidth, header.HWResolution[0], pageWidth, box[0], valid);
  geometry.originY = OriginOf(header.cupsHeight, header.HWResolution[1], pageHeight,
                              pageHeight - box[3], valid);
  return geometry;
}

// The surface as the driver described it in its GDIINFO. Cannot fail.
SurfaceGeometry SurfaceGeometryOf(const host::EngineSession& session) {
  const GDIINFO& gdi = session.gdiInfo();
  const SIZEL size = session.pageSize();
  SurfaceGeometry geometry;
  geometry.width = size.cx;
  geometry.height = size.cy;
  geometry.offsetX = gdi.ptlPhysOffset.x;
  geometry.offsetY = gdi.ptlPhysOffset.y;
  geometry.xResolution = static_cast<LONG>(gdi.ulLogPixelsX);
  geometry.yResolution = static_cast<LONG>(gdi.ulLogPixelsY);
  return geometry;
}

// Works out the raster line and column of every surface row and column, once per page
// geometry. FALSE for an empty geometry.
bool PageMapper::Prepare(const RasterGeometry& raster, const SurfaceGeometry& surface) {
  if (raster.width <= 0 || raster.height <= 0 || raster.xResolution <= 0 ||
      raster.yResolution <= 0 || surface.width <= 0 || surface.height <= 0 ||
      surface.xResolution <= 0 || surface.yResolution <= 0)
    return false;
  raster_ = raster;
  surface_ = surface;

  rowSource_.resize(static_cast<size_t>(surface.height));
  for (LONG y = 0; y < surface.height; ++y) {
    const LONG source =
        SourceOf(y, surface.offsetY, surface.yResolution, raster.yResolution, raster.originY);
    rowSource_[y] = source >= raster.height ? kBeyond : source;
  }

  columnSource_.resize(static_cast<size_t>(surface.width));
  LONG first = -1;
  LONG last = -1;
  for (LONG x = 0; x < surface.width; ++x) {
    const LONG source =
        SourceOf(x, surface.offsetX, surface.xResolution, raster.xResolution, raster.originX);
    columnSource_[x] = source >= raster.width ? -1 : source;
    if (columnSource_[x] < 0) continue;
    if (first < 0) first = x;
    last = x;
  }
  // Equal resolutions place one run of raster pixels: one copy per row.
  contiguous_ = first >= 0;
  for (LONG x = first + 1; contiguous_ && x <= last; ++x)
    contiguous_ = columnSource_[x] == columnSource_[x - 1] + 1;
  runStart_ = contiguous_ ? first : 0;
  runEnd_ = contiguous_ ? last + 1 : 0;
  runSource_ = contiguous_ ? columnSource_[first] : 0;
  return true;
}

// Sizes the image to the surface; its pixels are all written by the page's rows.
void PageMapper::Begin(host::GrayImage* image) {
  image_ = image;
  if (image->width != surface_.width || image->height != surface_.height) {
    image->width = surface_.width;
    image->height = surface_.height;
    image->pixels.assign(static_cast<size_t>(surface_.width) * surface_.height, kWhite);
  }
  nextRow_ = 0;
}

// Writes one surface row from a raster line, or white without one.
void PageMapper::FillRow(LONG row, const BYTE* line) {
  BYTE* target = image_->Row(row);
  const size_t width = static_cast<size_t>(surface_.width);
  if (!line) {
    std::memset(target, kWhite, width);
    return;
  }
  if (contiguous_ && !raster_.inverted) {
    std::memset(target, kWhite, static_cast<size_t>(runStart_));
    std::memcpy(target + runStart_, line + runSource_, static_cast<size_t>(runEnd_ - runStart_));
    std::memset(target + runEnd_, kWhite, width - static_cast<size_t>(runEnd_));
    return;
  }
  // A black colour space counts ink where the surface counts light.
  const BYTE flip = raster_.inverted ? kWhite : 0;
  for (size_t x = 0; x < width; ++x) {
    const LONG source = columnSource_[x];
    target[x] = source < 0 ? kWhite : static_cast<BYTE>(line[source] ^ flip);
  }
}

// Fills every surface row up to those showing line y, which get its pixels.
void PageMapper::AddLine(LONG y, const BYTE* line) {
  while (nextRow_ < surface_.height && rowSource_[nextRow_] <= y) {
    FillRow(nextRow_, rowSource_[nextRow_] == y ? line : nullptr);
    ++nextRow_;
  }
}

// Whitens the rows below the raster's last line.
void PageMapper::Finish() {
  while (nextRow_ < surface_.height) FillRow(nextRow_++, nullptr);
}

}  // namespace tq33cups
