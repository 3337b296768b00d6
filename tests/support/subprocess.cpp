#include "tests/support/subprocess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace test {
namespace {

void SetUpChild(const ProcessOptions& options, int feed, int out, int err) {
  int in = feed >= 0 ? feed
                     : open(options.stdinFile.empty() ? "/dev/null" : options.stdinFile.c_str(),
                            O_RDONLY);
  if (in < 0) _exit(127);
  dup2(in, STDIN_FILENO);
  dup2(out, STDOUT_FILENO);
  dup2(err, STDERR_FILENO);
  for (const auto& name : options.unset) unsetenv(name.c_str());
  for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& arguments, const ProcessOptions& options) {
  ProcessResult result;
  int out[2];
  int err[2];
  if (arguments.empty() || pipe2(out, O_CLOEXEC) != 0) return result;
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return result;
  }
  int feed[2] = {-1, -1};
  if (options.feed && pipe2(feed, O_CLOEXEC) != 0) {
    for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
    return result;
  }
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid == 0) {
    SetUpChild(options, feed[0], out[1], err[1]);
    execv(argv[0], argv.data());
    _exit(127);
  }
  for (int fd : {out[1], err[1], feed[0]}) {
    if (fd >= 0) close(fd);
  }
  if (pid < 0) {
    for (int fd : {out[0], err[0], feed[1]}) {
      if (fd >= 0) close(fd);
    }
    return result;
  }
  result.started = true;
  if (options.feed) {
    options.feed(pid, feed[1]);
    close(feed[1]);
  }

  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int pending = 2;
  char buffer[65536];
  while (pending > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --pending;
      }
    }
  }
  for (pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::string BuiltProgram(const std::string& name) { return std::string(TQ33_BINARY_DIR) + "/" + name; }

std::string SystemProgram(const std::string& name) {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  path += ":/usr/sbin:/sbin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    std::string candidate = path.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

}  // namespace test
