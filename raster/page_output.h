// SPDX-License-Identifier: Apache-2.0
// Page output: plain or framed, copies, and retained pages.
#pragma once

#include "platform/platform.h"

struct DeviceContext;

// Writes or retains a finished page stream of len bytes; the buffer stays the caller's.
// FALSE, with nothing written or retained, when the stream is unusable or a page to be
// retained cannot be kept (no memory, or the retained total would overflow).
BOOL EmitPageStream(DeviceContext* context, BYTE* stream, DWORD len);

// Appends a copy of stream[0, first - stream + count) to the retained list. FALSE, with
// nothing appended, for a count of 0, a first byte before the stream, or no memory.
BOOL RetainPageChunk(DeviceContext* context, const BYTE* stream, const BYTE* first, DWORD count);

// Writes every retained chunk, the first one's record carrying retainedLength.
void SendRetainedPages(DeviceContext* context);

// The same, with the last chunk one byte shorter.
void SendRetainedPagesLast(DeviceContext* context);

// Releases every retained chunk.
void ClearRetainedPages(DeviceContext* context);
