// SPDX-License-Identifier: Apache-2.0
// What a CUPS job asks of the driver, and the application's settings record that asks it:
// the page size and resolution of a raster page and the job's options, written into the
// driver's default record the way an application that knows the driver would.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "context/settings_record.h"
#include "cups/media_catalog.h"

namespace tq33cups {

// The job options a TQ-33 queue offers, in the driver's terms.
struct JobOptions {
  BYTE halftone = kToneErrorDiffusion;  // privHalftone: kToneThreshold, kToneOrdered or this
  signed char contrast = 0;    // privContrast
  signed char brightness = 0;  // privBrightness
  bool autoCut = true;         // privAutoCut
  bool halfCut = true;         // privHalfCut
  bool mirror = false;         // privMirror
  bool chainPrint = false;     // privChainPrint
  bool framed = false;         // privUseMonitor: framed pages for a receiving component
                               // instead of plain printer commands
  bool collate = false;        // copies of the whole document in turn, not of each page;
                               // the filter's, not the record's
  std::string mediaType;       // the media type asked for (IPP media-type keyword), which
                               // picks among the media of the page's size; empty: the
                               // page size's own medium
};

// The page a raster page was made for.
struct PageRequest {
  std::string sizeName;  // PPD PageSize keyword; empty or unknown: a custom size
  LONG width = 0;        // page width (across the tape), tenths of a millimetre
  LONG length = 0;       // page length (along the tape), tenths of a millimetre
  LONG yResolution = 360;  // dots per inch along the tape
  std::string mediaType;   // IPP media-type keyword; empty: the size's own medium
  short orientation = DMORIENT_LANDSCAPE;  // dmOrientation: the queue's pages are landscape
};

// Copies beyond this are refused by the driver's merge; the filter asks for at most this.
inline constexpr LONG kMaxCopies = 5000;

// The queue's halftone when neither the queue nor the job chooses one.
inline constexpr BYTE kQueueHalftone = kToneThreshold;

// The options of the driver's default record, but for two the queue chooses itself: it
// prints with threshold halftoning (kQueueHalftone), and plain printer commands, since on
// Linux nothing stands between CUPS and the printer to read framed pages.
JobOptions DefaultJobOptions(const SettingsRecord& defaults);

// The medium of a page: the medium of its media type and size (FindMediumOfType), else
// that of its size name; null for a custom size. typeFound (when given) tells whether the
// page's media type, if it has one, named the medium.
const MediaChoice* SelectMedium(const std::vector<MediaChoice>& catalog, const PageRequest& page,
                                bool* typeFound = nullptr);

// The application's record for one page: the default record with the page's medium,
// length, resolution, orientation and the options written in; the queue's pages are
// landscape (x along the tape, y across it), as its page sizes describe them. The page's medium
// (SelectMedium) is selected by its code; any other page is a custom size (code 256) that
// the driver matches against its tapes by width and length.
std::vector<uint8_t> BuildApplicationRecord(const SettingsRecord& defaults,
                                            const std::vector<MediaChoice>& catalog,
                                            const PageRequest& page, const JobOptions& options,
                                            LONG copies);

// The feed margin (privMargin) a record must carry when its feed resolution changes from
// one to another: the driver's merge reads the margin in dots at the resolution the
// record names, so a margin converted with the resolution stays the same length on the
// tape. Resolutions other than 720 count as 360, as they do in the merge.
WORD FeedMarginAt(WORD margin, LONG fromResolution, LONG toResolution);

// Tenths of a millimetre of a length in points (1/72 inch), rounded to nearest.
LONG TenthsFromPoints(double points);
// Points of a length in tenths of a millimetre.
double PointsFromTenths(LONG tenths);

}  // namespace tq33cups
