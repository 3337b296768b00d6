// SPDX-License-Identifier: Apache-2.0
// tq33-printer-app: the TQ-33 thermal label-tape printer as an IPP Everywhere printer, on
// the printer-application framework. The framework's main loop gives it its subcommands
// (server, add, printers, submit, status, shutdown, drivers, devices, options, jobs,
// cancel, default, modify, delete, ...); everything else is a named callback.
#include <pappl/pappl.h>

#include "printerapp/app_system.h"
#include "printerapp/guarded.h"
#include "printerapp/printer_driver.h"
#include "printerapp/printer_model.h"

int main(int argc, char* argv[]) {
  // Gone when the main loop returns: the installation goes before the host it lives in.
  tq33app::Application application;
  return papplMainloop(argc, argv, TQ33_VERSION, nullptr, tq33app::DriverCount(), tq33app::Drivers(),
                       tq33app::Guarded<tq33app::AutoAdd>, tq33app::Guarded<tq33app::DriverCallback>, nullptr,
                       nullptr, tq33app::Guarded<tq33app::CreateSystem>,
                       nullptr, &application);
}
