// SPDX-License-Identifier: Apache-2.0
// The conversion of one rendered page into its printer stream.
#pragma once

#include "platform/platform.h"

extern const BYTE kOrderedMatrix[16];
extern const BYTE kFlatMatrix[16];

// Builds the 256-entry tone table for a contrast value.
void BuildToneTable(signed char contrast, BYTE table[256]);

// Converts the page image of the surface into printer commands and hands them to the page
// output. TRUE when the page was written or retained.
BOOL ConvertPage(SURFOBJ* surface);
