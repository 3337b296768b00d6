// SPDX-License-Identifier: Apache-2.0
// Lays out a printer installation on the host and registers its printer.
#include "host/printer_installation.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace host {
namespace {

namespace fs = std::filesystem;

constexpr char kModelLibraryFile[] = "libtq33modeldata.so";

bool WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error) {
  std::error_code code;
  fs::create_directories(fs::path(path).parent_path(), code);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out) out.write(reinterpret_cast<const char*>(bytes.data()),
                     static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    if (error) *error = "cannot write " + path;
    return false;
  }
  return true;
}

bool Link(const std::string& target, const std::string& path, std::string* error) {
  std::error_code code;
  fs::create_directories(fs::path(path).parent_path(), code);
  fs::remove(path, code);
  fs::create_symlink(target, path, code);
  if (code) {
    if (error) *error = "cannot link " + path + " to " + target + ": " + code.message();
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return bytes;
}

std::string PrinterInstallation::LoadedDriverLibrary() {
  void* symbol = dlsym(RTLD_DEFAULT, "DrvEnableDriver");
  Dl_info info{};
  if (!symbol || !dladdr(symbol, &info) || !info.dli_fname) return {};
  std::error_code code;
  fs::path path = fs::canonical(info.dli_fname, code);
  return code ? std::string(info.dli_fname) : path.string();
}

std::string PrinterInstallation::LoadedModelDataLibrary() {
  const std::string driverLibrary = LoadedDriverLibrary();
  if (driverLibrary.empty()) return {};
  return (fs::path(driverLibrary).parent_path() / kModelLibraryFile).string();
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
    // A TMPDIR that names no directory is the caller's failure, not a thrown exception.
    std::error_code code;
    const fs::path temporary = fs::temp_directory_path(code);
    std::string pattern = (temporary / "tq33-install-XXXXXX").string();
    if (code || !mkdtemp(pattern.data())) {
      if (error) {
        *error = "cannot make a directory for the installation in " +
                 (code ? "$TMPDIR: " + code.message()
                       : temporary.string() + ": " + std::generic_category().message(errno));
      }
      return nullptr;
    }
    installation->root_ = pattern;
    installation->ownsRoot_ = true;
  } else {
    std::error_code code;
    fs::create_directories(directory, code);
    installation->root_ = fs::absolute(directory).string();
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
  if (!it.inMemory_) {
    std::error_code code;
    fs::create_directories(it.HostPath(kDriverDirectory) + "/3", code);
  }
  if (!it.PutLibrary(driverLibrary, kDriverPath, error)) return nullptr;
  if (files.installModelDataLibrary) {
    std::string modelLibrary = files.modelDataLibrary;
    if (modelLibrary.empty())
      modelLibrary = (fs::path(driverLibrary).parent_path() / kModelLibraryFile).string();
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
  if (ownsRoot_) {
    std::error_code code;
    fs::remove_all(root_, code);
  }
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
  std::string path = root_;
  size_t start = 0;
  if (windowsPath.size() >= 2 && windowsPath[1] == u':') {
    path += '/';
    path += static_cast<char>(windowsPath[0] >= u'a' && windowsPath[0] <= u'z'
                                  ? windowsPath[0] - u'a' + u'A'
                                  : windowsPath[0]);
    start = 2;
  }
  std::u16string rest(windowsPath.substr(start));
  for (char16_t& c : rest) {
    if (c == u'\\') c = u'/';
  }
  return path + Utf8(rest);
}

bool PrinterInstallation::WriteFile(std::u16string_view windowsPath,
                                    const std::vector<uint8_t>& bytes) {
  return PutFile(windowsPath, bytes, nullptr);
}

bool PrinterInstallation::RemoveFile(std::u16string_view windowsPath) {
  if (inMemory_) return RemoveMemoryFile(HostPath(windowsPath));
  std::error_code code;
  return fs::remove(HostPath(windowsPath), code);
}

std::optional<std::vector<uint8_t>> PrinterInstallation::ReadFile(
    std::u16string_view windowsPath) const {
  if (inMemory_) return MemoryFileBytes(HostPath(windowsPath));
  return ReadWholeFile(HostPath(windowsPath));
}

bool PrinterInstallation::HasFile(std::u16string_view windowsPath) const {
  if (inMemory_) return IsMemoryFile(HostPath(windowsPath));
  std::error_code code;
  return fs::exists(HostPath(windowsPath), code);
}

}  // namespace host
