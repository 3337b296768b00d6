// SPDX-License-Identifier: Apache-2.0
// Every byte sequence the driver sends to the printer, the SetupHeader that opens each
// label and the JobInfoRecord that leads each page stream in framed output.
#pragma once

#include "platform/platform.h"

struct DeviceContext;

// Command bytes.
inline constexpr BYTE kCmdEsc = 0x1B;
inline constexpr BYTE kCmdRasterLine = 0x47;          // "G" nL nH data
inline constexpr BYTE kCmdZeroLine = 0x5A;            // "Z"
inline constexpr BYTE kCmdCompressionMode = 0x4D;     // "M" 02
inline constexpr BYTE kCmdCompressionPackBits = 0x02;
inline constexpr BYTE kCmdPageEnd = 0x0C;             // after the last line of every label
inline constexpr BYTE kCmdRetainedPageEnd = 0x0B;     // ends a retained page instead
inline constexpr BYTE kCmdDocumentEnd = 0x1A;  // plain output: once at the end of a document

extern const BYTE kInitialiseCommand[2];    // 1B 40
extern const BYTE kRasterModeCommand[4];    // 1B 69 61 01
extern const BYTE kPrintInfoPrefix[3];      // 1B 69 63, then p1..p5
extern const BYTE kVariousModePrefix[3];    // 1B 69 4D, then the mode byte
extern const BYTE kAdvancedModePrefix[3];   // 1B 69 4B, then the mode byte
extern const BYTE kMarginPrefix[3];         // 1B 69 64, then nL nH
extern const BYTE kCompressionModeCommand[2];  // 4D 02
extern const BYTE kEndOfJobCommand[2];      // 1B 65

#define SETUP_HEADER_SIZE 25
#define JOB_INFO_RECORD_SIZE 58

// Offsets in a page stream: the job record and the first label's SetupHeader come first,
// then the raster part, which opens with the compression command.
inline constexpr DWORD kPageStreamRasterStart = JOB_INFO_RECORD_SIZE + SETUP_HEADER_SIZE;  // 83
inline constexpr DWORD kPageStreamLinesStart = kPageStreamRasterStart + 2;                // 85

// Dots across the print head, and the bytes of a full raster line.
inline constexpr DWORD kHeadDots = 384;
inline constexpr DWORD kHeadLineBytes = 48;

// Various-mode bits
#define VARIOUS_AUTO_CUT 0x40
#define VARIOUS_MIRROR 0x80
// Advanced-mode bits
#define ADVANCED_HALF_CUT 0x04
#define ADVANCED_NO_CHAIN 0x08
#define ADVANCED_OPT800 0x20
#define ADVANCED_HIGH_RES 0x40

#pragma pack(push, 1)

struct JobInfoRecord {
  DWORD jiSize;             // 58
  DWORD jiTotalLength;      // bytes of the page stream this record leads, record included
  WORD jiPaperSize;         // mrPaperSize of the selected record
  BYTE jiInchUnits;         // privInchUnits
  BYTE jiOne;               // 1
  WORD jiCopies;            // dmCopies
  BYTE jiCollate;           // privCollate, bit 0x02 with xbOptions XBO_RETAIN
  BYTE jiJobOption;         // privJobOption
  WCHAR jiResourceName[16]; // "TQ33Kr.dll", NUL-terminated, zero-filled
  DWORD jiReserved1;
  BYTE jiReserved2[3];
  BYTE jiWidthByte;         // tape width byte (p3)
  BYTE jiKindByte;          // kind byte (p2), 1 in place of 0
  BYTE jiReserved3;
};

#pragma pack(pop)

static_assert(sizeof(JobInfoRecord) == JOB_INFO_RECORD_SIZE);
static_assert(offsetof(JobInfoRecord, jiPaperSize) == 8);
static_assert(offsetof(JobInfoRecord, jiCopies) == 12);
static_assert(offsetof(JobInfoRecord, jiCollate) == 14);
static_assert(offsetof(JobInfoRecord, jiResourceName) == 16);
static_assert(offsetof(JobInfoRecord, jiReserved1) == 48);
static_assert(offsetof(JobInfoRecord, jiWidthByte) == 55);
static_assert(offsetof(JobInfoRecord, jiKindByte) == 56);

// The five parameter bytes of the print-information command for the selected record
// (MediaTable[privMediaBase + mediaOffset]); each output given is filled.
void GetPrintInfoParams(const DeviceContext* context, LONG mediaOffset, BYTE* p1, BYTE* p2,
                        BYTE* p3, BYTE* p4, BYTE* p5);

// Writes the 25-byte SetupHeader; returns 25, or 0 without a MediaTable.
DWORD BuildSetupHeader(BYTE* output, const DeviceContext* context, LONG mediaOffset);

// Fills the JobInfoRecord except its total length. Nothing without a MediaTable.
void BuildJobInfoRecord(JobInfoRecord* record, const DeviceContext* context, LONG mediaOffset);
