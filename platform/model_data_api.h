// SPDX-License-Identifier: Apache-2.0
// The interface between the driver and its model-data library ("TQ33Ki3.dll").
//
// The driver loads the library, finds its one export QDX_InitializeW by name and hands it
// a ModelDataTable whose size member it has set; the library fills in its four entry
// points. Every call uses the platform's standard calling convention and returns a BOOL.
#pragma once

#include "platform/platform.h"

// Size member of the table: the size of the table in this build, 20 bytes in a 32-bit one
// and 40 in a 64-bit one, so that a library of the other width refuses the table.
#define MODEL_DATA_TABLE_SIZE (sizeof(void*) == 4 ? 20 : 40)

// The library's name, the subdirectory of the driver directory it lives in, and its export.
#define MODEL_DATA_LIBRARY_NAME WIDE("TQ33Ki3.dll")
#define MODEL_DATA_INIT_EXPORT "QDX_InitializeW"

// Sizes of the records the library hands out.
#define MODEL_RECORD_SIZE 118
#define MEDIA_LIST_ENTRY_SIZE 252

// Paper size codes the data contract reserves: USER_FORM_BASE + i names definition i of the
// media definition file, which has MEDIA_DEFINITION_SLOTS of them, so a data file's media
// keep clear of those codes.
#define USER_FORM_BASE 317
#define MEDIA_DEFINITION_SLOTS 23

// Kind code of a medium that is special media when bit 0 of its options is set.
#define MEDIA_KIND_SPECIAL 16

// A medium with several labels across the head lies this many paper size codes above the
// single-width medium of its label width, by width multiple (labels across minus one).
inline constexpr LONG kWidthMultipleCodeOffset[4] = {0, 20, 26, 32};

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


// A handle to an opened data file: a 32-bit value; 0 and all ones are never valid.
typedef DWORD ModelDataHandle;

// Opens the data file at path; writes the handle. FALSE when the file cannot be used.
typedef BOOL(WINAPI* ModelDataOpenFn)(ModelDataHandle* handle, LPCWSTR path);
// Closes a handle from the open call.
typedef BOOL(WINAPI* ModelDataCloseFn)(ModelDataHandle handle);
// Copies the model record of the selected model into record (size bytes); writes the
// number of bytes returned.
typedef BOOL(WINAPI* ModelDataGetModelFn)(ModelDataHandle handle, DWORD selector, BYTE* record,
                                          DWORD size, DWORD* returned);
// Copies the media list of the selected model into buffer. Called with no buffer, it fails
// with last error ERROR_INSUFFICIENT_BUFFER and writes the size needed; with a buffer of
// that size it writes the list and the number of 252-byte entries.
typedef BOOL(WINAPI* ModelDataGetMediaListFn)(ModelDataHandle handle, DWORD selector,
                                              BYTE* buffer, DWORD size, DWORD* needed,
                                              DWORD* count);

struct ModelDataTable {
  DWORD size;                            // MODEL_DATA_TABLE_SIZE, set by the driver
  ModelDataOpenFn mdOpen;                // open the driver data file
  ModelDataCloseFn mdClose;              // close a handle from mdOpen
  ModelDataGetModelFn mdGetModel;        // read the model record
  ModelDataGetMediaListFn mdGetMediaList;  // read the media list
};
static_assert(sizeof(ModelDataTable) == MODEL_DATA_TABLE_SIZE);

// The library's export: fills the table's entry points. FALSE when the table is unusable.
typedef BOOL(WINAPI* ModelDataInitializeFn)(ModelDataTable* table);
