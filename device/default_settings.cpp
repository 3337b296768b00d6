// SPDX-License-Identifier: Apache-2.0
// The default settings record: fixed defaults, the code page and measurement system, the
// model's own defaults and default tape, then the installation's stored default options.
#include "device/default_settings.h"

#include <cstdint>
#include <cstring>

namespace {

// The form name of the default tape, for users of metric and of inch units.
constexpr WCHAR kDefaultFormName[] = WIDE("VK 24mm (RFID)");
constexpr WCHAR kDefaultFormNameInch[] = WIDE("VK 1\" (RFID)");

constexpr SHORT kDefaultResolution = 360;
constexpr WORD kDefaultExchangeReport = 0x3F;
constexpr DWORD kDefaultExchangeOptions = XBO_AUTO_CUT | XBO_HALF_CUT;

// LOCALE_IMEASURE is "0" (metric) or "1" (US); the buffer leaves room for a longer answer.
constexpr int kMeasureUnits = 10;

// Kind codes of media whose labels have a fixed length on every model.
constexpr SHORT kFixedLengthKinds[] = {5, 8, 11};

// The resource library lives in the "3" subdirectory of the printer driver directory.
constexpr WCHAR kResourceSubdirectory[] = WIDE("3\\");
constexpr WCHAR kTranslationKey[] = WIDE("\\VarFileInfo\\Translation");
constexpr WORD kUsEnglish = 0x0409;
constexpr WORD kUnicodeCodePage = 0x04B0;

// The 4 millimetres of feed margin in dots at a resolution: 15748 is 4 mm in 1/100000 inch.
LONG FeedMarginDots(SHORT resolution) {
  return (static_cast<LONG>(resolution) * 15748 + 50000) / 100000;
}

// A resolution from the model record; 0 means the record gives none, and every later
// conversion divides by it.
SHORT ModelResolution(WORD value) {
  return value == 0 ? kDefaultResolution : static_cast<SHORT>(value);
}

// xbOptions kept in step with an option byte: the bit is set when the byte is non-zero
// and cleared when it is 0.
DWORD InStep(DWORD xbOptions, DWORD bit, BYTE value) {
  return value != 0 ? xbOptions | bit : xbOptions & ~bit;
}

// The length of a NUL-terminated wide string, at most limit units read.
DWORD WideLength(const WCHAR* text, DWORD limit) {
  DWORD length = 0;
  while (length < limit && text[length] != 0) ++length;
  return length;
}

// Applies the media list entry with this key, when the list has one. TRUE when the entry
// brought its own label length.
bool ApplyMediaByKey(DEVMODEW* publicPart, PrivateSettings* privatePart,
                     const ModelData* modelData, WORD paperSize) {
  const MediaListEntry* entry = nullptr;
  LONG index = FindMediaEntry(modelData, &entry, paperSize);
  if (index < 0 || static_cast<DWORD>(index) >= modelData->mediaCount || !entry) return false;
  const BYTE modelType = modelData->modelRecord->moType;
  ApplyMediaEntry(publicPart, privatePart, entry, index, modelType);
  return HasFixedLength(entry, modelType) && entry->meLength > 0;
}

// The stored length in dots as dmPaperLength in tenths of a millimetre, (dots x 25400 /
// dmPrintQuality + 50) / 100, held within the limits of the tape in force (the media list
// entry of privMediaId): outside them the length becomes the nearest limit, in tenths and
// in dots at dmYResolution. Formed in 64 bits, since dots x 25400 overflows 32 beyond
// 169093 dots. Without a resolution the length has no size in tenths and stays as it is.
void ApplyDefaultLength(DEVMODEW* publicPart, PrivateSettings* privatePart,
                        const ModelData* modelData) {
  const DWORD quality = static_cast<DWORD>(static_cast<LONG>(publicPart->dmPrintQuality));
  if (quality == 0) return;
  const uint64_t tenths =
      (static_cast<uint64_t>(privatePart->privLengthDots) * 25400 / quality + 50) / 100;
  const DWORD given = tenths > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<DWORD>(tenths);
  const MediaListEntry* entry = privatePart->privMediaId < modelData->mediaCount
                                    ? &modelData->mediaList[privatePart->privMediaId]
                                    : nullptr;
  const DWORD bounded = BoundedLengthTenths(entry, given, FALSE);
  publicPart->dmPaperLength = static_cast<SHORT>(bounded);
  if (bounded == given) return;
  const DWORD resolution = static_cast<DWORD>(static_cast<LONG>(publicPart->dmYResolution));
  privatePart->privLengthDots = LengthTenthsToDots(bounded, resolution);
  privatePart->xbLength = privatePart->privLengthDots;
}

}  // namespace

// Writes the complete default record into settings; cannot fail, every step that cannot
// run leaves what the earlier steps wrote.
void BuildDefaultSettings(SettingsRecord* settings, LPCWSTR deviceName,
                          const ModelData* modelData, HANDLE printer) {
  if (!settings) return;
  std::memset(settings, 0, sizeof(*settings));
  DEVMODEW& dm = settings->dm;
  PrivateSettings& priv = settings->priv;
  if (deviceName) CopyWideBounded(dm.dmDeviceName, deviceName, CCHDEVICENAME);

  dm.dmSpecVersion = SETTINGS_SPEC_VERSION;
  dm.dmDriverVersion = SETTINGS_DRIVER_VERSION;
  dm.dmSize = SETTINGS_PUBLIC_SIZE;
  dm.dmDriverExtra = SETTINGS_PRIVATE_SIZE;
  dm.dmFields = kSettingsDefaultFields;
  dm.dmOrientation = DMORIENT_LANDSCAPE;
  dm.dmPaperSize = kLastResortPaperSize;
  dm.dmPaperLength = 1000;
  dm.dmPaperWidth = 240;
  dm.dmScale = 100;
  dm.dmCopies = 1;
  dm.dmPrintQuality = kDefaultResolution;
  dm.dmColor = DMCOLOR_MONOCHROME;
  dm.dmDuplex = DMDUP_SIMPLEX;
  dm.dmYResolution = kDefaultResolution;
  dm.dmTTOption = DMTT_SUBDEV;
  dm.dmCollate = 0;
  CopyWideBounded(dm.dmFormName, kDefaultFormName, CCHFORMNAME);

  priv.privSignature = PRIV_SIGNATURE;
  UINT codePage = AnsiCodePage();
  priv.privFlags = PRIVF_JOURNAL;
  if (codePage == kWesternCodePage || IsEastAsianCodePage(codePage))
    priv.privFlags |= PRIVF_LATIN_OR_EAST_ASIAN;
  priv.privFlags |= PRIVF_DEFAULT;
  priv.privColorAdjustment.caSize = sizeof(COLORADJUSTMENT);
  priv.privColorAdjustment.caRedGamma = 10000;
  priv.privColorAdjustment.caGreenGamma = 10000;
  priv.privColorAdjustment.caBlueGamma = 10000;
  priv.privColorAdjustment.caReferenceWhite = 10000;
  priv.privHalftone = kToneErrorDiffusion;
  priv.privLengthDots = 1417;
  priv.privLength = 1000;
  priv.privAutoCut = 1;
  priv.privHalfCut = 1;
  priv.privMarginInDots = 1;
  priv.privMargin = static_cast<WORD>(FeedMarginDots(dm.dmYResolution));

  WCHAR measure[kMeasureUnits] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IMEASURE, measure, kMeasureUnits) > 0 &&
      measure[0] == u'1') {
    priv.privInchUnits = 1;
    CopyWideBounded(dm.dmFormName, kDefaultFormNameInch, CCHFORMNAME);
  }

  priv.privSmallChar = 0;
  priv.privMediaBase = 0;
  priv.privUseMonitor = 1;
  priv.privOpt20000 = 0;
  priv.privOpt40000 = 0;
  priv.privHighResAllowed = ResourceLanguageFlag();

  priv.xbSize = EXCHANGE_BLOCK_SIZE;
  priv.xbRequest = 0;
  priv.xbReport = kDefaultExchangeReport;
  priv.xbPaperSize = kLastResortPaperSize;
  priv.xbMediaType = 0;
  priv.xbMargin = 57;
  priv.xbWidthMultiple = 1;
  priv.xbLength = 1417;
  priv.xbOptions = kDefaultExchangeOptions;
  std::memcpy(priv.xbTag, "VQNZ", sizeof(priv.xbTag));

  ApplyModelDefaults(settings, modelData);

  DefaultOptions options = {};
  options.optSize = DEFAULT_OPTIONS_SIZE;
  if (ReadDefaultOptions(settings, printer, modelData, &options))
    ApplyDefaultOptions(&dm, &priv, modelData, &options);
}

// Applies the model record's defaults and default tape to settings, all together or (no
// model data, no memory for the working copies) not at all.
void ApplyModelDefaults(SettingsRecord* settings, const ModelData* modelData) {
  if (!settings || !modelData || !modelData->modelRecord || !modelData->mediaList) return;
  const ModelRecord& model = *modelData->modelRecord;

  // The changes are made on working copies in a heap of our own and written back only
  // once all of them are made.
  HANDLE heap = HeapCreate(0, 0, 0);
  if (!heap) return;
  auto* dm = static_cast<DEVMODEW*>(HeapAlloc(heap, 0, sizeof(DEVMODEW)));
  auto* priv = static_cast<PrivateSettings*>(HeapAlloc(heap, 0, sizeof(PrivateSettings)));
  if (dm && priv) {
    *dm = settings->dm;
    *priv = settings->priv;

    CopyWideBounded(dm->dmDeviceName, model.moName, CCHDEVICENAME);
    dm->dmPaperLength = model.moDefaultLength;
    priv->privLength = static_cast<DWORD>(static_cast<LONG>(model.moDefaultLength));
    priv->privLengthDots = static_cast<DWORD>(static_cast<LONG>(model.moDefaultLengthDots));
    priv->xbLength = priv->privLengthDots;
    ApplyMediaByKey(dm, priv, modelData, model.moDefaultPaperSize);
    dm->dmPrintQuality = ModelResolution(model.moDefaultPrintQuality);
    dm->dmYResolution = ModelResolution(model.moDefaultYResolution);
    CopyWideBounded(dm->dmFormName, kDefaultFormName, CCHFORMNAME);

    settings->dm = *dm;
    settings->priv = *priv;
  }
  HeapDestroy(heap);
}

// Applies the stored default options, mask by mask in their fixed order; nothing when any
// argument or the model data is missing or the block is not a full one.
void ApplyDefaultOptions(DEVMODEW* publicPart, PrivateSettings* privatePart,
                         const ModelData* modelData, const DefaultOptions* options) {
  if (!publicPart || !privatePart || !modelData || !options) return;
  if (!modelData->modelRecord || !modelData->mediaList) return;
  if (options->optSize != DEFAULT_OPTIONS_SIZE) return;
  if (options->optMask == 0 && options->optExtra == 0) return;

  const DWORD mask = options->optMask;
  DEVMODEW& dm = *publicPart;
  PrivateSettings& priv = *privatePart;

  // The length comes before the media entry, so that a fixed-length tape overrides it;
  // any other tape is the one whose limits hold the length.
  if (mask & DOM_LENGTH) {
    priv.privLengthDots = options->optLengthDots;
    priv.xbLength = options->optLengthDots;
  }
  const bool ownLength =
      (mask & DOM_PAPER_SIZE) && ApplyMediaByKey(&dm, &priv, modelData, options->optPaperSize);
  if ((mask & DOM_LENGTH) && !ownLength) ApplyDefaultLength(&dm, &priv, modelData);
  if (mask & DOM_MIRROR) {
    priv.privMirror = options->optMirror;
    priv.xbOptions = InStep(priv.xbOptions, XBO_MIRROR, options->optMirror);
  }
  if (mask & DOM_COLLATE) {
    priv.privCollate = options->optCollate;
    dm.dmCollate = options->optCollate != 0 ? 1 : 0;
  }
  if (mask & DOM_HALFTONE) priv.privHalftone = options->optHalftone;
  if (mask & DOM_CONTRAST) priv.privContrast = static_cast<signed char>(options->optContrast);
  if (mask & DOM_BRIGHTNESS) priv.privBrightness = static_cast<signed char>(options->optBrightness);
  if (mask & DOM_AUTO_CUT) {
    priv.privAutoCut = options->optAutoCut;
    priv.xbOptions = InStep(priv.xbOptions, XBO_AUTO_CUT, options->optAutoCut);
  }
  if (mask & DOM_JOB_OPTION) priv.privJobOption = options->optJobOption;
  if (mask & DOM_HALF_CUT) {
    priv.privHalfCut = options->optHalfCut;
    priv.xbOptions = InStep(priv.xbOptions, XBO_HALF_CUT, options->optHalfCut);
  }
  if (mask & DOM_USE_MONITOR) priv.privUseMonitor = options->optUseMonitor;
  if (mask & DOM_CHAIN_PRINT) {
    priv.privChainPrint = options->optChainPrint;
    priv.xbOptions = InStep(priv.xbOptions, XBO_CHAIN_PRINT, options->optChainPrint);
  }
  if (mask & DOM_OPT800) {
    priv.privOpt800 = options->optOpt800;
    priv.xbOptions = InStep(priv.xbOptions, XBO_OPT800, options->optOpt800);
  }
  if (mask & DOM_SMALL_CHAR) priv.privSmallChar = options->optSmallChar;
  if (mask & DOM_OPT20000) {
    priv.privOpt20000 = options->optOpt20000;
    priv.xbOptions = InStep(priv.xbOptions, XBO_RETAIN, options->optOpt20000);
  }
}

// The index of the first media list entry with this paper size key, the entry through
// *entry; -1 (and a null entry) when there is none or no list to look in.
LONG FindMediaEntry(const ModelData* modelData, const MediaListEntry** entry, WORD paperSize) {
  if (!entry) return -1;
  *entry = nullptr;
  if (!modelData || !modelData->mediaList || modelData->mediaCount < 1) return -1;
  const DWORD count = modelData->mediaCount;
  for (DWORD i = 0; i < count && i <= 0x7FFFFFFF; ++i) {
    if (modelData->mediaList[i].mePaperSize == paperSize) {
      *entry = &modelData->mediaList[i];
      return static_cast<LONG>(i);
    }
  }
  return -1;
}

// TRUE when labels of this entry have a fixed length on a model of this type.
BOOL HasFixedLength(const MediaListEntry* entry, BYTE modelType) {
  if (modelType == '1' || modelType == '2') return TRUE;
  if (!entry) return FALSE;
  for (SHORT kind : kFixedLengthKinds) {
    if (entry->meKindCode == kind) return TRUE;
  }
  return FALSE;
}

// Applies a media list entry: its paper size and width, its length and margin when the
// label has a fixed length, and its index and width multiple.
void ApplyMediaEntry(DEVMODEW* publicPart, PrivateSettings* privatePart,
                     const MediaListEntry* entry, LONG index, BYTE modelType) {
  if (!publicPart || !privatePart || !entry) return;
  DEVMODEW& dm = *publicPart;
  PrivateSettings& priv = *privatePart;

  dm.dmPaperSize = static_cast<SHORT>(entry->mePaperSize);
  dm.dmPaperWidth = entry->meWidth;
  if (HasFixedLength(entry, modelType) && entry->meLength > 0) {
    dm.dmPaperLength = entry->meLength;
    priv.privLength = static_cast<DWORD>(static_cast<LONG>(entry->meLength));
    priv.privLengthDots = static_cast<DWORD>(static_cast<LONG>(entry->meLengthDots));
    priv.xbLength = priv.privLengthDots;
    // Half the unprintable length on each end of the label.
    const LONG margin =
        (static_cast<LONG>(entry->meLengthDots) - static_cast<LONG>(entry->mePrintLengthDots) + 1) / 2;
    priv.privMargin = static_cast<WORD>(margin);
    priv.xbMargin = static_cast<WORD>(margin);
  }
  priv.xbPaperSize = entry->mePaperSize;
  priv.privMediaId = static_cast<WORD>(index);
  priv.privPlainMediaId = static_cast<WORD>(index);
  priv.privWidthMultiple = entry->meWidthMultiple;
  priv.xbWidthMultiple = static_cast<WORD>(entry->meWidthMultiple + 1);
}

// Copies source into a field of n units: at most n-1 units, never reading past the
// source's terminator, and zero-fills the rest so that the field always ends in 0.
void CopyWideBounded(WCHAR* destination, LPCWSTR source, DWORD n) {
  if (!destination || n == 0) return;
  DWORD i = 0;
  if (source) {
    for (; i < n - 1 && source[i] != 0; ++i) destination[i] = source[i];
  }
  for (; i < n; ++i) destination[i] = 0;
}

// 0 when the first translation of the resource library's version block is US English in
// Unicode; 1 otherwise, every failure to read it included.
DWORD ResourceLanguageFlag() {
  DWORD result = 1;
  WCHAR path[MAX_PATH] = {};
  DWORD needed = 0;
  if (!GetPrinterDriverDirectoryW(nullptr, nullptr, 1, reinterpret_cast<LPBYTE>(path),
                                  sizeof(path), &needed))
    return result;
  // The spooler puts no limit on the directory's length: a path that does not fit with
  // the library's name has no version block we could read.
  path[MAX_PATH - 1] = 0;
  DWORD length = WideLength(path, MAX_PATH);
  constexpr DWORD kDirectoryLength = sizeof(kResourceSubdirectory) / sizeof(WCHAR) - 1;
  constexpr DWORD kNameLength = sizeof(kResourceLibraryName) / sizeof(WCHAR) - 1;
  if (length + 1 + kDirectoryLength + kNameLength + 1 > MAX_PATH) return result;
  path[length++] = u'\\';
  std::memcpy(path + length, kResourceSubdirectory, kDirectoryLength * sizeof(WCHAR));
  length += kDirectoryLength;
  std::memcpy(path + length, kResourceLibraryName, (kNameLength + 1) * sizeof(WCHAR));

  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &handle);
  if (size == 0) return result;
  HGLOBAL block = GlobalAlloc(GPTR, size);
  if (!block) return result;
  LPVOID value = nullptr;
  UINT valueLength = 0;
  if (GetFileVersionInfoW(path, handle, size, block) &&
      VerQueryValueW(block, kTranslationKey, &value, &valueLength) && value &&
      valueLength >= 2 * sizeof(WORD)) {
    // The value must lie inside the block we were given before we read its first pair.
    const uintptr_t first = reinterpret_cast<uintptr_t>(block);
    const uintptr_t at = reinterpret_cast<uintptr_t>(value);
    if (at >= first && at - first + 2 * sizeof(WORD) <= size) {
      const BYTE* pair = static_cast<const BYTE*>(value);
      WORD language = 0;
      WORD codePage = 0;
      std::memcpy(&language, pair, sizeof(WORD));
      std::memcpy(&codePage, pair + sizeof(WORD), sizeof(WORD));
      if (language == kUsEnglish && codePage == kUnicodeCodePage) result = 0;
    }
  }
  GlobalFree(block);
  return result;
}
