// SPDX-License-Identifier: Apache-2.0
// The device context's lifecycle: its creation for a printer and a job's settings, the
// device information given to the engine, a document carried to a new context, and its
// release.
#include "driver/context_lifecycle.h"

#include <cstring>

#include "device/default_settings.h"
#include "device/gdi_info.h"
#include "device/media_definitions.h"
#include "device/printer_data.h"
#include "driver/ddi.h"
#include "driver/driver_globals.h"
#include "raster/page_output.h"
#include "settings/settings_merge.h"

namespace {

// Graphics capabilities: Beziers, geometric wide lines, both fill modes, halftoning and
// opaque rectangles; GCAPS_DONTJOURNAL is added unless privFlags has PRIVF_JOURNAL.
constexpr FLONG kGraphicsCaps = GCAPS_BEZIERS | GCAPS_GEOMETRICWIDE | GCAPS_ALTERNATEFILL |
                                GCAPS_WINDINGFILL | GCAPS_HALFTONE | GCAPS_OPAQUERECT;
constexpr ULONG kPaletteEntries = 256;
constexpr DWORD kFontSlotMemory = 337920;  // bytes of printer memory per font slot

// The extent of a caller's settings record: the engine hands the driver a device mode of
// dmSize public and dmDriverExtra private bytes, as far as those fields tell the truth. No
// more than the largest record the driver knows is ever taken as there: a record whose
// fields claim more than that holds what the driver reads of it within that extent, or is
// refused.
DWORD SettingsExtent(const DEVMODEW* settings) {
  if (!settings) return 0;
  const DWORD claimed = static_cast<DWORD>(settings->dmSize) + settings->dmDriverExtra;
  return claimed < SETTINGS_RECORD_SIZE ? claimed : SETTINGS_RECORD_SIZE;
}

// The fields of DRIVER_INFO_2 the context needs, checked to be present.
bool UsableDriverInfo(const DRIVER_INFO_2W* info) {
  return info->pDriverPath && info->pDriverPath[0] != 0 && info->pDataFile &&
         info->pDataFile[0] != 0;
}

// Releases a context that DrvEnablePDEV could not finish, and returns null for it.
DHPDEV FailEnable(DeviceContext* context, HLOCAL driverInfo) {
  if (driverInfo) LocalFree(driverInfo);
  ReleaseDeviceContext(context);
  return nullptr;
}

}  // namespace

// Creates a device context for the printer and the application's settings, fills the
// engine's GDIINFO and DEVINFO, and returns the context; null on any failure, with
// everything taken released again.
DHPDEV APIENTRY DrvEnablePDEV(DEVMODEW* devmode, LPWSTR logAddress, ULONG patternCount,
                              HSURF* patterns, ULONG gdiInfoSize, ULONG* gdiInfo,
                              ULONG deviceInfoSize, DEVINFO* deviceInfo, HDEV engineDevice,
                              LPWSTR deviceName, HANDLE printer) {
  (void)logAddress;
  (void)engineDevice;

  HANDLE heap = HeapCreate(0, kContextHeapInitialSize, 0);
  if (!heap) return nullptr;
  auto* context = static_cast<DeviceContext*>(HeapAlloc(heap, HEAP_ZERO_MEMORY,
                                                        sizeof(DeviceContext)));
  if (!context) {
    HeapDestroy(heap);
    return nullptr;
  }
  context->heap = heap;
  context->printer = printer;

  // The driver information: size probe first, which must fail for want of a buffer.
  DWORD needed = 0;
  if (GetPrinterDriverW(printer, nullptr, 2, nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed < sizeof(DRIVER_INFO_2W))
    return FailEnable(context, nullptr);
  HLOCAL driverInfo = LocalAlloc(LPTR, needed);
  if (!driverInfo) return FailEnable(context, nullptr);
  if (!GetPrinterDriverW(printer, nullptr, 2, static_cast<LPBYTE>(driverInfo), needed, &needed))
    return FailEnable(context, driverInfo);
  const auto* info = static_cast<const DRIVER_INFO_2W*>(driverInfo);
  if (!UsableDriverInfo(info)) return FailEnable(context, driverInfo);

  // Keep our own library loaded for as long as the context lives.
  context->selfModule = LoadLibraryW(info->pDriverPath);
  if (!context->selfModule) return FailEnable(context, driverInfo);

  ModelData& model = context->modelData;
  EnterCriticalSection(&g_driver.modelLibraryLock);
  BOOL loaded = LoadModelData(heap, info->pDataFile, &model.modelRecord, 1, MODEL_RECORD_SIZE,
                              &model.mediaList, 1, &model.mediaTable, &model.mediaCount);
  LeaveCriticalSection(&g_driver.modelLibraryLock);
  if (!loaded) return FailEnable(context, driverInfo);

  LONG definitionCount = -1;
  EnterCriticalSection(&g_driver.mediaFileLock);
  context->mediaDefinitions = ReadMediaDefinitions(info->pDriverPath, &definitionCount);
  LeaveCriticalSection(&g_driver.mediaFileLock);
  LocalFree(driverInfo);
  if (!context->mediaDefinitions) return FailEnable(context, nullptr);
  context->mediaDefinitionCount = static_cast<DWORD>(definitionCount);
  // A definition that can hold no page is not offered at all; a margin greater than its
  // tape allows is lowered.
  SettleDefinitions(context->mediaDefinitions, context->mediaDefinitionCount, &model);

  context->sideRecord = static_cast<SideRecord*>(HeapAlloc(heap, HEAP_ZERO_MEMORY,
                                                           sizeof(SideRecord)));
  context->lineBuffers = static_cast<LineBufferRecord*>(
      HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(LineBufferRecord)));
  if (!context->sideRecord || !context->lineBuffers) return FailEnable(context, nullptr);

  if (!InitDeviceContext(context, devmode, deviceName)) return FailEnable(context, nullptr);

  // The engine's GDIINFO must hold both resolutions for us to judge them.
  constexpr ULONG kResolutionsEnd = offsetof(GDIINFO, ulVertRes) + sizeof(ULONG);
  if (!gdiInfo || gdiInfoSize < kResolutionsEnd) return FailEnable(context, nullptr);
  auto* engineGdiInfo = reinterpret_cast<GDIINFO*>(gdiInfo);
  FillGdiInfo(context, gdiInfoSize, engineGdiInfo);
  // Settings that describe no printable page (a length inside its two margins, say)
  // leave a resolution of 0. No context then, and the last error says that the settings,
  // not the system, were at fault.
  if (engineGdiInfo->ulHorzRes == 0 || engineGdiInfo->ulVertRes == 0) {
    FailEnable(context, nullptr);
    SetLastError(ERROR_INVALID_DATA);
    return nullptr;
  }

  if (!FillDeviceInfo(context, deviceInfoSize, deviceInfo)) return FailEnable(context, nullptr);

  // The driver supplies no patterns of its own.
  if (patterns) {
    for (ULONG i = 0; i < patternCount; ++i) patterns[i] = {};
  }
  return HandleFromContext(context);
}

BOOL InitDeviceContext(DeviceContext* context, const DEVMODEW* applicationSettings,
                       LPCWSTR deviceName) {
  context->jobFlags = 0;
  context->signatureHead = kDeviceContextSignature;
  context->signatureTail = kDeviceContextSignature;

  context->printerData = ReadPrinterDataRecord(context->printer);
  if (!context->printerData) return FALSE;

  BuildDefaultSettings(&context->settings, deviceName, &context->modelData, context->printer);
  context->defaultSettings = context->settings;

  // When the merge refuses the application's record, the defaults stand. When it could not
  // even look at the record for want of memory, the context fails instead: printing the
  // job on settings it never asked for (another medium, plain output in place of framed)
  // would be a failure reported as success. The merge sets no last error of its own.
  SetLastError(ERROR_SUCCESS);
  const DWORD merged = MergeSettings(&context->settings, applicationSettings,
                                     SettingsExtent(applicationSettings), context->printer,
                                     &context->modelData, context->mediaDefinitions,
                                     context->mediaDefinitionCount,
                                     static_cast<WORD>(context->defaultSettings.dm.dmPaperSize));
  if (!merged && applicationSettings && GetLastError() == ERROR_NOT_ENOUGH_MEMORY) return FALSE;
  BoundLengthAndMargin(context->printer, &context->settings, &context->modelData,
                       context->mediaDefinitions, context->mediaDefinitionCount,
                       static_cast<WORD>(context->defaultSettings.dm.dmPaperSize));

  DWORD slots = context->printerData->pdFreeMemory / kFontSlotMemory;
  context->fontSlotCount = slots < 1 ? 1 : slots;
  context->pageCount = 0;
  context->printerDataExtra = ReadSizedPrinterData(context->printer, nullptr,
                                                   kPrinterDataFontSubstitution);
  context->fontSlots = static_cast<BYTE*>(
      HeapAlloc(context->heap, HEAP_ZERO_MEMORY,
                static_cast<SIZE_T>(context->fontSlotCount) * sizeof(DWORD)));
  if (!context->fontSlots) return FALSE;

  const LONG quality = static_cast<SHORT>(context->settings.dm.dmPrintQuality);
  const LONG scale = static_cast<SHORT>(context->settings.dm.dmScale);
  context->scaledResolution = quality * scale / 100;
  return TRUE;
}

BOOL FillDeviceInfo(DeviceContext* context, ULONG deviceInfoSize, DEVINFO* deviceInfo) {
  DEVINFO info = {};
  info.flGraphicsCaps = kGraphicsCaps;
  if ((context->settings.priv.privFlags & PRIVF_JOURNAL) == 0)
    info.flGraphicsCaps |= GCAPS_DONTJOURNAL;
  info.cFonts = 0;
  info.iDitherFormat = BMF_8BPP;
  info.cxDither = 0;
  info.cyDither = 0;

  if (context->palette) {
    EngDeletePalette(context->palette);
    context->palette = {};
  }
  // A gray ramp: entry i has red, green and blue all equal to i.
  ULONG entries[kPaletteEntries];
  for (ULONG i = 0; i < kPaletteEntries; ++i) entries[i] = i * 0x010101u;
  HPALETTE palette = EngCreatePalette(PAL_INDEXED, kPaletteEntries, entries, 0, 0, 0);
  if (!palette) return FALSE;
  info.hpalDefault = palette;
  context->palette = palette;

  if (deviceInfo) {
    ULONG bytes = deviceInfoSize < sizeof(DEVINFO) ? deviceInfoSize : sizeof(DEVINFO);
    std::memcpy(deviceInfo, &info, bytes);
  }
  return TRUE;
}

void ReleaseDeviceContext(DeviceContext* context) {
  if (!context) return;
  // Retained pages that never went out belong to this context alone (a context that
  // handed them on in DrvResetPDEV no longer holds them).
  ClearRetainedPages(context);
  if (context->selfModule) FreeLibrary(context->selfModule);
  if (context->printerDataExtra) GlobalFree(context->printerDataExtra);
  if (context->printerData) GlobalFree(context->printerData);
  if (context->mediaDefinitions) GlobalFree(context->mediaDefinitions);
  // The heap holds the context itself: nothing may touch it after this.
  HeapDestroy(context->heap);
}

// Stores the engine's device handle; an invalid context sets last error 87.
VOID APIENTRY DrvCompletePDEV(DHPDEV device, HDEV engineDevice) {
  DeviceContext* context = ContextFromHandle(device);
  if (!isValidDeviceContext(context)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return;
  }
  context->engineDevice = engineDevice;
}

// Deletes the palette and releases the context; an invalid context sets last error 87.
VOID APIENTRY DrvDisablePDEV(DHPDEV device) {
  DeviceContext* context = ContextFromHandle(device);
  if (!isValidDeviceContext(context)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return;
  }
  if (context->palette) {
    EngDeletePalette(context->palette);
    context->palette = {};
  }
  ReleaseDeviceContext(context);
}

// Carries an open document from the old context to the new one. FALSE with last error 87
// when either context is invalid.
BOOL APIENTRY DrvResetPDEV(DHPDEV oldDevice, DHPDEV newDevice) {
  DeviceContext* oldContext = ContextFromHandle(oldDevice);
  DeviceContext* newContext = ContextFromHandle(newDevice);
  if (!isValidDeviceContext(oldContext) || !isValidDeviceContext(newContext)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (oldContext == newContext || (oldContext->jobFlags & JF_IN_DOCUMENT) == 0) return TRUE;

  // A failed write stays failed for the rest of its document, on whichever context.
  newContext->jobFlags |= JF_RESET_CARRIED | JF_IN_DOCUMENT |
                          (oldContext->jobFlags & JF_OUTPUT_FAILED);
  newContext->pageCount = oldContext->pageCount;
  newContext->lastPageEnd = oldContext->lastPageEnd;
  // The retained pages move to the new context, which now owns them alone: the old one,
  // released next, must neither free them nor send them.
  ClearRetainedPages(newContext);
  newContext->retainedPages = oldContext->retainedPages;
  newContext->retainedLength = oldContext->retainedLength;
  oldContext->retainedPages = nullptr;
  oldContext->retainedLength = 0;
  newContext->settings.priv.privOpt40000 = oldContext->settings.priv.privOpt40000;
  return TRUE;
}
