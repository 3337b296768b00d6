// SPDX-License-Identifier: Apache-2.0
// CUPS raster pages in the driver's terms: which headers the filter can print, the page a
// header asks for, and the placement of raster lines on the driver's drawing surface.
#pragma once

#include <cups/raster.h>

#include <string>
#include <vector>

#include "cups/job_settings.h"
#include "host/engine_session.h"

namespace tq33cups {

// Pages larger than any label: refused before anything is read of them. The longest
// label, 1 m, is 113,386 pixels long at the highest resolution taken.
inline constexpr unsigned kMaxRasterWidth = 131072;
inline constexpr unsigned kMaxRasterHeight = 262144;
inline constexpr unsigned kMaxRasterResolution = 2880;

// TRUE when the header describes a page of 8-bit gray (luminance, or black inverted) the
// filter can read; otherwise FALSE with what is wrong with it in problem.
bool CheckPageHeader(const cups_page_header2_t& header, std::string* problem);

// The page size, size name and feed resolution a header asks for.
PageRequest PageRequestOf(const cups_page_header2_t& header);

// A raster page: pixels, dots per inch on each axis, and where its first pixel lies on the
// physical page (pixels from the page's top left corner). A raster may cover the whole
// page or only the part its producer painted (its imaging bounding box).
struct RasterGeometry {
  LONG width = 0;
  LONG height = 0;
  LONG xResolution = 0;
  LONG yResolution = 0;
  LONG originX = 0;
  LONG originY = 0;
  bool inverted = false;  // black colour space: 0 is white
};
RasterGeometry RasterGeometryOf(const cups_page_header2_t& header);

// The driver's drawing surface: its size, where it lies on the physical page and its dots
// per inch on each axis (the queue's pages are landscape: x along the tape, y across it).
struct SurfaceGeometry {
  LONG width = 0;
  LONG height = 0;
  LONG offsetX = 0;
  LONG offsetY = 0;
  LONG xResolution = 0;
  LONG yResolution = 0;
};
SurfaceGeometry SurfaceGeometryOf(const host::EngineSession& session);

// Places raster lines on the surface image. The surface covers the printable part of the
// physical page: surface pixel (x, y) shows the raster pixel at the same place on the
// page, scaled when the resolutions differ; surface pixels the raster does not reach are
// white.
class PageMapper {
 public:
  // Prepares the placement. FALSE when either geometry is empty or has no resolution.
  bool Prepare(const RasterGeometry& raster, const SurfaceGeometry& surface);
  // Starts a page into image, which becomes the surface's size.
  void Begin(host::GrayImage* image);
  // Takes raster line y; lines arrive in order from 0, each of raster.width pixels.
  void AddLine(LONG y, const BYTE* line);
  // Ends the page: rows no raster line reached become white.
  void Finish();

 private:
  void FillRow(LONG row, const BYTE* line);

  RasterGeometry raster_;
  SurfaceGeometry surface_;
  std::vector<LONG> rowSource_;     // raster line of each surface row; -1 above the raster,
                                    // past its last line: kBeyond
  std::vector<LONG> columnSource_;  // raster column of each surface column, -1 outside
  LONG runStart_ = 0;               // surface columns [runStart_, runEnd_) copy raster
  LONG runEnd_ = 0;                 // columns from runSource_ on, when contiguous
  LONG runSource_ = 0;
  bool contiguous_ = false;
  host::GrayImage* image_ = nullptr;
  LONG nextRow_ = 0;
};

}  // namespace tq33cups
