// SPDX-License-Identifier: Apache-2.0
// The registry under HKEY_LOCAL_MACHINE: values set by tests, read with RegOpenKeyExW,
// RegQueryValueExW and RegCloseKey.
//
// Key paths and value names compare case-insensitively, as in the registry. A key exists
// when a value lives in it or in a key below it. Open keys keep their path, so a key
// stays open (and its values are looked up afresh) across changes to the values.
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

#include "host/host_internal.h"

using host::Call;
using host::internal::Live;

namespace {

// Key handles: 0x30000000 + 4n, apart from every other kind of handle the host hands out.
constexpr uintptr_t kHandleBase = 0x30000000;

struct RegistryValue {
  DWORD type;
  std::vector<uint8_t> bytes;
};

struct Registry {
  std::mutex lock;
  uintptr_t next = 0;
  // Normalised key path -> lower-case value name -> value.
  std::map<std::u16string, std::map<std::u16string, RegistryValue>> keys;
  std::unordered_map<uintptr_t, std::u16string> open;  // handle -> normalised key path
};

Registry& Reg() {
  static Registry registry;
  return registry;
}

// The lower-case form of a key path relative to its parent, without trailing separators.
// False for a path that starts with a separator or has an empty name inside it.
bool NormalizeKey(std::u16string_view path, std::u16string* normalized) {
  while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
  if (!path.empty() && path.front() == u'\\') return false;
  if (path.find(u"\\\\") != std::u16string_view::npos) return false;
  *normalized = host::internal::LowerAscii(path);
  return true;
}

std::u16string Join(const std::u16string& parent, const std::u16string& child) {
  if (parent.empty()) return child;
  if (child.empty()) return parent;
  return parent + u'\\' + child;
}

// Whether a key exists; call with the registry's lock held.
bool ExistsLocked(const Registry& registry, const std::u16string& path) {
  if (path.empty() || registry.keys.count(path) != 0) return true;
  // The keys that extend the path sort together right after it; one that goes on with a
  // separator lies below it.
  for (auto it = registry.keys.upper_bound(path);
       it != registry.keys.end() && it->first.compare(0, path.size(), path) == 0; ++it) {
    if (it->first.size() > path.size() && it->first[path.size()] == u'\\') return true;
  }
  return false;
}

// The key path behind a handle (HKEY_LOCAL_MACHINE or an open key); call with the lock held.
bool PathOfLocked(const Registry& registry, HKEY key, std::u16string* path) {
  if (key == HKEY_LOCAL_MACHINE) {
    path->clear();
    return true;
  }
  auto it = registry.open.find(reinterpret_cast<uintptr_t>(key));
  if (it == registry.open.end()) return false;
  *path = it->second;
  return true;
}

}  // namespace

namespace host {

void SetRegistryValue(std::u16string_view keyPath, std::u16string_view valueName, uint32_t type,
                      std::vector<uint8_t> bytes) {
  std::u16string path;
  if (!NormalizeKey(keyPath, &path)) return;
  Registry& registry = Reg();
  std::lock_guard guard(registry.lock);
  registry.keys[path][internal::LowerAscii(valueName)] = RegistryValue{type, std::move(bytes)};
}

void ClearRegistry() {
  Registry& registry = Reg();
  std::lock_guard guard(registry.lock);
  registry.keys.clear();
}

namespace internal {

void ResetRegistry() { ClearRegistry(); }

}  // namespace internal
}  // namespace host

extern "C" {

LSTATUS WINAPI RegOpenKeyExW(HKEY key, LPCWSTR subKey, DWORD options, REGSAM access,
                             PHKEY result) try {
  (void)access;
  if (!result || options != 0) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::u16string relative;
  if (!NormalizeKey(host::internal::BoundedText(subKey), &relative)) return ERROR_BAD_PATHNAME;
  std::u16string parent;
  {
    Registry& registry = Reg();
    std::lock_guard guard(registry.lock);
    if (!PathOfLocked(registry, key, &parent)) return ERROR_INVALID_HANDLE;
  }
  if (host::ShouldFail(Call::RegOpenKey)) return ERROR_ACCESS_DENIED;
  std::u16string path = Join(parent, relative);
  Registry& registry = Reg();
  std::lock_guard guard(registry.lock);
  if (!ExistsLocked(registry, path)) return ERROR_FILE_NOT_FOUND;
  uintptr_t value = kHandleBase + 4 * ++registry.next;
  registry.open.emplace(value, std::move(path));
  host::internal::CountUp(Live::Keys);
  *result = reinterpret_cast<HKEY>(value);
  return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
  return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS WINAPI RegQueryValueExW(HKEY key, LPCWSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD size) try {
  std::u16string path;
  {
    Registry& registry = Reg();
    std::lock_guard guard(registry.lock);
    if (!PathOfLocked(registry, key, &path)) return ERROR_INVALID_HANDLE;
  }
  if (reserved || (data && !size)) return ERROR_INVALID_PARAMETER;
  if (host::ShouldFail(Call::RegQueryValue)) return ERROR_NOT_ENOUGH_MEMORY;
  std::u16string name = host::internal::LowerAscii(host::internal::BoundedText(valueName));
  Registry& registry = Reg();
  std::lock_guard guard(registry.lock);
  auto keyIt = registry.keys.find(path);
  if (keyIt == registry.keys.end()) return ERROR_FILE_NOT_FOUND;
  auto valueIt = keyIt->second.find(name);
  if (valueIt == keyIt->second.end()) return ERROR_FILE_NOT_FOUND;
  const RegistryValue& value = valueIt->second;
  if (type) *type = value.type;
  DWORD bytes = static_cast<DWORD>(value.bytes.size());
  if (!data) {
    if (size) *size = bytes;
    return ERROR_SUCCESS;
  }
  if (*size < bytes) {
    *size = bytes;
    return ERROR_MORE_DATA;
  }
  if (bytes != 0) std::memcpy(data, value.bytes.data(), bytes);
  *size = bytes;
  return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
  return ERROR_NOT_ENOUGH_MEMORY;
}

LSTATUS WINAPI RegCloseKey(HKEY key) {
  // The predefined root is never really opened; closing it does nothing.
  if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
  Registry& registry = Reg();
  std::lock_guard guard(registry.lock);
  if (registry.open.erase(reinterpret_cast<uintptr_t>(key)) == 0) return ERROR_INVALID_HANDLE;
  host::internal::CountDown(Live::Keys);
  return ERROR_SUCCESS;
}

}  // extern "C"
