// The model-data library interface and the media table built from its answers.
//
// During DrvEnablePDEV the driver loads the model-data library, reads the model record and
// the media list from the driver data file through it, converts the list into the
// MediaTable the rest of the driver uses, and unloads the library again.
#pragma once

#include "platform/model_data_api.h"
#include "platform/platform.h"

#pragma pack(push, 1)

// The model record as the library returns it (118 bytes).
struct ModelRecord {
  BYTE moType;                  // model type character; 0xFF: no model defined
  BYTE moReserved1;
  WCHAR moName[32];             // model name, NUL-terminated when shorter than 32 units
  BYTE moReserved2[24];
  WORD moDefaultPaperSize;      // paper size code of the default tape
  SHORT moDefaultLength;        // default label length, tenths of a millimetre
  SHORT moDefaultLengthDots;    // default label length in dots
  BYTE moReserved3[2];
  WORD moDefaultPrintQuality;   // default dmPrintQuality, dots per inch
  WORD moDefaultYResolution;    // default dmYResolution, dots per inch
  BYTE moReserved4[16];
};
static_assert(sizeof(ModelRecord) == MODEL_RECORD_SIZE);
static_assert(offsetof(ModelRecord, moName) == 2);
static_assert(offsetof(ModelRecord, moDefaultPaperSize) == 90);
static_assert(offsetof(ModelRecord, moDefaultLength) == 92);
static_assert(offsetof(ModelRecord, moDefaultLengthDots) == 94);
static_assert(offsetof(ModelRecord, moDefaultPrintQuality) == 98);
static_assert(offsetof(ModelRecord, moDefaultYResolution) == 100);

// One medium of the media list as the library returns it (252 bytes).
struct MediaListEntry {
  WCHAR meName[64];          // display name of the medium, NUL-terminated when shorter
  BYTE meReserved1[64];
  SHORT meKindCode;          // kind of media: 2 and 5 are distinguished by some models,
                             // 5, 8 and 11 have fixed lengths, 16 may be special media
  WORD mePaperSize;          // paper size code
  SHORT meWidth;             // tape width, tenths of a millimetre
  SHORT mePrintWidth;        // printable width, tenths of a millimetre
  SHORT meWidthDots;         // full width in dots
  SHORT mePrintWidthDots;    // printable width in dots
  SHORT meLength;            // label length, tenths of a millimetre; 0 for continuous tape
  SHORT mePrintLength;       // printable length, tenths of a millimetre
  SHORT meLengthDots;        // label length in dots; 0 for continuous tape
  SHORT mePrintLengthDots;   // printable length in dots
  BYTE meReserved2[14];
  BYTE meWidthMultiple;      // labels across the head minus one (0..3)
  BYTE meReserved3[17];
  DWORD meOptions;           // bit 0: special media (with kind code 16)
  BYTE meReserved4[4];
};
static_assert(sizeof(MediaListEntry) == MEDIA_LIST_ENTRY_SIZE);
static_assert(offsetof(MediaListEntry, meKindCode) == 192);
static_assert(offsetof(MediaListEntry, mePaperSize) == 194);
static_assert(offsetof(MediaListEntry, meWidth) == 196);
static_assert(offsetof(MediaListEntry, mePrintLengthDots) == 210);
static_assert(offsetof(MediaListEntry, meWidthMultiple) == 226);
static_assert(offsetof(MediaListEntry, meOptions) == 244);

#pragma pack(pop)

// The driver's own record of one medium. The MediaTable holds one per media list entry,
// at the position equal to its mrIndex, then a terminator whose bytes are all 0xFF.
struct MediaRecord {
  WORD mrIndex;               // position in the table, from 0; 0xFFFF in the terminator
  BYTE mrKind;                // 1 for kind codes 2 and 5 on models '0' and '3', else 0
  BYTE mrSubKind;             // 1 for kind code 2, 2 for kind code 5 (same condition), else 0
  WORD mrPaperSize;           // paper size code; 0xFFFF in the terminator
  SHORT mrWidth;              // tape width, tenths of a millimetre
  SHORT mrPrintWidth;         // printable width, tenths of a millimetre
  SHORT mrWidthDots;          // full width in dots
  SHORT mrPrintWidthDots;     // printable width in dots
  SHORT mrLength;             // label length, tenths of a millimetre; 0: continuous tape
  SHORT mrPrintLength;        // printable length, tenths of a millimetre
  SHORT mrLengthDots;         // label length in dots; 0: continuous tape
  SHORT mrPrintLengthDots;    // printable length in dots
  LONG mrMarginDots;          // mrWidthDots - mrPrintWidthDots
  BYTE mrWidthMultiple;       // labels across the head minus one
  // Copy of the entry the record was made from, aligned so that its text and 16-bit
  // fields lie at their natural alignment.
  alignas(4) MediaListEntry mrEntry;
};
static_assert(offsetof(MediaRecord, mrEntry) % 4 == 0);

// What the model-data library delivered for one device context; all blocks live in the
// context's private heap.
struct ModelData {
  ModelRecord* modelRecord;     // the model record
  MediaListEntry* mediaList;    // mediaCount entries as the library returned them
  MediaRecord* mediaTable;      // mediaCount records and the terminator
  DWORD mediaCount;             // media list entries (records before the terminator)
};

// The record at a position of the table, terminator included (position mediaCount), or
// null when the position lies outside the table or there is no table. Every position the
// driver computes (a base plus an offset, a base record some records back) is read
// through this, so that a bad base or offset from a settings record never reads outside.
const MediaRecord* MediaRecordAt(const ModelData* modelData, LONGLONG position);

// Loads the library from the "3" subdirectory of the printer driver directory and lets
// its QDX_InitializeW fill the table. TRUE with the module stored on success.
BOOL OpenModelDataLibrary(HMODULE* module, ModelDataTable* table);

// Unloads the library; when a table is given, zeroes all five of its members.
BOOL CloseModelDataLibrary(HMODULE module, ModelDataTable* table);

// The whole load-query-unload cycle for one device context: reads the model record and
// the media list of the data file at dataFilePath and builds the MediaTable, all in heap.
// TRUE with the four outputs set; FALSE with none of them set.
BOOL LoadModelData(HANDLE heap, LPCWSTR dataFilePath, ModelRecord** modelRecord,
                   DWORD modelSelector, DWORD modelRecordSize, MediaListEntry** mediaList,
                   DWORD mediaSelector, MediaRecord** mediaTable, DWORD* mediaCount);

// Fills records 0..count-2 of table from the list and makes record count-1 the all-0xFF
// terminator. FALSE when table or list is null or count is 0.
BOOL ConvertMediaList(MediaRecord* table, const MediaListEntry* list, DWORD count,
                      BYTE modelType);
