// SPDX-License-Identifier: Apache-2.0
// `tq33 media`: the installation's media in a short table (what --paper takes), or its
// model record, media table and media definitions field by field, as the driver reads
// them through the model-data library and the definition file.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cli/commands.h"
#include "cli/driver_changes.h"
#include "cli/printer_context.h"
#include "cli/record_fields.h"
#include "cli/tool.h"
#include "device/media_definitions.h"
#include "host/host.h"
#include "host/printer_installation.h"

namespace tq33cli {
namespace {

struct MediaOptions {
  bool json = false;
  bool verbose = false;
  ToolOptions shared;
  SharedOptionValues values;
};

// Pads text with blanks to width characters (UTF-8 continuation bytes take no room).
std::string Padded(std::string text, size_t width) {
  size_t shown = 0;
  for (char c : text) shown += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  if (shown < width) text.append(width - shown, ' ');
  return text;
}

// The definitions as the file holds them, each with whether the driver skips it: the
// driver empties the slot of one that can hold no page, and offers it nowhere.
struct ReadDefinition {
  MediaDefinition record;
  bool ignored;
};
std::vector<ReadDefinition> DefinitionsAsRead(const DeviceContext& context) {
  LONG readCount = -1;
  MediaDefinition* asRead = ReadMediaDefinitions(host::kDriverPath, &readCount);
  std::vector<ReadDefinition> definitions;
  for (DWORD i = 0; context.mediaDefinitions && i < context.mediaDefinitionCount; ++i) {
    const MediaDefinition& used = context.mediaDefinitions[i];
    const MediaDefinition& shown = asRead && static_cast<LONG>(i) < readCount ? asRead[i] : used;
    definitions.push_back({shown, !DefinitionHoldsAPage(shown, &context.modelData)});
  }
  if (asRead) GlobalFree(asRead);
  return definitions;
}

constexpr char kIgnoredDefinition[] =
    "longer than any label, or its two margins not shorter than the label";

// The media one can print on, a line each: what --paper takes and what the medium is.
void PrintMediaTable(const PrinterContext& printer) {
  const DeviceContext& context = *printer.context();
  const std::vector<tq33cups::MediaChoice>& catalog = printer.catalog();
  size_t nameWidth = 4;
  for (const tq33cups::MediaChoice& choice : catalog) {
    nameWidth = std::max(nameWidth, Padded(choice.name, 0).size());
  }
  std::string text = Padded("code", 6) + Padded("name", nameWidth + 2) +
                     Padded("width x length (mm)", 22) + Padded("kind", 6) + Padded("across", 8) +
                     "special\n";
  for (const tq33cups::MediaChoice& choice : catalog) {
    const MediaRecord& record = context.modelData.mediaTable[choice.mediaIndex];
    const std::string length = choice.continuous() ? "continuous" : MillimetreFigure(choice.length);
    text += Padded(std::to_string(choice.paperSize), 6) + Padded(choice.name, nameWidth + 2) +
            Padded(MillimetreFigure(choice.width) + " x " + length, 22) +
            Padded(std::to_string(choice.kind), 6) +
            Padded(std::to_string(record.mrWidthMultiple + 1), 8) +
            (IsSpecialMedia(&record.mrEntry) ? "yes" : "no") + "\n";
  }
  text +=
      "\nkind: the media kind that selects the medium (privMediaKind; 1 is paper). across: "
      "labels\nacross the head. special: special media (longer minimum length and margin, "
      "no chain\nprinting). Codes from " +
      std::to_string(USER_FORM_BASE) +
      " are user-defined labels of the media definition file.\n"
      "--paper takes a code or a name; --verbose lists every field, --json as JSON.\n";
  const std::vector<ReadDefinition> definitions = DefinitionsAsRead(context);
  for (size_t i = 0; i < definitions.size(); ++i) {
    if (!definitions[i].ignored) continue;
    // The record is packed: its name is copied out before it is read.
    char16_t name[std::size(MediaDefinition{}.defName)];
    std::memcpy(name, definitions[i].record.defName, sizeof(name));
    size_t units = 0;
    while (units < std::size(name) && name[units] != 0) ++units;
    text += "ignored: definition " + std::to_string(USER_FORM_BASE + i) + " \"" +
            host::Utf8(std::u16string_view(name, units)) + "\" (" + kIgnoredDefinition + ")\n";
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
}

// Runs the command; throws when the context cannot be made.
int RunMedia(const MediaOptions& options) {
  PrinterContext printer(options.shared);
  const DeviceContext* context = printer.context();
  const ModelData& model = context->modelData;
  const bool forText = !options.json;
  if (!options.json && !options.verbose) {
    PrintMediaTable(printer);
    return kExitOk;
  }

  Json report = Json::object();
  Json modelJson = FieldsToJson(kModelRecordLayout, model.modelRecord, forText);
  if (options.json) modelJson["raw"] = HexBytes(model.modelRecord, sizeof(ModelRecord));
  report["model"] = modelJson;

  report["mediaCount"] = model.mediaCount;
  Json media = Json::array();
  for (DWORD i = 0; i < model.mediaCount; ++i) {
    const MediaRecord& record = model.mediaTable[i];
    Json medium = FieldsToJson(kMediaRecordLayout, &record, forText);
    medium["entry"] = FieldsToJson(kMediaEntryLayout, &model.mediaList[i], forText);
    if (options.json) medium["raw"] = HexBytes(&model.mediaList[i], sizeof(MediaListEntry));
    media.push_back(medium);
  }
  report["media"] = media;

  // The definitions as the file holds them; one the driver ignores is marked.
  Json definitions = Json::array();
  const std::vector<ReadDefinition> asRead = DefinitionsAsRead(*context);
  for (size_t i = 0; i < asRead.size(); ++i) {
    Json definition = Json::object();
    definition["paperSizeCode"] = USER_FORM_BASE + i;
    definition.update(FieldsToJson(kDefinitionLayout, &asRead[i].record, forText));
    if (asRead[i].ignored) definition["ignored"] = kIgnoredDefinition;
    if (options.json) definition["raw"] = HexBytes(&asRead[i].record, sizeof(MediaDefinition));
    definitions.push_back(definition);
  }
  report["definitions"] = definitions;
  PrintReport(report, options.json);
  return kExitOk;
}

}  // namespace

void AddMediaCommand(CLI::App* app, SetRun setRun) {
  auto options = std::make_shared<MediaOptions>();
  CLI::App* command =
      app->add_subcommand("media",
                          "List the installation's media: code, name, size; or every field of its "
                          "model record, media table and media definitions");
  command->add_flag("--verbose", options->verbose,
                    "Every field of the model record, the media table and the media "
                    "definitions, units named");
  command->add_flag("--json", options->json,
                    "Print every field as one JSON object; each model record, media list "
                    "entry and media definition also as its raw bytes in hexadecimal (key raw)");
  AddSharedOptions(command, &options->shared, &options->values, kInstallationOptions,
                   "media lists the installation's media whatever the settings and the "
                   "printer's environment");
  command->footer(
      "Examples:\n"
      "  tq33 media\n"
      "  tq33 media --verbose\n"
      "  tq33 media --model-data my.model --media-file my.dat --json\n"
      "  tq33 media --install /srv/printers/tq33\n");
  command->callback([command, options, setRun] {
    FinishSharedOptions(*command, options->values, &options->shared);
    setRun([options] { return RunMedia(*options); });
  });
}

}  // namespace tq33cli
