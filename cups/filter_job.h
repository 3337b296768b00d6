// SPDX-License-Identifier: Apache-2.0
// One CUPS job through the driver: the filter's set-up, its pages and its end, in the
// order a job runs them. The filter plays the application, the graphics engine and the
// spooler around the driver's DDI table (through the engine harness), reads the CUPS
// raster pages and writes what the driver sends to the spooler as the printer stream.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

namespace tq33cups {

// The filter's command line (job-id user title copies options [file]) and what CUPS
// tells it through the environment.
struct FilterArguments {
  std::string jobId;
  std::string user;
  std::string title;
  std::string copies;
  std::string options;
  std::string ppdPath;        // the queue's PPD ($PPD); empty: the driver's defaults
  std::string modelDataFile;  // the installation's files, overriding the PPD's; empty: the
  std::string mediaFile;      // PPD's, or the defaults built into the filter
};

// Exit statuses of the filter. CUPS keeps a job whose filter exits with any other status
// than 0 in the queue, stopped (processing-stopped, job-completed-with-errors), whatever
// the queue's error policy, until it is restarted or cancelled. So a failure that a later
// run may not meet (the output, the system) exits with kFilterFailed, and a job that can
// never print (a page it cannot print, data that is no raster) ends with its ERROR line
// and kFilterRefused, which ends it.
inline constexpr int kFilterOk = 0;
inline constexpr int kFilterFailed = 1;
inline constexpr int kFilterRefused = 0;

// Runs the job: CUPS raster from input, the printer stream to output, messages for the
// scheduler (ERROR:, WARNING:, INFO:, ATTR:, PAGE:) to messages. A set cancel flag ends
// the job after the page being read, and the driver's abort check ends a page being
// converted. kFilterOk when every page was printed or the job was cancelled; otherwise
// kFilterRefused or kFilterFailed with the reason in an ERROR: line.
int RunFilterJob(const FilterArguments& arguments, int input, int output, FILE* messages,
                 const std::atomic<bool>& cancelled);

}  // namespace tq33cups
