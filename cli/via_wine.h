// SPDX-License-Identifier: Apache-2.0
// Jobs printed through the shipped Windows driver under Wine (--via-wine 32|64). The tool
// keeps everything of a job but the driver: it parses the options, makes the printer
// context on Linux (the application's settings record, the installation, the printer's
// environment and the warnings come from there) and renders the images. The job it would
// print goes to run_job.exe (wine/run_job.cpp) of the width asked, which runs it through
// TQ33KV.DLL under Wine with the stand-in engine and spooler of `make wine`; what comes
// back is what the driver answered and what the spooler received.
//
// The Windows side is the build tree of `make wine` (build/windows, build/windows64, the
// prefix build/wine/prefix), found beside the build the tool belongs to or where
// TQ33_WINE_BUILD names it. Jobs on one prefix run one at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli/file_io.h"
#include "cli/printer_context.h"
#include "device/printer_data.h"
#include "wine/job_file.h"

namespace tq33cli {

// What a printer context answered, as `info` reports it: the context (its settings, its
// printer data, its page and band layout) and the records the driver filled.
struct ContextAnswers {
  const DeviceContext* context = nullptr;
  GDIINFO gdiInfo = {};
  DEVINFO deviceInfo = {};
};

class WineJob {
 public:
  // Finds what the width (32 or 64) needs (throws, naming what is missing and how to get
  // it) and writes the head of the job the printer context makes.
  WineJob(int bits, tq33job::Command command, const PrinterContext& printer,
          const ToolOptions& options);
  // Removes the job's files.
  ~WineJob();
  WineJob(const WineJob&) = delete;
  WineJob& operator=(const WineJob&) = delete;

  // Appends a page to print; throws when the job file cannot take it.
  void AddPage(const host::GrayImage& page);

  // Runs the job under Wine. Throws, with the reason, when the runner or the driver
  // refused it or crashed, and when a document did not end whole. Returns what the driver
  // answered differently from the Linux build's context, a sentence each (empty when
  // nothing differs): the default settings the application record was made from, the
  // job's settings records, printer data, page and bands, GDIINFO and DEVINFO.
  std::vector<std::string> Run();

  // What the driver answered, on the Linux context's media and installation.
  ContextAnswers Answers();
  // Writes what the spooler received (print) to out; throws when a write fails.
  void WriteSpooled(OutputFile* out) const;

  // "the 32-bit TQ33KV.DLL under Wine"
  std::string Name() const;

 private:
  struct Side;
  std::unique_ptr<Side> side_;
  const PrinterContext& printer_;
  std::string directory_;      // the job's directory, inside the prefix
  std::FILE* file_ = nullptr;  // the job file while it is written
  tq33job::Result result_;
  std::unique_ptr<DeviceContext> answered_;  // the Linux context with the driver's answers
  PrinterDataRecord answeredPrinterData_ = {};
};

// "the driver answered differently ...: A; B; and 3 more", for a failure message.
std::string DescribeDifferences(const std::string& name,
                                const std::vector<std::string>& differences);

}  // namespace tq33cli
