// SPDX-License-Identifier: Apache-2.0
// What the spooler, the registry and the system hand the driver for a printer: the
// printer-data values ("PrinterData" and its size, "CurDevHTInfo", "RegDefaultOptions",
// "FreeMem", "PrinterHT", "SmallChar", "UseMonitor", the font and tray tables), the
// registry's default options, the per-user settings record, the locale, the code pages
// and the resource library's translation, all through DrvEnablePDEV and the surface.
//
// Input: chunks (tag, 16-bit length, bytes). The tag's low bits pick what the bytes
// become; bit 0x80 stores a printer-data value as the other type (a DWORD for a blob, a
// blob for a DWORD), as a damaged registry would.
#include <cstring>
#include <utility>

#include "fuzz/fuzz_support.h"

namespace {

struct Value {
  const char16_t* name;
  bool dword;
};

constexpr Value kValues[] = {
    {u"PrinterDataSize", true},  {u"PrinterData", false},   {u"TTFontSubTableSize", true},
    {u"TTFontSubTable", false},  {u"FreeMem", true},        {u"PrinterHT", true},
    {u"CurDevHTInfo", false},    {u"RegDefaultOptions", false}, {u"SmallChar", false},
    {u"UseMonitor", false},      {u"TrayFormSize", true},   {u"TrayFormTable", false},
};
constexpr uint8_t kValueCount = sizeof(kValues) / sizeof(kValues[0]);
constexpr uint8_t kRegistryOptions = kValueCount;
constexpr uint8_t kUserRecord = kValueCount + 1;
constexpr uint8_t kLocale = kValueCount + 2;
constexpr uint8_t kCodePages = kValueCount + 3;
constexpr uint8_t kTranslation = kValueCount + 4;
constexpr uint8_t kKinds = kValueCount + 5;

constexpr char16_t kOptionsKey[] = u"SOFTWARE\\Tolvane\\Quenza\\Driver\\3.0\\TQ-33";
constexpr uint16_t kDefaultLanguage = 0x0809;
constexpr uint16_t kDefaultCodePage = 0x04B0;

uint32_t DwordOf(const fuzz::Bytes& bytes) {
  uint32_t value = 0;
  for (size_t i = 0; i < bytes.size() && i < 4; ++i) value |= static_cast<uint32_t>(bytes[i]) << (8 * i);
  return value;
}

uint16_t WordAt(const fuzz::Bytes& bytes, size_t at) {
  return at + 1 < bytes.size() ? static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8)) : 0;
}

// UTF-16 text from bytes, at most a dozen units.
std::u16string Text(const fuzz::Bytes& bytes, size_t from, size_t to) {
  std::u16string text;
  for (size_t at = from; at + 1 < to && text.size() < 12; at += 2)
    text.push_back(static_cast<char16_t>(bytes[at] | (bytes[at + 1] << 8)));
  return text;
}

bool WriteTranslation(const fuzz::Bytes& library) {
  return fuzz::Installation().WriteFile(host::kResourceLibraryPath, library);
}

// Applies one chunk, taking its bytes; true when it changed the resource library.
bool Apply(HANDLE printer, fuzz::Chunk& chunk) {
  const uint8_t kind = (chunk.tag & 0x7F) % kKinds;
  if (kind < kValueCount) {
    const bool dword = kValues[kind].dword != ((chunk.tag & 0x80) != 0);
    if (dword) {
      host::SetPrinterDataDword(printer, kValues[kind].name, DwordOf(chunk.bytes));
    } else {
      host::SetPrinterDataBinary(printer, kValues[kind].name, std::move(chunk.bytes));
    }
  } else if (kind == kRegistryOptions) {
    host::SetRegistryValue(kOptionsKey, u"RegDefaultOptions", (chunk.tag & 0x80) ? 4 : 3,
                           std::move(chunk.bytes));
  } else if (kind == kUserRecord) {
    host::SetUserDevmode(printer, std::move(chunk.bytes));
  } else if (kind == kLocale) {
    const size_t half = chunk.bytes.size() / 2;
    host::SetLocale(Text(chunk.bytes, 0, half), Text(chunk.bytes, half, chunk.bytes.size()));
  } else if (kind == kCodePages) {
    host::SetCodePages(WordAt(chunk.bytes, 0), WordAt(chunk.bytes, 2));
  } else if (kind == kTranslation) {
    const uint16_t language = WordAt(chunk.bytes, 0);
    return WriteTranslation(host::ResourceLibraryBytes(language, WordAt(chunk.bytes, 2)));
  }
  return false;
}

// Puts the printer back as the installation made it.
void Restore(HANDLE printer, bool translationChanged) {
  for (const Value& value : kValues) host::DeletePrinterData(printer, value.name);
  host::ClearRegistry();
  host::SetUserDevmode(printer, std::nullopt);
  host::SetLocale(u"44", u"0");
  host::SetCodePages(437, 1252);
  static const fuzz::Bytes installed =
      host::ResourceLibraryBytes(kDefaultLanguage, kDefaultCodePage);
  if (translationChanged && !WriteTranslation(installed))
    fuzz::Finding("cannot restore the resource library");
}

// The driver's defaults for the printer as an application's record asking for paper size
// 999, which the table lacks, so that the merge falls back to the per-user record.
const DEVMODEW* UnknownPaperRecord() {
  static const fuzz::Bytes record = [] {
    fuzz::Bytes bytes = fuzz::DefaultSettingsRecord();
    auto* dm = reinterpret_cast<DEVMODEW*>(bytes.data());
    dm->dmPaperSize = 999;
    dm->dmFields |= DM_PAPERSIZE;
    return bytes;
  }();
  return reinterpret_cast<const DEVMODEW*>(record.data());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Installation();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::PrepareContexts();
  UnknownPaperRecord();
  const HANDLE printer = fuzz::Installation().printer();
  const host::LiveObjects baseline = host::Live();
  bool translationChanged = false;
  fuzz::Reader reader(data, size);
  fuzz::Chunk chunk;
  while (fuzz::NextChunk(reader, &chunk))
    translationChanged = Apply(printer, chunk) || translationChanged;

  // Missing or damaged configuration never fails a context for want of a value: every
  // value has a default. Stored settings that describe no printable page (a default length
  // of 0) are refused as bad data.
  GDIINFO gdiInfo = {};
  DeviceContext* context = fuzz::EnableContext(nullptr, &gdiInfo);
  if (!context && GetLastError() != ERROR_INVALID_DATA)
    fuzz::Finding("DrvEnablePDEV failed on damaged printer data");
  // Lengths and margins from the stored options and the per-user record are held to the
  // medium like any other; the per-user record's own come in when an application asks for
  // a paper size the table lacks.
  if (context) {
    fuzz::CheckPageWithinMedium(context, gdiInfo);
    DeviceContext* unknownPaper = fuzz::EnableContext(UnknownPaperRecord(), &gdiInfo);
    if (unknownPaper) fuzz::CheckPageWithinMedium(unknownPaper, gdiInfo);
    fuzz::DisableContext(unknownPaper, false);
  }
  fuzz::DisableContext(context, true);
  Restore(printer, translationChanged);
  fuzz::CheckNothingLeaked(baseline, "printer data");
  return 0;
}
