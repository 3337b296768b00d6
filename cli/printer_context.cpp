// Making the printer context: installation, the application's record, the session.
#include "cli/printer_context.h"

#include <cstring>
#include <optional>

#include "cli/file_io.h"
#include "cli/tool.h"

namespace tq33cli {
namespace {

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
    std::string error;
    if (!WriteFieldValue(*step.field, record, offset, step.value, &error)) UsageError(error);
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

// Opens a session, or throws with the cause of the failure. maxBitmap is the engine's
// limit on bitmaps, when one was set.
std::unique_ptr<host::EngineSession> OpenSession(const ToolInstallation& installation,
                                                 const host::SessionOptions& options,
                                                 std::optional<uint64_t> maxBitmap) {
  host::DdiStatus status;
  std::unique_ptr<host::EngineSession> session =
      host::EngineSession::Open(host::kDriverPath, installation.printer(), options, &status);
  if (session) return session;
  if (status.call == "DrvEnablePDEV") {
    std::string cause = installation.DiagnoseRefusal();
    if (cause.empty()) cause = status.Describe();
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
  // of a context made without an application record. Nothing is drawn on it, so it is an
  // information context, without a surface.
  SettingsRecord defaults{};
  {
    host::SessionOptions probeOptions;
    probeOptions.surface = false;
    std::unique_ptr<host::EngineSession> probe =
        OpenSession(*installation_, probeOptions, options.maxBitmapBytes);
    defaults = ContextFromHandle(probe->device())->defaultSettings;
  }
  applicationRecord_ = ApplicationRecord(defaults, options.settingsSteps);
  host::SessionOptions sessionOptions;
  sessionOptions.devmode = applicationRecord_;
  session_ = OpenSession(*installation_, sessionOptions, options.maxBitmapBytes);
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
