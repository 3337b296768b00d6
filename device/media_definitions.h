// SPDX-License-Identifier: Apache-2.0
// The media definition file: user-defined label sizes beside the driver, each refining a
// tape of the MediaTable with a length and a feed margin.
#pragma once

#include <cstdint>

#include "context/model_data.h"
#include "platform/model_data_api.h"
#include "platform/platform.h"

#define MEDIA_DEFINITION_SIZE 142
#define MEDIA_DEFINITION_BLOCK_SIZE (MEDIA_DEFINITION_SIZE * MEDIA_DEFINITION_SLOTS)  // 3266
#define MEDIA_DEFINITION_HEADER_SIZE 10

#pragma pack(push, 1)

// The file's header (10 bytes).
struct MediaDefinitionHeader {
  BYTE dhReserved1[4];
  WORD dhCount;          // declared number of records
  BYTE dhReserved2[4];
};
static_assert(sizeof(MediaDefinitionHeader) == MEDIA_DEFINITION_HEADER_SIZE);

// One user-defined label (142 bytes).
struct MediaDefinition {
  WCHAR defName[64];     // name shown to users; the driver carries it unread
  WORD defKind;          // kind of media, compared with privMediaKind
  DWORD defPaperSize;    // paper size code of the base tape (low 16 bits: its mrPaperSize)
  DWORD defLength;       // label length, hundredths of a millimetre
  DWORD defMargin;       // feed margin at each end, hundredths of a millimetre
};

#pragma pack(pop)

static_assert(sizeof(MediaDefinition) == MEDIA_DEFINITION_SIZE);
static_assert(offsetof(MediaDefinition, defKind) == 128);
static_assert(offsetof(MediaDefinition, defPaperSize) == 130);
static_assert(offsetof(MediaDefinition, defLength) == 134);
static_assert(offsetof(MediaDefinition, defMargin) == 138);

// Builds the definition file name from the driver path: the extension after the last "."
// becomes "DAT" (".DAT" is appended when there is no "."). FALSE, with destination
// empty, when the name does not fit MAX_PATH units (terminator included).
BOOL BuildDefinitionFileName(WCHAR destination[MAX_PATH], LPCWSTR driverPath);

// Maps the whole file read-only. Both view outputs receive the view's address; the file
// and mapping handles are closed before returning. FALSE when the file cannot be opened,
// sized or mapped; an empty file gives TRUE with no view (null) and a size of 0.
BOOL MapFileReadOnly(LPCWSTR fileName, const BYTE** view, const BYTE** view2, DWORD* fileSize);

// Reads the definition file that belongs to the driver path into a new 3266-byte global
// block (GlobalFree by the caller). count is -1 unless a block is returned. An empty file
// gives no definitions, a file longer than the 23 slots its first records.
MediaDefinition* ReadMediaDefinitions(LPCWSTR driverPath, LONG* count);

// The definition named by a paper size code (317 + i), or null.
const MediaDefinition* DefinitionForPaperSize(const MediaDefinition* definitions,
                                              DWORD definitionCount, SHORT paperSize);

// The conversions every reader of a definition applies, formed in 64 bits (the file's
// values are anything at all): the length in tenths of a millimetre, (defLength + 5) / 10;
// the margin in whole millimetres, (defMargin + 50) / 100; the margin in dots at a
// resolution, ((resolution x defMargin) / 254 + 5) / 10.
DWORD DefinitionLengthTenths(const MediaDefinition& definition);
DWORD DefinitionMarginMillimetres(const MediaDefinition& definition);
uint64_t DefinitionMarginDots(const MediaDefinition& definition, DWORD resolution);

// TRUE when the definition can hold a page: it is no longer than the longest label any
// medium of the model data takes, and its two margins, lowered to the greatest its tape
// allows (the media list entry of its base paper size code), are shorter than it. A
// label shorter than its tape's least length, or with margins below its least margin, is
// still a label: the paper-size selection raises the length, and the margin stays.
BOOL DefinitionHoldsAPage(const MediaDefinition& definition, const ModelData* modelData);

// Settles the first count definitions for use: one that holds no page has its slot
// emptied, as the slots behind the definitions are (no paper size code, custom size or
// lookup selects it); every other one keeps its length and has its margin lowered to the
// greatest its tape allows.
void SettleDefinitions(MediaDefinition* definitions, DWORD count, const ModelData* modelData);
