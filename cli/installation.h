// SPDX-License-Identifier: Apache-2.0
// The printer the tool prints to: a printer installation held in memory (the built-in
// default, or a copy of the one --install names, with single files replaced), the printer
// registered with the host spooler, and the printer's environment (printer data, per-user
// record, registry options, locale, code page) set up as the options say.
#pragma once

#include <memory>
#include <string>

#include "cli/tool_options.h"
#include "host/printer_installation.h"
#include "wine/job_file.h"

namespace tq33cli {

class ToolInstallation {
 public:
  // Lays out the installation and sets up the environment; throws on failure.
  explicit ToolInstallation(const ToolOptions& options);

  HANDLE printer() const { return installation_->printer(); }
  host::PrinterInstallation& installation() const { return *installation_; }

  // Why the driver refused to make a printer context on this installation, from a look
  // at its files ("model data file malformed at line 12: ..."); empty when the files
  // show no cause.
  std::string DiagnoseRefusal() const;

  // The installation's files and the printer's environment as they were set up, in the
  // form a job for the driver under Wine carries them (--via-wine).
  tq33job::Job Environment() const;

 private:
  std::unique_ptr<host::PrinterInstallation> installation_;
  tq33job::Job environment_;  // the environment's part, as it was set up
};

}  // namespace tq33cli
