// SPDX-License-Identifier: Apache-2.0
// The drawing surface and its band layout.
#pragma once

#include "platform/platform.h"

struct DeviceContext;

// The page size in dots for the media index (from privMediaBase) and definition index.
// FALSE when the record or a resolution it needs is unusable.
BOOL ComputePageExtent(const DeviceContext* context, LONG mediaIndex, LONG definitionIndex,
                       LONG* cx, LONG* cy);
