// SPDX-License-Identifier: Apache-2.0
// The media catalog of an installation, in the order the PPD lists it.
#include "cups/media_catalog.h"

#include <cups/cups.h>
#include <dlfcn.h>
#include <locale.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <stdexcept>
#include <tuple>

#include "context/settings_record.h"
#include "device/media_definitions.h"
#include "host/host.h"

namespace tq33cups {
namespace {

// libcups by the name its package installs it under: CUPS keeps this interface stable.
constexpr char kCupsLibrary[] = "libcups.so.2";

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

// Widths within this many tenths of a millimetre are the same tape's, as the driver's
// custom-size match takes them; lengths within this many the same label's.
constexpr LONG kWidthTolerance = 10;
constexpr LONG kLengthTolerance = 7;

// The length as the PPD writes it, in points with two decimals, then as CUPS reads it:
// hundredths of a millimetre, rounded as CUPS rounds.
int PwgFromTenths(LONG tenths) {
  const std::string text = PointsText(static_cast<double>(tenths) * 72.0 / 254.0);
  // The hundredths over 100 are the double the text reads as: both are the nearest to it.
  long long hundredths = 0;
  for (const char c : text) {
    if (c >= '0' && c <= '9') hundredths = hundredths * 10 + (c - '0');
  }
  const double written = static_cast<double>(text[0] == '-' ? -hundredths : hundredths) / 100.0;
  return static_cast<int>((written * 2540.0 + 36.0) / 72.0);
}

// A media-type keyword of a name: its lower-case words, never more than kMaxKeywordLength
// characters, starting with a letter.
std::string TypeKeywordFromName(std::string_view name) {
  std::string keyword = LowerCaseWords(name, kMaxKeywordLength);
  if (keyword.empty() || !std::islower(static_cast<unsigned char>(keyword.front())))
    keyword = "medium" + std::string(keyword.empty() ? "" : "-") + keyword;
  return keyword.substr(0, kMaxKeywordLength);
}

// The type of a medium from what the driver knows of it: paper or special, tape or
// labels, labels across. A user-defined label is its tape's.
void SetMediaType(const MediaRecord& record, MediaChoice* choice) {
  const bool paper = record.mrKind == 1;
  const bool special = !paper && IsSpecialMedia(&record.mrEntry);
  const bool tape = record.mrLengthDots == 0;
  const int across = record.mrWidthMultiple + 1;
  choice->mediaType = std::string(paper ? "paper-" : special ? "special-" : "") + (tape ? "tape" : "labels");
  std::string text = std::string(paper ? "Paper " : special ? "Special " : "") + (tape ? "tape" : "labels");
  text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  if (across > 1) {
    choice->mediaType += "-" + std::to_string(across) + "-across";
    text += ", " + std::to_string(across) + " labels across";
  }
  choice->mediaTypeText = text;
}

// The IPP names of every medium: size names, types unique within a size, the primary
// medium of each size.
void NameForIpp(const ModelData& model, std::vector<MediaChoice>* catalog) {
  for (MediaChoice& choice : *catalog) {
    choice.sizeName = PwgSizeName(PwgFromTenths(choice.pageLength), PwgFromTenths(choice.width));
    SetMediaType(model.mediaTable[choice.mediaIndex], &choice);
  }
  for (size_t i = 0; i < catalog->size(); ++i) {
    MediaChoice& later = (*catalog)[i];
    // Each medium is compared with those before it, which are unique already.
    const auto clashes = [&] {
      for (size_t j = 0; j < i; ++j) {
        const MediaChoice& other = (*catalog)[j];
        if (other.sizeName == later.sizeName && other.mediaType == later.mediaType) return true;
      }
      return false;
    };
    if (!clashes()) continue;
    later.mediaType = TypeKeywordFromName(later.name);
    later.mediaTypeText = later.name;
    if (!clashes()) continue;
    const std::string suffix = "-" + std::to_string(later.paperSize);
    later.mediaType = later.mediaType.substr(0, kMaxKeywordLength - suffix.size()) + suffix;
  }
  // The plain medium of each size: not special, not paper, the fewest across, of the table.
  const auto rank = [&](const MediaChoice& c) {
    const MediaRecord& r = model.mediaTable[c.mediaIndex];
    return std::tuple(IsSpecialMedia(&r.mrEntry) != FALSE, r.mrKind == 1, r.mrWidthMultiple,
                      c.definition >= 0);
  };
  for (size_t i = 0; i < catalog->size(); ++i) {
    MediaChoice& choice = (*catalog)[i];
    choice.primary = true;
    for (size_t j = 0; j < catalog->size() && choice.primary; ++j) {
      const MediaChoice& other = (*catalog)[j];
      if (j == i || other.sizeName != choice.sizeName) continue;
      if (rank(other) < rank(choice) || (rank(other) == rank(choice) && j < i)) choice.primary = false;
    }
  }
}

}  // namespace

// libcups names the size: a standard name where one fits, else custom_WxHmm_WxHmm. The
// library is loaded when a size is first named (a process linked with it finds it loaded),
// so that a program that names none starts without it and the libraries it brings.
std::string PwgSizeName(int width, int length) {
  using Lookup = pwg_media_t* (*)(int, int);
  static const Lookup lookup = []() -> Lookup {
    void* library = dlopen(kCupsLibrary, RTLD_LAZY | RTLD_LOCAL);  // kept for the process
    void* symbol = library ? dlsym(library, "pwgMediaForSize") : nullptr;
    return reinterpret_cast<Lookup>(reinterpret_cast<void (*)()>(symbol));
  }();
  if (!lookup) {
    throw std::runtime_error(std::string("cannot load ") + kCupsLibrary +
                             " for the IPP names of the media");
  }
  pwg_media_t* media = lookup(width, length);
  return media && media->pwg ? media->pwg : std::string();
}

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
std::string LowerCaseWords(std::string_view name, size_t length) {
  std::string words;
  bool gap = false;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x80 && std::isalnum(u)) {
      if (gap && !words.empty()) words += '-';
      words += static_cast<char>(std::tolower(u));
      gap = false;
    } else {
      gap = true;
    }
  }
  if (words.size() > length) words.resize(length);
  while (!words.empty() && words.back() == '-') words.pop_back();
  return words;
}

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
std::vector<MediaChoice> BuildMediaCatalog(const DeviceContext& context, IppNames names) {
  std::vector<MediaChoice> catalog;
  const ModelData& model = context.modelData;
  if (!model.mediaTable) return catalog;
  std::set<std::string> used;
  // Tape's page size is as long as the default label.
  const DWORD defaultLength = context.defaultSettings.priv.privLength;
  const LONG tapeLength = defaultLength >= 1 && defaultLength <= 0x7FFF ? static_cast<LONG>(defaultLength) : 1000;

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
    choice.pageLength = choice.continuous() ? tapeLength : choice.length;
    choice.mediaIndex = static_cast<LONG>(i);
    choice.special = IsSpecialMedia(&record.mrEntry) != FALSE;
    choice.maxLength = choice.continuous() ? static_cast<LONG>(MaxLengthTenths(&record.mrEntry))
                                           : choice.length;
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
    choice.pageLength = choice.length;
    choice.definition = static_cast<LONG>(k);
    choice.mediaIndex = found;
    choice.special = IsSpecialMedia(&record.mrEntry) != FALSE;
    choice.maxLength = choice.length;
    catalog.push_back(choice);
  }
  if (names == IppNames::Named) NameForIpp(model, &catalog);
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


// The sized choice, another of its size name, or a medium matching the page's size.
const MediaChoice* FindMediumOfType(const std::vector<MediaChoice>& catalog,
                                    const MediaChoice* sized, LONG width, LONG length,
                                    std::string_view mediaType) {
  if (sized && sized->mediaType == mediaType) return sized;
  for (const MediaChoice& choice : catalog) {
    if (choice.mediaType != mediaType) continue;
    if (sized) {
      if (choice.sizeName == sized->sizeName) return &choice;
    } else if (std::abs(choice.width - width) <= kWidthTolerance &&
               (choice.continuous() || std::abs(choice.length - length) <= kLengthTolerance)) {
      return &choice;
    }
  }
  return nullptr;
}

// Each type once, by its first medium. Cannot fail.
std::vector<std::pair<std::string, std::string>> MediaTypes(const std::vector<MediaChoice>& catalog) {
  std::vector<std::pair<std::string, std::string>> types;
  for (const MediaChoice& choice : catalog) {
    const bool listed = std::any_of(types.begin(), types.end(),
                                    [&](const auto& type) { return type.first == choice.mediaType; });
    if (!listed) types.emplace_back(choice.mediaType, choice.mediaTypeText);
  }
  return types;
}

std::string PointsText(double points) {
  // The C library's own conventions for this one call: the standard library's formatting
  // of doubles would bring the maths library into every program that links this.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t{});
  const locale_t previous = cLocale ? uselocale(cLocale) : locale_t{};
  char text[48];
  const int length = std::snprintf(text, sizeof(text), "%.2f", points);
  if (cLocale) uselocale(previous);
  return length > 0 && static_cast<size_t>(length) < sizeof(text) ? std::string(text, length)
                                                                   : std::string("0");
}

}  // namespace tq33cups
