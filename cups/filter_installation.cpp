// SPDX-License-Identifier: Apache-2.0
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

// The directory of the filter's own program; empty when it cannot be told.
std::filesystem::path ProgramDirectory() {
  std::error_code code;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", code);
  return code ? std::filesystem::path() : program.parent_path();
}

// When the program runs from CUPS's filter directory of the installation, the root that
// directory hangs under: empty for an installed filter, a staging tree's directory for
// one installed with DESTDIR. Nothing when it runs from anywhere else.
std::optional<std::string> InstalledRoot(const std::filesystem::path& directory) {
  const std::string filterDirectory =
      std::filesystem::path(TQ33_INSTALLED_FILTER_DIR).lexically_normal().string();
  const std::string path = directory.lexically_normal().string();
  if (filterDirectory.empty() || filterDirectory.front() != '/' ||
      path.size() < filterDirectory.size() ||
      path.compare(path.size() - filterDirectory.size(), filterDirectory.size(),
                   filterDirectory) != 0) {
    return std::nullopt;
  }
  return path.substr(0, path.size() - filterDirectory.size());
}

// A default file of the installation: what it is, where it is installed (under the
// root) and the copy built into the filter.
struct DefaultFile {
  const char* what;
  const char* installed;
  const unsigned char* builtIn;
  size_t builtInSize;
};

// A file of the installation: the named one, or else the installed default under root,
// or else (no root) the built-in copy. Adds the file read to source.
std::optional<std::vector<uint8_t>> InstallationFile(const std::string& named,
                                                     const std::optional<std::string>& root,
                                                     const DefaultFile& fallback,
                                                     std::string* source, std::string* error) {
  const std::string path =
      !named.empty() ? named : root ? *root + fallback.installed : std::string();
  *source += std::string(source->empty() ? "" : ", ") + fallback.what + " " +
             (path.empty() ? "(built in)" : path);
  if (path.empty())
    return std::vector<uint8_t>(fallback.builtIn, fallback.builtIn + fallback.builtInSize);
  return ReadFile(path, fallback.what, error);
}

// The driver library the installation links to: the installed one under root, or the one
// beside the program (both in the build's output directory). Empty when there is none
// beside the program: the installation then links the driver library the process has
// loaded. The filter itself calls nothing of the driver, so it need not have loaded it.
std::string DriverLibrary(const std::filesystem::path& directory,
                          const std::optional<std::string>& root) {
  const std::filesystem::path library =
      root ? std::filesystem::path(*root + TQ33_INSTALLED_LIBRARY_DIR) / TQ33_DRIVER_LIBRARY_NAME
           : directory / TQ33_DRIVER_LIBRARY_NAME;
  std::error_code code;
  return root || (!directory.empty() && std::filesystem::is_regular_file(library, code))
             ? library.string()
             : std::string();
}

}  // namespace

// Sets up the named files, or the default ones; null with the reason when it cannot.
std::unique_ptr<host::PrinterInstallation> CreateFilterInstallation(
    const std::string& modelDataFile, const std::string& mediaFile, std::string* error,
    std::string* source) {
  const std::filesystem::path directory = ProgramDirectory();
  const std::optional<std::string> root = InstalledRoot(directory);
  std::string read;
  host::InstallationFiles files;
  files.modelData = InstallationFile(
      modelDataFile, root,
      {"driver data file", TQ33_INSTALLED_MODEL_DATA, kDefaultModelData, kDefaultModelDataSize},
      &read, error);
  if (!files.modelData) return nullptr;
  files.mediaDefinitions = InstallationFile(
      mediaFile, root,
      {"media definition file", TQ33_INSTALLED_MEDIA_FILE, kDefaultMediaFile, kDefaultMediaFileSize},
      &read, error);
  if (!files.mediaDefinitions) return nullptr;
  // The engine loads the driver from the installation, as the spooler's process would.
  files.driverLibrary = DriverLibrary(directory, root);
  std::error_code code;
  if (root && !std::filesystem::is_regular_file(files.driverLibrary, code)) {
    *error = "the driver library " + files.driverLibrary + " is missing";
    return nullptr;
  }
  if (source) {
    *source = read + ", driver library " +
              (files.driverLibrary.empty() ? "(loaded)" : files.driverLibrary);
  }
  // Nothing is written to disk for a job: the files are served from memory.
  files.inMemory = true;
  std::string why;
  std::unique_ptr<host::PrinterInstallation> installation =
      host::PrinterInstallation::Create(files, &why);
  if (!installation) *error = "cannot set up the printer installation: " + why;
  return installation;
}

}  // namespace tq33cups
