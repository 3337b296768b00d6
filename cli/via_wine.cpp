// SPDX-License-Identifier: Apache-2.0
// Finding the Windows side of a width, writing the job, running run_job.exe under Wine
// (under qemu-i386 for 32-bit Wine where the kernel runs no 32-bit code), and reading what
// came back.
#include "cli/via_wine.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "cli/interrupts.h"
#include "cli/record_fields.h"
#include "cli/tool.h"
#include "host/printer_installation.h"

extern char** environ;

namespace tq33cli {
namespace {

namespace fs = std::filesystem;

// Debian's Wine: the 32-bit and 64-bit loaders, and the server without the wrapper that
// ends it as soon as its last program has (so that jobs in a row share one).
constexpr char kWine32[] = "/usr/lib/wine/wine";
constexpr char kWine64[] = "/usr/lib/wine/wine64";
constexpr char kWineServer[] = "/usr/lib/wine/wineserver64";
constexpr char kQemu[] = "/usr/bin/qemu-i386-static";
constexpr char kUnshare[] = "/usr/bin/unshare";
constexpr char kShell[] = "/bin/sh";
// qemu-i386 for 32-bit little-endian ELF programs, registered in a binfmt_misc of the
// job's own inside a user and mount namespace, as scripts/wine.sh does it.
constexpr char kI386Registration[] =
    ":tq33-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00"
    "\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff"
    "\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:/usr/bin/qemu-i386-static:F";
constexpr char kNamespaceScript[] =
    "mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null || exit 125; "
    "printf '%s' \"$1\" > /proc/sys/fs/binfmt_misc/register || exit 125; shift; exec \"$@\"";
constexpr int kNamespaceRefused = 125;
// Wine reserves its address space page by page under qemu unless qemu reserves it first.
constexpr char kQemuReservedVa[] = "0x81000000";
// run_job.exe's status when it crashed (wine/run_job.cpp).
constexpr int kRunnerCrashed = 3;
constexpr char kCrashMark[] = "run_job: crashed ";
// Lines of Wine's messages a failure quotes, and differences it names before counting.
constexpr size_t kQuotedLines = 4;
constexpr size_t kNamedDifferences = 6;
constexpr size_t kCopyChunk = size_t{1} << 20;
// The 32-bit layout's bytes of DEVINFO's default palette handle, which differs by nature.
constexpr size_t kPaletteHandleAt = 292;

// A Linux path as Wine's drive Z: names it.
std::u16string WindowsPathOf(const std::string& path) {
  std::u16string windows = u"Z:" + host::Utf16(path);
  for (char16_t& c : windows) {
    if (c == u'/') c = u'\\';
  }
  return windows;
}

// The last lines of a log that say something, for a failure message.
std::string LastWords(const std::string& log) {
  std::ifstream in(log);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (line.find_first_not_of(" \t\r") != std::string::npos) lines.push_back(line);
  }
  std::string words;
  const size_t first = lines.size() > kQuotedLines ? lines.size() - kQuotedLines : 0;
  for (size_t i = first; i < lines.size(); ++i) words += (words.empty() ? "" : " / ") + lines[i];
  return words.empty() ? "it said nothing" : "it said: " + words;
}

// The environment of a Wine program: ours, with the prefix, the stand-ins for the runner
// and the server kept between jobs.
std::vector<std::string> WineEnvironment(const std::string& prefix, const std::string& overrides,
                                         bool emulated) {
  const std::vector<std::pair<std::string, std::string>> set = {
      {"WINEPREFIX", prefix},           {"WINEARCH", "win64"},
      {"WINEDEBUG", "-all,err+module"}, {"WINEDLLOVERRIDES", overrides},
      {"WINESERVER", kWineServer},      {"QEMU_RESERVED_VA", emulated ? kQemuReservedVa : ""},
  };
  std::vector<std::string> environment;
  for (char** entry = environ; *entry; ++entry) {
    const std::string text = *entry;
    bool replaced = false;
    for (const auto& [name, value] : set) replaced = replaced || text.rfind(name + "=", 0) == 0;
    if (!replaced) environment.push_back(text);
  }
  for (const auto& [name, value] : set) {
    if (!value.empty()) environment.push_back(name + "=" + value);
  }
  return environment;
}

// Runs a program with its output in log, in a process group of its own that the kernel
// ends with the tool; its wait status. An interruption of the tool ends the group and
// throws "interrupted".
int RunWatched(const std::vector<std::string>& arguments,
               const std::vector<std::string>& environment, const std::string& directory,
               const std::string& log) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);
  const int output = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (output < 0 || input < 0) {
    const int error = errno;
    if (output >= 0) close(output);
    if (input >= 0) close(input);
    Fail("cannot start Wine: " + std::string(std::strerror(error)));
  }
  sigset_t none;
  sigemptyset(&none);
  struct sigaction byDefault = {};
  byDefault.sa_handler = SIG_DFL;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // Only calls that are safe between fork and exec in a process with threads.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    sigaction(SIGPIPE, &byDefault, nullptr);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0 ||
        dup2(output, STDERR_FILENO) < 0 || chdir(directory.c_str()) != 0)
      _exit(127);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  const int error = errno;
  close(output);
  close(input);
  if (pid < 0) Fail("cannot start Wine: " + std::string(std::strerror(error)));
  const int exited = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid || (done < 0 && errno != EINTR)) break;
    if (Interrupted()) {
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      if (exited >= 0) close(exited);
      Fail("interrupted");
    }
    // Woken by the program's end, or every tenth of a second to look for an interruption.
    if (exited >= 0) {
      pollfd end = {exited, POLLIN, 0};
      poll(&end, 1, 100);
    } else {
      usleep(5000);
    }
  }
  if (exited >= 0) close(exited);
  return status;
}

// Runs a program quietly; true when it ran and exited with status 0.
bool Succeeds(const std::vector<std::string>& arguments) {
  const int status = RunWatched(arguments, {}, "/", "/dev/null");
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The build tree the Windows side is found in: TQ33_WINE_BUILD, or the one the tool was
// built in (build/PRESET/bin/tq33). Throws for a tool installed elsewhere.
fs::path BuildTree() {
  if (const char* named = std::getenv("TQ33_WINE_BUILD"); named && *named) return named;
  std::error_code code;
  const fs::path preset = fs::read_symlink("/proc/self/exe", code).parent_path().parent_path();
  if (code || !fs::exists(preset / "CMakeCache.txt", code)) {
    Fail(
        "--via-wine runs the Windows build of a source tree, and this tq33 was not built in "
        "one: set TQ33_WINE_BUILD to the build directory where `make wine` ran");
  }
  return preset.parent_path();
}

// Appends a sentence for every named field of two records that differ, and one for the
// first differing byte no field names; the bytes [skipFrom, skipTo) are not compared.
void CompareRecord(const std::string& what, const RecordLayout& layout, const uint8_t* wine,
                   const uint8_t* linux, std::vector<std::string>* out, size_t skipFrom = 0,
                   size_t skipTo = 0) {
  const Json there = FieldsToJson(layout, wine, false);
  const Json here = FieldsToJson(layout, linux, false);
  std::vector<bool> named(layout.size, false);
  for (const Field& field : layout.fields) {
    std::fill_n(named.begin() + field.offset, field.size, true);
    if (std::memcmp(wine + field.offset, linux + field.offset, field.size) != 0) {
      out->push_back(what + " has " + field.name + " " + there[field.name].dump() +
                     ", the Linux build's " + here[field.name].dump());
    }
  }
  for (size_t i = 0; i < layout.size; ++i) {
    if (named[i] || (i >= skipFrom && i < skipTo) || wine[i] == linux[i]) continue;
    out->push_back(what + " differs at byte " + std::to_string(i) + " (0x" + HexBytes(wine + i, 1) +
                   ", the Linux build's 0x" + HexBytes(linux + i, 1) + ")");
    return;
  }
}

}  // namespace

struct WineJob::Side {
  int bits = 64;
  fs::path build;     // holds windows/, windows64/ and wine/
  fs::path programs;  // run_job.exe, the stand-ins and the resource library
  fs::path driver;
  fs::path modelDataLibrary;
  fs::path prefix;
  bool emulated = false;  // 32-bit Wine under qemu-i386, every job in a namespace
  int lock = -1;          // held while the job uses the prefix

  ~Side() {
    if (lock >= 0) close(lock);
  }

  std::vector<std::string> Environment(const std::string& overrides) const {
    return WineEnvironment(prefix.string(), overrides, emulated);
  }

  // A Wine program's command line, in a namespace with qemu-i386 registered when the
  // 32-bit side is emulated: both widths then meet the same server.
  std::vector<std::string> CommandLine(std::vector<std::string> program) const {
    if (!emulated) return program;
    std::vector<std::string> line = {kUnshare,         "--user", "--map-root-user",
                                     "--mount",        kShell,   "-c",
                                     kNamespaceScript, "sh",     kI386Registration};
    line.insert(line.end(), program.begin(), program.end());
    return line;
  }

  // Why a Wine program's status shows it never ran, or nothing.
  std::string NamespaceRefusal(int status) const {
    if (!emulated || !WIFEXITED(status) || WEXITSTATUS(status) != kNamespaceRefused) return {};
    utsname system = {};
    uname(&system);
    return "cannot run 32-bit Wine under qemu-i386: no binfmt_misc of the job's own can be "
           "mounted (that needs Linux 6.7 or later; this is " +
           std::string(system.release) + ")";
  }

  // The prefix, made once: Wine's own background programs are 64-bit, and no Mono or
  // Gecko installers run.
  void MakePrefix() const {
    if (fs::exists(prefix / "system.reg")) return;
    if (isatty(STDERR_FILENO)) {
      std::fprintf(stderr, "tq33: making the Wine prefix %s (once; this takes a while)\n",
                   prefix.c_str());
    }
    std::error_code code;
    fs::create_directories(prefix, code);
    const std::string log = (prefix.parent_path() / "prefix.log").string();
    const std::vector<std::string> environment = Environment("mscoree,mshtml=");
    int status = RunWatched(CommandLine({kWine64, "wineboot", "--init"}), environment, "/", log);
    if (std::string refusal = NamespaceRefusal(status); !refusal.empty()) Fail(refusal);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      status = RunWatched(CommandLine({kWineServer, "-w"}), environment, "/", "/dev/null");
    }
    if (!fs::exists(prefix / "system.reg")) {
      Fail("cannot make the Wine prefix " + prefix.string() + ": wineboot " + LastWords(log));
    }
  }
};

WineJob::WineJob(int bits, tq33job::Command command, const PrinterContext& printer,
                 const ToolOptions& options)
    : side_(std::make_unique<Side>()), printer_(printer) {
  WatchInterrupts();
  Side& side = *side_;
  side.bits = bits;
  side.build = BuildTree();
  const fs::path windows = side.build / (bits == 32 ? "windows" : "windows64");
  side.programs = windows / "wine";
  side.driver = windows / "bin" / "TQ33KV.DLL";
  side.modelDataLibrary = windows / "bin" / "TQ33Ki3.dll";
  side.prefix = side.build / "wine" / "prefix";
  std::string missing;
  for (const fs::path& file : {side.driver, side.modelDataLibrary, side.programs / "run_job.exe",
                               side.programs / "GDI32.dll", side.programs / "WINSPOOL.DRV",
                               side.programs / "TQ33Kr.dll"}) {
    std::error_code code;
    if (!fs::is_regular_file(file, code))
      missing += (missing.empty() ? "" : ", ") + file.lexically_relative(side.build).string();
  }
  if (!missing.empty()) {
    Fail("--via-wine " + std::to_string(bits) + " needs the " + std::to_string(bits) +
         "-bit Windows build that `make wine` makes, and the build tree " + side.build.string() +
         " lacks " + missing +
         ": run `make wine` in the source tree (TQ33_WINE_BUILD names "
         "another build tree)");
  }
  for (const char* program : {kWine64, kWineServer, bits == 32 ? kWine32 : kWine64}) {
    if (access(program, X_OK) != 0) {
      Fail(std::string("--via-wine needs Wine, and ") + program +
           " is missing: install the "
           "Debian packages wine, wine32 and wine64 (scripts/setup.sh wine)");
    }
  }
  // 32-bit Wine runs under qemu-i386 where the kernel runs no 32-bit code, or when asked.
  const char* forced = std::getenv("TQ33_M32_EMULATE");
  side.emulated = (forced && std::string(forced) == "1") ||
                  (access(kWine32, X_OK) == 0 && !Succeeds({kWine32, "--version"}));
  if (side.emulated && (access(kQemu, X_OK) != 0 || access(kUnshare, X_OK) != 0)) {
    Fail(
        "--via-wine: 32-bit Wine runs under qemu-i386 here, which needs qemu-i386-static "
        "and unshare: install the Debian package qemu-user-static (scripts/setup.sh "
        "wine-emulated)");
  }

  // One job at a time on the prefix: each sets the registry and the locale of its own.
  std::error_code code;
  fs::create_directories(side.build / "wine", code);
  const std::string lockPath = (side.build / "wine" / "prefix.lock").string();
  side.lock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  int locked = side.lock >= 0 ? flock(side.lock, LOCK_EX) : -1;
  while (locked != 0 && side.lock >= 0 && errno == EINTR) locked = flock(side.lock, LOCK_EX);
  if (locked != 0) Fail("cannot lock the Wine prefix: " + std::string(std::strerror(errno)));
  side.MakePrefix();

  // With the lock held no other job runs: what is in the jobs' folder was left by a tool
  // that was killed.
  const fs::path jobs = side.prefix / "drive_c" / "TQ33" / "jobs";
  fs::remove_all(jobs, code);
  fs::create_directories(jobs, code);
  std::string pattern = (jobs / "tq33-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    Fail("cannot make a job directory in " + jobs.string() + ": " + std::strerror(errno));
  }
  directory_ = pattern;

  tq33job::Job job = printer.installation().Environment();
  job.command = command;
  job.driverLibrary = WindowsPathOf(side.driver.string());
  job.modelDataLibrary = WindowsPathOf(side.modelDataLibrary.string());
  job.engine.maxBitmapBytes = options.maxBitmapBytes.value_or(0);
  job.applicationRecord = printer.applicationRecord();
  file_ = std::fopen((directory_ + "/job.bin").c_str(), "wb");
  if (!file_ || !tq33job::WriteJobHead(file_, job)) {
    Fail("cannot write the job for Wine into " + directory_ +
         " (a file or value of the job may be too large for it)");
  }
}

WineJob::~WineJob() {
  if (file_) std::fclose(file_);
  std::error_code code;
  if (!directory_.empty()) fs::remove_all(directory_, code);
}

std::string WineJob::Name() const {
  return "the " + std::to_string(side_->bits) + "-bit TQ33KV.DLL under Wine";
}

void WineJob::AddPage(const host::GrayImage& page) {
  if (!tq33job::WritePage(file_, static_cast<uint32_t>(page.width),
                          static_cast<uint32_t>(page.height), page.pixels.data())) {
    Fail("cannot write the job for Wine into " + directory_ + ": " + std::strerror(errno));
  }
}

std::vector<std::string> WineJob::Run() {
  const Side& side = *side_;
  const bool ended = tq33job::WriteEnd(file_);
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!ended || !closed) Fail("cannot write the job for Wine into " + directory_);

  const std::string log = directory_ + "/messages.log";
  const std::string windowsDirectory =
      "C:\\TQ33\\jobs\\" + fs::path(directory_).filename().string();
  const std::string runner = (side.programs / "run_job.exe").string();
  const int status =
      RunWatched(side.CommandLine({side.bits == 32 ? kWine32 : kWine64, runner, windowsDirectory}),
                 side.Environment("gdi32,winspool.drv=n,b"), side.programs.string(), log);
  if (std::string refusal = side.NamespaceRefusal(status); !refusal.empty()) Fail(refusal);
  if (WIFSIGNALED(status)) {
    Fail(Name() + ": run_job.exe was ended by signal " + std::to_string(WTERMSIG(status)) + "; " +
         LastWords(log));
  }
  const int code = WEXITSTATUS(status);
  if (code == kRunnerCrashed) {
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
      const size_t at = line.find(kCrashMark);
      if (at != std::string::npos)
        Fail(Name() + " crashed " + line.substr(at + sizeof(kCrashMark) - 1));
    }
  }
  std::FILE* file = std::fopen((directory_ + "/result.bin").c_str(), "rb");
  std::string error;
  const bool read = file && tq33job::ReadResult(file, &result_, &error);
  if (file) std::fclose(file);
  if (!read) {
    Fail(Name() + ": run_job.exe ended with status " + std::to_string(code) + " and " +
         (file ? "an unreadable answer (" + error + ")" : std::string("no answer")) + "; " +
         LastWords(log));
  }

  // What the driver answered, compared with what the Linux build's context holds.
  std::vector<std::string> differences;
  if (result_.probeDefaults) {
    CompareRecord("its default settings record", kSettingsLayout, result_.probeDefaults->data(),
                  reinterpret_cast<const uint8_t*>(&printer_.driverDefaults()), &differences);
  }
  const DeviceContext& context = *printer_.context();
  if (result_.settings && result_.defaultSettings && result_.gdiInfo && result_.deviceInfo &&
      result_.layout) {
    static_assert(sizeof(GDIINFO) == JOB_GDIINFO_SIZE && sizeof(DEVINFO) == JOB_DEVINFO_SIZE);
    CompareRecord("its merged settings record", kSettingsLayout, result_.settings->data(),
                  reinterpret_cast<const uint8_t*>(&context.settings), &differences);
    CompareRecord("its context's default settings", kSettingsLayout,
                  result_.defaultSettings->data(),
                  reinterpret_cast<const uint8_t*>(&context.defaultSettings), &differences);
    if (result_.printerData.has_value() != (context.printerData != nullptr)) {
      differences.push_back(result_.printerData
                                ? "it has a printer data record, the Linux build none"
                                : "it has no printer data record, the Linux build one");
    } else if (result_.printerData) {
      CompareRecord("its printer data record", kPrinterDataLayout, result_.printerData->data(),
                    reinterpret_cast<const uint8_t*>(context.printerData), &differences);
    }
    CompareRecord("its GDIINFO", kGdiInfoLayout, result_.gdiInfo->data(),
                  reinterpret_cast<const uint8_t*>(&printer_.session().gdiInfo()), &differences);
    CompareRecord("its DEVINFO", kDeviceInfoLayout, result_.deviceInfo->data(),
                  reinterpret_cast<const uint8_t*>(&printer_.session().deviceInfo()), &differences,
                  kPaletteHandleAt, kPaletteHandleAt + 4);
    const tq33job::PageLayout& there = *result_.layout;
    const SIZEL page = printer_.session().pageSize();
    const std::pair<const char*, std::pair<uint64_t, uint64_t>> layout[] = {
        {"page width", {there.pageWidth, static_cast<uint32_t>(page.cx)}},
        {"page height", {there.pageHeight, static_cast<uint32_t>(page.cy)}},
        {"banded", {there.banded, printer_.session().banded() ? 1u : 0u}},
        {"surfaceFlags", {there.surfaceFlags, context.surfaceFlags}},
        {"pageStride", {there.pageStride, context.pageStride}},
        {"bandCount", {there.bandCount, context.bandCount}},
        {"bandExtent", {there.bandExtent, context.bandExtent}},
        {"lastBandExtent", {there.lastBandExtent, context.lastBandExtent}},
        {"crossExtent", {there.crossExtent, context.crossExtent}},
        {"bandAxisExtent", {there.bandAxisExtent, context.bandAxisExtent}},
        {"fontSlotCount", {there.fontSlotCount, context.fontSlotCount}},
    };
    for (const auto& [name, values] : layout) {
      if (values.first != values.second) {
        differences.push_back(std::string("its ") + name + " is " + std::to_string(values.first) +
                              ", the Linux build's " + std::to_string(values.second));
      }
    }
  }

  if (const auto& failure = result_.failure) {
    const host::DdiStatus refusal = {false, failure->call, failure->lastError};
    std::string why = failure->call.empty() ? failure->message : refusal.Describe();
    if (!failure->call.empty() && !failure->message.empty()) why += ": " + failure->message;
    if (!differences.empty()) why += "; " + DescribeDifferences("it", differences);
    switch (failure->stage) {
      case tq33job::Stage::kJobFile:
        Fail(Name() + ": run_job.exe could not read the job: " + why);
      case tq33job::Stage::kSetUp:
        Fail(Name() + ": run_job.exe could not set the job up: " + why);
      case tq33job::Stage::kDefaults:
        Fail(Name() + " makes no context of the printer, where the Linux build makes one: " + why);
      case tq33job::Stage::kContext:
        Fail(Name() + " refused the printer context, which the Linux build made: " + why);
      case tq33job::Stage::kDocument:
        if (failure->page == 0) Fail(Name() + " failed the document: " + why);
        Fail(Name() + " failed page " + std::to_string(failure->page) + ": " + why);
    }
  }
  if (result_.command != tq33job::Command::kPrint) return differences;
  if (!result_.spooled) Fail(Name() + ": run_job.exe printed no document");
  if (result_.spooled->jobFlags & JF_OUTPUT_FAILED) {
    Fail(Name() + " could not write the whole job to the spooler");
  }
  std::error_code sizeCode;
  const uintmax_t size = fs::file_size(directory_ + "/spool.bin", sizeCode);
  if (sizeCode || size != result_.spooled->bytes) {
    Fail(Name() + ": the spool file does not hold the " + std::to_string(result_.spooled->bytes) +
         " bytes the spooler received");
  }
  return differences;
}

ContextAnswers WineJob::Answers() {
  ContextAnswers answers;
  answered_ = std::make_unique<DeviceContext>(*printer_.context());
  DeviceContext& context = *answered_;
  std::memcpy(&context.settings, result_.settings->data(), sizeof(context.settings));
  std::memcpy(&context.defaultSettings, result_.defaultSettings->data(),
              sizeof(context.defaultSettings));
  context.printerData = nullptr;
  if (result_.printerData) {
    std::memcpy(&answeredPrinterData_, result_.printerData->data(), sizeof(PrinterDataRecord));
    context.printerData = &answeredPrinterData_;
  }
  const tq33job::PageLayout& layout = *result_.layout;
  context.surfaceFlags = layout.surfaceFlags;
  context.pageStride = layout.pageStride;
  context.bandCount = layout.bandCount;
  context.bandExtent = layout.bandExtent;
  context.lastBandExtent = layout.lastBandExtent;
  context.crossExtent = layout.crossExtent;
  context.bandAxisExtent = layout.bandAxisExtent;
  context.fontSlotCount = layout.fontSlotCount;
  answers.context = &context;
  std::memcpy(&answers.gdiInfo, result_.gdiInfo->data(), sizeof(GDIINFO));
  std::memcpy(&answers.deviceInfo, result_.deviceInfo->data(), sizeof(DEVINFO));
  return answers;
}

void WineJob::WriteSpooled(OutputFile* out) const {
  std::FILE* file = std::fopen((directory_ + "/spool.bin").c_str(), "rb");
  if (!file) Fail(Name() + ": cannot read the spool file in " + directory_);
  std::vector<uint8_t> chunk(kCopyChunk);
  bool written = true;
  for (size_t read; written && (read = std::fread(chunk.data(), 1, chunk.size(), file)) > 0;) {
    written = out->Write(chunk.data(), read);
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (!written) out->FailWrite();
  if (failed) Fail(Name() + ": cannot read the spool file in " + directory_);
}

std::string DescribeDifferences(const std::string& name,
                                const std::vector<std::string>& differences) {
  std::string text = name + " answered differently from the Linux build: ";
  for (size_t i = 0; i < differences.size() && i < kNamedDifferences; ++i)
    text += (i ? "; " : "") + differences[i];
  if (differences.size() > kNamedDifferences)
    text += "; and " + std::to_string(differences.size() - kNamedDifferences) + " more";
  return text;
}

}  // namespace tq33cli
