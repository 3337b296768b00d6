// SPDX-License-Identifier: Apache-2.0
// The system of the `server` subcommand.
#include "printerapp/app_system.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "printerapp/file_device.h"
#include "printerapp/guarded.h"
#include "printerapp/image_filter.h"
#include "printerapp/printer_driver.h"
#include "printerapp/printer_model.h"

namespace tq33app {
namespace {

constexpr char kSystemName[] = "TQ-33 Printer Application";
constexpr char kFooter[] =
    "TQ-33 Printer Application: the TQ-33 label printer for every IPP client. Licensed under the "
    "Apache License, Version 2.0.";
constexpr pappl_soptions_t kSystemOptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE |
                                            PAPPL_SOPTIONS_WEB_LOG | PAPPL_SOPTIONS_WEB_SECURITY |
                                            PAPPL_SOPTIONS_WEB_TLS;
constexpr int kMaxPort = 65535;

constexpr const char* kServerOptions[] = {
    "server-port", "listen-hostname", "server-hostname", "log-file", "log-level", "spool-directory",
    "admin-group", "auth-service", "private-server", "tq33-install"};

constexpr std::pair<const char*, pappl_loglevel_t> kLogLevels[] = {
    {"debug", PAPPL_LOGLEVEL_DEBUG}, {"info", PAPPL_LOGLEVEL_INFO}, {"warn", PAPPL_LOGLEVEL_WARN},
    {"error", PAPPL_LOGLEVEL_ERROR}, {"fatal", PAPPL_LOGLEVEL_FATAL}};

// Says why the server does not start; null.
pappl_system_t* Refuse(const std::string& message) {
  std::fprintf(stderr, "tq33-printer-app: %s\n", message.c_str());
  return nullptr;
}

}  // namespace

pappl_system_t* CreateSystem(int optionCount, cups_option_t* options, void* data) {
  auto* application = static_cast<Application*>(data);
  for (int i = 0; i < optionCount; ++i) {
    const bool known = std::any_of(std::begin(kServerOptions), std::end(kServerOptions),
                                   [&](const char* name) { return std::strcmp(name, options[i].name) == 0; });
    if (!known) return Refuse(std::string("unknown server option '") + options[i].name + "'");
  }
  const auto option = [&](const char* name) { return cupsGetOption(name, optionCount, options); };

  int port = 0;
  if (const char* value = option("server-port")) {
    char* end = nullptr;
    const long number = std::strtol(value, &end, 10);
    if (*value == '\0' || *end != '\0' || number < 0 || number > kMaxPort)
      return Refuse(std::string("bad server-port '") + value + "': a number from 0 to 65535");
    port = static_cast<int>(number);
  }
  pappl_loglevel_t level = PAPPL_LOGLEVEL_INFO;
  if (const char* value = option("log-level")) {
    const auto* found = std::find_if(std::begin(kLogLevels), std::end(kLogLevels),
                                     [&](const auto& entry) { return std::strcmp(entry.first, value) == 0; });
    if (found == std::end(kLogLevels))
      return Refuse(std::string("bad log-level '") + value + "': debug, info, warn, error or fatal");
    level = found->second;
  }

  const char* install = option("tq33-install");
  std::string why;
  application->model = PrinterModel::Create(install ? install : "", &why);
  if (!application->model) return Refuse("cannot use the printer installation: " + why);

  pappl_system_t* system =
      papplSystemCreate(kSystemOptions, kSystemName, port, nullptr, option("spool-directory"),
                        option("log-file"), level, option("auth-service"), false);
  if (!system) return Refuse("cannot create the printer application's system");
  const char* privateServer = option("private-server");
  if (!privateServer || std::strcmp(privateServer, "true") != 0) {
    if (!papplSystemAddListeners(system, option("listen-hostname"))) {
      papplSystemDelete(system);
      return Refuse(std::string("cannot listen on ") +
                    (option("listen-hostname") ? option("listen-hostname") : "the network") +
                    (port ? " port " + std::to_string(port) : std::string()));
    }
  }
  if (const char* host = option("server-hostname")) papplSystemSetHostName(system, host);
  if (const char* group = option("admin-group")) papplSystemSetAdminGroup(system, group);
  papplSystemSetFooterHTML(system, kFooter);
  pappl_version_t version{};
  std::snprintf(version.name, sizeof(version.name), "tq33-printer-app");
  std::snprintf(version.sversion, sizeof(version.sversion), "%s", TQ33_VERSION);
  std::sscanf(TQ33_VERSION, "%hu.%hu.%hu", &version.version[0], &version.version[1], &version.version[2]);
  papplSystemSetVersions(system, 1, &version);

  papplSystemSetPrinterDrivers(system, DriverCount(), Drivers(), Guarded<AutoAdd>, Guarded<PrinterCreated>,
                               Guarded<DriverCallback>, application);
  // Images go to the printer's own format through the filter, before the framework's own
  // image filters, which would scale them.
  papplSystemAddMIMEFilter(system, "image/png", kNativeFormat, Guarded<ImageFilter>, application);
  papplSystemAddMIMEFilter(system, "image/jpeg", kNativeFormat, Guarded<ImageFilter>, application);
  AddFileDevice();
  papplSystemSetEventCallback(system, Guarded<PrinterEvent>, application);
  return system;
}

}  // namespace tq33app
