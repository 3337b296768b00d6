// SPDX-License-Identifier: Apache-2.0
// The printer application's system: made by the framework's main loop for the `server`
// subcommand from its -o options, with the installation's model, the driver, the image
// filters, the file device and the web interface's words for the printer's own settings.
//
// Server options: server-port=N (0 or none: the framework picks), listen-hostname=ADDR
// (the addresses to listen on; none: all), server-hostname=NAME, log-file=FILE ("-" for
// standard error, "syslog"), log-level=debug|info|warn|error|fatal,
// spool-directory=DIR, admin-group=GROUP, auth-service=PAM-SERVICE, private-server=true
// (only the local socket), and tq33-install=DIR: the printer installation (a Windows
// root laid out as DIR/C/TQ33/drivers, or that driver directory) instead of the one
// built into the program. The state and the local socket are the framework's: under
// $HOME and $TMPDIR for a user, /var/lib and /run for root.
#pragma once

#include <pappl/pappl.h>

namespace tq33app {

// The framework's system callback; data is the Application. Null, with the reason on
// standard error, for a bad option or an installation the driver refuses.
pappl_system_t* CreateSystem(int optionCount, cups_option_t* options, void* data);

}  // namespace tq33app
