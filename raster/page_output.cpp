// SPDX-License-Identifier: Apache-2.0
// Page output: what of a finished page stream reaches the spooler, how often, and which
// pages are held back to go out later in front of another page.
//
// A page stream is laid out as JobInfoRecord (0..57), SetupHeader (58..82), compression
// mode (83..84), raster lines from 85, page-end byte last. Plain output sends printer
// commands only (from 58); framed output sends whole streams, each led by its record.
//
// Retained pages form a chain that goes out in front of the next page printed, as one
// frame led by the first page's record. A page retained without XBO_RETAIN_LINES brings
// its own record and header; one retained with it adds only its raster lines, as does the
// printed page that ends the chain.
#include "raster/page_output.h"

#include <cstdint>
#include <cstring>

#include "context/device_context.h"
#include "raster/printer_commands.h"
#include "raster/spool_stream.h"

namespace {

// Limits what a chain holds, so that adding the printed page to it can never wrap a length.
constexpr DWORD kMaxRetainedLength = 0x7FFFFFFF;

}  // namespace

// Bytes the chain sends: the sum of its chunks' counts.
static uint64_t ChainBytes(const RetainedChunk* list) {
  uint64_t total = 0;
  for (; list; list = list->next) total += list->count;
  return total;
}

// Stores total into the total-length field of the record at the start of a chunk's copy,
// provided the copy is long enough to hold that field.
static void StoreTotalLength(RetainedChunk* chunk, DWORD total) {
  const uint64_t copyBytes = static_cast<uint64_t>(chunk->first - chunk->copy) + chunk->count;
  if (copyBytes < offsetof(JobInfoRecord, jiTotalLength) + sizeof(DWORD)) return;
  BYTE* field = chunk->copy + offsetof(JobInfoRecord, jiTotalLength);
  field[0] = static_cast<BYTE>(total);
  field[1] = static_cast<BYTE>(total >> 8);
  field[2] = static_cast<BYTE>(total >> 16);
  field[3] = static_cast<BYTE>(total >> 24);
}

// The last chunk of a list, or null for an empty one.
static RetainedChunk* LastChunk(RetainedChunk* list) {
  while (list && list->next) list = list->next;
  return list;
}

// Appends a copy of stream up to first + count, sending from first. FALSE, with the list
// unchanged, for bad arguments, a count of 0, a size beyond 32 bits or no memory.
BOOL RetainPageChunk(DeviceContext* context, const BYTE* stream, const BYTE* first,
                     DWORD count) {
  if (!context || !stream || !first || count == 0) return FALSE;
  const uintptr_t start = reinterpret_cast<uintptr_t>(stream);
  const uintptr_t from = reinterpret_cast<uintptr_t>(first);
  if (from < start) return FALSE;
  const uint64_t prefix = from - start;
  const uint64_t copyBytes = prefix + count;
  if (copyBytes > 0xFFFFFFFFull - sizeof(RetainedChunk)) return FALSE;

  // The node and its copy share one block, so a chunk is either wholly kept or not at all.
  auto* chunk = static_cast<RetainedChunk*>(
      GlobalAlloc(GMEM_FIXED, sizeof(RetainedChunk) + static_cast<SIZE_T>(copyBytes)));
  if (!chunk) return FALSE;
  chunk->copy = reinterpret_cast<BYTE*>(chunk + 1);
  std::memcpy(chunk->copy, stream, static_cast<size_t>(copyBytes));
  chunk->first = chunk->copy + prefix;
  chunk->count = count;
  chunk->next = nullptr;

  RetainedChunk* last = LastChunk(context->retainedPages);
  if (last) {
    last->next = chunk;
  } else {
    context->retainedPages = chunk;
  }
  return TRUE;
}

// Writes the chain, its first record carrying the chain's length; with shortenLast the last
// chunk goes out without its final byte.
//
// The record gets the bytes the chain really sends. That is retainedLength whenever one
// chain was retained; when a page without XBO_RETAIN_LINES started over behind a chain
// that never went out, retainedLength counts only the newer pages, while the frame that
// the record leads holds both (the newer chain's own record travels inside it).
static void SendChain(DeviceContext* context, BOOL shortenLast) {
  if (!context || !context->retainedPages) return;
  StoreTotalLength(context->retainedPages, static_cast<DWORD>(ChainBytes(context->retainedPages)));
  for (RetainedChunk* chunk = context->retainedPages; chunk; chunk = chunk->next) {
    DWORD count = chunk->count;
    if (shortenLast && !chunk->next && count > 0) --count;
    // A failed write latches the stream; the later writes then do nothing.
    SpoolWrite(context, chunk->first, count);
  }
}

// Writes the retained chain; write failures are latched by the spool stream.
void SendRetainedPages(DeviceContext* context) { SendChain(context, FALSE); }

// Writes the retained chain without its very last byte, the page end that job control
// writes or replaces.
void SendRetainedPagesLast(DeviceContext* context) { SendChain(context, TRUE); }

// Frees every retained chunk and forgets the retained length. Cannot fail.
void ClearRetainedPages(DeviceContext* context) {
  if (!context) return;
  RetainedChunk* chunk = context->retainedPages;
  while (chunk) {
    RetainedChunk* next = chunk->next;
    GlobalFree(chunk);
    chunk = next;
  }
  context->retainedPages = nullptr;
  context->retainedLength = 0;
}

// Holds the page back instead of writing it. FALSE, with the list, the length and the
// stream as they were, when it cannot be kept.
static BOOL RetainPage(DeviceContext* context, BYTE* stream, DWORD len, BOOL framed,
                       BOOL pending) {
  const DWORD options = context->settings.priv.xbOptions;
  const BYTE pageEnd = stream[len - 1];
  stream[len - 1] = kCmdRetainedPageEnd;

  // Lines only make sense behind a chain that has a header; with no chain open the page
  // opens one itself, or its lines would go out with no header in front of them.
  const BOOL linesOnly = (options & XBO_RETAIN_LINES) && pending;
  const DWORD from = linesOnly ? kPageStreamLinesStart : framed ? 0 : JOB_INFO_RECORD_SIZE;
  if (ChainBytes(context->retainedPages) + (len - from) > kMaxRetainedLength ||
      !RetainPageChunk(context, stream, stream + from, len - from)) {
    stream[len - 1] = pageEnd;
    return FALSE;
  }
  if (linesOnly) {
    context->retainedLength += len - from;
  } else {
    context->retainedLength = len;
  }
  context->lastPageEnd = kCmdRetainedPageEnd;
  return TRUE;
}

// Writes the page (plain or framed, with its copies and any retained chain in front) or
// retains it. FALSE, with nothing written or retained, for an unusable stream or a page
// to be retained that cannot be kept; FALSE also when output has failed, a write of this
// page included (the spool stream latches it), since the page did not reach the spooler.
BOOL EmitPageStream(DeviceContext* context, BYTE* stream, DWORD len) {
  if (!context || !stream || len <= kPageStreamLinesStart) return FALSE;
  const PrivateSettings& priv = context->settings.priv;
  const BOOL framed = priv.privUseMonitor != 0;
  const BOOL pending = context->retainedPages != nullptr;

  if (priv.xbOptions & XBO_RETAIN) return RetainPage(context, stream, len, framed, pending);

  // The printed page joins the chain from its raster lines on. It is linked in place for
  // the writes, not copied: the stream stays the caller's and no page-sized block is made.
  RetainedChunk pageChunk = {stream, stream + kPageStreamLinesStart,
                             len - kPageStreamLinesStart, nullptr};
  RetainedChunk* last = nullptr;
  if (pending) {
    if (ChainBytes(context->retainedPages) + pageChunk.count > 0xFFFFFFFFu) return FALSE;
    context->retainedLength += pageChunk.count;
    last = LastChunk(context->retainedPages);
    last->next = &pageChunk;
  }
  context->lastPageEnd = kCmdPageEnd;

  if (framed) {
    // The copy count travels in the record; the page goes out once.
    if (pending) {
      SendRetainedPages(context);
    } else {
      SpoolWrite(context, stream, len);
    }
  } else {
    if (context->pageCount == 1)
      SpoolWrite(context, kInitialiseCommand, sizeof(kInitialiseCommand));
    // The last copy leaves its page-end byte to job control: 0C when another page
    // starts, replaced by the document end otherwise.
    const LONG copies = context->settings.dm.dmCopies > 0 ? context->settings.dm.dmCopies : 1;
    for (LONG copy = 1; copy <= copies; ++copy) {
      const BOOL lastCopy = copy == copies;
      if (pending) {
        SendChain(context, lastCopy);
      } else {
        SpoolWrite(context, stream + JOB_INFO_RECORD_SIZE,
                   len - JOB_INFO_RECORD_SIZE - (lastCopy ? 1 : 0));
      }
    }
  }

  if (pending) {
    last->next = nullptr;
    ClearRetainedPages(context);
  }
  return (context->jobFlags & JF_OUTPUT_FAILED) ? FALSE : TRUE;
}
