// SPDX-License-Identifier: Apache-2.0
// Writes media definition files for tests as scripts/make_media_file.py writes the sample:
// a header ("TQMD", the declared count, format 1), then the 142-byte records.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "device/media_definitions.h"

namespace test {

// One user-defined label; length and margin in hundredths of a millimetre.
struct Definition {
  std::u16string name;
  WORD kind = 0;
  DWORD paperSize = 0;
  DWORD length = 0;
  DWORD margin = 0;
};

inline MediaDefinition MakeDefinition(const Definition& d) {
  MediaDefinition record{{}, d.kind, d.paperSize, d.length, d.margin};
  std::u16string name = d.name.substr(0, 63);  // keeps a terminator
  std::memcpy(record.defName, name.data(), name.size() * sizeof(WCHAR));
  return record;
}

// The file's bytes; the header declares the number of definitions unless told otherwise.
inline std::string MediaFileBytes(const std::vector<Definition>& definitions,
                                  std::optional<WORD> declared = std::nullopt) {
  MediaDefinitionHeader header{{'T', 'Q', 'M', 'D'}, 0, {1, 0, 0, 0}};
  header.dhCount = declared.value_or(static_cast<WORD>(definitions.size()));
  std::string bytes(reinterpret_cast<const char*>(&header), sizeof(header));
  for (const Definition& definition : definitions) {
    MediaDefinition record = MakeDefinition(definition);
    bytes.append(reinterpret_cast<const char*>(&record), sizeof(record));
  }
  return bytes;
}

}  // namespace test
