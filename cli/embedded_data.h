// SPDX-License-Identifier: Apache-2.0
// The files of data/ built into the tool: the default installation's model data and media
// definitions, and the other models shipped beside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace tq33cli {

struct EmbeddedFile {
  const char* name;  // file name in data/, e.g. "tq33.model"
  const unsigned char* bytes;
  size_t size;
};

extern const EmbeddedFile kEmbeddedFiles[];
extern const size_t kEmbeddedFileCount;

// The embedded file of that name, or nothing.
std::optional<std::vector<uint8_t>> EmbeddedBytes(std::string_view name);

}  // namespace tq33cli
