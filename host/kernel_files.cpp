// SPDX-License-Identifier: Apache-2.0
// Read-only files and file mappings: CreateFileW, GetFileSize, CreateFileMappingW,
// MapViewOfFile, UnmapViewOfFile and CloseHandle.
//
// Handles are values from the host's own table (never 0 or all ones), so a stale or
// foreign handle is recognised and refused instead of reaching a descriptor. A mapping
// holds its own descriptor (or its memory file's bytes), and a view is a private read-only
// copy of the mapped bytes, so a view stays valid after its file and mapping handles are
// closed, as on Windows. The copy ends (to 16 bytes) just before an inaccessible page: a
// reader that runs past the end of a file faults at once instead of reading the zeros of a
// page's tail. Every view of the whole of a memory file is the one copy its bytes keep.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "host/host_internal.h"

using host::Call;
using host::internal::GuardedCopy;
using host::internal::Live;
using host::internal::MemoryContent;

namespace {

constexpr DWORD kErrorInvalidAddress = 487;

// File and mapping handles: 0x10000000 + 4n, apart from every other kind of handle the
// host hands out.
constexpr uintptr_t kHandleBase = 0x10000000;

enum class Kind { File, Mapping };

struct KernelObject {
  Kind kind;
  int descriptor;                                // -1 for a memory file
  uint64_t bytes;                                // a mapping's size; unused for files
  std::shared_ptr<const MemoryContent> memory;  // a memory file's bytes
};

// A view: its copy, and how many views are that copy (the views of a whole memory file
// share it).
struct View {
  std::shared_ptr<const GuardedCopy> copy;
  size_t count;
};

struct KernelTable {
  std::mutex lock;
  uintptr_t next = 0;
  std::unordered_map<uintptr_t, KernelObject> objects;
  std::unordered_map<const void*, View> views;
};

KernelTable& Table() {
  static KernelTable table;
  return table;
}

// The handle owns the descriptor from here on: it is closed when the table cannot take it.
HANDLE Register(Kind kind, int descriptor, uint64_t bytes,
                std::shared_ptr<const MemoryContent> memory = nullptr) {
  KernelTable& table = Table();
  std::lock_guard guard(table.lock);
  uintptr_t value = kHandleBase + 4 * ++table.next;
  try {
    table.objects.emplace(value, KernelObject{kind, descriptor, bytes, std::move(memory)});
  } catch (const std::bad_alloc&) {
    if (descriptor >= 0) close(descriptor);
    throw;
  }
  host::internal::CountUp(Live::Handles);
  return reinterpret_cast<HANDLE>(value);
}

// Copies the object behind a handle of the given kind; false for any other handle.
bool Find(HANDLE handle, Kind kind, KernelObject* found) {
  KernelTable& table = Table();
  std::lock_guard guard(table.lock);
  auto it = table.objects.find(reinterpret_cast<uintptr_t>(handle));
  if (it == table.objects.end() || it->second.kind != kind) return false;
  *found = it->second;
  return true;
}

// The size of a file object's file; false when it cannot be known.
bool FileBytes(const KernelObject& object, uint64_t* bytes) {
  if (object.memory) {
    *bytes = object.memory->bytes().size();
    return true;
  }
  struct stat status;
  if (fstat(object.descriptor, &status) != 0) return false;
  *bytes = static_cast<uint64_t>(status.st_size);
  return true;
}

DWORD OpenError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_ACCESS_DENIED;
  }
}

// Reads `bytes` bytes from the start of the file into `to`. Bytes the file no longer has
// (it shrank after the mapping was made) stay zero. False on a read error.
bool ReadWhole(int descriptor, BYTE* to, size_t bytes) {
  size_t done = 0;
  while (done < bytes) {
    ssize_t got = pread(descriptor, to + done, bytes - done, static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return true;
}

// The guarded copy of a mapping's first `bytes` bytes. Null on failure.
std::shared_ptr<const GuardedCopy> MakeView(const KernelObject& mapping, size_t bytes) {
  if (mapping.memory) {
    const std::vector<uint8_t>& content = mapping.memory->bytes();
    if (bytes == content.size()) return mapping.memory->WholeCopy();
    return GuardedCopy::Make(bytes, [&](BYTE* to) {
      std::memcpy(to, content.data(), bytes < content.size() ? bytes : content.size());
      return true;
    });
  }
  return GuardedCopy::Make(bytes,
                           [&](BYTE* to) { return ReadWhole(mapping.descriptor, to, bytes); });
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, void* security,
                          DWORD creation, DWORD flags, HANDLE templateFile) try {
  (void)shareMode;
  (void)security;
  (void)flags;
  // Reading existing files is all the driver does; anything else is not implemented.
  if (access != GENERIC_READ || creation != OPEN_EXISTING || templateFile) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::string path;
  DWORD error = host::internal::MapWindowsPath(fileName, &path);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  if (host::ShouldFail(Call::CreateFile)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  std::shared_ptr<const MemoryContent> memory;
  switch (host::internal::FindMemoryFile(path, &memory)) {
    case host::internal::MemoryEntry::File:
      return Register(Kind::File, -1, 0, std::move(memory));
    case host::internal::MemoryEntry::Library:
      // A library is loaded, not read.
      SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    case host::internal::MemoryEntry::None:
      break;
  }
  // Only regular files are kept.
  int descriptor = host::internal::OpenReadOnly(path);
  if (descriptor < 0) {
    SetLastError(OpenError(errno));
    return INVALID_HANDLE_VALUE;
  }
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(descriptor);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return Register(Kind::File, descriptor, 0);
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(INVALID_HANDLE_VALUE);
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
  KernelObject object;
  uint64_t size = 0;
  if (!Find(file, Kind::File, &object) || !FileBytes(object, &size)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  if (fileSizeHigh) *fileSizeHigh = static_cast<DWORD>(size >> 32);
  // A low part of all ones is a valid size; the cleared last error tells it apart.
  DWORD low = static_cast<DWORD>(size);
  if (low == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
  return low;
}

HANDLE WINAPI CreateFileMappingW(HANDLE file, void* security, DWORD protect, DWORD maxSizeHigh,
                                 DWORD maxSizeLow, LPCWSTR name) try {
  (void)security;
  KernelObject object;
  if (!Find(file, Kind::File, &object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (protect != PAGE_READONLY || name) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (host::ShouldFail(Call::CreateFileMapping)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  uint64_t fileBytes = 0;
  if (!FileBytes(object, &fileBytes)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  uint64_t asked = (static_cast<uint64_t>(maxSizeHigh) << 32) | maxSizeLow;
  // As on Windows: an empty file has nothing to map, and a read-only mapping cannot be
  // larger than its file.
  if (asked == 0 && fileBytes == 0) {
    SetLastError(ERROR_FILE_INVALID);
    return nullptr;
  }
  if (asked > fileBytes) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const uint64_t mappingBytes = asked == 0 ? fileBytes : asked;
  if (object.memory) return Register(Kind::Mapping, -1, mappingBytes, object.memory);
  int descriptor = fcntl(object.descriptor, F_DUPFD_CLOEXEC, 0);
  if (descriptor < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return Register(Kind::Mapping, descriptor, mappingBytes);
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(nullptr);
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytes) try {
  KernelObject object;
  if (!Find(mapping, Kind::Mapping, &object)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (access != FILE_MAP_READ || bytes > object.bytes) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  // Views start at the beginning of the file: that is all the driver maps.
  if (offsetHigh != 0 || offsetLow != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (host::ShouldFail(Call::MapViewOfFile)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  uint64_t viewBytes = bytes == 0 ? object.bytes : bytes;
  if (viewBytes > SIZE_MAX / 2) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  std::shared_ptr<const GuardedCopy> copy = MakeView(object, static_cast<size_t>(viewBytes));
  if (!copy) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const BYTE* base = copy->data();
  KernelTable& table = Table();
  {
    std::lock_guard guard(table.lock);
    auto [it, added] = table.views.try_emplace(base, View{std::move(copy), 0});
    ++it->second.count;
  }
  host::internal::CountUp(Live::Views);
  return const_cast<BYTE*>(base);
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(nullptr);
}

BOOL WINAPI UnmapViewOfFile(LPCVOID base) {
  std::shared_ptr<const GuardedCopy> released;  // unmapped here, outside the lock
  {
    KernelTable& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.views.find(base);
    if (it == table.views.end()) {
      host::internal::CountUp(Live::BadReleases);
      SetLastError(kErrorInvalidAddress);
      return FALSE;
    }
    if (--it->second.count == 0) {
      released = std::move(it->second.copy);
      table.views.erase(it);
    }
  }
  released.reset();
  host::internal::CountDown(Live::Views);
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE object) {
  int descriptor = -1;
  std::shared_ptr<const MemoryContent> memory;  // let go outside the lock
  {
    KernelTable& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(object));
    if (it == table.objects.end()) {
      host::internal::CountUp(Live::BadReleases);
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    descriptor = it->second.descriptor;
    memory = std::move(it->second.memory);
    table.objects.erase(it);
  }
  if (descriptor >= 0) close(descriptor);
  host::internal::CountDown(Live::Handles);
  return TRUE;
}

}  // extern "C"
