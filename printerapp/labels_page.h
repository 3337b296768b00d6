// SPDX-License-Identifier: Apache-2.0
// The printer's Labels page in the framework's web interface (/PRINTER/labels, linked from
// the printer's status): the medium loaded and every medium by its name, with its size,
// printable area and media type, and the printer's own settings; a form loads a medium
// and sets the settings' defaults. The framework's own Media page names media by their
// sizes alone, and its words for attributes cannot be extended without its duplicating
// printer-strings-languages-supported in every later response.
#pragma once

#include <pappl/pappl.h>

#include "printerapp/printer_model.h"

namespace tq33app {

// Adds the page and its link for the printer.
void AddLabelsPage(pappl_printer_t* printer, Application* application);

}  // namespace tq33app
