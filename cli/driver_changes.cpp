// SPDX-License-Identifier: Apache-2.0
// Comparing the settings asked for with the merged record, and naming what changed.
#include "cli/driver_changes.h"

#include <cstddef>
#include <optional>

#include "cli/record_fields.h"
#include "cli/tool.h"
#include "cups/job_settings.h"
#include "device/media_lookup.h"

namespace tq33cli {
namespace {

constexpr size_t kEntryNameUnits = sizeof(MediaListEntry::meName) / sizeof(WCHAR);
constexpr size_t kDefinitionNameUnits = sizeof(MediaDefinition::defName) / sizeof(WCHAR);
constexpr int64_t kHighResolution = 720;

// A value given in units of 1/scale, in whole units with the decimals it needs: "53.5".
std::string Decimal(int64_t value, int64_t scale) {
  const bool negative = value < 0;
  const uint64_t magnitude =
      negative ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::string text = (negative ? "-" : "") + std::to_string(magnitude / scale);
  uint64_t fraction = magnitude % scale;
  if (fraction != 0) {
    std::string digits = std::to_string(fraction);
    digits.insert(0, std::to_string(scale).size() - 1 - digits.size(), '0');
    while (digits.back() == '0') digits.pop_back();
    text += "." + digits;
  }
  return text;
}

// The value the application record holds in a settings field, as a JSON scalar; none when
// the field lies outside the record.
std::optional<Json> RecordValue(const Field& field, const std::vector<uint8_t>& record) {
  size_t offset = 0;
  if (!SettingsFieldOffset(field, record, &offset)) return std::nullopt;
  Field moved = field;
  moved.offset = static_cast<uint32_t>(offset);
  const RecordLayout one{"settings record", std::span<const Field>(&moved, 1), record.size()};
  return FieldsToJson(one, record.data(), false)[field.name];
}

// "\"VK 24mm (RFID)\" (387)"
std::string Named(const SelectedMedium& medium) {
  return "\"" + medium.name + "\" (" + std::to_string(medium.code) + ")";
}

// The sentence for one field the driver changed, or empty when a general one will do.
std::string Sentence(const std::string& name, int64_t asked, int64_t merged,
                     const DeviceContext& context, const SelectedMedium& medium,
                     const std::vector<uint8_t>& record,
                     const std::vector<tq33cups::MediaChoice>& catalog) {
  const std::string printing = medium.record ? "; printing on " + Named(medium) : "";
  if (name == "dmPaperSize") {
    // A custom size (256) is settled by its width and length, which speak for themselves.
    if (asked == DMPAPER_USER) return "-";
    const tq33cups::MediaChoice* known = nullptr;
    for (const tq33cups::MediaChoice& choice : catalog) {
      if (choice.paperSize == asked) known = &choice;
    }
    if (!known) return "paper " + std::to_string(asked) + " is not in the media table" + printing;
    int64_t kind = 0;
    if (std::optional<Json> value =
            RecordValue(*FindField(kSettingsLayout, "privMediaKind"), record)) {
      kind = value->get<int64_t>();
    }
    return "paper " + std::to_string(asked) + " (\"" + known->name + "\") is a medium of kind " +
           std::to_string(known->kind) + ", not of the kind " + std::to_string(kind) +
           " the settings select (privMediaKind; --paper sets both)" + printing;
  }
  if (name == "dmPaperLength") {
    const std::string length = "length " + Millimetres(asked);
    const std::string result = "; printing " + Millimetres(merged);
    if (!medium.record) return length + result;
    if (medium.record->mrLength != 0) {
      return length + " does not apply to " + Named(medium) + ", whose labels are " +
             Millimetres(medium.record->mrLength) + " long" + result;
    }
    if (medium.definition) {
      return length + " does not apply to " + Named(medium) + ", whose labels are " +
             MillimetresFromHundredths(medium.definition->defLength) + " long" + result;
    }
    const int64_t shortest = MinLengthTenths(&medium.record->mrEntry);
    const int64_t longest = MaxLengthTenths(&medium.record->mrEntry);
    if (asked >= 0 && asked < shortest) {
      return length + " is shorter than " + Millimetres(shortest) + ", the least " + Named(medium) +
             " takes" + result;
    }
    if (asked > longest) {
      return length + " is longer than " + Millimetres(longest) + ", the most " + Named(medium) +
             " takes" + result;
    }
    if (asked < 0) return length + " is no length" + result;
    return length + result;
  }
  if (name == "dmPaperWidth") {
    return "width " + Millimetres(asked) + " is not the width of " +
           (medium.record ? Named(medium) : std::string("the medium")) + "; printing " +
           Millimetres(merged) + " wide";
  }
  if (name == "dmCopies") {
    const std::string copies = CountOf(asked, "copy", "copies");
    if (asked > tq33cups::kMaxCopies) {
      return copies + " is more than " + std::to_string(tq33cups::kMaxCopies) + "; printing " +
             std::to_string(merged);
    }
    if (asked < 1) return copies + " is fewer than 1; printing " + std::to_string(merged);
    return copies + "; printing " + std::to_string(merged);
  }
  if (name == "dmYResolution") {
    const std::string result = "; printing at " + std::to_string(merged) + " dpi";
    // The resolution counts only when the record's fields say it is there.
    const std::optional<Json> fields = RecordValue(*FindField(kSettingsLayout, "dmFields"), record);
    if (fields && (fields->get<int64_t>() & DM_YRESOLUTION) == 0) {
      return std::to_string(asked) + " dpi is not asked for: dmFields lacks DM_YRESOLUTION" +
             result;
    }
    if (asked == kHighResolution && context.settings.priv.privHighResAllowed == 0) {
      return "720 dpi needs the high-resolution allowance, which this installation does not "
             "give (privHighResAllowed 0)" +
             result;
    }
    return std::to_string(asked) + " dpi is not a feed resolution (360 or 720)" + result;
  }
  if (name == "dmOrientation") {
    return "orientation " + std::to_string(asked) +
           " is neither portrait (1) nor landscape (2); printing " +
           (merged == DMORIENT_PORTRAIT ? "portrait" : "landscape");
  }
  return {};
}

}  // namespace

std::string MillimetreFigure(int64_t tenths) { return Decimal(tenths, 10); }
std::string Millimetres(int64_t tenths) { return Decimal(tenths, 10) + " mm"; }
std::string MillimetresFromHundredths(int64_t hundredths) {
  return Decimal(hundredths, 100) + " mm";
}

std::string DescribeMedium(const MediaRecord& record, const MediaDefinition* definition) {
  std::string text = Millimetres(record.mrWidth) + " wide, ";
  if (definition && record.mrLength == 0) {
    text += "labels " + MillimetresFromHundredths(definition->defLength) + " long (user-defined)";
  } else if (record.mrLength != 0) {
    text += "labels " + Millimetres(record.mrLength) + " long";
  } else {
    text += "continuous";
  }
  if (record.mrKind == 1) text += ", paper";
  if (record.mrWidthMultiple != 0)
    text += ", " + std::to_string(record.mrWidthMultiple + 1) + " labels across";
  if (IsSpecialMedia(&record.mrEntry)) text += ", special";
  return text;
}

SelectedMedium SelectMedium(const DeviceContext& context, HANDLE printer) {
  SelectedMedium medium;
  FindMediaIndex(printer, &context.settings, &context.modelData, &medium.mediaIndex,
                 &medium.definitionIndex, context.mediaDefinitions, context.mediaDefinitionCount,
                 static_cast<WORD>(context.defaultSettings.dm.dmPaperSize));
  medium.record = MediaRecordAt(&context.modelData,
                                LONGLONG{context.settings.priv.privMediaBase} + medium.mediaIndex);
  if (medium.record) {
    medium.name = tq33cups::NameFromField(
        reinterpret_cast<const BYTE*>(&medium.record->mrEntry) + offsetof(MediaListEntry, meName),
        kEntryNameUnits);
    medium.code = medium.record->mrPaperSize;
  }
  if (medium.definitionIndex >= 0 && context.mediaDefinitions &&
      static_cast<DWORD>(medium.definitionIndex) < context.mediaDefinitionCount) {
    medium.definition = &context.mediaDefinitions[medium.definitionIndex];
    medium.name = tq33cups::NameFromField(
        reinterpret_cast<const BYTE*>(medium.definition) + offsetof(MediaDefinition, defName),
        kDefinitionNameUnits);
    medium.code = USER_FORM_BASE + static_cast<unsigned>(medium.definitionIndex);
  }
  return medium;
}

std::vector<std::string> DescribeChanges(const std::vector<SettingsStep>& steps,
                                         const std::vector<uint8_t>& applicationRecord,
                                         const DeviceContext& merged, HANDLE printer,
                                         const std::vector<tq33cups::MediaChoice>& catalog) {
  // The last step that names each field, in the order they were last named; a --devmode
  // record replaces everything asked before it.
  std::vector<const SettingsStep*> asked;
  for (const SettingsStep& step : steps) {
    if (step.kind == SettingsStep::Kind::Devmode) {
      asked.clear();
      continue;
    }
    if (step.kind != SettingsStep::Kind::Set || step.implied || !step.field) continue;
    std::erase_if(asked, [&](const SettingsStep* earlier) { return earlier->field == step.field; });
    asked.push_back(&step);
  }

  const SelectedMedium medium = SelectMedium(merged, printer);
  const Json result = FieldsToJson(kSettingsLayout, &merged.settings, false);
  std::vector<std::string> changes;
  for (const SettingsStep* step : asked) {
    const std::string name = step->field->name;
    std::optional<Json> value = RecordValue(*step->field, applicationRecord);
    if (!value) continue;
    if (step->asked) value = *step->asked;
    const Json& now = result[name];
    if (*value == now) {
      // Taken, but not every medium can print it.
      const bool on = value->is_number() && value->get<int64_t>() == 1;
      const std::string printing = medium.record ? Named(medium) : "the medium";
      std::string sentence;
      if (name == "privChainPrint" && on && medium.record &&
          IsSpecialMedia(&medium.record->mrEntry)) {
        sentence = printing +
                   " is special media, which cannot chain labels; printing without "
                   "chain printing";
      } else if (name == "privMirror" && on && merged.settings.priv.privMediaKind != 0) {
        sentence = printing + " is paper media, which prints only unmirrored";
      } else if (name == "privHalfCut" && on && merged.settings.priv.privMediaKind != 0) {
        sentence = printing + " is paper media, which takes no half cuts";
      }
      if (!sentence.empty()) changes.push_back(sentence + " (" + step->option + ")");
      continue;
    }
    std::string sentence;
    if (value->is_number_integer() && now.is_number_integer()) {
      sentence = Sentence(name, value->get<int64_t>(), now.get<int64_t>(), merged, medium,
                          applicationRecord, catalog);
    }
    if (sentence == "-") continue;
    if (sentence.empty()) {
      sentence = "the driver changed " + name + " from " + value->dump() + " to " + now.dump();
    }
    if (!step->option.empty()) sentence += " (" + step->option + ")";
    changes.push_back(sentence);
  }
  return changes;
}

std::string DescribeNoPage(const DeviceContext& merged, HANDLE printer) {
  const SelectedMedium medium = SelectMedium(merged, printer);
  if (!medium.record) return "the settings select no medium of the media table";
  if (medium.record->mrPrintWidthDots <= 0) return Named(medium) + " has no printable width";
  if (medium.record->mrLengthDots != 0) return Named(medium) + " has no printable length";
  const PrivateSettings& p = merged.settings.priv;
  const int resolution = merged.settings.dm.dmYResolution;
  std::string margins = CountOf(p.privMargin, "dot", "dots");
  if (medium.definition) {
    margins = MillimetresFromHundredths(medium.definition->defMargin);
  }
  return "a label " + Millimetres(static_cast<LONG>(p.privLength)) + " long (" +
         CountOf(p.privLengthDots, "dot", "dots") + " at " + std::to_string(resolution) +
         " dpi) of " + Named(medium) + " does not hold its feed margins of " + margins +
         " at each end; --set privMargin=DOTS sets them";
}

}  // namespace tq33cli
