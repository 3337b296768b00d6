// SPDX-License-Identifier: Apache-2.0
// The driver's output to the spooler.
#pragma once

#include "platform/platform.h"

struct DeviceContext;

// Writes bytes straight to the spooler. TRUE when all were accepted; a refusal or short
// write latches the failure for the rest of the document.
BOOL SpoolWrite(DeviceContext* context, const BYTE* bytes, DWORD length);

// Empties the staging buffer state; does not clear the failure latch.
void SpoolReset(DeviceContext* context);

// Writes the staged bytes of spoolBuffer, if any.
BOOL SpoolFlush(DeviceContext* context);

// The end-of-job operation: flush, ESC 'e', reset.
void SpoolEndOfJob(DeviceContext* context);
