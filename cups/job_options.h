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
JobOptions ResolveJobOptions(const JobOptions& driverDefaults, const PpdSettings& ppd,
                             const std::string& jobOptions, std::vector<std::string>* warnings);

}  // namespace tq33cups
