// SPDX-License-Identifier: Apache-2.0
// The fields of the driver's fixed-layout records by name: the settings record, the model
// record, media list entries and media records, media definitions, the printer data
// record, GDIINFO and DEVINFO. One table per record serves both the reports of `info` and
// `media` and, for the settings record, `--set NAME=VALUE`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>

namespace tq33cli {

using Json = nlohmann::ordered_json;

enum class FieldKind {
  Unsigned,  // little-endian unsigned integer of 1, 2 or 4 bytes
  Signed,    // little-endian two's complement integer of 1, 2 or 4 bytes
  Hex,       // unsigned, shown in hexadecimal in text reports (flag words, signatures)
  Text16,    // UTF-16 text field of size / 2 units, NUL-terminated when shorter
  Ascii,     // bytes of ASCII text, NUL-padded
};

struct Field {
  const char* name;
  uint32_t offset;
  uint32_t size;
  FieldKind kind;
  uint32_t dmBit;  // the public field's dmFields bit, 0 for none
};

struct RecordLayout {
  const char* name;  // "settings record", "media record", ...
  std::span<const Field> fields;
  size_t size;  // bytes of the whole record
};

extern const RecordLayout kSettingsLayout;     // SettingsRecord, 504 bytes
extern const RecordLayout kModelRecordLayout;  // ModelRecord, 118 bytes
extern const RecordLayout kMediaEntryLayout;   // MediaListEntry, 252 bytes
extern const RecordLayout kMediaRecordLayout;  // MediaRecord without its entry copy
extern const RecordLayout kDefinitionLayout;   // MediaDefinition, 142 bytes
extern const RecordLayout kPrinterDataLayout;  // PrinterDataRecord, its first 12 bytes
extern const RecordLayout kGdiInfoLayout;      // GDIINFO, 304 bytes
extern const RecordLayout kDeviceInfoLayout;   // DEVINFO graphics capabilities

// The field of a layout by its exact name, or null.
const Field* FindField(const RecordLayout& layout, std::string_view name);

// Every field of a record of layout.size bytes as a JSON object, in layout order. With
// forText, hexadecimal fields become "0x..." strings for the text report and fields
// whose name does not say their unit carry it in their key ("mrWidth (0.1 mm)"); JSON
// reports keep the bare names and every integer a number.
Json FieldsToJson(const RecordLayout& layout, const void* record, bool forText);

// The bytes as one hexadecimal string, two lower-case digits a byte.
std::string HexBytes(const void* bytes, size_t size);

// Where a settings field lies in a caller's raw record: public fields at their fixed
// offset, private fields behind the record's own dmSize. False when the field does not
// lie wholly inside the record's bytes (or the record cannot hold its dmSize).
bool SettingsFieldOffset(const Field& field, std::span<const uint8_t> record, size_t* offset);

// Writes value (decimal, 0x hexadecimal, or text for text fields) into the field at
// offset of record. False with the reason in error when the value does not fit the field.
bool WriteFieldValue(const Field& field, std::span<uint8_t> record, size_t offset,
                     std::string_view value, std::string* error);

// Reads an integer field of a record as a signed 64-bit number.
int64_t ReadIntegerField(const Field& field, const void* record);

}  // namespace tq33cli
