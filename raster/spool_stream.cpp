// SPDX-License-Identifier: Apache-2.0
// The spool stream: the one road by which page bytes reach the spooler. A write that the
// spooler refuses or takes only in part latches the failure for the rest of its document
// (page control ends the latch with the document), so that a job never goes on with a
// hole in its printer stream.
#include "raster/spool_stream.h"

#include "context/device_context.h"
#include "raster/printer_commands.h"

// Marks the stream and the context as failed; only the end of the document clears
// JF_OUTPUT_FAILED again.
static void LatchFailure(DeviceContext* context) {
  context->jobFlags |= JF_OUTPUT_FAILED;
  context->spoolFailed = 1;
}

// Hands length bytes to WritePrinter. TRUE only when the spooler took every one of them.
static BOOL WriteAll(DeviceContext* context, const BYTE* bytes, DWORD length) {
  DWORD written = 0;
  BOOL accepted = WritePrinter(context->printer, const_cast<BYTE*>(bytes), length, &written);
  return accepted && written == length;
}

// Writes bytes straight to the spooler. FALSE without writing when the latch is set or the
// bytes are missing; FALSE, latching, when the spooler refuses or takes fewer bytes.
BOOL SpoolWrite(DeviceContext* context, const BYTE* bytes, DWORD length) {
  if (!context) return FALSE;
  if (context->jobFlags & JF_OUTPUT_FAILED) return FALSE;
  if (length == 0) return TRUE;
  if (!bytes) return FALSE;
  if (WriteAll(context, bytes, length)) return TRUE;
  // No retry and no resend of the rest: what the spooler accepted stays written.
  LatchFailure(context);
  return FALSE;
}

// Empties the staging state. The context-wide latch stays as it is.
void SpoolReset(DeviceContext* context) {
  if (!context) return;
  context->spoolCount = 0;
  context->spoolFailed = 0;
}

// Writes the bytes staged in spoolBuffer. FALSE when the stream has failed before or the
// write fails (which latches); TRUE when nothing is staged or everything went out.
BOOL SpoolFlush(DeviceContext* context) {
  if (!context) return FALSE;
  if ((context->jobFlags & JF_OUTPUT_FAILED) || context->spoolFailed) return FALSE;
  if (context->spoolCount == 0) return TRUE;
  // A count beyond the buffer can only come from a damaged context: refuse rather than
  // send bytes from outside the buffer.
  if (context->spoolCount > kSpoolBufferSize) {
    LatchFailure(context);
    return FALSE;
  }
  if (!WriteAll(context, context->spoolBuffer, context->spoolCount)) {
    LatchFailure(context);
    return FALSE;
  }
  context->spoolCount = 0;
  return TRUE;
}

// Ends a job on the stream: flushes what is staged, sends ESC 'e' past the latch (its
// result is of no use to anyone), and resets the staging state.
void SpoolEndOfJob(DeviceContext* context) {
  if (!context) return;
  SpoolFlush(context);
  DWORD written = 0;
  WritePrinter(context->printer, const_cast<BYTE*>(kEndOfJobCommand), sizeof(kEndOfJobCommand),
               &written);
  SpoolReset(context);
}
