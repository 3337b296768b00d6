// Running a program of the build as a subprocess, the way a spooler or a user would: its
// arguments, extra environment, standard input from a file, and what it wrote and how it
// ended. Everything is collected without deadlock and within a time limit.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace test {

struct ProcessResult {
  bool started = false;
  bool timedOut = false;
  int exitStatus = -1;  // the exit status; -1 when the program died of a signal
  int signal = 0;       // the signal that ended it, or 0
  std::string out;      // standard output
  std::string err;      // standard error
};

struct ProcessOptions {
  std::vector<std::pair<std::string, std::string>> environment;  // added or replaced
  std::vector<std::string> unset;                                // removed
  std::string stdinFile;  // empty: /dev/null (or the feed's pipe)
  // When given, standard input is a pipe that this writes to once the program runs; the
  // pipe is closed after it returns. It may signal the program.
  std::function<void(pid_t pid, int input)> feed;
  std::chrono::seconds timeout{60};
};

// Runs program with arguments (argv[0] included) and waits for it.
ProcessResult RunProcess(const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

// A program of the build (TQ33_BINARY_DIR).
std::string BuiltProgram(const std::string& name);

// A program on the system's search path (and /usr/sbin), or empty when there is none.
std::string SystemProgram(const std::string& name);

}  // namespace test
