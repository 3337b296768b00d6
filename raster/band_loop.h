// Gathering the bands of a banded page into the whole-page image.
#pragma once

#include "platform/platform.h"

// Copies a finished band of extent rows or columns into the page image and converts the
// page after the last band.
BOOL CopyBandToPage(SURFOBJ* surface, DWORD extent);
