// Placeholders for the host units still to be written; each is removed as its unit lands.
#include "host/host_internal.h"

namespace host {
namespace internal {
void ResetEngine() {}
}  // namespace internal
}  // namespace host

extern "C" {
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
PATHOBJ* APIENTRY CLIPOBJ_ppoGetPath(CLIPOBJ*) { return nullptr; }
void APIENTRY PATHOBJ_vEnumStart(PATHOBJ*) {}
BOOL APIENTRY PATHOBJ_bEnum(PATHOBJ*, PATHDATA*) { return FALSE; }
void APIENTRY EngDeletePath(PATHOBJ*) {}
}
