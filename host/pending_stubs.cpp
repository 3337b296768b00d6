// Placeholders for the host units still to be written; each is removed as its unit lands.
#include "host/host_internal.h"

namespace host {
namespace internal {
void ResetLocale() {}
void ResetSpooler() {}
void ResetRegistry() {}
void ResetEngine() {}
}  // namespace internal
}  // namespace host

extern "C" {
int WINAPI GetLocaleInfoW(LCID, LCTYPE, LPWSTR, int) { return 0; }
BOOL WINAPI GetPrinterDriverW(HANDLE, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD) { return FALSE; }
BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD) { return FALSE; }
DWORD WINAPI GetPrinterDataW(HANDLE, LPWSTR, LPDWORD, LPBYTE, DWORD, LPDWORD) { return ERROR_FILE_NOT_FOUND; }
BOOL WINAPI GetPrinterW(HANDLE, DWORD, LPBYTE, DWORD, LPDWORD) { return FALSE; }
BOOL WINAPI WritePrinter(HANDLE, LPVOID, DWORD, LPDWORD) { return FALSE; }
LSTATUS WINAPI RegOpenKeyExW(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) { return ERROR_FILE_NOT_FOUND; }
LSTATUS WINAPI RegQueryValueExW(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD) { return ERROR_FILE_NOT_FOUND; }
LSTATUS WINAPI RegCloseKey(HKEY) { return ERROR_SUCCESS; }
DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR, LPDWORD) { return 0; }
BOOL WINAPI GetFileVersionInfoW(LPCWSTR, DWORD, DWORD, LPVOID) { return FALSE; }
BOOL WINAPI VerQueryValueW(LPCVOID, LPCWSTR, LPVOID*, PUINT) { return FALSE; }
HBITMAP APIENTRY EngCreateBitmap(SIZEL, LONG, ULONG, FLONG, PVOID) { return {}; }
BOOL APIENTRY EngAssociateSurface(HSURF, HDEV, FLONG) { return FALSE; }
BOOL APIENTRY EngMarkBandingSurface(HSURF) { return FALSE; }
BOOL APIENTRY EngDeleteSurface(HSURF) { return FALSE; }
SURFOBJ* APIENTRY EngLockSurface(HSURF) { return nullptr; }
void APIENTRY EngUnlockSurface(SURFOBJ*) {}
HPALETTE APIENTRY EngCreatePalette(ULONG, ULONG, ULONG*, FLONG, FLONG, FLONG) { return {}; }
BOOL APIENTRY EngDeletePalette(HPALETTE) { return FALSE; }
BOOL APIENTRY EngCheckAbort(SURFOBJ*) { return FALSE; }
void APIENTRY EngGetCurrentCodePage(PUSHORT, PUSHORT) {}
INT APIENTRY EngWideCharToMultiByte(UINT, LPWSTR, INT, LPSTR, INT) { return 0; }
PATHOBJ* APIENTRY CLIPOBJ_ppoGetPath(CLIPOBJ*) { return nullptr; }
void APIENTRY PATHOBJ_vEnumStart(PATHOBJ*) {}
BOOL APIENTRY PATHOBJ_bEnum(PATHOBJ*, PATHDATA*) { return FALSE; }
void APIENTRY EngDeletePath(PATHOBJ*) {}
}
