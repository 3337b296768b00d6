// SPDX-License-Identifier: Apache-2.0
// Error diffusion with the Jarvis, Judice and Ninke filter, in gather form.
#pragma once

#include "platform/platform.h"

struct DeviceContext;

// Allocates the three zeroed error lines of lineLength values and sets rowCount to 3, and
// the room to diffuse several lines at once (without it, lines are diffused one by one).
// FALSE, with rowCount 0 and no lines, when memory runs out for the error lines.
BOOL InitDiffusion(DeviceContext* context, DWORD lineLength);

// Releases the error lines and the room.
void FreeDiffusion(DeviceContext* context);

// Diffuses count input bytes (255 = black) into count dots, packed most significant bit
// first into output. Writes nothing before InitDiffusion or when count exceeds the line
// length.
void DiffuseLine(DeviceContext* context, const BYTE* input, BYTE* output, DWORD count);

// Diffuses lineCount lines of count input bytes each, one after another: the same dots and
// the same state as lineCount calls of DiffuseLine. Line j is read from input + j *
// inputStride and its dots written to output + j * outputStride. Writes nothing where
// DiffuseLine would write nothing.
void DiffuseLines(DeviceContext* context, const BYTE* input, SIZE_T inputStride, BYTE* output,
                  SIZE_T outputStride, DWORD count, DWORD lineCount);

// TRUE when every one of count levels is 0 or 255, full black or white.
bool OnlyFullLevels(const BYTE* levels, DWORD count);

// Takes lineCount lines of count levels, every one of them full, as DiffuseLines would but
// without writing their dots (their levels' top bits): TRUE, with the state moved on as the
// filter moves it, when the two lines before them left no error. FALSE, with the state as
// it was, when they did, and without error lines of at least count values.
BOOL PassFullLines(DeviceContext* context, DWORD count, DWORD lineCount);
