// The settings record: its limits by media and the copy of caller records of every size.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "settings/settings_record.h"

namespace {

// A driver record as the defaults would leave it, with recognisable private bytes.
SettingsRecord DriverRecord() {
  SettingsRecord record;
  std::memset(&record, 0x5A, sizeof(record));
  record.dm.dmSpecVersion = SETTINGS_SPEC_VERSION;
  record.dm.dmDriverVersion = SETTINGS_DRIVER_VERSION;
  record.dm.dmSize = SETTINGS_PUBLIC_SIZE;
  record.dm.dmDriverExtra = SETTINGS_PRIVATE_SIZE;
  return record;
}

// A caller record of exactly publicSize + privateSize bytes, in its own allocation so
// that the sanitizer sees any read past it. Public bytes are 0x11, private bytes 0x22.
std::unique_ptr<BYTE[]> CallerRecord(WORD publicSize, WORD privateSize, WORD specVersion,
                                     size_t* bytes) {
  *bytes = static_cast<size_t>(publicSize) + privateSize;
  if (*bytes < 72) *bytes = 72;
  auto record = std::make_unique<BYTE[]>(*bytes);
  std::memset(record.get(), 0x11, *bytes);
  std::memset(record.get() + publicSize, 0x22, *bytes - publicSize);
  auto* dm = reinterpret_cast<DEVMODEW*>(record.get());
  dm->dmSpecVersion = specVersion;
  dm->dmDriverVersion = 0x123;
  dm->dmSize = publicSize;
  dm->dmDriverExtra = privateSize;
  return record;
}

TEST(MediaLimits, SpecialMediaNeedKindCodeSixteenAndOptionBitZero) {
  MediaListEntry entry{};
  EXPECT_FALSE(IsSpecialMedia(nullptr));
  EXPECT_FALSE(IsSpecialMedia(&entry));
  entry.meKindCode = 16;
  EXPECT_FALSE(IsSpecialMedia(&entry)) << "kind 16 without the option bit";
  entry.meOptions = 0x3;
  EXPECT_TRUE(IsSpecialMedia(&entry));
  entry.meKindCode = 15;
  EXPECT_FALSE(IsSpecialMedia(&entry));
}

TEST(MediaLimits, NormalAndSpecialColumns) {
  MediaListEntry special{};
  special.meKindCode = 16;
  special.meOptions = 1;
  struct Row {
    DWORD (*limit)(const MediaListEntry*);
    DWORD normal, special;
  } rows[] = {{MaxLengthTenths, 10000, 1000},
              {MinLengthTenths, 40, 535},
              {MinMarginTenths, 10, 40},
              {MinMarginDots360, 14, 57},
              {MaxMarginTenths, 270, 490}};
  for (const Row& row : rows) {
    EXPECT_EQ(row.limit(nullptr), row.normal) << "a null entry takes the normal column";
    EXPECT_EQ(row.limit(&special), row.special);
  }
}

TEST(SettingsSpecVersion, FollowsTheKnownSizesThenTheRecordsOwnVersion) {
  DEVMODEW dm{};
  EXPECT_EQ(SettingsSpecVersion(nullptr), 0);
  dm.dmSpecVersion = 0x777;
  dm.dmSize = 188;
  EXPECT_EQ(SettingsSpecVersion(&dm), 0x320);
  dm.dmSize = 212;
  EXPECT_EQ(SettingsSpecVersion(&dm), 0x400);
  dm.dmSize = 220;
  EXPECT_EQ(SettingsSpecVersion(&dm), 0x401);
  dm.dmSize = 200;
  EXPECT_EQ(SettingsSpecVersion(&dm), 0x777);
  dm.dmSpecVersion = 0;
  EXPECT_EQ(SettingsSpecVersion(&dm), 0);
}

TEST(CopySettings, ShortPublicPartWithoutPrivatePartKeepsTheDefaultsBehindIt) {
  size_t bytes = 0;
  auto caller = CallerRecord(188, 0, 0, &bytes);
  SettingsRecord target = DriverRecord();
  const SettingsRecord before = target;
  EXPECT_EQ(CopySettings(reinterpret_cast<DEVMODEW*>(caller.get()), bytes, &target), 188);
  EXPECT_EQ(target.dm.dmSize, 220);
  EXPECT_EQ(target.dm.dmSpecVersion, 0x401);
  EXPECT_EQ(target.dm.dmDriverVersion, 0x500);
  EXPECT_EQ(target.dm.dmDriverExtra, 284);
  EXPECT_EQ(target.dm.dmFields, 0x11111111u) << "public bytes come from the caller";
  const BYTE* t = reinterpret_cast<const BYTE*>(&target);
  const BYTE* b = reinterpret_cast<const BYTE*>(&before);
  EXPECT_EQ(std::memcmp(t + 188, b + 188, 504 - 188), 0) << "the rest keeps the target's values";
}

TEST(CopySettings, UnknownSizesNeedASpecVersion) {
  size_t bytes = 0;
  auto refused = CallerRecord(200, 0, 0, &bytes);
  SettingsRecord target = DriverRecord();
  EXPECT_EQ(CopySettings(reinterpret_cast<DEVMODEW*>(refused.get()), bytes, &target), -1);
  const SettingsRecord untouched = DriverRecord();
  EXPECT_EQ(std::memcmp(&target, &untouched, sizeof(target)), 0) << "nothing copied";
  auto accepted = CallerRecord(200, 0, 0x400, &bytes);
  EXPECT_EQ(CopySettings(reinterpret_cast<DEVMODEW*>(accepted.get()), bytes, &target), 200);
}

TEST(CopySettings, LongPrivatePartIsCutAtItsOwnSize) {
  size_t bytes = 0;
  auto caller = CallerRecord(220, 300, 0x401, &bytes);
  SettingsRecord target = DriverRecord();
  EXPECT_EQ(CopySettings(reinterpret_cast<DEVMODEW*>(caller.get()), bytes, &target), 220 + 284);
  EXPECT_EQ(target.priv.privSignature, 0x22222222u);
  EXPECT_EQ(target.priv.privHighResAllowed, 0x22222222u);
}

TEST(CopySettings, PrivatePartIsFoundBehindTheCallersPublicPart) {
  size_t bytes = 0;
  auto caller = CallerRecord(212, 284, 0x400, &bytes);
  SettingsRecord target = DriverRecord();
  EXPECT_EQ(CopySettings(reinterpret_cast<DEVMODEW*>(caller.get()), bytes, &target), 212 + 284);
  EXPECT_EQ(target.priv.xbSize, 0x2222);
  const BYTE* t = reinterpret_cast<const BYTE*>(&target);
  EXPECT_EQ(t[212], 0x5A) << "bytes 212..219 of the target's public part stay";
}

TEST(CopySettings, RecordsThatClaimMoreThanTheyHoldAreRefused) {
  size_t bytes = 0;
  auto caller = CallerRecord(220, 284, 0x401, &bytes);
  SettingsRecord target = DriverRecord();
  EXPECT_EQ(CopySettings(reinterpret_cast<DEVMODEW*>(caller.get()), bytes - 1, &target), -1);
  EXPECT_EQ(CopySettings(reinterpret_cast<DEVMODEW*>(caller.get()), 71, &target), -1);
  EXPECT_EQ(CopySettings(nullptr, 504, &target), -1);
}

// Every combination of short, long and zero sizes: the caller's record is read only within
// its own allocation, and the target is written only within its 504 bytes (the sanitizer
// watches both), whatever the size fields say.
TEST(CopySettings, NeverLeavesEitherRecordForAnyCombinationOfSizes) {
  const WORD publicSizes[] = {0, 1, 71, 72, 100, 187, 188, 189, 200, 212, 219, 220, 221, 300,
                              1000, 0xFFFF};
  const WORD privateSizes[] = {0, 1, 30, 283, 284, 285, 600, 0xFFFF};
  const WORD versions[] = {0, 0x320, 0x401};
  for (WORD publicSize : publicSizes) {
    for (WORD privateSize : privateSizes) {
      for (WORD version : versions) {
        size_t bytes = 0;
        auto caller = CallerRecord(publicSize, privateSize, version, &bytes);
        auto target = std::make_unique<SettingsRecord>(DriverRecord());
        LONG copied = CopySettings(reinterpret_cast<DEVMODEW*>(caller.get()),
                                   static_cast<DWORD>(bytes), target.get());
        if (copied > 0) {
          EXPECT_LE(copied, 504);
          EXPECT_EQ(target->dm.dmSize, 220);
          EXPECT_EQ(target->dm.dmDriverExtra, 284);
        } else {
          EXPECT_EQ(copied, -1);
        }
      }
    }
  }
}

}  // namespace
