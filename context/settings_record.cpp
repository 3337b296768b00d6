// SPDX-License-Identifier: Apache-2.0
// The settings record: media limits, the device-mode version of a record and the copy
// of a caller's record of any known size into a driver record.
#include "context/settings_record.h"

#include <cstdint>
#include <cstring>

namespace {

// Special media: kind code 16 with bit 0 of the option word set.

// A record must at least hold its own size fields (dmSize and dmDriverExtra end at 72).
constexpr DWORD kSizeFieldsEnd = offsetof(DEVMODEW, dmDriverExtra) + sizeof(WORD);

}  // namespace

BOOL IsSpecialMedia(const MediaListEntry* entry) {
  if (!entry) return FALSE;
  return entry->meKindCode == MEDIA_KIND_SPECIAL && (entry->meOptions & 1) != 0;
}

DWORD MaxLengthTenths(const MediaListEntry* entry) { return IsSpecialMedia(entry) ? 1000 : 10000; }

DWORD MinLengthTenths(const MediaListEntry* entry) { return IsSpecialMedia(entry) ? 535 : 40; }

DWORD MinMarginTenths(const MediaListEntry* entry) { return IsSpecialMedia(entry) ? 40 : 10; }

DWORD MinMarginDots360(const MediaListEntry* entry) { return IsSpecialMedia(entry) ? 57 : 14; }

DWORD MaxMarginTenths(const MediaListEntry* entry) { return IsSpecialMedia(entry) ? 490 : 270; }

DWORD BoundedLengthTenths(const MediaListEntry* entry, DWORD tenths, BOOL keepShort) {
  if (!keepShort && tenths <= MinLengthTenths(entry)) tenths = MinLengthTenths(entry);
  if (tenths >= MaxLengthTenths(entry)) tenths = MaxLengthTenths(entry);
  return tenths;
}

DWORD LengthTenthsToDots(DWORD tenths, DWORD resolution) {
  const uint64_t dots = (static_cast<uint64_t>(tenths) * 10000 / 254 * resolution + 5000) / 10000;
  return static_cast<DWORD>(dots);
}

DWORD MarginTenthsToDots(DWORD tenths, DWORD resolution) {
  const uint64_t dots =
      (static_cast<uint64_t>(tenths) * 100000 / 254 * resolution + 50000) / 100000;
  return static_cast<DWORD>(dots);
}

WORD BoundedMarginDots(const MediaListEntry* entry, DWORD dots, DWORD resolution) {
  const DWORD most = MarginTenthsToDots(MaxMarginTenths(entry), resolution);
  return static_cast<WORD>(dots > most ? most : dots);
}

WORD SettingsSpecVersion(const DEVMODEW* record) {
  if (!record) return 0;
  switch (record->dmSize) {
    case 188:
      return 0x320;
    case 212:
      return 0x400;
    case 220:
      return 0x401;
    default:
      return record->dmSpecVersion;
  }
}

LONG CopySettings(const DEVMODEW* source, DWORD sourceBytes, SettingsRecord* target) {
  // The caller's size fields are read only once we know the record holds them, and the
  // record must hold what is read of it: its dmSize public bytes and, behind them, as many
  // of its dmDriverExtra private bytes as the target takes. A record that holds less, or a
  // public part too short to hold its own size fields, is refused rather than read past
  // its end.
  if (!source || !target || sourceBytes < kSizeFieldsEnd) return -1;
  const DWORD sourceSize = source->dmSize;
  const DWORD sourceExtra = source->dmDriverExtra;
  const DWORD privateRead =
      sourceExtra < target->dm.dmDriverExtra ? sourceExtra : target->dm.dmDriverExtra;
  if (sourceSize < kSizeFieldsEnd || sourceSize + privateRead > sourceBytes) return -1;

  if (SettingsSpecVersion(source) == 0) return -1;
  const WORD version = SettingsSpecVersion(&target->dm);
  if (version == 0) return -1;

  const WORD targetDriverVersion = target->dm.dmDriverVersion;
  const WORD targetSize = target->dm.dmSize;
  const WORD targetExtra = target->dm.dmDriverExtra;

  BYTE* targetBytes = reinterpret_cast<BYTE*>(target);
  const BYTE* sourceRecord = reinterpret_cast<const BYTE*>(source);

  // The target is always one of our own records: its public part is at most 220 bytes and
  // its private part at most 284, so both copies stay inside it.
  const DWORD publicBytes = targetSize < sourceSize ? targetSize : sourceSize;
  std::memcpy(targetBytes, sourceRecord, publicBytes < sizeof(DEVMODEW) ? publicBytes
                                                                        : sizeof(DEVMODEW));

  target->dm.dmDriverVersion = targetDriverVersion;
  target->dm.dmSize = targetSize;
  target->dm.dmDriverExtra = targetExtra;
  target->dm.dmSpecVersion = version;

  DWORD privateBytes = privateRead;
  const DWORD targetPrivateStart = targetSize <= sizeof(DEVMODEW) ? targetSize : sizeof(DEVMODEW);
  if (privateBytes > SETTINGS_RECORD_SIZE - targetPrivateStart)
    privateBytes = SETTINGS_RECORD_SIZE - targetPrivateStart;
  std::memcpy(targetBytes + targetPrivateStart, sourceRecord + sourceSize, privateBytes);

  return static_cast<LONG>(publicBytes + privateBytes);
}
