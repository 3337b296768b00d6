// Page output: plain or framed, copies, and retained pages.
#pragma once

#include "platform/platform.h"

struct DeviceContext;

// Writes or retains a finished page stream of len bytes; the buffer stays the caller's.
void EmitPageStream(DeviceContext* context, BYTE* stream, DWORD len);

// Appends a copy of stream[0, first - stream + count) to the retained list.
void RetainPageChunk(DeviceContext* context, const BYTE* stream, const BYTE* first, DWORD count);

// Writes every retained chunk, the first one's record carrying retainedLength.
void SendRetainedPages(DeviceContext* context);

// The same, with the last chunk one byte shorter.
void SendRetainedPagesLast(DeviceContext* context);

// Releases every retained chunk.
void ClearRetainedPages(DeviceContext* context);
