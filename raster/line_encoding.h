// SPDX-License-Identifier: Apache-2.0
// PackBits encoding of a page's raster lines.
#pragma once

#include "platform/platform.h"

struct DeviceContext;

// Rewrites the region stream[start, length) with every raster line packed to decode to 48
// bytes, "M" 02 in front. Returns the new stream length, or 0 (buffer unchanged) when the
// arguments are bad, memory runs out, a raster command is malformed or longer than 48
// bytes, or the result would not fit capacity.
DWORD PackRasterLines(DeviceContext* context, BYTE* stream, DWORD start, DWORD length,
                      DWORD capacity);

// Packs one line of count (1..48) bytes with PackBits into output (room for 96 bytes);
// returns the packed length.
DWORD PackLine(const BYTE* line, DWORD count, BYTE* output);
