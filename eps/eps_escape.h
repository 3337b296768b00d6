// SPDX-License-Identifier: Apache-2.0
// The encapsulated-PostScript drawing escape.
#pragma once

#include "platform/platform.h"

#define EPS_HEADER_SIZE 32

#pragma pack(push, 1)
// The head of the escape's input; the PostScript text follows.
struct EpsInput {
  DWORD epsTotalSize;    // bytes of the whole input, this header included
  DWORD epsVersion;      // not checked
  POINTFIX epsCorners[3];  // target parallelogram, 28.4 device coordinates; not checked
};
#pragma pack(pop)
static_assert(sizeof(EpsInput) == EPS_HEADER_SIZE);

// TRUE when the text holds a well-formed "%%BoundingBox:" line with at least one byte of
// data after its fourth number. Reads nothing beyond the smaller of the input's own total
// size and available.
BOOL FindBoundingBox(const BYTE* input, DWORD available);

// The drawing-escape entry of the DDI table.
ULONG APIENTRY DrvDrawEscape(SURFOBJ* surface, ULONG escape, CLIPOBJ* clip, RECTL* bounds,
                             ULONG inputSize, PVOID input);
