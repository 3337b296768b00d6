// SPDX-License-Identifier: Apache-2.0
// The driver's front door: the four exports and the sixteen DDI functions of its table.
#pragma once

#include "eps/eps_escape.h"
#include "platform/platform.h"
#include "raster/band_loop.h"

extern "C" {

// Exports
BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);
BOOL APIENTRY DrvEnableDriver(ULONG engineVersion, ULONG size, DRVENABLEDATA* enableData);
BOOL APIENTRY DrvQueryDriverInfo(DWORD mode, PVOID buffer, DWORD bufferSize, PDWORD needed);
VOID APIENTRY DrvDisableDriver(VOID);

}  // extern "C"

// The DDI table, reached only through DrvEnableDriver. DrvNextBand (raster/band_loop.h) and
// DrvDrawEscape (eps/eps_escape.h) are declared with their units.
DHPDEV APIENTRY DrvEnablePDEV(DEVMODEW* devmode, LPWSTR logAddress, ULONG patternCount,
                              HSURF* patterns, ULONG gdiInfoSize, ULONG* gdiInfo,
                              ULONG deviceInfoSize, DEVINFO* deviceInfo, HDEV engineDevice,
                              LPWSTR deviceName, HANDLE printer);
VOID APIENTRY DrvCompletePDEV(DHPDEV device, HDEV engineDevice);
VOID APIENTRY DrvDisablePDEV(DHPDEV device);
BOOL APIENTRY DrvResetPDEV(DHPDEV oldDevice, DHPDEV newDevice);
HSURF APIENTRY DrvEnableSurface(DHPDEV device);
VOID APIENTRY DrvDisableSurface(DHPDEV device);
ULONG APIENTRY DrvEscape(SURFOBJ* surface, ULONG escape, ULONG inputSize, PVOID input,
                         ULONG outputSize, PVOID output);
PIFIMETRICS APIENTRY DrvQueryFont(DHPDEV device, ULONG_PTR fontFile, ULONG fontIndex,
                                  ULONG_PTR* identifier);
BOOL APIENTRY DrvStartDoc(SURFOBJ* surface, LPWSTR documentName, DWORD jobId);
BOOL APIENTRY DrvStartPage(SURFOBJ* surface);
BOOL APIENTRY DrvSendPage(SURFOBJ* surface);
BOOL APIENTRY DrvEndDoc(SURFOBJ* surface, FLONG flags);
BOOL APIENTRY DrvStartBanding(SURFOBJ* surface, POINTL* origin);

// The DDI function table as DrvEnableDriver hands it out.
inline constexpr ULONG kDdiFunctionCount = 16;
extern const DRVFN kDdiFunctions[kDdiFunctionCount];
