// Tests that run the driver through its DDI entries on a real printer installation: the
// default model data and media definitions from data/, the built libraries, a printer
// registered with the host spooler, and the driver enabled.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "driver/device_context.h"
#include "host/printer_installation.h"
#include "tests/support/host_test.h"

namespace test {

// A file of the source tree, by its path relative to the top directory.
std::vector<uint8_t> SourceFile(const std::string& relativePath);

// The default installation: the TQ-33 model data and the sample media definitions.
host::InstallationFiles DefaultInstallationFiles();

// What DrvEnablePDEV handed the engine.
struct EngineRecords {
  GDIINFO gdiInfo;
  DEVINFO deviceInfo;
};

class InstalledPrinterTest : public HostTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Replaces the installation with one made of files.
  void Install(const host::InstallationFiles& files);

  HANDLE printer() const { return installation_->printer(); }

  // DrvEnablePDEV for the installed printer with an application's device mode (or none);
  // the engine records land in records when given.
  DeviceContext* Enable(const DEVMODEW* devmode = nullptr, EngineRecords* records = nullptr,
                        const char16_t* deviceName = u"TQ-33");
  // DrvDisablePDEV.
  void Disable(DeviceContext* context);

  std::unique_ptr<host::PrinterInstallation> installation_;
};

}  // namespace test
