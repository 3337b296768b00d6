// SPDX-License-Identifier: Apache-2.0
// The printer command set: the commands the driver sends, the SetupHeader that opens
// every label and the JobInfoRecord that leads every page stream in framed output.
#include "raster/printer_commands.h"

#include <cstring>

#include "context/device_context.h"
#include "device/default_settings.h"

const BYTE kInitialiseCommand[2] = {0x1B, 0x40};
const BYTE kRasterModeCommand[4] = {0x1B, 0x69, 0x61, 0x01};
const BYTE kPrintInfoPrefix[3] = {0x1B, 0x69, 0x63};
const BYTE kVariousModePrefix[3] = {0x1B, 0x69, 0x4D};
const BYTE kAdvancedModePrefix[3] = {0x1B, 0x69, 0x4B};
const BYTE kMarginPrefix[3] = {0x1B, 0x69, 0x64};
const BYTE kCompressionModeCommand[2] = {kCmdCompressionMode, kCmdCompressionPackBits};
const BYTE kEndOfJobCommand[2] = {0x1B, 0x65};

namespace {

// Kind bytes (p2) and the first parameter byte (p1) of the print-information command.
constexpr BYTE kKindPlain360 = 0x00;
constexpr BYTE kKindPlain720 = 0x09;
constexpr BYTE kKindSpecial360 = 0x10;
constexpr BYTE kKindSpecial720 = 0x11;
constexpr BYTE kInfoPlain = 0x84;
constexpr BYTE kInfoWithKind = 0x86;

// A base record of this paper size stands for a tape whose width byte is fixed.
constexpr WORD kFixedWidthPaperSize = 263;
constexpr BYTE kFixedWidthByte = 4;

constexpr short kHighResolution = 720;

// The selected record: MediaTable[privMediaBase + mediaOffset], or null when that position
// lies outside the table (the base comes from a settings record and is not trusted).
const MediaRecord* SelectedRecord(const DeviceContext* context, LONG mediaOffset) {
  const LONGLONG position =
      static_cast<LONGLONG>(context->settings.priv.privMediaBase) + mediaOffset;
  return MediaRecordAt(&context->modelData, position);
}

BOOL IsSelectedSpecial(const MediaRecord* record) {
  return record && IsSpecialMedia(&record->mrEntry);
}

BYTE VariousModeByte(const PrivateSettings& priv) {
  BYTE mode = 0;
  if (priv.privAutoCut == 1 || priv.privMediaKind != 0) mode |= VARIOUS_AUTO_CUT;
  if (priv.privMediaKind == 0 && priv.privMirror == 1) mode |= VARIOUS_MIRROR;
  return mode;
}

BYTE AdvancedModeByte(const SettingsRecord& settings, BOOL special) {
  const PrivateSettings& priv = settings.priv;
  BYTE mode = 0;
  if (priv.privMediaKind == 0 && priv.privHalfCut == 1) mode |= ADVANCED_HALF_CUT;
  if (priv.privChainPrint == 0 || special) mode |= ADVANCED_NO_CHAIN;
  if (priv.privOpt800 == 1) mode |= ADVANCED_OPT800;
  if (settings.dm.dmYResolution == kHighResolution) mode |= ADVANCED_HIGH_RES;
  return mode;
}

// The width byte from the single-width record of the selected media, which lies
// 4 * mrWidthMultiple records before it. A multiple that points before the start of the
// table (a bad base from the settings) falls back to the selected record itself rather
// than reading outside the table.
BYTE WidthByte(const DeviceContext* context, LONG mediaOffset, const MediaRecord* selected) {
  if (!selected) return 0;
  const LONGLONG position =
      static_cast<LONGLONG>(context->settings.priv.privMediaBase) + mediaOffset -
      4 * static_cast<LONGLONG>(selected->mrWidthMultiple);
  const MediaRecord* base = MediaRecordAt(&context->modelData, position);
  if (!base) base = selected;
  if (base->mrPaperSize == kFixedWidthPaperSize) return kFixedWidthByte;
  return static_cast<BYTE>((static_cast<LONG>(base->mrWidth) + 5) / 10);
}

}  // namespace

// Fills every given output with its parameter byte. Without a selected record (no table,
// or a position outside it) the medium counts as plain and its width byte is 0.
void GetPrintInfoParams(const DeviceContext* context, LONG mediaOffset, BYTE* p1, BYTE* p2,
                        BYTE* p3, BYTE* p4, BYTE* p5) {
  if (!context) return;
  const SettingsRecord& settings = context->settings;
  const MediaRecord* selected = SelectedRecord(context, mediaOffset);
  const BOOL special = IsSelectedSpecial(selected);
  const BOOL highResolution = settings.dm.dmYResolution == kHighResolution;

  // The kind byte decides p1, and it is only worked out when p2 or p3 is asked for.
  BYTE kind = kKindPlain360;
  if (p2 || p3) {
    if (special)
      kind = highResolution ? kKindSpecial720 : kKindSpecial360;
    else
      kind = highResolution ? kKindPlain720 : kKindPlain360;
    if (p2) *p2 = kind;
    if (p3) *p3 = WidthByte(context, mediaOffset, selected);
  }
  if (p1) *p1 = kind != 0 ? kInfoWithKind : kInfoPlain;
  if (p4) *p4 = 0;
  if (p5) {
    const BYTE halftone = settings.priv.privHalftone;
    *p5 = highResolution && (halftone == 0 || halftone == 3) &&
                  settings.priv.privMediaKind != 1 && !special
              ? 1
              : 0;
  }
}

// Writes the 25 bytes of the SetupHeader; 0 (nothing written) without a MediaTable or
// without a selected record inside it.
DWORD BuildSetupHeader(BYTE* output, const DeviceContext* context, LONG mediaOffset) {
  if (!output || !context || !context->modelData.mediaTable) return 0;
  const MediaRecord* selected = SelectedRecord(context, mediaOffset);
  if (!selected) return 0;
  const BOOL special = IsSelectedSpecial(selected);

  BYTE params[5] = {};
  GetPrintInfoParams(context, mediaOffset, &params[0], &params[1], &params[2], &params[3],
                     &params[4]);
  const WORD margin = context->settings.priv.privMargin;

  BYTE* at = output;
  std::memcpy(at, kRasterModeCommand, sizeof(kRasterModeCommand));
  at += sizeof(kRasterModeCommand);
  std::memcpy(at, kPrintInfoPrefix, sizeof(kPrintInfoPrefix));
  at += sizeof(kPrintInfoPrefix);
  std::memcpy(at, params, sizeof(params));
  at += sizeof(params);
  std::memcpy(at, kVariousModePrefix, sizeof(kVariousModePrefix));
  at += sizeof(kVariousModePrefix);
  *at++ = VariousModeByte(context->settings.priv);
  std::memcpy(at, kAdvancedModePrefix, sizeof(kAdvancedModePrefix));
  at += sizeof(kAdvancedModePrefix);
  *at++ = AdvancedModeByte(context->settings, special);
  std::memcpy(at, kMarginPrefix, sizeof(kMarginPrefix));
  at += sizeof(kMarginPrefix);
  *at++ = static_cast<BYTE>(margin & 0xFF);
  *at++ = static_cast<BYTE>(margin >> 8);
  return static_cast<DWORD>(at - output);
}

// Fills the record but its total length, which is known only after packing. Leaves the
// record untouched without a MediaTable or without a selected record inside it.
void BuildJobInfoRecord(JobInfoRecord* record, const DeviceContext* context, LONG mediaOffset) {
  if (!record || !context || !context->modelData.mediaTable) return;
  const MediaRecord* selected = SelectedRecord(context, mediaOffset);
  if (!selected) return;
  const SettingsRecord& settings = context->settings;

  BYTE kind = 0;
  BYTE width = 0;
  GetPrintInfoParams(context, mediaOffset, nullptr, &kind, &width, nullptr, nullptr);

  const DWORD totalLength = record->jiTotalLength;
  std::memset(record, 0, sizeof(*record));
  record->jiSize = JOB_INFO_RECORD_SIZE;
  record->jiTotalLength = totalLength;
  record->jiPaperSize = selected->mrPaperSize;
  record->jiInchUnits = settings.priv.privInchUnits;
  record->jiOne = 1;
  record->jiCopies = static_cast<WORD>(settings.dm.dmCopies);
  record->jiCollate = settings.priv.privCollate;
  if (settings.priv.xbOptions & XBO_RETAIN) record->jiCollate |= 0x02;
  record->jiJobOption = settings.priv.privJobOption;
  // The name and its terminator fill 22 of the 32 bytes; the rest stays zero.
  static_assert(sizeof(kResourceLibraryName) <= sizeof(record->jiResourceName));
  std::memcpy(record->jiResourceName, kResourceLibraryName, sizeof(kResourceLibraryName));
  record->jiWidthByte = width;
  record->jiKindByte = kind != 0 ? kind : 1;
}
