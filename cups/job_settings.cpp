// SPDX-License-Identifier: Apache-2.0
// Writing a CUPS job's page and options into the application's settings record.
#include "cups/job_settings.h"

#include <cmath>
#include <cstring>

namespace tq33cups {
namespace {

constexpr LONG kBaseResolution = 360;
constexpr LONG kHighResolution = 720;
constexpr LONG kMaxLengthField = 0x7FFF;  // dmPaperLength and dmPaperWidth are 16-bit

// An option byte: 1 when set, 0 when not.
BYTE Flag(bool on) { return on ? 1 : 0; }

// A length for a 16-bit field of the public record: 1 to 32767.
SHORT ClampShort(LONG value) {
  if (value < 1) return 1;
  return static_cast<SHORT>(value > kMaxLengthField ? kMaxLengthField : value);
}

}  // namespace

// Rounds to the nearest tenth of a millimetre; 0 for no length.
LONG TenthsFromPoints(double points) {
  if (!(points > 0)) return 0;
  const double tenths = std::floor(points * 254.0 / 72.0 + 0.5);
  return tenths > 1e9 ? 1000000000 : static_cast<LONG>(tenths);
}

// Exact within a double. Cannot fail.
double PointsFromTenths(LONG tenths) { return static_cast<double>(tenths) * 72.0 / 254.0; }

// The margin times the new resolution over the old, within 16 bits. Cannot fail.
WORD FeedMarginAt(WORD margin, LONG fromResolution, LONG toResolution) {
  const LONG from = fromResolution == kHighResolution ? kHighResolution : kBaseResolution;
  const LONG to = toResolution == kHighResolution ? kHighResolution : kBaseResolution;
  const LONG converted = static_cast<LONG>(margin) * to / from;
  return static_cast<WORD>(converted > 0xFFFF ? 0xFFFF : converted);
}

// The options of the default record, the queue's halftone, plain output. Cannot fail.
JobOptions DefaultJobOptions(const SettingsRecord& defaults) {
  const PrivateSettings& p = defaults.priv;
  JobOptions options;
  // The queue's own halftone, whatever the driver's default: labels are mostly text and
  // barcodes, whose edges error diffusion speckles.
  options.halftone = kQueueHalftone;
  options.contrast = p.privContrast;
  options.brightness = p.privBrightness;
  options.autoCut = p.privAutoCut == 1;
  options.halfCut = p.privHalfCut == 1;
  options.mirror = p.privMirror == 1;
  options.chainPrint = p.privChainPrint == 1;
  options.framed = false;
  return options;
}

// The medium of the type when there is one, else the size's. Cannot fail.
const MediaChoice* SelectMedium(const std::vector<MediaChoice>& catalog, const PageRequest& page,
                                bool* typeFound) {
  const MediaChoice* sized = FindMediaChoice(catalog, page.sizeName);
  const MediaChoice* typed = page.mediaType.empty()
                                 ? nullptr
                                 : FindMediumOfType(catalog, sized, page.width, page.length, page.mediaType);
  if (typeFound) *typeFound = page.mediaType.empty() || typed;
  return typed ? typed : sized;
}

// The default record with the page and the options written in. Cannot fail: what the
// driver cannot honour its merge settles.
std::vector<uint8_t> BuildApplicationRecord(const SettingsRecord& defaults,
                                            const std::vector<MediaChoice>& catalog,
                                            const PageRequest& page, const JobOptions& options,
                                            LONG copies) {
  SettingsRecord record = defaults;
  DEVMODEW& dm = record.dm;
  PrivateSettings& p = record.priv;

  dm.dmFields |= DM_ORIENTATION | DM_PAPERSIZE | DM_PAPERLENGTH | DM_PAPERWIDTH | DM_COPIES |
                 DM_YRESOLUTION;
  dm.dmOrientation = page.orientation;

  const LONG resolution = page.yResolution >= kHighResolution ? kHighResolution : kBaseResolution;
  p.privMargin = FeedMarginAt(p.privMargin, dm.dmYResolution, resolution);
  dm.dmYResolution = static_cast<short>(resolution);

  if (const MediaChoice* choice = SelectMedium(catalog, page)) {
    dm.dmPaperSize = static_cast<short>(choice->paperSize);
    dm.dmPaperWidth = choice->width;
    // A continuous tape takes the page's length; a label keeps its own.
    dm.dmPaperLength = choice->continuous() ? ClampShort(page.length) : choice->length;
    p.privMediaKind = choice->kind;
  } else {
    dm.dmPaperSize = DMPAPER_USER;
    dm.dmPaperWidth = ClampShort(page.width);
    dm.dmPaperLength = ClampShort(page.length);
  }

  LONG count = copies < 1 ? 1 : copies;
  if (count > kMaxCopies) count = kMaxCopies;
  dm.dmCopies = static_cast<short>(count);

  p.privHalftone = options.halftone;
  p.privContrast = options.contrast;
  p.privBrightness = options.brightness;
  p.privAutoCut = Flag(options.autoCut);
  p.privHalfCut = Flag(options.halfCut);
  p.privMirror = Flag(options.mirror);
  p.privChainPrint = Flag(options.chainPrint);
  p.privUseMonitor = Flag(options.framed);
  // Everything is asked through the public fields and the option bytes: an exchange request
  // left in the defaults would override the page's length or the options.
  p.xbRequest = 0;

  std::vector<uint8_t> bytes(sizeof(record));
  std::memcpy(bytes.data(), &record, sizeof(record));
  return bytes;
}

}  // namespace tq33cups
