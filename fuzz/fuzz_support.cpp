// SPDX-License-Identifier: Apache-2.0
// The fuzz targets' shared installation, driver and checks.
#include "fuzz/fuzz_support.h"

#include <dlfcn.h>
#include <sanitizer/asan_interface.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "device/media_lookup.h"
#include "driver/ddi.h"
#include "driver/surface.h"
#include "host/engine_session.h"
#include "settings/exchange_block.h"

// The address sanitizer's settings for fuzzing, where an execution's cost decides how many
// inputs are tried: no allocation stacks recorded, and no quarantine of freed blocks
// (recycling it, and mapping fresh memory in place of what it held, cost a fifth of an
// execution); the host keeps and poisons large blocks itself. A
// use of freed memory is still reported until the memory is handed out again. A finding
// is re-run with the sanitizer's full settings (fuzz/run.sh does), which ASAN_OPTIONS
// gives over these. A replay of the corpora in the test builds keeps the sanitizer's own.
#ifdef TQ33_LIBFUZZER
extern "C" const char* __asan_default_options() {
  return "malloc_context_size=0:quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
}
#endif

namespace fuzz {

Bytes SourceFile(const std::string& relativePath) {
  auto bytes = host::ReadWholeFile(std::string(TQ33_SOURCE_DIR) + "/" + relativePath);
  if (!bytes) {
    std::fprintf(stderr, "fuzz: cannot read %s\n", relativePath.c_str());
    std::abort();
  }
  return *bytes;
}

host::PrinterInstallation& Installation() {
  static std::unique_ptr<host::PrinterInstallation> installation = [] {
    // Page images and streams are written into memory the process already has.
    host::KeepLargeBlocks(true);
    host::InstallationFiles files;
    files.modelData = SourceFile("data/tq33.model");
    files.mediaDefinitions = SourceFile("data/sample-media.dat");
    // Held in memory: an input's file is replaced without a write to disk.
    files.inMemory = true;
    std::string error;
    auto made = host::PrinterInstallation::Create(files, &error);
    if (!made) {
      std::fprintf(stderr, "fuzz: no installation: %s\n", error.c_str());
      std::abort();
    }
    // Never unloaded: the driver loads and frees this library for every context.
    const std::string library = host::PrinterInstallation::LoadedModelDataLibrary();
    if (!dlopen(library.c_str(), RTLD_NOW | RTLD_NODELETE)) {
      std::fprintf(stderr, "fuzz: cannot load %s: %s\n", library.c_str(), dlerror());
      std::abort();
    }
    return made;
  }();
  return *installation;
}

void EnableDriver() {
  // The engine harness enables the driver once for every session of the process; a
  // session held open for the process's life keeps it enabled between inputs.
  static const std::unique_ptr<host::EngineSession> anchor = [] {
    host::DdiStatus status;
    auto session = host::EngineSession::Open(host::kDriverPath, Installation().printer(), {},
                                             &status);
    if (!session) Finding("no session on the default installation: " + status.Describe());
    return session;
  }();
}

void PrepareContexts() {
  static const bool prepared = [] {
    Installation();
    EnableDriver();
    // Small bands: a context's surface is cleared and whitened at every input, and a band
    // of 64 KB still holds the longest row a page can have (65,534 dots along the tape).
    host::SetMaxBitmapBytes(1u << 16);
    return true;
  }();
  (void)prepared;
}

void Finding(const std::string& message) {
  std::fprintf(stderr, "FINDING: %s\n", message.c_str());
  std::fflush(stderr);
  std::abort();
}

bool Poisoned(const void* region, size_t size) {
#if __has_feature(address_sanitizer) || defined(__SANITIZE_ADDRESS__)
  return __asan_region_is_poisoned(const_cast<void*>(region), size) != nullptr;
#else
  (void)region;
  (void)size;
  return false;
#endif
}

void CheckNothingLeaked(const host::LiveObjects& baseline, const char* where) {
  const host::LiveObjects now = host::Live();
  if (now != baseline)
    Finding(std::string(where) + ": alive now: " + now.Describe() + "; before: " +
            baseline.Describe());
}

DeviceContext* EnableContext(const DEVMODEW* devmode, GDIINFO* gdiInfoOut) {
  GDIINFO gdiInfo = {};
  DEVINFO deviceInfo = {};
  HSURF patterns[3] = {};
  std::u16string name = u"TQ-33";
  SetLastError(ERROR_SUCCESS);  // so that a refusal's own last error can be told apart
  DHPDEV device = DrvEnablePDEV(const_cast<DEVMODEW*>(devmode), nullptr, 3, patterns,
                                sizeof(GDIINFO), reinterpret_cast<ULONG*>(&gdiInfo),
                                sizeof(DEVINFO), &deviceInfo, {}, name.data(),
                                Installation().printer());
  DeviceContext* context = ContextFromHandle(device);
  if (context && (gdiInfo.ulHorzRes == 0 || gdiInfo.ulVertRes == 0))
    Finding("DrvEnablePDEV succeeded with a resolution of 0");
  if (gdiInfoOut) *gdiInfoOut = gdiInfo;
  return context;
}

void CheckPageWithinMedium(const DeviceContext* context, const GDIINFO& gdiInfo) {
  const SettingsRecord& settings = context->settings;
  LONG mediaIndex = -1;
  LONG definitionIndex = -1;
  FindMediaIndex(context->printer, &settings, &context->modelData, &mediaIndex, &definitionIndex,
                 context->mediaDefinitions, context->mediaDefinitionCount,
                 static_cast<WORD>(context->defaultSettings.dm.dmPaperSize));
  const MediaRecord* record = MediaRecordAt(
      &context->modelData, static_cast<LONGLONG>(settings.priv.privMediaBase) + mediaIndex);
  if (mediaIndex < 0 || !record) Finding("a context on no medium");
  const MediaListEntry* entry = &record->mrEntry;
  const DWORD resolution = static_cast<DWORD>(static_cast<LONG>(settings.dm.dmYResolution));

  LONG cx = 0;
  LONG cy = 0;
  if (ComputePageExtent(context, mediaIndex, definitionIndex, &cx, &cy)) {
    const LONG along = settings.dm.dmOrientation == DMORIENT_LANDSCAPE ? cx : cy;
    // The page counts the dots at both ends of its length: with feed margins of 0 it is
    // one dot longer than the label.
    const DWORD longest = LengthTenthsToDots(MaxLengthTenths(entry), resolution);
    if (static_cast<DWORD>(along) > longest + 1)
      Finding("page of " + std::to_string(along) + " dots along the feed, where the medium's " +
              "longest label has " + std::to_string(longest));
  }
  const DWORD most = MarginTenthsToDots(MaxMarginTenths(entry), resolution);
  const PrivateSettings& priv = settings.priv;
  const bool dotsInBlock = priv.xbSize == EXCHANGE_BLOCK_SIZE && (priv.xbReport & XB_MARGIN_DOTS);
  for (DWORD margin : {static_cast<DWORD>(priv.privMargin),
                       dotsInBlock ? static_cast<DWORD>(priv.xbMargin) : 0u}) {
    if (margin > most)
      Finding("feed margin of " + std::to_string(margin) + " dots, where the medium allows " +
              std::to_string(most) + " at most");
  }

  const bool landscape = settings.dm.dmOrientation == DMORIENT_LANDSCAPE;
  const LONG across = -static_cast<LONG>(landscape ? gdiInfo.ulVertSize : gdiInfo.ulHorzSize);
  const LONG sizes[] = {static_cast<LONG>(gdiInfo.ulHorzRes), static_cast<LONG>(gdiInfo.ulVertRes),
                        gdiInfo.szlPhysSize.cx, gdiInfo.szlPhysSize.cy, across};
  for (LONG size : sizes) {
    if (size <= 0) Finding("GDIINFO size of " + std::to_string(size));
  }
  // The size along is the length in tenths of a millimetre less both margins: 0 for a
  // length of exactly both margins, which still leaves one line.
  const LONG along = -static_cast<LONG>(landscape ? gdiInfo.ulHorzSize : gdiInfo.ulVertSize);
  if (along < 0) Finding("GDIINFO size along the feed of " + std::to_string(along));
  if (gdiInfo.ptlPhysOffset.x < 0 || gdiInfo.ptlPhysOffset.y < 0)
    Finding("GDIINFO offset below 0");
}

void DisableContext(DeviceContext* context, bool withSurface) {
  if (!context) return;
  DHPDEV device = HandleFromContext(context);
  if (withSurface) {
    HDEV engineDevice = host::CreateEngineDevice();
    host::BindEngineDevice(engineDevice, device);
    DrvCompletePDEV(device, engineDevice);
    if (HSURF surface = DrvEnableSurface(device)) {
      (void)surface;
      DrvDisableSurface(device);
    }
    host::DeleteEngineDevice(engineDevice);
  }
  DrvDisablePDEV(device);
}

Bytes DefaultSettingsRecord() {
  EnableDriver();
  DeviceContext* context = EnableContext(nullptr);
  if (!context) Finding("DrvEnablePDEV failed on the default installation");
  Bytes record(sizeof(SettingsRecord));
  std::memcpy(record.data(), &context->settings, sizeof(SettingsRecord));
  DisableContext(context, false);
  return record;
}

bool NextChunk(Reader& reader, Chunk* chunk) {
  if (reader.Left() == 0) return false;
  chunk->tag = reader.Byte();
  chunk->bytes = reader.Take(reader.Word());
  return true;
}

}  // namespace fuzz
