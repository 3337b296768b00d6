// SPDX-License-Identifier: Apache-2.0
// The job's options as CUPS hands them to the filter: the defaults the queue's PPD holds,
// overridden by the options of the job, resolved into the driver's terms.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "cups/job_settings.h"

namespace tq33cups {

// What the filter reads of the queue's PPD.
struct PpdSettings {
  std::map<std::string, std::string> defaults;  // option keyword -> default choice
  std::string modelDataFile;                    // the installation's files, when named
  std::string mediaFile;
};

// PPD files larger than this are not read.
inline constexpr size_t kMaxPpdBytes = size_t{4} << 20;

// Reads the option defaults and the installation attributes of PPD text.
PpdSettings ParsePpdSettings(std::string_view text);
// Reads them from a PPD file. FALSE with the reason in error when it cannot be read.
bool ReadPpdSettings(const std::string& path, PpdSettings* settings, std::string* error);

// The job options: the driver's defaults, then the PPD's defaults, then the job's options
// (a CUPS options string, "name=value name2=value2"). A value that is not a choice of its
// option is ignored, with a warning for the job's log.
//
// The halftone: the job's TQ33Halftone, else what the job's print-content-optimize says
// it holds (text, graphics, text-and-graphics: threshold; photo: error diffusion; auto:
// no choice), else the PPD's default, else the queue's (threshold).
// The media type: the job's MediaType or media-type (or a part of its media option that
// is one of types); a job that names a size (PageSize, media, media-col...) but no type
// gets none, which prints on the size's own medium; a job that names neither gets the
// PPD's default type.
JobOptions ResolveJobOptions(const JobOptions& driverDefaults, const PpdSettings& ppd,
                             const std::string& jobOptions, std::vector<std::string>* warnings,
                             const std::vector<std::string>* types = nullptr);

}  // namespace tq33cups
