// SPDX-License-Identifier: Apache-2.0
// Shared plumbing of the host layer's units: live-object counters, memory accounting,
// small text helpers, and the engine's handles on both sides. Not part of the host's
// interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "host/host.h"
#include "platform/slim_lock.h"

namespace host::internal {

// A Windows call fails, it never throws: where a C++ allocation inside one runs out, the
// call catches it, gives back what it took, and returns this: its failure value, with
// ERROR_NOT_ENOUGH_MEMORY as the last error, as Windows fails a call short of memory.
template <typename Result>
Result OutOfMemory(Result failure) {
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return failure;
}

// Engine object handles are numbers from the engine's own table: 32-bit enums in our
// declarations, pointers in the Windows headers.
template <typename Handle>
Handle EngineHandle(uint32_t value) {
  if constexpr (std::is_pointer_v<Handle>) {
    return reinterpret_cast<Handle>(static_cast<uintptr_t>(value));
  } else {
    return static_cast<Handle>(value);
  }
}

template <typename Handle>
uint32_t EngineHandleValue(Handle handle) {
  if constexpr (std::is_pointer_v<Handle>) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
  } else {
    return static_cast<uint32_t>(handle);
  }
}

enum class Live { Heaps, HeapBlocks, GlobalBlocks, LocalBlocks, Locks, Modules, Handles, Views,
                  Keys, Surfaces, Palettes, Paths, BadReleases, Count };

void CountUp(Live kind);
void CountDown(Live kind);

// Memory of the host's blocks and the engine's bitmaps: of a megabyte and more, mapped on
// huge-page boundaries (host/kernel_memory.cpp); zeroed when asked. Null when none can be
// had. GiveMemory takes back what TakeMemory gave.
void* TakeMemory(size_t bytes, bool zero);
void GiveMemory(void* block);
// The same, through the store of kept large blocks (host::KeepLargeBlocks): GiveBytes
// takes back what TakeBytes gave, with its size.
void* TakeBytes(size_t bytes, bool zero);
void GiveBytes(void* block, size_t bytes);

// Bytes held in heap, global and local blocks.
void BytesTaken(uint64_t bytes);
void BytesGiven(uint64_t bytes);

// Case-insensitive comparison of ASCII letters, as the registry and printer data names use.
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
char16_t LowerAsciiUnit(char16_t c);
std::u16string LowerAscii(std::u16string_view text);
// Hashing and equality of names to the same rule, so that a table keyed by lower-case
// names is searched with a name as given, no copy made.
struct NoCaseHash {
  using is_transparent = void;
  size_t operator()(std::u16string_view text) const;
};
struct NoCaseEqual {
  using is_transparent = void;
  bool operator()(std::u16string_view a, std::u16string_view b) const {
    return EqualNoCase(a, b);
  }
};

// Appends the UTF-8 form of UTF-16 text (host::Utf8's) to a string.
void AppendUtf8(std::u16string_view utf16, std::string* to);

// Length of a NUL-terminated UTF-16 string.
size_t WideLength(const WCHAR* text);

// The longest string argument a call scans for its terminator.
inline constexpr size_t kMaxScan = 32768;

// A caller's string, read no further than its terminator or kMaxScan units; empty for
// null. A view of kMaxScan units means no terminator was found within them.
std::u16string_view BoundedText(const WCHAR* text);

// Host paths and files (host/file_system.cpp). ParentDirectory is the part before the last
// '/' ("/" for a name at the root, "" for a bare name); InDirectory joins a name to a
// directory. MakeDirectories makes a directory and those above it, as `mkdir -p`, true
// when it is a directory afterwards. RemovePath removes a file, a link or an empty
// directory; RemoveTree a whole tree, without following links. ReadFileBytes is null when
// the file cannot be opened or read (a directory among them).
std::string ParentDirectory(const std::string& path);
std::string InDirectory(const std::string& directory, std::string_view name);
bool MakeDirectories(const std::string& directory);
bool RemovePath(const std::string& path);
void RemoveTree(const std::string& directory);
bool FileExists(const std::string& path);
std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path);
bool WriteFileBytes(const std::string& path, const uint8_t* bytes, size_t size);

// Maps a NUL-terminated Windows path onto the host file system. Returns ERROR_SUCCESS with
// the host path, or the error a Windows file call gives for such a path.
DWORD MapWindowsPath(const WCHAR* windowsPath, std::string* hostPath);

// A read-only copy of bytes that ends (to 16 bytes) just before an inaccessible page, so
// that a reader running past its end faults at once instead of reading the zeros of a
// page's tail. Released with its last holder.
class GuardedCopy {
 public:
  // A copy of size bytes that fill writes (into size writable bytes, zero before it);
  // null when memory cannot be had or fill returns false.
  template <typename Fill>
  static std::shared_ptr<const GuardedCopy> Make(size_t size, Fill fill) {
    std::shared_ptr<GuardedCopy> copy(new (std::nothrow) GuardedCopy);
    if (!copy || !copy->Reserve(size) || !fill(copy->filled_)) return nullptr;
    return copy;
  }
  ~GuardedCopy();
  GuardedCopy(const GuardedCopy&) = delete;
  GuardedCopy& operator=(const GuardedCopy&) = delete;

  const BYTE* data() const { return base_; }

 private:
  GuardedCopy() = default;
  bool Reserve(size_t size);  // maps the region, or takes a kept one

  void* region_ = nullptr;  // the read-only pages and the guard page after them
  BYTE* writer_ = nullptr;  // the same pages, writable
  size_t regionBytes_ = 0;
  size_t dataPages_ = 0;  // bytes of the readable part
  const BYTE* base_ = nullptr;
  BYTE* filled_ = nullptr;  // where fill writes what base_ reads
};

// The bytes of a memory file, shared by its handles and views; replacing the file makes a
// new one, so that what was opened before stays as it was.
class MemoryContent {
 public:
  explicit MemoryContent(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  const std::vector<uint8_t>& bytes() const { return bytes_; }
  // The guarded copy of the whole file, made on first use and shared by every view of all
  // of it; null when it cannot be made.
  std::shared_ptr<const GuardedCopy> WholeCopy() const;

 private:
  const std::vector<uint8_t> bytes_;
  mutable SlimLock lock_;
  mutable std::shared_ptr<const GuardedCopy> whole_;
};

// What is in memory at a host path: nothing (the file system decides), a file, or a
// library (which is loaded, not read).
enum class MemoryEntry { None, File, Library };
MemoryEntry FindMemoryFile(const std::string& hostPath,
                           std::shared_ptr<const MemoryContent>* content);

// Opens a mapped path of the file system read-only: a descriptor, or -1 with errno set.
int OpenReadOnly(const std::string& hostPath);
// The library to load for a mapped path: the one a memory library names, or the path.
std::string LibraryPath(const std::string& hostPath);

// Resets of the individual units, called by host::Reset.
void ResetFaults();
void ResetLocale();
void ResetSpooler();
void ResetRegistry();
void ResetEngine();

}  // namespace host::internal
