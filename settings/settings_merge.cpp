// SPDX-License-Identifier: Apache-2.0
// The merge of an application's settings record into the context's defaults. The caller's
// record is copied once into a scratch record and only ever read there.
#include "settings/settings_merge.h"

#include <cstring>

#include "device/default_settings.h"
#include "device/media_lookup.h"
#include "device/printer_data.h"
#include "settings/exchange_block.h"
#include "settings/paper_size.h"

namespace {

constexpr SHORT kBaseResolution = 360;
constexpr SHORT kHighResolution = 720;
constexpr SHORT kMaxCopies = 5000;
constexpr WORD kSectionEnd = 0xFFFF;

// The dmFields bits the merge takes from a caller.
constexpr DWORD kHonouredFields = DM_ORIENTATION | DM_PAPERSIZE | DM_PAPERLENGTH | DM_PAPERWIDTH |
                                  DM_COPIES | DM_PRINTQUALITY | DM_YRESOLUTION | DM_FORMNAME;

// LOCALE_IMEASURE is "0" (metric) or "1" (US); the buffer holds it with room to spare.
constexpr int kMeasureChars = 9;

// The decimal number at the start of text (leading blanks and a sign allowed), 0 when
// there is none. text holds at most a few digits and its terminator.
LONG ParseDecimal(const WCHAR* text) {
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = false;
  if (*text == '-' || *text == '+') negative = *text++ == '-';
  LONG value = 0;
  for (int digits = 0; *text >= '0' && *text <= '9' && digits < 9; ++text, ++digits)
    value = value * 10 + (*text - '0');
  return negative ? -value : value;
}

// Takes the public fields the caller marked, each by its own rule, into result; the
// paper size goes through the paper-size selection.
void MergePublicFields(SettingsRecord* result, SettingsRecord* scratch, HANDLE printer,
                       const ModelData* modelData, const MediaDefinition* definitions,
                       DWORD definitionCount, WORD defaultPaperSize) {
  DEVMODEW& s = result->dm;
  const DEVMODEW& c = scratch->dm;
  const DWORD fields = c.dmFields;
  s.dmFields |= fields & kHonouredFields;

  if (fields & DM_ORIENTATION)
    s.dmOrientation =
        (c.dmOrientation == DMORIENT_PORTRAIT || c.dmOrientation == DMORIENT_LANDSCAPE)
            ? c.dmOrientation
            : DMORIENT_LANDSCAPE;
  // Written before the selection, which may replace it.
  if (fields & DM_PAPERLENGTH) s.dmPaperLength = c.dmPaperLength;
  if (fields & DM_PAPERWIDTH) s.dmPaperWidth = c.dmPaperWidth;
  if (fields & DM_PAPERSIZE)
    SelectPaperSize(printer, result, scratch, modelData, definitions, definitionCount,
                    defaultPaperSize);
  if (fields & DM_FORMNAME) CopyWideBounded(s.dmFormName, c.dmFormName, CCHFORMNAME);
  if (fields & DM_COPIES)
    s.dmCopies = (c.dmCopies >= 1 && c.dmCopies <= kMaxCopies) ? c.dmCopies : 1;

  // Only the resolution rules decide; the caller's own print quality is never taken.
  const PrivateSettings& cp = scratch->priv;
  const bool highResolution =
      (fields & DM_YRESOLUTION) && c.dmYResolution == kHighResolution && cp.privHighResAllowed != 0;
  s.dmPrintQuality = kBaseResolution;
  if ((fields & DM_PRINTQUALITY) && cp.privSmallChar == 1 && highResolution)
    s.dmPrintQuality = kHighResolution;
  s.dmYResolution = highResolution ? kHighResolution : kBaseResolution;
}

// The medium whose limits the margin is held to: the selected record, or, when the
// caller's media id lies outside the table, the medium the lookup selects for the scratch
// record, the one the job will print on. Null when neither exists.
const MediaListEntry* MarginMedia(HANDLE printer, const SettingsRecord* scratch,
                                  const ModelData* modelData, const MediaDefinition* definitions,
                                  DWORD definitionCount, WORD defaultPaperSize) {
  const PrivateSettings& c = scratch->priv;
  const MediaRecord* record =
      MediaRecordAt(modelData, static_cast<LONGLONG>(c.privMediaId) + c.privMediaBase);
  if (record && record->mrIndex != kSectionEnd) return &record->mrEntry;
  LONG mediaIndex = -1;
  FindMediaIndex(printer, scratch, modelData, &mediaIndex, nullptr, definitions, definitionCount,
                 defaultPaperSize);
  if (mediaIndex < 0) return nullptr;
  record = MediaRecordAt(modelData, static_cast<LONGLONG>(c.privMediaBase) + mediaIndex);
  if (!record || record->mrIndex == kSectionEnd) return nullptr;
  return &record->mrEntry;
}

// Takes the caller's accepted private part into result, then renews what depends on the
// merged public fields: the length in dots and the margin at the final resolution.
void MergePrivatePart(SettingsRecord* result, const SettingsRecord* scratch, HANDLE printer,
                      const ModelData* modelData, const MediaDefinition* definitions,
                      DWORD definitionCount, WORD defaultPaperSize) {
  PrivateSettings& s = result->priv;
  const PrivateSettings& c = scratch->priv;
  std::memcpy(&s, &c, sizeof(PrivateSettings));

  const DWORD resolution = static_cast<DWORD>(static_cast<LONG>(result->dm.dmYResolution));
  s.privLength = static_cast<DWORD>(static_cast<LONG>(result->dm.dmPaperLength));
  s.privLengthDots = LengthTenthsToDots(s.privLength, resolution);

  const MediaListEntry* entry =
      MarginMedia(printer, scratch, modelData, definitions, definitionCount, defaultPaperSize);
  const LONG callerResolution = scratch->dm.dmYResolution;
  if ((callerResolution == kHighResolution || callerResolution == kBaseResolution) &&
      (scratch->dm.dmFields & DM_YRESOLUTION)) {
    // The caller's margin is in dots at its own resolution: raised to the medium's least
    // margin, then scaled to ours.
    WORD margin = c.privMargin;
    const WORD least = static_cast<WORD>(MinMarginDots360(entry));
    if (margin <= least) margin = least;
    s.privMargin =
        static_cast<WORD>(static_cast<LONG>(result->dm.dmYResolution) * margin / callerResolution);
  } else {
    s.privMargin = static_cast<WORD>(MarginTenthsToDots(MinMarginTenths(entry), resolution));
  }

  if (printer) {
    DWORD value = 0;
    if (ReadPrinterDataDword(printer, WIDE("SmallChar"), &value))
      s.privSmallChar = static_cast<BYTE>(value);
    if (ReadPrinterDataDword(printer, WIDE("UseMonitor"), &value))
      s.privUseMonitor = static_cast<BYTE>(value);
  }

  if (s.privSmallChar == 1 && result->dm.dmYResolution == kHighResolution && s.privMediaKind != 1)
    result->dm.dmPrintQuality = kHighResolution;
}

// Takes the measurement system from the user's locale unless the caller's record already
// carries it.
void MergeLocaleUnits(SettingsRecord* result, const SettingsRecord* scratch) {
  if (scratch->priv.privLocaleDone != 0) return;
  PrivateSettings& s = result->priv;
  s.privInchUnits = 0;
  WCHAR measure[kMeasureChars + 1] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IMEASURE, measure, kMeasureChars) > 0 &&
      ParseDecimal(measure) == 1)
    s.privInchUnits = 1;
  s.privLocaleDone = 1;
}

// The value held between least and most.
DWORD Within(DWORD value, DWORD least, DWORD most) {
  if (value < least) return least;
  return value > most ? most : value;
}

}  // namespace

// Merges the caller's record (callerBytes readable) into settings. 1 when merged or with
// nothing to merge; 0 when refused or out of memory, with settings untouched.
DWORD MergeSettings(SettingsRecord* settings, const DEVMODEW* caller, DWORD callerBytes,
                    HANDLE printer, const ModelData* modelData, const MediaDefinition* definitions,
                    DWORD definitionCount, WORD defaultPaperSize) {
  if (!settings) return 0;
  if (!modelData || !modelData->mediaTable || !caller) return 1;

  auto* scratch = static_cast<SettingsRecord*>(GlobalAlloc(0, sizeof(SettingsRecord)));
  if (!scratch) return 0;
  std::memcpy(scratch, settings, sizeof(SettingsRecord));

  DWORD merged = 0;
  if (CopySettings(caller, callerBytes, scratch) > 0) {
    // A foreign private part is replaced by ours; its size word stays so that its block
    // still does not count.
    if (scratch->priv.xbSize != EXCHANGE_BLOCK_SIZE) {
      const WORD foreignSize = scratch->priv.xbSize;
      std::memcpy(&scratch->priv, &settings->priv, sizeof(PrivateSettings));
      scratch->priv.xbSize = foreignSize;
    }
    // A record of another media section is refused before anything reaches settings.
    if (scratch->priv.privMediaBase == 0) {
      ApplyExchangeRequest(printer, scratch, modelData, definitions, definitionCount,
                           defaultPaperSize);
      MergePublicFields(settings, scratch, printer, modelData, definitions, definitionCount,
                        defaultPaperSize);
      if (scratch->priv.privSignature == PRIV_SIGNATURE)
        MergePrivatePart(settings, scratch, printer, modelData, definitions, definitionCount,
                         defaultPaperSize);
      MergeLocaleUnits(settings, scratch);
      BuildExchangeAnswer(printer, scratch, settings, modelData, definitions, definitionCount,
                          defaultPaperSize);
      merged = 1;
    }
  }
  GlobalFree(scratch);
  return merged;
}

// Holds the length and margin to the medium the settings select. dmPaperLength is left as
// it is: with a custom size it takes part in that very lookup, and a length changed there
// could select another medium than the one whose limits were applied.
void BoundLengthAndMargin(HANDLE printer, SettingsRecord* settings, const ModelData* modelData,
                          const MediaDefinition* definitions, DWORD definitionCount,
                          WORD defaultPaperSize) {
  if (!settings || !modelData || !modelData->mediaTable) return;
  PrivateSettings& p = settings->priv;
  LONG mediaIndex = -1;
  FindMediaIndex(printer, settings, modelData, &mediaIndex, nullptr, definitions,
                 definitionCount, defaultPaperSize);
  const MediaRecord* record =
      MediaRecordAt(modelData, static_cast<LONGLONG>(p.privMediaBase) + mediaIndex);
  const LONG resolution = settings->dm.dmYResolution;
  if (mediaIndex < 0 || !record || record->mrIndex == kSectionEnd || resolution <= 0) return;
  const MediaListEntry* entry = &record->mrEntry;
  const DWORD y = static_cast<DWORD>(resolution);

  // A label of fixed length prints its own length, whatever the settings say.
  if (record->mrLengthDots == 0) {
    const BOOL keepShort = IsSpecialMedia(entry) && p.privOpt40000 != 0;
    const DWORD length = BoundedLengthTenths(entry, p.privLength, keepShort);
    if (length != p.privLength) {
      p.privLength = length;
      p.privLengthDots = LengthTenthsToDots(length, y);
    }
    const DWORD least = keepShort ? 0 : LengthTenthsToDots(MinLengthTenths(entry), y);
    const DWORD most = LengthTenthsToDots(MaxLengthTenths(entry), y);
    p.privLengthDots = Within(p.privLengthDots, least, most);
    p.xbLength = Within(p.xbLength, least, most);
  }
  p.privMargin = BoundedMarginDots(entry, p.privMargin, y);
  if (p.xbSize == EXCHANGE_BLOCK_SIZE && (p.xbReport & XB_MARGIN_DOTS) != 0)
    p.xbMargin = BoundedMarginDots(entry, p.xbMargin, y);
}
