// SPDX-License-Identifier: Apache-2.0
// The graphics engine's side of the DDI: bitmaps and surfaces, palettes, the abort poll,
// clip paths, code pages, and the engine's device handles.
//
// Every engine object has a small non-zero handle from one counter, so no two objects of
// any kind ever share a handle and a stale or foreign handle is refused. A surface's
// SURFOBJ is the engine's own record: a driver may rewrite its fields while it holds the
// surface locked (the band loop does), so the engine keeps the bits it allocated apart
// from the record and frees those.
#include <cstdlib>
#include <memory>
#include <unordered_map>

#include "host/host_internal.h"
#include "platform/slim_lock.h"

using host::Call;
using host::internal::EngineHandle;
using host::internal::EngineHandleValue;
using host::internal::Live;

namespace {

constexpr DWORD kErrorBusy = 170;
// The most colours a palette may have; protects the copy from a nonsensical count.
constexpr ULONG kMaxPaletteColors = 65536;

struct Surface {
  SURFOBJ object;
  BYTE* ownBits = nullptr;  // bits the engine allocated, or null for a caller's bits
  FLONG hooks = 0;
  bool associated = false;
  bool banding = false;
  int locks = 0;
};

struct Clip {
  CLIPOBJ object;
  std::vector<host::PathRecord> path;
};

struct Path {
  PATHOBJ object;
  std::vector<host::PathRecord> records;
  size_t next = SIZE_MAX;  // the record PATHOBJ_bEnum gives next: none before PATHOBJ_vEnumStart
};

struct Engine {
  SlimLock lock;
  uint32_t lastHandle = 0;
  std::unordered_map<uint32_t, std::unique_ptr<Surface>> surfaces;
  std::unordered_map<uint32_t, std::vector<ULONG>> palettes;
  std::unordered_map<uint32_t, DHPDEV> devices;  // engine device -> driver device bound to it
  std::unordered_map<const CLIPOBJ*, std::unique_ptr<Clip>> clips;
  std::unordered_map<const PATHOBJ*, std::unique_ptr<Path>> paths;
  uint64_t maxBitmapBytes = 0;  // 0: no limit
  bool abort = false;
  uint64_t polls = 0;
  uint64_t abortAt = 0;  // the poll from which EngCheckAbort answers TRUE; 0: none planned
  USHORT oemCodePage = 437;
  USHORT ansiCodePage = 1252;
};

Engine& Eng() {
  static Engine engine;
  return engine;
}

// Call with the engine's lock held.
uint32_t NewHandleLocked(Engine& engine) {
  if (++engine.lastHandle == 0) ++engine.lastHandle;
  return engine.lastHandle;
}

// The surface behind a handle, or null; call with the engine's lock held.
Surface* FindSurfaceLocked(Engine& engine, HSURF handle) {
  auto it = engine.surfaces.find(EngineHandleValue(handle));
  return it == engine.surfaces.end() ? nullptr : it->second.get();
}

ULONG BitsPerPixel(ULONG format) {
  switch (format) {
    case BMF_1BPP:
      return 1;
    case BMF_4BPP:
      return 4;
    case BMF_8BPP:
      return 8;
    case BMF_24BPP:
      return 24;
    default:
      return 0;
  }
}

ULONG CountCurves(const std::vector<host::PathRecord>& records) {
  uint64_t curves = 0;
  for (const host::PathRecord& record : records) {
    uint64_t points = record.points.size();
    if ((record.flags & PD_BEGINSUBPATH) && points > 0) --points;
    curves += (record.flags & PD_BEZIERS) ? points / 3 : points;
  }
  return static_cast<ULONG>(curves);
}

// A bitmap's own bits, zeroed: the host's large-block memory on Linux; the C heap in the
// stand-in engine under Wine, which has no host memory unit.
void* TakeBitmapBits(size_t bytes) {
#if defined(_WIN32)
  return std::calloc(1, bytes);
#else
  return host::internal::TakeBytes(bytes, true);
#endif
}

void GiveBitmapBits(void* bits, size_t bytes) {
#if defined(_WIN32)
  (void)bytes;
  std::free(bits);
#else
  host::internal::GiveBytes(bits, bytes);
#endif
}

}  // namespace

namespace host {

void SetMaxBitmapBytes(uint64_t bytes) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  engine.maxBitmapBytes = bytes;
}

void SetAbort(bool abort) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  engine.abort = abort;
  if (!abort) engine.abortAt = 0;
}

void AbortAfterPolls(uint64_t nth) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  engine.abortAt = nth == 0 ? 0 : engine.polls + nth;
}

void SetCodePages(uint16_t oem, uint16_t ansi) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  engine.oemCodePage = oem;
  engine.ansiCodePage = ansi;
}

uint64_t AbortPolls() {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  return engine.polls;
}

HDEV CreateEngineDevice() {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  uint32_t handle = NewHandleLocked(engine);
  engine.devices.emplace(handle, nullptr);
  return EngineHandle<HDEV>(handle);
}

void BindEngineDevice(HDEV device, DHPDEV driverDevice) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  auto it = engine.devices.find(EngineHandleValue(device));
  if (it != engine.devices.end()) it->second = driverDevice;
}

void DeleteEngineDevice(HDEV device) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  engine.devices.erase(EngineHandleValue(device));
}

SURFOBJ* SurfaceObject(HSURF surface) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  Surface* found = FindSurfaceLocked(engine, surface);
  return found ? &found->object : nullptr;
}

bool IsBandingSurface(HSURF surface) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  Surface* found = FindSurfaceLocked(engine, surface);
  return found && found->banding;
}

bool IsAssociated(HSURF surface) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  Surface* found = FindSurfaceLocked(engine, surface);
  return found && found->associated;
}

FLONG SurfaceHooks(HSURF surface) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  Surface* found = FindSurfaceLocked(engine, surface);
  return found ? found->hooks : 0;
}

int SurfaceLocks(HSURF surface) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  Surface* found = FindSurfaceLocked(engine, surface);
  return found ? found->locks : 0;
}

std::vector<ULONG> PaletteEntries(HPALETTE palette) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  auto it = engine.palettes.find(EngineHandleValue(palette));
  return it == engine.palettes.end() ? std::vector<ULONG>{} : it->second;
}

CLIPOBJ* CreateClip(BYTE complexity, std::vector<PathRecord> path) {
  auto clip = std::make_unique<Clip>();
  clip->object = CLIPOBJ{};
  clip->object.iDComplexity = complexity;
  clip->path = std::move(path);
  CLIPOBJ* object = &clip->object;
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  engine.clips.emplace(object, std::move(clip));
  return object;
}

void DeleteClip(CLIPOBJ* clip) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  engine.clips.erase(clip);
}

namespace internal {

void ResetEngine() {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  engine.maxBitmapBytes = 0;
  engine.abort = false;
  engine.polls = 0;
  engine.abortAt = 0;
  engine.oemCodePage = 437;
  engine.ansiCodePage = 1252;
}

}  // namespace internal
}  // namespace host

extern "C" {

HBITMAP APIENTRY EngCreateBitmap(SIZEL size, LONG width, ULONG format, FLONG flags, PVOID bits) try {
  ULONG bitsPerPixel = BitsPerPixel(format);
  if (bitsPerPixel == 0 || size.cx <= 0 || size.cy <= 0 || width < 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  // Rows are as wide as asked, or padded to whole 32-bit words when the width is left 0.
  uint64_t rowBytes = (static_cast<uint64_t>(size.cx) * bitsPerPixel + 7) / 8;
  uint64_t stride = width != 0 ? static_cast<uint64_t>(width)
                               : (static_cast<uint64_t>(size.cx) * bitsPerPixel + 31) / 32 * 4;
  if (stride < rowBytes) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  if (host::ShouldFail(Call::EngCreateBitmap)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return {};
  }
  uint64_t total = stride * static_cast<uint64_t>(size.cy);
  Engine& engine = Eng();
  uint64_t limit = 0;
  {
    std::lock_guard guard(engine.lock);
    limit = engine.maxBitmapBytes;
  }
  // cjBits and lDelta are 32-bit: no bitmap can be larger than they can describe.
  if (stride > INT32_MAX || total > UINT32_MAX || (limit != 0 && total > limit)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return {};
  }
  auto surface = std::make_unique<Surface>();
  BYTE* ownBits = nullptr;
  BYTE* base = static_cast<BYTE*>(bits);
  if (!base) {
    ownBits = static_cast<BYTE*>(TakeBitmapBits(static_cast<size_t>(total)));
    if (!ownBits) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return {};
    }
    base = ownBits;
  }
  SURFOBJ& object = surface->object;
  object = SURFOBJ{};
  object.sizlBitmap = size;
  object.cjBits = static_cast<ULONG>(total);
  object.pvBits = base;
  // A bottom-up bitmap starts its first scan line at the end of the bits.
  bool topDown = (flags & BMF_TOPDOWN) != 0;
  object.pvScan0 = topDown ? base : base + (total - stride);
  object.lDelta = topDown ? static_cast<LONG>(stride) : -static_cast<LONG>(stride);
  object.iUniq = 1;
  object.iBitmapFormat = format;
  object.iType = STYPE_BITMAP;
  object.fjBitmap = static_cast<USHORT>(flags);
  surface->ownBits = ownBits;

  std::lock_guard guard(engine.lock);
  uint32_t handle = NewHandleLocked(engine);
  object.hsurf = EngineHandle<HSURF>(handle);
  try {
    engine.surfaces.emplace(handle, std::move(surface));
  } catch (const std::bad_alloc&) {
    if (ownBits) GiveBitmapBits(ownBits, static_cast<size_t>(total));
    throw;
  }
  host::internal::CountUp(Live::Surfaces);
  return EngineHandle<HBITMAP>(handle);
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(HBITMAP{});
}

BOOL APIENTRY EngAssociateSurface(HSURF surface, HDEV device, FLONG hooks) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  Surface* found = FindSurfaceLocked(engine, surface);
  auto boundTo = engine.devices.find(EngineHandleValue(device));
  if (!found || boundTo == engine.devices.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (host::ShouldFail(Call::EngAssociateSurface)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  found->object.hdev = device;
  found->object.dhpdev = boundTo->second;
  found->hooks = hooks;
  found->associated = true;
  return TRUE;
}

BOOL APIENTRY EngMarkBandingSurface(HSURF surface) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  Surface* found = FindSurfaceLocked(engine, surface);
  if (!found) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (host::ShouldFail(Call::EngMarkBandingSurface)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  found->banding = true;
  return TRUE;
}

BOOL APIENTRY EngDeleteSurface(HSURF surface) {
  std::unique_ptr<Surface> removed;
  {
    Engine& engine = Eng();
    std::lock_guard guard(engine.lock);
    auto it = engine.surfaces.find(EngineHandleValue(surface));
    if (it == engine.surfaces.end()) {
      host::internal::CountUp(Live::BadReleases);
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    // A locked surface is in use: whoever holds the lock still reads its record.
    if (it->second->locks > 0) {
      SetLastError(kErrorBusy);
      return FALSE;
    }
    removed = std::move(it->second);
    engine.surfaces.erase(it);
  }
  if (removed->ownBits) GiveBitmapBits(removed->ownBits, removed->object.cjBits);
  host::internal::CountDown(Live::Surfaces);
  return TRUE;
}

SURFOBJ* APIENTRY EngLockSurface(HSURF surface) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  Surface* found = FindSurfaceLocked(engine, surface);
  if (!found) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (host::ShouldFail(Call::EngLockSurface)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  ++found->locks;
  return &found->object;
}

void APIENTRY EngUnlockSurface(SURFOBJ* surface) {
  // Found by address: the record's own hsurf may have been rewritten by the lock holder.
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  for (auto& [handle, found] : engine.surfaces) {
    if (&found->object == surface) {
      if (found->locks > 0) --found->locks;
      return;
    }
  }
}

HPALETTE APIENTRY EngCreatePalette(ULONG mode, ULONG colors, ULONG* entries, FLONG red,
                                   FLONG green, FLONG blue) try {
  (void)red;
  (void)green;
  (void)blue;
  // Indexed palettes are the only kind a printer driver of gray levels needs.
  if (mode != PAL_INDEXED || colors == 0 || colors > kMaxPaletteColors || !entries) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return {};
  }
  if (host::ShouldFail(Call::EngCreatePalette)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return {};
  }
  std::vector<ULONG> copy(entries, entries + colors);
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  uint32_t handle = NewHandleLocked(engine);
  engine.palettes.emplace(handle, std::move(copy));
  host::internal::CountUp(Live::Palettes);
  return EngineHandle<HPALETTE>(handle);
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(HPALETTE{});
}

BOOL APIENTRY EngDeletePalette(HPALETTE palette) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  if (engine.palettes.erase(EngineHandleValue(palette)) == 0) {
    host::internal::CountUp(Live::BadReleases);
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  host::internal::CountDown(Live::Palettes);
  return TRUE;
}

BOOL APIENTRY EngCheckAbort(SURFOBJ* surface) {
  (void)surface;
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  ++engine.polls;
  return (engine.abort || (engine.abortAt != 0 && engine.polls >= engine.abortAt)) ? TRUE : FALSE;
}

PATHOBJ* APIENTRY CLIPOBJ_ppoGetPath(CLIPOBJ* clip) try {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  auto it = engine.clips.find(clip);
  if (it == engine.clips.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (host::ShouldFail(Call::ClipPath)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto path = std::make_unique<Path>();
  path->records = it->second->path;
  path->object.fl = 0;
  path->object.cCurves = CountCurves(path->records);
  PATHOBJ* object = &path->object;
  engine.paths.emplace(object, std::move(path));
  host::internal::CountUp(Live::Paths);
  return object;
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(nullptr);
}

void APIENTRY PATHOBJ_vEnumStart(PATHOBJ* path) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  auto it = engine.paths.find(path);
  if (it != engine.paths.end()) it->second->next = 0;
}

BOOL APIENTRY PATHOBJ_bEnum(PATHOBJ* path, PATHDATA* data) {
  if (!data) return FALSE;
  *data = PATHDATA{0, 0, nullptr};
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  auto it = engine.paths.find(path);
  if (it == engine.paths.end()) return FALSE;
  Path& found = *it->second;
  if (found.next >= found.records.size()) return FALSE;
  host::PathRecord& record = found.records[found.next++];
  data->flags = record.flags;
  data->count = static_cast<ULONG>(record.points.size());
  data->pptfx = record.points.empty() ? nullptr : record.points.data();
  // TRUE while more records follow this one.
  return found.next < found.records.size() ? TRUE : FALSE;
}

// A path the engine did not give out (or gave and took back) is the driver's fault.
void APIENTRY EngDeletePath(PATHOBJ* path) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  if (engine.paths.erase(path) != 0) {
    host::internal::CountDown(Live::Paths);
  } else {
    host::internal::CountUp(Live::BadReleases);
  }
}

void APIENTRY EngGetCurrentCodePage(PUSHORT oemCodePage, PUSHORT ansiCodePage) {
  Engine& engine = Eng();
  std::lock_guard guard(engine.lock);
  if (oemCodePage) *oemCodePage = engine.oemCodePage;
  if (ansiCodePage) *ansiCodePage = engine.ansiCodePage;
}

// Converts exactly wideBytes / 2 units (NULs included) into at most multiBytes bytes:
// ASCII as it is, anything else as '?', whatever the code page. Returns the bytes
// written, or -1 for a missing buffer or a negative size.
INT APIENTRY EngWideCharToMultiByte(UINT codePage, LPWSTR wide, INT wideBytes, LPSTR multi,
                                    INT multiBytes) {
  (void)codePage;
  if (!wide || !multi || wideBytes < 0 || multiBytes < 0) return -1;
  INT units = wideBytes / 2;
  INT count = units < multiBytes ? units : multiBytes;
  for (INT i = 0; i < count; ++i) {
    multi[i] = wide[i] < 0x80 ? static_cast<CHAR>(wide[i]) : '?';
  }
  return count;
}

}  // extern "C"
