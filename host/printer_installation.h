// SPDX-License-Identifier: Apache-2.0
// A printer installation on the host: the files a TQ-33 queue has on a Windows machine,
// laid out under a directory that becomes the host's Windows root, and the printer
// registered with the host spooler. Tests, the tq33 tool and the CUPS filter all print
// through one of these.
//
// Layout (Windows paths; the drive maps to <root>/C):
//   C:\TQ33\drivers\                 the printer driver directory
//   C:\TQ33\drivers\TQ33KV.DLL       the driver library (a link to the built one)
//   C:\TQ33\drivers\TQ33KV.MDL       the driver data file, read by the model-data library
//   C:\TQ33\drivers\TQ33KV.DAT       the media definition file
//   C:\TQ33\drivers\3\TQ33Ki3.dll    the model-data library (a link to the built one)
//   C:\TQ33\drivers\3\TQ33Kr.dll     the resource library (its version block)
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/host.h"

namespace host {

inline constexpr char16_t kDriverDirectory[] = u"C:\\TQ33\\drivers";
inline constexpr char16_t kDriverPath[] = u"C:\\TQ33\\drivers\\TQ33KV.DLL";
inline constexpr char16_t kDataFilePath[] = u"C:\\TQ33\\drivers\\TQ33KV.MDL";
inline constexpr char16_t kMediaFilePath[] = u"C:\\TQ33\\drivers\\TQ33KV.DAT";
inline constexpr char16_t kConfigFilePath[] = u"C:\\TQ33\\drivers\\TQ33KU.DLL";
inline constexpr char16_t kModelLibraryPath[] = u"C:\\TQ33\\drivers\\3\\TQ33Ki3.dll";
inline constexpr char16_t kResourceLibraryPath[] = u"C:\\TQ33\\drivers\\3\\TQ33Kr.dll";

struct InstallationFiles {
  // The driver data file; absent: not installed.
  std::optional<std::vector<uint8_t>> modelData;
  // The media definition file; absent: not installed.
  std::optional<std::vector<uint8_t>> mediaDefinitions;
  // The resource library's translation pair (language, code page); absent: not installed.
  std::optional<std::pair<uint16_t, uint16_t>> resourceTranslation = {{0x0809, 0x04B0}};
  // Host paths of the libraries to install; empty: the driver library this process has
  // loaded, and the model-data library beside it.
  std::string driverLibrary;
  std::string modelDataLibrary;
  bool installModelDataLibrary = true;
  // Keep the files in memory (host memory files) under a root that no path on disk can
  // reach, rather than laying them out in a directory; the driver reads the same bytes.
  bool inMemory = false;
};

class PrinterInstallation {
 public:
  // Lays out the files under directory (a new private directory when empty; nothing on
  // disk for files in memory), makes it the host's Windows root, sets the driver directory
  // and registers one printer. Null, with the reason in error, when the files cannot be
  // written.
  static std::unique_ptr<PrinterInstallation> Create(const InstallationFiles& files,
                                                     std::string* error,
                                                     const std::string& directory = {});
  ~PrinterInstallation();
  PrinterInstallation(const PrinterInstallation&) = delete;
  PrinterInstallation& operator=(const PrinterInstallation&) = delete;

  // The first printer, registered by Create.
  HANDLE printer() const { return printers_.front(); }
  // Registers another printer on the same installation (for concurrent jobs); it is
  // removed with the installation.
  HANDLE AddPrinter(const std::u16string& name);
  // The setup every printer of the installation is registered with.
  PrinterSetup Setup(const std::u16string& name) const;

  const std::string& root() const { return root_; }
  // The host path of the model-data library installed; empty when none is.
  const std::string& modelDataLibrary() const { return modelDataLibrary_; }
  // The host path of a Windows path of this installation.
  std::string HostPath(std::u16string_view windowsPath) const;

  // Replaces or removes single files after creation.
  bool WriteFile(std::u16string_view windowsPath, const std::vector<uint8_t>& bytes);
  bool RemoveFile(std::u16string_view windowsPath);
  // A file's bytes, absent when it cannot be read; whether a file or library is there.
  std::optional<std::vector<uint8_t>> ReadFile(std::u16string_view windowsPath) const;
  bool HasFile(std::u16string_view windowsPath) const;

  // The host path of the driver library this process has loaded, and of the model-data
  // library an installation links beside it by default.
  static std::string LoadedDriverLibrary();
  static std::string LoadedModelDataLibrary();

 private:
  PrinterInstallation() = default;
  // Puts a file, or a link to a host library, at a Windows path: on disk, or in memory.
  bool PutFile(std::u16string_view windowsPath, const std::vector<uint8_t>& bytes,
               std::string* error);
  bool PutLibrary(const std::string& target, std::u16string_view windowsPath, std::string* error);
  // Notes a host path set in memory, once, for the destructor to remove.
  void Remember(const std::string& hostPath);

  std::string root_;
  std::string modelDataLibrary_;
  bool ownsRoot_ = false;
  bool inMemory_ = false;
  std::vector<std::string> memoryFiles_;  // host paths set in memory, removed with it
  std::vector<HANDLE> printers_;
};

// Reads a whole file; absent when it cannot be read.
std::optional<std::vector<uint8_t>> ReadWholeFile(const std::string& path);

}  // namespace host
