// SPDX-License-Identifier: Apache-2.0
// tq33: prints label images through the TQ-33 driver on the Linux host, and inspects what
// the driver makes of an installation, a settings record and a printer stream.
#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "cli/tool.h"

namespace {

// The command a command line names: its first argument that is not an option. Empty when
// there is none.
std::string CommandOf(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--") return i + 1 < argc ? argv[i + 1] : "";
    if (arg.empty() || arg[0] != '-') return arg;
  }
  return {};
}

// The commands, in the order the help lists them.
struct Command {
  std::string_view name;
  void (*add)(CLI::App* app, tq33cli::SetRun setRun);
};
constexpr Command kCommands[] = {{"print", tq33cli::AddPrintCommand},
                                 {"info", tq33cli::AddInfoCommand},
                                 {"media", tq33cli::AddMediaCommand},
                                 {"decode", tq33cli::AddDecodeCommand},
                                 {"ppd", tq33cli::AddPpdCommand}};

// Reports are written whole at the end, so that the write that fails is the last one and
// its reason is still known; a longer report flushes on the way.
char reportBuffer[1 << 20];

// A report that could not be written fails the command, as in any Unix tool: status 1
// and the reason. A reader that went away needs no message: it asked for no more (a pipe
// without a reader shows POLLERR when an earlier write's EPIPE has been lost).
int FinishStandardOutput(int status) {
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0 && !std::ferror(stdout);
  if (flushed) return status;
  const int error = errno;
  pollfd out{STDOUT_FILENO, 0, 0};
  const bool readerGone = error == EPIPE || (poll(&out, 1, 0) == 1 && (out.revents & POLLERR));
  if (!readerGone) {
    std::fprintf(stderr, "tq33: cannot write standard output%s%s\n", error ? ": " : "",
                 error ? std::strerror(error) : "");
  }
  return status == tq33cli::kExitOk ? tq33cli::kExitFailed : status;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tq33cli;
  std::setvbuf(stdout, reportBuffer, _IOFBF, sizeof(reportBuffer));
  // A reader that goes away makes writes fail with EPIPE, so that the job ends through its
  // failure path and removes what it laid out, rather than dying of the signal.
  std::signal(SIGPIPE, SIG_IGN);
  CLI::App app{
      "tq33: print label images through the TQ-33 driver, and inspect what it makes "
      "of an installation, a settings record and a printer stream"};
  app.name("tq33");
  app.require_subcommand(1);
  app.set_version_flag("--version", "tq33 " TQ33_VERSION);
  app.footer(
      "Examples:\n"
      "  tq33 print label.png -o out.bin              # one page, framed output\n"
      "  tq33 print a.png b.pgm --plain --dpi 720 -o out.bin\n"
      "  tq33 info --orientation portrait --json      # the context the driver makes\n"
      "  tq33 media                                   # the installation's media\n"
      "  tq33 decode out.bin --png preview            # what the printer would print\n"
      "\n"
      "Run `tq33 COMMAND --help` for a command's options.\n"
      "Exit status: 0 success, 1 a failed job or bad input, 2 a usage error.");

  std::function<int()> run;
  SetRun setRun = [&run](std::function<int()> command) { run = std::move(command); };
  // Only the command the line names is set up, options and all: setting up every command
  // cost more than the rest of the tool's start. Without one (help, the version, no
  // command) all of them are, for the help to list.
  const std::string command = CommandOf(argc, argv);
  std::string known;
  bool found = false;
  for (const Command& entry : kCommands) {
    known += (known.empty() ? "" : ", ") + std::string(entry.name);
    found = found || entry.name == command;
  }
  for (const Command& entry : kCommands) {
    if (!found || entry.name == command) entry.add(&app, setRun);
  }

  // CLI11 would only say that a command is required.
  if (!command.empty() && !found) {
    std::fprintf(stderr,
                 "tq33: no command '%s' (the commands are %s)\n"
                 "Run with --help for more information.\n",
                 command.c_str(), known.c_str());
    return kExitUsage;
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForVersion& version) {
    return app.exit(version);
  } catch (const CLI::RequiredError& error) {
    // Without a command, CLI11's "A subcommand is required" names none of them.
    std::fprintf(stderr, "tq33: %s\nRun with --help for more information.\n",
                 command.empty() ? ("a command is required: " + known).c_str() : error.what());
    return kExitUsage;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "tq33: %s\nRun with --help for more information.\n", error.what());
    return kExitUsage;
  } catch (const ToolError& error) {
    std::fprintf(stderr, "tq33: %s\n", error.message.c_str());
    return error.status;
  }

  try {
    return FinishStandardOutput(run ? run() : kExitUsage);
  } catch (const ToolError& error) {
    std::fprintf(stderr, "tq33: %s\n", error.message.c_str());
    return error.status;
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "tq33: out of memory\n");
    return kExitFailed;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tq33: %s\n", error.what());
    return kExitFailed;
  }
}
