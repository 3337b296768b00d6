// SPDX-License-Identifier: Apache-2.0
// Tests on a printer installation, by default the one of data/, that print whole documents
// through the engine harness; each ends with every session closed, the driver unloaded and
// nothing left alive.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "context/device_context.h"
#include "documents/label_documents.h"
#include "host/engine_session.h"
#include "host/printer_installation.h"
#include "tests/support/host_test.h"

namespace test {

using Bytes = std::vector<uint8_t>;

// A file of the source tree, by its path relative to the top directory.
Bytes SourceFile(const std::string& relativePath);

// The default installation: the TQ-33 model data and the sample media definitions.
host::InstallationFiles DefaultInstallationFiles();

class EngineTest : public HostTest {
 protected:
  void SetUp() override;
  void TearDown() override {
    ExpectNothingLeaked();
    installation_.reset();
    host::Reset();
  }
  // Replaces the installation with one made of files.
  void Install(const host::InstallationFiles& files);
  HANDLE printer() const { return installation_->printer(); }
  // Stored default options of the printer: output mode and retained pages.
  void SetDefaultOptions(BYTE useMonitor, BYTE retain = 0);
  std::unique_ptr<host::EngineSession> Open(const host::SessionOptions& options = {});
  // Prints pages as one document on a new session; the spooled bytes.
  Bytes PrintAlone(const std::vector<host::GrayImage>& pages, const host::SessionOptions& options = {});
  Bytes TakeSpooled() {
    Bytes bytes;
    host::TakeSpooled(installation_->printer(), &bytes);
    return bytes;
  }

  std::unique_ptr<host::PrinterInstallation> installation_;
};

inline DeviceContext* Context(const host::EngineSession& session) {
  return ContextFromHandle(session.device());
}

using tq33docs::DefaultSettingsRecord;
using tq33docs::Document;
using tq33docs::DocumentRun;
using tq33docs::LabelSettings;
using tq33docs::RunDocument;
using tq33docs::RunStep;
using tq33docs::TestPage;

}  // namespace test
