// SPDX-License-Identifier: Apache-2.0
// The settings record: its limits by media and the copy of caller records of every size
// (the settings fuzzer holds every other size, in a block of exactly its claimed extent).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "context/settings_record.h"

namespace {

// A driver record as the defaults would leave it, with recognisable private bytes.
SettingsRecord DriverRecord() {
  SettingsRecord record;
  std::memset(&record, 0x5A, sizeof(record));
  record.dm.dmSpecVersion = SETTINGS_SPEC_VERSION, record.dm.dmDriverVersion = SETTINGS_DRIVER_VERSION;
  record.dm.dmSize = SETTINGS_PUBLIC_SIZE, record.dm.dmDriverExtra = SETTINGS_PRIVATE_SIZE;
  return record;
}

// Copies a caller record of exactly publicSize + privateSize bytes (at least 72), in its own
// allocation so that the sanitizer sees any read past it, into target; CopySettings is told
// the record holds `available` bytes when given. Public bytes are 0x11, private bytes 0x22.
LONG CopyInto(SettingsRecord* target, WORD publicSize, WORD privateSize, WORD specVersion, DWORD available = 0) {
  size_t bytes = static_cast<size_t>(publicSize) + privateSize;
  if (bytes < 72) bytes = 72;
  auto record = std::make_unique<BYTE[]>(bytes);
  std::memset(record.get(), 0x11, bytes);
  std::memset(record.get() + publicSize, 0x22, bytes - publicSize);
  auto* dm = reinterpret_cast<DEVMODEW*>(record.get());
  dm->dmSpecVersion = specVersion, dm->dmDriverVersion = 0x123;
  dm->dmSize = publicSize, dm->dmDriverExtra = privateSize;
  return CopySettings(dm, available ? available : static_cast<DWORD>(bytes), target);
}

TEST(MediaLimits, SpecialMediaNeedKindCodeSixteenAndOptionBitZero) {
  const MediaListEntry normal{};
  EXPECT_FALSE(IsSpecialMedia(nullptr));
  for (auto [kind, options, special] :
       {std::tuple<BYTE, BYTE, bool>{0, 0, false}, {16, 0, false}, {16, 3, true}, {15, 3, false}}) {
    MediaListEntry entry{};
    entry.meKindCode = kind;
    entry.meOptions = options;
    EXPECT_EQ(IsSpecialMedia(&entry) != 0, special) << int(kind) << " " << int(options);
  }
  // A null entry takes the limits of normal media.
  for (auto limit : {MaxLengthTenths, MinLengthTenths, MinMarginTenths, MinMarginDots360, MaxMarginTenths}) {
    EXPECT_EQ(limit(nullptr), limit(&normal));
  }
}

// 26 mm is 368.5 dots at 360 dpi, 37.8 mm 1071.496 at 720.
TEST(MediaLimits, MarginDotsRoundToTheNearestDot) {
  EXPECT_EQ(std::tuple(MarginTenthsToDots(260, 360), MarginTenthsToDots(378, 720)), std::tuple(369u, 1071u));
}

TEST(CopySettings, ShortPublicPartWithoutPrivatePartKeepsTheDefaultsBehindIt) {
  SettingsRecord target = DriverRecord();
  const SettingsRecord before = target;
  EXPECT_EQ(CopyInto(&target, 188, 0, 0), 188);
  // The public bytes come from the caller; the sizes and versions stay the driver's.
  EXPECT_EQ(std::tuple(+target.dm.dmSize, +target.dm.dmSpecVersion, +target.dm.dmDriverVersion,
                       +target.dm.dmDriverExtra, +target.dm.dmFields),
            std::tuple(220, 0x401, 0x500, 284, 0x11111111u));
  const BYTE* t = reinterpret_cast<const BYTE*>(&target);
  const BYTE* b = reinterpret_cast<const BYTE*>(&before);
  EXPECT_EQ(std::memcmp(t + 188, b + 188, 504 - 188), 0) << "the rest keeps the target's values";
}

TEST(CopySettings, RefusesUnknownSizesWithoutASpecVersionAndRecordsClaimingMoreThanTheyHold) {
  SettingsRecord target = DriverRecord();
  EXPECT_EQ(CopyInto(&target, 220, 284, 0x401, 503), -1);
  EXPECT_EQ(CopyInto(&target, 71, 0, 0x401, 71), -1) << "no room for the size fields";
  EXPECT_EQ(std::tuple(CopySettings(nullptr, 504, &target), CopySettings(&target.dm, 504, nullptr)), std::tuple(-1, -1));
  const SettingsRecord untouched = DriverRecord();
  EXPECT_EQ(std::memcmp(&target, &untouched, sizeof(target)), 0) << "nothing copied";
  EXPECT_EQ(std::tuple(CopyInto(&target, 200, 0, 0x400), CopyInto(&target, 72, 0, 0x400, 72)), std::tuple(200, 72));
}

TEST(CopySettings, PrivatePartIsFoundBehindTheCallersPublicPartAndCutAtItsOwnSize) {
  SettingsRecord target = DriverRecord();
  // Records of the three known sizes are taken whatever their own version says.
  EXPECT_EQ(CopyInto(&target, 212, 284, 0), 212 + 284);
  EXPECT_EQ(target.priv.xbSize, 0x2222);
  EXPECT_EQ(reinterpret_cast<const BYTE*>(&target)[212], 0x5A) << "bytes 212..219 of the target's public part stay";
  EXPECT_EQ(CopyInto(&target, 220, 300, 0), 220 + 284);
  EXPECT_EQ(std::tuple(target.priv.privSignature, target.priv.privHighResAllowed), std::tuple(0x22222222u, 0x22222222u));
}

}  // namespace
