// Error diffusion with the Jarvis, Judice and Ninke filter, in gather form.
#pragma once

#include "platform/platform.h"

struct DeviceContext;

// Allocates the three zeroed error lines of lineLength values and sets rowCount to 3.
// FALSE, with rowCount 0 and no lines, when memory runs out.
BOOL InitDiffusion(DeviceContext* context, DWORD lineLength);

// Releases the error lines.
void FreeDiffusion(DeviceContext* context);

// Diffuses count input bytes (255 = black) into count dots, packed most significant bit
// first into output. Writes nothing before InitDiffusion or when count exceeds the line
// length.
void DiffuseLine(DeviceContext* context, const BYTE* input, BYTE* output, DWORD count);
