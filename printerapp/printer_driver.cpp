// SPDX-License-Identifier: Apache-2.0
// The driver data of a TQ-33 printer, filled once from the installation's model.
#include "printerapp/printer_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "printerapp/guarded.h"
#include "printerapp/job_claim.h"
#include "printerapp/labels_page.h"
#include "printerapp/raster_job.h"

namespace tq33app {
namespace {

constexpr LONG kBaseResolution = 360;
constexpr LONG kHighResolution = 720;
// Labels a minute: no figure is known; the least the attribute takes.
constexpr int kLabelsPerMinute = 1;

pappl_pr_driver_t gDrivers[] = {
    {kDriverName, "Tolvane TQ-33", "MFG:Tolvane;MDL:TQ-33;", nullptr},
};

template <size_t N>
void CopyText(char (&target)[N], const std::string& text) {
  std::snprintf(target, N, "%s", text.c_str());
}

// The printer cannot show or sound anything: the message goes to the log, where the web
// interface shows it.
void Identify(pappl_printer_t* printer, pappl_identify_actions_t, const char* message) {
  papplLogPrinter(printer, PAPPL_LOGLEVEL_INFO, "Identify-Printer: %s", message ? message : "");
}

// The printer reports no status of its own over its connection.
bool Status(pappl_printer_t*) { return true; }

// A boolean vendor attribute: its default and that it is supported.
void AddVendorFlag(ipp_t* attributes, pappl_pr_driver_data_t* data, const char* name, bool value) {
  data->vendor[data->num_vendor++] = name;
  ippAddBoolean(attributes, IPP_TAG_PRINTER, (std::string(name) + "-default").c_str(), value);
  ippAddBoolean(attributes, IPP_TAG_PRINTER, (std::string(name) + "-supported").c_str(), 1);
}

// The vendor attributes, in the order the driver data lists them.
constexpr const char* kVendorAttributes[] = {kAutoCutAttribute, kHalfCutAttribute, kChainPrintAttribute,
                                             kMirrorAttribute};

}  // namespace

pappl_media_col_t MediaCol(const PrinterModel& model, const IppMedium& medium) {
  pappl_media_col_t col{};
  CopyText(col.size_name, medium.name);
  col.size_width = medium.width;
  col.size_length = medium.length;
  CopyText(col.source, kMediaSource);
  CopyText(col.type, medium.choice.mediaType);
  col.left_margin = col.right_margin = model.commonMargins().left;
  col.top_margin = col.bottom_margin = model.commonMargins().top;
  return col;
}

int VendorDefaults(pappl_printer_t* printer, cups_option_t** options) {
  *options = nullptr;
  int count = 0;
  ipp_t* attributes = papplPrinterGetDriverAttributes(printer);
  for (const char* name : kVendorAttributes) {
    ipp_attribute_t* value = ippFindAttribute(attributes, (std::string(name) + "-default").c_str(), IPP_TAG_BOOLEAN);
    if (value) count = cupsAddOption(name, ippGetBoolean(value, 0) ? "true" : "false", count, options);
  }
  ippDelete(attributes);
  return count;
}

namespace {

// Makes the loaded medium the default too; FALSE when the framework refuses it.
bool DefaultToLoaded(pappl_printer_t* printer, const pappl_media_col_t& loaded) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  if (std::strcmp(data.media_default.size_name, loaded.size_name) == 0) return true;
  data.media_default = loaded;
  cups_option_t* vendor = nullptr;
  const int count = VendorDefaults(printer, &vendor);
  const bool set = papplPrinterSetDriverDefaults(printer, &data, count, vendor);
  cupsFreeOptions(count, vendor);
  return set;
}

}  // namespace

bool LoadMedium(pappl_printer_t* printer, const PrinterModel& model, const IppMedium& medium) {
  pappl_media_col_t col = MediaCol(model, medium);
  return papplPrinterSetReadyMedia(printer, 1, &col) && DefaultToLoaded(printer, col);
}

void PrinterCreated(pappl_printer_t* printer, void* data) {
  pappl_supply_t cassette{};
  cassette.color = PAPPL_SUPPLY_COLOR_NO_COLOR;
  std::snprintf(cassette.description, sizeof(cassette.description), "Tape cassette");
  cassette.is_consumed = true;
  cassette.level = -1;  // the printer does not say
  cassette.type = PAPPL_SUPPLY_TYPE_OTHER;
  papplPrinterSetSupplies(printer, 1, &cassette);
  AddLabelsPage(printer, static_cast<Application*>(data));
}

void PrinterEvent(pappl_system_t*, pappl_printer_t* printer, pappl_job_t* job, pappl_event_t event, void* data) {
  NoteJobEvent(job, event);
  auto* application = static_cast<Application*>(data);
  if (!printer || !(event & PAPPL_EVENT_PRINTER_MEDIA_CHANGED) || !application || !application->model) return;
  pappl_pr_driver_data_t driver;
  papplPrinterGetDriverData(printer, &driver);
  if (const IppMedium* loaded = application->model->Find(driver.media_ready[0].size_name))
    DefaultToLoaded(printer, MediaCol(*application->model, *loaded));
}

int DriverCount() { return static_cast<int>(std::size(gDrivers)); }
pappl_pr_driver_t* Drivers() { return gDrivers; }

bool DriverCallback(pappl_system_t* system, const char* driverName, const char*, const char*,
                    pappl_pr_driver_data_t* driverData, ipp_t** driverAttributes, void* data) {
  auto* application = static_cast<Application*>(data);
  if (!application || !application->model || std::strcmp(driverName, kDriverName) != 0) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "No driver '%s'.", driverName);
    return false;
  }
  const PrinterModel& model = *application->model;
  pappl_pr_driver_data_t& d = *driverData;
  d.extension = application;
  d.identify_cb = Guarded<Identify>;
  d.printfile_cb = Guarded<PrintNativeFile>;
  d.rstartjob_cb = Guarded<RasterStartJob>;
  d.rstartpage_cb = Guarded<RasterStartPage>;
  d.rwriteline_cb = Guarded<RasterWriteLine>;
  d.rendpage_cb = Guarded<RasterEndPage>;
  d.rendjob_cb = Guarded<RasterEndJob>;
  d.status_cb = Status;
  d.format = kNativeFormat;
  CopyText(d.make_and_model, model.makeAndModel());
  d.ppm = kLabelsPerMinute;
  d.kind = PAPPL_KIND_LABEL | PAPPL_KIND_ROLL;
  d.identify_supported = d.identify_default = PAPPL_IDENTIFY_ACTIONS_DISPLAY;

  // 8-bit gray pages, 360 dpi across the tape and 360 or 720 along it; images placed
  // pixel for pixel from the page's corner, as the tool places them.
  d.raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  d.force_raster_type = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  d.color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
  d.color_default = PAPPL_COLOR_MODE_MONOCHROME;
  d.content_default = PAPPL_CONTENT_AUTO;
  d.quality_default = IPP_QUALITY_NORMAL;
  d.scaling_default = PAPPL_SCALING_NONE;
  // Labels read along the tape: the installation's own orientation, landscape by default.
  d.orient_default = model.defaults().dm.dmOrientation == DMORIENT_PORTRAIT ? IPP_ORIENT_PORTRAIT
                                                                              : IPP_ORIENT_LANDSCAPE;
  d.sides_supported = d.sides_default = PAPPL_SIDES_ONE_SIDED;
  d.num_resolution = 0;
  d.x_resolution[d.num_resolution] = kBaseResolution;
  d.y_resolution[d.num_resolution++] = kBaseResolution;
  if (model.highResolution()) {
    d.x_resolution[d.num_resolution] = kBaseResolution;
    d.y_resolution[d.num_resolution++] = kHighResolution;
  }
  d.x_default = kBaseResolution;
  d.y_default = model.highResolution() && model.defaults().dm.dmYResolution == kHighResolution
                    ? kHighResolution
                    : kBaseResolution;

  // Every medium by its name, the range of lengths the tapes print, the tape cassette and
  // the media types; the default medium is loaded.
  d.left_right = model.commonMargins().left;
  d.bottom_top = model.commonMargins().top;
  d.num_media = 0;
  const int room = PAPPL_MAX_MEDIA - 2;
  for (const IppMedium& medium : model.media()) {
    if (d.num_media == room) break;
    d.media[d.num_media++] = medium.name.c_str();
  }
  if (!model.rollMin().empty()) {
    d.media[d.num_media++] = model.rollMin().c_str();
    d.media[d.num_media++] = model.rollMax().c_str();
  }
  d.num_source = 1;
  d.source[0] = kMediaSource;
  d.num_type = 0;
  for (const std::string& type : model.mediaTypes()) {
    if (d.num_type == PAPPL_MAX_TYPE) break;
    d.type[d.num_type++] = type.c_str();
  }
  d.media_ready[0] = MediaCol(model, model.defaultMedium());
  d.media_default = d.media_ready[0];

  ipp_t* attributes = ippNew();
  const PrivateSettings& p = model.defaults().priv;
  d.num_vendor = 0;
  AddVendorFlag(attributes, &d, kAutoCutAttribute, p.privAutoCut == 1);
  AddVendorFlag(attributes, &d, kHalfCutAttribute, p.privHalfCut == 1);
  AddVendorFlag(attributes, &d, kChainPrintAttribute, p.privChainPrint == 1);
  AddVendorFlag(attributes, &d, kMirrorAttribute, p.privMirror == 1);
  // What IPP Everywhere asks of every printer and the framework leaves out: the printer
  // keeps no preferred values, renders with no colour management, prints one side.
  ippAddBoolean(attributes, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  ippAddString(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr, "auto");
  ippAddString(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported", nullptr, "auto");
  ippAddString(attributes, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr, "normal");
  *driverAttributes = attributes;
  return true;
}

const char* AutoAdd(const char*, const char*, const char* deviceId, void*) {
  cups_option_t* pairs = nullptr;
  const int count = papplDeviceParseID(deviceId, &pairs);
  const char* model = cupsGetOption("MODEL", count, pairs);
  if (!model) model = cupsGetOption("MDL", count, pairs);
  const bool ours = model && std::strstr(model, "TQ-33");
  cupsFreeOptions(count, pairs);
  return ours ? kDriverName : nullptr;
}

}  // namespace tq33app
