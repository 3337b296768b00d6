// SPDX-License-Identifier: Apache-2.0
// The device context's lifecycle: DrvEnablePDEV builds a context for a printer and a job's
// settings (driver/context_lifecycle.cpp), DrvResetPDEV carries a document over to a new
// one, DrvDisablePDEV releases it.
#pragma once

#include "context/device_context.h"
#include "platform/platform.h"

// Sets the signatures and the job state, reads the printer data record, builds the default
// settings and merges the application's device mode into them. FALSE when the context
// cannot be set up.
BOOL InitDeviceContext(DeviceContext* context, const DEVMODEW* applicationSettings,
                       LPCWSTR deviceName);

// Fills the engine's DEVINFO (at most its given size) and creates the default gray
// palette. FALSE, with the engine's record untouched, when the palette cannot be made.
BOOL FillDeviceInfo(DeviceContext* context, ULONG deviceInfoSize, DEVINFO* deviceInfo);

// Frees everything the context owns, itself included. Nothing may touch it afterwards.
void ReleaseDeviceContext(DeviceContext* context);
