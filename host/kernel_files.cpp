// Read-only files and file mappings: CreateFileW, GetFileSize, CreateFileMappingW,
// MapViewOfFile, UnmapViewOfFile and CloseHandle.
//
// Handles are values from the host's own table (never 0 or all ones), so a stale or
// foreign handle is recognised and refused instead of reaching a descriptor. A mapping
// holds its own descriptor, and a view is a private read-only copy of the mapped bytes,
// so a view stays valid after its file and mapping handles are closed, as on Windows.
// The copy ends (to 16 bytes) just before an inaccessible page: a reader that runs past
// the end of a file faults at once instead of reading the zeros of a page's tail.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

#include "host/host_internal.h"

using host::Call;
using host::internal::Live;

namespace {

constexpr DWORD kErrorInvalidAddress = 487;

// File and mapping handles: 0x10000000 + 4n, apart from every other kind of handle the
// host hands out.
constexpr uintptr_t kHandleBase = 0x10000000;

enum class Kind { File, Mapping };

struct KernelObject {
  Kind kind;
  int descriptor;
  uint64_t bytes;  // a mapping's size; unused for files
};

// A view: the mapped region (copy plus guard page) and where the view starts in it.
struct View {
  void* region;
  size_t regionBytes;
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

HANDLE Register(Kind kind, int descriptor, uint64_t bytes) {
  KernelTable& table = Table();
  std::lock_guard guard(table.lock);
  uintptr_t value = kHandleBase + 4 * ++table.next;
  table.objects.emplace(value, KernelObject{kind, descriptor, bytes});
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

size_t RoundUp(size_t value, size_t unit) { return (value + unit - 1) / unit * unit; }

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

// Makes the guarded read-only copy of a mapping's first `bytes` bytes. Null on failure.
void* MakeView(int descriptor, size_t bytes, View* view) {
  size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  size_t placed = RoundUp(bytes, 16);
  size_t dataPages = RoundUp(placed, page);
  size_t regionBytes = dataPages + page;
  void* region = mmap(nullptr, regionBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                      -1, 0);
  if (region == MAP_FAILED) return nullptr;
  BYTE* base = static_cast<BYTE*>(region) + (dataPages - placed);
  if (!ReadWhole(descriptor, base, bytes) || mprotect(region, dataPages, PROT_READ) != 0 ||
      mprotect(static_cast<BYTE*>(region) + dataPages, page, PROT_NONE) != 0) {
    munmap(region, regionBytes);
    return nullptr;
  }
  *view = View{region, regionBytes};
  return base;
}

}  // namespace

extern "C" {

HANDLE WINAPI CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, void* security,
                          DWORD creation, DWORD flags, HANDLE templateFile) {
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
}

DWORD WINAPI GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
  KernelObject object;
  struct stat status;
  if (!Find(file, Kind::File, &object) || fstat(object.descriptor, &status) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return INVALID_FILE_SIZE;
  }
  uint64_t size = static_cast<uint64_t>(status.st_size);
  if (fileSizeHigh) *fileSizeHigh = static_cast<DWORD>(size >> 32);
  // A low part of all ones is a valid size; the cleared last error tells it apart.
  DWORD low = static_cast<DWORD>(size);
  if (low == INVALID_FILE_SIZE) SetLastError(ERROR_SUCCESS);
  return low;
}

HANDLE WINAPI CreateFileMappingW(HANDLE file, void* security, DWORD protect, DWORD maxSizeHigh,
                                 DWORD maxSizeLow, LPCWSTR name) {
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
  struct stat status;
  if (fstat(object.descriptor, &status) != 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  uint64_t fileBytes = static_cast<uint64_t>(status.st_size);
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
  int descriptor = fcntl(object.descriptor, F_DUPFD_CLOEXEC, 0);
  if (descriptor < 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return Register(Kind::Mapping, descriptor, asked == 0 ? fileBytes : asked);
}

LPVOID WINAPI MapViewOfFile(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow,
                            SIZE_T bytes) {
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
  View view;
  void* base = MakeView(object.descriptor, static_cast<size_t>(viewBytes), &view);
  if (!base) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  KernelTable& table = Table();
  {
    std::lock_guard guard(table.lock);
    table.views.emplace(base, view);
  }
  host::internal::CountUp(Live::Views);
  return base;
}

BOOL WINAPI UnmapViewOfFile(LPCVOID base) {
  View view;
  {
    KernelTable& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.views.find(base);
    if (it == table.views.end()) {
      SetLastError(kErrorInvalidAddress);
      return FALSE;
    }
    view = it->second;
    table.views.erase(it);
  }
  munmap(view.region, view.regionBytes);
  host::internal::CountDown(Live::Views);
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE object) {
  int descriptor = -1;
  {
    KernelTable& table = Table();
    std::lock_guard guard(table.lock);
    auto it = table.objects.find(reinterpret_cast<uintptr_t>(object));
    if (it == table.objects.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    descriptor = it->second.descriptor;
    table.objects.erase(it);
  }
  close(descriptor);
  host::internal::CountDown(Live::Handles);
  return TRUE;
}

}  // extern "C"
