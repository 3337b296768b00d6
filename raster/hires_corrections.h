// SPDX-License-Identifier: Apache-2.0
// The corrections of 720-dpi feed resolution: a tone table, the merge along the head and
// the thinning of odd raster lines.
#pragma once

#include "platform/platform.h"

struct DeviceContext;

// The grey level of every level at 720 dpi with error diffusion: the page conversion folds
// it into the page's other level changes.
extern const BYTE HiResToneTable[256];

// Merges the image 2:1 along the head axis in place. FALSE only when the landscape
// selector array cannot be allocated.
BOOL HeadAxisMerge(DeviceContext* context, SURFOBJ* surface);

// Thins the uncompressed raster region stream[start, end) in place.
void ThinOddLines(DeviceContext* context, BYTE* stream, DWORD start, DWORD end);
