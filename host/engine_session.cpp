// SPDX-License-Identifier: Apache-2.0
// The engine harness: the driver library loaded once per process and enabled through its
// DrvEnableDriver, and per session one device context with its surface, driven through
// the DDI table exactly in the order the Windows engine calls it.
#include "host/engine_session.h"

#include <cstring>
#include <map>

#include "platform/slim_lock.h"

namespace host {

// The loaded driver library: its module and the DDI table DrvEnableDriver handed out.
// Shared by every session of the process; the last one to go disables and unloads it.
struct EngineSession::Driver {
  HMODULE module = nullptr;
  std::vector<DRVFN> table;
  int users = 0;

  PFN Function(ULONG index) const {
    for (const DRVFN& entry : table) {
      if (entry.iFunc == index) return entry.pfn;
    }
    return nullptr;
  }
};

namespace {

using Driver = EngineSession::Driver;

using EnableDriverFn = BOOL(APIENTRY*)(ULONG, ULONG, DRVENABLEDATA*);
using DisableDriverFn = VOID(APIENTRY*)(VOID);
using EnablePDEVFn = DHPDEV(APIENTRY*)(DEVMODEW*, LPWSTR, ULONG, HSURF*, ULONG, ULONG*, ULONG,
                                       DEVINFO*, HDEV, LPWSTR, HANDLE);
using CompletePDEVFn = VOID(APIENTRY*)(DHPDEV, HDEV);
using DisablePDEVFn = VOID(APIENTRY*)(DHPDEV);
using ResetPDEVFn = BOOL(APIENTRY*)(DHPDEV, DHPDEV);
using EnableSurfaceFn = HSURF(APIENTRY*)(DHPDEV);
using DisableSurfaceFn = VOID(APIENTRY*)(DHPDEV);
using DrawEscapeFn = ULONG(APIENTRY*)(SURFOBJ*, ULONG, CLIPOBJ*, RECTL*, ULONG, PVOID);
using StartDocFn = BOOL(APIENTRY*)(SURFOBJ*, LPWSTR, DWORD);
using SurfaceFn = BOOL(APIENTRY*)(SURFOBJ*);  // DrvStartPage, DrvSendPage
using EndDocFn = BOOL(APIENTRY*)(SURFOBJ*, FLONG);
using BandFn = BOOL(APIENTRY*)(SURFOBJ*, POINTL*);  // DrvStartBanding, DrvNextBand

// More entries than any driver has: a count beyond it is not a table.
constexpr ULONG kMaxTableEntries = 256;
// Bands the engine renders of one page before it gives up on a driver that never ends it.
constexpr int kMaxBandsPerPage = 4096;
// The engine's number of standard hatch patterns offered to DrvEnablePDEV.
constexpr ULONG kPatternCount = 6;
constexpr BYTE kWhite = 0xFF;

// The table's entry for a DDI index as the function type it has; null when missing.
template <typename Function>
Function Entry(const Driver& driver, ULONG index) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(driver.Function(index)));
}

// The status of a failed call.
DdiStatus Failed(std::string call, DWORD lastError) { return {false, std::move(call), lastError}; }

struct DriverRegistry {
  SlimLock lock;
  std::map<HMODULE, std::unique_ptr<Driver>> drivers;
};

// The process's drivers, by module.
DriverRegistry& Registry() {
  static DriverRegistry registry;
  return registry;
}

// Disables and unloads a driver whose last user has gone; call with the registry locked.
void UnloadLocked(DriverRegistry& registry, Driver* driver) {
  if (auto disable = Entry<DisableDriverFn>(*driver, INDEX_DrvDisableDriver)) disable();
  HMODULE module = driver->module;
  registry.drivers.erase(module);
  FreeLibrary(module);
}

// Drops one session's hold on a driver; the last one unloads it.
void ReleaseDriver(Driver* driver) {
  DriverRegistry& registry = Registry();
  std::lock_guard guard(registry.lock);
  if (--driver->users == 0) UnloadLocked(registry, driver);
}

// The driver library at path, loaded and enabled on first use. Null with the failing call
// in status.
std::shared_ptr<Driver> AcquireDriver(std::u16string_view path, DdiStatus* status) {
  DriverRegistry& registry = Registry();
  std::lock_guard guard(registry.lock);
  const std::u16string fileName(path);
  SetLastError(0);
  HMODULE module = LoadLibraryW(Wide(fileName.c_str()));
  if (!module) {
    *status = Failed("LoadLibraryW", GetLastError());
    return nullptr;
  }
  Driver* driver = nullptr;
  auto found = registry.drivers.find(module);
  if (found != registry.drivers.end()) {
    // One reference to the library serves every session.
    FreeLibrary(module);
    driver = found->second.get();
  } else {
    auto enable = reinterpret_cast<EnableDriverFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, "DrvEnableDriver")));
    if (!enable) {
      *status = Failed("GetProcAddress(DrvEnableDriver)", GetLastError());
      FreeLibrary(module);
      return nullptr;
    }
    DRVENABLEDATA data = {};
    SetLastError(0);
    if (!enable(DDI_DRIVER_VERSION_NT4, sizeof(data), &data)) {
      *status = Failed("DrvEnableDriver", GetLastError());
      FreeLibrary(module);
      return nullptr;
    }
    auto entry = std::make_unique<Driver>();
    entry->module = module;
    if (data.pdrvfn && data.c <= kMaxTableEntries)
      entry->table.assign(data.pdrvfn, data.pdrvfn + data.c);
    driver = entry.get();
    registry.drivers.emplace(module, std::move(entry));
    if (driver->table.empty()) {
      *status = Failed("DrvEnableDriver (no DDI table)", 0);
      UnloadLocked(registry, driver);
      return nullptr;
    }
  }
  ++driver->users;
  return std::shared_ptr<Driver>(driver, ReleaseDriver);
}

// Renders the part of the image that a bitmap placed at origin covers: one copy per row,
// white around the image. FALSE for a bitmap whose description does not fit its bits.
bool RenderInto(SURFOBJ* target, POINTL origin, const GrayImage& image) {
  if (!target || !target->pvBits || target->lDelta <= 0 || target->sizlBitmap.cx <= 0 ||
      target->sizlBitmap.cy <= 0)
    return false;
  const size_t stride = static_cast<size_t>(target->lDelta);
  const size_t width = static_cast<size_t>(target->sizlBitmap.cx) < stride
                           ? static_cast<size_t>(target->sizlBitmap.cx)
                           : stride;
  size_t rows = target->cjBits / stride;
  if (static_cast<size_t>(target->sizlBitmap.cy) < rows) rows = target->sizlBitmap.cy;
  BYTE* bits = static_cast<BYTE*>(target->pvBits);

  // The columns of the image inside the bitmap, in bitmap coordinates.
  const LONGLONG left = origin.x > 0 ? origin.x : 0;
  const LONGLONG right = static_cast<LONGLONG>(origin.x) + static_cast<LONGLONG>(width) <
                                 image.width
                             ? static_cast<LONGLONG>(origin.x) + static_cast<LONGLONG>(width)
                             : image.width;
  const size_t before = left < right ? static_cast<size_t>(left - origin.x) : width;
  const size_t inside = left < right ? static_cast<size_t>(right - left) : 0;

  for (size_t r = 0; r < rows; ++r) {
    BYTE* row = bits + r * stride;
    const LONGLONG y = static_cast<LONGLONG>(origin.y) + static_cast<LONGLONG>(r);
    if (y < 0 || y >= image.height || inside == 0) {
      std::memset(row, kWhite, width);
      continue;
    }
    std::memset(row, kWhite, before);
    std::memcpy(row + before, image.Row(static_cast<LONG>(y)) + left, inside);
    std::memset(row + before + inside, kWhite, width - before - inside);
  }
  return true;
}

}  // namespace

// The engine's copy of an application's device mode: at least a whole public record and
// as long as its own size fields say, zero-padded.
std::vector<uint8_t> EngineDevmode(const std::vector<uint8_t>& bytes) {
  // At least a whole public part, so that the size fields are read from the record as the
  // driver will see it (a short record's missing bytes are zeros), then as many bytes as
  // those fields claim.
  std::vector<uint8_t> copy = bytes;
  if (copy.size() < sizeof(DEVMODEW)) copy.resize(sizeof(DEVMODEW), 0);
  WORD size = 0;
  WORD extra = 0;
  std::memcpy(&size, copy.data() + offsetof(DEVMODEW, dmSize), sizeof(size));
  std::memcpy(&extra, copy.data() + offsetof(DEVMODEW, dmDriverExtra), sizeof(extra));
  const size_t declared = static_cast<size_t>(size) + extra;
  if (declared > copy.size()) copy.resize(declared, 0);
  return copy;
}

// "ok", or the failed call with its last error.
std::string DdiStatus::Describe() const {
  if (ok) return "ok";
  return call + " failed (last error " + std::to_string(lastError) + ")";
}

// An image of one level; negative sizes give an empty image.
GrayImage GrayImage::Filled(LONG width, LONG height, BYTE level) {
  GrayImage image;
  image.width = width > 0 ? width : 0;
  image.height = height > 0 ? height : 0;
  image.pixels.assign(static_cast<size_t>(image.width) * image.height, level);
  return image;
}

// Loads the driver and enables a context and its surface; null with the failing call.
std::unique_ptr<EngineSession> EngineSession::Open(std::u16string_view driverPath,
                                                   HANDLE printer,
                                                   const SessionOptions& options,
                                                   DdiStatus* status) {
  DdiStatus local;
  DdiStatus& result = status ? *status : local;
  result = DdiStatus{};
  std::unique_ptr<EngineSession> session(new EngineSession());
  session->printer_ = printer;
  session->driver_ = AcquireDriver(driverPath, &result);
  if (!session->driver_) return nullptr;
  result = session->EnableContext(options);
  if (!result) return nullptr;
  return session;
}

// Disables whatever the session still holds.
EngineSession::~EngineSession() { Close(); }

// DrvEnablePDEV, DrvCompletePDEV and, unless the options say otherwise, DrvEnableSurface;
// on failure nothing of the new context is left.
DdiStatus EngineSession::EnableContext(const SessionOptions& options) {
  options_ = options;
  devmode_.clear();
  if (options.devmode) devmode_ = EngineDevmode(*options.devmode);
  auto enablePDEV = Entry<EnablePDEVFn>(*driver_, INDEX_DrvEnablePDEV);
  auto completePDEV = Entry<CompletePDEVFn>(*driver_, INDEX_DrvCompletePDEV);
  auto enableSurface = Entry<EnableSurfaceFn>(*driver_, INDEX_DrvEnableSurface);
  if (!enablePDEV || !completePDEV || !enableSurface)
    return Failed("DrvEnableDriver (incomplete DDI table)", 0);

  engineDevice_ = CreateEngineDevice();
  HSURF patterns[kPatternCount] = {};
  std::u16string name = options.deviceName;
  gdiInfo_ = GDIINFO{};
  deviceInfo_ = DEVINFO{};
  SetLastError(0);
  device_ = enablePDEV(devmode_.empty() ? nullptr : reinterpret_cast<DEVMODEW*>(devmode_.data()),
                       nullptr, kPatternCount, patterns, sizeof(GDIINFO),
                       reinterpret_cast<ULONG*>(&gdiInfo_), sizeof(DEVINFO), &deviceInfo_,
                       engineDevice_, Wide(name.data()), printer_);
  if (!device_) {
    DdiStatus failed = Failed("DrvEnablePDEV", GetLastError());
    DisableContext();
    return failed;
  }
  BindEngineDevice(engineDevice_, device_);
  completePDEV(device_, engineDevice_);
  if (!options.surface) return {};

  SetLastError(0);
  surface_ = enableSurface(device_);
  if (!surface_) {
    // The engine does not disable a surface it never got.
    DdiStatus failed = Failed("DrvEnableSurface", GetLastError());
    DisableContext();
    return failed;
  }
  return {};
}

// DrvDisableSurface and DrvDisablePDEV for what the session holds, and its engine device.
void EngineSession::DisableContext() {
  if (surface_) {
    if (auto disableSurface = Entry<DisableSurfaceFn>(*driver_, INDEX_DrvDisableSurface))
      disableSurface(device_);
    surface_ = {};
  }
  if (device_) {
    if (auto disablePDEV = Entry<DisablePDEVFn>(*driver_, INDEX_DrvDisablePDEV))
      disablePDEV(device_);
    device_ = nullptr;
  }
  if (engineDevice_) {
    DeleteEngineDevice(engineDevice_);
    engineDevice_ = {};
  }
}

// Disables the context and lets go of the driver; does nothing the second time.
void EngineSession::Close() {
  if (!driver_) return;
  DisableContext();
  inDocument_ = false;
  driver_.reset();
}

// The engine's record of the surface, or null without one.
SURFOBJ* EngineSession::surfaceObject() const { return surface_ ? SurfaceObject(surface_) : nullptr; }

// Whether the driver marked its surface for banding.
bool EngineSession::banded() const { return surface_ && IsBandingSurface(surface_); }

// The page in surface coordinates; 0 x 0 without a surface.
SIZEL EngineSession::pageSize() const {
  if (banded()) {
    return {static_cast<LONG>(gdiInfo_.ulHorzRes), static_cast<LONG>(gdiInfo_.ulVertRes)};
  }
  const SURFOBJ* object = surfaceObject();
  return object ? object->sizlBitmap : SIZEL{0, 0};
}

// DrvStartDoc; the failed call when the driver refuses.
DdiStatus EngineSession::StartDoc(std::u16string_view documentName, DWORD jobId) {
  auto startDoc = driver_ ? Entry<StartDocFn>(*driver_, INDEX_DrvStartDoc) : nullptr;
  if (!startDoc || !surface_) return Failed("DrvStartDoc (no surface)", 0);
  std::u16string name(documentName);
  SetLastError(0);
  if (!startDoc(surfaceObject(), Wide(name.data()), jobId))
    return Failed("DrvStartDoc", GetLastError());
  inDocument_ = true;
  return {};
}

// DrvStartPage; the failed call when the driver refuses.
DdiStatus EngineSession::StartPage() {
  auto startPage = driver_ ? Entry<SurfaceFn>(*driver_, INDEX_DrvStartPage) : nullptr;
  if (!startPage || !surface_) return Failed("DrvStartPage (no surface)", 0);
  SetLastError(0);
  if (!startPage(surfaceObject())) return Failed("DrvStartPage", GetLastError());
  return {};
}

// DrvSendPage; the failed call when the driver refuses.
DdiStatus EngineSession::SendPage() {
  auto sendPage = driver_ ? Entry<SurfaceFn>(*driver_, INDEX_DrvSendPage) : nullptr;
  if (!sendPage || !surface_) return Failed("DrvSendPage (no surface)", 0);
  SetLastError(0);
  if (!sendPage(surfaceObject())) return Failed("DrvSendPage", GetLastError());
  return {};
}

// DrvEndDoc, with ED_ABORTDOC when asked; the failed call when the driver refuses.
DdiStatus EngineSession::EndDoc(bool abort) {
  auto endDoc = driver_ ? Entry<EndDocFn>(*driver_, INDEX_DrvEndDoc) : nullptr;
  if (!endDoc || !surface_) return Failed("DrvEndDoc (no surface)", 0);
  SetLastError(0);
  if (!endDoc(surfaceObject(), abort ? ED_ABORTDOC : 0)) return Failed("DrvEndDoc", GetLastError());
  inDocument_ = false;
  return {};
}

// The band loop of one page; the failed call when the driver refuses a band or never
// ends the page.
DdiStatus EngineSession::RenderBands(const GrayImage& image) {
  auto startBanding = Entry<BandFn>(*driver_, INDEX_DrvStartBanding);
  auto nextBand = Entry<BandFn>(*driver_, INDEX_DrvNextBand);
  if (!startBanding || !nextBand) return Failed("DrvStartBanding (not in the DDI table)", 0);
  SURFOBJ* band = surfaceObject();
  POINTL origin = {};
  SetLastError(0);
  if (!startBanding(band, &origin)) return Failed("DrvStartBanding", GetLastError());
  for (int i = 0; i < kMaxBandsPerPage; ++i) {
    if (options_.bandObserver) options_.bandObserver(*band, origin);
    if (!RenderInto(band, origin, image)) return Failed("rendering a band", 0);
    ++bandsRendered_;
    SetLastError(0);
    if (!nextBand(band, &origin)) return Failed("DrvNextBand", GetLastError());
    if (origin.x == -1 && origin.y == -1) return {};
  }
  return Failed("DrvNextBand (never ended the page)", 0);
}

// Renders the page, in bands when the surface is banded; the failed call otherwise.
DdiStatus EngineSession::RenderPage(const GrayImage& image) {
  if (!driver_ || !surface_) return Failed("rendering (no surface)", 0);
  if (image.width < 0 || image.height < 0 ||
      image.pixels.size() < static_cast<size_t>(image.width) * static_cast<size_t>(image.height))
    return Failed("rendering (image smaller than its size)", 0);
  bandsRendered_ = 0;
  if (!banded()) {
    if (!RenderInto(surfaceObject(), {0, 0}, image)) return Failed("rendering the page", 0);
    return {};
  }
  DdiStatus rendered = RenderBands(image);
  if (!rendered) return rendered;
  return options_.sendPageAfterBands ? SendPage() : DdiStatus{};
}

// One page from DrvStartPage to DrvSendPage; the first failed call.
DdiStatus EngineSession::PrintPage(const GrayImage& image) {
  DdiStatus status = StartPage();
  if (!status) return status;
  status = RenderPage(image);
  if (!status) return status;
  return banded() ? DdiStatus{} : SendPage();
}

// One document of pages; the first failed call, after which the document is aborted.
DdiStatus EngineSession::PrintDocument(const std::vector<GrayImage>& pages,
                                       std::u16string_view documentName) {
  DdiStatus status = StartDoc(documentName);
  if (!status) return status;
  for (const GrayImage& page : pages) {
    status = PrintPage(page);
    if (!status) {
      EndDoc(true);
      return status;
    }
  }
  return EndDoc(false);
}

// Replaces the context for new settings as the engine does; the failed call, with the
// old context kept, otherwise.
DdiStatus EngineSession::Reset(const SessionOptions& options) {
  auto resetPDEV = driver_ ? Entry<ResetPDEVFn>(*driver_, INDEX_DrvResetPDEV) : nullptr;
  if (!resetPDEV || !device_) return Failed("DrvResetPDEV (no device)", 0);

  // The old context stays as it is until the new one stands.
  const SessionOptions oldOptions = options_;
  const std::vector<uint8_t> oldDevmode = devmode_;
  const HDEV oldEngineDevice = engineDevice_;
  const DHPDEV oldDevice = device_;
  const HSURF oldSurface = surface_;
  const GDIINFO oldGdiInfo = gdiInfo_;
  const DEVINFO oldDeviceInfo = deviceInfo_;
  auto restoreOld = [&] {
    options_ = oldOptions;
    devmode_ = oldDevmode;
    engineDevice_ = oldEngineDevice;
    device_ = oldDevice;
    surface_ = oldSurface;
    gdiInfo_ = oldGdiInfo;
    deviceInfo_ = oldDeviceInfo;
  };
  engineDevice_ = {};
  device_ = nullptr;
  surface_ = {};
  DdiStatus status = EnableContext(options);
  if (!status) {
    restoreOld();
    return status;
  }

  SetLastError(0);
  if (!resetPDEV(oldDevice, device_)) {
    status = Failed("DrvResetPDEV", GetLastError());
    DisableContext();
    restoreOld();
    return status;
  }

  // The old context goes; the new one carries on.
  const HDEV newEngineDevice = engineDevice_;
  const DHPDEV newDevice = device_;
  const HSURF newSurface = surface_;
  engineDevice_ = oldEngineDevice;
  device_ = oldDevice;
  surface_ = oldSurface;
  DisableContext();
  engineDevice_ = newEngineDevice;
  device_ = newDevice;
  surface_ = newSurface;

  if (inDocument_) return StartDoc();
  return {};
}

// DrvDrawEscape on the surface; 0 with last error 87 when the driver has no such entry.
ULONG EngineSession::DrawEscape(ULONG escape, CLIPOBJ* clip, ULONG inputSize, const void* input,
                                DWORD* lastError) {
  auto drawEscape = driver_ ? Entry<DrawEscapeFn>(*driver_, INDEX_DrvDrawEscape) : nullptr;
  if (!drawEscape) {
    if (lastError) *lastError = ERROR_INVALID_PARAMETER;
    return 0;
  }
  const SIZEL page = pageSize();
  RECTL bounds = {0, 0, page.cx, page.cy};
  SetLastError(0);
  const ULONG result = drawEscape(surfaceObject(), escape, clip, &bounds, inputSize,
                                  const_cast<void*>(input));
  if (lastError) *lastError = GetLastError();
  return result;
}

}  // namespace host
