// `tq33 info`: the printer context as print would make it, without printing.
#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/printer_context.h"
#include "cli/record_fields.h"
#include "cli/tool.h"
#include "device/media_lookup.h"
#include "driver/surface.h"

namespace tq33cli {
namespace {

struct InfoOptions {
  bool json = false;
  ToolOptions shared;
  SharedOptionValues values;
};

// The medium the driver selects for the context's settings: its indices, every field of
// its record and its media definition (null when none applies).
Json MediaJson(const DeviceContext* context, HANDLE printer, LONG* mediaIndex,
               LONG* definitionIndex, bool forText) {
  // The lookup every part of the driver makes for these settings.
  *mediaIndex = -1;
  *definitionIndex = -1;
  FindMediaIndex(printer, &context->settings, &context->modelData, mediaIndex, definitionIndex,
                 context->mediaDefinitions, context->mediaDefinitionCount,
                 static_cast<WORD>(context->defaultSettings.dm.dmPaperSize));
  Json media = Json::object();
  media["mediaIndex"] = *mediaIndex;
  media["definitionIndex"] = *definitionIndex;
  const LONGLONG position = LONGLONG{context->settings.priv.privMediaBase} + *mediaIndex;
  media["position"] = position;
  if (const MediaRecord* record = MediaRecordAt(&context->modelData, position)) {
    media.update(FieldsToJson(kMediaRecordLayout, record, forText));
    media["name"] = FieldsToJson(kMediaEntryLayout, &record->mrEntry, forText)["meName"];
  }
  if (*definitionIndex >= 0 && context->mediaDefinitions &&
      static_cast<DWORD>(*definitionIndex) < context->mediaDefinitionCount) {
    media["definition"] =
        FieldsToJson(kDefinitionLayout, &context->mediaDefinitions[*definitionIndex], forText);
  } else {
    media["definition"] = nullptr;
  }
  return media;
}

// The page extent in dots for that medium and the surface's band layout.
Json PageJson(const DeviceContext* context, LONG mediaIndex, LONG definitionIndex) {
  LONG cx = 0;
  LONG cy = 0;
  Json page = Json::object();
  if (ComputePageExtent(context, mediaIndex, definitionIndex, &cx, &cy)) {
    page["cx"] = cx;
    page["cy"] = cy;
  } else {
    page["cx"] = nullptr;
    page["cy"] = nullptr;
  }
  page["orientation"] =
      context->settings.dm.dmOrientation == DMORIENT_LANDSCAPE ? "landscape" : "portrait";
  page["banded"] = (context->surfaceFlags & SF_BANDING) != 0;
  page["bandCount"] = context->bandCount;
  page["bandExtent"] = context->bandExtent;
  page["lastBandExtent"] = context->lastBandExtent;
  page["crossExtent"] = context->crossExtent;
  page["bandAxisExtent"] = context->bandAxisExtent;
  page["pageStride"] = context->pageStride;
  return page;
}

// Runs the command; throws when the context cannot be made.
int RunInfo(const InfoOptions& options) {
  PrinterContext printer(options.shared);
  const DeviceContext* context = printer.context();
  const bool forText = !options.json;
  LONG mediaIndex = -1;
  LONG definitionIndex = -1;

  Json report = Json::object();
  report["settings"] = FieldsToJson(kSettingsLayout, &context->settings, forText);
  report["defaultSettings"] = FieldsToJson(kSettingsLayout, &context->defaultSettings, forText);
  report["media"] = MediaJson(context, printer.printer(), &mediaIndex, &definitionIndex, forText);
  report["page"] = PageJson(context, mediaIndex, definitionIndex);
  report["gdiinfo"] = FieldsToJson(kGdiInfoLayout, &printer.session().gdiInfo(), forText);
  report["devinfo"] = FieldsToJson(kDeviceInfoLayout, &printer.session().deviceInfo(), forText);
  Json printerData = Json::object();
  if (context->printerData) {
    printerData = FieldsToJson(kPrinterDataLayout, context->printerData, forText);
  }
  printerData["fontSlotCount"] = context->fontSlotCount;
  report["printerData"] = printerData;
  PrintReport(report, options.json);
  return kExitOk;
}

}  // namespace

void AddInfoCommand(CLI::App* app, SetRun setRun) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* command = app->add_subcommand(
      "info", "Make the printer context as print would and report it, without printing");
  command->add_flag("--json", options->json,
                    "Print one JSON object: settings, defaultSettings, media, page, gdiinfo, "
                    "devinfo, printerData");
  AddSharedOptions(command, &options->shared, &options->values);
  command->footer(
      "Reports the merged settings record and the default copy (every named field), the\n"
      "selected media, the page extent in dots and its band layout, the GDIINFO and the\n"
      "DEVINFO capabilities, and the printer data record.\n"
      "\n"
      "Examples:\n"
      "  tq33 info\n"
      "  tq33 info --orientation portrait --paper 262 --length 500 --json\n"
      "  tq33 info --devmode app.devmode --set privMargin=30\n"
      "  tq33 info --max-bitmap 100000            # shows the band layout\n");
  command->callback([command, options, setRun] {
    FinishSharedOptions(*command, options->values, &options->shared);
    setRun([options] { return RunInfo(*options); });
  });
}

}  // namespace tq33cli
