// SPDX-License-Identifier: Apache-2.0
// Running a program as a subprocess, the way a spooler or a user would: arguments, extra
// environment, a working directory, standard input fed through a pipe, and what it wrote
// and how it ended, within a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace test {

struct ProcessResult {
  int status = -1;  // -1 when the program did not exit normally (a signal ended it)
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::vector<std::pair<std::string, std::string>> environment;  // added or replaced
  std::string directory;  // the working directory; empty: this one
  // When given, standard input is a pipe this writes to once the program runs (it may
  // signal the program) and is closed after it returns; otherwise it is /dev/null.
  std::function<void(pid_t pid, int input)> feed;
  std::chrono::seconds timeout{60};  // then the program is killed
  // When given (and this process may), the program runs as this user and group.
  std::optional<std::pair<uid_t, gid_t>> user;
};

ProcessResult RunProcess(const std::vector<std::string>& arguments, const ProcessOptions& options = {});

// Starts a program (a server) as RunProcess runs one, its standard output and error
// appended to the file output, and returns at once: its pid, or -1. It ends with the
// calling thread, or with StopProcess: SIGTERM, and SIGKILL after 10 s.
pid_t StartProcess(const std::vector<std::string>& arguments, const ProcessOptions& options,
                   const std::string& output);
void StopProcess(pid_t& pid);

// A free TCP port on 127.0.0.1, for a server a test starts; 0 when none can be had.
int FreeLoopbackPort();

// A program of the build, and one of the system (empty when it is not installed).
std::string BuiltProgram(const std::string& name);
std::string SystemProgram(const std::string& name);

}  // namespace test
