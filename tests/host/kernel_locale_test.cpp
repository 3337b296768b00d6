// The locale answers and the code-page conversion the printer-data reads and the settings
// merge rely on (the current code pages are set and read in the device tests).
#include <cstring>

#include "tests/support/host_test.h"

namespace {

using KernelLocaleTest = HostTest;

TEST_F(KernelLocaleTest, LocaleValuesAnswerTheProbeThenFitExactlyAndRefuseAShortBuffer) {
  host::SetLocale(u"506", u"1");
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, nullptr, 0), 4);
  WCHAR buffer[4] = {u'x', u'x', u'x', u'x'};
  SetLastError(0);
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, buffer, 3), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, buffer, 4), 4);
  EXPECT_EQ(std::u16string(buffer), u"506");
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IMEASURE, buffer, 4), 2);
  EXPECT_EQ(std::u16string(buffer), u"1");
}

TEST_F(KernelLocaleTest, UnknownTypesBadArgumentsAndInjectedFailuresGiveZero) {
  WCHAR buffer[8];
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, 0x1001, buffer, 8), 0);
  EXPECT_EQ(GetLastError(), 1004u);
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, nullptr, 8), 0);
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, buffer, -1), 0);
  host::FailCall(host::Call::GetLocaleInfo, 1);
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, nullptr, 0), 0);
  EXPECT_EQ(GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ICOUNTRY, nullptr, 0), 3);
}

TEST_F(KernelLocaleTest, WideToMultiByteConvertsExactlyTheUnitsGivenWithinTheRoomGiven) {
  WCHAR wide[] = {u'4', u'4', 0, u'\u00e9', u'x'};
  char out[8];
  std::memset(out, '#', sizeof out);
  // Five bytes are two whole units; the odd byte is not converted.
  EXPECT_EQ(EngWideCharToMultiByte(1252, wide, 5, out, 8), 2);
  EXPECT_EQ(std::string(out, 3), "44#");
  EXPECT_EQ(EngWideCharToMultiByte(1252, wide, 10, out, 8), 5);
  EXPECT_EQ(std::string(out, 6), std::string("44\0?x#", 6));
  std::memset(out, '#', sizeof out);
  EXPECT_EQ(EngWideCharToMultiByte(1252, wide, 10, out, 3), 3);
  EXPECT_EQ(std::string(out, 4), std::string("44\0#", 4));
  EXPECT_EQ(EngWideCharToMultiByte(1252, nullptr, 10, out, 8), -1);
  EXPECT_EQ(EngWideCharToMultiByte(1252, wide, 10, nullptr, 8), -1);
  EXPECT_EQ(EngWideCharToMultiByte(1252, wide, -2, out, 8), -1);
}

}  // namespace
