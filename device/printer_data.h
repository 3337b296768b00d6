// SPDX-License-Identifier: Apache-2.0
// Values the spooler keeps for the printer, the per-user default device mode, the
// registry's default options, the user's locale and the engine's code page.
#pragma once

#include "context/model_data.h"
#include "platform/platform.h"

#define PRINTER_DATA_RECORD_SIZE 104
#define PRINTER_DATA_VERSION 0x500
#define DEFAULT_OPTIONS_SIZE 32
#define DEVICE_HALFTONE_INFO_SIZE 132

// pdFlags
#define PDF_METRIC 0x1        // the user's country measures in metric units
#define PDF_PRINTER_HT 0x2    // "PrinterHT" is non-zero
#define PDF_NON_LATIN 0x4     // the ANSI code page is neither 1252 nor East Asian

// Indexes of the (size name, data name) pairs ReadSizedPrinterData knows.
inline constexpr DWORD kPrinterDataFontSubstitution = 0;  // "TTFontSubTableSize" / "TTFontSubTable"
inline constexpr DWORD kPrinterDataTrayForms = 1;         // "TrayFormSize" / "TrayFormTable"
inline constexpr DWORD kPrinterDataRecord = 2;            // "PrinterDataSize" / "PrinterData"

#pragma pack(push, 1)

// The printer data record ("PrinterData"), 104 bytes when the driver builds it.
struct PrinterDataRecord {
  WORD pdVersion;        // PRINTER_DATA_VERSION in a built record
  WORD pdSize;           // PRINTER_DATA_RECORD_SIZE in a built record
  DWORD pdFlags;         // PDF_...
  DWORD pdFreeMemory;    // printer memory in bytes
  BYTE pdReserved[92];
};

// The installation's default options ("RegDefaultOptions"), 32 bytes.
struct DefaultOptions {
  DWORD optSize;         // 32: set before reading, must still be 32 after
  DWORD optMask;         // which fields below apply (DOM_...)
  DWORD optExtra;        // not interpreted; a block whose mask and this are 0 is ignored
  DWORD optLengthDots;   // label length in dots
  WORD optPaperSize;     // paper size key of a media list entry
  BYTE optMirror;
  BYTE optCollate;
  BYTE optHalftone;
  BYTE optContrast;
  BYTE optBrightness;
  BYTE optAutoCut;
  BYTE optJobOption;
  BYTE optHalfCut;
  BYTE optChainPrint;
  BYTE optOpt800;
  BYTE optSmallChar;
  BYTE optUseMonitor;
  BYTE optOpt20000;
  BYTE optReserved;
};

#pragma pack(pop)

static_assert(sizeof(PrinterDataRecord) == PRINTER_DATA_RECORD_SIZE);
static_assert(offsetof(PrinterDataRecord, pdFreeMemory) == 8);
static_assert(sizeof(DefaultOptions) == DEFAULT_OPTIONS_SIZE);
static_assert(offsetof(DefaultOptions, optLengthDots) == 12);
static_assert(offsetof(DefaultOptions, optPaperSize) == 16);
static_assert(offsetof(DefaultOptions, optMirror) == 18);
static_assert(offsetof(DefaultOptions, optChainPrint) == 26);
static_assert(offsetof(DefaultOptions, optUseMonitor) == 29);
static_assert(offsetof(DefaultOptions, optOpt20000) == 30);

// optMask bits
#define DOM_PAPER_SIZE 0x1
#define DOM_LENGTH 0x2
#define DOM_MIRROR 0x4
#define DOM_COLLATE 0x8
#define DOM_HALFTONE 0x10
#define DOM_CONTRAST 0x20
#define DOM_BRIGHTNESS 0x40
#define DOM_AUTO_CUT 0x80
#define DOM_JOB_OPTION 0x100
#define DOM_HALF_CUT 0x200
#define DOM_USE_MONITOR 0x400
#define DOM_CHAIN_PRINT 0x800
#define DOM_OPT800 0x1000
#define DOM_SMALL_CHAR 0x2000
#define DOM_OPT20000 0x80000

struct SettingsRecord;

// A 32-bit printer-data value; FALSE when it is missing, unreadable or shorter than 32 bits.
BOOL ReadPrinterDataDword(HANDLE printer, LPCWSTR name, DWORD* value);

// Reads a sized printer-data blob (the size value, then the data value) into a new fixed
// global block; writes its size when asked. Null when either value is missing, or the
// data is shorter than its size.
HGLOBAL ReadSizedPrinterData(HANDLE printer, DWORD* size, DWORD index);

// The printer data record: the stored "PrinterData" blob, or one built from "FreeMem",
// "PrinterHT", the locale and the code page. Null only when memory runs out. A stored
// blob is at least PRINTER_DATA_RECORD_SIZE bytes long in the block returned.
PrinterDataRecord* ReadPrinterDataRecord(HANDLE printer);

// "CurDevHTInfo" into info; TRUE only when exactly 132 bytes were read.
BOOL ReadDeviceHalftoneInfo(HANDLE printer, DEVHTINFO* info);

// The PRINTER_INFO of a level in a new fixed global block (GlobalFree by the caller), and
// its size in bytes. Null when the spooler has none.
HGLOBAL GetPrinterInfo(HANDLE printer, DWORD level, DWORD* size);

// The per-user default settings record of the printer (PRINTER_INFO_9), checked: its size
// fields fit the block the spooler returned, its private part is a full one of ours with
// our signature, its media base is mediaBase (the section of the MediaTable the job looks
// in) and its media id names a record of that section. Null when there is none that can
// be trusted. The result is a copy in a new fixed global block of
// SETTINGS_RECORD_SIZE bytes (GlobalFree by the caller), laid out as our own record
// whatever the stored public size.
SettingsRecord* ReadUserSettings(HANDLE printer, const ModelData* modelData, DWORD mediaBase);

// The installation's default options, from the registry key of the model named in the
// settings' dmDeviceName, else from printer data. TRUE when a block was read into options.
BOOL ReadDefaultOptions(const SettingsRecord* settings, HANDLE printer,
                        const ModelData* modelData, DefaultOptions* options);

// 1 when the user's country measures in metric units, else 0.
DWORD IsMetricCountry();

// The engine's ANSI code page.
UINT AnsiCodePage();

// The Western European ANSI code page: with it or an East Asian one, PDF_NON_LATIN stays
// clear and the default privFlags gain PRIVF_LATIN_OR_EAST_ASIAN.
inline constexpr UINT kWesternCodePage = 1252;

// 1 for the East Asian code pages 932, 936, 949 and 950, else 0.
DWORD IsEastAsianCodePage(UINT codePage);

// Converts wide text to the ANSI code page through the engine; writes the engine's result
// to converted when asked.
void WideToAnsi(LPSTR destination, DWORD destinationBytes, INT* converted, LPCWSTR source,
                DWORD sourceBytes);
