// SPDX-License-Identifier: Apache-2.0
// The printer driver the framework knows: its name, and the callback that fills a new
// printer's driver data from the installation's model (media, resolutions, defaults, the
// printer's own settings as vendor attributes) and hooks the job callbacks in.
#pragma once

#include <pappl/pappl.h>

#include "printerapp/printer_model.h"

namespace tq33app {

inline constexpr char kDriverName[] = "tq33";
// The printer's own command stream, which a client may also send as it is.
inline constexpr char kNativeFormat[] = "application/vnd.tolvane-tq33";
// The media source: the tape cassette.
inline constexpr char kMediaSource[] = "main-roll";

// The printer's own settings, as vendor attributes (NAME-default, NAME-supported, and NAME
// in jobs), each a boolean.
inline constexpr char kAutoCutAttribute[] = "tq33-auto-cut";
inline constexpr char kHalfCutAttribute[] = "tq33-half-cut";
inline constexpr char kChainPrintAttribute[] = "tq33-chain-print";
inline constexpr char kMirrorAttribute[] = "tq33-mirror";

// The drivers of the application: one.
int DriverCount();
pappl_pr_driver_t* Drivers();

// The framework's driver callback; data is the Application.
bool DriverCallback(pappl_system_t* system, const char* driverName, const char* deviceUri,
                    const char* deviceId, pappl_pr_driver_data_t* driverData, ipp_t** driverAttributes,
                    void* data);

// A medium as the framework's media collection: its size and name, the tape cassette, its
// type, and the margins the framework gives every medium.
pappl_media_col_t MediaCol(const PrinterModel& model, const IppMedium& medium);

// Loads a medium: the printer's ready medium, and its default too, so that a client that
// sends the default medium prints on what is loaded. FALSE when the framework refuses it.
bool LoadMedium(pappl_printer_t* printer, const PrinterModel& model, const IppMedium& medium);

// The printer's own settings' defaults, as vendor options ("true" or "false"); the caller
// frees them with cupsFreeOptions.
int VendorDefaults(pappl_printer_t* printer, cups_option_t** options);

// The framework's printer callback, for a printer made or loaded: the tape cassette as its
// supply, and its Labels page.
void PrinterCreated(pappl_printer_t* printer, void* data);

// The framework's event callback: when the loaded medium changes (in the web interface's
// Media page, or media-col-ready set by IPP), the default medium follows it.
void PrinterEvent(pappl_system_t* system, pappl_printer_t* printer, pappl_job_t* job,
                  pappl_event_t event, void* data);

// The driver for a device the framework finds (a USB printer), by its IEEE 1284 device ID:
// the TQ-33's, or null.
const char* AutoAdd(const char* deviceInfo, const char* deviceUri, const char* deviceId, void* data);

}  // namespace tq33app
