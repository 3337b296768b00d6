// SPDX-License-Identifier: Apache-2.0
// Configuration kept outside the driver's files: printer-data values of the spooler, the
// per-user default settings record, the registry's default options, the user's locale
// and the engine's code page. Every value has a default; a missing one is never an error.
#include "device/printer_data.h"

#include <cstdlib>
#include <cstring>

#include "context/settings_record.h"

namespace {

// The (size name, data name) pairs of sized printer-data blobs, in the order of their
// indexes (kPrinterDataFontSubstitution...).
struct SizedValueNames {
  const WCHAR* sizeName;
  const WCHAR* dataName;
};
constexpr SizedValueNames kSizedValues[] = {
    {WIDE("TTFontSubTableSize"), WIDE("TTFontSubTable")},
    {WIDE("TrayFormSize"), WIDE("TrayFormTable")},
    {WIDE("PrinterDataSize"), WIDE("PrinterData")},
};
constexpr DWORD kSizedValueCount = sizeof(kSizedValues) / sizeof(kSizedValues[0]);

// No blob the driver keeps is anywhere near this; a larger declared size is bad data, not
// a reason to take that much memory.
constexpr DWORD kMaxSizedBlob = 0x100000;

constexpr WCHAR kFreeMemoryName[] = WIDE("FreeMem");
constexpr WCHAR kPrinterHalftoneName[] = WIDE("PrinterHT");
constexpr WCHAR kHalftoneInfoName[] = WIDE("CurDevHTInfo");
constexpr WCHAR kDefaultOptionsName[] = WIDE("RegDefaultOptions");
constexpr WCHAR kDefaultOptionsKey[] = WIDE("SOFTWARE\\Tolvane\\Quenza\\Driver\\3.0\\");

constexpr DWORD kMinFreeMemory = 102400;
constexpr DWORD kUserInfoLevel = 9;

// A per-user record must at least carry the smallest public part a settings record has.
constexpr DWORD kSmallestPublicSize = 188;
constexpr DWORD kSizeFieldsEnd = offsetof(DEVMODEW, dmDriverExtra) + sizeof(WORD);

// The spooler and registry calls take their value names as writable strings.
LPWSTR ValueName(const WCHAR* name) { return const_cast<LPWSTR>(name); }

// Country codes of the countries that measure in inches: the US and Canada (1, 2), Latin
// America (50 to 59, 500 to 599).
bool IsInchCountry(long country) {
  return country == 1 || country == 2 || (country >= 50 && country <= 59) ||
         (country >= 500 && country <= 599);
}

}  // namespace

// The value is read whole or not at all: one shorter than 32 bits (an empty one, say) is
// as missing as one the spooler does not have.
BOOL ReadPrinterDataDword(HANDLE printer, LPCWSTR name, DWORD* value) {
  DWORD read = 0;
  DWORD needed = 0;
  DWORD type = 0;
  if (!value || GetPrinterDataW(printer, ValueName(name), &type, reinterpret_cast<LPBYTE>(&read),
                                sizeof(read), &needed) != ERROR_SUCCESS ||
      needed != sizeof(read))
    return FALSE;
  *value = read;
  return TRUE;
}

// Reads the blob of a size/data pair into a new block of its declared size; null when
// either value is missing, the size is 0 or absurd, the blob is not as long as its size
// says, or memory runs out.
HGLOBAL ReadSizedPrinterData(HANDLE printer, DWORD* size, DWORD index) {
  if (index >= kSizedValueCount) return nullptr;
  const SizedValueNames& names = kSizedValues[index];

  DWORD declared = 0;
  if (!ReadPrinterDataDword(printer, names.sizeName, &declared) || declared == 0 ||
      declared > kMaxSizedBlob)
    return nullptr;

  HGLOBAL block = GlobalAlloc(GPTR, declared);
  if (!block) return nullptr;
  DWORD needed = 0;
  DWORD type = 0;
  if (GetPrinterDataW(printer, ValueName(names.dataName), &type, static_cast<LPBYTE>(block),
                      declared, &needed) != ERROR_SUCCESS ||
      needed != declared) {
    GlobalFree(block);
    return nullptr;
  }
  if (size) *size = declared;
  return block;
}

// The stored "PrinterData" record (padded to full size), else one built from the other
// values; null only when memory runs out.
PrinterDataRecord* ReadPrinterDataRecord(HANDLE printer) {
  DWORD size = 0;
  auto* stored = static_cast<BYTE*>(ReadSizedPrinterData(printer, &size, kPrinterDataRecord));
  if (stored && size >= PRINTER_DATA_RECORD_SIZE) {
    return reinterpret_cast<PrinterDataRecord*>(stored);
  }

  if (stored) {
    // A short stored record is kept as stored, but in a block of full size with zeros
    // behind it, so that no reader of the record runs past the blob.
    auto* padded = static_cast<BYTE*>(GlobalAlloc(GPTR, PRINTER_DATA_RECORD_SIZE));
    if (padded) std::memcpy(padded, stored, size);
    GlobalFree(stored);
    return reinterpret_cast<PrinterDataRecord*>(padded);
  }

  auto* record = static_cast<PrinterDataRecord*>(GlobalAlloc(GPTR, PRINTER_DATA_RECORD_SIZE));
  if (!record) return nullptr;
  record->pdVersion = PRINTER_DATA_VERSION;
  record->pdSize = PRINTER_DATA_RECORD_SIZE;

  DWORD kilobytes = 0;
  if (ReadPrinterDataDword(printer, kFreeMemoryName, &kilobytes)) {
    record->pdFreeMemory = kilobytes << 10;
    if (record->pdFreeMemory < kMinFreeMemory) record->pdFreeMemory = kMinFreeMemory;
  }
  DWORD halftone = 0;
  if (ReadPrinterDataDword(printer, kPrinterHalftoneName, &halftone) && halftone != 0) {
    record->pdFlags |= PDF_PRINTER_HT;
  }
  if (IsMetricCountry() == 1) record->pdFlags |= PDF_METRIC;
  UINT codePage = AnsiCodePage();
  if (codePage != kWesternCodePage && IsEastAsianCodePage(codePage) == 0) {
    record->pdFlags |= PDF_NON_LATIN;
  }
  return record;
}

// "CurDevHTInfo" into info; FALSE unless exactly 132 bytes were read.
BOOL ReadDeviceHalftoneInfo(HANDLE printer, DEVHTINFO* info) {
  if (!info) return FALSE;
  DWORD needed = 0;
  DWORD type = 0;
  return GetPrinterDataW(printer, ValueName(kHalftoneInfoName), &type,
                         reinterpret_cast<LPBYTE>(info), DEVICE_HALFTONE_INFO_SIZE,
                         &needed) == ERROR_SUCCESS &&
         needed == DEVICE_HALFTONE_INFO_SIZE;
}

// The PRINTER_INFO of a level in a new block; null unless the size probe fails with
// ERROR_INSUFFICIENT_BUFFER and the second call succeeds.
HGLOBAL GetPrinterInfo(HANDLE printer, DWORD level, DWORD* size) {
  if (size) *size = 0;
  DWORD needed = 0;
  if (GetPrinterW(printer, level, nullptr, 0, &needed) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed == 0)
    return nullptr;

  HGLOBAL block = GlobalAlloc(GPTR, needed);
  if (!block) return nullptr;
  DWORD filled = 0;
  if (!GetPrinterW(printer, level, static_cast<LPBYTE>(block), needed, &filled)) {
    GlobalFree(block);
    return nullptr;
  }
  if (size) *size = needed;
  return block;
}

// A checked copy of the per-user default settings record; null when there is none or it
// cannot be trusted.
SettingsRecord* ReadUserSettings(HANDLE printer, const ModelData* modelData, DWORD mediaBase) {
  if (!modelData || !modelData->mediaTable) return nullptr;
  DWORD size = 0;
  auto* info = static_cast<const BYTE*>(GetPrinterInfo(printer, kUserInfoLevel, &size));
  if (!info) return nullptr;

  // Everything below is the spooler's data: the record must lie inside the block it
  // returned and hold all it claims to, and its fields are copied out before use since
  // nothing promises they are aligned.
  SettingsRecord* copy = nullptr;
  const BYTE* stored = nullptr;
  if (size >= sizeof(PRINTER_INFO_9W)) {
    PRINTER_INFO_9W level9;
    std::memcpy(&level9, info, sizeof(level9));
    stored = reinterpret_cast<const BYTE*>(level9.pDevMode);
  }
  const auto start = reinterpret_cast<uintptr_t>(info);
  const auto at = reinterpret_cast<uintptr_t>(stored);
  if (stored && at >= start && at - start <= size && size - (at - start) >= kSizeFieldsEnd) {
    const DWORD available = size - static_cast<DWORD>(at - start);
    WORD publicSize = 0;
    WORD privateSize = 0;
    std::memcpy(&publicSize, stored + offsetof(DEVMODEW, dmSize), sizeof(publicSize));
    std::memcpy(&privateSize, stored + offsetof(DEVMODEW, dmDriverExtra), sizeof(privateSize));
    if (publicSize >= kSmallestPublicSize && privateSize >= SETTINGS_PRIVATE_SIZE &&
        static_cast<DWORD>(publicSize) + privateSize <= available) {
      PrivateSettings priv;
      std::memcpy(&priv, stored + publicSize, sizeof(priv));
      // Its paper size, media id and base are one choice: the id must name a record of
      // the section the job looks in, or none of it is of use.
      const MediaRecord* named = MediaRecordAt(
          modelData, static_cast<LONGLONG>(priv.privMediaBase) + priv.privMediaId);
      if (priv.privSignature == PRIV_SIGNATURE && priv.privMediaBase == mediaBase && named &&
          named->mrIndex != 0xFFFF) {
        copy = static_cast<SettingsRecord*>(GlobalAlloc(GPTR, SETTINGS_RECORD_SIZE));
        if (copy) {
          DWORD publicBytes = publicSize < SETTINGS_PUBLIC_SIZE ? publicSize : SETTINGS_PUBLIC_SIZE;
          std::memcpy(&copy->dm, stored, publicBytes);
          copy->dm.dmSize = SETTINGS_PUBLIC_SIZE;
          copy->dm.dmDriverExtra = SETTINGS_PRIVATE_SIZE;
          copy->priv = priv;
        }
      }
    }
  }
  GlobalFree(const_cast<BYTE*>(info));
  return copy;
}

// The default options from the registry, else from printer data; FALSE, with options
// untouched, when neither holds a 32-byte block.
BOOL ReadDefaultOptions(const SettingsRecord* settings, HANDLE printer,
                        const ModelData* modelData, DefaultOptions* options) {
  if (!settings || !printer || printer == INVALID_HANDLE_VALUE || !modelData || !options ||
      options->optSize != DEFAULT_OPTIONS_SIZE)
    return FALSE;

  // The key is the fixed prefix followed by the device name, which need not be terminated
  // within its 32 units, in a buffer of MAX_PATH units.
  WCHAR keyPath[MAX_PATH] = {};
  constexpr DWORD kPrefixUnits = sizeof(kDefaultOptionsKey) / sizeof(WCHAR) - 1;
  static_assert(kPrefixUnits + CCHDEVICENAME < MAX_PATH);
  std::memcpy(keyPath, kDefaultOptionsKey, kPrefixUnits * sizeof(WCHAR));
  for (DWORD i = 0; i < CCHDEVICENAME && settings->dm.dmDeviceName[i] != 0; ++i) {
    keyPath[kPrefixUnits + i] = settings->dm.dmDeviceName[i];
  }

  // Read into a copy so that a failed or partial read never leaves half a block behind:
  // only a value of exactly 32 bytes is a DefaultOptions block.
  DefaultOptions read = *options;
  BOOL result = FALSE;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    DWORD bytes = DEFAULT_OPTIONS_SIZE;
    DWORD type = 0;
    if (RegQueryValueExW(key, kDefaultOptionsName, nullptr, &type,
                         reinterpret_cast<LPBYTE>(&read), &bytes) == ERROR_SUCCESS &&
        bytes == DEFAULT_OPTIONS_SIZE)
      result = TRUE;
    RegCloseKey(key);
  }
  if (!result) {
    read = *options;
    DWORD needed = 0;
    DWORD type = 0;
    if (GetPrinterDataW(printer, ValueName(kDefaultOptionsName), &type,
                        reinterpret_cast<LPBYTE>(&read), DEFAULT_OPTIONS_SIZE,
                        &needed) == ERROR_SUCCESS &&
        needed == DEFAULT_OPTIONS_SIZE)
      result = TRUE;
  }
  if (result) *options = read;
  return result;
}

// 1 unless the user's country measures in inches; 0 also when the locale cannot be read.
DWORD IsMetricCountry() {
  int chars = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, nullptr, 0);
  if (chars <= 0) return 0;

  DWORD metric = 0;
  auto* wide = static_cast<LPWSTR>(GlobalAlloc(GPTR, static_cast<SIZE_T>(chars) * sizeof(WCHAR)));
  // One byte more than the characters, zeroed: the text stays terminated whatever the
  // conversion writes.
  auto* text = static_cast<LPSTR>(GlobalAlloc(GPTR, static_cast<SIZE_T>(chars) + 1));
  if (wide && text) {
    int read = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, wide, chars);
    INT converted = 0;
    if (read > 0 && read <= chars) {
      WideToAnsi(text, static_cast<DWORD>(chars), &converted, wide,
                 static_cast<DWORD>(read) * sizeof(WCHAR));
    }
    if (converted > 0) {
      // strtol rather than atol: a number too large for a long is clamped, not undefined.
      long country = std::strtol(text, nullptr, 10);
      metric = IsInchCountry(country) ? 0 : 1;
    }
  }
  if (text) GlobalFree(text);
  if (wide) GlobalFree(wide);
  return metric;
}

// The engine's ANSI code page (its OEM code page is of no use here).
UINT AnsiCodePage() {
  USHORT oem = 0;
  USHORT ansi = 0;
  EngGetCurrentCodePage(&oem, &ansi);
  return ansi;
}

// 1 for the Japanese, Chinese and Korean code pages, else 0.
DWORD IsEastAsianCodePage(UINT codePage) {
  return codePage == 932 || codePage == 936 || codePage == 949 || codePage == 950 ? 1 : 0;
}

// Converts wide text in the ANSI code page and writes the engine's result to converted;
// 0 there when a buffer is missing or a size is too large for the engine.
void WideToAnsi(LPSTR destination, DWORD destinationBytes, INT* converted, LPCWSTR source,
                DWORD sourceBytes) {
  INT result = 0;
  // The engine takes signed sizes; sizes it cannot take convert nothing.
  if (destination && source && destinationBytes <= 0x7FFFFFFFu && sourceBytes <= 0x7FFFFFFFu) {
    result = EngWideCharToMultiByte(AnsiCodePage(), const_cast<LPWSTR>(source),
                                    static_cast<INT>(sourceBytes), destination,
                                    static_cast<INT>(destinationBytes));
  }
  if (converted) *converted = result;
}
