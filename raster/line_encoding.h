// SPDX-License-Identifier: Apache-2.0
// PackBits encoding of a page's raster lines.
#pragma once

#include "platform/platform.h"

struct DeviceContext;

// Rewrites the region stream[start, length) with every raster line packed to decode to 48
// bytes, "M" 02 in front. Returns the new stream length, or 0 (buffer unchanged) when the
// arguments are bad, memory runs out, a raster command is malformed or longer than 48
// bytes, or the result would not fit capacity. The lines are packed into spare, memory the
// caller no longer needs (apart from the stream), when it holds them (2 + 2 * the region's
// length and some slack); otherwise into memory of the context's heap.
DWORD PackRasterLines(DeviceContext* context, BYTE* stream, DWORD start, DWORD length,
                      DWORD capacity, BYTE* spare = nullptr, SIZE_T spareBytes = 0);
