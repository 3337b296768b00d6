#include "tests/support/installed_printer.h"

#include <fstream>
#include <stdexcept>

#include "driver/ddi.h"

namespace test {

std::vector<uint8_t> SourceFile(const std::string& relativePath) {
  auto bytes = host::ReadWholeFile(std::string(TQ33_SOURCE_DIR) + "/" + relativePath);
  if (!bytes) throw std::runtime_error("cannot read " + relativePath);
  return *bytes;
}

host::InstallationFiles DefaultInstallationFiles() {
  host::InstallationFiles files;
  files.modelData = SourceFile("data/tq33.model");
  files.mediaDefinitions = SourceFile("data/sample-media.dat");
  return files;
}

void InstalledPrinterTest::SetUp() {
  HostTest::SetUp();
  DRVENABLEDATA data{};
  ASSERT_TRUE(DrvEnableDriver(DDI_DRIVER_VERSION_NT4, sizeof(data), &data));
  Install(DefaultInstallationFiles());
  baseline_ = host::Live();
}

void InstalledPrinterTest::TearDown() {
  installation_.reset();
  DrvDisableDriver();
  HostTest::TearDown();
}

void InstalledPrinterTest::Install(const host::InstallationFiles& files) {
  installation_.reset();
  std::string error;
  installation_ = host::PrinterInstallation::Create(files, &error);
  ASSERT_TRUE(installation_) << error;
}

DeviceContext* InstalledPrinterTest::Enable(const DEVMODEW* devmode, EngineRecords* records,
                                            const char16_t* deviceName) {
  EngineRecords local{};
  EngineRecords& out = records ? *records : local;
  HSURF patterns[3] = {static_cast<HSURF>(7), static_cast<HSURF>(7), static_cast<HSURF>(7)};
  std::u16string name = deviceName ? deviceName : u"";
  DHPDEV device = DrvEnablePDEV(const_cast<DEVMODEW*>(devmode), nullptr, 3, patterns,
                                sizeof(GDIINFO), reinterpret_cast<ULONG*>(&out.gdiInfo),
                                sizeof(DEVINFO), &out.deviceInfo, {},
                                deviceName ? name.data() : nullptr, printer());
  if (device) {
    for (HSURF pattern : patterns) EXPECT_EQ(pattern, HSURF{}) << "patterns are zeroed";
  }
  return ContextFromHandle(device);
}

void InstalledPrinterTest::Disable(DeviceContext* context) {
  DrvDisablePDEV(HandleFromContext(context));
}

}  // namespace test
