// SPDX-License-Identifier: Apache-2.0
// The device capability table handed to the graphics engine.
#pragma once

#include "platform/platform.h"

#define GDIINFO_SIZE 304

struct DeviceContext;

// Fills the engine's GDIINFO, at most gdiInfoSize bytes of it (never more than 304), and
// sets up the context's SideRecord. Writes nothing when the context has no MediaTable.
void FillGdiInfo(DeviceContext* context, ULONG gdiInfoSize, GDIINFO* gdiInfo);

// The halftone pattern size index for a resolution in dots per inch.
ULONG PickHalftonePatternSize(ULONG resolution);
