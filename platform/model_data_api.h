// The interface between the driver and its model-data library ("TQ33Ki3.dll").
//
// The driver loads the library, finds its one export QDX_InitializeW by name and hands it
// a ModelDataTable whose size member it has set; the library fills in its four entry
// points. Every call uses the platform's standard calling convention and returns a BOOL.
#pragma once

#include "platform/platform.h"

// Size member of the table: the size of the table in the 32-bit library, on every build.
#define MODEL_DATA_TABLE_SIZE 20

// The library's name, the subdirectory of the driver directory it lives in, and its export.
#define MODEL_DATA_LIBRARY_NAME WIDE("TQ33Ki3.dll")
#define MODEL_DATA_INIT_EXPORT "QDX_InitializeW"

// Sizes of the records the library hands out.
#define MODEL_RECORD_SIZE 118
#define MEDIA_LIST_ENTRY_SIZE 252

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
static_assert(sizeof(void*) != 4 || sizeof(ModelDataTable) == MODEL_DATA_TABLE_SIZE);

// The library's export: fills the table's entry points. FALSE when the table is unusable.
typedef BOOL(WINAPI* ModelDataInitializeFn)(ModelDataTable* table);
