// SPDX-License-Identifier: Apache-2.0
// The layouts of the platform records that cross the engine boundary or are stored. The
// same checks hold for the Windows headers and for our host declarations, in 32-bit and
// 64-bit builds: records without pointers keep their 32-bit Windows layout everywhere;
// records with pointers are checked against the same rule with the build's pointer size.
#pragma once

#include <cstddef>

static_assert(sizeof(WCHAR) == 2, "text is UTF-16");
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(DWORD) == 4);
static_assert(sizeof(WORD) == 2 && sizeof(SHORT) == 2 && sizeof(BYTE) == 1);

static_assert(sizeof(POINTL) == 8 && sizeof(RECTL) == 16 && sizeof(SIZEL) == 8);
static_assert(sizeof(COLORADJUSTMENT) == 24);
static_assert(sizeof(LOGFONTW) == 92);
static_assert(sizeof(COLORINFO) == 120);
static_assert(sizeof(DEVHTINFO) == 132);
static_assert(offsetof(DEVHTINFO, ColorInfo) == 12);

static_assert(sizeof(DEVMODEW) == 220);
static_assert(offsetof(DEVMODEW, dmSpecVersion) == 64);
static_assert(offsetof(DEVMODEW, dmSize) == 68);
static_assert(offsetof(DEVMODEW, dmDriverExtra) == 70);
static_assert(offsetof(DEVMODEW, dmFields) == 72);
static_assert(offsetof(DEVMODEW, dmOrientation) == 76);
static_assert(offsetof(DEVMODEW, dmPaperSize) == 78);
static_assert(offsetof(DEVMODEW, dmPaperLength) == 80);
static_assert(offsetof(DEVMODEW, dmPaperWidth) == 82);
static_assert(offsetof(DEVMODEW, dmScale) == 84);
static_assert(offsetof(DEVMODEW, dmCopies) == 86);
static_assert(offsetof(DEVMODEW, dmPrintQuality) == 90);
static_assert(offsetof(DEVMODEW, dmColor) == 92);
static_assert(offsetof(DEVMODEW, dmYResolution) == 96);
static_assert(offsetof(DEVMODEW, dmTTOption) == 98);
static_assert(offsetof(DEVMODEW, dmCollate) == 100);
static_assert(offsetof(DEVMODEW, dmFormName) == 102);

// GDIINFO ends with three halftone pattern pointers and DEVINFO holds the default
// palette's handle: on 64-bit Windows (the system headers) those are 8 bytes, and the two
// records grow there; the host declares them 32 bits wide in every build.
#if defined(_WIN64)
static_assert(sizeof(GDIINFO) == 320);
static_assert(offsetof(GDIINFO, ulPhysicalPixelGamma) == 312);
static_assert(sizeof(DEVINFO) == 312);
static_assert(offsetof(DEVINFO, hpalDefault) == 296);
static_assert(offsetof(DEVINFO, flGraphicsCaps2) == 304);
#else
static_assert(sizeof(GDIINFO) == 304);
static_assert(offsetof(GDIINFO, ulPhysicalPixelGamma) == 300);
static_assert(sizeof(DEVINFO) == 300);
static_assert(offsetof(DEVINFO, hpalDefault) == 292);
static_assert(offsetof(DEVINFO, flGraphicsCaps2) == 296);
#endif
static_assert(offsetof(GDIINFO, ulHorzRes) == 16);
static_assert(offsetof(GDIINFO, ulVertRes) == 20);
static_assert(offsetof(GDIINFO, ptlPhysOffset) == 88);
static_assert(offsetof(GDIINFO, szlPhysSize) == 96);
static_assert(offsetof(GDIINFO, ciDevice) == 108);
static_assert(offsetof(GDIINFO, ulDevicePelsDPI) == 228);
static_assert(offsetof(GDIINFO, ulHTPatternSize) == 236);

static_assert(offsetof(DEVINFO, cFonts) == 280);
static_assert(offsetof(DEVINFO, iDitherFormat) == 284);

static_assert(sizeof(DRVFN) == 2 * sizeof(void*));
static_assert(offsetof(DRVENABLEDATA, pdrvfn) == 8);
static_assert(sizeof(DRVENABLEDATA) == (sizeof(void*) == 4 ? 12 : 16));
static_assert(offsetof(SURFOBJ, dhsurf) == 0);

static_assert(offsetof(DEVINFO, lfDefaultFont) == 4);
static_assert(offsetof(LOGFONTW, lfItalic) == 20 && offsetof(LOGFONTW, lfFaceName) == 28);

// Records the engine hands the driver. Their engine handles are pointers on Windows and
// 32-bit values on the host, so the 32-bit layout is pinned where the two agree (the
// 32-bit Windows build and the 32-bit host build) and the 64-bit Windows layout in the
// 64-bit Windows build.
static_assert(sizeof(CLIPOBJ) == 24);
static_assert(offsetof(CLIPOBJ, rclBounds) == 4 && offsetof(CLIPOBJ, iDComplexity) == 20);
static_assert(sizeof(PATHOBJ) == 8);
static_assert(offsetof(PATHDATA, pptfx) == 8 && sizeof(PATHDATA) == 8 + sizeof(void*));
static_assert(sizeof(void*) != 4 || sizeof(SURFOBJ) == 52);
static_assert(sizeof(void*) != 4 || offsetof(SURFOBJ, dhpdev) == 8);
static_assert(sizeof(void*) != 4 || offsetof(SURFOBJ, sizlBitmap) == 16);
static_assert(sizeof(void*) != 4 || offsetof(SURFOBJ, pvBits) == 28);
static_assert(sizeof(void*) != 4 || offsetof(SURFOBJ, pvScan0) == 32);
static_assert(sizeof(void*) != 4 || offsetof(SURFOBJ, lDelta) == 36);
static_assert(sizeof(void*) != 4 || offsetof(SURFOBJ, iBitmapFormat) == 44);
#if defined(_WIN64)
static_assert(sizeof(SURFOBJ) == 80 && offsetof(SURFOBJ, dhpdev) == 16);
static_assert(offsetof(SURFOBJ, sizlBitmap) == 32 && offsetof(SURFOBJ, pvBits) == 48);
static_assert(offsetof(SURFOBJ, pvScan0) == 56 && offsetof(SURFOBJ, lDelta) == 64);
static_assert(offsetof(SURFOBJ, iBitmapFormat) == 72);
#endif
static_assert(offsetof(DRVFN, pfn) == sizeof(void*));

// Spooler records: a DWORD and then pointers only.
static_assert(offsetof(DRIVER_INFO_2W, pDriverPath) == 3 * sizeof(void*));
static_assert(offsetof(DRIVER_INFO_2W, pDataFile) == 4 * sizeof(void*));
static_assert(sizeof(DRIVER_INFO_2W) == 6 * sizeof(void*));
static_assert(sizeof(PRINTER_INFO_9W) == sizeof(void*));
