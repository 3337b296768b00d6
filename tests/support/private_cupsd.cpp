// SPDX-License-Identifier: Apache-2.0
#include "tests/support/private_cupsd.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "tests/support/cups_support.h"

namespace test {

using Clock = std::chrono::steady_clock;

// Starts of a scheduler whose port another took first.
constexpr int kStartAttempts = 3;

std::string PrivateCupsd::MissingPrograms() {
  std::string missing;
  for (const char* program : {"cupsd", "lp", "lpadmin", "lpinfo", "ipptool"}) {
    if (SystemProgram(program).empty()) missing += std::string(missing.empty() ? "" : " ") + program;
  }
  return missing;
}

testing::AssertionResult PrivateCupsd::Start(const std::string& directory, const Directories& directories) {
  directory_ = directory;
  const auto path = [&](const std::string& name) { return directory + "/" + name; };
  // Started by root, the scheduler runs filters as its own user, who must reach the
  // spool directories.
  if (chmod(directory.c_str(), 0755) != 0) return testing::AssertionFailure() << "chmod " << directory;
  for (const char* name : {"spool", "spool/tmp", "cache", "state"}) {
    if (mkdir(path(name).c_str(), 0755) != 0) return testing::AssertionFailure() << "mkdir " << name;
  }
  const group* own = getgrgid(getgid());
  std::string files = "FileDevice Yes\nSystemGroup " + std::string(own ? own->gr_name : "root") +
                      "\nServerRoot " + directory + "\nRequestRoot " + path("spool") + "\n";
  for (const char* key : {"TempDir spool/tmp", "CacheDir cache", "StateDir state", "Printcap printcap",
                          "ErrorLog error_log", "AccessLog access_log", "PageLog page_log"}) {
    const std::string entry = key;
    files += entry.substr(0, entry.find(' ') + 1) + path(entry.substr(entry.find(' ') + 1)) + "\n";
  }
  if (!directories.serverBin.empty()) files += "ServerBin " + directories.serverBin + "\n";
  if (!directories.dataDir.empty()) files += "DataDir " + directories.dataDir + "\n";
  if (!WriteFile(path("cups-files.conf"), files))
    return testing::AssertionFailure() << "cannot write cups-files.conf";

  // A port drawn free may be another test's server's before the scheduler binds it; it
  // then runs on without listening, and starts again here on another port.
  for (int attempt = 1; attempt <= kStartAttempts && !http_; ++attempt) {
    StopProcess(daemon_);
    port_ = FreeLoopbackPort();
    if (!WriteFile(path("error_log"), "") ||
        !WriteFile(path("cupsd.conf"),
                   "Listen 127.0.0.1:" + std::to_string(port_) + "\nLogLevel debug\nBrowsing No\n"
                   "WebInterface No\nDefaultAuthType None\n<Location />\n  Order allow,deny\n  Allow all\n"
                   "</Location>\n<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n")) {
      return testing::AssertionFailure() << "cannot write cupsd.conf";
    }
    daemon_ = StartProcess({SystemProgram("cupsd"), "-f", "-c", path("cupsd.conf"), "-s", path("cups-files.conf")},
                           {}, path("cupsd.out"));
    for (const auto deadline = Clock::now() + std::chrono::seconds(20); daemon_ > 0 && !http_ && Clock::now() < deadline;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      const std::string log = ErrorLog();
      if (log.find("Unable to open listen socket") != std::string::npos) break;
      if (log.find("Listening to " + server() + " on") != std::string::npos)
        http_ = httpConnect2("127.0.0.1", port_, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1, 1000, nullptr);
    }
  }
  if (!http_) return testing::AssertionFailure() << "cupsd does not answer:\n" << ErrorLog();
  return testing::AssertionSuccess();
}

void PrivateCupsd::Stop(bool showLog) {
  if (http_) httpClose(http_);
  http_ = nullptr;
  StopProcess(daemon_);
  if (showLog) std::fprintf(stderr, "%s", ErrorLog().c_str());
}

ProcessResult PrivateCupsd::Client(const std::string& program, std::vector<std::string> arguments) const {
  arguments.insert(arguments.begin(), {SystemProgram(program), "-h", server()});
  return RunProcess(arguments);
}

ipp_jstate_t PrivateCupsd::Print(const std::string& queue, const std::string& file,
                                 std::vector<std::string> options) const {
  options.insert(options.begin(), {"-d", queue});
  options.push_back(file);
  const ProcessResult printed = Client("lp", options);
  const size_t at = printed.out.find(queue + "-");
  EXPECT_NE(at, std::string::npos) << printed.out << printed.err;
  const int id = at == std::string::npos ? -1 : std::atoi(printed.out.c_str() + at + queue.size() + 1);
  return WaitForJob(queue, id);
}

ProcessResult PrivateCupsd::Ipptool(const std::string& queue, const std::string& testFile,
    const std::vector<std::pair<std::string, std::string>>& definitions) const {
  std::vector<std::string> arguments = {SystemProgram("ipptool"), "-tv"};
  for (const auto& [name, value] : definitions) arguments.insert(arguments.end(), {"-d", name + "=" + value});
  arguments.insert(arguments.end(), {"ipp://" + server() + "/printers/" + queue, testFile});
  return RunProcess(arguments);
}

bool PrivateCupsd::WaitForPpd(const std::string& queue) const {
  for (const auto deadline = Clock::now() + std::chrono::seconds(30); Clock::now() < deadline;) {
    if (!Client("lpoptions", {"-p", queue, "-l"}).out.empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

ipp_jstate_t PrivateCupsd::WaitForJob(const std::string& queue, int id) const {
  ipp_jstate_t state = IPP_JSTATE_PENDING;
  for (const auto deadline = Clock::now() + std::chrono::seconds(60);
       id > 0 && state < IPP_JSTATE_STOPPED && Clock::now() < deadline;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    cups_job_t* jobs = nullptr;
    const int count = cupsGetJobs2(http_, &jobs, queue.c_str(), 0, CUPS_WHICHJOBS_ALL);
    for (int i = 0; i < count; ++i) if (jobs[i].id == id) state = jobs[i].state;
    cupsFreeJobs(count, jobs);
  }
  return state;
}

std::string PrivateCupsd::ErrorLog(const std::string& level) const {
  std::istringstream lines(ReadFile(directory_ + "/error_log"));
  std::string kept;
  for (std::string line; std::getline(lines, line);) kept += line.rfind(level, 0) == 0 ? line + "\n" : "";
  return kept;
}

testing::AssertionResult InstallBuild(const std::string& root) {
#if defined(TQ33_INSTALL_RULES)
  const ProcessResult installed = RunProcess({TQ33_CMAKE_COMMAND, "--install", TQ33_BUILD_DIR},
                                             {.environment = {{"DESTDIR", root}}});
  if (installed.status == 0) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "cmake --install failed: " << installed.out << installed.err;
#else
  return testing::AssertionFailure() << "this build has no install rules to install " << root;
#endif
}

bool FilterUserCanRun(const std::string& program) {
  if (geteuid() != 0) return true;
  for (std::string path = program; !path.empty(); path.resize(path.find_last_of('/'))) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !(status.st_mode & S_IXOTH)) return false;
    if (path.find_last_of('/') == std::string::npos) break;
  }
  return true;
}

bool LinkMissingEntries(const std::string& system, const std::string& directory) {
  namespace fs = std::filesystem;
  std::error_code code;
  fs::directory_iterator entries(system, code);
  if (code) return false;
  for (const fs::directory_entry& entry : entries) {
    const fs::path mine = fs::path(directory) / entry.path().filename();
    if (!fs::exists(fs::symlink_status(mine, code))) {
      fs::create_symlink(entry.path(), mine, code);
      if (code) return false;
    } else if (entry.is_directory(code) && fs::is_directory(mine, code) &&
               !LinkMissingEntries(entry.path().string(), mine.string())) {
      return false;
    }
  }
  return true;
}

}  // namespace test
