// SPDX-License-Identifier: Apache-2.0
// Lays out a printer installation on the host and registers its printer.
#include "host/printer_installation.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "host/host_internal.h"

namespace host {
namespace {

using internal::InDirectory;
using internal::MakeDirectories;
using internal::ParentDirectory;

constexpr char kModelLibraryFile[] = "libtq33modeldata.so";

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  MakeDirectories(ParentDirectory(path));
  if (!internal::WriteFileBytes(path, bytes.data(), bytes.size())) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

bool Link(const std::string& target, const std::string& path, std::string* error) {
  MakeDirectories(ParentDirectory(path));
  internal::RemovePath(path);
  if (symlink(target.c_str(), path.c_str()) != 0) {
    if (error) *error = "cannot link " + path + " to " + target + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// The directory for temporary files, as the C++ runtime's file system library names it:
// the first of TMPDIR, TMP, TEMP and TEMPDIR that is set, else /tmp. Empty, with the
// reason, when that is not a directory.
std::string TemporaryDirectory(std::string* reason) {
  const char* directory = nullptr;
  for (const char* name : {"TMPDIR", "TMP", "TEMP", "TEMPDIR"}) {
    if ((directory = std::getenv(name))) break;
  }
  if (!directory) directory = "/tmp";
  struct stat status;
  const int failure = stat(directory, &status) != 0 ? errno
                      : S_ISDIR(status.st_mode)    ? 0
                                                   : ENOTDIR;
  if (failure != 0) {
    *reason = std::strerror(failure);
    return {};
  }
  return directory;
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path) {
  return internal::ReadFileBytes(path);
}

std::string PrinterInstallation::LoadedDriverLibrary() {
  void* symbol = dlsym(RTLD_DEFAULT, "DrvEnableDriver");
  Dl_info info{};
  if (!symbol || !dladdr(symbol, &info) || !info.dli_fname) return {};
  char resolved[PATH_MAX];
  return realpath(info.dli_fname, resolved) ? std::string(resolved) : std::string(info.dli_fname);
}

std::string PrinterInstallation::LoadedModelDataLibrary() {
  const std::string driverLibrary = LoadedDriverLibrary();
  if (driverLibrary.empty()) return {};
  return InDirectory(ParentDirectory(driverLibrary), kModelLibraryFile);
}

std::unique_ptr<PrinterInstallation> PrinterInstallation::Create(const InstallationFiles& files,
                                                                 std::string* error,
                                                                 const std::string& directory) {
  std::unique_ptr<PrinterInstallation> installation(new PrinterInstallation);
  if (files.inMemory) {
    // Nothing exists below /dev/null: a path that is not in memory is not found.
    static std::atomic<uint64_t> made{0};
    installation->root_ = "/dev/null/tq33-installation-" + std::to_string(++made);
    installation->inMemory_ = true;
  } else if (directory.empty()) {
    // A TMPDIR that names no directory is the caller's failure.
    std::string reason;
    const std::string temporary = TemporaryDirectory(&reason);
    std::string pattern = InDirectory(temporary, "tq33-install-XXXXXX");
    if (temporary.empty() || !mkdtemp(pattern.data())) {
      if (error) {
        *error = "cannot make a directory for the installation in " +
                 (temporary.empty() ? "$TMPDIR: " + reason
                                    : temporary + ": " + std::strerror(errno));
      }
      return nullptr;
    }
    installation->root_ = pattern;
    installation->ownsRoot_ = true;
  } else {
    MakeDirectories(directory);
    char here[PATH_MAX];
    installation->root_ = directory.front() == '/' || !getcwd(here, sizeof(here))
                              ? directory
                              : InDirectory(here, directory);
  }
  SetWindowsRoot(installation->root_);
  SetDriverDirectory(kDriverDirectory);

  std::string driverLibrary = files.driverLibrary.empty() ? LoadedDriverLibrary()
                                                          : files.driverLibrary;
  if (driverLibrary.empty()) {
    if (error) *error = "the driver library is not loaded in this process";
    return nullptr;
  }
  PrinterInstallation& it = *installation;
  if (!it.inMemory_) MakeDirectories(it.HostPath(kDriverDirectory) + "/3");
  if (!it.PutLibrary(driverLibrary, kDriverPath, error)) return nullptr;
  if (files.installModelDataLibrary) {
    std::string modelLibrary = files.modelDataLibrary;
    if (modelLibrary.empty())
      modelLibrary = InDirectory(ParentDirectory(driverLibrary), kModelLibraryFile);
    if (!it.PutLibrary(modelLibrary, kModelLibraryPath, error)) return nullptr;
    it.modelDataLibrary_ = modelLibrary;
  }
  if (files.modelData && !it.PutFile(kDataFilePath, *files.modelData, error)) return nullptr;
  if (files.mediaDefinitions && !it.PutFile(kMediaFilePath, *files.mediaDefinitions, error))
    return nullptr;
  if (files.resourceTranslation &&
      !it.PutFile(kResourceLibraryPath,
                  ResourceLibraryBytes(files.resourceTranslation->first,
                                       files.resourceTranslation->second),
                  error)) {
    return nullptr;
  }
  it.printers_.push_back(host::AddPrinter(it.Setup(u"TQ-33")));
  return installation;
}

PrinterInstallation::~PrinterInstallation() {
  for (HANDLE printer : printers_) RemovePrinter(printer);
  for (const std::string& path : memoryFiles_) RemoveMemoryFile(path);
  if (ownsRoot_) internal::RemoveTree(root_);
}

bool PrinterInstallation::PutFile(std::u16string_view windowsPath,
                                  const std::vector<uint8_t>& bytes, std::string* error) {
  std::string path = HostPath(windowsPath);
  if (!inMemory_) return WriteBytes(path, bytes, error);
  Remember(path);
  SetMemoryFile(std::move(path), bytes);
  return true;
}

bool PrinterInstallation::PutLibrary(const std::string& target, std::u16string_view windowsPath,
                                     std::string* error) {
  std::string path = HostPath(windowsPath);
  if (!inMemory_) return Link(target, path, error);
  Remember(path);
  SetMemoryLibrary(std::move(path), target);
  return true;
}

void PrinterInstallation::Remember(const std::string& hostPath) {
  // A file replaced again and again (a fuzzer's input) is still one file to remove.
  if (std::find(memoryFiles_.begin(), memoryFiles_.end(), hostPath) == memoryFiles_.end())
    memoryFiles_.push_back(hostPath);
}

PrinterSetup PrinterInstallation::Setup(const std::u16string& name) const {
  PrinterSetup setup;
  setup.name = name;
  setup.driverName = u"TQ-33";
  setup.driverPath = kDriverPath;
  setup.dataFile = kDataFilePath;
  setup.configFile = kConfigFilePath;
  return setup;
}

HANDLE PrinterInstallation::AddPrinter(const std::u16string& name) {
  HANDLE printer = host::AddPrinter(Setup(name));
  printers_.push_back(printer);
  return printer;
}

std::string PrinterInstallation::HostPath(std::u16string_view windowsPath) const {
  // The same mapping the host applies, rooted at this installation.
  std::string path;
  path.reserve(root_.size() + windowsPath.size() + 1);
  path.assign(root_);
  size_t start = 0;
  if (windowsPath.size() >= 2 && windowsPath[1] == u':') {
    path += '/';
    path += static_cast<char>(windowsPath[0] >= u'a' && windowsPath[0] <= u'z'
                                  ? windowsPath[0] - u'a' + u'A'
                                  : windowsPath[0]);
    start = 2;
  }
  // A separator is ASCII, so it is the same byte in the UTF-8 form.
  const size_t restAt = path.size();
  internal::AppendUtf8(windowsPath.substr(start), &path);
  for (size_t i = restAt; i < path.size(); ++i) {
    if (path[i] == '\\') path[i] = '/';
  }
  return path;
}

bool PrinterInstallation::WriteFile(std::u16string_view windowsPath,
                                    const std::vector<uint8_t>& bytes) {
  return PutFile(windowsPath, bytes, nullptr);
}

bool PrinterInstallation::RemoveFile(std::u16string_view windowsPath) {
  if (inMemory_) return RemoveMemoryFile(HostPath(windowsPath));
  return internal::RemovePath(HostPath(windowsPath));
}

std::optional<std::vector<uint8_t>> PrinterInstallation::ReadFile(
    std::u16string_view windowsPath) const {
  if (inMemory_) return MemoryFileBytes(HostPath(windowsPath));
  return ReadWholeFile(HostPath(windowsPath));
}

bool PrinterInstallation::HasFile(std::u16string_view windowsPath) const {
  if (inMemory_) return IsMemoryFile(HostPath(windowsPath));
  return internal::FileExists(HostPath(windowsPath));
}

}  // namespace host
