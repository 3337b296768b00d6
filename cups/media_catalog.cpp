// The media catalog of an installation, in the order the PPD lists it.
#include "cups/media_catalog.h"

#include <cctype>
#include <cstddef>
#include <cstring>
#include <set>

#include "device/media_definitions.h"
#include "host/host.h"

namespace tq33cups {
namespace {

constexpr size_t kEntryNameUnits = sizeof(MediaListEntry::meName) / sizeof(WCHAR);
constexpr size_t kDefinitionNameUnits = sizeof(MediaDefinition::defName) / sizeof(WCHAR);

// Keywords CUPS gives a meaning of its own.
bool IsReservedKeyword(const std::string& keyword) {
  std::string lower;
  for (char c : keyword.substr(0, 6)) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "custom";
}

// Trims a keyword to at most length characters without a trailing '_'.
std::string Trimmed(std::string keyword, size_t length) {
  if (keyword.size() > length) keyword.resize(length);
  while (!keyword.empty() && keyword.back() == '_') keyword.pop_back();
  return keyword;
}

// Makes a keyword unique in the catalog; a clash takes the paper size code as suffix.
// Empty when even that clashes.
std::string UniqueKeyword(std::string keyword, WORD paperSize, std::set<std::string>* used) {
  if (keyword.empty() || IsReservedKeyword(keyword)) keyword = "Media_" + keyword;
  keyword = Trimmed(keyword, kMaxKeywordLength);
  if (used->count(keyword)) {
    const std::string suffix = "_" + std::to_string(paperSize);
    keyword = Trimmed(keyword, kMaxKeywordLength - suffix.size()) + suffix;
  }
  if (used->count(keyword)) return {};
  used->insert(keyword);
  return keyword;
}

}  // namespace

// Copies unit by unit up to the first NUL. Cannot fail.
std::string NameFromField(const void* field, size_t units) {
  // Records of the media table are packed: a name may lie at an odd address.
  const BYTE* bytes = static_cast<const BYTE*>(field);
  std::u16string name;
  for (size_t i = 0; i < units; ++i) {
    char16_t unit = 0;
    std::memcpy(&unit, bytes + i * sizeof(unit), sizeof(unit));
    if (unit == 0) break;
    name.push_back(unit);
  }
  return host::Utf8(name);
}

// Keeps what PPD keywords allow; empty when nothing of the name is left.
std::string KeywordFromName(std::string_view name) {
  std::string keyword;
  bool gap = false;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x80 && (std::isalnum(u) || c == '.' || c == '-')) {
      if (gap && !keyword.empty()) keyword += '_';
      keyword += c;
      gap = false;
    } else {
      gap = true;
    }
    if (keyword.size() >= kMaxKeywordLength) break;
  }
  if (keyword.size() > kMaxKeywordLength) keyword.resize(kMaxKeywordLength);
  return keyword;
}

// The records, then the definitions; empty when the context has no media table.
std::vector<MediaChoice> BuildMediaCatalog(const DeviceContext& context) {
  std::vector<MediaChoice> catalog;
  const ModelData& model = context.modelData;
  if (!model.mediaTable) return catalog;
  std::set<std::string> used;

  for (DWORD i = 0; i < model.mediaCount; ++i) {
    const MediaRecord& record = model.mediaTable[i];
    if (record.mrWidth <= 0 || record.mrLengthDots < 0 || record.mrLength < 0) continue;
    MediaChoice choice;
    choice.name = NameFromField(reinterpret_cast<const BYTE*>(&record.mrEntry) +
                                    offsetof(MediaListEntry, meName),
                                kEntryNameUnits);
    choice.keyword = UniqueKeyword(KeywordFromName(choice.name), record.mrPaperSize, &used);
    if (choice.keyword.empty()) continue;
    if (choice.name.empty()) choice.name = choice.keyword;
    choice.paperSize = record.mrPaperSize;
    choice.kind = record.mrKind;
    choice.width = record.mrWidth;
    // A record without a length in dots is continuous tape, whatever its length field says.
    choice.length = record.mrLengthDots == 0 ? 0 : record.mrLength;
    if (!choice.continuous() && choice.length <= 0) continue;
    choice.mediaIndex = static_cast<LONG>(i);
    catalog.push_back(choice);
  }

  const DWORD definitions = context.mediaDefinitions ? context.mediaDefinitionCount : 0;
  for (DWORD k = 0; k < definitions && k < MEDIA_DEFINITION_SLOTS; ++k) {
    const MediaDefinition& definition = context.mediaDefinitions[k];
    // The lookup compares the kind with a byte of the settings: a wider kind never matches.
    if (definition.defKind > 0xFF) continue;
    const WORD base = static_cast<WORD>(definition.defPaperSize & 0xFFFF);
    LONG found = -1;
    for (DWORD i = 0; i < model.mediaCount && found < 0; ++i) {
      const MediaRecord& record = model.mediaTable[i];
      if (record.mrKind == definition.defKind && record.mrPaperSize == base) found = static_cast<LONG>(i);
    }
    if (found < 0) continue;
    const MediaRecord& record = model.mediaTable[found];
    const unsigned long long length = (static_cast<unsigned long long>(definition.defLength) + 5) / 10;
    if (record.mrWidth <= 0 || length == 0 || length > 0x7FFF) continue;
    MediaChoice choice;
    choice.name = NameFromField(reinterpret_cast<const BYTE*>(&definition) +
                                    offsetof(MediaDefinition, defName),
                                kDefinitionNameUnits);
    const WORD code = static_cast<WORD>(USER_FORM_BASE + k);
    choice.keyword = UniqueKeyword(KeywordFromName(choice.name), code, &used);
    if (choice.keyword.empty()) continue;
    if (choice.name.empty()) choice.name = choice.keyword;
    choice.paperSize = code;
    choice.kind = static_cast<BYTE>(definition.defKind);
    choice.width = record.mrWidth;
    // A definition on a label of fixed length prints that label's length.
    choice.length = record.mrLengthDots != 0 && record.mrLength > 0 ? record.mrLength
                                                                     : static_cast<SHORT>(length);
    choice.definition = static_cast<LONG>(k);
    choice.mediaIndex = found;
    catalog.push_back(choice);
  }
  return catalog;
}

// The choice of that keyword, or null.
const MediaChoice* FindMediaChoice(const std::vector<MediaChoice>& catalog,
                                   std::string_view keyword) {
  for (const MediaChoice& choice : catalog) {
    if (choice.keyword == keyword) return &choice;
  }
  return nullptr;
}

}  // namespace tq33cups
