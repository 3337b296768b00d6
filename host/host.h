// SPDX-License-Identifier: Apache-2.0
// The host layer's own interface: how tests, benchmarks and tools set up the small Windows
// that the driver runs on, and what they can observe of it.
//
// The driver itself never includes this header; it sees only the Windows calls of
// platform/. Everything here is thread-safe unless a function says otherwise.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace host {

// ---- Text ---------------------------------------------------------------------------------

std::u16string Utf16(std::string_view utf8);
std::string Utf8(std::u16string_view utf16);

// The platform's wide strings are UTF-16: WCHAR is char16_t in our declarations and a
// 16-bit wchar_t in the Windows headers.
static_assert(sizeof(WCHAR) == sizeof(char16_t));
inline WCHAR* Wide(char16_t* text) { return reinterpret_cast<WCHAR*>(text); }
inline const WCHAR* Wide(const char16_t* text) { return reinterpret_cast<const WCHAR*>(text); }

// ---- File system ----------------------------------------------------------------------------
// Windows paths ("C:\drivers\TQ33KV.DLL") are mapped onto a directory of the file system:
// the drive letter becomes a directory (<root>/C/drivers/TQ33KV.DLL); backslashes and
// forward slashes both separate; names are matched exactly (case-sensitive). Relative paths
// and UNC paths are refused.

void SetWindowsRoot(const std::string& directory);
std::string WindowsRoot();
// The host path of a Windows path, or nothing when the path cannot be mapped.
std::optional<std::string> ToHostPath(std::u16string_view windowsPath);

// Files in memory: at a host path (ToHostPath), the file and version calls read these
// bytes, and LoadLibraryW loads the named host library, before anything on disk.
void SetMemoryFile(std::string hostPath, std::vector<uint8_t> bytes);
void SetMemoryLibrary(std::string hostPath, std::string hostLibrary);
bool RemoveMemoryFile(const std::string& hostPath);
// A memory file's bytes; nothing for a library or a path without a memory file.
std::optional<std::vector<uint8_t>> MemoryFileBytes(const std::string& hostPath);
// Whether a memory file or library is at the path.
bool IsMemoryFile(const std::string& hostPath);

// ---- Live objects -----------------------------------------------------------------------------
// Everything the host hands out that must be given back. Tests assert that a context's
// release, a surface's disable or a whole job leaves these where they were.

struct LiveObjects {
  int64_t heaps = 0;         // HeapCreate without HeapDestroy
  int64_t heapBlocks = 0;    // HeapAlloc without HeapFree or HeapDestroy
  int64_t globalBlocks = 0;  // GlobalAlloc without GlobalFree
  int64_t localBlocks = 0;   // LocalAlloc without LocalFree
  int64_t locks = 0;         // critical sections initialised and not deleted
  int64_t modules = 0;       // LoadLibraryW references not freed
  int64_t handles = 0;       // files and mappings not closed
  int64_t views = 0;         // MapViewOfFile without UnmapViewOfFile
  int64_t keys = 0;          // registry keys not closed
  int64_t surfaces = 0;      // EngCreateBitmap without EngDeleteSurface
  int64_t palettes = 0;      // EngCreatePalette without EngDeletePalette
  int64_t paths = 0;         // CLIPOBJ_ppoGetPath without EngDeletePath
  // Not an object: blocks, handles, views, modules, bitmaps and palettes released that were
  // not held (released twice, say), which Windows may not survive.
  int64_t badReleases = 0;

  bool operator==(const LiveObjects&) const = default;
  int64_t Total() const;
  std::string Describe() const;  // "heaps 1, heapBlocks 3" (only the non-zero counts)
};

LiveObjects Live();

// Bytes currently held in heap, global and local blocks, and the most ever held since the
// last ResetPeakBytes.
struct MemoryBytes {
  uint64_t current = 0;
  uint64_t peak = 0;
};
MemoryBytes Memory();
void ResetPeakBytes();

// Keeps large heap, global and local blocks and the engine's bitmaps when they are freed,
// to hand them out again to a later request (cleared when it asks for zeros), rather than
// freeing them; meanwhile the address sanitizer reports any use of them. Off (the default)
// gives back what is kept. For processes that print page after page, such as the fuzzers.
void KeepLargeBlocks(bool keep);

// ---- Failure injection ---------------------------------------------------------------------------
// Every host call that can fail counts its calls by kind. A test can make the nth call of
// one kind fail (counted from the moment it asks), every call from the nth on, or the nth
// fallible call of any kind. A failing call fails the way Windows does: null handle or
// FALSE with a last error, or a registry/printer-data error code.

enum class Call {
  HeapCreate,
  HeapAlloc,
  GlobalAlloc,
  LocalAlloc,
  LockCreate,
  LoadLibrary,
  GetProcAddress,
  CreateFile,
  CreateFileMapping,
  MapViewOfFile,
  GetPrinterDriver,
  GetPrinterDriverDirectory,
  GetPrinterData,
  GetPrinter,
  WritePrinter,
  RegOpenKey,
  RegQueryValue,
  GetFileVersionInfoSize,
  GetFileVersionInfo,
  VerQueryValue,
  GetLocaleInfo,
  EngCreateBitmap,
  EngAssociateSurface,
  EngMarkBandingSurface,
  EngLockSurface,
  EngCreatePalette,
  ClipPath,
  Count
};

const char* CallName(Call call);

// The nth call of this kind from now (1 = the next one) fails; with andAfter every later
// call of the kind fails too.
void FailCall(Call call, uint64_t nth, bool andAfter = false);
// The nth fallible call of any kind from now fails.
void FailAnyCall(uint64_t nth, bool andAfter = false);
// Calls made of a kind, and of all kinds, since the last ClearFailures.
uint64_t CallCount(Call call);
uint64_t AnyCallCount();
// Forgets every planned failure and restarts the counts.
void ClearFailures();
// How many planned failures have struck since the last ClearFailures.
uint64_t FailuresStruck();

// Called by the host's own calls: counts the call and tells whether it must fail.
bool ShouldFail(Call call);

// A function told of every fallible call as it is made, before it fails or not (the fault
// sweep notes where each call comes from); null for none. ClearFailures keeps it. It runs
// inside the call, which may hold a lock of the host's: it must not call the host.
using CallObserver = void (*)(Call call);
void SetCallObserver(CallObserver observer);

// ---- Locale and code pages -------------------------------------------------------------------

// LOCALE_ICOUNTRY and LOCALE_IMEASURE of the user default locale. Defaults "44" and "0".
void SetLocale(std::u16string country, std::u16string measure);
// The engine's current OEM and ANSI code pages. Defaults 437 and 1252.
void SetCodePages(uint16_t oem, uint16_t ansi);

// ---- Spooler ------------------------------------------------------------------------------------

struct PrinterSetup {
  std::u16string name = u"TQ-33";
  std::u16string driverName = u"TQ-33";
  std::u16string environment = u"Windows NT x86";
  std::u16string driverPath;  // Windows path of the driver library (DRIVER_INFO_2 pDriverPath)
  std::u16string dataFile;    // Windows path of the driver data file (pDataFile)
  std::u16string configFile;  // Windows path of the configuration library (pConfigFile)
  // The per-user default device mode (PRINTER_INFO_9), raw bytes of any size; absent when
  // the user has none.
  std::optional<std::vector<uint8_t>> userDevmode;
  // A misbehaving spooler for tests: the size probe of GetPrinterDriverW succeeds.
  bool driverProbeSucceeds = false;
};

// Registers a printer and returns its handle.
HANDLE AddPrinter(const PrinterSetup& setup);
void RemovePrinter(HANDLE printer);
void RemoveAllPrinters();
void SetUserDevmode(HANDLE printer, std::optional<std::vector<uint8_t>> devmode);

// Printer-data values (GetPrinterDataW): DWORD or binary; names compare case-insensitively.
void SetPrinterDataDword(HANDLE printer, std::u16string_view name, uint32_t value);
void SetPrinterDataBinary(HANDLE printer, std::u16string_view name, std::vector<uint8_t> bytes);
void DeletePrinterData(HANDLE printer, std::u16string_view name);

// The driver directory that GetPrinterDriverDirectoryW reports (level 1, local machine).
void SetDriverDirectory(std::u16string windowsPath);

// What WritePrinter received for a printer: every accepted byte, and the number of calls.
std::vector<uint8_t> SpooledBytes(HANDLE printer);
uint64_t WriteCalls(HANDLE printer);
void ClearSpooled(HANDLE printer);
// Exchanges what the printer received with *bytes, then clears the printer's: the caller
// has the bytes, and the printer writes into the caller's old memory, without copying.
void TakeSpooled(HANDLE printer, std::vector<uint8_t>* bytes);
// Sends every accepted write to a sink instead of keeping it; the sink's FALSE refuses the
// write. An empty function restores keeping the bytes.
void SetWriteSink(HANDLE printer, std::function<bool(const uint8_t* bytes, size_t count)> sink);
// The nth WritePrinter call on the printer from now accepts only `accepted` bytes (and
// reports success with that count).
void ShortWriteAt(HANDLE printer, uint64_t nth, uint32_t accepted);

// ---- Registry ------------------------------------------------------------------------------------

// A value under HKEY_LOCAL_MACHINE; the key path is matched case-insensitively.
void SetRegistryValue(std::u16string_view keyPath, std::u16string_view valueName, uint32_t type,
                      std::vector<uint8_t> bytes);
void ClearRegistry();

// ---- Version resources ----------------------------------------------------------------------------
// A resource library on the host is a small file carrying its version block. This writes
// one with the given translation pair (language, code page), e.g. 0x0409, 0x04B0.
bool WriteResourceLibrary(const std::string& hostPath, uint16_t language, uint16_t codePage);
// The bytes of such a file.
std::vector<uint8_t> ResourceLibraryBytes(uint16_t language, uint16_t codePage);

// ---- Graphics engine --------------------------------------------------------------------------------

// The largest bitmap (bytes of bits) EngCreateBitmap grants; 0 for no limit (the default).
void SetMaxBitmapBytes(uint64_t bytes);
// EngCheckAbort answers TRUE from now on (or FALSE again).
void SetAbort(bool abort);
// EngCheckAbort answers TRUE from its nth poll from now on.
void AbortAfterPolls(uint64_t nth);
uint64_t AbortPolls();

// The engine's device handles. A harness playing the engine creates one per printer
// context and binds the driver's device handle to it when DrvCompletePDEV is called, so
// that EngAssociateSurface can fill in the surface's dhpdev.
HDEV CreateEngineDevice();
void BindEngineDevice(HDEV device, DHPDEV driverDevice);
void DeleteEngineDevice(HDEV device);

// The engine's view of a surface created by the driver.
SURFOBJ* SurfaceObject(HSURF surface);
bool IsBandingSurface(HSURF surface);
bool IsAssociated(HSURF surface);
FLONG SurfaceHooks(HSURF surface);
int SurfaceLocks(HSURF surface);

// A palette's entries, empty for an unknown palette.
std::vector<ULONG> PaletteEntries(HPALETTE palette);

// Clip objects for the escape: a complexity and, for DC_COMPLEX, a path of records.
struct PathRecord {
  FLONG flags = 0;
  std::vector<POINTFIX> points;
};
CLIPOBJ* CreateClip(BYTE complexity, std::vector<PathRecord> path = {});
void DeleteClip(CLIPOBJ* clip);

// ---- Whole host -------------------------------------------------------------------------------------

// Forgets printers, registry values, locale and code pages, engine settings and planned
// failures; objects still alive stay counted.
void Reset();

}  // namespace host
