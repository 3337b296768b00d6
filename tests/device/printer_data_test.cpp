// Printer data, the per-user settings record, the default options, the locale and the
// code page: the values read, their defaults, and what bad values cannot do.
#include <cstring>
#include <vector>

#include "device/printer_data.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

constexpr char16_t kOptionsKey[] = u"SOFTWARE\\Tolvane\\Quenza\\Driver\\3.0\\TQ-33";

std::vector<uint8_t> Bytes(const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(bytes, bytes + size);
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(0x40 + i);
  return bytes;
}

class PrinterDataTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    printer_ = host::AddPrinter({});
  }
  void TearDown() override {
    host::RemoveAllPrinters();
    ExpectNothingLeaked();
    HostTest::TearDown();
  }

  // The record as ReadPrinterDataRecord gives it; the block itself is freed.
  PrinterDataRecord Record() {
    PrinterDataRecord copy{};
    PrinterDataRecord* record = ReadPrinterDataRecord(printer_);
    EXPECT_NE(record, nullptr);
    if (record) {
      copy = *record;
      GlobalFree(record);
    }
    return copy;
  }

  HANDLE printer_ = nullptr;
};

TEST_F(PrinterDataTest, ABuiltRecordTakesFreeMemoryInKilobytesWithAFloor) {
  PrinterDataRecord record = Record();
  EXPECT_EQ(record.pdVersion, PRINTER_DATA_VERSION);
  EXPECT_EQ(record.pdSize, PRINTER_DATA_RECORD_SIZE);
  EXPECT_EQ(DWORD(record.pdFreeMemory), 0u) << "no FreeMem value";

  host::SetPrinterDataDword(printer_, u"FreeMem", 50);
  EXPECT_EQ(DWORD(Record().pdFreeMemory), 102400u);
  host::SetPrinterDataDword(printer_, u"FreeMem", 1000);
  EXPECT_EQ(DWORD(Record().pdFreeMemory), 1024000u);
  host::SetPrinterDataDword(printer_, u"FreeMem", 0);
  EXPECT_EQ(DWORD(Record().pdFreeMemory), 102400u);
}

TEST_F(PrinterDataTest, ABuiltRecordFlagsHalftoningLocaleAndCodePage) {
  host::SetLocale(u"1", u"1");
  host::SetCodePages(437, 1252);
  EXPECT_EQ(DWORD(Record().pdFlags), 0u);

  host::SetPrinterDataDword(printer_, u"PrinterHT", 0);
  EXPECT_EQ(DWORD(Record().pdFlags), 0u);
  host::SetPrinterDataDword(printer_, u"PrinterHT", 7);
  EXPECT_EQ(DWORD(Record().pdFlags), DWORD(PDF_PRINTER_HT));

  host::SetLocale(u"49", u"0");
  EXPECT_EQ(DWORD(Record().pdFlags), DWORD(PDF_PRINTER_HT | PDF_METRIC));
  host::SetCodePages(437, 932);
  EXPECT_EQ(DWORD(Record().pdFlags), DWORD(PDF_PRINTER_HT | PDF_METRIC));
  host::SetCodePages(852, 1250);
  EXPECT_EQ(DWORD(Record().pdFlags), DWORD(PDF_PRINTER_HT | PDF_METRIC | PDF_NON_LATIN));
}

TEST_F(PrinterDataTest, AStoredRecordIsUsedAsStoredAndPaddedWhenShort) {
  std::vector<uint8_t> stored = Pattern(PRINTER_DATA_RECORD_SIZE + 16);
  host::SetPrinterDataDword(printer_, u"PrinterDataSize", static_cast<uint32_t>(stored.size()));
  host::SetPrinterDataBinary(printer_, u"PrinterData", stored);
  PrinterDataRecord* record = ReadPrinterDataRecord(printer_);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(Bytes(record, stored.size()), stored);
  GlobalFree(record);

  // Every short length: the blob's bytes, then zeros, in a block of full size (the
  // sanitizer sees a read past either block).
  for (uint32_t length = 1; length < PRINTER_DATA_RECORD_SIZE; ++length) {
    host::SetPrinterDataDword(printer_, u"PrinterDataSize", length);
    host::SetPrinterDataBinary(printer_, u"PrinterData", Pattern(length));
    std::vector<uint8_t> expected = Pattern(length);
    expected.resize(PRINTER_DATA_RECORD_SIZE, 0);
    PrinterDataRecord copy = Record();
    ASSERT_EQ(Bytes(&copy, sizeof(copy)), expected) << length << " bytes";
  }

  // A blob stored shorter than its declared size reads as zeros behind it.
  host::SetPrinterDataDword(printer_, u"PrinterDataSize", PRINTER_DATA_RECORD_SIZE);
  host::SetPrinterDataBinary(printer_, u"PrinterData", Pattern(12));
  PrinterDataRecord padded = Record();
  EXPECT_EQ(Bytes(&padded, 12), Pattern(12));
  EXPECT_EQ(padded.pdReserved[0], 0);
}

TEST_F(PrinterDataTest, ABlobThatCannotBeReadAsDeclaredGivesABuiltRecord) {
  host::SetPrinterDataDword(printer_, u"FreeMem", 1000);
  host::SetPrinterDataBinary(printer_, u"PrinterData", Pattern(PRINTER_DATA_RECORD_SIZE));
  for (uint32_t declared : {0u, 50u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    host::SetPrinterDataDword(printer_, u"PrinterDataSize", declared);
    PrinterDataRecord record = Record();
    EXPECT_EQ(record.pdVersion, PRINTER_DATA_VERSION) << declared;
    EXPECT_EQ(DWORD(record.pdFreeMemory), 1024000u) << declared;
  }
}

TEST_F(PrinterDataTest, FailingCallsFallBackAndOnlyMissingMemoryGivesNoRecord) {
  host::SetPrinterDataDword(printer_, u"FreeMem", 1000);
  host::FailCall(host::Call::GlobalAlloc, 1);
  EXPECT_EQ(ReadPrinterDataRecord(printer_), nullptr);

  // A failing read of FreeMem leaves its default; any other failing call still gives a
  // record, and every failure leaves nothing behind.
  for (uint64_t nth = 1;; ++nth) {
    host::ClearFailures();
    host::FailAnyCall(nth);
    PrinterDataRecord* record = ReadPrinterDataRecord(printer_);
    bool struck = host::FailuresStruck() != 0;
    if (record) GlobalFree(record);
    ExpectNothingLeaked();
    if (!struck) break;
  }
}

TEST_F(PrinterDataTest, SizedBlobsAreReadByTheirIndex) {
  host::SetPrinterDataDword(printer_, u"TTFontSubTableSize", 20);
  host::SetPrinterDataBinary(printer_, u"TTFontSubTable", Pattern(20));
  DWORD size = 0;
  HGLOBAL block = ReadSizedPrinterData(printer_, &size, PRINTER_DATA_FONT_SUBSTITUTION);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(size, 20u);
  EXPECT_EQ(Bytes(block, 20), Pattern(20));
  GlobalFree(block);

  host::SetPrinterDataBinary(printer_, u"TTFontSubTable", Pattern(21));
  EXPECT_EQ(ReadSizedPrinterData(printer_, &size, PRINTER_DATA_FONT_SUBSTITUTION), nullptr)
      << "stored longer than declared";
  EXPECT_EQ(ReadSizedPrinterData(printer_, &size, PRINTER_DATA_TRAY_FORMS), nullptr);
  EXPECT_EQ(ReadSizedPrinterData(printer_, &size, 3), nullptr);
}

TEST_F(PrinterDataTest, HalftoneInfoCountsOnlyAtExactly132Bytes) {
  DEVHTINFO info{};
  EXPECT_FALSE(ReadDeviceHalftoneInfo(printer_, &info));
  std::vector<uint8_t> stored = Pattern(DEVICE_HALFTONE_INFO_SIZE);
  host::SetPrinterDataBinary(printer_, u"CurDevHTInfo", stored);
  ASSERT_TRUE(ReadDeviceHalftoneInfo(printer_, &info));
  EXPECT_EQ(Bytes(&info, sizeof(info)), stored);
  host::SetPrinterDataBinary(printer_, u"CurDevHTInfo", Pattern(128));
  EXPECT_FALSE(ReadDeviceHalftoneInfo(printer_, &info));
  host::SetPrinterDataBinary(printer_, u"CurDevHTInfo", Pattern(140));
  EXPECT_FALSE(ReadDeviceHalftoneInfo(printer_, &info));
  EXPECT_FALSE(ReadDeviceHalftoneInfo(printer_, nullptr));
}

// ---- The per-user settings record ------------------------------------------------------

class UserSettingsTest : public PrinterDataTest {
 protected:
  // A stored record: publicSize bytes of the public part (its own size fields set), then
  // the private part of privateSize bytes.
  static std::vector<uint8_t> Stored(const SettingsRecord& record, WORD publicSize = 220,
                                     WORD privateSize = 284) {
    std::vector<uint8_t> bytes = Bytes(&record.dm, publicSize);
    std::vector<uint8_t> priv = Bytes(&record.priv, sizeof(record.priv));
    priv.resize(privateSize, 0xEE);
    bytes.insert(bytes.end(), priv.begin(), priv.end());
    auto* dm = reinterpret_cast<DEVMODEW*>(bytes.data());
    dm->dmSize = publicSize;
    dm->dmDriverExtra = privateSize;
    return bytes;
  }
  SettingsRecord User() {
    SettingsRecord record = test::FixedDefaults();
    record.dm.dmPaperSize = 259;
    record.priv.privMediaBase = 1;
    record.priv.privMargin = 99;
    return record;
  }
  // The copy ReadUserSettings gives for the stored bytes, or nothing.
  bool Read(const std::vector<uint8_t>& stored, SettingsRecord* copy = nullptr) {
    host::SetUserDevmode(printer_, stored);
    SettingsRecord* read = ReadUserSettings(printer_, &context_->modelData);
    if (read && copy) *copy = *read;
    if (read) GlobalFree(read);
    return read != nullptr;
  }

  test::TestContext context_{{test::Tape(262, 240, 128), test::Tape(259, 120, 64)}};
};

TEST_F(UserSettingsTest, AStoredRecordIsCopiedLaidOutAsOurOwn) {
  SettingsRecord copy{};
  ASSERT_TRUE(Read(Stored(User()), &copy));
  EXPECT_EQ(copy.dm.dmPaperSize, 259);
  EXPECT_EQ(DWORD(copy.priv.privMediaBase), 1u);
  EXPECT_EQ(WORD(copy.priv.privMargin), 99);

  // A 188-byte public part: its private part is found behind it, the rest of the public
  // part is zero, and the copy says 220 and 284.
  ASSERT_TRUE(Read(Stored(User(), 188), &copy));
  EXPECT_EQ(copy.dm.dmSize, SETTINGS_PUBLIC_SIZE);
  EXPECT_EQ(copy.dm.dmDriverExtra, SETTINGS_PRIVATE_SIZE);
  EXPECT_EQ(copy.dm.dmPaperSize, 259);
  EXPECT_EQ(copy.dm.dmDisplayFrequency, 0u);
  EXPECT_EQ(WORD(copy.priv.privMargin), 99);
  // A longer private part is cut to ours.
  ASSERT_TRUE(Read(Stored(User(), 220, 400), &copy));
  EXPECT_EQ(WORD(copy.priv.privMargin), 99);
}

TEST_F(UserSettingsTest, ARecordThatCannotBeTrustedCountsAsAbsent) {
  EXPECT_TRUE(Read(Stored(User())));
  EXPECT_FALSE(Read(Stored(User(), 220, 283))) << "private part too short";
  EXPECT_FALSE(Read(Stored(User(), 220, 0))) << "no private part";
  EXPECT_FALSE(Read(Stored(User(), 120))) << "public part shorter than any known";

  SettingsRecord foreign = User();
  foreign.priv.privSignature = 0x12345678;
  EXPECT_FALSE(Read(Stored(foreign)));
  SettingsRecord outside = User();
  outside.priv.privMediaBase = 2;  // the terminator: no section left
  EXPECT_FALSE(Read(Stored(outside)));
  outside.priv.privMediaBase = 0xFFFFFFFF;
  EXPECT_FALSE(Read(Stored(outside)));

  // Size fields that claim more than the spooler returned.
  std::vector<uint8_t> claims = Stored(User());
  claims.resize(claims.size() - 1);
  EXPECT_FALSE(Read(claims));
  // Every truncation of a good record; the sanitizer sees any read past the block.
  std::vector<uint8_t> whole = Stored(User());
  for (size_t length = 0; length < whole.size(); ++length) {
    ASSERT_FALSE(Read(std::vector<uint8_t>(whole.begin(), whole.begin() + length))) << length;
  }

  host::SetUserDevmode(printer_, std::nullopt);
  EXPECT_EQ(ReadUserSettings(printer_, &context_->modelData), nullptr);
  EXPECT_EQ(ReadUserSettings(printer_, nullptr), nullptr);
}

TEST_F(UserSettingsTest, TheSpoolerBlockIsSizedByItsProbeAndAlwaysFreed) {
  host::SetUserDevmode(printer_, Stored(User()));
  DWORD size = 0;
  HGLOBAL info = GetPrinterInfo(printer_, 9, &size);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(size, sizeof(PRINTER_INFO_9W) + 504);
  GlobalFree(info);
  EXPECT_EQ(GetPrinterInfo(printer_, 2, &size), nullptr) << "a level the spooler refuses";
  EXPECT_EQ(size, 0u);

  for (host::Call call : {host::Call::GetPrinter, host::Call::GlobalAlloc}) {
    for (uint64_t nth : {1, 2}) {
      host::ClearFailures();
      host::FailCall(call, nth);
      bool read = Read(Stored(User()));
      EXPECT_EQ(read, host::FailuresStruck() == 0) << host::CallName(call) << " " << nth;
    }
  }
}

// ---- Default options ------------------------------------------------------------------

class DefaultOptionsTest : public PrinterDataTest {
 protected:
  static std::vector<uint8_t> Options(uint32_t mask, uint8_t mirror, size_t size = 32) {
    DefaultOptions options{};
    options.optSize = DEFAULT_OPTIONS_SIZE;
    options.optMask = mask;
    options.optMirror = mirror;
    std::vector<uint8_t> bytes = Bytes(&options, sizeof(options));
    bytes.resize(size, 0);
    return bytes;
  }
  BOOL Read(DefaultOptions* options) {
    return ReadDefaultOptions(&settings_, printer_, &context_->modelData, options);
  }
  DefaultOptions Fresh() {
    DefaultOptions options{};
    options.optSize = DEFAULT_OPTIONS_SIZE;
    options.optMirror = 0x77;
    return options;
  }

  test::TestContext context_;
  SettingsRecord settings_ = [] {
    SettingsRecord record = test::FixedDefaults();
    std::memcpy(record.dm.dmDeviceName, u"TQ-33", sizeof(u"TQ-33"));
    return record;
  }();
};

TEST_F(DefaultOptionsTest, TheRegistryComesFirstThenPrinterData) {
  DefaultOptions options = Fresh();
  EXPECT_FALSE(Read(&options));
  EXPECT_EQ(options.optMirror, 0x77) << "untouched when neither has a block";

  host::SetPrinterDataBinary(printer_, u"RegDefaultOptions", Options(DOM_MIRROR, 2));
  ASSERT_TRUE(Read(&options));
  EXPECT_EQ(options.optMirror, 2);

  host::SetRegistryValue(kOptionsKey, u"RegDefaultOptions", REG_BINARY, Options(DOM_MIRROR, 1));
  options = Fresh();
  ASSERT_TRUE(Read(&options));
  EXPECT_EQ(options.optMirror, 1);
  EXPECT_EQ(host::Live().keys, baseline_.keys) << "the key is closed";

  // A registry value that is not a 32-byte block gives way to printer data.
  for (size_t size : {16, 40}) {
    host::SetRegistryValue(kOptionsKey, u"RegDefaultOptions", REG_BINARY,
                           Options(DOM_MIRROR, 1, size));
    options = Fresh();
    ASSERT_TRUE(Read(&options)) << size;
    EXPECT_EQ(options.optMirror, 2) << size;
  }
  host::SetPrinterDataBinary(printer_, u"RegDefaultOptions", Options(DOM_MIRROR, 2, 16));
  options = Fresh();
  EXPECT_FALSE(Read(&options));
  EXPECT_EQ(options.optMirror, 0x77);
}

TEST_F(DefaultOptionsTest, TheKeyIsNamedByTheWholeDeviceNameEvenUnterminated) {
  std::u16string name(CCHDEVICENAME, u'N');
  std::memcpy(settings_.dm.dmDeviceName, name.data(), sizeof(settings_.dm.dmDeviceName));
  std::u16string key = u"SOFTWARE\\Tolvane\\Quenza\\Driver\\3.0\\" + name;
  host::SetRegistryValue(key, u"RegDefaultOptions", REG_BINARY, Options(DOM_MIRROR, 1));
  DefaultOptions options = Fresh();
  ASSERT_TRUE(Read(&options));
  EXPECT_EQ(options.optMirror, 1);
}

TEST_F(DefaultOptionsTest, NothingIsReadWithoutEverythingItNeeds) {
  host::SetPrinterDataBinary(printer_, u"RegDefaultOptions", Options(DOM_MIRROR, 2));
  DefaultOptions options = Fresh();
  options.optSize = 31;
  EXPECT_FALSE(Read(&options));
  options = Fresh();
  EXPECT_FALSE(ReadDefaultOptions(&settings_, nullptr, &context_->modelData, &options));
  EXPECT_FALSE(ReadDefaultOptions(&settings_, INVALID_HANDLE_VALUE, &context_->modelData, &options));
  EXPECT_FALSE(ReadDefaultOptions(nullptr, printer_, &context_->modelData, &options));
  EXPECT_FALSE(ReadDefaultOptions(&settings_, printer_, nullptr, &options));
  EXPECT_FALSE(ReadDefaultOptions(&settings_, printer_, &context_->modelData, nullptr));
  EXPECT_EQ(options.optMirror, 0x77);
}

// ---- Locale and code page --------------------------------------------------------------

TEST_F(PrinterDataTest, CountriesOfTheAmericasMeasureInInches) {
  for (const char16_t* country : {u"1", u"2", u"55", u"506", u"50", u"599"}) {
    host::SetLocale(country, u"1");
    EXPECT_EQ(IsMetricCountry(), 0u) << host::Utf8(country);
  }
  for (const char16_t* country : {u"44", u"49", u"60", u"81", u"3", u"600", u"99999999999999999"}) {
    host::SetLocale(country, u"0");
    EXPECT_EQ(IsMetricCountry(), 1u) << host::Utf8(country);
  }
  host::SetLocale(u"49", u"0");
  for (host::Call call : {host::Call::GetLocaleInfo, host::Call::GlobalAlloc}) {
    for (uint64_t nth : {1, 2}) {
      host::ClearFailures();
      host::FailCall(call, nth);
      EXPECT_EQ(IsMetricCountry(), 0u) << host::CallName(call) << " " << nth;
    }
  }
  host::ClearFailures();
  ExpectNothingLeaked();
}

TEST_F(PrinterDataTest, EastAsianCodePagesAreTheFourDoubleByteOnes) {
  for (UINT page : {932u, 936u, 949u, 950u}) EXPECT_EQ(IsEastAsianCodePage(page), 1u) << page;
  for (UINT page : {0u, 437u, 1250u, 1252u, 65001u}) EXPECT_EQ(IsEastAsianCodePage(page), 0u) << page;
  host::SetCodePages(850, 1251);
  EXPECT_EQ(AnsiCodePage(), 1251u);

  CHAR text[4] = {'x', 'x', 'x', 'x'};
  INT converted = -5;
  WideToAnsi(text, 3, &converted, u"4412", 8);
  EXPECT_EQ(converted, 3);
  EXPECT_EQ(std::string(text, 4), "441x");
  WideToAnsi(nullptr, 3, &converted, u"44", 4);
  EXPECT_EQ(converted, 0);
}

}  // namespace
