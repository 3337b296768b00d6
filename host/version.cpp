// SPDX-License-Identifier: Apache-2.0
// Version resources: GetFileVersionInfoSizeW, GetFileVersionInfoW and VerQueryValueW over
// the host's resource libraries.
//
// A resource library on the host is a file that holds nothing but its version block, and
// the version block is this (little-endian):
//
//   offset 0   u32  signature 0x42565154 ("TQVB")
//   offset 4   u32  length of the whole block in bytes: the file's size, a multiple of 4,
//                   at most 65536
//   offset 8   entries up to the end of the block, each starting at a multiple of 4:
//                u16  key length in UTF-16 units, no terminator
//                u16  value length in bytes
//                     the key's units ("\VarFileInfo\Translation")
//                     zero bytes up to a multiple of 4, then the value's bytes
//                     zero bytes up to a multiple of 4
//
// The block comes from outside, so it is checked whole before it is used, and every
// lookup in it stays within both its stated length and the buffer it was copied into:
// VerQueryValueW knows a block's buffer size only for blocks GetFileVersionInfoW filled,
// and refuses any other.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "host/host_internal.h"

using host::Call;

namespace {

constexpr uint32_t kSignature = 0x42565154;
constexpr size_t kHeaderBytes = 8;
constexpr size_t kMaxBlockBytes = 65536;
// Blocks filled by GetFileVersionInfoW that VerQueryValueW still accepts: those among
// the last this many fills whose buffer was not handed to GetFileVersionInfoW again.
constexpr size_t kRememberedBlocks = 256;

struct FilledBlock {
  const void* data;
  size_t bytes;  // the buffer size the caller gave
};

// A ring: the oldest block is overwritten by the next. A forgotten block leaves a hole,
// so that forgetting is one pass over a small array and nothing moves.
struct VersionState {
  std::mutex lock;
  std::array<FilledBlock, kRememberedBlocks> filled{};
  size_t next = 0;
};

VersionState& Version() {
  static VersionState state;
  return state;
}

uint32_t ReadU32(const BYTE* at) {
  return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

uint16_t ReadU16(const BYTE* at) { return static_cast<uint16_t>(at[0] | (at[1] << 8)); }

size_t Align4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

// Walks the entries of a block that lies in `available` bytes. With a key, stops at the
// entry of that key (case-insensitive) and gives its value's offset and length. Returns
// whether the block is well formed (and, with a key, whether the key was found).
bool WalkBlock(const BYTE* block, size_t available, std::u16string_view key, size_t* valueAt,
               size_t* valueBytes) {
  if (available < kHeaderBytes || ReadU32(block) != kSignature) return false;
  size_t length = ReadU32(block + 4);
  if (length < kHeaderBytes || length > available || length > kMaxBlockBytes || length % 4 != 0)
    return false;
  for (size_t at = kHeaderBytes; at < length;) {
    if (length - at < 4) return false;
    size_t keyUnits = ReadU16(block + at);
    size_t bytes = ReadU16(block + at + 2);
    size_t keyAt = at + 4;
    size_t valueStart = Align4(keyAt + 2 * keyUnits);
    if (valueStart > length || bytes > length - valueStart) return false;
    if (!key.empty() && keyUnits == key.size()) {
      size_t unit = 0;
      while (unit < keyUnits &&
             host::internal::LowerAsciiUnit(ReadU16(block + keyAt + 2 * unit)) ==
                 host::internal::LowerAsciiUnit(key[unit]))
        ++unit;
      if (unit == keyUnits) {
        *valueAt = valueStart;
        *valueBytes = bytes;
        return true;
      }
    }
    at = Align4(valueStart + bytes);
  }
  return key.empty();
}

// A resource library's version block, checked whole: a memory file's bytes, shared, or
// the bytes read from a host file.
struct Block {
  std::shared_ptr<const host::internal::MemoryContent> memory;
  std::vector<BYTE> read;
  const BYTE* data = nullptr;
  size_t size = 0;
};

// Whether `size` bytes of a file, of which `done` could be read, hold a version block.
bool HoldsBlock(const BYTE* bytes, size_t size, size_t done) {
  if (size < kHeaderBytes || size > kMaxBlockBytes) return false;
  size_t unusedAt = 0, unusedBytes = 0;
  return done == size && ReadU32(bytes + 4) == size &&
         WalkBlock(bytes, size, {}, &unusedAt, &unusedBytes);
}

// Reads a resource library's version block. Returns ERROR_SUCCESS with the block, or the
// Windows error for a file that holds none.
DWORD ReadBlock(LPCWSTR fileName, Block* block) {
  std::string path;
  DWORD error = host::internal::MapWindowsPath(fileName, &path);
  if (error != ERROR_SUCCESS) return error;
  std::shared_ptr<const host::internal::MemoryContent> memory;
  switch (host::internal::FindMemoryFile(path, &memory)) {
    case host::internal::MemoryEntry::File: {
      const std::vector<BYTE>& bytes = memory->bytes();
      if (!HoldsBlock(bytes.data(), bytes.size(), bytes.size()))
        return ERROR_RESOURCE_TYPE_NOT_FOUND;
      block->data = bytes.data();
      block->size = bytes.size();
      block->memory = std::move(memory);
      return ERROR_SUCCESS;
    }
    case host::internal::MemoryEntry::Library:
      return ERROR_ACCESS_DENIED;  // a library is loaded, not read
    case host::internal::MemoryEntry::None:
      break;
  }
  int descriptor = host::internal::OpenReadOnly(path);
  if (descriptor < 0) return errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND
                                                                 : ERROR_ACCESS_DENIED;
  struct stat status;
  error = ERROR_SUCCESS;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    error = ERROR_ACCESS_DENIED;
  } else if (status.st_size < static_cast<off_t>(kHeaderBytes) ||
             status.st_size > static_cast<off_t>(kMaxBlockBytes)) {
    error = ERROR_RESOURCE_TYPE_NOT_FOUND;
  } else {
    std::vector<BYTE> bytes(static_cast<size_t>(status.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t got = read(descriptor, bytes.data() + done, bytes.size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    if (HoldsBlock(bytes.data(), bytes.size(), done)) {
      block->read = std::move(bytes);
      block->data = block->read.data();
      block->size = block->read.size();
    } else {
      error = ERROR_RESOURCE_TYPE_NOT_FOUND;
    }
  }
  close(descriptor);
  return error;
}

void ForgetBlock(const void* data) {
  VersionState& state = Version();
  std::lock_guard guard(state.lock);
  for (FilledBlock& block : state.filled) {
    if (block.data == data) block = {};
  }
}

void RememberBlock(const void* data, size_t bytes) {
  VersionState& state = Version();
  std::lock_guard guard(state.lock);
  state.filled[state.next] = {data, bytes};
  state.next = (state.next + 1) % kRememberedBlocks;
}

// The buffer size behind a block that GetFileVersionInfoW filled, or 0.
size_t FilledBytes(const void* data) {
  VersionState& state = Version();
  std::lock_guard guard(state.lock);
  for (const FilledBlock& block : state.filled) {
    if (block.data == data) return block.bytes;
  }
  return 0;
}

void PutU16(std::vector<uint8_t>* out, uint16_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
  PutU16(out, static_cast<uint16_t>(value));
  PutU16(out, static_cast<uint16_t>(value >> 16));
}

}  // namespace

namespace host {

std::vector<uint8_t> ResourceLibraryBytes(uint16_t language, uint16_t codePage) {
  const std::u16string_view key = u"\\VarFileInfo\\Translation";
  std::vector<uint8_t> block;
  block.reserve(kHeaderBytes + Align4(4 + 2 * key.size()) + 4);
  PutU32(&block, kSignature);
  PutU32(&block, 0);  // the length, filled in below
  PutU16(&block, static_cast<uint16_t>(key.size()));
  PutU16(&block, 4);
  for (char16_t unit : key) PutU16(&block, unit);
  block.resize(Align4(block.size()));
  PutU16(&block, language);
  PutU16(&block, codePage);
  uint32_t length = static_cast<uint32_t>(block.size());
  for (size_t i = 0; i < 4; ++i) block[4 + i] = static_cast<uint8_t>(length >> (8 * i));
  return block;
}

bool WriteResourceLibrary(const std::string& hostPath, uint16_t language, uint16_t codePage) {
  const std::vector<uint8_t> block = ResourceLibraryBytes(language, codePage);
  internal::MakeDirectories(internal::ParentDirectory(hostPath));
  return internal::WriteFileBytes(hostPath, block.data(), block.size());
}

}  // namespace host

extern "C" {

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle) try {
  if (handle) *handle = 0;
  if (!fileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (host::ShouldFail(Call::GetFileVersionInfoSize)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  Block block;
  DWORD error = ReadBlock(fileName, &block);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return 0;
  }
  return static_cast<DWORD>(block.size);
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(0);
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD size, LPVOID data) try {
  (void)handle;
  if (!fileName || !data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Whatever the buffer held before, it is no longer a block this call filled.
  ForgetBlock(data);
  if (host::ShouldFail(Call::GetFileVersionInfo)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  Block block;
  DWORD error = ReadBlock(fileName, &block);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  if (size < block.size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(data, block.data, block.size);
  RememberBlock(data, size);
  return TRUE;
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(FALSE);
}

BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length) try {
  if (!block || !subBlock || !buffer || !length) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *buffer = nullptr;
  *length = 0;
  size_t available = FilledBytes(block);
  if (available == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (host::ShouldFail(Call::VerQueryValue)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const std::u16string_view key = host::internal::BoundedText(subBlock);
  size_t valueAt = 0, valueBytes = 0;
  const BYTE* bytes = static_cast<const BYTE*>(block);
  if (key.empty() || !WalkBlock(bytes, available, key, &valueAt, &valueBytes)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
  }
  *buffer = const_cast<BYTE*>(bytes + valueAt);
  *length = static_cast<UINT>(valueBytes);
  return TRUE;
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(FALSE);
}

}  // extern "C"
