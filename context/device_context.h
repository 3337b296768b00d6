// SPDX-License-Identifier: Apache-2.0
// The driver's per-printer-context record (the engine's PDEV), and how a context is found
// behind the engine's handles. driver/context_lifecycle.h builds and releases it.
#pragma once

#include "context/model_data.h"
#include "context/settings_record.h"
#include "platform/platform.h"

struct MediaDefinition;    // device/media_definitions.h
struct PrinterDataRecord;  // device/printer_data.h

inline constexpr DWORD kDeviceContextSignature = 0x50534444u;  // the bytes "DDSP"
inline constexpr DWORD kSpoolBufferSize = 8192;
inline constexpr SIZE_T kContextHeapInitialSize = 8192;

// jobFlags
#define JF_IN_DOCUMENT 0x4        // a document is open
#define JF_OUTPUT_FAILED 0x8      // a spooler write failed; sticky for the rest of the document
#define JF_PAGE_OPEN 0x8000       // a page is open
#define JF_RESET_CARRIED 0x100000 // the document began on an older context

// surfaceFlags
#define SF_END_OF_JOB 0x01        // run the spool stream's end-of-job operation at DrvEndDoc
#define SF_BANDING 0x10           // the surface is banded

// bandedPage: what the band loop did with the open page of a banded surface. None: no
// conversion since the page's bands began. Converted: converted after its last band and
// handed to the page output. Failed: its last band came but the page could not be converted.
inline constexpr DWORD kBandedPageNone = 0;
inline constexpr DWORD kBandedPageConverted = 1;
inline constexpr DWORD kBandedPageFailed = 2;

// State of the error diffusion: three error lines used in rotation.
struct LineBufferRecord {
  WORD rowCount;       // 3 once InitDiffusion has run, 0 before
  LONG* rows[3];       // three error lines of lineLength values each (heap)
  WORD rotation;       // which error line is the oldest: 0, 1 or 2
  DWORD lineLength;    // values per error line: the page extent along the feed axis
  BYTE* work;          // room to diffuse several lines at once (heap), or null
};

// Engine-side state kept with the context; set up by FillGdiInfo and the surface.
struct SideRecord {
  BYTE srFlag;
  BYTE srDepth;
  BYTE srMode;
  BYTE srUnit;
  DWORD srCounter;
  BYTE* srBuffer;      // kSideRecordBufferSize zeroed heap bytes while srMode is 2
  BYTE srMark;
  COLORADJUSTMENT srColorAdjustment;
};

inline constexpr BYTE kSideModeBuffered = 2;  // srMode that carries srBuffer
inline constexpr SIZE_T kSideRecordBufferSize = 1024;
inline constexpr BYTE kSideMarkInitial = 0xFF;

// One retained piece of a page stream (global memory).
struct RetainedChunk {
  BYTE* copy;             // copy of the page stream from its start to the end of the piece
  BYTE* first;            // first byte to send, inside copy
  DWORD count;            // bytes to send
  RetainedChunk* next;
};

struct DeviceContext {
  DWORD signatureHead;             // kDeviceContextSignature
  SettingsRecord settings;         // the job's effective settings
  SettingsRecord defaultSettings;  // the defaults before the merge; its dmPaperSize is the
                                   // fallback paper size of the media lookup
  PrinterDataRecord* printerData;  // global memory
  HMODULE selfModule;              // the driver's own library, kept loaded while we live
  HANDLE heap;                     // the context's private heap
  HGLOBAL pageBuffers[4];          // [0]: the whole-page image while banding
  DWORD pageStride;                // bytes per row of the whole-page image
  DWORD bandCount;                 // bands per page, 1..16
  DWORD bandExtent;                // rows (portrait) or columns (landscape) per band
  DWORD crossExtent;               // page extent across the bands
  DWORD lastBandExtent;            // extent of the last band
  DWORD bandIndex;                 // band being drawn
  DWORD bandAxisExtent;            // page extent along the band axis
  DWORD bandedPage;                // kBandedPage...: set by the band loop, consumed by page control
  DWORD surfaceFlags;              // SF_...
  BYTE* workBuffer;                // error diffusion work line (heap), tone mode 3 only
  HANDLE printer;                  // the printer handle all spooler calls use
  LONG scaledResolution;           // dmPrintQuality * dmScale / 100
  HDEV engineDevice;               // from DrvCompletePDEV
  HSURF surface;                   // the drawing surface
  HPALETTE palette;                // the default palette given to the engine
  ModelData modelData;             // model record, media list, MediaTable, media count
  LineBufferRecord* lineBuffers;   // error diffusion state (heap)
  MediaDefinition* mediaDefinitions;  // block of up to 23 definitions (global memory)
  DWORD mediaDefinitionCount;      // definitions read from the media definition file
  DWORD jobFlags;                  // JF_...
  DWORD fontSlotCount;             // max(1, printer free memory / the memory of a slot)
  DWORD pageCount;                 // pages started in the current document
  HGLOBAL printerDataExtra;        // "TTFontSubTable" block (global memory), may be null
  BYTE* fontSlots;                 // fontSlotCount zeroed entries (heap); unused
  SideRecord* sideRecord;          // heap
  DWORD spoolCount;                // bytes staged in spoolBuffer
  DWORD spoolFailed;               // 1 once a write failed since the last SpoolReset
  BYTE spoolBuffer[kSpoolBufferSize];
  BYTE lastPageEnd;                // 0x0C or 0x0B: the byte that ended the last page; 0 before
  RetainedChunk* retainedPages;    // retained page chunks, in order
  DWORD retainedLength;            // total length of the retained stream as framed output
  DWORD signatureTail;             // kDeviceContextSignature
};

// TRUE when context is non-null and both signatures hold.
BOOL isValidDeviceContext(const DeviceContext* context);

// The context of an engine device handle, and the handle of a context.
inline DeviceContext* ContextFromHandle(DHPDEV handle) {
  return reinterpret_cast<DeviceContext*>(handle);
}
inline DHPDEV HandleFromContext(DeviceContext* context) {
  return reinterpret_cast<DHPDEV>(context);
}

// The context behind an engine surface object (its dhpdev); null when the surface is
// missing or the context fails the validity check. With setError, a null result also sets
// last error 87, as every validating DDI entry does.
DeviceContext* ContextOfSurface(const SURFOBJ* surface, bool setError);
