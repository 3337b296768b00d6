// SPDX-License-Identifier: Apache-2.0
// `tq33 ppd`: the PPD of a CUPS queue for the installation, generated from its media table
// (every tape and label by name, size and printable area; custom sizes within the media
// limits; the filter's options). The queue's filter is rastertotq33.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/file_io.h"
#include "cli/installation.h"
#include "cli/interrupts.h"
#include "cli/tool.h"
#include "cups/ppd_generator.h"

namespace tq33cli {
namespace {

namespace fs = std::filesystem;

struct PpdOptions {
  std::string out;
  std::string filter = "rastertotq33";
  ToolOptions shared;
  SharedOptionValues values;
};

// The absolute path of a file the filter must find later, from wherever it runs.
std::string Absolute(const std::string& path) {
  std::error_code code;
  fs::path absolute = fs::absolute(path, code);
  return code ? path : absolute.lexically_normal().string();
}

// A file of an installation directory given with --install: in its laid-out driver
// directory or in the directory itself. Empty when it has none.
std::string InstalledFile(const std::string& directory, const char* name) {
  std::error_code code;
  for (const fs::path& candidate : {fs::path(directory) / "C" / "TQ33" / "drivers" / name,
                                    fs::path(directory) / name}) {
    if (fs::is_regular_file(candidate, code)) return Absolute(candidate.string());
  }
  return {};
}

// Refuses a filter the PPD cannot name soundly. The *cupsFilter value is one quoted
// string whose fields (type, cost, program) are separated by blanks and which has no
// quoting of its own, so a path with blanks or quotes cannot stand in it; and CUPS runs a
// relative path from its own filter directory, not from where it was given.
void CheckFilter(const std::string& filter) {
  for (char c : filter) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '"' || c == '\'') {
      UsageError("--filter '" + filter +
                 "': a blank, a quote or a control character cannot stand in the PPD's "
                 "*cupsFilter line; install the filter under a path without them");
    }
  }
  if (filter.empty()) UsageError("--filter names no program");
  if (filter.find('/') != std::string::npos && filter.front() != '/') {
    UsageError("--filter " + filter +
               ": CUPS would look for a relative path in its own filter directory; give an "
               "absolute path, or a bare name of a filter installed there");
  }
}

int RunPpd(const PpdOptions& options) {
  CheckFilter(options.filter);
  // The filter lays out the same files: the PPD names them unless they are the defaults
  // built into both.
  tq33cups::PpdSource source;
  source.filter = options.filter;
  if (!options.shared.installDir.empty()) {
    source.modelDataFile = InstalledFile(options.shared.installDir, "TQ33KV.MDL");
    source.mediaFile = InstalledFile(options.shared.installDir, "TQ33KV.DAT");
  }
  if (!options.shared.modelDataFile.empty()) source.modelDataFile = Absolute(options.shared.modelDataFile);
  if (!options.shared.mediaFile.empty()) source.mediaFile = Absolute(options.shared.mediaFile);

  ToolInstallation installation(options.shared);
  std::string ppd;
  std::string error;
  if (!tq33cups::GeneratePpd(installation.printer(), source, &ppd, &error)) {
    std::string cause = installation.DiagnoseRefusal();
    Fail("cannot generate the PPD: " + (cause.empty() ? error : cause));
  }
  // An interruption stops the command before a file is half made, not in the middle.
  WatchInterrupts();
  OutputFile out(options.out.empty() ? "-" : options.out);
  if (!out.Write(ppd.data(), ppd.size())) out.FailWrite();
  StopWhenInterrupted();
  out.Commit();
  return kExitOk;
}

}  // namespace

void AddPpdCommand(CLI::App* app, SetRun setRun) {
  auto options = std::make_shared<PpdOptions>();
  CLI::App* command = app->add_subcommand(
      "ppd", "Write the PPD of a CUPS queue for the installation (filter rastertotq33)");
  command
      ->add_option("-o,--output", options->out,
                   "Write the PPD to OUT, replaced only when complete (default, or -: "
                   "standard output)")
      ->type_name("OUT");
  command
      ->add_option("--filter", options->filter,
                   "The filter CUPS runs: a bare name in CUPS's filter directory, or an "
                   "absolute path without blanks (default: rastertotq33)")
      ->type_name("PATH");
  AddSharedOptions(command, &options->shared, &options->values, kInstallationOptions,
                   "the PPD names only the installation's files; the queue's options change "
                   "the settings job by job");
  command->footer(
      "Examples:\n"
      "  tq33 ppd -o tq33.ppd\n"
      "  tq33 ppd --model-data my.model --media-file my.dat -o tq33.ppd\n"
      "  tq33 ppd --filter /opt/tq33/rastertotq33 -o tq33.ppd\n"
      "  sudo lpadmin -p TQ33 -E -v usb://... -P tq33.ppd\n");
  command->callback([command, options, setRun] {
    FinishSharedOptions(*command, options->values, &options->shared);
    setRun([options] { return RunPpd(*options); });
  });
}

}  // namespace tq33cli
