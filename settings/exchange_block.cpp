// SPDX-License-Identifier: Apache-2.0
// The exchange block: an application's label requests applied to the scratch record before
// the merge, and the answer block written into the merged settings after it.
#include "settings/exchange_block.h"

#include "device/media_lookup.h"

namespace {

constexpr LONG kBaseResolution = 360;
constexpr LONG kHighResolution = 720;

// The base paper size codes: the single-width tapes that a width multiple moves.
constexpr LONG kBaseCodeFirst = 257;
constexpr LONG kBaseCodeLast = 262;

// The OR of the xbOptions bits whose option bytes are set (equal to 1).
DWORD OptionBits(const PrivateSettings& p) {
  DWORD bits = 0;
  if (p.privAutoCut == 1) bits |= XBO_AUTO_CUT;
  if (p.privMirror == 1) bits |= XBO_MIRROR;
  if (p.privHalfCut == 1) bits |= XBO_HALF_CUT;
  if (p.privChainPrint == 1) bits |= XBO_CHAIN_PRINT;
  if (p.privOpt800 == 1) bits |= XBO_OPT800;
  if (p.privOpt20000 == 1) bits |= XBO_RETAIN;
  if (p.privOpt40000 == 1) bits |= XBO_RETAIN_LINES;
  return bits;
}

// Sets every option byte to 1 when its xbOptions bit is set and to 0 otherwise.
void SetOptionBytes(PrivateSettings* p, DWORD bits) {
  p->privAutoCut = (bits & XBO_AUTO_CUT) ? 1 : 0;
  p->privMirror = (bits & XBO_MIRROR) ? 1 : 0;
  p->privHalfCut = (bits & XBO_HALF_CUT) ? 1 : 0;
  p->privChainPrint = (bits & XBO_CHAIN_PRINT) ? 1 : 0;
  p->privOpt800 = (bits & XBO_OPT800) ? 1 : 0;
  p->privOpt20000 = (bits & XBO_RETAIN) ? 1 : 0;
  p->privOpt40000 = (bits & XBO_RETAIN_LINES) ? 1 : 0;
}

// The media record the settings select, or null when the lookup gives none inside the
// table.
const MediaRecord* SelectedMedia(HANDLE printer, const SettingsRecord* settings,
                                 const ModelData* modelData, const MediaDefinition* definitions,
                                 DWORD definitionCount, WORD defaultPaperSize) {
  LONG mediaIndex = -1;
  LONG definitionIndex = -1;
  FindMediaIndex(printer, settings, modelData, &mediaIndex, &definitionIndex, definitions,
                 definitionCount, defaultPaperSize);
  if (mediaIndex < 0) return nullptr;
  return MediaRecordAt(modelData, static_cast<LONGLONG>(settings->priv.privMediaBase) + mediaIndex);
}

// Whole millimetres to dots at a resolution, rounded. Formed in 64 bits: a caller's
// margin word times 100000 does not fit 32 bits. The field keeps the low 16 bits.
WORD MillimetresToDots(WORD millimetres, LONG resolution) {
  const LONGLONG dots =
      (static_cast<LONGLONG>(millimetres) * 100000 / 254 * resolution + 5000) / 10000;
  return static_cast<WORD>(dots);
}

// The margin in whole millimetres as reported to applications: the dots rounded to the
// nearest millimetre, no more than the medium's greatest margin, so that a value read back
// and requested again is one the medium allows. Formed in 64 bits, since a margin of more
// than 845 dots times 2540000 overflows 32.
WORD ReportedMillimetres(WORD dots, LONG resolution, const MediaListEntry* entry) {
  const LONGLONG millimetres =
      (static_cast<LONGLONG>(dots) * 2540000 / resolution + 50000) / 100000;
  const LONGLONG most = MaxMarginTenths(entry) / 10;
  return static_cast<WORD>(millimetres > most ? most : millimetres);
}

}  // namespace

// The paper size offset of a width multiple; -1 outside 0..3. Codes of media with several
// labels across lie this far above the base code of their width.
LONG WidthMultipleOffset(DWORD widthMultiple) {
  return widthMultiple < 4 ? kWidthMultipleCodeOffset[widthMultiple] : -1;
}

// 720 when the record says 720, else 360 (a null record included): never 0.
LONG ExchangeResolution(const DEVMODEW* record) {
  if (record && record->dmYResolution == kHighResolution) return kHighResolution;
  return kBaseResolution;
}

// Turns the scratch record's own block into settings and fills in its unrequested values.
// Does nothing without a media table or a counting block.
void ApplyExchangeRequest(HANDLE printer, SettingsRecord* scratch, const ModelData* modelData,
                          const MediaDefinition* definitions, DWORD definitionCount,
                          WORD defaultPaperSize) {
  if (!scratch || !modelData || !modelData->mediaTable) return;
  PrivateSettings& p = scratch->priv;
  if (p.xbSize != EXCHANGE_BLOCK_SIZE) return;
  const WORD request = p.xbRequest;

  if (request & XB_OPTIONS)
    SetOptionBytes(&p, p.xbOptions);
  else
    p.xbOptions = OptionBits(p);

  LONG offset = 0;
  if (request & XB_WIDTH_MULTIPLE) {
    const WORD wanted = p.xbWidthMultiple;
    p.privWidthMultiple = (wanted >= 2 && wanted <= 4) ? static_cast<BYTE>(wanted - 1) : 0;
    offset = WidthMultipleOffset(p.privWidthMultiple);
  } else {
    const LONG known = WidthMultipleOffset(p.privWidthMultiple);
    if (known >= 0) {
      p.xbWidthMultiple = static_cast<WORD>(p.privWidthMultiple + 1);
      offset = known;
    } else {
      p.xbWidthMultiple = 1;
    }
  }

  // A requested base code names the tape of its width; the multiple moves it to the code
  // of the wider media. The lookup below must see the code the request settles on.
  if (request & XB_PAPER_SIZE) {
    LONG code = p.xbPaperSize;
    if (code >= kBaseCodeFirst && code <= kBaseCodeLast) code += offset;
    scratch->dm.dmPaperSize = static_cast<SHORT>(code);
  }

  const MediaRecord* media =
      SelectedMedia(printer, scratch, modelData, definitions, definitionCount, defaultPaperSize);

  if (!(request & XB_PAPER_SIZE)) {
    const LONG code = scratch->dm.dmPaperSize;
    if (code == DMPAPER_USER) {
      if (media) p.xbPaperSize = static_cast<WORD>(media->mrPaperSize - offset);
    } else if (code >= USER_FORM_BASE &&
               static_cast<LONGLONG>(code) <
                   USER_FORM_BASE + static_cast<LONGLONG>(definitionCount)) {
      // Only the first 20 definitions have base codes to report; the rest keep the block's.
      const LONG k = code - USER_FORM_BASE;
      if (definitions && k < 20 && k < MEDIA_DEFINITION_SLOTS)
        p.xbPaperSize = static_cast<WORD>(static_cast<WORD>(definitions[k].defPaperSize) - offset);
    } else {
      p.xbPaperSize = static_cast<WORD>(code - offset);
    }
  }

  const LONG resolution = ExchangeResolution(&scratch->dm);
  if (request & XB_MARGIN_MM) {
    p.privMarginInDots = 0;
    p.privMargin = MillimetresToDots(p.xbMargin, resolution);
  }
  if (request & XB_MARGIN_DOTS) {
    p.privMarginInDots = 1;
    p.privMargin = p.xbMargin;
  } else if (p.privMarginInDots == 1) {
    p.xbReport = static_cast<WORD>((p.xbReport & ~XB_MARGIN_MM) | XB_MARGIN_DOTS);
    p.xbMargin = p.privMargin;
  } else {
    p.xbReport = static_cast<WORD>((p.xbReport & ~XB_MARGIN_DOTS) | XB_MARGIN_MM);
    p.xbMargin = ReportedMillimetres(p.privMargin, resolution, media ? &media->mrEntry : nullptr);
  }

  if (p.privMediaKind == 0 && media) {
    p.privMediaId = media->mrIndex;
    p.privPlainMediaId = media->mrIndex;
  }
}

// Writes the answer block into result from the caller's block in scratch. Does nothing
// without a media table; without a counting caller block, result keeps the block the merge
// left in it.
void BuildExchangeAnswer(HANDLE printer, SettingsRecord* scratch, SettingsRecord* result,
                         const ModelData* modelData, const MediaDefinition* definitions,
                         DWORD definitionCount, WORD defaultPaperSize) {
  if (!scratch || !result || !modelData || !modelData->mediaTable) return;
  const PrivateSettings& c = scratch->priv;
  if (c.xbSize != EXCHANGE_BLOCK_SIZE) return;
  // A media type of the application's own asks for plain (kind 0) media: every match of
  // the lookup, a custom size's too, is made among them, as the job's will be.
  if (c.xbRequest & XB_MEDIA_TYPE) scratch->priv.privMediaKind = 0;
  const MediaRecord* media =
      SelectedMedia(printer, scratch, modelData, definitions, definitionCount, defaultPaperSize);
  const MediaListEntry* entry = media ? &media->mrEntry : nullptr;

  PrivateSettings& s = result->priv;
  const WORD request = c.xbRequest;
  WORD answer = 0;
  WORD report = XB_PAPER_SIZE | XB_MEDIA_TYPE;
  s.xbSize = EXCHANGE_BLOCK_SIZE;

  if (request & XB_PAPER_SIZE) {
    answer |= XB_PAPER_SIZE;
    s.xbPaperSize = c.xbPaperSize;
  } else {
    const LONG offset = media ? WidthMultipleOffset(media->mrWidthMultiple) : -1;
    s.xbPaperSize = offset >= 0 ? static_cast<WORD>(media->mrPaperSize - offset)
                                : static_cast<WORD>(scratch->dm.dmPaperSize);
  }

  if (request & XB_MEDIA_TYPE) {
    answer |= XB_MEDIA_TYPE;
    s.xbMediaType = c.xbMediaType;
    s.privMediaKind = 0;
  } else {
    s.xbMediaType = 0;
  }

  // The margin in force is in dots at the merged record's resolution, which differs from
  // the caller's when 720 dots per inch was asked for and refused; conversions of it use
  // the merged resolution, and the caller's dots are scaled from the caller's. A caller's
  // resolution counts only when its record asks for it (DM_YRESOLUTION).
  const LONG resolution = ExchangeResolution(&result->dm);
  const LONG callerResolution =
      (scratch->dm.dmFields & DM_YRESOLUTION) ? ExchangeResolution(&scratch->dm) : kBaseResolution;
  if (request & XB_MARGIN_MM) {
    answer |= XB_MARGIN_MM;
    report |= XB_MARGIN_MM;
    s.privMarginInDots = 0;
    s.privMargin = MillimetresToDots(c.xbMargin, resolution);
    s.xbMargin = ReportedMillimetres(s.privMargin, resolution, entry);
  }
  if (request & XB_MARGIN_DOTS) {
    // Dots win over millimetres; the report names the one unit xbMargin now holds.
    report = static_cast<WORD>((report & ~XB_MARGIN_MM) | XB_MARGIN_DOTS);
    s.privMarginInDots = 1;
    s.privMargin = static_cast<WORD>(static_cast<LONG>(c.xbMargin) * resolution / callerResolution);
    s.xbMargin = s.privMargin;
  } else if (c.privMarginInDots == 1) {
    report |= XB_MARGIN_DOTS;
    s.xbMargin = s.privMargin;
  } else {
    report = static_cast<WORD>((report & ~XB_MARGIN_DOTS) | XB_MARGIN_MM);
    s.xbMargin = ReportedMillimetres(s.privMargin, resolution, entry);
  }

  report |= XB_WIDTH_MULTIPLE;
  if (request & XB_WIDTH_MULTIPLE) {
    answer |= XB_WIDTH_MULTIPLE;
    s.xbWidthMultiple = c.xbWidthMultiple;
    s.privWidthMultiple = (c.xbWidthMultiple <= 1 || !media) ? 0 : media->mrWidthMultiple;
  } else {
    s.xbWidthMultiple = WidthMultipleOffset(s.privWidthMultiple) >= 0
                            ? static_cast<WORD>(s.privWidthMultiple + 1)
                            : 1;
  }

  // A die-cut label's length is its own: a requested length is not echoed over it.
  report |= XB_LENGTH;
  if (request & XB_LENGTH) {
    answer |= XB_LENGTH;
    if (!media || media->mrLengthDots == 0) s.xbLength = s.privLengthDots;
  } else {
    s.xbLength = s.privLengthDots;
  }

  report |= XB_OPTIONS;
  if (request & XB_OPTIONS) {
    answer |= XB_OPTIONS;
    s.xbOptions = c.xbOptions;
    SetOptionBytes(&s, c.xbOptions);
  } else {
    s.xbOptions = OptionBits(s);
  }

  if (request & XB_ECHO) answer |= XB_ECHO;
  s.xbRequest = answer;
  s.xbReport = report;
}
