// SPDX-License-Identifier: Apache-2.0
// The media lookup: which MediaRecord (and which media definition) a settings record
// means, falling back step by step so that it never fails; and the printable area in dots
// and micrometres that the engine is told about.
#include "device/media_lookup.h"

#include <cstdint>

#include "context/device_context.h"
#include "device/printer_data.h"

namespace {

constexpr WORD kTerminatorKey = 0xFFFF;  // mrPaperSize and mrIndex of the terminator
constexpr LONG kNone = -1;

// Tolerances of a custom size against a tape, tenths of a millimetre (exclusive).
constexpr LONG kLengthTolerance = 8;
constexpr LONG kWidthTolerance = 11;

// The width search compares multiples against this record of the section at first.
constexpr LONG kFirstReference = 7;

constexpr SHORT kSmallCharResolution = 720;

LONG Distance(LONG a, LONG b) { return a > b ? a - b : b - a; }

// Record i of the section from base, for the custom size match: null at the terminator
// (mrIndex 0xFFFF) or past the table's end.
const MediaRecord* SectionRecord(const ModelData* modelData, DWORD base, LONG i) {
  const MediaRecord* record = MediaRecordAt(modelData, static_cast<LONGLONG>(base) + i);
  return record && record->mrIndex != kTerminatorKey ? record : nullptr;
}

// The first record of the section from base with this kind and paper size code, as a
// position from base; -1 when there is none. The records are walked in place, as far as
// the table goes (its terminator included), rather than each fetched through its bounds:
// every lookup of a context scans a section several times.
LONG ScanForPaperSize(const ModelData* modelData, DWORD base, BYTE kind, WORD code) {
  const MediaRecord* section = MediaRecordAt(modelData, base);
  if (!section) return kNone;
  const LONGLONG records = static_cast<LONGLONG>(modelData->mediaCount) - base + 1;
  for (LONGLONG i = 0; i < records; ++i) {
    const MediaRecord& record = section[i];
    if (record.mrPaperSize == kTerminatorKey) return kNone;
    if (record.mrKind == kind && record.mrPaperSize == code) return static_cast<LONG>(i);
  }
  return kNone;
}

// The index of a definition inside the block.
LONG DefinitionIndex(const MediaDefinition* definitions, const MediaDefinition* definition) {
  return static_cast<LONG>(definition - definitions);
}

// The lookup by the printer's per-user default settings record: its paper size, scanned
// with the job's kind (a custom size is matched as the record itself describes it). Only
// a record of the job's own section is used, so the position it gives is one every caller
// reads from the job's base. -1 when the record is absent, untrusted or matches nothing.
LONG LookUpUserDefault(HANDLE printer, const ModelData* modelData, BYTE kind, DWORD jobBase,
                       LONG* definition, const MediaDefinition* definitions,
                       DWORD definitionCount) {
  SettingsRecord* user = ReadUserSettings(printer, modelData, jobBase);
  if (!user) return kNone;

  const SHORT userCode = user->dm.dmPaperSize;
  LONG found = ScanForPaperSize(modelData, jobBase, kind, static_cast<WORD>(userCode));
  if (found < 0 && userCode == DMPAPER_USER) {
    LONG custom = kNone;
    if (MatchCustomSize(user, modelData, &custom, definitions, definitionCount)) found = custom;
  }
  if (found < 0) {
    const MediaDefinition* userDefinition =
        DefinitionForPaperSize(definitions, definitionCount, userCode);
    if (userDefinition) {
      *definition = DefinitionIndex(definitions, userDefinition);
      found = ScanForPaperSize(modelData, jobBase, kind,
                               static_cast<WORD>(userDefinition->defPaperSize));
    }
  }
  GlobalFree(user);
  if (found < 0) *definition = kNone;
  return found;
}

// The whole fallback chain of the lookup for a settings record; always a position.
LONG LookUpMedia(HANDLE printer, const SettingsRecord* settings, const ModelData* modelData,
                 LONG* definition, const MediaDefinition* definitions, DWORD definitionCount,
                 WORD fallbackPaperSize) {
  const PrivateSettings& priv = settings->priv;
  BYTE kind = priv.privMediaKind;
  // An application that names its own media type asks for the plain (kind 0) media.
  if (priv.xbSize == EXCHANGE_BLOCK_SIZE && (priv.xbRequest & XB_MEDIA_TYPE) != 0) kind = 0;
  const DWORD base = priv.privMediaBase;
  const SHORT code = settings->dm.dmPaperSize;
  *definition = kNone;

  LONG found = ScanForPaperSize(modelData, base, kind, static_cast<WORD>(code));
  if (found >= 0) return found;

  if (code == DMPAPER_USER &&
      MatchCustomSize(settings, modelData, &found, definitions, definitionCount))
    return found;

  const MediaDefinition* definitionRecord =
      DefinitionForPaperSize(definitions, definitionCount, code);
  if (definitionRecord) {
    *definition = DefinitionIndex(definitions, definitionRecord);
    found = ScanForPaperSize(modelData, base, kind,
                             static_cast<WORD>(definitionRecord->defPaperSize));
    if (found >= 0) return found;
  }

  *definition = kNone;
  found = LookUpUserDefault(printer, modelData, kind, base, definition, definitions,
                            definitionCount);
  if (found >= 0) return found;

  *definition = kNone;
  found = ScanForPaperSize(modelData, base, kind, fallbackPaperSize);
  if (found >= 0) return found;
  found = ScanForPaperSize(modelData, base, kind, kLastResortPaperSize);
  if (found >= 0) return found;
  return 0;
}

}  // namespace

// Looks up the medium of settings; writes nothing when there is no MediaTable. A missing
// settings record gets the last resort, record 0 without a definition.
void FindMediaIndex(HANDLE printer, const SettingsRecord* settings, const ModelData* modelData,
                    LONG* mediaIndex, LONG* definitionIndex,
                    const MediaDefinition* definitions, DWORD definitionCount,
                    WORD fallbackPaperSize) {
  if (!modelData || !modelData->mediaTable) return;
  LONG definition = kNone;
  LONG media = 0;
  if (settings) {
    media = LookUpMedia(printer, settings, modelData, &definition, definitions, definitionCount,
                        fallbackPaperSize);
  }
  if (mediaIndex) *mediaIndex = media;
  if (definitionIndex) *definitionIndex = definition;
}

// Matches a custom size: a label within the tolerances, a label of a media definition, or
// the narrowest continuous tape at least as wide. FALSE, with mediaIndex untouched, when
// nothing fits or the size gives no width.
BOOL MatchCustomSize(const SettingsRecord* settings, const ModelData* modelData,
                     LONG* mediaIndex, const MediaDefinition* definitions,
                     DWORD definitionCount) {
  if (!settings || !modelData || !modelData->mediaTable || !mediaIndex) return FALSE;
  const DEVMODEW& dm = settings->dm;
  // Every match compares the width, so a size without one matches nothing.
  if ((dm.dmFields & DM_PAPERWIDTH) == 0) return FALSE;
  const BYTE kind = settings->priv.privMediaKind;
  const DWORD base = settings->priv.privMediaBase;
  const LONG length = dm.dmPaperLength;
  const LONG width = dm.dmPaperWidth;

  if ((dm.dmFields & DM_PAPERLENGTH) != 0) {
    for (LONG i = 0;; ++i) {
      const MediaRecord* record = SectionRecord(modelData, base, i);
      if (!record) break;
      if (record->mrKind == kind && Distance(length, record->mrLength) < kLengthTolerance &&
          Distance(width, record->mrWidth) < kWidthTolerance) {
        *mediaIndex = i;
        return TRUE;
      }
    }

    // The block has 23 slots whatever count a caller holds.
    DWORD count = definitions ? definitionCount : 0;
    if (count > MEDIA_DEFINITION_SLOTS) count = MEDIA_DEFINITION_SLOTS;
    for (DWORD j = 0; j < count; ++j) {
      const MediaDefinition& definition = definitions[j];
      if (definition.defKind != kind) continue;
      // The definition's length in tenths, as a 16-bit value like the requested one.
      const SHORT definitionLength = static_cast<SHORT>(DefinitionLengthTenths(definition));
      if (Distance(length, definitionLength) >= kLengthTolerance) continue;
      for (LONG i = 0;; ++i) {
        const MediaRecord* record = SectionRecord(modelData, base, i);
        if (!record) break;
        if (static_cast<LONG>(static_cast<SHORT>(record->mrPaperSize)) ==
                static_cast<LONG>(definition.defPaperSize) &&
            Distance(width, record->mrWidth) < kWidthTolerance) {
          *mediaIndex = i;
          return TRUE;
        }
      }
    }
  }

  // Widths that are multiples of a single tape only count against the reference they are
  // multiples of. The reference starts at record 7; a section that ends before it has
  // none yet (0 dots, so no multiple counts) until a wider single tape takes its place.
  LONG referenceDots = 0;
  for (LONG i = 0; i <= kFirstReference; ++i) {
    const MediaRecord* record = SectionRecord(modelData, base, i);
    if (!record) break;
    if (i == kFirstReference) referenceDots = record->mrPrintWidthDots;
  }

  LONG best = kNone;
  LONG bestWidth = 0;
  for (LONG i = 0;; ++i) {
    const MediaRecord* record = SectionRecord(modelData, base, i);
    if (!record) break;
    if (record->mrLength != 0 || record->mrKind != kind) continue;
    const LONG multiple = record->mrWidthMultiple;
    const LONG dots = record->mrPrintWidthDots;
    if (multiple == 0 && Distance(width, record->mrWidth) < kWidthTolerance) {
      *mediaIndex = i;
      return TRUE;
    }
    bool takesPart = true;
    if (multiple != 0) {
      takesPart = referenceDots != 0 && dots % referenceDots == 0 &&
                  dots / referenceDots == multiple + 1;
    } else if (dots > referenceDots) {
      referenceDots = dots;
    }
    if (takesPart && record->mrWidth >= width && (best < 0 || record->mrWidth < bestWidth)) {
      best = i;
      bestWidth = record->mrWidth;
    }
  }
  if (best < 0) return FALSE;
  *mediaIndex = best;
  return TRUE;
}

// Computes the printable area of the context's settings on media m (from privMediaBase)
// with definition d. FALSE when m names no record or a resolution is not positive.
BOOL ComputePrintableArea(const DeviceContext* context, LONG mediaIndex, LONG definitionIndex,
                          PrintableArea* area) {
  if (!context || !area || mediaIndex < 0) return FALSE;
  const DEVMODEW& dm = context->settings.dm;
  const PrivateSettings& priv = context->settings.priv;
  const MediaRecord* rec = MediaRecordAt(&context->modelData,
                                         static_cast<LONGLONG>(priv.privMediaBase) + mediaIndex);
  if (!rec || rec->mrIndex == kTerminatorKey) return FALSE;

  // Every rule below divides by one of these; all come from data.
  const LONG Q = dm.dmPrintQuality;
  const LONG Y = dm.dmYResolution;
  const LONG S = context->scaledResolution;
  if (Q <= 0 || Y <= 0 || S <= 0) return FALSE;
  const DWORD R = static_cast<DWORD>(S) * static_cast<DWORD>(Y) / static_cast<DWORD>(Q);
  if (R == 0) return FALSE;

  const MediaDefinition* def = nullptr;
  if (definitionIndex >= 0 && context->mediaDefinitions &&
      static_cast<DWORD>(definitionIndex) < context->mediaDefinitionCount &&
      definitionIndex < MEDIA_DEFINITION_SLOTS)
    def = &context->mediaDefinitions[definitionIndex];
  const bool doubled = priv.privSmallChar == 1 && Y == kSmallCharResolution;

  // Across the tape.
  LONG acrossDots = rec->mrPrintWidthDots;
  LONG acrossMargin = rec->mrMarginDots;
  if (doubled) {
    acrossDots *= 2;
    acrossMargin *= 2;
  }
  const LONG acrossPhysical = rec->mrWidthDots;
  const ULONG acrossSize = 0u - 100u * static_cast<ULONG>(static_cast<LONG>(rec->mrPrintWidth));

  // Along the tape: the margin in dots and in whole millimetres.
  const bool label = rec->mrLengthDots != 0;
  LONG marginDots = 0;
  LONG marginMillimetres = 0;
  if (label) {
    const LONG half = (static_cast<LONG>(rec->mrLengthDots) - rec->mrPrintLengthDots + 1) / 2;
    marginDots = static_cast<LONG>(static_cast<DWORD>(half) * R / static_cast<DWORD>(S));
    marginMillimetres = (static_cast<LONG>(rec->mrLength) - rec->mrPrintLength + 10) / 20;
  } else {
    // Formed in 64 bits: a margin of more than 1690 dots times 2540000 overflows 32.
    marginDots = priv.privMargin;
    marginMillimetres = static_cast<LONG>(
        (static_cast<uint64_t>(priv.privMargin) * 2540000u / R + 50000u) / 100000u);
  }
  if (def && rec->mrLength == 0) {
    marginMillimetres = static_cast<LONG>(DefinitionMarginMillimetres(*def));
    marginDots = static_cast<LONG>(DefinitionMarginDots(*def, static_cast<DWORD>(Y)));
  }

  // Along the tape: the length in tenths less both margins, when it holds them.
  LONG lengthTenths = static_cast<LONG>(priv.privLength);
  if (def) lengthTenths = static_cast<LONG>(DefinitionLengthTenths(*def));
  if (rec->mrLength != 0) lengthTenths = rec->mrLength;
  const LONGLONG bothMargins = 20LL * marginMillimetres;
  if (bothMargins <= lengthTenths) lengthTenths -= static_cast<LONG>(bothMargins);
  const ULONG alongSize = 0u - 100u * static_cast<ULONG>(lengthTenths);

  // Along the tape: printable and physical dots.
  const DWORD twoMargins = 2u * static_cast<DWORD>(marginDots);
  DWORD alongDots = 0;
  DWORD alongPhysical = 0;
  if (label) {
    alongDots = static_cast<DWORD>(static_cast<LONG>(rec->mrPrintLengthDots)) * R /
                static_cast<DWORD>(S);
    alongPhysical = static_cast<DWORD>(static_cast<LONG>(rec->mrLengthDots));
  } else {
    DWORD length = priv.privLengthDots - twoMargins;
    // A length the application asked for in the exchange block counts, unless it is
    // within a dot of the settled one.
    if (priv.xbSize == EXCHANGE_BLOCK_SIZE && (priv.xbRequest & XB_LENGTH) != 0 &&
        priv.xbLength > twoMargins &&
        !(priv.xbLength - 2 < priv.privLengthDots && priv.privLengthDots < priv.xbLength + 2))
      length = priv.xbLength - twoMargins;
    alongDots = length + 1;
    alongPhysical = alongDots + twoMargins;
  }

  // A tape with no printable width, or a length inside its two margins (a stored record's
  // length of 0, say), leaves the engine nothing to draw on: refuse it rather than report
  // a wrapped resolution. A length of exactly both margins still prints its one line.
  if (acrossDots <= 0 || static_cast<LONG>(alongDots) <= 0) return FALSE;

  const bool landscape = dm.dmOrientation == DMORIENT_LANDSCAPE;
  area->horzSize = landscape ? alongSize : acrossSize;
  area->vertSize = landscape ? acrossSize : alongSize;
  area->horzRes = landscape ? alongDots : static_cast<ULONG>(acrossDots);
  area->vertRes = landscape ? static_cast<ULONG>(acrossDots) : alongDots;
  area->physOffset.x = landscape ? marginDots : acrossMargin / 2;
  area->physOffset.y = landscape ? acrossMargin / 2 : marginDots;
  area->physSize.cx = landscape ? static_cast<LONG>(alongPhysical) : acrossPhysical;
  area->physSize.cy = landscape ? acrossPhysical : static_cast<LONG>(alongPhysical);
  return TRUE;
}
