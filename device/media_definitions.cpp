// SPDX-License-Identifier: Apache-2.0
// The media definition file: user-defined labels beside the driver, read once per device
// context into a block of 23 slots that the context owns.
#include "device/media_definitions.h"

#include <cstring>

#include "context/settings_record.h"
#include "device/default_settings.h"

namespace {

constexpr WCHAR kDefinitionExtension[] = WIDE("DAT");
constexpr DWORD kExtensionUnits = 3;

// The margin in hundredths of a millimetre, no greater than its tape allows (the tape is
// the media list entry of its base paper size code; normal limits when the list has none).
DWORD DefinitionUsableMargin(const MediaDefinition& definition, const ModelData* modelData) {
  const MediaListEntry* entry = nullptr;
  FindMediaEntry(modelData, &entry, static_cast<WORD>(definition.defPaperSize));
  const DWORD most = MaxMarginTenths(entry) * 10;
  return definition.defMargin > most ? most : definition.defMargin;
}

}  // namespace

// Builds the name or leaves destination empty; FALSE when there is no path or the name
// would not fit (a path that long is treated by the caller as a missing file).
BOOL BuildDefinitionFileName(WCHAR destination[MAX_PATH], LPCWSTR driverPath) {
  if (!destination) return FALSE;
  destination[0] = 0;
  if (!driverPath) return FALSE;

  // A path of MAX_PATH units or more is refused: the scan stops there instead of trusting
  // the terminator to come, and a dot among the units read is not the path's last dot.
  DWORD length = 0;
  DWORD afterDot = 0;  // position just after the last "."; 0 while none was seen
  while (length < MAX_PATH && driverPath[length] != 0) {
    if (driverPath[length] == u'.') afterDot = length + 1;
    ++length;
  }
  if (length == MAX_PATH) return FALSE;

  // The last dot anywhere counts, also one in a directory name: that is how the file has
  // always been found beside the driver.
  DWORD keep = afterDot != 0 ? afterDot : length;
  DWORD total = keep + (afterDot != 0 ? 0 : 1) + kExtensionUnits;
  if (total + 1 > MAX_PATH) return FALSE;

  std::memcpy(destination, driverPath, keep * sizeof(WCHAR));
  if (afterDot == 0) destination[keep++] = u'.';
  std::memcpy(destination + keep, kDefinitionExtension, kExtensionUnits * sizeof(WCHAR));
  destination[total] = 0;
  return TRUE;
}

// Maps the whole file read-only and hands out the view; FALSE, with the outputs cleared,
// when the file cannot be opened, sized or mapped. An empty file has nothing to map: TRUE,
// with no view and a size of 0.
BOOL MapFileReadOnly(LPCWSTR fileName, const BYTE** view, const BYTE** view2, DWORD* fileSize) {
  if (view) *view = nullptr;
  if (view2) *view2 = nullptr;
  if (fileSize) *fileSize = 0;
  if (!fileName || !view || !view2 || !fileSize) return FALSE;

  HANDLE file = CreateFileW(fileName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE || !file) return FALSE;

  BOOL result = FALSE;
  HANDLE mapping = nullptr;
  const BYTE* mapped = nullptr;
  DWORD high = 0;
  DWORD size = GetFileSize(file, &high);
  // A size the low word cannot hold is as unusable as one that could not be read.
  if (size == 0 && high == 0) {
    result = TRUE;
  } else if (size != INVALID_FILE_SIZE && high == 0) {
    mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping) mapped = static_cast<const BYTE*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  }
  if (mapped) {
    *view = mapped;
    *view2 = mapped;
    *fileSize = size;
    result = TRUE;
  }
  // The view keeps the file's contents; neither handle is needed once it exists.
  if (mapping) CloseHandle(mapping);
  CloseHandle(file);
  return result;
}

// Reads the definitions into a new 3266-byte block of 0xFF-filled slots; null, with
// count -1, when the file is missing or unreadable, or memory runs out. An empty file
// holds no definitions; a file longer than the slots gives its first records.
MediaDefinition* ReadMediaDefinitions(LPCWSTR driverPath, LONG* count) {
  if (count) *count = -1;

  WCHAR fileName[MAX_PATH];
  const BYTE* view = nullptr;
  const BYTE* sameView = nullptr;
  DWORD fileSize = 0;
  if (!BuildDefinitionFileName(fileName, driverPath)) return nullptr;
  if (!MapFileReadOnly(fileName, &view, &sameView, &fileSize)) return nullptr;

  auto* block = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, MEDIA_DEFINITION_BLOCK_SIZE));
  if (block) {
    std::memset(block, 0xFF, MEDIA_DEFINITION_BLOCK_SIZE);

    // Only complete records count, never more than the header declares or the block
    // holds; a file too short for its header declares nothing.
    DWORD declared = 0;
    if (fileSize >= MEDIA_DEFINITION_HEADER_SIZE) {
      MediaDefinitionHeader header;
      std::memcpy(&header, view, sizeof(header));
      declared = header.dhCount;
    }
    DWORD present = fileSize >= MEDIA_DEFINITION_HEADER_SIZE
                        ? (fileSize - MEDIA_DEFINITION_HEADER_SIZE) / MEDIA_DEFINITION_SIZE
                        : 0;
    DWORD records = declared;
    if (records > MEDIA_DEFINITION_SLOTS) records = MEDIA_DEFINITION_SLOTS;
    if (records > present) records = present;
    if (records != 0) {
      std::memcpy(block, view + MEDIA_DEFINITION_HEADER_SIZE, records * MEDIA_DEFINITION_SIZE);
    }
    if (count) *count = static_cast<LONG>(records);
  }
  // The block is a copy: nothing keeps the view beyond this call.
  if (view) UnmapViewOfFile(view);
  return reinterpret_cast<MediaDefinition*>(block);
}

// The definition that code 317 + i names; null when there is none in the block.
const MediaDefinition* DefinitionForPaperSize(const MediaDefinition* definitions,
                                              DWORD definitionCount, SHORT paperSize) {
  if (!definitions) return nullptr;
  // The block has 23 slots whatever count a caller holds; slots past them do not exist.
  if (definitionCount > MEDIA_DEFINITION_SLOTS) definitionCount = MEDIA_DEFINITION_SLOTS;
  LONG index = static_cast<LONG>(paperSize) - USER_FORM_BASE;
  if (index < 0 || static_cast<DWORD>(index) >= definitionCount) return nullptr;
  return &definitions[index];
}

DWORD DefinitionLengthTenths(const MediaDefinition& definition) {
  return static_cast<DWORD>((static_cast<uint64_t>(definition.defLength) + 5) / 10);
}

DWORD DefinitionMarginMillimetres(const MediaDefinition& definition) {
  return static_cast<DWORD>((static_cast<uint64_t>(definition.defMargin) + 50) / 100);
}

uint64_t DefinitionMarginDots(const MediaDefinition& definition, DWORD resolution) {
  return (static_cast<uint64_t>(resolution) * definition.defMargin / 254 + 5) / 10;
}

// The length in tenths as every reader takes it, against the longest label of any medium;
// the two margins, as they will be used, against the length, both in hundredths.
BOOL DefinitionHoldsAPage(const MediaDefinition& definition, const ModelData* modelData) {
  DWORD longest = 0;
  for (DWORD i = 0; modelData && modelData->mediaList && i < modelData->mediaCount; ++i) {
    const DWORD most = MaxLengthTenths(&modelData->mediaList[i]);
    if (most > longest) longest = most;
  }
  if (longest == 0) longest = MaxLengthTenths(nullptr);
  const uint64_t margins = 2ull * DefinitionUsableMargin(definition, modelData);
  return DefinitionLengthTenths(definition) <= longest && margins < definition.defLength;
}

// A skipped slot holds 0xFF bytes, as the slots behind the definitions do: its kind
// matches no settings' kind byte and its paper size is the table's terminator code, which
// no scan finds.
void SettleDefinitions(MediaDefinition* definitions, DWORD count, const ModelData* modelData) {
  if (!definitions) return;
  if (count > MEDIA_DEFINITION_SLOTS) count = MEDIA_DEFINITION_SLOTS;
  for (DWORD i = 0; i < count; ++i) {
    MediaDefinition& definition = definitions[i];
    if (DefinitionHoldsAPage(definition, modelData))
      definition.defMargin = DefinitionUsableMargin(definition, modelData);
    else
      std::memset(&definition, 0xFF, sizeof(MediaDefinition));
  }
}
