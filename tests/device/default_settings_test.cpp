// SPDX-License-Identifier: Apache-2.0
// The default settings record: fixed defaults, locale and code page, the model's defaults,
// the stored default options, and the resource library's language.
#include <cstring>
#include <tuple>
#include <vector>

#include "device/default_settings.h"
#include "tests/host/temp_root.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

bool Same(const SettingsRecord& a, const SettingsRecord& b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

class DefaultSettingsTest : public HostTest {
 protected:
  // Model "TQ-33": a default tape key, 500 tenths (709 dots) long, and its resolutions.
  const ModelData* Model(WORD paperSize, WORD quality, WORD yResolution) {
    ModelRecord& model = *context_->modelData.modelRecord;
    CopyWideBounded(model.moName, u"TQ-33", 32);
    model.moDefaultPaperSize = paperSize;
    model.moDefaultLength = 500, model.moDefaultLengthDots = 709;
    model.moDefaultPrintQuality = quality;
    model.moDefaultYResolution = yResolution;
    return &context_->modelData;
  }
  SettingsRecord Build(const ModelData* model = nullptr, LPCWSTR deviceName = nullptr) {
    SettingsRecord s;
    std::memset(&s, 0xAA, sizeof(s));
    BuildDefaultSettings(&s, deviceName, model, nullptr);
    return s;
  }
  SettingsRecord WithOptions(DefaultOptions options, SHORT quality = 360) {
    SettingsRecord s = test::FixedDefaults();
    s.dm.dmPrintQuality = quality;
    ApplyDefaultOptions(&s.dm, &s.priv, &context_->modelData, &options);
    return s;
  }
  // Labels of kinds 5 (262: the shortest, 1 dot), 8 (263: 411 dots, 341 printable) and 11
  // (265). The list ends right after them: a search past them trips the address checks.
  test::TestContext context_{{test::Label(262, 240, 128, 1, 1, 1, 1),
                              test::Label(263, 290, 384, 290, 240, 411, 341, 8),
                              test::Label(265, 240, 128, 300, 250, 425, 354, 11)}};
};

TEST_F(DefaultSettingsTest, WithoutModelDataTheFixedDefaultsStandAndFlagsFollowTheCodePage) {
  EXPECT_TRUE(Same(Build(), test::FixedDefaults()));
  EXPECT_EQ(std::u16string(Build(nullptr, u"Office").dm.dmDeviceName), u"Office");  // the printer's name stands
  for (auto [ansi, flags] : {std::pair(936, 0x30A0u), {949, 0x30A0u}, {950, 0x30A0u}, {1250, 0x3000u}}) {
    host::SetCodePages(437, ansi);
    EXPECT_EQ(+Build().priv.privFlags, flags) << ansi;
  }
}

TEST_F(DefaultSettingsTest, TheModelGivesNameResolutionsAndItsTapeButNotTheInchFormName) {
  host::SetLocale(u"1", u"1");
  EXPECT_EQ(std::u16string(Build().dm.dmFormName), u"VK 1\" (RFID)");
  context_->modelData.mediaList[1].meWidthMultiple = 2;
  context_->modelData.mediaList[1].meKindCode = 0, context_->modelData.modelRecord->moType = '1';  // any length counts
  SettingsRecord s = Build(Model(263, 360, 720));
  EXPECT_EQ(std::tuple(+s.priv.privInchUnits, std::u16string(s.dm.dmFormName), std::u16string(s.dm.dmDeviceName)),
            std::tuple(1, u"VK 24mm (RFID)", u"TQ-33"));
  // The label's width, length and margin, (411 - 341 + 1) / 2, its key, index and multiple.
  EXPECT_EQ(std::vector<LONG>({s.dm.dmYResolution, s.dm.dmPaperSize, s.dm.dmPaperLength, LONG(s.priv.xbLength),
                               s.priv.privMargin, s.priv.privMediaId, s.dm.dmPaperWidth, LONG(s.priv.privLength),
                               s.priv.xbMargin, s.priv.xbPaperSize, s.priv.privPlainMediaId,
                               s.priv.privWidthMultiple, s.priv.xbWidthMultiple}),
            std::vector<LONG>({720, 263, 290, 411, 35, 1, 290, 290, 35, 263, 1, 2, 3}));
  context_->modelData.modelRecord->moType = '3';  // on other models only kinds 5, 8 and 11
  EXPECT_EQ(Build(Model(263, 360, 720)).dm.dmPaperLength, 500) << "the model's length";
  // An unknown tape keeps the model's length; a model without a y-resolution reads as 360.
  s = Build(Model(999, 720, 0));
  DefaultOptions mirror = {DEFAULT_OPTIONS_SIZE, DOM_MIRROR};  // an option without the length leaves it
  ApplyDefaultOptions(&s.dm, &s.priv, &context_->modelData, &mirror);
  EXPECT_EQ(std::vector<LONG>({s.dm.dmPaperSize, s.dm.dmPaperLength, LONG(s.priv.xbLength),
                               LONG(s.priv.privLength), s.dm.dmPrintQuality, s.dm.dmYResolution}),
            std::vector<LONG>({kLastResortPaperSize, 500, 709, 500, 720, 360}));
}

TEST_F(DefaultSettingsTest, EachOptionSetsItsByteAndKeepsItsExchangeBitInStep) {
  DefaultOptions all = {DEFAULT_OPTIONS_SIZE, 0x83FFC};  // every option but length and tape
  auto* bytes = reinterpret_cast<BYTE*>(&all);
  for (int i = 18; i <= 30; ++i) bytes[i] = static_cast<BYTE>(i);
  SettingsRecord s = WithOptions(all);
  const auto* priv = reinterpret_cast<const BYTE*>(&s.priv);
  EXPECT_EQ(std::vector<int>({priv[215], priv[216], priv[218], priv[219], priv[220], priv[244],
                              priv[245], priv[247], priv[257], priv[258], priv[276], priv[268],
                              priv[269], s.dm.dmCollate}),
            std::vector<int>({18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 1}));
  EXPECT_EQ(+s.priv.xbOptions, 0x201u | 0x4 | 0x400 | 0x800 | 0x20000);
  std::memset(bytes + 18, 0, 13);
  s = WithOptions(all);
  EXPECT_EQ(std::tuple(+s.priv.xbOptions, +s.dm.dmCollate), std::tuple(0u, 0));
}

TEST_F(DefaultSettingsTest, TheLengthComesBeforeTheTapeAndIncompleteBlocksChangeNothing) {
  // Dots alone give (2807 * 25400 / 360 + 50) / 100 tenths, held to 40 (57 dots) at least; a
  // key counts only with its bit, also alone, and a label's own length wins however short.
  for (auto [mask, dots, key, tenths, xb] : {std::tuple<DWORD, DWORD, WORD, int, DWORD>{
           0x2, 2807, 263, 1980, 2807}, {0x2, 2790, 0, 1969, 2790}, {0x2, 0, 0, 40, 57},
           {0x3, 2834, 263, 290, 411}, {0x3, 2834, 262, 1, 1}, {0x1, 0, 263, 290, 411}, {0x1, 0, 265, 300, 425}}) {
    const SettingsRecord s = WithOptions({DEFAULT_OPTIONS_SIZE, mask, 0, dots, key});
    EXPECT_EQ(std::tuple(+s.dm.dmPaperLength, +s.priv.xbLength), std::tuple(tenths, xb)) << mask;
  }
  // Without a quality the length in tenths stays; 2^31 dots at a quality of 127 are 2^32
  // tenths, more than a length holds: the longest the tape takes, 1 m.
  EXPECT_EQ(std::pair(+WithOptions({DEFAULT_OPTIONS_SIZE, 0x2, 0, 2807}, 0).dm.dmPaperLength,
                      +WithOptions({DEFAULT_OPTIONS_SIZE, 0x2, 0, 0x80000000u}, 127).dm.dmPaperLength), std::pair(1000, 10000));

  DefaultOptions unknownTape = {DEFAULT_OPTIONS_SIZE, 0x1, 0, 0, 264};
  for (DefaultOptions options : {unknownTape, DefaultOptions{DEFAULT_OPTIONS_SIZE, 0, 7, 99},
                                 DefaultOptions{31, 0x10}})
    EXPECT_TRUE(Same(WithOptions(options), test::FixedDefaults()));
  context_.SetMedia({test::Label(262, 240, 128, 1, 1, 1, 1, 0), test::Tape(263, 290, 384)}, '2');  // lengths count on type 2
  EXPECT_EQ(std::pair(+WithOptions({DEFAULT_OPTIONS_SIZE, 0x3, 0, 2834, 262}).dm.dmPaperLength,
                      +WithOptions({DEFAULT_OPTIONS_SIZE, 0x3, 0, 2834, 263}).dm.dmPaperLength), std::pair(1, 2000));
}

TEST_F(DefaultSettingsTest, CopyWideBoundedTerminatesZeroFillsAndReadsNoFurtherThanNeeded) {
  WCHAR field[33];
  std::fill(std::begin(field), std::end(field), u'#');
  CopyWideBounded(field, std::u16string(40, u'x').c_str(), 32);
  EXPECT_EQ(std::tuple(std::u16string(field), field[32]), std::tuple(std::u16string(31, u'x'), u'#'));
  std::vector<WCHAR> name = {u'a', u'b', u'c', 0};  // heap sources of exactly their length
  CopyWideBounded(field, name.data(), 32);
  EXPECT_EQ(std::u16string(field, 32), u"abc" + std::u16string(29, 0));
  std::vector<WCHAR> unterminated = {u'a', u'b'};
  CopyWideBounded(field, unterminated.data(), 3);
  EXPECT_EQ(std::u16string(field), u"ab");
}

TEST_F(DefaultSettingsTest, OnlyAUsEnglishUnicodeResourceLibraryGivesZero) {
  test::TempRoot root;
  host::SetDriverDirectory(u"C:\\" + std::u16string(243, u'd'));  // 246 units: the longest
  EXPECT_EQ(ResourceLanguageFlag(), 1u) << "no library";
  const auto library = root.Write(u"C:\\" + std::u16string(243, u'd') + u"\\3\\TQ33Kr.dll", "");
  for (auto [language, codePage, flag] :
       {std::tuple{0x0407, 0x04B0, 1u}, {0x0409, 0x04E4, 1u}, {0x0409, 0x04B0, 0u}}) {
    ASSERT_TRUE(host::WriteResourceLibrary(library, language, codePage));
    EXPECT_EQ(+Build().priv.privHighResAllowed, flag) << language << " " << codePage;
  }
  // A translation of one WORD is too short (the code page left behind it as padding is not
  // read); a translation followed by another entry is read.
  std::vector<uint8_t> shortValue = host::ResourceLibraryBytes(0x0409, 0x04B0), followed = shortValue;
  shortValue[10] = 2;
  followed.resize(followed.size() + 4);
  followed[4] += 4;
  for (auto [bytes, flag] : {std::pair{shortValue, 1u}, {followed, 0u}}) {
    root.Write(u"C:\\" + std::u16string(243, u'd') + u"\\3\\TQ33Kr.dll", std::string(bytes.begin(), bytes.end()));
    EXPECT_EQ(ResourceLanguageFlag(), flag) << bytes.size();
  }
  // A version call that fails gives no allowance either.
  for (host::Call call : {host::Call::GetFileVersionInfoSize, host::Call::GetFileVersionInfo,
                          host::Call::VerQueryValue}) {
    host::FailCall(call, 1);
    EXPECT_EQ(ResourceLanguageFlag(), 1u) << host::CallName(call);
  }
  // Directories too long for the path buffer, with and without the library's name.
  for (size_t length : {247u, 258u, 300u}) {
    host::SetDriverDirectory(u"C:\\" + std::u16string(length - 3, u'd'));
    EXPECT_EQ(ResourceLanguageFlag(), 1u) << length;
  }
}

}  // namespace
