// SPDX-License-Identifier: Apache-2.0
// The library's front door: DllMain, the driver's enable, query and disable calls, the
// DDI function table, and the process-wide locks every device context shares.
#include <iterator>

#include "driver/ddi.h"
#include "driver/driver_globals.h"

DriverGlobals g_driver;

namespace {

// The engine calls every entry through the generic function type of the table; going by
// way of void (*)() says that the signatures differ on purpose.
template <typename Function>
constexpr PFN DdiEntry(Function function) {
  return reinterpret_cast<PFN>(reinterpret_cast<void (*)()>(function));
}

}  // namespace

// The engine's standard DDI indices, in the order the engine is given them.
const DRVFN kDdiFunctions[kDdiFunctionCount] = {
    {INDEX_DrvEnablePDEV, DdiEntry(DrvEnablePDEV)},
    {INDEX_DrvCompletePDEV, DdiEntry(DrvCompletePDEV)},
    {INDEX_DrvDisablePDEV, DdiEntry(DrvDisablePDEV)},
    {INDEX_DrvEnableSurface, DdiEntry(DrvEnableSurface)},
    {INDEX_DrvDisableSurface, DdiEntry(DrvDisableSurface)},
    {INDEX_DrvResetPDEV, DdiEntry(DrvResetPDEV)},
    {INDEX_DrvDisableDriver, DdiEntry(DrvDisableDriver)},
    {INDEX_DrvEscape, DdiEntry(DrvEscape)},
    {INDEX_DrvDrawEscape, DdiEntry(DrvDrawEscape)},
    {INDEX_DrvQueryFont, DdiEntry(DrvQueryFont)},
    {INDEX_DrvSendPage, DdiEntry(DrvSendPage)},
    {INDEX_DrvStartPage, DdiEntry(DrvStartPage)},
    {INDEX_DrvEndDoc, DdiEntry(DrvEndDoc)},
    {INDEX_DrvStartDoc, DdiEntry(DrvStartDoc)},
    {INDEX_DrvStartBanding, DdiEntry(DrvStartBanding)},
    {INDEX_DrvNextBand, DdiEntry(DrvNextBand)},
};

namespace {

// The locks in creation (and deletion) order.
CRITICAL_SECTION* const kLocks[] = {
    &g_driver.mediaFileLock, &g_driver.fontCacheLock, &g_driver.driverLock,
    &g_driver.reserveLock,   &g_driver.modelLibraryLock,
};

}  // namespace

void ReleaseDeviceFontEntry(DeviceFontEntry* entry) {
  if (!entry) return;
  if (entry->items) {
    for (DWORD i = 0; i < entry->itemCount; ++i) {
      if (entry->items[i].block) GlobalFree(entry->items[i].block);
    }
    GlobalFree(entry->items);
  }
  GlobalFree(entry);
}

extern "C" {

// Nothing happens at load time; DrvEnableDriver sets up the process-wide state.
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  (void)module;
  (void)reason;
  (void)reserved;
  return TRUE;
}

// Hands the engine the DDI table and creates the process-wide locks. FALSE with last
// error 119 for an engine older than driver version 0x20000, 87 for a short enable record,
// and FALSE without a last error of our own when a lock cannot be created.
BOOL APIENTRY DrvEnableDriver(ULONG engineVersion, ULONG size, DRVENABLEDATA* enableData) {
  if (engineVersion < DDI_DRIVER_VERSION_NT4) {
    SetLastError(ERROR_BAD_DRIVER_LEVEL);
    return FALSE;
  }
  // The three members of the enable record: version, count, table pointer.
  if (size < 12 || !enableData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  enableData->iDriverVersion = DDI_DRIVER_VERSION_NT4;
  enableData->c = kDdiFunctionCount;
  enableData->pdrvfn = const_cast<DRVFN*>(kDdiFunctions);

  // A lock can fail to be created only for want of memory. Without structured exception
  // handling we use the initialisation call that reports that failure as FALSE; the
  // outcome is the same: the locks made so far are deleted again.
  for (size_t i = 0; i < std::size(kLocks); ++i) {
    if (!InitializeCriticalSectionAndSpinCount(kLocks[i], 0)) {
      while (i > 0) DeleteCriticalSection(kLocks[--i]);
      return FALSE;
    }
  }
  return TRUE;
}

// Answers the engine's user-mode query: the driver runs in user mode.
BOOL APIENTRY DrvQueryDriverInfo(DWORD mode, PVOID buffer, DWORD bufferSize, PDWORD needed) {
  if (mode != DRVQUERY_USERMODE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (needed) *needed = sizeof(DWORD);
  if (buffer && bufferSize >= sizeof(DWORD)) {
    *static_cast<DWORD*>(buffer) = 1;
    return TRUE;
  }
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return FALSE;
}

// Waits for any thread still in the driver, empties the shared font cache and deletes the
// locks.
VOID APIENTRY DrvDisableDriver(VOID) {
  EnterCriticalSection(&g_driver.driverLock);
  LeaveCriticalSection(&g_driver.driverLock);

  EnterCriticalSection(&g_driver.fontCacheLock);
  DeviceFontEntry* entry = g_driver.sharedFontCache;
  while (entry) {
    DeviceFontEntry* next = entry->next;
    ReleaseDeviceFontEntry(entry);
    entry = next;
  }
  g_driver.sharedFontCache = nullptr;
  LeaveCriticalSection(&g_driver.fontCacheLock);

  for (CRITICAL_SECTION* lock : kLocks) DeleteCriticalSection(lock);
}

}  // extern "C"

// The driver answers no escape through this entry, not even the query.
ULONG APIENTRY DrvEscape(SURFOBJ* surface, ULONG escape, ULONG inputSize, PVOID input,
                         ULONG outputSize, PVOID output) {
  (void)surface;
  (void)escape;
  (void)inputSize;
  (void)input;
  (void)outputSize;
  (void)output;
  return 0;
}

// The device has no fonts of its own.
PIFIMETRICS APIENTRY DrvQueryFont(DHPDEV device, ULONG_PTR fontFile, ULONG fontIndex,
                                  ULONG_PTR* identifier) {
  (void)device;
  (void)fontFile;
  (void)fontIndex;
  (void)identifier;
  return nullptr;
}
