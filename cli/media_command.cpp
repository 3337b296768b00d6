// `tq33 media`: the installation's model record, media table and media definitions, as
// the driver reads them through the model-data library and the definition file.
#include <CLI/CLI.hpp>
#include <cstring>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/printer_context.h"
#include "cli/record_fields.h"
#include "cli/tool.h"
#include "device/media_definitions.h"
#include "host/printer_installation.h"

namespace tq33cli {
namespace {

struct MediaOptions {
  bool json = false;
  ToolOptions shared;
  SharedOptionValues values;
};

// Runs the command; throws when the context cannot be made.
int RunMedia(const MediaOptions& options) {
  PrinterContext printer(options.shared);
  const DeviceContext* context = printer.context();
  const ModelData& model = context->modelData;
  const bool forText = !options.json;

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

  // The definitions as the file holds them. The driver empties the slot of one whose
  // length or margin lies outside the limits of its tape, and offers it nowhere: such a
  // record is listed as read, and marked.
  LONG readCount = -1;
  MediaDefinition* asRead = ReadMediaDefinitions(host::kDriverPath, &readCount);
  Json definitions = Json::array();
  for (DWORD i = 0; context->mediaDefinitions && i < context->mediaDefinitionCount; ++i) {
    const MediaDefinition* used = &context->mediaDefinitions[i];
    const MediaDefinition* shown =
        asRead && static_cast<LONG>(i) < readCount ? &asRead[i] : used;
    Json definition = Json::object();
    definition["paperSizeCode"] = USER_FORM_BASE + i;
    definition.update(FieldsToJson(kDefinitionLayout, shown, forText));
    if (std::memcmp(shown, used, sizeof(MediaDefinition)) != 0)
      definition["ignored"] = "length or margin outside the limits of its tape";
    if (options.json) definition["raw"] = HexBytes(shown, sizeof(MediaDefinition));
    definitions.push_back(definition);
  }
  if (asRead) GlobalFree(asRead);
  report["definitions"] = definitions;
  PrintReport(report, options.json);
  return kExitOk;
}

}  // namespace

void AddMediaCommand(CLI::App* app, SetRun setRun) {
  auto options = std::make_shared<MediaOptions>();
  CLI::App* command = app->add_subcommand(
      "media", "List the installation's model record, media table and media definitions");
  command->add_flag("--json", options->json,
                    "Print one JSON object; each model record, media list entry and media "
                    "definition also as its raw bytes in hexadecimal (key raw)");
  AddSharedOptions(command, &options->shared, &options->values);
  command->footer(
      "Examples:\n"
      "  tq33 media\n"
      "  tq33 media --model-data my.model --media-file my.dat --json\n"
      "  tq33 media --install /srv/printers/tq33\n");
  command->callback([command, options, setRun] {
    FinishSharedOptions(*command, options->values, &options->shared);
    setRun([options] { return RunMedia(*options); });
  });
}

}  // namespace tq33cli
