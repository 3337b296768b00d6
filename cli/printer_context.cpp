// SPDX-License-Identifier: Apache-2.0
// Making the printer context: installation, the application's record, the session.
#include "cli/printer_context.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>

#include "cli/driver_changes.h"
#include "cli/file_io.h"
#include "cli/tool.h"
#include "cups/job_settings.h"
#include "settings/settings_merge.h"

namespace tq33cli {
namespace {

// Where a 16-bit settings field lies in a raw record; nothing when the record lacks it.
std::optional<size_t> WordAt(const std::vector<uint8_t>& record, const char* name) {
  size_t offset = 0;
  if (!SettingsFieldOffset(*FindField(kSettingsLayout, name), record, &offset)) return std::nullopt;
  return offset;
}

int16_t Word(const std::vector<uint8_t>& record, size_t at) {
  return static_cast<int16_t>(record[at] | record[at + 1] << 8);
}

// After a step changed the feed resolution from `before`: the margin converted to the new
// resolution, as the CUPS filter writes it, so that both print the same label.
void CarryMargin(std::vector<uint8_t>* record, int16_t before) {
  const std::optional<size_t> resolution = WordAt(*record, "dmYResolution");
  const std::optional<size_t> margin = WordAt(*record, "privMargin");
  if (!resolution || !margin) return;
  const WORD converted = tq33cups::FeedMarginAt(static_cast<WORD>(Word(*record, *margin)), before,
                                                Word(*record, *resolution));
  (*record)[*margin] = static_cast<uint8_t>(converted);
  (*record)[*margin + 1] = static_cast<uint8_t>(converted >> 8);
}

// A medium's name as --paper compares it: letters in lower case, digits and '.', nothing
// else, so that "die-cut label 24 x 40 mm" and the PPD's "Die-cut_label_24_x_40mm" name
// the same medium.
std::string NameKey(std::string_view name) {
  std::string key;
  for (char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x80 || std::isalnum(u) || c == '.') key += static_cast<char>(std::tolower(u));
  }
  return key;
}

// Whether --paper was given a number rather than a name.
bool IsCode(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  return !text.empty() && std::isdigit(static_cast<unsigned char>(text.front())) &&
         text.find_first_not_of("0123456789abcdefABCDEFxX") == std::string_view::npos;
}

// The medium a --paper name means: the one whose name (or PPD keyword) it is, or else the
// only one whose name starts with it. Throws a usage error for none or several.
const tq33cups::MediaChoice& FindMediumByName(const std::vector<tq33cups::MediaChoice>& catalog,
                                              const std::string& text) {
  const std::string key = NameKey(text);
  std::vector<const tq33cups::MediaChoice*> starts;
  for (const tq33cups::MediaChoice& choice : catalog) {
    const std::string name = NameKey(choice.name);
    const std::string keyword = NameKey(choice.keyword);
    if (key == name || key == keyword) return choice;
    if (!key.empty() && (name.rfind(key, 0) == 0 || keyword.rfind(key, 0) == 0)) {
      starts.push_back(&choice);
    }
  }
  if (starts.size() == 1) return *starts.front();
  if (starts.empty()) {
    UsageError("--paper: no medium is named '" + text + "' (`tq33 media` lists them)");
  }
  std::string names;
  for (size_t i = 0; i < starts.size() && i < 4; ++i) {
    names +=
        (i ? ", \"" : "\"") + starts[i]->name + "\" (" + std::to_string(starts[i]->paperSize) + ")";
  }
  if (starts.size() > 4) names += " and " + std::to_string(starts.size() - 4) + " more";
  UsageError("--paper: '" + text + "' starts the names of " + std::to_string(starts.size()) +
             " media: " + names + "; give more of the name or the code");
}

// The steps with every --paper step made into the fields that select its medium: the paper
// size code and, for a medium the table or the definitions hold, the media kind the lookup
// searches (paper media are kind 1), as the CUPS queue writes them.
std::vector<SettingsStep> ResolvePaper(const std::vector<SettingsStep>& steps,
                                       const std::vector<tq33cups::MediaChoice>& catalog) {
  std::vector<SettingsStep> resolved;
  for (const SettingsStep& step : steps) {
    if (step.kind != SettingsStep::Kind::Paper) {
      resolved.push_back(step);
      continue;
    }
    SettingsStep paper = step;
    paper.kind = SettingsStep::Kind::Set;
    paper.field = FindField(kSettingsLayout, "dmPaperSize");
    const tq33cups::MediaChoice* choice = nullptr;
    if (IsCode(step.value)) {
      std::vector<uint8_t> scratch(kSettingsLayout.size);
      std::string error;
      if (!WriteFieldValue(*paper.field, scratch, paper.field->offset, step.value, &error)) {
        UsageError("--paper: " + error);
      }
      const int64_t code = ReadIntegerField(*paper.field, scratch.data());
      for (const tq33cups::MediaChoice& candidate : catalog) {
        if (candidate.paperSize == code && !choice) choice = &candidate;
      }
    } else {
      choice = &FindMediumByName(catalog, step.value);
      paper.value = std::to_string(choice->paperSize);
    }
    resolved.push_back(paper);
    if (choice) {
      SettingsStep kind;
      kind.field = FindField(kSettingsLayout, "privMediaKind");
      kind.value = std::to_string(choice->kind);
      kind.option = step.option;
      kind.implied = true;
      resolved.push_back(kind);
    }
  }
  return resolved;
}

// The application's record: the driver's defaults, then every settings step in order.
std::vector<uint8_t> ApplicationRecord(const SettingsRecord& defaults,
                                       const std::vector<SettingsStep>& steps) {
  const uint8_t* start = reinterpret_cast<const uint8_t*>(&defaults);
  std::vector<uint8_t> record(start, start + sizeof(defaults));
  std::string origin = "the driver's default settings record";
  for (const SettingsStep& step : steps) {
    if (step.kind == SettingsStep::Kind::Devmode) {
      record = ReadInputFile(step.file, "settings record", size_t{1} << 20);
      origin = step.file;
      continue;
    }
    size_t offset = 0;
    if (!SettingsFieldOffset(*step.field, record, &offset)) {
      Fail(std::string(step.field->name) + " lies outside the settings record from " + origin +
           " (" + std::to_string(record.size()) + " bytes)");
    }
    // --dpi's field is dmYResolution itself: its value before the step.
    const int16_t resolution = step.carriesMargin ? Word(record, offset) : 0;
    std::string error;
    if (!WriteFieldValue(*step.field, record, offset, step.value, &error)) UsageError(error);
    if (step.carriesMargin) CarryMargin(&record, resolution);
    // A public field counts only with its dmFields bit.
    constexpr size_t kFieldsEnd = offsetof(DEVMODEW, dmFields) + sizeof(DWORD);
    if (step.field->dmBit && record.size() >= kFieldsEnd) {
      DWORD fields = 0;
      std::memcpy(&fields, record.data() + offsetof(DEVMODEW, dmFields), sizeof(fields));
      fields |= step.field->dmBit;
      std::memcpy(record.data() + offsetof(DEVMODEW, dmFields), &fields, sizeof(fields));
    }
  }
  // The engine sizes its copy of the record from the size fields (dmSize, dmDriverExtra)
  // and pads it with zeros; a record that ends inside those fields is completed with
  // zeros first, so that the copy covers every byte the fields then claim.
  constexpr size_t kSizeFieldsEnd = offsetof(DEVMODEW, dmDriverExtra) + sizeof(WORD);
  if (record.size() < kSizeFieldsEnd) record.resize(kSizeFieldsEnd, 0);
  return record;
}

// The driver's own merge of the application record into the defaults of a context,
// without a context of its own: what a context the driver refused would have held.
std::unique_ptr<DeviceContext> DryMerge(const DeviceContext& defaults,
                                        const std::vector<uint8_t>& applicationRecord) {
  auto merged = std::make_unique<DeviceContext>(defaults);
  merged->settings = defaults.defaultSettings;
  const std::vector<uint8_t> record = host::EngineDevmode(applicationRecord);
  MergeSettings(&merged->settings, reinterpret_cast<const DEVMODEW*>(record.data()),
                static_cast<DWORD>(record.size()), defaults.printer, &defaults.modelData,
                defaults.mediaDefinitions, defaults.mediaDefinitionCount,
                static_cast<WORD>(defaults.defaultSettings.dm.dmPaperSize));
  return merged;
}

// A DDI call's failure in words: the call and what its last error means.
std::string FailureWords(const host::DdiStatus& status) {
  std::string words;
  switch (status.lastError) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_MOD_NOT_FOUND:
      words = "a file it needs was not found";
      break;
    case ERROR_ACCESS_DENIED:
      words = "access to a file was denied";
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      words = "out of memory";
      break;
    case ERROR_INVALID_DATA:
      words = "the settings leave no page to print on";
      break;
    default:
      words = "last error " + std::to_string(status.lastError);
      return status.call + " failed (" + words + ")";
  }
  return words + " (" + status.call + ", last error " + std::to_string(status.lastError) + ")";
}

// Opens a session, or throws with the cause of the failure. maxBitmap is the engine's
// limit on bitmaps, when one was set. A context refused because its settings leave no
// page returns null with the status in noPage, when given, for the caller to say why.
std::unique_ptr<host::EngineSession> OpenSession(const ToolInstallation& installation,
                                                 const host::SessionOptions& options,
                                                 std::optional<uint64_t> maxBitmap,
                                                 host::DdiStatus* noPage = nullptr) {
  host::DdiStatus status;
  std::unique_ptr<host::EngineSession> session =
      host::EngineSession::Open(host::kDriverPath, installation.printer(), options, &status);
  if (session) return session;
  if (noPage && status.call == "DrvEnablePDEV" && status.lastError == ERROR_INVALID_DATA) {
    *noPage = status;
    return nullptr;
  }
  if (status.call == "DrvEnablePDEV") {
    std::string cause = installation.DiagnoseRefusal();
    if (cause.empty()) cause = FailureWords(status);
    Fail("the driver refused the printer context: " + cause);
  }
  if (status.call == "DrvEnableSurface") {
    // Without a limit the engine grants any bitmap a page of the head's width can need, so
    // the page itself is at fault.
    std::string cause = "the settings leave no page it can draw on";
    if (maxBitmap) {
      cause += ", or not even a sixteenth of the page fits the " + std::to_string(*maxBitmap) +
               " bytes --max-bitmap grants";
    }
    Fail("the driver could not create its drawing surface: " + cause + " (" + status.Describe() +
         ")");
  }
  Fail("cannot start the driver: " + status.Describe());
}

}  // namespace

PrinterContext::PrinterContext(const ToolOptions& options)
    : installation_(std::make_unique<ToolInstallation>(options)) {
  // What an application gets from the driver before it changes anything: the defaults
  // of a context made without an application record, and the media it offers. Nothing is
  // drawn on it, so it is an information context, without a surface.
  host::SessionOptions probeOptions;
  probeOptions.surface = false;
  std::unique_ptr<host::EngineSession> probe = OpenSession(*installation_, probeOptions, std::nullopt);
  const DeviceContext& defaults = *ContextFromHandle(probe->device());
  driverDefaults_ = defaults.defaultSettings;
  catalog_ = tq33cups::BuildMediaCatalog(defaults, tq33cups::IppNames::Unnamed);
  steps_ = ResolvePaper(options.settingsSteps, catalog_);
  applicationRecord_ = ApplicationRecord(defaults.defaultSettings, steps_);
  if (options.maxBitmapBytes) host::SetMaxBitmapBytes(*options.maxBitmapBytes);
  host::SessionOptions sessionOptions;
  sessionOptions.devmode = applicationRecord_;
  host::DdiStatus noPage;
  session_ = OpenSession(*installation_, sessionOptions, options.maxBitmapBytes, &noPage);
  if (!session_) {
    // Say what the merge made of the settings, and why that leaves no page.
    std::unique_ptr<DeviceContext> merged = DryMerge(defaults, applicationRecord_);
    for (const std::string& change :
         DescribeChanges(steps_, applicationRecord_, *merged, printer(), catalog_)) {
      Warn(change);
    }
    Fail("the driver refused the printer context: the settings leave no page to print on: " +
         DescribeNoPage(*merged, printer()) + " (" + noPage.call + ", last error " +
         std::to_string(noPage.lastError) + ")");
  }
}

std::vector<std::string> PrinterContext::Changes() const {
  return DescribeChanges(steps_, applicationRecord_, *context(), printer(), catalog_);
}

void PrinterContext::WarnOfChanges(bool strict) const {
  const std::vector<std::string> changes = Changes();
  for (const std::string& change : changes) Warn(change);
  if (strict && !changes.empty()) {
    Fail("--strict: the driver changed " +
         CountOf(static_cast<int64_t>(changes.size()), "setting", "settings") +
         " the command line asked for");
  }
}

PrinterContext::~PrinterContext() {
  // The session goes before the installation it runs on.
  session_.reset();
  installation_.reset();
}

const DeviceContext* PrinterContext::context() const {
  return ContextFromHandle(session_->device());
}

LONG PrinterContext::pageWidth() const {
  const DeviceContext* c = context();
  return static_cast<LONG>(c->settings.dm.dmOrientation == DMORIENT_LANDSCAPE ? c->bandAxisExtent
                                                                              : c->crossExtent);
}

LONG PrinterContext::pageHeight() const {
  const DeviceContext* c = context();
  return static_cast<LONG>(c->settings.dm.dmOrientation == DMORIENT_LANDSCAPE ? c->crossExtent
                                                                              : c->bandAxisExtent);
}

}  // namespace tq33cli
