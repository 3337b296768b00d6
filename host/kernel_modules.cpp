// SPDX-License-Identifier: Apache-2.0
// Libraries: LoadLibraryW, GetProcAddress and FreeLibrary over the host's dynamic loader.
//
// A module handle is the loader's own handle. The host counts the references it handed
// out per module, so that a module freed more often than it was loaded, or never loaded,
// is refused rather than passed to the loader. Loading a library that is already loaded
// (the driver loads itself by its own path, through a link to the built library) gives
// the same handle and one more reference, as on Windows.
#include <dlfcn.h>
#include <link.h>

#include <mutex>
#include <unordered_map>

#include "host/host_internal.h"

using host::Call;
using host::internal::Live;

namespace {

struct ModuleTable {
  std::mutex lock;
  std::unordered_map<void*, int64_t> references;
};

ModuleTable& Modules() {
  static ModuleTable table;
  return table;
}

bool IsLoaded(void* module) {
  ModuleTable& table = Modules();
  std::lock_guard guard(table.lock);
  return table.references.count(module) != 0;
}

// The loader's lookup also searches a library's dependencies; GetProcAddress finds only
// what the module itself exports.
bool DefinedIn(void* module, void* symbol) {
  struct link_map* own = nullptr;
  struct link_map* holder = nullptr;
  Dl_info info;
  if (dlinfo(module, RTLD_DI_LINKMAP, &own) != 0 || !own) return false;
  if (!dladdr1(symbol, &info, reinterpret_cast<void**>(&holder), RTLD_DL_LINKMAP)) return false;
  return holder == own;
}

}  // namespace

extern "C" {

HMODULE WINAPI LoadLibraryW(LPCWSTR fileName) try {
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // Only full paths are loaded: there is no search path on the host.
  std::string path;
  if (host::internal::MapWindowsPath(fileName, &path) != ERROR_SUCCESS) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (host::ShouldFail(Call::LoadLibrary)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  // The table lock is not held while the loader runs: a library's initialisation may
  // call back into the host.
  void* module = dlopen(host::internal::LibraryPath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  try {
    ModuleTable& table = Modules();
    std::lock_guard guard(table.lock);
    ++table.references[module];
  } catch (const std::bad_alloc&) {
    dlclose(module);
    throw;
  }
  host::internal::CountUp(Live::Modules);
  return static_cast<HMODULE>(module);
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(nullptr);
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName) {
  if (!IsLoaded(module)) {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  if (!procName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A "name" below 0x10000 is an ordinal; host libraries export by name only.
  if (reinterpret_cast<uintptr_t>(procName) < 0x10000) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (host::ShouldFail(Call::GetProcAddress)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* symbol = dlsym(module, procName);
  if (!symbol || !DefinedIn(module, symbol)) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return reinterpret_cast<FARPROC>(symbol);
}

BOOL WINAPI FreeLibrary(HMODULE module) {
  {
    ModuleTable& table = Modules();
    std::lock_guard guard(table.lock);
    auto it = table.references.find(module);
    if (it == table.references.end()) {
      host::internal::CountUp(Live::BadReleases);
      SetLastError(ERROR_MOD_NOT_FOUND);
      return FALSE;
    }
    if (--it->second == 0) table.references.erase(it);
  }
  host::internal::CountDown(Live::Modules);
  dlclose(module);
  return TRUE;
}

}  // extern "C"
