// SPDX-License-Identifier: Apache-2.0
// Printer data, the per-user settings record, the default options and the locale: the
// values read, their defaults, and what bad values cannot do.
#include <cstring>
#include <vector>

#include "device/printer_data.h"
#include "tests/support/test_context.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(const void* data, size_t size, size_t resize = 0) {
  Bytes bytes(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  if (resize) bytes.resize(resize, 0);
  return bytes;
}

class PrinterData : public test::ContextTest {
 protected:
  PrinterData() : ContextTest({test::Tape(262, 240, 128), test::Tape(259, 120, 64)}) {}
  // The first bytes of the record ReadPrinterDataRecord gives (which is then freed).
  Bytes Record(size_t bytes = PRINTER_DATA_RECORD_SIZE) {
    PrinterDataRecord* record = ReadPrinterDataRecord(printer_);
    Bytes copy = record ? Of(record, bytes) : Bytes();
    if (record) GlobalFree(record);
    return copy;
  }
  DWORD Word(size_t index) {
    DWORD value = 0xDEADBEEF;
    Bytes record = Record();
    if (record.size() >= 12) std::memcpy(&value, record.data() + 4 * index, 4);
    return value;
  }
};

TEST_F(PrinterData, ABuiltRecordTakesFreeMemoryTheHalftoneFlagLocaleAndCodePage) {
  host::SetLocale(u"1", u"1");
  EXPECT_EQ(Record(12), Bytes({0, 5, 104, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  host::SetPrinterDataBinary(printer_, u"FreeMem", {0, 1});
  EXPECT_EQ(Word(2), 0u) << "two bytes are no DWORD";
  host::SetPrinterDataDword(printer_, u"FreeMem", 50);
  EXPECT_EQ(Word(2), 102400u) << "50 KB is raised to 100 KB";
  host::SetPrinterDataDword(printer_, u"PrinterHT", 1);
  host::SetCodePages(437, 932);
  EXPECT_EQ(Word(1), DWORD(PDF_PRINTER_HT));
  host::SetLocale(u"49", u"0");
  host::SetCodePages(852, 1250);
  EXPECT_EQ(Word(1), DWORD(PDF_PRINTER_HT | PDF_METRIC | PDF_NON_LATIN));
  host::SetPrinterDataDword(printer_, u"FreeMem", 200), host::SetPrinterDataDword(printer_, u"PrinterHT", 0);
  EXPECT_EQ(std::tuple(Word(1), Word(2)), std::tuple(DWORD(PDF_METRIC | PDF_NON_LATIN), 204800u));
}

TEST_F(PrinterData, AStoredRecordIsUsedAsStoredAndPaddedWithZerosWhenShort) {
  Bytes stored(120);
  for (size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<uint8_t>(0x40 + i);
  host::SetPrinterDataBinary(printer_, u"PrinterData", stored);
  host::SetPrinterDataDword(printer_, u"PrinterDataSize", 120);
  EXPECT_EQ(Record(120), stored);
  // Every short length; the sanitizer sees a read past either block.
  for (uint32_t length = 1; length < PRINTER_DATA_RECORD_SIZE; ++length) {
    host::SetPrinterDataDword(printer_, u"PrinterDataSize", length);
    host::SetPrinterDataBinary(printer_, u"PrinterData", Of(stored.data(), length));
    ASSERT_EQ(Record(), Of(stored.data(), length, PRINTER_DATA_RECORD_SIZE)) << length;
  }
  host::FailCall(host::Call::GlobalAlloc, 2);
  EXPECT_EQ(ReadPrinterDataRecord(printer_), nullptr) << "no memory for the padded copy";
  // A size of 0, one the stored blob exceeds or falls short of, or one past 1 MB: a built
  // record. 1 MB is stored.
  for (auto [declared, blob, word] : {std::tuple{0u, 0u, 0x00680500u}, {50u, 120u, 0x00680500u}, {120u, 50u, 0x00680500u},
                                      {0xFFFFFFFFu, 120u, 0x00680500u}, {0x100000u, 0x100000u, 0x41414141u}, {0x100001u, 0x100001u, 0x00680500u}}) {
    host::SetPrinterDataBinary(printer_, u"PrinterData", Bytes(blob, 0x41));
    host::SetPrinterDataDword(printer_, u"PrinterDataSize", declared);
    EXPECT_EQ(Word(0), word) << declared;
  }
}

TEST_F(PrinterData, APerUserRecordIsCopiedOnlyWhenItCanBeTrusted) {
  SettingsRecord user = test::FixedDefaults();
  user.dm.dmPaperSize = 259;
  user.priv.privMediaBase = 1;
  auto stored = [&](WORD publicSize, WORD privateSize) {
    Bytes bytes = Of(&user.dm, publicSize);
    Bytes priv = Of(&user.priv, sizeof(user.priv), privateSize);
    bytes.insert(bytes.end(), priv.begin(), priv.end());
    std::memcpy(bytes.data() + offsetof(DEVMODEW, dmSize), &publicSize, 2);
    std::memcpy(bytes.data() + offsetof(DEVMODEW, dmDriverExtra), &privateSize, 2);
    return bytes;
  };
  // The copy's paper size, size and media base, or nothing, for a job in section 1.
  auto read = [&](const Bytes& bytes) {
    host::SetUserDevmode(printer_, bytes);
    SettingsRecord* copy = ReadUserSettings(printer_, &context_->modelData, 1);
    if (!copy) return std::vector<LONG>();
    std::vector<LONG> fields = {copy->dm.dmPaperSize, copy->dm.dmSize, LONG(copy->priv.privMediaBase),
                                LONG(copy->dm.dmICMMethod)};
    GlobalFree(copy);
    return fields;
  };
  EXPECT_EQ(read(stored(188, 300)), std::vector<LONG>({259, 220, 1, 0})) << "laid out as ours";
  host::FailCall(host::Call::GlobalAlloc, 2);
  EXPECT_TRUE(read(stored(188, 300)).empty()) << "no memory for the copy";
  EXPECT_TRUE(read(stored(220, 283)).empty()) << "private part too short";
  EXPECT_TRUE(read(stored(187, 284)).empty()) << "public part shorter than any known";
  Bytes whole = stored(220, 284);
  for (size_t length = 0; length < whole.size(); ++length) {
    ASSERT_TRUE(read(Of(whole.data(), length)).empty()) << length;
  }
  // Its media id and base must name a record of the job's section (id 1 is the
  // terminator, base 0 another section), and it must be signed.
  for (auto [id, base, signature] : {std::tuple<WORD, DWORD, DWORD>{1, 1, PRIV_SIGNATURE},
                                     {0, 0, PRIV_SIGNATURE}, {0, 1, 0}}) {
    user.priv.privMediaId = id, user.priv.privMediaBase = base, user.priv.privSignature = signature;
    EXPECT_TRUE(read(stored(220, 284)).empty()) << id << " " << base << " " << signature;
  }
}

TEST_F(PrinterData, DefaultOptionsComeFromTheRegistryThenFromPrinterData) {
  SettingsRecord settings = test::FixedDefaults();
  std::u16string name(CCHDEVICENAME, u'N');  // fills the field, no terminator
  std::memcpy(settings.dm.dmDeviceName, name.data(), sizeof(settings.dm.dmDeviceName));
  std::u16string key = u"SOFTWARE\\Tolvane\\Quenza\\Driver\\3.0\\" + name;
  auto block = [](uint8_t mirror, size_t size) {
    DefaultOptions options{DEFAULT_OPTIONS_SIZE, DOM_MIRROR};
    options.optMirror = mirror;
    return Of(&options, sizeof(options), size);
  };
  auto read = [&]() -> int {  // the mirror byte read, negative when nothing was read
    DefaultOptions options{DEFAULT_OPTIONS_SIZE};
    options.optMirror = 0x77;
    BOOL got = ReadDefaultOptions(&settings, printer_, &context_->modelData, &options);
    return got ? options.optMirror : -options.optMirror;
  };
  EXPECT_EQ(read(), -0x77);
  host::SetPrinterDataBinary(printer_, u"RegDefaultOptions", block(2, 32));
  EXPECT_EQ(read(), 2);
  host::SetRegistryValue(key, u"RegDefaultOptions", REG_BINARY, block(1, 32));
  EXPECT_EQ(read(), 1);
  for (host::Call call : {host::Call::RegOpenKey, host::Call::RegQueryValue}) {
    host::FailCall(call, 1);
    EXPECT_EQ(read(), 2) << "a registry that cannot be read gives way: " << host::CallName(call);
  }
  host::SetRegistryValue(key, u"RegDefaultOptions", REG_BINARY, block(1, 16));
  EXPECT_EQ(read(), 2) << "a registry value that is no 32-byte block gives way";
  host::SetPrinterDataBinary(printer_, u"RegDefaultOptions", block(2, 20));
  EXPECT_EQ(read(), -0x77) << "and so does one in printer data, leaving the block untouched";
}

TEST_F(PrinterData, CountriesOfTheAmericasMeasureInInches) {
  // A number too large for a long is clamped, not undefined; no number at all is 0.
  for (auto [country, metric] : {std::pair(u"1", 0u), {u"2", 0u}, {u"50", 0u}, {u"59", 0u},
                                 {u"500", 0u}, {u"599", 0u}, {u"44", 1u}, {u"60", 1u}, {u"499", 1u},
                                 {u"600", 1u}, {u"", 1u}, {u"99999999999999999999", 1u}}) {
    host::SetLocale(country, u"0");
    EXPECT_EQ(IsMetricCountry(), metric) << host::Utf8(country);
  }
  for (host::Call call : {host::Call::GetLocaleInfo, host::Call::GlobalAlloc}) {
    host::FailCall(call, 2);  // the second locale call reads the country
    EXPECT_EQ(IsMetricCountry(), 0u) << host::CallName(call);
  }
}

}  // namespace
