// SPDX-License-Identifier: Apache-2.0
// The printer application for tests: the build's server on a free loopback port, with a
// HOME and TMPDIR of its own in a scratch directory, so that it never meets the user's
// state or another test's; run by an unprivileged user when the tests run as root, as a
// user would run it. Clients reach it through libcups (IPP) and its own subcommands.
#pragma once

#include <cups/cups.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/tool_runner.h"

namespace test {

class PrinterApp {
 public:
  PrinterApp() = default;
  ~PrinterApp() { Stop(false); }
  PrinterApp(const PrinterApp&) = delete;
  PrinterApp& operator=(const PrinterApp&) = delete;

  // Why the server cannot run here (the build out of the unprivileged user's reach); empty
  // when it can.
  static std::string Unavailable();

  // Starts the server with its files in directory and waits until it answers.
  testing::AssertionResult Start(const std::string& directory);
  // Stops it (SIGTERM, as a service manager does) once the thread of a job just ended has left the printers
  // that the framework's stop frees; with showLog, its log goes to standard error. A sanitizer report fails the test.
  void Stop(bool showLog);

  // Runs a subcommand of the application (add, printers, ...) as the server's user, with
  // the environment added.
  ProcessResult Command(std::vector<std::string> arguments,
                        const std::vector<std::pair<std::string, std::string>>& environment = {}) const;
  testing::AssertionResult Add(const std::string& printer, const std::string& deviceUri) const;

  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  std::string Uri(const std::string& printer) const { return "ipp://" + server() + "/ipp/print/" + printer; }
  // The directory the file device file:///... writes each job's file to.
  std::string out() const { return directory_ + "/out"; }
  std::vector<std::string> OutFiles() const { return FileNames(out()); }

  // Print-Job of a file with job attributes as name=value options (cupsEncodeOptions):
  // the job's id, or 0 when it was refused.
  int Submit(const std::string& printer, const std::string& file, const std::string& format,
             const std::string& options = {}, const std::string& jobName = {}) const;
  // Waits for the job to end: its state, and its job-state-message and job-state-reasons
  // when asked; IPP_JSTATE_PENDING when it did not end within a minute.
  ipp_jstate_t Wait(const std::string& printer, int job, std::string* message = nullptr,
                    std::string* reasons = nullptr) const;
  // Get-Printer-Attributes (all, media-col-database and the names asked for, which 'all'
  // leaves out: the vendor attributes); the caller deletes it.
  ipp_t* Attributes(const std::string& printer, std::vector<std::string> names = {}) const;
  // Set-Printer-Attributes with name=value options; TRUE when the printer took them.
  bool Set(const std::string& printer, const std::string& options) const;

  std::string Page(const std::string& path) const;

  std::string Log() const;

 private:
  std::string directory_;
  pid_t server_ = -1;
  int port_ = 0;
};

// Every value of an attribute as text (ippAttributeString of each), empty when absent.
std::vector<std::string> Values(ipp_t* response, const char* name);

}  // namespace test
