// SPDX-License-Identifier: Apache-2.0
// The media table built from the model-data library's answers, and the library's cycle.
//
// During DrvEnablePDEV the driver loads the model-data library, reads the model record and
// the media list from the driver data file through it, converts the list into the
// MediaTable the rest of the driver uses, and unloads the library again.
#pragma once

#include "platform/model_data_api.h"
#include "platform/platform.h"

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
