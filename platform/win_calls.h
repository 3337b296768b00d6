// SPDX-License-Identifier: Apache-2.0
// The Windows calls the driver and the model-data library make, declared for the Linux host.
//
// host/ implements every one of them; on Windows the system headers declare them and the
// system libraries (kernel32, winspool, advapi32, version, gdi32) provide them.
#pragma once

#include "platform/win_types.h"

extern "C" {

// ---- kernel32: last error --------------------------------------------------------------
DWORD WINAPI GetLastError(void);
void WINAPI SetLastError(DWORD error);

// ---- kernel32: memory --------------------------------------------------------------------
HANDLE WINAPI HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize);
BOOL WINAPI HeapDestroy(HANDLE heap);
LPVOID WINAPI HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL WINAPI HeapFree(HANDLE heap, DWORD flags, LPVOID block);
HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes);
HGLOBAL WINAPI GlobalFree(HGLOBAL block);
HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL WINAPI LocalFree(HLOCAL block);

// ---- kernel32: critical sections --------------------------------------------------------
BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount);
void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section);
void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section);
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section);

// ---- kernel32: modules -----------------------------------------------------------------
HMODULE WINAPI LoadLibraryW(LPCWSTR fileName);
FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName);
BOOL WINAPI FreeLibrary(HMODULE module);

// ---- kernel32: files and read-only mapping -----------------------------------------------
HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, void* security,
                          DWORD creation, DWORD flags, HANDLE templateFile);
DWORD WINAPI GetFileSize(HANDLE file, LPDWORD fileSizeHigh);
HANDLE WINAPI CreateFileMappingW(HANDLE file, void* security, DWORD protect, DWORD maxSizeHigh,
                                 DWORD maxSizeLow, LPCWSTR name);
LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytes);
BOOL WINAPI UnmapViewOfFile(LPCVOID base);
BOOL WINAPI CloseHandle(HANDLE object);

// ---- kernel32: locale --------------------------------------------------------------------
int WINAPI GetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int chars);

// ---- winspool ----------------------------------------------------------------------------
BOOL WINAPI GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer,
                              DWORD bufferSize, LPDWORD needed);
BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR name, LPWSTR environment, DWORD level,
                                       LPBYTE buffer, DWORD bufferSize, LPDWORD needed);
DWORD WINAPI GetPrinterDataW(HANDLE printer, LPWSTR valueName, LPDWORD type, LPBYTE data,
                             DWORD size, LPDWORD needed);
BOOL WINAPI GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD bufferSize,
                        LPDWORD needed);
BOOL WINAPI WritePrinter(HANDLE printer, LPVOID bytes, DWORD count, LPDWORD written);

// ---- advapi32: registry ------------------------------------------------------------------
LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                             PHKEY result);
LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD size);
LSTATUS WINAPI RegCloseKey(HKEY key);

// ---- version -----------------------------------------------------------------------------
DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle);
BOOL WINAPI GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD size, LPVOID data);
BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length);

// ---- gdi32: the graphics engine ---------------------------------------------------------
HBITMAP APIENTRY EngCreateBitmap(SIZEL size, LONG width, ULONG format, FLONG flags, PVOID bits);
BOOL APIENTRY EngAssociateSurface(HSURF surface, HDEV device, FLONG hooks);
BOOL APIENTRY EngMarkBandingSurface(HSURF surface);
BOOL APIENTRY EngDeleteSurface(HSURF surface);
SURFOBJ* APIENTRY EngLockSurface(HSURF surface);
void APIENTRY EngUnlockSurface(SURFOBJ* surface);
HPALETTE APIENTRY EngCreatePalette(ULONG mode, ULONG colors, ULONG* entries, FLONG red,
                                   FLONG green, FLONG blue);
BOOL APIENTRY EngDeletePalette(HPALETTE palette);
BOOL APIENTRY EngCheckAbort(SURFOBJ* surface);
void APIENTRY EngGetCurrentCodePage(PUSHORT oemCodePage, PUSHORT ansiCodePage);
INT APIENTRY EngWideCharToMultiByte(UINT codePage, LPWSTR wide, INT wideBytes, LPSTR multi,
                                    INT multiBytes);
PATHOBJ* APIENTRY CLIPOBJ_ppoGetPath(CLIPOBJ* clip);
void APIENTRY PATHOBJ_vEnumStart(PATHOBJ* path);
BOOL APIENTRY PATHOBJ_bEnum(PATHOBJ* path, PATHDATA* data);
void APIENTRY EngDeletePath(PATHOBJ* path);

}  // extern "C"
