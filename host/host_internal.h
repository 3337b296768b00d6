// Shared plumbing of the host layer's units: live-object counters, memory accounting,
// small text helpers, and the engine's handles on both sides. Not part of the host's
// interface.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "host/host.h"

namespace host::internal {

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
                  Keys, Surfaces, Palettes, Paths, Count };

void CountUp(Live kind);
void CountDown(Live kind);

// Bytes held in heap, global and local blocks.
void BytesTaken(uint64_t bytes);
void BytesGiven(uint64_t bytes);

// Case-insensitive comparison of ASCII letters, as the registry and printer data names use.
bool EqualNoCase(std::u16string_view a, std::u16string_view b);
std::u16string LowerAscii(std::u16string_view text);

// Length of a NUL-terminated UTF-16 string.
size_t WideLength(const WCHAR* text);

// The longest string argument a call scans for its terminator.
inline constexpr size_t kMaxScan = 32768;

// A caller's string, read no further than its terminator or kMaxScan units; empty for
// null. A view of kMaxScan units means no terminator was found within them.
std::u16string_view BoundedText(const WCHAR* text);

// Maps a NUL-terminated Windows path onto the host file system. Returns ERROR_SUCCESS with
// the host path, or the error a Windows file call gives for such a path.
DWORD MapWindowsPath(const WCHAR* windowsPath, std::string* hostPath);

// Opens a mapped path read-only, a memory file before the file system: a descriptor, or -1
// with errno set.
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
