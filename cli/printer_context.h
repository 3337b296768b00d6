// SPDX-License-Identifier: Apache-2.0
// A printer context made the way `print` makes it: the tool's installation, the
// application's settings record (the driver's defaults for the printer, changed by the
// settings options in their order), and an engine session that has enabled the context
// and its surface through the driver's DDI table. --max-bitmap limits that job's surface
// only, not the context made first to learn the driver's defaults.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/installation.h"
#include "cli/tool_options.h"
#include "context/device_context.h"
#include "cups/media_catalog.h"
#include "host/engine_session.h"

namespace tq33cli {

class PrinterContext {
 public:
  // Throws, naming the cause, when the installation or the context cannot be made.
  explicit PrinterContext(const ToolOptions& options);
  ~PrinterContext();

  host::EngineSession& session() const { return *session_; }
  HANDLE printer() const { return installation_->printer(); }
  const ToolInstallation& installation() const { return *installation_; }
  // The driver's default settings for the printer, which the application record was made
  // from.
  const SettingsRecord& driverDefaults() const { return driverDefaults_; }
  // The driver's device context.
  const DeviceContext* context() const;
  // The record the application handed to DrvEnablePDEV.
  const std::vector<uint8_t>& applicationRecord() const { return applicationRecord_; }
  // The installation's media, as the CUPS queue offers them, without their IPP names.
  const std::vector<tq33cups::MediaChoice>& catalog() const { return catalog_; }
  // What the driver changed of the settings asked for, one sentence each.
  std::vector<std::string> Changes() const;
  // Prints the changes as warnings; with strict, fails (status 1) when there are any.
  void WarnOfChanges(bool strict) const;
  // The page in surface coordinates, from the surface's band layout.
  LONG pageWidth() const;
  LONG pageHeight() const;

 private:
  std::unique_ptr<ToolInstallation> installation_;
  std::vector<tq33cups::MediaChoice> catalog_;
  std::vector<SettingsStep> steps_;  // the options' steps, --paper resolved
  SettingsRecord driverDefaults_ = {};
  std::vector<uint8_t> applicationRecord_;
  std::unique_ptr<host::EngineSession> session_;
};

}  // namespace tq33cli
