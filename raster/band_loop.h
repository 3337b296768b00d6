// SPDX-License-Identifier: Apache-2.0
// Gathering the bands of a banded page into the whole-page image.
#pragma once

#include "platform/platform.h"

// Copies a finished band of extent rows or columns into the page image and converts the
// page after the last band.
BOOL CopyBandToPage(SURFOBJ* surface, DWORD extent);

// The DDI table's entry for the bands after the first (DrvStartBanding, which starts the
// page, is page control's): takes the finished band and gives the next band's origin.
BOOL APIENTRY DrvNextBand(SURFOBJ* surface, POINTL* origin);
