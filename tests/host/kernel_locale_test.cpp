// SPDX-License-Identifier: Apache-2.0
// The code-page conversion the printer-data reads and the settings merge rely on (the
// locale's answers, its failure and the code pages are read in the device tests).
#include <cstring>

#include "tests/support/host_test.h"

namespace {

using KernelLocaleTest = HostTest;

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
  EXPECT_EQ(std::tuple(EngWideCharToMultiByte(1252, nullptr, 10, out, 8), EngWideCharToMultiByte(1252, wide, 10, nullptr, 8),
                       EngWideCharToMultiByte(1252, wide, -2, out, 8)), std::tuple(-1, -1, -1));
}

}  // namespace
