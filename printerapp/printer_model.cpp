// SPDX-License-Identifier: Apache-2.0
// Learning the printer from its installation: defaults, media, names and margins.
#include "printerapp/printer_model.h"

#include <cups/cups.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "cli/tool.h"
#include "cups/job_settings.h"
#include "host/engine_session.h"
#include "host/host.h"

namespace tq33app {
namespace {

constexpr int kHundredthsPerInch = 2540;
constexpr LONG kMeasuredResolution = 360;
constexpr char kMaker[] = "Tolvane";

// A name's words as a PWG size name's middle part, at most `length` characters; "medium"
// when nothing is left.
std::string ShortName(std::string_view name, size_t length) {
  std::string shortName = tq33cups::LowerCaseWords(name, length);
  return shortName.empty() ? "medium" : shortName;
}

// om_<short>_<W>x<L>mm, as libcups writes the dimensions. Empty when it does not fit.
std::string SizeName(const std::string& shortName, int width, int length) {
  char name[kMaxMediaNameLength + 1];
  if (!pwgFormatSizeName(name, sizeof(name), "om", shortName.c_str(), width, length, "mm")) return {};
  return name;
}

// Dots at 360 dpi in hundredths of a millimetre, rounded down: a margin is never
// reported larger than it is.
int Hundredths(LONG dots) { return dots <= 0 ? 0 : static_cast<int>(dots * kHundredthsPerInch / kMeasuredResolution); }

// The margins of a medium's portrait page at 360 dpi, from the context the jobs open for
// it. Nothing when the driver does not select the medium for that page.
std::optional<Margins> Measure(HANDLE printer, const SettingsRecord& defaults,
                               const std::vector<tq33cups::MediaChoice>& catalog,
                               const tq33cups::MediaChoice& choice, LONG lengthTenths) {
  tq33cups::PageRequest request;
  request.sizeName = choice.keyword;
  request.width = choice.width;
  request.length = lengthTenths;
  request.yResolution = kMeasuredResolution;
  request.orientation = DMORIENT_PORTRAIT;
  host::SessionOptions options;
  options.devmode = tq33cups::BuildApplicationRecord(
      defaults, catalog, request, tq33cups::DefaultJobOptions(defaults), 1);
  options.surface = false;
  std::unique_ptr<host::EngineSession> session = host::EngineSession::Open(host::kDriverPath, printer, options);
  if (!session) return std::nullopt;
  const DeviceContext* context = ContextFromHandle(session->device());
  if (static_cast<WORD>(context->settings.dm.dmPaperSize) != choice.paperSize) return std::nullopt;
  const GDIINFO& gdi = session->gdiInfo();
  const LONG width = gdi.szlPhysSize.cx;
  const LONG length = gdi.szlPhysSize.cy;
  const LONG across = gdi.ptlPhysOffset.x;
  const LONG along = gdi.ptlPhysOffset.y;
  const LONG printableWidth = static_cast<LONG>(gdi.ulHorzRes);
  const LONG printableLength = static_cast<LONG>(gdi.ulVertRes);
  if (printableWidth <= 0 || printableLength <= 0 || across + printableWidth > width ||
      along + printableLength > length)
    return std::nullopt;
  return Margins{Hundredths(across), Hundredths(width - across - printableWidth), Hundredths(along),
                 Hundredths(length - along - printableLength)};
}

}  // namespace

std::unique_ptr<PrinterModel> PrinterModel::Create(const std::string& installDirectory,
                                                   std::string* error) {
  std::unique_ptr<PrinterModel> model(new PrinterModel());
  tq33cli::ToolOptions options;
  options.installDir = installDirectory;
  try {
    model->installation_ = std::make_unique<tq33cli::ToolInstallation>(options);
  } catch (const tq33cli::ToolError& failure) {
    // The tool's words name its own option; the server's is tq33-install.
    const std::string option = "--install ";
    *error = failure.message.compare(0, option.size(), option) == 0
                 ? "tq33-install=" + failure.message.substr(option.size())
                 : failure.message;
    return nullptr;
  }
  if (!model->Describe(error)) return nullptr;
  return model;
}

// The defaults and catalog from an information context, then each medium's name, size and
// margins. FALSE with the reason when the driver refuses the installation or describes no
// medium.
bool PrinterModel::Describe(std::string* error) {
  const HANDLE printer = installation_->printer();
  std::vector<LONG> leastLengths;  // of each medium of the catalog, tenths of a millimetre
  {
    host::SessionOptions options;
    options.surface = false;
    host::DdiStatus status;
    std::unique_ptr<host::EngineSession> probe =
        host::EngineSession::Open(host::kDriverPath, printer, options, &status);
    if (!probe) {
      const std::string why = installation_->DiagnoseRefusal();
      *error = "the driver refused the installation (" + status.Describe() + ")" +
               (why.empty() ? "" : ": " + why);
      return false;
    }
    const DeviceContext* context = ContextFromHandle(probe->device());
    defaults_ = context->defaultSettings;
    catalog_ = tq33cups::BuildMediaCatalog(*context);
    for (const tq33cups::MediaChoice& choice : catalog_) {
      const MediaRecord& record = context->modelData.mediaTable[choice.mediaIndex];
      leastLengths.push_back(static_cast<LONG>(MinLengthTenths(&record.mrEntry)));
    }
    std::string model = "TQ-33";
    if (const ModelRecord* record = context->modelData.modelRecord) {
      const std::string named = tq33cups::NameFromField(record->moName, std::size(record->moName));
      if (!named.empty()) model = named;
    }
    makeAndModel_ = std::string(kMaker) + " " + model;
  }

  for (size_t i = 0; i < catalog_.size(); ++i) {
    const tq33cups::MediaChoice& choice = catalog_[i];
    const LONG pageTenths =
        choice.continuous() ? std::min(choice.pageLength, choice.maxLength) : choice.length;
    const std::optional<Margins> margins = Measure(printer, defaults_, catalog_, choice, pageTenths);
    if (!margins) continue;
    IppMedium medium;
    medium.choice = choice;
    medium.margins = *margins;
    medium.width = choice.width * 10;
    medium.length = pageTenths * 10;
    medium.minLength = choice.continuous() ? std::min(leastLengths[i], pageTenths) * 10 : medium.length;
    medium.maxLength = choice.continuous() ? choice.maxLength * 10 : medium.length;
    // The dimensions, then as much of the name as room is left for; a name another medium
    // has already is told apart by the paper size code.
    const size_t room = kMaxMediaNameLength - SizeName("", medium.width, medium.length).size();
    medium.name = SizeName(ShortName(choice.name, room), medium.width, medium.length);
    const auto taken = [&] {
      return std::any_of(media_.begin(), media_.end(),
                         [&](const IppMedium& other) { return other.name == medium.name; });
    };
    if (taken()) {
      const std::string suffix = "-" + std::to_string(choice.paperSize);
      medium.name = SizeName(ShortName(choice.name, room - suffix.size()) + suffix, medium.width,
                             medium.length);
    }
    if (medium.name.empty() || taken()) continue;
    media_.push_back(std::move(medium));
  }
  if (media_.empty()) {
    *error = "the driver describes no medium of the installation";
    return false;
  }

  const IppMedium& first = media_.front();
  commonMargins_ = first.margins;
  minWidth_ = maxWidth_ = first.width;
  minLength_ = first.minLength;
  maxLength_ = first.maxLength;
  bool defaultFound = false;
  for (size_t i = 0; i < media_.size(); ++i) {
    const IppMedium& medium = media_[i];
    commonMargins_.left = std::min({commonMargins_.left, medium.margins.left, medium.margins.right});
    commonMargins_.top = std::min({commonMargins_.top, medium.margins.top, medium.margins.bottom});
    minWidth_ = std::min(minWidth_, medium.width);
    maxWidth_ = std::max(maxWidth_, medium.width);
    minLength_ = std::min(minLength_, medium.minLength);
    maxLength_ = std::max(maxLength_, medium.maxLength);
    const bool isDefault = medium.choice.paperSize == static_cast<WORD>(defaults_.dm.dmPaperSize) &&
                           medium.choice.kind == defaults_.priv.privMediaKind;
    if (isDefault && !defaultFound) defaultIndex_ = i;
    defaultFound = defaultFound || isDefault;
  }
  commonMargins_.right = commonMargins_.left;
  commonMargins_.bottom = commonMargins_.top;
  for (const IppMedium& medium : media_) {
    if (std::find(mediaTypes_.begin(), mediaTypes_.end(), medium.choice.mediaType) == mediaTypes_.end())
      mediaTypes_.push_back(medium.choice.mediaType);
  }
  const bool tape = std::any_of(media_.begin(), media_.end(),
                                [](const IppMedium& medium) { return medium.choice.continuous(); });
  if (tape) {
    rollMin_ = SizeName("min", minWidth_, minLength_);
    rollMax_ = SizeName("max", maxWidth_, maxLength_);
    rollMin_.replace(0, 2, "roll");
    rollMax_.replace(0, 2, "roll");
  }
  return true;
}

std::string MillimetreFigure(int hundredths) {
  const int tenths = (hundredths + 5) / 10;
  return std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "");
}

const IppMedium* PrinterModel::Find(std::string_view name) const {
  for (const IppMedium& medium : media_) {
    if (medium.name == name) return &medium;
  }
  return nullptr;
}

HANDLE PrinterModel::HostPrinter(int id) {
  std::lock_guard<std::mutex> lock(printersLock_);
  auto found = printers_.find(id);
  if (found != printers_.end()) return found->second;
  const HANDLE printer = installation_->installation().AddPrinter(u"TQ-33 #" + host::Utf16(std::to_string(id)));
  if (printer) printers_[id] = printer;
  return printer;
}

}  // namespace tq33app
