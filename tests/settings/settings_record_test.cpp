// The settings record: its limits by media and the copy of caller records of every size.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

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

// Copies a caller record of exactly publicSize + privateSize bytes (at least 72), in its own
// allocation so that the sanitizer sees any read past it, into target; CopySettings is told
// the record holds `available` bytes when given. Public bytes are 0x11, private bytes 0x22.
LONG CopyInto(SettingsRecord* target, WORD publicSize, WORD privateSize, WORD specVersion,
              DWORD available = 0) {
  size_t bytes = static_cast<size_t>(publicSize) + privateSize;
  if (bytes < 72) bytes = 72;
  auto record = std::make_unique<BYTE[]>(bytes);
  std::memset(record.get(), 0x11, bytes);
  std::memset(record.get() + publicSize, 0x22, bytes - publicSize);
  auto* dm = reinterpret_cast<DEVMODEW*>(record.get());
  dm->dmSpecVersion = specVersion;
  dm->dmDriverVersion = 0x123;
  dm->dmSize = publicSize;
  dm->dmDriverExtra = privateSize;
  return CopySettings(dm, available ? available : static_cast<DWORD>(bytes), target);
}

TEST(MediaLimits, SpecialMediaNeedKindCodeSixteenAndOptionBitZero) {
  const MediaListEntry normal{};
  MediaListEntry entry{};
  EXPECT_FALSE(IsSpecialMedia(nullptr));
  EXPECT_FALSE(IsSpecialMedia(&entry));
  entry.meKindCode = 16;
  EXPECT_FALSE(IsSpecialMedia(&entry)) << "kind 16 without the option bit";
  entry.meOptions = 0x3;
  EXPECT_TRUE(IsSpecialMedia(&entry));
  entry.meKindCode = 15;
  EXPECT_FALSE(IsSpecialMedia(&entry));
  // A null entry takes the limits of normal media.
  for (auto limit : {MaxLengthTenths, MinLengthTenths, MinMarginTenths, MinMarginDots360,
                     MaxMarginTenths}) {
    EXPECT_EQ(limit(nullptr), limit(&normal));
  }
}

TEST(SettingsSpecVersion, FollowsTheKnownSizesThenTheRecordsOwnVersion) {
  EXPECT_EQ(SettingsSpecVersion(nullptr), 0);
  const WORD cases[][3] = {  // size, the record's version, the version taken
      {188, 0x777, 0x320}, {212, 0x777, 0x400}, {220, 0x777, 0x401}, {200, 0x777, 0x777},
      {200, 0, 0}};
  for (auto [size, own, taken] : cases) {
    DEVMODEW dm{};
    dm.dmSize = size;
    dm.dmSpecVersion = own;
    EXPECT_EQ(SettingsSpecVersion(&dm), taken) << size;
  }
}

TEST(CopySettings, ShortPublicPartWithoutPrivatePartKeepsTheDefaultsBehindIt) {
  SettingsRecord target = DriverRecord();
  const SettingsRecord before = target;
  EXPECT_EQ(CopyInto(&target, 188, 0, 0), 188);
  EXPECT_EQ(target.dm.dmSize, 220);
  EXPECT_EQ(target.dm.dmSpecVersion, 0x401);
  EXPECT_EQ(target.dm.dmDriverVersion, 0x500);
  EXPECT_EQ(target.dm.dmDriverExtra, 284);
  EXPECT_EQ(target.dm.dmFields, 0x11111111u) << "public bytes come from the caller";
  const BYTE* t = reinterpret_cast<const BYTE*>(&target);
  const BYTE* b = reinterpret_cast<const BYTE*>(&before);
  EXPECT_EQ(std::memcmp(t + 188, b + 188, 504 - 188), 0) << "the rest keeps the target's values";
}

TEST(CopySettings, RefusesUnknownSizesWithoutASpecVersionAndRecordsClaimingMoreThanTheyHold) {
  SettingsRecord target = DriverRecord();
  EXPECT_EQ(CopyInto(&target, 200, 0, 0), -1);
  EXPECT_EQ(CopyInto(&target, 220, 284, 0x401, 503), -1);
  EXPECT_EQ(CopyInto(&target, 220, 284, 0x401, 71), -1);
  EXPECT_EQ(CopySettings(nullptr, 504, &target), -1);
  const SettingsRecord untouched = DriverRecord();
  EXPECT_EQ(std::memcmp(&target, &untouched, sizeof(target)), 0) << "nothing copied";
  EXPECT_EQ(CopyInto(&target, 200, 0, 0x400), 200);
}

TEST(CopySettings, PrivatePartIsFoundBehindTheCallersPublicPartAndCutAtItsOwnSize) {
  SettingsRecord target = DriverRecord();
  EXPECT_EQ(CopyInto(&target, 212, 284, 0x400), 212 + 284);
  EXPECT_EQ(target.priv.xbSize, 0x2222);
  EXPECT_EQ(reinterpret_cast<const BYTE*>(&target)[212], 0x5A)
      << "bytes 212..219 of the target's public part stay";
  EXPECT_EQ(CopyInto(&target, 220, 300, 0x401), 220 + 284);
  EXPECT_EQ(target.priv.privSignature, 0x22222222u);
  EXPECT_EQ(target.priv.privHighResAllowed, 0x22222222u);
}

// Every combination of short, long and zero sizes: the caller's record is read only within
// its own allocation, and the target is written only within its 504 bytes (the sanitizer
// watches both), whatever the size fields say.
TEST(CopySettings, NeverLeavesEitherRecordForAnyCombinationOfSizes) {
  const WORD publicSizes[] = {0, 1, 71, 72, 100, 187, 188, 189, 200, 212, 219, 220, 221, 300,
                              1000, 0xFFFF};
  const WORD privateSizes[] = {0, 1, 30, 283, 284, 285, 600, 0xFFFF};
  for (WORD publicSize : publicSizes) {
    for (WORD privateSize : privateSizes) {
      for (WORD version : {0, 0x320, 0x401}) {
        auto target = std::make_unique<SettingsRecord>(DriverRecord());
        const LONG copied = CopyInto(target.get(), publicSize, privateSize, version);
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
