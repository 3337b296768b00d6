// SPDX-License-Identifier: Apache-2.0
// The model-data library cycle: load the library, read the model record and the media
// list through it, unload it, and build the MediaTable from the list.
#include "context/model_data.h"

#include <cstring>

namespace {

// Kind codes some models distinguish: 2 and 5 make media of kind 1.
constexpr SHORT kKindCodeSecondary = 2;
constexpr SHORT kKindCodeDieCut = 5;

// "\3\" and the library name behind the printer driver directory.
constexpr WCHAR kLibrarySubdirectory[] = WIDE("\\3\\");

bool IsUsableHandle(ModelDataHandle handle) { return handle != 0 && handle != 0xFFFFFFFFu; }

bool IsUsableModule(HMODULE module) {
  return module != nullptr && module != reinterpret_cast<HMODULE>(INVALID_HANDLE_VALUE);
}

// Appends text at *length in a buffer of capacity units (terminator included). FALSE,
// with the buffer unchanged, when it does not fit.
bool AppendWide(WCHAR* buffer, size_t capacity, size_t* length, const WCHAR* text) {
  size_t add = 0;
  while (text[add] != 0) ++add;
  if (*length + add + 1 > capacity) return false;
  std::memcpy(buffer + *length, text, add * sizeof(WCHAR));
  *length += add;
  buffer[*length] = 0;
  return true;
}

}  // namespace

const MediaRecord* MediaRecordAt(const ModelData* modelData, LONGLONG position) {
  if (!modelData || !modelData->mediaTable) return nullptr;
  if (position < 0 || position > static_cast<LONGLONG>(modelData->mediaCount)) return nullptr;
  return &modelData->mediaTable[position];
}

BOOL OpenModelDataLibrary(HMODULE* module, ModelDataTable* table) {
  if (!module || !table || table->size != MODEL_DATA_TABLE_SIZE) return FALSE;

  // MAX_PATH units, terminator included; the directory the spooler reports has no length
  // limit of its own, so a path that does not fit with the library's name is refused.
  WCHAR path[MAX_PATH] = {};
  DWORD needed = 0;
  if (!GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(path),
                                  sizeof(path), &needed))
    return FALSE;
  path[MAX_PATH - 1] = 0;
  size_t length = 0;
  while (path[length] != 0) ++length;
  if (!AppendWide(path, MAX_PATH, &length, kLibrarySubdirectory) ||
      !AppendWide(path, MAX_PATH, &length, MODEL_DATA_LIBRARY_NAME)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }

  HMODULE library = LoadLibraryW(path);
  if (!IsUsableModule(library)) return FALSE;

  auto initialize = reinterpret_cast<ModelDataInitializeFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(library, MODEL_DATA_INIT_EXPORT)));
  if (!initialize || !initialize(table)) {
    FreeLibrary(library);
    return FALSE;
  }
  *module = library;
  return TRUE;
}

BOOL CloseModelDataLibrary(HMODULE module, ModelDataTable* table) {
  BOOL freed = FreeLibrary(module);
  if (table) std::memset(table, 0, sizeof(*table));
  return freed;
}

BOOL LoadModelData(HANDLE heap, LPCWSTR dataFilePath, ModelRecord** modelRecord,
                   DWORD modelSelector, DWORD modelRecordSize, MediaListEntry** mediaList,
                   DWORD mediaSelector, MediaRecord** mediaTable, DWORD* mediaCount) {
  if (!heap || heap == INVALID_HANDLE_VALUE || !dataFilePath || !modelRecord || !mediaList ||
      !mediaTable || !mediaCount)
    return FALSE;
  // The driver reads a whole ModelRecord from the block, so it is never smaller than one.
  if (modelRecordSize < sizeof(ModelRecord)) return FALSE;

  ModelDataTable table = {};
  table.size = MODEL_DATA_TABLE_SIZE;
  HMODULE module = nullptr;
  ModelDataHandle handle = 0;
  BYTE* record = nullptr;
  BYTE* list = nullptr;
  DWORD listBytes = 0;
  DWORD count = 0;
  BOOL loaded = FALSE;

  if (OpenModelDataLibrary(&module, &table)) {
    loaded = TRUE;
    // A library that hands out a handle without a way to close it is not used at all.
    if (table.mdOpen && table.mdClose && table.mdOpen(&handle, dataFilePath) &&
        IsUsableHandle(handle)) {
      record = static_cast<BYTE*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, modelRecordSize));
      DWORD returned = 0;
      if (record && table.mdGetModel &&
          table.mdGetModel(handle, modelSelector, record, modelRecordSize, &returned)) {
        DWORD needed = 0;
        DWORD probeCount = 0;
        SetLastError(ERROR_SUCCESS);
        if (table.mdGetMediaList &&
            !table.mdGetMediaList(handle, mediaSelector, nullptr, 0, &needed, &probeCount) &&
            GetLastError() == ERROR_INSUFFICIENT_BUFFER && needed != 0) {
          // The block is as large as the probe said, whatever the fill call writes back
          // as the size needed.
          listBytes = needed;
          list = static_cast<BYTE*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, listBytes));
          DWORD filled = 0;
          if (list && table.mdGetMediaList(handle, mediaSelector, list, listBytes, &needed,
                                           &filled))
            count = filled;
        }
      }
    }
  }

  if (IsUsableHandle(handle) && table.mdClose) table.mdClose(handle);
  if (loaded) CloseModelDataLibrary(module, &table);

  // The entry count must fit the block the library was given, and the table of count + 1
  // records must not wrap: a count from the library is not trusted beyond its own block.
  BOOL result = FALSE;
  if (list && record && count > 0 &&
      static_cast<unsigned long long>(count) * MEDIA_LIST_ENTRY_SIZE <= listBytes &&
      count < 0xFFFFu) {
    auto* records = static_cast<MediaRecord*>(
        HeapAlloc(heap, HEAP_ZERO_MEMORY, (static_cast<SIZE_T>(count) + 1) * sizeof(MediaRecord)));
    const auto* model = reinterpret_cast<const ModelRecord*>(record);
    if (records && model->moType != 0xFF &&
        ConvertMediaList(records, reinterpret_cast<const MediaListEntry*>(list), count + 1,
                         model->moType)) {
      *modelRecord = reinterpret_cast<ModelRecord*>(record);
      *mediaList = reinterpret_cast<MediaListEntry*>(list);
      *mediaTable = records;
      *mediaCount = count;
      result = TRUE;
    }
  }
  return result;
}

BOOL ConvertMediaList(MediaRecord* table, const MediaListEntry* list, DWORD count,
                      BYTE modelType) {
  if (!table || !list || count == 0) return FALSE;
  const bool kindsApart = modelType == '0' || modelType == '3';
  for (DWORD i = 0; i + 1 < count; ++i) {
    const MediaListEntry& entry = list[i];
    MediaRecord& record = table[i];
    record.mrIndex = static_cast<WORD>(i);
    record.mrKind = 0;
    record.mrSubKind = 0;
    if (kindsApart && entry.meKindCode == kKindCodeSecondary) {
      record.mrKind = 1;
      record.mrSubKind = 1;
    } else if (kindsApart && entry.meKindCode == kKindCodeDieCut) {
      record.mrKind = 1;
      record.mrSubKind = 2;
    }
    record.mrPaperSize = entry.mePaperSize;
    record.mrWidth = entry.meWidth;
    record.mrPrintWidth = entry.mePrintWidth;
    record.mrWidthDots = entry.meWidthDots;
    record.mrPrintWidthDots = entry.mePrintWidthDots;
    record.mrLength = entry.meLength;
    record.mrPrintLength = entry.mePrintLength;
    record.mrLengthDots = entry.meLengthDots;
    record.mrPrintLengthDots = entry.mePrintLengthDots;
    record.mrMarginDots = static_cast<LONG>(entry.meWidthDots) - entry.mePrintWidthDots;
    record.mrWidthMultiple = entry.meWidthMultiple;
    record.mrEntry = entry;
  }
  std::memset(&table[count - 1], 0xFF, sizeof(MediaRecord));
  return TRUE;
}
