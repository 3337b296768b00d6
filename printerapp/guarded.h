// SPDX-License-Identifier: Apache-2.0
// Guarded<Callback>: the callback as the framework may be given it. A failure is logged
// where the callback's first argument belongs (the job's log, the printer's, the system's,
// the client's, the device's error, or standard error), and a job's failure aborts it.
#pragma once

#include <pappl/pappl.h>

#include "printerapp/callback_guard.h"

namespace tq33app {

struct FrameworkLog {
  static void Report(pappl_job_t* job, const char* failure) noexcept;
  static void Report(pappl_printer_t* printer, const char* failure) noexcept;
  static void Report(pappl_system_t* system, const char* failure) noexcept;
  static void Report(pappl_client_t* client, const char* failure) noexcept;
  static void Report(pappl_device_t* device, const char* failure) noexcept;
  // Callbacks that are given none of those (the system's creation, auto-add).
  template <typename Other>
  static void Report(Other, const char* failure) noexcept {
    ReportElsewhere(failure);
  }
  static void ReportElsewhere(const char* failure) noexcept;
};

template <auto Callback>
inline constexpr auto Guarded = &NoThrow<Callback, FrameworkLog>::Call;

}  // namespace tq33app
