// Laying out the filter's printer installation.
#include "cups/filter_installation.h"

#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "cups/embedded_installation.h"

namespace tq33cups {
namespace {

// A named file, read whole within the size limit. Nothing, with the reason in error,
// when it cannot be read or is too large.
std::optional<std::vector<uint8_t>> ReadFile(const std::string& path, const char* what,
                                             std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = std::string("cannot open the ") + what + " " + path;
    return std::nullopt;
  }
  std::vector<uint8_t> bytes(kMaxInstallationFileBytes + 1);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (in.bad()) {
    *error = std::string("cannot read the ") + what + " " + path;
    return std::nullopt;
  }
  bytes.resize(static_cast<size_t>(in.gcount()));
  if (bytes.size() > kMaxInstallationFileBytes) {
    *error = std::string("the ") + what + " " + path + " is larger than " +
             std::to_string(kMaxInstallationFileBytes) + " bytes";
    return std::nullopt;
  }
  return bytes;
}

// The driver library beside the filter's own program (installed together, or both in the
// build's output directory); empty when there is none, and the installation then links
// the driver library the process has loaded.
std::string DriverLibraryBesideProgram() {
  std::error_code code;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", code);
  if (code) return {};
  const std::filesystem::path library = program.parent_path() / TQ33_DRIVER_LIBRARY_NAME;
  return std::filesystem::is_regular_file(library, code) ? library.string() : std::string();
}

}  // namespace

// Sets up the named files, or the built-in ones; null with the reason when it cannot.
std::unique_ptr<host::PrinterInstallation> CreateFilterInstallation(
    const std::string& modelDataFile, const std::string& mediaFile, std::string* error) {
  host::InstallationFiles files;
  files.modelData = modelDataFile.empty()
                        ? std::vector<uint8_t>(kDefaultModelData, kDefaultModelData + kDefaultModelDataSize)
                        : ReadFile(modelDataFile, "driver data file", error);
  if (!files.modelData) return nullptr;
  files.mediaDefinitions =
      mediaFile.empty() ? std::vector<uint8_t>(kDefaultMediaFile, kDefaultMediaFile + kDefaultMediaFileSize)
                        : ReadFile(mediaFile, "media definition file", error);
  if (!files.mediaDefinitions) return nullptr;
  // The engine loads the driver from the installation, as the spooler's process would: the
  // filter need not have it loaded.
  files.driverLibrary = DriverLibraryBesideProgram();
  // Nothing is written to disk for a job: the files are served from memory.
  files.inMemory = true;
  std::string why;
  std::unique_ptr<host::PrinterInstallation> installation =
      host::PrinterInstallation::Create(files, &why);
  if (!installation) *error = "cannot set up the printer installation: " + why;
  return installation;
}

}  // namespace tq33cups
