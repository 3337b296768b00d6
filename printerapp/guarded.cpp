// SPDX-License-Identifier: Apache-2.0
// Where a failed callback is told about: nothing here allocates, so that running out of
// memory can still be reported.
#include "printerapp/guarded.h"

#include <cstdio>

namespace tq33app {

void FrameworkLog::Report(pappl_job_t* job, const char* failure) noexcept {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Stopped: %s.", failure);
  papplJobSetMessage(job, "Stopped: %s", failure);
  papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
}

void FrameworkLog::Report(pappl_printer_t* printer, const char* failure) noexcept {
  papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Failed: %s.", failure);
}

void FrameworkLog::Report(pappl_system_t* system, const char* failure) noexcept {
  papplLog(system, PAPPL_LOGLEVEL_ERROR, "Failed: %s.", failure);
}

void FrameworkLog::Report(pappl_client_t* client, const char* failure) noexcept {
  papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Failed: %s.", failure);
}

void FrameworkLog::Report(pappl_device_t* device, const char* failure) noexcept {
  papplDeviceError(device, "Failed: %s.", failure);
}

void FrameworkLog::ReportElsewhere(const char* failure) noexcept {
  std::fprintf(stderr, "tq33-printer-app: %s\n", failure);
}

}  // namespace tq33app
