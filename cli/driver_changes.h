// SPDX-License-Identifier: Apache-2.0
// What the driver made of the settings the command line asked for. The driver's merge
// replaces what it cannot honour without a word; the tool compares what was asked with
// the merged record and says, in words and units, what changed, and why a context the
// driver refused has no page.
#pragma once

#include <string>
#include <vector>

#include "cli/tool_options.h"
#include "context/device_context.h"
#include "cups/media_catalog.h"

namespace tq33cli {

// The medium the driver selects for a context's settings: the lookup every part of the
// driver makes.
struct SelectedMedium {
  LONG mediaIndex = -1;                         // relative to privMediaBase
  LONG definitionIndex = -1;                    // -1 for none
  const MediaRecord* record = nullptr;          // null when the index lies outside the table
  const MediaDefinition* definition = nullptr;  // the user-defined label, when one applies
  std::string name;                             // the definition's or the record's name
  unsigned code = 0;                            // the paper size code that names it
};
SelectedMedium SelectMedium(const DeviceContext& context, HANDLE printer);

// One sentence for every setting the command line asked for that the merged context does
// not hold or the printer cannot print ("5001 copies is more than 5000; printing 5000").
// The fields compared are those the settings steps name; a --devmode record's own fields
// are not. applicationRecord is the record the steps made, catalog the installation's media.
std::vector<std::string> DescribeChanges(const std::vector<SettingsStep>& steps,
                                         const std::vector<uint8_t>& applicationRecord,
                                         const DeviceContext& merged, HANDLE printer,
                                         const std::vector<tq33cups::MediaChoice>& catalog);

// Why merged settings leave no page to print on, in words.
std::string DescribeNoPage(const DeviceContext& merged, HANDLE printer);

// A medium in words: "24 mm wide, labels 40 mm long, paper, 2 labels across, special".
std::string DescribeMedium(const MediaRecord& record, const MediaDefinition* definition);

// A length in tenths (or hundredths) of a millimetre in millimetres: "53.5 mm", or the
// figure alone ("53.5").
std::string MillimetreFigure(int64_t tenths);
std::string Millimetres(int64_t tenths);
std::string MillimetresFromHundredths(int64_t hundredths);

}  // namespace tq33cli
