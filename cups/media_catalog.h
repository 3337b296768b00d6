// The media a TQ-33 queue offers, as the driver reads them for an installation: every
// medium of the media table and every user-defined label of the media definition file,
// each with the PPD keyword that names it and the settings that select it.
//
// The PPD generator and the filter both build the catalog from a device context of the
// same installation, so a page size the PPD names is the medium the filter selects.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "context/device_context.h"

namespace tq33cups {

// PPD keywords are at most 40 characters long.
inline constexpr size_t kMaxKeywordLength = 40;

struct MediaChoice {
  std::string keyword;       // PPD PageSize keyword, unique in the catalog
  std::string name;          // display name, UTF-8
  WORD paperSize = 0;        // dmPaperSize that selects it: mrPaperSize, or 317 + definition
  BYTE kind = 0;             // privMediaKind the media lookup must search
  SHORT width = 0;           // tape width, tenths of a millimetre
  SHORT length = 0;          // label length, tenths of a millimetre; 0 for continuous tape
  LONG definition = -1;      // media definition index; -1 for a medium of the table
  LONG mediaIndex = -1;      // position of its MediaRecord (the base tape of a definition)

  bool continuous() const { return length == 0; }
};

// The catalog of a device context: the media table's records in table order, then the
// media definitions whose base tape the table holds. Records of no width and definitions
// of no usable length are left out: no page size can describe them.
std::vector<MediaChoice> BuildMediaCatalog(const DeviceContext& context);

// The choice of a PPD keyword, or null.
const MediaChoice* FindMediaChoice(const std::vector<MediaChoice>& catalog,
                                   std::string_view keyword);

// A PPD keyword made of a name: letters, digits, '.' and '-' kept, every other run of
// characters one '_', at most kMaxKeywordLength characters. Empty when nothing is left.
std::string KeywordFromName(std::string_view name);

// A UTF-16 field of units code units as UTF-8, up to its first NUL; the field may lie at
// any address.
std::string NameFromField(const void* field, size_t units);

}  // namespace tq33cups
