// Writes media definition files for tests: a 10-byte header with the declared count, then
// 142-byte records. Header bytes 0-3 and 6-9 are the writer's own: "TQMD" and format 1.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/media_definitions.h"

namespace test {

// One user-defined label (lengths in hundredths of a millimetre).
struct Definition {
  std::u16string name;
  WORD kind = 0;
  DWORD paperSize = 0;
  DWORD length = 0;
  DWORD margin = 0;
};

MediaDefinition MakeDefinition(const Definition& definition);

// The bytes of a file holding the definitions; the header declares their number unless
// declared says otherwise.
std::string MediaFileBytes(const std::vector<Definition>& definitions,
                           std::optional<WORD> declared = std::nullopt);

}  // namespace test
