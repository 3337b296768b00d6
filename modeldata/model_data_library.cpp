// SPDX-License-Identifier: Apache-2.0
// The model-data library ("TQ33Ki3.dll"): opens the driver data file, keeps what it read
// behind a handle, and answers the driver's calls for the model record and the media list.
//
// Its one export is QDX_InitializeW; the four entry points are reached only through the
// table it fills. Handles are kept in a table of slots under one lock, so that calls from
// several threads (several processes' worth of device contexts in one spooler) are safe.
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "modeldata/model_data_file.h"
#include "platform/model_data_api.h"
#include "platform/platform.h"
#include "platform/slim_lock.h"

#if defined(_WIN32)
// Exported by name through tq33modeldata.def, without the stdcall decoration.
#  define MODEL_DATA_EXPORT extern "C"
#else
#  define MODEL_DATA_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// Data files open at once. The driver holds one for the length of one load, under a lock
// of its own; the rest is room for tools and other callers.
constexpr DWORD kSlotCount = 64;

// A handle is (generation << 8) | (slot + 1): its low byte is 1 to 64, so it is never 0
// and never all ones, and a handle of a closed file is told apart from the next file
// opened in the same slot by the generation.
constexpr DWORD kSlotBits = 8;
constexpr DWORD kGenerationMask = 0x00FFFFFFu;

struct Slot {
  DWORD generation = 0;
  std::unique_ptr<ModelDataFile> file;  // null while the slot is free
};

struct HandleTable {
  SlimLock lock;
  Slot slots[kSlotCount];
};

HandleTable& Handles() {
  static HandleTable table;
  return table;
}

// The slot a handle names; kSlotCount or more for a handle that names none.
DWORD SlotOf(ModelDataHandle handle) { return (handle & ((1u << kSlotBits) - 1)) - 1; }

// The file behind a handle; null for a handle that is not open. The table's lock must be
// held while the result is used.
ModelDataFile* FindFile(HandleTable& table, ModelDataHandle handle) {
  DWORD slot = SlotOf(handle);
  if (slot >= kSlotCount) return nullptr;
  Slot& s = table.slots[slot];
  if (!s.file || s.generation != ((handle >> kSlotBits) & kGenerationMask)) return nullptr;
  return s.file.get();
}

// The model a handle and selector name, with the last error set to ERROR_INVALID_HANDLE or
// ERROR_INVALID_PARAMETER when there is none. The table's lock must be held.
const ModelDataModel* FindSelectedModel(HandleTable& table, ModelDataHandle handle,
                                        DWORD selector) {
  const ModelDataFile* file = FindFile(table, handle);
  if (!file) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const ModelDataModel* model = FindModelData(file, selector);
  if (!model) SetLastError(ERROR_INVALID_PARAMETER);
  return model;
}

// The last file parsed whole, by its bytes: a file read again unchanged (every context
// of a job reads the same one) is copied from here rather than parsed again.
struct ParsedFile {
  SlimLock lock;
  std::vector<BYTE> bytes;
  ModelDataFile file;
};

ParsedFile& LastParsed() {
  static ParsedFile last;
  return last;
}

// Parses bytes into file, or copies the parse of the same bytes from the last time.
// ERROR_SUCCESS, ERROR_INVALID_DATA for a malformed file, or ERROR_NOT_ENOUGH_MEMORY; a
// copy that cannot be made is no reason to fail: the bytes are parsed then, or the last
// file stays the one remembered. Never remembers a file it could not parse.
DWORD ParseOrRecall(const BYTE* bytes, size_t size, ModelDataFile* file) {
  ParsedFile& last = LastParsed();
  {
    std::lock_guard guard(last.lock);
    if (last.bytes.size() == size && size != 0 &&
        std::memcmp(last.bytes.data(), bytes, size) == 0) {
      try {
        *file = last.file;
        return ERROR_SUCCESS;
      } catch (const std::bad_alloc&) {
        file->models.clear();
      }
    }
  }
  ModelDataError error;
  if (!ParseModelDataFile(bytes, size, file, &error))
    return error.outOfMemory ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_DATA;
  try {
    // Copied before the lock is taken and swapped in whole; the last file's memory is
    // given back after it is let go.
    std::vector<BYTE> keptBytes(bytes, bytes + size);
    ModelDataFile keptFile = *file;
    std::lock_guard guard(last.lock);
    last.bytes.swap(keptBytes);
    std::swap(last.file, keptFile);
  } catch (const std::bad_alloc&) {
    // The last file stays the one remembered.
  }
  return ERROR_SUCCESS;
}

// Reads and parses the data file at path through a read-only mapping of exactly the size
// the file reported. FALSE with the last error set when it cannot be used.
BOOL ReadDataFile(LPCWSTR path, ModelDataFile* file) {
  HANDLE handle = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE || !handle) return FALSE;
  BOOL parsed = FALSE;
  DWORD sizeHigh = 0;
  DWORD size = GetFileSize(handle, &sizeHigh);
  // An empty file cannot be mapped and holds no model; a large one is not read at all.
  if (sizeHigh != 0 || size == 0 || size > kModelDataFileMaxBytes) {
    SetLastError(ERROR_FILE_INVALID);
  } else if (HANDLE mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, size,
                                                 nullptr)) {
    // Sizing the mapping to the reported size makes it fail, rather than come out short,
    // if the file has shrunk in between.
    if (const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size)) {
      const DWORD error = ParseOrRecall(static_cast<const BYTE*>(view), size, file);
      parsed = error == ERROR_SUCCESS;
      UnmapViewOfFile(view);
      SetLastError(error);
    }
    DWORD error = GetLastError();
    CloseHandle(mapping);
    SetLastError(error);
  }
  DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
  return parsed;
}

// Opens the data file at path and writes a handle to what it holds. FALSE with the
// handle 0 when the file is missing, unreadable, malformed or too large.
BOOL WINAPI OpenDataFile(ModelDataHandle* handle, LPCWSTR path) {
  if (!handle || !path) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *handle = 0;
  std::unique_ptr<ModelDataFile> file(new (std::nothrow) ModelDataFile);
  if (!file) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  // The file is read without the table's lock: other handles stay usable meanwhile.
  if (!ReadDataFile(path, file.get())) return FALSE;

  HandleTable& table = Handles();
  std::lock_guard guard(table.lock);
  for (DWORD i = 0; i < kSlotCount; ++i) {
    Slot& s = table.slots[i];
    if (s.file) continue;
    s.generation = (s.generation + 1) & kGenerationMask;
    s.file = std::move(file);
    *handle = (s.generation << kSlotBits) | (i + 1);
    return TRUE;
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return FALSE;
}

// Closes a handle from OpenDataFile. FALSE for a handle that is not open.
BOOL WINAPI CloseDataFile(ModelDataHandle handle) {
  std::unique_ptr<ModelDataFile> released;
  {
    HandleTable& table = Handles();
    std::lock_guard guard(table.lock);
    if (!FindFile(table, handle)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    released = std::move(table.slots[SlotOf(handle)].file);
  }
  return TRUE;
}

// Copies at most size bytes of the selected model's record into record and writes how
// many were copied. FALSE for an unknown handle or selector or a missing pointer.
BOOL WINAPI GetModel(ModelDataHandle handle, DWORD selector, BYTE* record, DWORD size,
                     DWORD* returned) {
  if (returned) *returned = 0;
  if (!returned || (!record && size != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HandleTable& table = Handles();
  std::lock_guard guard(table.lock);
  const ModelDataModel* model = FindSelectedModel(table, handle, selector);
  if (!model) return FALSE;
  DWORD copied = size < sizeof(ModelRecord) ? size : static_cast<DWORD>(sizeof(ModelRecord));
  if (copied) std::memcpy(record, &model->record, copied);
  *returned = copied;
  return TRUE;
}

// Copies the selected model's media list into buffer and writes the bytes needed and the
// number of entries. Without a buffer, or with one smaller than the list, it fails with
// ERROR_INSUFFICIENT_BUFFER and writes only the bytes needed.
BOOL WINAPI GetMediaList(ModelDataHandle handle, DWORD selector, BYTE* buffer, DWORD size,
                         DWORD* needed, DWORD* count) {
  if (needed) *needed = 0;
  if (count) *count = 0;
  if (!needed || !count) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  HandleTable& table = Handles();
  std::lock_guard guard(table.lock);
  const ModelDataModel* model = FindSelectedModel(table, handle, selector);
  if (!model) return FALSE;
  // At most kModelDataMaxMedia entries, so the product fits in 32 bits.
  DWORD entries = static_cast<DWORD>(model->media.size());
  DWORD bytes = entries * static_cast<DWORD>(sizeof(MediaListEntry));
  *needed = bytes;
  if (!buffer || size < bytes) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::memcpy(buffer, model->media.data(), bytes);
  *count = entries;
  return TRUE;
}

}  // namespace

static_assert(kModelDataMaxMedia * sizeof(MediaListEntry) < 0xFFFFFFFFu);

// Fills the table's four entry points. FALSE for a null table or one whose size member is
// not the size the driver sets.
MODEL_DATA_EXPORT BOOL WINAPI QDX_InitializeW(ModelDataTable* table) {
  if (!table || table->size != MODEL_DATA_TABLE_SIZE) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  table->mdOpen = OpenDataFile;
  table->mdClose = CloseDataFile;
  table->mdGetModel = GetModel;
  table->mdGetMediaList = GetMediaList;
  return TRUE;
}
