// SPDX-License-Identifier: Apache-2.0
// The choice of tape and label length for a caller's paper size request: a custom size
// (code 256), a paper size code, or a user-defined label of the media definition file.
#include "settings/paper_size.h"

#include "device/media_lookup.h"
#include "device/printer_data.h"
#include "settings/exchange_block.h"

namespace {

// Tolerances of a size match, tenths of a millimetre (strictly within).
constexpr LONG kLengthTolerance = 8;
constexpr LONG kWidthTolerance = 11;

// The record the width search first compares multiples against.
constexpr LONG kReferencePosition = 7;

constexpr WORD kSectionEnd = 0xFFFF;

// Where the selection writes: the merged record, the scratch record and the media table.
struct Selection {
  SettingsRecord* result;
  SettingsRecord* scratch;
  const ModelData* modelData;
  LONGLONG base;  // table position of the section's first record
};

// The record at position i of the section, or null past its end or outside the table.
const MediaRecord* SectionRecord(const Selection& sel, LONG i) {
  const MediaRecord* record = MediaRecordAt(sel.modelData, sel.base + i);
  if (!record || record->mrIndex == kSectionEnd) return nullptr;
  return record;
}

// a and b differ by less than tolerance.
bool StrictlyWithin(LONG a, LONG b, LONG tolerance) {
  return a - b < tolerance && b - a < tolerance;
}

// Makes record the selected medium. formIndex is 0 or 1 + the definition index; setKind is
// false for a definition, whose kind stays the caller's. true when the record has a fixed
// length, which then becomes the label length and nothing is clamped.
bool ApplyRecord(const Selection& sel, const MediaRecord& record, bool setKind, BYTE formIndex) {
  PrivateSettings& c = sel.scratch->priv;
  c.privMediaId = record.mrIndex;
  if (record.mrKind == 0) c.privPlainMediaId = record.mrIndex;
  if (setKind) c.privMediaKind = record.mrKind;
  c.privWidthMultiple = record.mrWidthMultiple;
  sel.result->dm.dmPaperWidth = record.mrWidth;
  c.privFormIndex = formIndex;
  if (record.mrLength == 0) return false;
  sel.result->priv.privLength = static_cast<DWORD>(static_cast<LONG>(record.mrLength));
  sel.result->priv.privLengthDots = static_cast<DWORD>(static_cast<LONG>(record.mrLengthDots));
  return true;
}

// Holds length (tenths of a millimetre, compared unsigned so that a negative request ends
// at the maximum) within the record's limits and stores it with its dots at the merged
// record's resolution. keepShort skips the minimum.
void ClampLength(const Selection& sel, const MediaRecord& record, DWORD length, bool keepShort) {
  PrivateSettings& s = sel.result->priv;
  s.privLength = BoundedLengthTenths(&record.mrEntry, length, keepShort);
  const DWORD resolution = static_cast<DWORD>(static_cast<LONG>(sel.result->dm.dmYResolution));
  s.privLengthDots = LengthTenthsToDots(s.privLength, resolution);
}

// Special media keep a label shorter than their minimum when the caller's option asks.
bool KeepsShortLabels(const Selection& sel, const MediaRecord& record) {
  return IsSpecialMedia(&record.mrEntry) && sel.scratch->priv.privOpt40000 != 0;
}

// The exchange block counts and requests the value of bit.
bool CountingBlockRequests(const PrivateSettings& p, WORD bit) {
  return p.xbSize == EXCHANGE_BLOCK_SIZE && (p.xbRequest & bit) != 0;
}

// The best continuous tape for a requested width: a record of the kind within tolerance
// and of single width at once; otherwise the narrowest at least as wide, else the widest.
// Records of several labels across count only when their printable dots are exactly the
// number of labels times those of the reference, the widest single tape seen so far
// (starting at record 7). A section without record 7, or a reference without printable
// dots, leaves no sound comparison: those records are left out until a single tape with
// printable dots becomes the reference.
LONG SearchWidth(const Selection& sel, LONG width, BYTE kind) {
  const MediaRecord* reference = SectionRecord(sel, kReferencePosition);
  LONG referenceDots = reference ? reference->mrPrintWidthDots : 0;
  LONG best = -1;
  LONG bestWidth = 0;
  LONG widest = 0;
  const MediaRecord* first = SectionRecord(sel, 0);
  LONG widestWidth = first ? first->mrWidth : 0;
  for (LONG i = 0;; ++i) {
    const MediaRecord* record = SectionRecord(sel, i);
    if (!record) break;
    if (record->mrLength != 0 || record->mrKind != kind) continue;
    const LONG recordWidth = record->mrWidth;
    const LONG multiple = record->mrWidthMultiple;
    const LONG dots = record->mrPrintWidthDots;
    if (multiple == 0 && StrictlyWithin(width, recordWidth, kWidthTolerance)) {
      best = i;
      break;
    }
    if (multiple != 0) {
      if (referenceDots <= 0 || dots % referenceDots != 0 || dots / referenceDots != multiple + 1)
        continue;
    } else if (dots > referenceDots) {
      referenceDots = dots;
    }
    if (recordWidth >= width && (best == -1 || bestWidth > recordWidth)) {
      best = i;
      bestWidth = recordWidth;
    }
    if (recordWidth > widestWidth) {
      widest = i;
      widestWidth = recordWidth;
    }
  }
  return best == -1 ? widest : best;
}

// Case A: a custom size in tenths of a millimetre.
void SelectCustomSize(const Selection& sel, const MediaDefinition* definitions,
                      DWORD definitionCount) {
  const SettingsRecord& c = *sel.scratch;
  const DWORD fields = c.dm.dmFields;
  const bool hasLength = (fields & DM_PAPERLENGTH) != 0;
  const bool hasWidth = (fields & DM_PAPERWIDTH) != 0;
  const LONG length = c.dm.dmPaperLength;
  const LONG width = c.dm.dmPaperWidth;
  const BYTE kind = c.priv.privMediaKind;
  sel.result->dm.dmPaperSize = DMPAPER_USER;
  LONG found = -1;

  if (hasLength && hasWidth) {
    for (LONG i = 0;; ++i) {
      const MediaRecord* record = SectionRecord(sel, i);
      if (!record) break;
      if (record->mrKind == kind && StrictlyWithin(length, record->mrLength, kLengthTolerance) &&
          StrictlyWithin(width, record->mrWidth, kWidthTolerance)) {
        found = i;
        break;
      }
    }
    // A user-defined label matching the size wins over a table label; the last one wins.
    const DWORD count =
        definitionCount < MEDIA_DEFINITION_SLOTS ? definitionCount : MEDIA_DEFINITION_SLOTS;
    for (DWORD k = 0; definitions && k < count; ++k) {
      const MediaDefinition& definition = definitions[k];
      if (definition.defKind != kind) continue;
      // At most 0xFFFFFFFF / 10 + 1, so it fits a LONG.
      const LONG definitionLength = static_cast<LONG>(DefinitionLengthTenths(definition));
      if (!StrictlyWithin(length, definitionLength, kLengthTolerance)) continue;
      for (LONG i = 0;; ++i) {
        const MediaRecord* record = SectionRecord(sel, i);
        if (!record) break;
        if (record->mrPaperSize == definition.defPaperSize &&
            StrictlyWithin(record->mrWidth, width, kWidthTolerance)) {
          found = i;
          break;
        }
      }
    }
  }

  bool searched = false;
  LONG best = 0;
  if (hasWidth && found == -1) {
    best = SearchWidth(sel, width, kind);
    searched = true;
  }
  if (found == -1) found = searched ? best : 0;

  const MediaRecord* record = SectionRecord(sel, found);
  if (!record) return;
  if (!ApplyRecord(sel, *record, true, 0)) {
    if (hasLength) {
      const bool keepShort =
          KeepsShortLabels(sel, *record) && CountingBlockRequests(c.priv, XB_LENGTH);
      ClampLength(sel, *record, static_cast<DWORD>(length), keepShort);
    }
  }
  sel.result->dm.dmPaperLength = static_cast<SHORT>(sel.result->priv.privLength);
}

// The label length in tenths of a millimetre of a length in dots, rounded half up.
// Formed in 64 bits: a caller's dots times 100000 does not fit 32. The resolution is 360
// or 720, so the result stays below 2^32.
DWORD DotsToTenths(DWORD dots, LONG resolution) {
  const LONGLONG t = static_cast<LONGLONG>(dots) * 100000 / resolution * 254;
  LONGLONG tenths = t / 100000;
  if (t % 100000 > 50000) ++tenths;
  return static_cast<DWORD>(tenths);
}

// Case B: a paper size code of the table, or the per-user default when the lookup fell back.
void SelectPaperSizeCode(const Selection& sel, HANDLE printer, LONG mediaIndex) {
  SettingsRecord& s = *sel.result;
  PrivateSettings& c = sel.scratch->priv;
  const SHORT code = sel.scratch->dm.dmPaperSize;
  const MediaRecord* record = SectionRecord(sel, mediaIndex);
  if (!record) return;

  if (record->mrPaperSize != static_cast<WORD>(code)) {
    // The lookup fell back to another medium: the user's own default tape is a better
    // guess at what was meant, when there is a per-user record that can be trusted (its
    // media id names a record of the section this job looks in). It is taken whole: its
    // paper size with that record. Its length is held to the medium with every other
    // length once the merge is done.
    SettingsRecord* user = ReadUserSettings(printer, sel.modelData, c.privMediaBase);
    if (user) {
      s.dm.dmPaperSize = user->dm.dmPaperSize;
      s.dm.dmPaperWidth = user->dm.dmPaperWidth;
      s.dm.dmPaperLength = user->dm.dmPaperLength;
      c.privMediaId = user->priv.privMediaId;
      c.privMediaKind = user->priv.privMediaKind;
      c.privWidthMultiple = user->priv.privWidthMultiple;
      const MediaRecord* userRecord = MediaRecordAt(
          sel.modelData, static_cast<LONGLONG>(user->priv.privMediaBase) + mediaIndex);
      if (userRecord && userRecord->mrIndex != kSectionEnd && userRecord->mrKind == 0)
        c.privPlainMediaId = userRecord->mrIndex;
      c.privFormIndex = 0;
      GlobalFree(user);
      return;
    }
  } else {
    s.dm.dmPaperSize = code;
  }

  if (!ApplyRecord(sel, *record, true, 0)) {
    const bool keepShort = KeepsShortLabels(sel, *record);
    if (CountingBlockRequests(c, XB_LENGTH)) {
      c.privLengthDots = c.xbLength;
      s.priv.privLengthDots = c.xbLength;
      ClampLength(sel, *record, DotsToTenths(c.xbLength, ExchangeResolution(&sel.scratch->dm)),
                  keepShort);
    } else if (sel.scratch->dm.dmFields & DM_PAPERLENGTH) {
      ClampLength(sel, *record,
                  static_cast<DWORD>(static_cast<LONG>(sel.scratch->dm.dmPaperLength)), keepShort);
    }
  }
  s.dm.dmPaperLength = static_cast<SHORT>(s.priv.privLength);
}

// Case C: user-defined label k of the media definition file, on media record mediaIndex.
void SelectDefinition(const Selection& sel, LONG mediaIndex, LONG k,
                      const MediaDefinition* definitions, DWORD definitionCount) {
  if (!definitions || definitionCount == 0) return;
  if (k < 0 || static_cast<DWORD>(k) >= definitionCount || k >= MEDIA_DEFINITION_SLOTS) return;
  const MediaRecord* record = SectionRecord(sel, mediaIndex);
  if (!record) return;
  sel.result->dm.dmPaperSize = static_cast<SHORT>(USER_FORM_BASE + k);
  if (!ApplyRecord(sel, *record, false, static_cast<BYTE>(k + 1)))
    ClampLength(sel, *record, DefinitionLengthTenths(definitions[k]),
                KeepsShortLabels(sel, *record));
  sel.result->dm.dmPaperLength = static_cast<SHORT>(sel.result->priv.privLength);
}

}  // namespace

// Maps the scratch record's paper size request onto a medium, writing the size into result
// and the selection into scratch. Does nothing without a media table.
void SelectPaperSize(HANDLE printer, SettingsRecord* result, SettingsRecord* scratch,
                     const ModelData* modelData, const MediaDefinition* definitions,
                     DWORD definitionCount, WORD defaultPaperSize) {
  if (!result || !scratch || !modelData || !modelData->mediaTable) return;
  const Selection sel = {result, scratch, modelData,
                         static_cast<LONGLONG>(scratch->priv.privMediaBase)};
  if (scratch->dm.dmPaperSize == DMPAPER_USER) {
    SelectCustomSize(sel, definitions, definitionCount);
    return;
  }
  LONG mediaIndex = -1;
  LONG definitionIndex = -1;
  FindMediaIndex(printer, scratch, modelData, &mediaIndex, &definitionIndex, definitions,
                 definitionCount, defaultPaperSize);
  if (definitionIndex != -1)
    SelectDefinition(sel, mediaIndex, definitionIndex, definitions, definitionCount);
  else
    SelectPaperSizeCode(sel, printer, mediaIndex);
}
