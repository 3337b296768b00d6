// SPDX-License-Identifier: Apache-2.0
// The driver's front door: enable, query and disable.
#include <set>

#include "driver/ddi.h"
#include "driver/driver_globals.h"
#include "tests/support/host_test.h"

namespace {

class EntryTest : public HostTest {};

TEST_F(EntryTest, EnableRefusesOlderEnginesAndShortRecordsLeavingTheRecordUntouched) {
  DRVENABLEDATA data{0xAAAA, 0xBBBB, nullptr};
  SetLastError(0);
  EXPECT_FALSE(DrvEnableDriver(0x1FFFF, sizeof(data), &data) || GetLastError() != ERROR_BAD_DRIVER_LEVEL);
  EXPECT_FALSE(DrvEnableDriver(DDI_DRIVER_VERSION_NT4, 11, &data) || GetLastError() != ERROR_INVALID_PARAMETER);
  EXPECT_EQ(std::tuple(data.iDriverVersion, data.c), std::tuple(0xAAAAu, 0xBBBBu));
  EXPECT_EQ(DrvEnableDriver(DDI_DRIVER_VERSION_NT4, 12, nullptr), FALSE);
  host::FailCall(host::Call::LockCreate, 3);  // the two locks made before it are deleted again
  EXPECT_FALSE(DrvEnableDriver(DDI_DRIVER_VERSION_NT4, 12, &data));
}

TEST_F(EntryTest, EnableHandsOutTheSixteenEntryTableInTheEngineOrder) {
  DRVENABLEDATA data{};
  ASSERT_TRUE(DrvEnableDriver(DDI_DRIVER_VERSION_NT4, 12, &data));
  EXPECT_EQ(data.iDriverVersion, 0x20000u);
  ASSERT_EQ(data.c, 16u);
  const ULONG expected[] = {0, 1, 2, 3, 4, 7, 8, 24, 25, 26, 32, 33, 34, 35, 57, 58};
  std::set<PFN> entries;
  for (ULONG i = 0; i < 16; ++i) {
    EXPECT_EQ(data.pdrvfn[i].iFunc, expected[i]) << "entry " << i;
    EXPECT_NE(data.pdrvfn[i].pfn, nullptr);
    entries.insert(data.pdrvfn[i].pfn);
  }
  EXPECT_EQ(entries.size(), 16u) << "every index has its own function";
  EXPECT_EQ(host::Live().locks, 5);
  DrvDisableDriver();
}

TEST_F(EntryTest, QueryAnswersOnlyTheUserModeQuestion) {
  // Mode, buffer, its size; whether answered, the error, the needed size and the buffer after.
  DWORD buffer = 0;
  const struct { DWORD mode; DWORD* out; DWORD size; BOOL ok; DWORD error, needed, value; }
      cases[] = {
      {DRVQUERY_USERMODE, &buffer, 4, TRUE, 0, 4, 1},
      {DRVQUERY_USERMODE, &buffer, 3, FALSE, ERROR_INSUFFICIENT_BUFFER, 4, 7},
      {DRVQUERY_USERMODE, nullptr, 4, FALSE, ERROR_INSUFFICIENT_BUFFER, 4, 7},
      {2, &buffer, 4, FALSE, ERROR_INVALID_PARAMETER, 99, 7}};  // needed not written
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.mode << " into " << c.size);
    buffer = 7;
    DWORD needed = 99;
    SetLastError(0);
    EXPECT_EQ(DrvQueryDriverInfo(c.mode, c.out, c.size, &needed), c.ok);
    EXPECT_EQ(std::tuple(GetLastError(), needed, buffer), std::tuple(c.error, c.needed, c.value));
  }
  // Without a place for the size the question is still answered.
  EXPECT_TRUE(DrvQueryDriverInfo(DRVQUERY_USERMODE, &buffer, 4, nullptr));
  EXPECT_EQ(buffer, 1u);
}

TEST_F(EntryTest, DisableReleasesEveryCachedFontEntry) {
  DRVENABLEDATA data{};
  ASSERT_TRUE(DrvEnableDriver(DDI_DRIVER_VERSION_NT4, 12, &data));
  // Two entries, one with items, whatever their reference counts.
  for (int i = 0; i < 2; ++i) {
    auto* entry = static_cast<DeviceFontEntry*>(GlobalAlloc(GPTR, sizeof(DeviceFontEntry)));
    ASSERT_NE(entry, nullptr);
    entry->references = 3;
    if (i == 1) {
      entry->itemCount = 2;
      entry->items = static_cast<DeviceFontItem*>(GlobalAlloc(GPTR, 2 * sizeof(DeviceFontItem)));
      entry->items[0].block = GlobalAlloc(GPTR, 16);
    }
    entry->next = g_driver.sharedFontCache;
    g_driver.sharedFontCache = entry;
  }
  DrvDisableDriver();
  EXPECT_EQ(g_driver.sharedFontCache, nullptr);
}

}  // namespace
