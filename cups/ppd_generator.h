// SPDX-License-Identifier: Apache-2.0
// The PPD of a TQ-33 queue, generated from an installation's media table: every tape and
// label by its name, size and imageable area as the driver computes them, custom sizes
// within the media limits, and the options the filter maps onto the settings record.
#pragma once

#include <string>

#include "platform/platform.h"

namespace tq33cups {

// Option keywords of the PPD, read back by the filter.
inline constexpr char kMediaTypeOption[] = "MediaType";
inline constexpr char kHalftoneOption[] = "TQ33Halftone";
inline constexpr char kContrastOption[] = "TQ33Contrast";
inline constexpr char kBrightnessOption[] = "TQ33Brightness";
inline constexpr char kAutoCutOption[] = "TQ33AutoCut";
inline constexpr char kHalfCutOption[] = "TQ33HalfCut";
inline constexpr char kMirrorOption[] = "TQ33Mirror";
inline constexpr char kChainPrintOption[] = "TQ33ChainPrint";
inline constexpr char kOutputFormOption[] = "TQ33OutputForm";
// CUPS's own option, offered so that the filter, not pdftopdf, collates the copies.
inline constexpr char kCollateOption[] = "Collate";
// Attributes naming the installation's files the filter lays out.
inline constexpr char kModelDataAttribute[] = "TQ33ModelData";
inline constexpr char kMediaFileAttribute[] = "TQ33MediaFile";

struct PpdSource {
  // The filter CUPS runs: a name in its filter directory, or an absolute path.
  std::string filter = "rastertotq33";
  // The installation's files for the filter; empty: the defaults built into the filter.
  std::string modelDataFile;
  std::string mediaFile;
};

// Generates the PPD for the printer of an installation: opens the driver's contexts for it
// through the engine harness, one per medium, to learn each medium's printable area.
// FALSE with the reason in error when the driver refuses the installation or no medium can
// be described.
bool GeneratePpd(HANDLE printer, const PpdSource& source, std::string* ppd, std::string* error);

}  // namespace tq33cups
