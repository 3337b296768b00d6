// SPDX-License-Identifier: Apache-2.0
// `tq33 info`: the printer context as print would make it, without printing.
#include <CLI/CLI.hpp>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/driver_changes.h"
#include "cli/printer_context.h"
#include "cli/record_fields.h"
#include "cli/tool.h"
#include "cli/via_wine.h"
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
Json MediaJson(const DeviceContext* context, const SelectedMedium& selected, bool forText) {
  Json media = Json::object();
  media["mediaIndex"] = selected.mediaIndex;
  media["definitionIndex"] = selected.definitionIndex;
  media["position"] = LONGLONG{context->settings.priv.privMediaBase} + selected.mediaIndex;
  if (const MediaRecord* record = selected.record) {
    media.update(FieldsToJson(kMediaRecordLayout, record, forText));
    media["name"] = FieldsToJson(kMediaEntryLayout, &record->mrEntry, forText)["meName"];
  }
  media["definition"] =
      selected.definition ? FieldsToJson(kDefinitionLayout, selected.definition, forText) : Json();
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

// How the driver halftones a tone mode.
std::string HalftoneName(BYTE mode) {
  switch (mode) {
    case 1:
      return "threshold (barcodes and text)";
    case 2:
      return "ordered 4 x 4";
    case 3:
      return "error diffusion (photos)";
    default:
      return "mode " + std::to_string(mode);
  }
}

// The report's opening lines: the job the context prints, in words.
std::string Summary(const ContextAnswers& answers, const SelectedMedium& medium, const Json& page) {
  const SettingsRecord& settings = answers.context->settings;
  std::string text = "Medium: ";
  if (medium.record) {
    text += "\"" + medium.name + "\" (" + std::to_string(medium.code) + "), " +
            DescribeMedium(*medium.record, medium.definition);
  } else {
    text += "none of the media table";
  }
  const GDIINFO& gdi = answers.gdiInfo;
  // The GDIINFO sizes are negative micrometres; in tenths of a millimetre, rounded.
  auto tenths = [](ULONG size) { return (50 - int64_t{static_cast<LONG>(size)}) / 100; };
  text += "\nPage: " + MillimetreFigure(tenths(gdi.ulHorzSize)) + " x " +
          Millimetres(tenths(gdi.ulVertSize)) + ", " + page.value("cx", Json(0)).dump() + " x " +
          page.value("cy", Json(0)).dump() + " dots, " + page.value("orientation", std::string()) +
          "\n";
  text += "Resolution: 360 dpi across the tape, " + std::to_string(settings.dm.dmYResolution) +
          " dpi along it\n";
  text += "Halftone: " + HalftoneName(settings.priv.privHalftone) + "\n";
  text += "Copies: " + std::to_string(settings.dm.dmCopies) + "\n";
  text += std::string("Output form: ") +
          (settings.priv.privUseMonitor ? "framed (a job record in front of every page, for a "
                                          "receiving component)"
                                        : "plain printer commands, as a printer reads them") +
          "\n";
  return text;
}

// Runs the command; throws when the context cannot be made.
int RunInfo(const InfoOptions& options) {
  PrinterContext printer(options.shared);
  printer.WarnOfChanges(options.shared.strict);
  ContextAnswers answers{printer.context(), printer.session().gdiInfo(),
                         printer.session().deviceInfo()};
  // Through the Windows driver, the report is of what it answered, and what it answered
  // differently is named after it.
  std::unique_ptr<WineJob> job;
  std::vector<std::string> differences;
  if (options.shared.viaWine) {
    job = std::make_unique<WineJob>(*options.shared.viaWine, tq33job::Command::kInfo, printer,
                                    options.shared);
    differences = job->Run();
    answers = job->Answers();
  }
  const DeviceContext* context = answers.context;
  const bool forText = !options.json;
  const SelectedMedium selected = SelectMedium(*context, printer.printer());

  Json report = Json::object();
  report["settings"] = FieldsToJson(kSettingsLayout, &context->settings, forText);
  report["defaultSettings"] = FieldsToJson(kSettingsLayout, &context->defaultSettings, forText);
  report["media"] = MediaJson(context, selected, forText);
  report["page"] = PageJson(context, selected.mediaIndex, selected.definitionIndex);
  report["gdiinfo"] = FieldsToJson(kGdiInfoLayout, &answers.gdiInfo, forText);
  report["devinfo"] = FieldsToJson(kDeviceInfoLayout, &answers.deviceInfo, forText);
  Json printerData = Json::object();
  if (context->printerData) {
    printerData = FieldsToJson(kPrinterDataLayout, context->printerData, forText);
  }
  printerData["fontSlotCount"] = context->fontSlotCount;
  report["printerData"] = printerData;
  if (!options.json) {
    const std::string summary = Summary(answers, selected, report["page"]) + "\n";
    std::fwrite(summary.data(), 1, summary.size(), stdout);
  }
  PrintReport(report, options.json);
  if (!differences.empty()) {
    std::fprintf(stderr, "tq33: %s\n", DescribeDifferences(job->Name(), differences).c_str());
    return kExitFailed;
  }
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
      "Opens with the job in words (medium, page, resolution, halftone, copies, output\n"
      "form), then reports the merged settings record and the default copy (every named\n"
      "field), the selected media, the page extent in dots and its band layout, the GDIINFO\n"
      "and the DEVINFO capabilities, and the printer data record. Settings the driver\n"
      "changed are named on standard error (--strict fails instead).\n"
      "\n"
      "--via-wine 32|64 makes the same context through the shipped Windows driver of that\n"
      "width under Wine (see `tq33 print --help`) and reports the settings records, printer\n"
      "data, page and bands, GDIINFO and DEVINFO it made; the media and the page extent are\n"
      "those its settings select. What it answered differently from the Linux build is named\n"
      "on standard error after the report, with status 1.\n"
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
