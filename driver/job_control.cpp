// SPDX-License-Identifier: Apache-2.0
// Job and page control: the document and page brackets of the engine, the page count, the
// job flags, and the separator bytes of plain output.
//
// The page output leaves the final 0C of every page unwritten (it does not know whether
// another page follows); page control writes it when the next page starts, or ends the
// document with 1A instead.
//
// A page is converted once: on a single bitmap by DrvSendPage, on a banded surface by the
// band loop after the page's last band, which records the result in bandedPage. DrvSendPage
// then closes such a page with that result; when the engine sends no DrvSendPage after the
// bands, the next DrvStartPage finds the converted page still open and closes it itself,
// so that the new page is counted, separated and painted white all the same. A banded page
// the engine never started is started by DrvStartBanding through DrvStartPage, since the
// band loop writes it before any DrvSendPage could count it.
#include <cstring>

#include "context/device_context.h"
#include "driver/ddi.h"
#include "raster/page_conversion.h"
#include "raster/page_output.h"
#include "raster/printer_commands.h"
#include "raster/spool_stream.h"

namespace {

constexpr BYTE kWhite = 0xFF;

// Plain output: printer commands only, separated by page control.
bool PlainOutput(const DeviceContext* context) {
  return context->settings.priv.privUseMonitor == 0;
}

// Counts a new page, first writing the 0C held back from the page before it (plain output
// only; never before the first page of a document). FALSE, with the page not counted and
// the stream latched, when that byte cannot be written: the new page would otherwise run
// on from the last one's lines as if it were part of it.
BOOL CountNewPage(DeviceContext* context) {
  if (context->pageCount != 0 && PlainOutput(context) && context->lastPageEnd == kCmdPageEnd &&
      !SpoolWrite(context, &kCmdPageEnd, 1))
    return FALSE;
  context->pageCount += 1;
  return TRUE;
}

}  // namespace

// Opens a document; a document carried over from an older context keeps its page count
// and its failure latch, a new one starts with neither. FALSE only for an invalid context
// (last error 87).
BOOL APIENTRY DrvStartDoc(SURFOBJ* surface, LPWSTR documentName, DWORD jobId) {
  (void)documentName;
  (void)jobId;
  DeviceContext* context = ContextOfSurface(surface, true);
  if (!context) return FALSE;
  context->jobFlags |= JF_IN_DOCUMENT;
  if (context->jobFlags & JF_RESET_CARRIED) return TRUE;
  context->pageCount = 0;
  context->jobFlags &= ~(JF_PAGE_OPEN | JF_OUTPUT_FAILED);
  context->bandedPage = kBandedPageNone;
  return TRUE;
}

// Starts a page: writes the 0C held back from the previous page (plain output), counts
// the page and paints the surface white. FALSE once output has failed, or for an invalid
// context (last error 87).
BOOL APIENTRY DrvStartPage(SURFOBJ* surface) {
  DeviceContext* context = ContextOfSurface(surface, true);
  if (!context) return FALSE;
  if (context->jobFlags & JF_OUTPUT_FAILED) return FALSE;
  if (context->jobFlags & JF_PAGE_OPEN) {
    // A page still open is the one being drawn, unless the band loop has converted it and
    // the engine sent no DrvSendPage: then it is finished, and this is the next page.
    if (context->bandedPage == kBandedPageNone) return TRUE;
    context->jobFlags &= ~JF_PAGE_OPEN;
    context->bandedPage = kBandedPageNone;
  }

  if (!CountNewPage(context)) return FALSE;
  context->jobFlags |= JF_PAGE_OPEN;
  context->jobFlags &= ~JF_RESET_CARRIED;
  if (surface->pvBits) std::memset(surface->pvBits, kWhite, surface->cjBits);
  return TRUE;
}

// Prepares the first band of a page: origin (0, 0) and a white band bitmap. A page the
// engine did not start is started here, as DrvStartPage would: the band loop converts and
// writes it before any DrvSendPage could, so it must be counted and separated from the
// page before it first. FALSE when the job was aborted, when such a page cannot be started
// (output has failed), or for a missing surface or invalid context (last error 87).
BOOL APIENTRY DrvStartBanding(SURFOBJ* surface, POINTL* origin) {
  DeviceContext* context = ContextOfSurface(surface, true);
  if (!context || !origin) return FALSE;
  if (EngCheckAbort(surface)) return FALSE;
  // A page already open and not yet converted is the one these bands draw: nothing to do.
  if (!DrvStartPage(surface)) return FALSE;
  *origin = {0, 0};
  context->bandIndex = 0;
  context->bandedPage = kBandedPageNone;
  if (surface->pvBits) std::memset(surface->pvBits, kWhite, surface->cjBits);
  return TRUE;
}

// Ends a page: converts the rendered page and hands it to the page output, or, on a banded
// surface, takes the band loop's conversion of it. FALSE when the page was not produced
// (the page stays open), or for an invalid context (last error 87).
BOOL APIENTRY DrvSendPage(SURFOBJ* surface) {
  DeviceContext* context = ContextOfSurface(surface, true);
  if (!context) return FALSE;
  // The engine sends a page it did not start: it is counted, and separated from the page
  // before it as if it had been (unless the band loop has sent it already).
  if ((context->jobFlags & JF_PAGE_OPEN) == 0) {
    if (context->bandedPage == kBandedPageNone) {
      if (!CountNewPage(context)) return FALSE;
    } else {
      context->pageCount += 1;
    }
  }

  BOOL sent;
  if (context->bandedPage != kBandedPageNone) {
    sent = context->bandedPage == kBandedPageConverted;
    context->bandedPage = kBandedPageNone;
  } else if (context->surfaceFlags & SF_BANDING) {
    // The surface holds one band, not the page: no last band came, so there is no page.
    sent = FALSE;
  } else {
    sent = ConvertPage(surface);
  }
  if (!sent) return FALSE;
  context->jobFlags &= ~JF_PAGE_OPEN;
  return TRUE;
}

// Ends a document: writes 1A (plain output), releases retained pages that never went out
// and closes the document, whose failure latch ends with it. The flags are not examined:
// an aborted document ends the same. Nothing follows a failed write, not even the 1A: the
// printer is not told that a document with a hole in it is whole. FALSE for an invalid
// context (last error 87), and when the document's output failed, the 1A included (the
// document is closed all the same).
BOOL APIENTRY DrvEndDoc(SURFOBJ* surface, FLONG flags) {
  (void)flags;
  DeviceContext* context = ContextOfSurface(surface, true);
  if (!context) return FALSE;
  // Staged page bytes belong in front of the document end.
  if (context->surfaceFlags & SF_END_OF_JOB) SpoolEndOfJob(context);
  const BOOL ended = (context->jobFlags & JF_OUTPUT_FAILED) == 0 &&
                     (!PlainOutput(context) || SpoolWrite(context, &kCmdDocumentEnd, 1));
  // Pages held back for a page that never came must not go out with another document.
  ClearRetainedPages(context);
  context->retainedLength = 0;
  context->jobFlags &= ~(JF_RESET_CARRIED | JF_IN_DOCUMENT | JF_OUTPUT_FAILED);
  return ended;
}
