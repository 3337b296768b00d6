#include "tests/support/media_file_writer.h"

#include <cstring>

namespace test {

MediaDefinition MakeDefinition(const Definition& definition) {
  MediaDefinition record{};
  // The name slot keeps a terminator: at most 63 units of the name.
  for (size_t i = 0; i < definition.name.size() && i < 63; ++i) {
    record.defName[i] = definition.name[i];
  }
  record.defKind = definition.kind;
  record.defPaperSize = definition.paperSize;
  record.defLength = definition.length;
  record.defMargin = definition.margin;
  return record;
}

std::string MediaFileBytes(const std::vector<Definition>& definitions,
                           std::optional<WORD> declared) {
  MediaDefinitionHeader header{};
  std::memcpy(header.dhReserved1, "TQMD", 4);
  header.dhReserved2[0] = 1;
  header.dhCount = declared.value_or(static_cast<WORD>(definitions.size()));
  std::string bytes(reinterpret_cast<const char*>(&header), sizeof(header));
  for (const Definition& definition : definitions) {
    MediaDefinition record = MakeDefinition(definition);
    bytes.append(reinterpret_cast<const char*>(&record), sizeof(record));
  }
  return bytes;
}

}  // namespace test
