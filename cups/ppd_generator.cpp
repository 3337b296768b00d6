// SPDX-License-Identifier: Apache-2.0
// Generating the PPD: one driver context per medium tells its printable area, so that the
// page sizes CUPS renders are the pages the driver prints.
//
// Every page is the label as the driver's default orientation presents it, landscape: x
// runs along the tape and y across it, as on the label people design. CUPS turns
// portrait artwork onto such a page by +90 degrees (imagetoraster always does, pdftopdf
// by *LandscapeOrientation), and the driver's landscape path turns it back, so that
// portrait and landscape artwork print as `tq33 print` prints them in either orientation.
#include "cups/ppd_generator.h"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "cups/job_settings.h"
#include "cups/media_catalog.h"
#include "host/engine_session.h"
#include "host/printer_installation.h"

namespace tq33cups {
namespace {

// Contrast and brightness steps offered by name; any other value is a custom value.
constexpr int kToneSteps[] = {-96, -64, -32, 0, 32, 64, 96};
const char* const kToneStepNames[] = {"Much lower", "Lower", "Slightly lower", "Normal",
                                      "Slightly higher", "Higher", "Much higher"};

// The printable area of one page size, in points from the page's lower left corner.
struct PageSizeEntry {
  const MediaChoice* choice = nullptr;
  double width = 0;   // along the tape: the label's length
  double height = 0;  // across the tape: its width
  double left = 0, bottom = 0, right = 0, top = 0;
  double acrossMargin = 0;  // non-printable strip at each side of the tape
  double feedMargin = 0;    // non-printable length at the start of the page
};

// A translation string: printable ASCII as it stands, Latin-1 as hexadecimal, ':' (which
// ends a translation) and '<' (which starts hexadecimal) as hexadecimal too.
std::string Translation(const std::string& utf8) {
  std::u16string text = host::Utf16(utf8);
  std::string out;
  for (char16_t c : text) {
    if (out.size() > 120) break;
    if (c >= 0x20 && c < 0x7F && c != ':' && c != '<' && c != '"') {
      out += static_cast<char>(c);
    } else if (c <= 0xFF && c >= 0x20) {
      static const char kHex[] = "0123456789ABCDEF";
      out += '<';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
      out += '>';
    } else {
      out += '?';
    }
  }
  return out;
}

// A quoted PPD value: no quotes or line ends inside.
std::string Quoted(const std::string& text) {
  std::string out;
  for (char c : text) out += (c == '"' || c == '\n' || c == '\r') ? '_' : c;
  return "\"" + out + "\"";
}

// A driver context for the printer with an application's record, or the defaults.
std::unique_ptr<host::EngineSession> OpenSession(HANDLE printer,
                                                 std::optional<std::vector<uint8_t>> devmode,
                                                 host::DdiStatus* status) {
  host::SessionOptions options;
  options.devmode = std::move(devmode);
  return host::EngineSession::Open(host::kDriverPath, printer, options, status);
}

// Measures a page size with the driver: the context the filter would open for a page of
// this medium. Nothing when the driver does not select the medium for it.
std::optional<PageSizeEntry> Measure(HANDLE printer, const SettingsRecord& defaults,
                                     const std::vector<MediaChoice>& catalog,
                                     const MediaChoice& choice, LONG continuousLength,
                                     const JobOptions& options) {
  PageRequest request;
  request.sizeName = choice.keyword;
  request.width = choice.width;
  request.length = choice.continuous() ? continuousLength : choice.length;
  request.yResolution = 360;
  host::DdiStatus status;
  std::unique_ptr<host::EngineSession> session = OpenSession(
      printer, BuildApplicationRecord(defaults, catalog, request, options, 1), &status);
  if (!session) return std::nullopt;
  const DeviceContext* context = ContextFromHandle(session->device());
  if (static_cast<WORD>(context->settings.dm.dmPaperSize) != choice.paperSize) return std::nullopt;
  const GDIINFO& gdi = session->gdiInfo();
  if (gdi.ulLogPixelsX == 0 || gdi.ulLogPixelsY == 0 || gdi.ulHorzRes == 0 || gdi.ulVertRes == 0)
    return std::nullopt;

  // The context is landscape: its x axis runs along the tape.
  PageSizeEntry entry;
  entry.choice = &choice;
  entry.width = PointsFromTenths(request.length);
  entry.height = PointsFromTenths(choice.width);
  const double xScale = 72.0 / gdi.ulLogPixelsX;
  const double yScale = 72.0 / gdi.ulLogPixelsY;
  entry.feedMargin = std::max(0.0, gdi.ptlPhysOffset.x * xScale);
  entry.acrossMargin = std::max(0.0, gdi.ptlPhysOffset.y * yScale);
  entry.left = entry.feedMargin;
  entry.right = std::min(entry.width, entry.left + gdi.ulHorzRes * xScale);
  entry.top = std::max(0.0, entry.height - entry.acrossMargin);
  entry.bottom = std::max(0.0, entry.top - gdi.ulVertRes * yScale);
  if (entry.right <= entry.left || entry.top <= entry.bottom) return std::nullopt;
  return entry;
}

// Appends one line to the PPD.
void Line(std::string* ppd, const std::string& text) {
  ppd->append(text);
  ppd->push_back('\n');
}

// PageSize, or PageRegion (title empty): the same sizes with the same code.
void PageSizeOption(std::string* ppd, const char* keyword, const char* title,
                    const std::string& defaultChoice, const std::vector<PageSizeEntry>& entries) {
  Line(ppd, std::string("*OpenUI *") + keyword + (*title ? "/" : "") + title + ": PickOne");
  Line(ppd, std::string("*OrderDependency: 10 AnySetup *") + keyword);
  Line(ppd, std::string("*Default") + keyword + ": " + defaultChoice);
  for (const PageSizeEntry& e : entries) {
    Line(ppd, std::string("*") + keyword + " " + e.choice->keyword + "/" +
                  Translation(e.choice->name) + ": \"<</PageSize[" + PointsText(e.width) + " " +
                  PointsText(e.height) + "]/ImagingBBox null>>setpagedevice\"");
  }
  Line(ppd, std::string("*CloseUI: *") + keyword);
}

void BooleanOption(std::string* ppd, const char* keyword, const char* text, bool on) {
  Line(ppd, std::string("*OpenUI *") + keyword + "/" + text + ": Boolean");
  Line(ppd, std::string("*OrderDependency: 30 AnySetup *") + keyword);
  Line(ppd, std::string("*Default") + keyword + ": " + (on ? "True" : "False"));
  Line(ppd, std::string("*") + keyword + " True/Yes: \"\"");
  Line(ppd, std::string("*") + keyword + " False/No: \"\"");
  Line(ppd, std::string("*CloseUI: *") + keyword);
}

// A signed adjustment of -128 to 127: named steps, the default among them, and any other
// value as a custom value.
void ToneOption(std::string* ppd, const char* keyword, const char* text, int defaultValue) {
  Line(ppd, std::string("*OpenUI *") + keyword + "/" + text + ": PickOne");
  Line(ppd, std::string("*OrderDependency: 30 AnySetup *") + keyword);
  Line(ppd, std::string("*Default") + keyword + ": " + std::to_string(defaultValue));
  bool listed = false;
  for (size_t i = 0; i < std::size(kToneSteps); ++i) {
    if (!listed && defaultValue < kToneSteps[i]) {
      Line(ppd, std::string("*") + keyword + " " + std::to_string(defaultValue) + "/" +
                    std::to_string(defaultValue) + ": \"\"");
      listed = true;
    }
    if (kToneSteps[i] == defaultValue) listed = true;
    Line(ppd, std::string("*") + keyword + " " + std::to_string(kToneSteps[i]) + "/" +
                  kToneStepNames[i] + ": \"\"");
  }
  if (!listed) {
    Line(ppd, std::string("*") + keyword + " " + std::to_string(defaultValue) + "/" +
                  std::to_string(defaultValue) + ": \"\"");
  }
  Line(ppd, std::string("*CloseUI: *") + keyword);
  Line(ppd, std::string("*Custom") + keyword + " True/Custom: \"\"");
  Line(ppd, std::string("*ParamCustom") + keyword + " Value/" + text +
                " (-128 to 127): 1 int -128 127");
}

}  // namespace

// Learns the defaults and media from a probe context, measures every medium, and writes
// the PPD. FALSE with the reason when the driver refuses or measures no medium.
bool GeneratePpd(HANDLE printer, const PpdSource& source, std::string* ppd, std::string* error) {
  std::string local;
  std::string& why = error ? *error : local;

  // What an application gets before it changes anything: the default record.
  SettingsRecord defaults{};
  std::vector<MediaChoice> catalog;
  std::string modelName;
  {
    host::DdiStatus status;
    std::unique_ptr<host::EngineSession> probe = OpenSession(printer, std::nullopt, &status);
    if (!probe) {
      why = "the driver refused the printer context: " + status.Describe();
      return false;
    }
    const DeviceContext* context = ContextFromHandle(probe->device());
    defaults = context->defaultSettings;
    catalog = BuildMediaCatalog(*context);
    if (context->modelData.modelRecord) {
      modelName = NameFromField(reinterpret_cast<const BYTE*>(context->modelData.modelRecord) +
                                    offsetof(ModelRecord, moName),
                                sizeof(ModelRecord::moName) / sizeof(WCHAR));
    }
  }
  if (modelName.empty()) modelName = "TQ-33";
  const JobOptions options = DefaultJobOptions(defaults);
  const LONG defaultLength = defaults.priv.privLength >= 1 && defaults.priv.privLength <= 0x7FFF
                                 ? static_cast<LONG>(defaults.priv.privLength)
                                 : 1000;

  std::vector<PageSizeEntry> entries;
  for (const MediaChoice& choice : catalog) {
    if (auto entry = Measure(printer, defaults, catalog, choice, defaultLength, options))
      entries.push_back(*entry);
  }
  if (entries.empty()) {
    why = "the driver prints none of the installation's media";
    return false;
  }
  // Through IPP, CUPS keeps one page size of each size name, the first the PPD lists:
  // the plain medium of each size comes first, so that the size name selects it.
  std::stable_sort(entries.begin(), entries.end(), [](const PageSizeEntry& a, const PageSizeEntry& b) {
    return a.choice->primary && !b.choice->primary;
  });
  // The default medium is its size's page size with its media type: a size CUPS keeps,
  // so that it names the default to IPP clients.
  const MediaChoice* defaultMedium = entries.front().choice;
  for (const PageSizeEntry& e : entries) {
    if (e.choice->paperSize == static_cast<WORD>(defaults.dm.dmPaperSize) &&
        e.choice->kind == defaults.priv.privMediaKind && e.choice->definition < 0) {
      defaultMedium = e.choice;
      break;
    }
  }
  std::string defaultSize = defaultMedium->keyword;
  for (const PageSizeEntry& e : entries) {
    if (e.choice->primary && e.choice->sizeName == defaultMedium->sizeName) {
      defaultSize = e.choice->keyword;
      break;
    }
  }

  // Custom sizes, length x width: the driver matches them against the continuous tapes of
  // the default kind by width. Their margins are the narrowest tape's, so that no tape's
  // imageable area comes out empty; a named size gives a tape's exact area.
  const PageSizeEntry* narrowest = nullptr;
  double maxWidth = 0;
  for (const PageSizeEntry& e : entries) {
    const MediaChoice& c = *e.choice;
    if (!c.continuous() || c.definition >= 0 || c.kind != defaults.priv.privMediaKind) continue;
    if (!narrowest || e.height < narrowest->height) narrowest = &e;
    maxWidth = std::max(maxWidth, e.height);
  }

  std::string& out = *ppd;
  out.clear();
  Line(&out, "*PPD-Adobe: \"4.3\"");
  Line(&out, "*% PPD of the " + modelName + " thermal label-tape printer, generated from the "
             "media table of its driver installation.");
  Line(&out, "*FormatVersion: \"4.3\"");
  Line(&out, "*FileVersion: \"1.0\"");
  Line(&out, "*LanguageVersion: English");
  Line(&out, "*LanguageEncoding: ISOLatin1");
  Line(&out, "*PCFileName: \"TQ33.PPD\"");
  Line(&out, "*Manufacturer: \"Tolvane\"");
  Line(&out, "*Product: " + Quoted("(" + Translation(modelName) + ")"));
  Line(&out, "*ModelName: " + Quoted("Tolvane " + Translation(modelName)));
  Line(&out, "*ShortNickName: " + Quoted("Tolvane " + Translation(modelName)));
  Line(&out, "*NickName: " + Quoted("Tolvane " + Translation(modelName) + ", rastertotq33"));
  Line(&out, "*PSVersion: \"(3010.000) 0\"");
  Line(&out, "*LanguageLevel: \"3\"");
  Line(&out, "*ColorDevice: False");
  Line(&out, "*DefaultColorSpace: Gray");
  Line(&out, "*FileSystem: False");
  Line(&out, "*Throughput: \"1\"");
  // Portrait artwork is turned onto the landscape pages this way; the driver turns it back.
  Line(&out, "*LandscapeOrientation: Plus90");
  Line(&out, "*TTRasterizer: Type42");
  Line(&out, "*cupsVersion: 2.4");
  Line(&out, "*cupsModelNumber: 0");
  Line(&out, "*cupsLanguages: \"en\"");
  // The filter prints the copies, collated when the job asks (*Collate below), so that
  // neither pdftopdf nor imagetoraster makes any: the raster carries each page once.
  Line(&out, "*cupsManualCopies: False");
  Line(&out, "*cupsMaxCopies: " + std::to_string(kMaxCopies));
  Line(&out, "*cupsFilter: " + Quoted("application/vnd.cups-raster 0 " + source.filter));
  if (!source.modelDataFile.empty())
    Line(&out, std::string("*") + kModelDataAttribute + ": " + Quoted(source.modelDataFile));
  if (!source.mediaFile.empty())
    Line(&out, std::string("*") + kMediaFileAttribute + ": " + Quoted(source.mediaFile));

  PageSizeOption(&out, "PageSize", "Media Size", defaultSize, entries);
  PageSizeOption(&out, "PageRegion", "", defaultSize, entries);
  Line(&out, "*DefaultImageableArea: " + defaultSize);
  for (const PageSizeEntry& e : entries) {
    Line(&out, "*ImageableArea " + e.choice->keyword + "/" + Translation(e.choice->name) +
                   ": \"" + PointsText(e.left) + " " + PointsText(e.bottom) + " " +
                   PointsText(e.right) + " " + PointsText(e.top) + "\"");
  }
  Line(&out, "*DefaultPaperDimension: " + defaultSize);
  for (const PageSizeEntry& e : entries) {
    Line(&out, "*PaperDimension " + e.choice->keyword + "/" + Translation(e.choice->name) +
                   ": \"" + PointsText(e.width) + " " + PointsText(e.height) + "\"");
  }

  if (narrowest) {
    const double margin = narrowest->acrossMargin;
    const double feed = narrowest->feedMargin;
    // The shortest length that leaves a printable line between the two feed margins.
    const double minLength =
        std::max(PointsFromTenths(static_cast<LONG>(MinLengthTenths(nullptr))), 2 * feed + 3.0);
    const double maxLength = PointsFromTenths(static_cast<LONG>(MaxLengthTenths(nullptr)));
    Line(&out, "*VariablePaperSize: True");
    Line(&out, "*MaxMediaWidth: \"" + PointsText(maxLength) + "\"");
    Line(&out, "*MaxMediaHeight: \"" + PointsText(maxWidth) + "\"");
    Line(&out, "*HWMargins: " + PointsText(feed) + " " + PointsText(margin) + " " +
                   PointsText(feed) + " " + PointsText(margin));
    Line(&out, "*CustomPageSize True: \"pop pop pop <</PageSize[5 -2 roll]/ImagingBBox null>>"
               "setpagedevice\"");
    Line(&out, "*ParamCustomPageSize Width: 1 points " + PointsText(minLength) + " " +
                   PointsText(maxLength));
    Line(&out, "*ParamCustomPageSize Height: 2 points " + PointsText(narrowest->height) + " " +
                   PointsText(maxWidth));
    Line(&out, "*ParamCustomPageSize WidthOffset: 3 points 0 0");
    Line(&out, "*ParamCustomPageSize HeightOffset: 4 points 0 0");
    Line(&out, "*ParamCustomPageSize Orientation: 5 int 0 0");
  }

  // Every resolution choice asks for 8-bit gray: the raster the filter reads. The feed
  // resolution is the page's x: 720x360dpi is 720 dpi along the tape.
  Line(&out, "*OpenUI *Resolution/Resolution: PickOne");
  Line(&out, "*OrderDependency: 20 AnySetup *Resolution");
  Line(&out, std::string("*DefaultResolution: ") +
                 (defaults.dm.dmYResolution == 720 && defaults.priv.privHighResAllowed
                      ? "720x360dpi"
                      : "360dpi"));
  Line(&out, "*Resolution 360dpi/360 x 360 dpi: \"<</HWResolution[360 360]/cupsBitsPerColor 8"
             "/cupsColorOrder 0/cupsColorSpace 0>>setpagedevice\"");
  if (defaults.priv.privHighResAllowed) {
    Line(&out, "*Resolution 720x360dpi/720 dpi along the tape: \"<</HWResolution[720 360]"
               "/cupsBitsPerColor 8/cupsColorOrder 0/cupsColorSpace 0>>setpagedevice\"");
  }
  Line(&out, "*CloseUI: *Resolution");

  // What tells media of one size apart, as IPP clients see them: the filter takes the
  // medium of the page's size and this type.
  Line(&out, std::string("*OpenUI *") + kMediaTypeOption + "/Media Type: PickOne");
  Line(&out, std::string("*OrderDependency: 10 AnySetup *") + kMediaTypeOption);
  Line(&out, std::string("*Default") + kMediaTypeOption + ": " + defaultMedium->mediaType);
  for (const auto& [type, text] : MediaTypes(catalog)) {
    Line(&out, std::string("*") + kMediaTypeOption + " " + type + "/" + Translation(text) +
                   ": \"<</MediaType(" + type + ")>>setpagedevice\"");
  }
  Line(&out, std::string("*CloseUI: *") + kMediaTypeOption);

  Line(&out, std::string("*OpenUI *") + kHalftoneOption + "/Halftoning: PickOne");
  Line(&out, std::string("*OrderDependency: 30 AnySetup *") + kHalftoneOption);
  Line(&out, std::string("*Default") + kHalftoneOption + ": " +
                 (options.halftone == 1 ? "Threshold" : options.halftone == 2 ? "Ordered" : "Diffusion"));
  Line(&out, std::string("*") + kHalftoneOption + " Threshold/Threshold (barcodes and text): \"\"");
  Line(&out, std::string("*") + kHalftoneOption + " Ordered/Ordered dither: \"\"");
  Line(&out, std::string("*") + kHalftoneOption + " Diffusion/Error diffusion (photos): \"\"");
  Line(&out, std::string("*CloseUI: *") + kHalftoneOption);

  ToneOption(&out, kContrastOption, "Contrast", options.contrast);
  ToneOption(&out, kBrightnessOption, "Brightness", options.brightness);
  BooleanOption(&out, kAutoCutOption, "Cut after each label", options.autoCut);
  BooleanOption(&out, kHalfCutOption, "Half cut", options.halfCut);
  BooleanOption(&out, kMirrorOption, "Mirror", options.mirror);
  BooleanOption(&out, kChainPrintOption, "Chain printing", options.chainPrint);
  BooleanOption(&out, kCollateOption, "Collate copies", false);

  Line(&out, std::string("*OpenUI *") + kOutputFormOption + "/Output form: PickOne");
  Line(&out, std::string("*OrderDependency: 30 AnySetup *") + kOutputFormOption);
  Line(&out, std::string("*Default") + kOutputFormOption + ": Plain");
  Line(&out, std::string("*") + kOutputFormOption + " Plain/Printer commands: \"\"");
  Line(&out, std::string("*") + kOutputFormOption + " Framed/Framed pages with job records: \"\"");
  Line(&out, std::string("*CloseUI: *") + kOutputFormOption);
  Line(&out, "*% End of the PPD");
  return true;
}

}  // namespace tq33cups
