// SPDX-License-Identifier: Apache-2.0
// A private cupsd for the CUPS tests: its configuration, spool, cache, state and logs in a
// scratch directory, listening on 127.0.0.1 only, file devices allowed, stopped with the
// test. Started by root it runs filters as its own user, like the system's.
#pragma once

#include <cups/cups.h>
#include <sys/types.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/subprocess.h"

namespace test {

class PrivateCupsd {
 public:
  // Where the scheduler takes its filters, back ends and helper programs (ServerBin), and
  // its MIME rules and PPD models (DataDir): the system's when empty.
  struct Directories { std::string serverBin; std::string dataDir; };

  PrivateCupsd() = default;
  ~PrivateCupsd() { Stop(false); }
  PrivateCupsd(const PrivateCupsd&) = delete;
  PrivateCupsd& operator=(const PrivateCupsd&) = delete;

  // The CUPS programs these tests run that are not installed, by name; empty when all are.
  static std::string MissingPrograms();

  // Starts the scheduler with its files in directory (which it makes reachable to the
  // filter user) and waits until it answers.
  testing::AssertionResult Start(const std::string& directory, const Directories& directories = {});
  // Stops it; with showLog, its error log goes to standard error.
  void Stop(bool showLog);

  std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
  // Runs one of CUPS's client programs (lpadmin, lpinfo, lp...) against it.
  ProcessResult Client(const std::string& program, std::vector<std::string> arguments) const;
  // Prints a file on a queue with lp and waits for the job to end: its final state, or
  // IPP_JSTATE_PENDING when lp made no job or the job did not end within a minute.
  ipp_jstate_t Print(const std::string& queue, const std::string& file, std::vector<std::string> options) const;
  // Waits until the queue has a PPD: one made with lpadmin -m everywhere is raw until the
  // scheduler has made its PPD from the printer's answers, after lpadmin has returned.
  bool WaitForPpd(const std::string& queue) const;
  // Waits for a job of the queue to end: its final state, or IPP_JSTATE_PENDING when it
  // did not end within a minute.
  ipp_jstate_t WaitForJob(const std::string& queue, int id) const;
  // Runs ipptool on the queue's URI with a test file (a path, or one of CUPS's by name)
  // and -d name=value definitions.
  ProcessResult Ipptool(const std::string& queue, const std::string& testFile,
                        const std::vector<std::pair<std::string, std::string>>& definitions = {}) const;
  // The error log's lines of a level ("E", "W"...), or all of them.
  std::string ErrorLog(const std::string& level = {}) const;

 private:
  std::string directory_;
  pid_t daemon_ = -1;
  int port_ = 0;
  http_t* http_ = nullptr;
};

// Whether the scheduler's filter user may run program. Started by root, the scheduler runs
// filters as another user, who needs every directory on the way open to others (a build
// tree in root's home is not).
bool FilterUserCanRun(const std::string& program);

// Installs this build with DESTDIR=root, as `make install` lays it out (only a build with
// the tool has install rules).
testing::AssertionResult InstallBuild(const std::string& root);

// Makes directory a view of the system's: every entry of system it lacks is linked in,
// and a directory both have is merged the same way. FALSE when a link cannot be made.
bool LinkMissingEntries(const std::string& system, const std::string& directory);

}  // namespace test
