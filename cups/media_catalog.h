// SPDX-License-Identifier: Apache-2.0
// The media a TQ-33 queue offers, as the driver reads them for an installation: every
// medium of the media table and every user-defined label of the media definition file,
// each with the PPD keyword that names it, the names IPP clients know it by, and the
// settings that select it.
//
// The PPD generator and the filter both build the catalog from a device context of the
// same installation, so a page size the PPD names is the medium the filter selects.
//
// Through IPP a medium is a size and a media type. CUPS names every size of the PPD from
// its dimensions alone (custom_100x24mm_100x24mm: the length along the tape by the tape's
// width), whatever its PPD keyword, and media of one size share that name; so the type
// tells them apart. A medium's type says what it is, in words a print dialog can show:
//
//   tape, labels                 continuous tape; labels of a fixed length
//   paper-tape, paper-labels     the same of paper (the media kind of paper)
//   special-tape, special-labels special media (longer least length and margin)
//   ...-N-across                 N labels side by side across the head
//
// A user-defined label takes the type of the tape it is cut from. Where two media of
// one size would still share a type, the later one is named after itself (its name in
// lower case, words joined by '-'). Every keyword is lower case, letters, digits and
// single '-', so that CUPS passes it on unchanged as the IPP keyword. Of the media of one
// size, the one a size name alone selects (primary) is the plain one: not special, not
// paper, the fewest labels across, a medium of the table before a user-defined one.
#pragma once

#include <string>
#include <string_view>
#include <utility>
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
  bool special = false;      // special media: longer least length and margin, no chaining
  LONG maxLength = 0;        // the longest page it prints, tenths of a millimetre

  // How IPP clients know it through CUPS.
  LONG pageLength = 0;        // length of its page size along the tape, tenths of a
                              // millimetre: its own, or the default length for tape
  std::string sizeName;       // the PWG size name CUPS gives its page size
  std::string mediaType;      // IPP media-type keyword, the PPD's MediaType choice
  std::string mediaTypeText;  // the type in words ("Tape, 2 labels across")
  bool primary = false;       // the medium its size name selects without a type

  bool continuous() const { return length == 0; }
};

// Whether a catalog names its media for IPP (sizeName, mediaType, mediaTypeText and
// primary). The names come from libcups, which is loaded for them: a catalog that only
// selects media by name and code does without it.
enum class IppNames { Named, Unnamed };

// The catalog of a device context: the media table's records in table order, then the
// media definitions whose base tape the table holds. Records of no width and definitions
// of no usable length are left out: no page size can describe them. Throws
// std::runtime_error when the IPP names are asked for and libcups cannot be loaded.
std::vector<MediaChoice> BuildMediaCatalog(const DeviceContext& context,
                                           IppNames names = IppNames::Named);

// The choice of a PPD keyword, or null.
const MediaChoice* FindMediaChoice(const std::vector<MediaChoice>& catalog,
                                   std::string_view keyword);

// The medium of a media type for a page: the sized choice (the page's PPD size) when it
// is of that type, else the medium of that type with the same size name; for a page of
// no named size (sized null), a tape of that type whose width is within a millimetre of
// the page's width, or a label of that type of the page's width and length (tenths of a
// millimetre). Null when the type names no such medium.
const MediaChoice* FindMediumOfType(const std::vector<MediaChoice>& catalog,
                                    const MediaChoice* sized, LONG width, LONG length,
                                    std::string_view mediaType);

// The catalog's media types, each once, in the order of their first medium, with their
// words: what the PPD's MediaType option offers.
std::vector<std::pair<std::string, std::string>> MediaTypes(const std::vector<MediaChoice>& catalog);

// The PWG size name of a page of width x length hundredths of a millimetre, as CUPS names
// it. Throws std::runtime_error when libcups cannot be loaded.
std::string PwgSizeName(int width, int length);

// A PPD keyword made of a name: letters, digits, '.' and '-' kept, every other run of
// characters one '_', at most kMaxKeywordLength characters. Empty when nothing is left.
std::string KeywordFromName(std::string_view name);

// A name's words as a keyword or a PWG name's part: lower-case letters and digits, every
// other run of characters one '-', at most length characters, no '-' at the end. Empty
// when nothing is left.
std::string LowerCaseWords(std::string_view name, size_t length);

// A length in points with two decimals, rounded as printf rounds, with a point before the
// decimals whatever the process's locale.
std::string PointsText(double points);

// A UTF-16 field of units code units as UTF-8, up to its first NUL; the field may lie at
// any address.
std::string NameFromField(const void* field, size_t units);

}  // namespace tq33cups
