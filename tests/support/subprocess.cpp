// SPDX-License-Identifier: Apache-2.0
#include "tests/support/subprocess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "tests/support/cups_support.h"
#include "tests/support/tool_runner.h"

namespace test {

namespace {

// Forks the program with input as its standard input and its output and error appended to
// the files out and err (one file when they are the same); it ends with this thread.
pid_t Start(const std::vector<std::string>& arguments, const ProcessOptions& options, int input,
            const std::string& out, const std::string& err) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
  if (input < 0 || dup2(input, STDIN_FILENO) < 0 || dup2(open(out.c_str(), flags, 0644), STDOUT_FILENO) < 0 ||
      dup2(out == err ? STDOUT_FILENO : open(err.c_str(), flags, 0644), STDERR_FILENO) < 0) _exit(127);
  if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) _exit(127);
  for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
  if (options.user && (setgroups(0, nullptr) != 0 || setgid(options.user->second) != 0 ||
                       setuid(options.user->first) != 0)) _exit(127);
  prctl(PR_SET_PDEATHSIG, SIGTERM);  // after the change of user, which clears it
  execv(argv[0], argv.data());
  _exit(127);
}

}  // namespace

pid_t StartProcess(const std::vector<std::string>& arguments, const ProcessOptions& options,
                   const std::string& output) {
  const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = Start(arguments, options, input, output, output);
  close(input);
  return pid;
}

void StopProcess(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  pid_t waited = 0;
  for (int i = 0; i < 500 && (waited = waitpid(pid, &status, WNOHANG)) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // A process reaped is gone, and its id may be another's by now.
  if (waited == 0 && kill(pid, SIGKILL) == 0) waitpid(pid, &status, 0);
  pid = -1;
}

ProcessResult RunProcess(const std::vector<std::string>& arguments, const ProcessOptions& options) {
  // Output goes to files, so that a program that writes much never blocks on a pipe.
  ScratchDir scratch;
  const std::string out = scratch / "out";
  const std::string err = scratch / "err";
  int feed[2] = {-1, -1};
  if (options.feed && pipe2(feed, O_CLOEXEC) != 0) return {};
  const int input = feed[0] >= 0 ? feed[0] : open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = Start(arguments, options, input, out, err);
  close(input);
  if (pid > 0 && options.feed) options.feed(pid, feed[1]);
  if (feed[1] >= 0) close(feed[1]);

  ProcessResult result;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  while (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (pid > 0 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  result.out = ReadFile(out);
  result.err = ReadFile(err);
  return result;
}

// Drawn below the range the system gives connections' own ends from: a port of that range,
// let go, may be any connection's before the server binds it. Each process draws from a
// seed of its own: tests started together must not draw the same ports.
int FreeLoopbackPort() {
  static std::minstd_rand draw(std::random_device{}());
  int low = 32768;
  if (!(std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low)) low = 32768;
  for (int tries = 0; tries < 100; ++tries) {
    const auto port = static_cast<uint16_t>(10000 + draw() % std::max(low - 10000, 1));
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    const bool bound = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(s);
    if (bound) return port;
  }
  return 0;
}

std::string BuiltProgram(const std::string& name) { return std::string(TQ33_BINARY_DIR) + "/" + name; }

std::string SystemProgram(const std::string& name) {
  for (const char* directory : {"/usr/local/bin", "/usr/bin", "/bin", "/usr/local/sbin", "/usr/sbin", "/sbin"}) {
    const std::string path = std::string(directory) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

}  // namespace test
