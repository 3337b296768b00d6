// SPDX-License-Identifier: Apache-2.0
// The device capability table (GDIINFO) handed to the graphics engine: resolution,
// printable area, colour depth and halftoning of the context's settings and tape.
#include "device/gdi_info.h"

#include <cstring>

#include "context/device_context.h"
#include "device/media_lookup.h"
#include "device/printer_data.h"

namespace {

constexpr ULONG kGdiInfoVersion = 0x400;
constexpr ULONG kPaletteRegisters = 256;
constexpr ULONG kGrayBits = 8;
constexpr ULONG kColorBits = 24;
constexpr LONG kStyleStepsPerInch = 25;

// The whole part of a square root, bit by bit. The double root it replaces truncates to the
// same for every 32-bit value, and keeps the maths library out of the driver's loading.
ULONG WholeSquareRoot(DWORD value) {
  ULONG root = 0;
  for (ULONG bit = 1UL << 30; bit != 0; bit >>= 2) {
    if (value >= root + bit) {
      value -= root + bit;
      root = (root >> 1) + bit;
    } else {
      root >>= 1;
    }
  }
  return root;
}

// The SideRecord's state for an 8-bit gray surface with its scratch buffer (srMode
// kSideModeBuffered).
constexpr BYTE kSideDepth = 8;
constexpr BYTE kSideUnit = 1;

// The chromaticities and dyes of the tape, used when the printer has no halftone data.
constexpr COLORINFO kDefaultColorInfo = {
    {6380, 3350, 0},  // Red
    {2345, 6075, 0},  // Green
    {1410, 932, 0},   // Blue
    {2000, 2450, 0},  // Cyan
    {5210, 2100, 0},  // Magenta
    {4750, 5100, 0},  // Yellow
    {3127, 3290, 0},  // AlignmentWhite
    12500,            // RedGamma
    12500,            // GreenGamma
    12500,            // BlueGamma
    585,              // MagentaInCyanDye
    120,              // YellowInCyanDye
    0,                // CyanInMagentaDye
    0,                // YellowInMagentaDye
    0,                // CyanInYellowDye
    10000,            // MagentaInYellowDye
};

// The halftone fields: the printer's "CurDevHTInfo" when it has one, else our defaults.
void FillHalftone(const DeviceContext* context, DWORD quality, GDIINFO* info) {
  DEVHTINFO halftone = {};
  DWORD pelsDpi = quality;
  if (ReadDeviceHalftoneInfo(context->printer, &halftone)) {
    info->ciDevice = halftone.ColorInfo;
    info->ulHTPatternSize = halftone.HTPatternSize;
    pelsDpi = halftone.DevPelsDPI;
  } else {
    info->ciDevice = kDefaultColorInfo;
    info->ulHTPatternSize = PickHalftonePatternSize(quality);
  }
  const DWORD scale = static_cast<DWORD>(static_cast<LONG>(context->settings.dm.dmScale));
  info->ulDevicePelsDPI = scale * pelsDpi / 100;
  // Sizes beyond 16 x 16 are not patterns the engine knows.
  if (info->ulHTPatternSize > HT_PATSIZE_16x16_M) info->ulHTPatternSize = HT_PATSIZE_6x6_M;
  info->ulPrimaryOrder = PRIMARY_ORDER_ABC;
  info->ulHTOutputFormat = HT_FORMAT_4BPP;
  info->flHTFlags = HT_FLAG_HAS_BLACK_DYE;
}

}  // namespace

// Fills the engine's GDIINFO (at most 304 bytes of it) and sets up the SideRecord. Writes
// nothing without a MediaTable; leaves both resolutions 0 when the settings give no usable
// resolution or no printable area, so that the context is refused.
void FillGdiInfo(DeviceContext* context, ULONG gdiInfoSize, GDIINFO* gdiInfo) {
  if (!context || !context->modelData.mediaTable) return;
  const ULONG copySize = gdiInfoSize < GDIINFO_SIZE ? gdiInfoSize : GDIINFO_SIZE;

  const DEVMODEW& dm = context->settings.dm;
  const LONG quality = dm.dmPrintQuality;
  const LONG yResolution = dm.dmYResolution;
  const LONG scaled = context->scaledResolution;
  const bool landscape = dm.dmOrientation == DMORIENT_LANDSCAPE;

  // Q, S and R: across resolution, scaled across resolution and feed resolution. Every
  // value below divides by one of them; settings that make one of them 0 (or negative)
  // describe no device.
  const DWORD q = static_cast<DWORD>(quality);
  const DWORD s = static_cast<DWORD>(scaled);
  DWORD r = 0;
  if (quality > 0 && scaled > 0 && yResolution > 0) r = s * static_cast<DWORD>(yResolution) / q;
  const bool usable = r != 0;

  LONG mediaIndex = -1;
  LONG definitionIndex = -1;
  FindMediaIndex(context->printer, &context->settings, &context->modelData, &mediaIndex,
                 &definitionIndex, context->mediaDefinitions, context->mediaDefinitionCount,
                 static_cast<WORD>(context->defaultSettings.dm.dmPaperSize));
  PrintableArea area = {};
  if (!usable || !ComputePrintableArea(context, mediaIndex, definitionIndex, &area)) area = {};

  GDIINFO info = {};
  info.ulVersion = kGdiInfoVersion;
  info.ulTechnology = DT_RASPRINTER;
  info.ulHorzSize = area.horzSize;
  info.ulVertSize = area.vertSize;
  info.ulHorzRes = area.horzRes;
  info.ulVertRes = area.vertRes;
  info.cBitsPixel = dm.dmColor == DMCOLOR_COLOR ? kColorBits : kGrayBits;
  info.cPlanes = 1;
  info.ulNumColors = info.cBitsPixel;
  info.flRaster = 0;
  info.ptlPhysOffset = area.physOffset;
  info.szlPhysSize = area.physSize;
  info.ulNumPalReg = kPaletteRegisters;

  // The along axis is y in portrait and x in landscape; its values need R.
  const ULONG alongPixels = usable ? s * r / s : 0;
  const ULONG alongAspect = usable ? q * r / s : 0;
  const LONG alongStep = usable ? static_cast<LONG>(r / s) : 0;
  info.ulLogPixelsX = landscape ? alongPixels : s;
  info.ulLogPixelsY = landscape ? s : alongPixels;
  // Each aspect carries the resolution of the other axis.
  info.ulAspectX = landscape ? q : alongAspect;
  info.ulAspectY = landscape ? alongAspect : q;
  const DWORD sumOfSquares = info.ulAspectX * info.ulAspectX + info.ulAspectY * info.ulAspectY;
  info.ulAspectXY = WholeSquareRoot(sumOfSquares);
  info.xStyleStep = landscape ? alongStep : 1;
  info.yStyleStep = landscape ? 1 : alongStep;
  info.denStyleStep = quality / kStyleStepsPerInch;

  FillHalftone(context, q, &info);

  if (SideRecord* side = context->sideRecord) {
    side->srFlag = 0;
    side->srDepth = kSideDepth;
    side->srMode = kSideModeBuffered;
    side->srUnit = kSideUnit;
    side->srCounter = 0;
    side->srMark = kSideMarkInitial;
    side->srColorAdjustment = context->settings.priv.privColorAdjustment;
  }

  if (gdiInfo) std::memcpy(gdiInfo, &info, copySize);
}

// The halftone pattern size for a resolution: finer patterns for finer devices.
ULONG PickHalftonePatternSize(ULONG resolution) {
  if (resolution >= 2400) return HT_PATSIZE_16x16_M;
  if (resolution >= 1800) return HT_PATSIZE_14x14_M;
  if (resolution >= 1200) return HT_PATSIZE_12x12_M;
  if (resolution >= 900) return HT_PATSIZE_10x10_M;
  if (resolution >= 400) return HT_PATSIZE_8x8_M;
  if (resolution >= 180) return HT_PATSIZE_6x6_M;
  return HT_PATSIZE_4x4_M;
}
