// SPDX-License-Identifier: Apache-2.0
// The printer installation the filter prints on, held in memory for the job: the driver
// data file and the media definition file the queue names, or else the defaults: installed
// in the data directory when the filter runs from CUPS's filter directory, built into the
// filter (data/ at build time) when it runs from anywhere else, such as the build tree.
#pragma once

#include <memory>
#include <string>

#include "host/printer_installation.h"

namespace tq33cups {

// Installation files larger than this are refused: no driver data file comes near it.
inline constexpr size_t kMaxInstallationFileBytes = size_t{1} << 20;

// Sets up the installation. Null with the reason in error when a named or installed file
// cannot be read or the installation cannot be made. When given, source receives where
// the files came from, for the job log.
std::unique_ptr<host::PrinterInstallation> CreateFilterInstallation(
    const std::string& modelDataFile, const std::string& mediaFile, std::string* error,
    std::string* source = nullptr);

}  // namespace tq33cups
