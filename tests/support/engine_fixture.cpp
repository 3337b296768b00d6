// SPDX-License-Identifier: Apache-2.0
#include "tests/support/engine_fixture.h"


#include <stdexcept>

#include "device/printer_data.h"

namespace test {

Bytes SourceFile(const std::string& relativePath) {
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

void EngineTest::SetUp() {
  HostTest::SetUp();
  Install(DefaultInstallationFiles());
  baseline_ = host::Live();
}

void EngineTest::Install(const host::InstallationFiles& files) {
  installation_.reset();
  std::string error;
  installation_ = host::PrinterInstallation::Create(files, &error);
  ASSERT_TRUE(installation_) << error;
}

void EngineTest::SetDefaultOptions(BYTE useMonitor, BYTE retain) {
  DefaultOptions options = {};
  options.optSize = DEFAULT_OPTIONS_SIZE;
  options.optMask = DOM_USE_MONITOR | (retain ? DOM_OPT20000 : 0);
  options.optUseMonitor = useMonitor;
  options.optOpt20000 = retain;
  host::SetPrinterDataBinary(installation_->printer(), u"RegDefaultOptions", BytesOf(options));
}

std::unique_ptr<host::EngineSession> EngineTest::Open(const host::SessionOptions& options) {
  host::DdiStatus status;
  auto session = host::EngineSession::Open(host::kDriverPath, installation_->printer(), options, &status);
  EXPECT_TRUE(session) << status.Describe();
  return session;
}

Bytes EngineTest::PrintAlone(const std::vector<host::GrayImage>& pages, const host::SessionOptions& options) {
  {
    auto session = Open(options);
    if (!session) return {};
    host::DdiStatus status = session->PrintDocument(pages);
    EXPECT_TRUE(status) << status.Describe();
  }
  return TakeSpooled();
}

}  // namespace test
