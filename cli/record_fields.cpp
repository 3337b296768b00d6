// SPDX-License-Identifier: Apache-2.0
// Field tables of the driver's records, and reading and writing fields by name.
#include "cli/record_fields.h"

#include <charconv>
#include <cstring>
#include <limits>
#include <utility>

#include "context/model_data.h"
#include "context/settings_record.h"
#include "device/media_definitions.h"
#include "device/printer_data.h"
#include "host/host.h"
#include "platform/platform.h"

namespace tq33cli {
namespace {

#define FIELD(Type, path, name, kind, bit) \
  Field { name, offsetof(Type, path), sizeof(static_cast<Type*>(nullptr)->path), kind, bit }

constexpr FieldKind U = FieldKind::Unsigned;
constexpr FieldKind S = FieldKind::Signed;
constexpr FieldKind H = FieldKind::Hex;
constexpr FieldKind T = FieldKind::Text16;
constexpr FieldKind A = FieldKind::Ascii;

// dmFields bits of the public fields that have one, beyond those platform.h names.
constexpr uint32_t kDmDefaultSource = 0x200;
constexpr uint32_t kDmLogPixels = 0x20000;
constexpr uint32_t kDmBitsPerPel = 0x40000;
constexpr uint32_t kDmPelsWidth = 0x80000;
constexpr uint32_t kDmPelsHeight = 0x100000;
constexpr uint32_t kDmNup = 0x40;
constexpr uint32_t kDmDisplayFrequency = 0x400000;
constexpr uint32_t kDmIcmMethod = 0x800000;
constexpr uint32_t kDmIcmIntent = 0x1000000;
constexpr uint32_t kDmMediaType = 0x2000000;
constexpr uint32_t kDmDitherType = 0x4000000;
constexpr uint32_t kDmPanningWidth = 0x8000000;
constexpr uint32_t kDmPanningHeight = 0x10000000;

#define DM(member, kind, bit) FIELD(SettingsRecord, dm.member, #member, kind, bit)
#define PRIV(member, kind) FIELD(SettingsRecord, priv.member, #member, kind, 0)
#define CA(member, kind) \
  FIELD(SettingsRecord, priv.privColorAdjustment.member, "privColorAdjustment." #member, kind, 0)

// Every named field of the settings record. The device-mode unions are given by their
// printer members (the display members share their bytes).
constexpr Field kSettingsFields[] = {
    DM(dmDeviceName, T, 0),
    DM(dmSpecVersion, H, 0),
    DM(dmDriverVersion, H, 0),
    DM(dmSize, U, 0),
    DM(dmDriverExtra, U, 0),
    DM(dmFields, H, 0),
    DM(dmOrientation, S, DM_ORIENTATION),
    DM(dmPaperSize, S, DM_PAPERSIZE),
    DM(dmPaperLength, S, DM_PAPERLENGTH),
    DM(dmPaperWidth, S, DM_PAPERWIDTH),
    DM(dmScale, S, DM_SCALE),
    DM(dmCopies, S, DM_COPIES),
    DM(dmDefaultSource, S, kDmDefaultSource),
    DM(dmPrintQuality, S, DM_PRINTQUALITY),
    DM(dmColor, S, DM_COLOR),
    DM(dmDuplex, S, DM_DUPLEX),
    DM(dmYResolution, S, DM_YRESOLUTION),
    DM(dmTTOption, S, DM_TTOPTION),
    DM(dmCollate, S, DM_COLLATE),
    DM(dmFormName, T, DM_FORMNAME),
    DM(dmLogPixels, U, kDmLogPixels),
    DM(dmBitsPerPel, U, kDmBitsPerPel),
    DM(dmPelsWidth, U, kDmPelsWidth),
    DM(dmPelsHeight, U, kDmPelsHeight),
    DM(dmNup, U, kDmNup),
    DM(dmDisplayFrequency, U, kDmDisplayFrequency),
    DM(dmICMMethod, U, kDmIcmMethod),
    DM(dmICMIntent, U, kDmIcmIntent),
    DM(dmMediaType, U, kDmMediaType),
    DM(dmDitherType, U, kDmDitherType),
    DM(dmReserved1, U, 0),
    DM(dmReserved2, U, 0),
    DM(dmPanningWidth, U, kDmPanningWidth),
    DM(dmPanningHeight, U, kDmPanningHeight),
    PRIV(xbSize, U),
    PRIV(xbRequest, H),
    PRIV(xbReport, H),
    PRIV(xbPaperSize, U),
    PRIV(xbMediaType, U),
    PRIV(xbMargin, U),
    PRIV(xbWidthMultiple, U),
    PRIV(xbLength, U),
    PRIV(xbOptions, H),
    PRIV(xbTag, A),
    PRIV(privSignature, H),
    PRIV(privFlags, H),
    CA(caSize, U),
    CA(caFlags, H),
    CA(caIlluminantIndex, U),
    CA(caRedGamma, U),
    CA(caGreenGamma, U),
    CA(caBlueGamma, U),
    CA(caReferenceBlack, U),
    CA(caReferenceWhite, U),
    CA(caContrast, S),
    CA(caBrightness, S),
    CA(caColorfulness, S),
    CA(caRedGreenTint, S),
    PRIV(privMediaId, U),
    PRIV(privPlainMediaId, U),
    PRIV(privFormIndex, U),
    PRIV(privMirror, U),
    PRIV(privCollate, U),
    PRIV(privWidthMultiple, U),
    PRIV(privHalftone, U),
    PRIV(privContrast, S),
    PRIV(privBrightness, S),
    PRIV(privLengthDots, U),
    PRIV(privLength, U),
    PRIV(privAutoCut, U),
    PRIV(privJobOption, U),
    PRIV(privInchUnits, U),
    PRIV(privHalfCut, U),
    PRIV(privMediaKind, U),
    PRIV(privLocaleDone, U),
    PRIV(privChainPrint, U),
    PRIV(privOpt800, U),
    PRIV(privMarginInDots, U),
    PRIV(privMargin, U),
    PRIV(privMediaBase, U),
    PRIV(privUseMonitor, U),
    PRIV(privOpt20000, U),
    PRIV(privOpt40000, U),
    PRIV(privSmallChar, U),
    PRIV(privHighResAllowed, U),
};

#define MO(member, kind) FIELD(ModelRecord, member, #member, kind, 0)
constexpr Field kModelRecordFields[] = {
    MO(moType, U),
    MO(moName, T),
    MO(moDefaultPaperSize, U),
    MO(moDefaultLength, S),
    MO(moDefaultLengthDots, S),
    MO(moDefaultPrintQuality, U),
    MO(moDefaultYResolution, U),
};

#define ME(member, kind) FIELD(MediaListEntry, member, #member, kind, 0)
constexpr Field kMediaEntryFields[] = {
    ME(meName, T),        ME(meKindCode, S),   ME(mePaperSize, U),       ME(meWidth, S),
    ME(mePrintWidth, S),  ME(meWidthDots, S),  ME(mePrintWidthDots, S),  ME(meLength, S),
    ME(mePrintLength, S), ME(meLengthDots, S), ME(mePrintLengthDots, S), ME(meWidthMultiple, U),
    ME(meOptions, H),
};

#define MR(member, kind) FIELD(MediaRecord, member, #member, kind, 0)
constexpr Field kMediaRecordFields[] = {
    MR(mrIndex, U),      MR(mrKind, U),          MR(mrSubKind, U),    MR(mrPaperSize, U),
    MR(mrWidth, S),      MR(mrPrintWidth, S),    MR(mrWidthDots, S),  MR(mrPrintWidthDots, S),
    MR(mrLength, S),     MR(mrPrintLength, S),   MR(mrLengthDots, S), MR(mrPrintLengthDots, S),
    MR(mrMarginDots, S), MR(mrWidthMultiple, U),
};

#define DEF(member, kind) FIELD(MediaDefinition, member, #member, kind, 0)
constexpr Field kDefinitionFields[] = {
    DEF(defName, T), DEF(defKind, U), DEF(defPaperSize, U), DEF(defLength, U), DEF(defMargin, U),
};

#define PD(member, kind) FIELD(PrinterDataRecord, member, #member, kind, 0)
constexpr Field kPrinterDataFields[] = {
    PD(pdVersion, H),
    PD(pdSize, U),
    PD(pdFlags, H),
    PD(pdFreeMemory, U),
};

#define GI(member, kind) FIELD(GDIINFO, member, #member, kind, 0)
#define CI(chroma) GI(ciDevice.chroma.x, S), GI(ciDevice.chroma.y, S), GI(ciDevice.chroma.Y, S)
constexpr Field kGdiInfoFields[] = {
    GI(ulVersion, H),
    GI(ulTechnology, U),
    GI(ulHorzSize, S),
    GI(ulVertSize, S),
    GI(ulHorzRes, U),
    GI(ulVertRes, U),
    GI(cBitsPixel, U),
    GI(cPlanes, U),
    GI(ulNumColors, U),
    GI(flRaster, H),
    GI(ulLogPixelsX, U),
    GI(ulLogPixelsY, U),
    GI(flTextCaps, H),
    GI(ulDACRed, U),
    GI(ulDACGreen, U),
    GI(ulDACBlue, U),
    GI(ulAspectX, U),
    GI(ulAspectY, U),
    GI(ulAspectXY, U),
    GI(xStyleStep, S),
    GI(yStyleStep, S),
    GI(denStyleStep, S),
    GI(ptlPhysOffset.x, S),
    GI(ptlPhysOffset.y, S),
    GI(szlPhysSize.cx, S),
    GI(szlPhysSize.cy, S),
    GI(ulNumPalReg, U),
    CI(Red),
    CI(Green),
    CI(Blue),
    CI(Cyan),
    CI(Magenta),
    CI(Yellow),
    CI(AlignmentWhite),
    GI(ciDevice.RedGamma, S),
    GI(ciDevice.GreenGamma, S),
    GI(ciDevice.BlueGamma, S),
    GI(ciDevice.MagentaInCyanDye, S),
    GI(ciDevice.YellowInCyanDye, S),
    GI(ciDevice.CyanInMagentaDye, S),
    GI(ciDevice.YellowInMagentaDye, S),
    GI(ciDevice.CyanInYellowDye, S),
    GI(ciDevice.MagentaInYellowDye, S),
    GI(ulDevicePelsDPI, U),
    GI(ulPrimaryOrder, U),
    GI(ulHTPatternSize, U),
    GI(ulHTOutputFormat, U),
    GI(flHTFlags, H),
    GI(ulVRefresh, U),
    GI(ulBltAlignment, U),
    GI(ulPanningHorzRes, U),
    GI(ulPanningVertRes, U),
    GI(xPanningAlignment, U),
    GI(yPanningAlignment, U),
    GI(cxHTPat, U),
    GI(cyHTPat, U),
    GI(pHTPatA, H),
    GI(pHTPatB, H),
    GI(pHTPatC, H),
    GI(flShadeBlend, H),
    GI(ulPhysicalPixelCharacteristics, U),
    GI(ulPhysicalPixelGamma, U),
};

#define DI(member, kind) FIELD(DEVINFO, member, #member, kind, 0)
constexpr Field kDeviceInfoFields[] = {
    DI(flGraphicsCaps, H), DI(cFonts, U),   DI(iDitherFormat, U),
    DI(cxDither, U),       DI(cyDither, U), DI(flGraphicsCaps2, H),
};

// A little-endian unsigned integer of size bytes.
uint64_t ReadUnsigned(const uint8_t* at, uint32_t size) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < size; ++i) value |= static_cast<uint64_t>(at[i]) << (8 * i);
  return value;
}

// Text of a UTF-16 field up to its first NUL.
std::string Text16(const uint8_t* at, uint32_t size) {
  std::u16string text;
  for (uint32_t i = 0; i + 1 < size; i += 2) {
    char16_t unit = static_cast<char16_t>(at[i] | (at[i + 1] << 8));
    if (unit == 0) break;
    text.push_back(unit);
  }
  return host::Utf8(text);
}

// Text of an ASCII field up to its first NUL; other bytes show as '?'.
std::string Ascii(const uint8_t* at, uint32_t size) {
  std::string text;
  for (uint32_t i = 0; i < size && at[i] != 0; ++i) {
    text.push_back(at[i] >= 0x20 && at[i] < 0x7F ? static_cast<char>(at[i]) : '?');
  }
  return text;
}

// The unit of a field whose name does not say it, for text reports; null for none.
const char* UnitOf(std::string_view name) {
  static constexpr std::pair<std::string_view, const char*> kUnits[] = {
      {"dmPaperLength", "0.1 mm"},
      {"dmPaperWidth", "0.1 mm"},
      {"privLength", "0.1 mm"},
      {"moDefaultLength", "0.1 mm"},
      {"mrWidth", "0.1 mm"},
      {"mrPrintWidth", "0.1 mm"},
      {"mrLength", "0.1 mm"},
      {"mrPrintLength", "0.1 mm"},
      {"meWidth", "0.1 mm"},
      {"mePrintWidth", "0.1 mm"},
      {"meLength", "0.1 mm"},
      {"mePrintLength", "0.1 mm"},
      {"defLength", "0.01 mm"},
      {"defMargin", "0.01 mm"},
      {"privMargin", "dots"},
      {"xbLength", "dots"},
      {"dmYResolution", "dpi"},
      {"dmPrintQuality", "dpi"},
      {"moDefaultPrintQuality", "dpi"},
      {"moDefaultYResolution", "dpi"},
      {"ulHorzSize", "micrometres, negative"},
      {"ulVertSize", "micrometres, negative"},
      {"ulHorzRes", "dots"},
      {"ulVertRes", "dots"},
      {"ulLogPixelsX", "dpi"},
      {"ulLogPixelsY", "dpi"},
      {"pdFreeMemory", "bytes"},
  };
  for (const auto& [field, unit] : kUnits) {
    if (field == name) return unit;
  }
  return nullptr;
}

// A decimal or 0x hexadecimal number with an optional '-'; false for anything else.
bool ParseInteger(std::string_view text, int64_t* value) {
  bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint64_t magnitude = 0;
  auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (text.empty() || code != std::errc() || end != text.data() + text.size()) return false;
  if (magnitude > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) return false;
  *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

// Reports build their objects by appending, without looking up what is already there: a
// name twice in one table would give a report the same key twice.
constexpr bool NamesDiffer(std::span<const Field> fields) {
  for (size_t i = 0; i < fields.size(); ++i) {
    for (size_t j = i + 1; j < fields.size(); ++j) {
      if (std::string_view(fields[i].name) == fields[j].name) return false;
    }
  }
  return true;
}
static_assert(NamesDiffer(kSettingsFields) && NamesDiffer(kModelRecordFields) &&
              NamesDiffer(kMediaEntryFields) && NamesDiffer(kMediaRecordFields) &&
              NamesDiffer(kDefinitionFields) && NamesDiffer(kPrinterDataFields) &&
              NamesDiffer(kGdiInfoFields) && NamesDiffer(kDeviceInfoFields));

}  // namespace

const RecordLayout kSettingsLayout = {"settings record", kSettingsFields, sizeof(SettingsRecord)};
const RecordLayout kModelRecordLayout = {"model record", kModelRecordFields, sizeof(ModelRecord)};
const RecordLayout kMediaEntryLayout = {"media list entry", kMediaEntryFields,
                                        sizeof(MediaListEntry)};
const RecordLayout kMediaRecordLayout = {"media record", kMediaRecordFields,
                                         offsetof(MediaRecord, mrEntry)};
const RecordLayout kDefinitionLayout = {"media definition", kDefinitionFields,
                                        sizeof(MediaDefinition)};
const RecordLayout kPrinterDataLayout = {"printer data record", kPrinterDataFields,
                                         offsetof(PrinterDataRecord, pdReserved)};
const RecordLayout kGdiInfoLayout = {"GDIINFO", kGdiInfoFields, sizeof(GDIINFO)};
const RecordLayout kDeviceInfoLayout = {"DEVINFO", kDeviceInfoFields, sizeof(DEVINFO)};

const Field* FindField(const RecordLayout& layout, std::string_view name) {
  for (const Field& field : layout.fields) {
    if (name == field.name) return &field;
  }
  return nullptr;
}

int64_t ReadIntegerField(const Field& field, const void* record) {
  const uint8_t* at = static_cast<const uint8_t*>(record) + field.offset;
  uint64_t raw = ReadUnsigned(at, field.size);
  if (field.kind == FieldKind::Signed && field.size < 8) {
    uint64_t sign = uint64_t{1} << (8 * field.size - 1);
    return static_cast<int64_t>((raw ^ sign) - sign);
  }
  return static_cast<int64_t>(raw);
}

Json FieldsToJson(const RecordLayout& layout, const void* record, bool forText) {
  Json object = Json::object();
  // The names differ (above), so each field is appended, not looked up among the others.
  Json::object_t& members = object.get_ref<Json::object_t&>();
  members.reserve(layout.fields.size());
  const uint8_t* bytes = static_cast<const uint8_t*>(record);
  for (const Field& field : layout.fields) {
    const uint8_t* at = bytes + field.offset;
    std::string key = field.name;
    if (forText) {
      if (const char* unit = UnitOf(key)) key += std::string(" (") + unit + ")";
    }
    Json value;
    switch (field.kind) {
      case FieldKind::Text16:
        value = Text16(at, field.size);
        break;
      case FieldKind::Ascii:
        value = Ascii(at, field.size);
        break;
      case FieldKind::Hex:
        if (forText) {
          char text[24];
          std::snprintf(text, sizeof(text), "0x%llX",
                        static_cast<unsigned long long>(ReadUnsigned(at, field.size)));
          value = text;
        } else {
          value = ReadUnsigned(at, field.size);
        }
        break;
      case FieldKind::Unsigned:
      case FieldKind::Signed:
        value = ReadIntegerField(field, record);
        break;
    }
    members.emplace_back(std::move(key), std::move(value));
  }
  return object;
}

std::string HexBytes(const void* bytes, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  const uint8_t* at = static_cast<const uint8_t*>(bytes);
  std::string text(size * 2, '0');
  for (size_t i = 0; i < size; ++i) {
    text[2 * i] = kDigits[at[i] >> 4];
    text[2 * i + 1] = kDigits[at[i] & 0xF];
  }
  return text;
}

bool SettingsFieldOffset(const Field& field, std::span<const uint8_t> record, size_t* offset) {
  size_t at = field.offset;
  if (field.offset >= SETTINGS_PUBLIC_SIZE) {
    // A caller's private part starts at its own dmSize, which need not be 220.
    constexpr size_t kSizeEnd = offsetof(DEVMODEW, dmSize) + sizeof(WORD);
    if (record.size() < kSizeEnd) return false;
    WORD publicSize = static_cast<WORD>(record[offsetof(DEVMODEW, dmSize)] |
                                        (record[offsetof(DEVMODEW, dmSize) + 1] << 8));
    at = size_t{publicSize} + (field.offset - SETTINGS_PUBLIC_SIZE);
  } else if (field.offset + field.size > SETTINGS_PUBLIC_SIZE) {
    return false;
  }
  if (at + field.size > record.size()) return false;
  *offset = at;
  return true;
}

bool WriteFieldValue(const Field& field, std::span<uint8_t> record, size_t offset,
                     std::string_view value, std::string* error) {
  uint8_t* at = record.data() + offset;
  if (field.kind == FieldKind::Text16) {
    std::u16string text = host::Utf16(value);
    size_t units = field.size / 2;
    if (text.size() >= units) {
      *error =
          std::string(field.name) + " holds at most " + std::to_string(units - 1) + " UTF-16 units";
      return false;
    }
    std::memset(at, 0, field.size);
    for (size_t i = 0; i < text.size(); ++i) {
      at[2 * i] = static_cast<uint8_t>(text[i] & 0xFF);
      at[2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
    }
    return true;
  }
  if (field.kind == FieldKind::Ascii) {
    if (value.size() > field.size) {
      *error =
          std::string(field.name) + " holds at most " + std::to_string(field.size) + " characters";
      return false;
    }
    std::memset(at, 0, field.size);
    std::memcpy(at, value.data(), value.size());
    return true;
  }
  int64_t number = 0;
  if (!ParseInteger(value, &number)) {
    *error = "'" + std::string(value) + "' is not a number";
    return false;
  }
  const int bits = static_cast<int>(8 * field.size);
  int64_t low = 0;
  int64_t high = static_cast<int64_t>((uint64_t{1} << bits) - 1);
  if (field.kind == FieldKind::Signed) {
    low = -(int64_t{1} << (bits - 1));
    high = (int64_t{1} << (bits - 1)) - 1;
  }
  if (number < low || number > high) {
    *error = std::string(field.name) + " takes " + std::to_string(low) + " to " +
             std::to_string(high) + ", not " + std::string(value);
    return false;
  }
  uint64_t raw = static_cast<uint64_t>(number);
  for (uint32_t i = 0; i < field.size; ++i) at[i] = static_cast<uint8_t>(raw >> (8 * i));
  return true;
}

}  // namespace tq33cli
