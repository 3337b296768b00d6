// SPDX-License-Identifier: Apache-2.0
// Laying out the tool's printer installation and its environment, and diagnosing why the
// driver refused it.
#include "cli/installation.h"

#include <dlfcn.h>

#include <cstring>
#include <filesystem>
#include <system_error>

#include "cli/embedded_data.h"
#include "cli/file_io.h"
#include "cli/tool.h"
#include "host/host.h"
#include "modeldata/model_data_file.h"

namespace tq33cli {
namespace {

namespace fs = std::filesystem;

// The default installation's files, as named in data/.
constexpr char kDefaultModelData[] = "tq33.model";
constexpr char kDefaultMediaFile[] = "sample-media.dat";

// The registry key of the installation's default options: this prefix and the model name.
constexpr char16_t kDefaultOptionsKey[] = u"SOFTWARE\\Tolvane\\Quenza\\Driver\\3.0\\";
// The key every installation keeps its default options under.
constexpr char16_t kOptionsRoot[] = u"SOFTWARE\\Tolvane";
constexpr char16_t kDefaultOptionsValue[] = u"RegDefaultOptions";
constexpr char16_t kFallbackModelName[] = u"TQ-33";

// The model the driver asks the model-data library for.
constexpr DWORD kModelSelector = 1;

// Names of the installation's files inside its driver directory.
constexpr char kDataFileName[] = "TQ33KV.MDL";
constexpr char kMediaFileName[] = "TQ33KV.DAT";
constexpr char kResourceLibraryName[] = "3/TQ33Kr.dll";

// An embedded data/ file; throws when the tool was built without it.
std::vector<uint8_t> Embedded(const char* name) {
  std::optional<std::vector<uint8_t>> bytes = EmbeddedBytes(name);
  if (!bytes) Fail(std::string("the tool was built without data/") + name);
  return *bytes;
}

// The driver directory of an installation named by --install: the host's layout under a
// Windows root, or the driver directory itself.
fs::path InstalledDriverDirectory(const std::string& directory) {
  fs::path root(directory);
  std::error_code code;
  fs::path laidOut = root / "C" / "TQ33" / "drivers";
  if (fs::is_directory(laidOut, code)) return laidOut;
  if (fs::exists(root / kDataFileName, code) || fs::exists(root / kMediaFileName, code)) {
    return root;
  }
  Fail("--install " + directory +
       " is not a printer installation: it holds neither "
       "C/TQ33/drivers nor " +
       kDataFileName + " or " + kMediaFileName);
}

// A file of the installation named by --install, when it has one.
std::optional<std::vector<uint8_t>> InstalledFile(const fs::path& directory, const char* name,
                                                  const char* what) {
  std::error_code code;
  fs::path path = directory / name;
  if (!fs::exists(path, code)) return std::nullopt;
  return ReadInputFile(path.string(), what);
}

// The first translation of the installation's resource library, read as the driver reads
// it; marked unreadable when it has none. Nothing when there is no library.
std::optional<tq33job::ResourceLibrary> ResourceTranslation(
    const host::PrinterInstallation& installation) {
  if (!installation.HasFile(host::kResourceLibraryPath)) return std::nullopt;
  tq33job::ResourceLibrary library = {0, 0, RSRC_UNREADABLE};
  const WCHAR* path = host::Wide(host::kResourceLibraryPath);
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path, &handle);
  std::vector<uint8_t> block(size);
  LPVOID value = nullptr;
  UINT length = 0;
  if (size > 0 && GetFileVersionInfoW(path, handle, size, block.data()) &&
      VerQueryValueW(block.data(), host::Wide(u"\\VarFileInfo\\Translation"), &value, &length) &&
      value && length >= 4) {
    std::memcpy(&library.language, value, 2);
    std::memcpy(&library.codePage, static_cast<const uint8_t*>(value) + 2, 2);
    library.flags = 0;
  }
  return library;
}

// Parses the installation's data file as the model-data library would. False with the
// fault in error when it is malformed, and with present false when there is none.
bool ParseInstalledModel(const host::PrinterInstallation& installation, ModelDataFile* file,
                         ModelDataError* error, bool* present) {
  std::optional<std::vector<uint8_t>> bytes = installation.ReadFile(host::kDataFilePath);
  *present = bytes.has_value();
  if (!bytes) return false;
  return ParseModelDataFile(bytes->data(), bytes->size(), file, error) != FALSE;
}

}  // namespace

std::optional<std::vector<uint8_t>> EmbeddedBytes(std::string_view name) {
  for (size_t i = 0; i < kEmbeddedFileCount; ++i) {
    const EmbeddedFile& file = kEmbeddedFiles[i];
    if (name == file.name) return std::vector<uint8_t>(file.bytes, file.bytes + file.size);
  }
  return std::nullopt;
}

ToolInstallation::ToolInstallation(const ToolOptions& options) {
  host::InstallationFiles files;
  std::optional<std::vector<uint8_t>> resourceLibrary;
  if (options.installDir.empty()) {
    files.modelData = Embedded(kDefaultModelData);
    files.mediaDefinitions = Embedded(kDefaultMediaFile);
  } else {
    // The tool never writes into an installation it is given: it prints from a copy.
    fs::path directory = InstalledDriverDirectory(options.installDir);
    files.modelData = InstalledFile(directory, kDataFileName, "model data file");
    files.mediaDefinitions = InstalledFile(directory, kMediaFileName, "media definition file");
    resourceLibrary = InstalledFile(directory, kResourceLibraryName, "resource library");
    files.resourceTranslation.reset();
  }
  if (!options.modelDataFile.empty()) {
    files.modelData = ReadInputFile(options.modelDataFile, "model data file");
  }
  if (!options.mediaFile.empty()) {
    files.mediaDefinitions = ReadInputFile(options.mediaFile, "media definition file");
  }
  if (options.resourceLanguage) {
    files.resourceTranslation = options.resourceLanguage;
    resourceLibrary.reset();
  }

  // Nothing is laid out on disk: the driver reads the files from memory.
  files.inMemory = true;
  std::string error;
  installation_ = host::PrinterInstallation::Create(files, &error);
  if (!installation_) Fail("cannot lay out the printer installation: " + error);
  // The driver loads the model-data library for each context and frees it again. Held
  // loaded for the tool's life, it is loaded once, and the second context finds the data
  // file it parsed for the first. Only a saving: a library that does not load here fails
  // the driver's own load, in words.
  if (!installation_->modelDataLibrary().empty())
    dlopen(installation_->modelDataLibrary().c_str(), RTLD_NOW | RTLD_LOCAL);
  if (resourceLibrary && !installation_->WriteFile(host::kResourceLibraryPath, *resourceLibrary)) {
    Fail("cannot lay out the printer installation: cannot copy its resource library");
  }

  const HANDLE printer = installation_->printer();
  for (const PrinterDataStep& step : options.printerData) {
    tq33job::PrinterDataValue value;
    value.name = host::Utf16(step.name);
    if (step.binary) {
      value.type = JOB_REG_BINARY;
      value.bytes = ReadInputFile(step.file, "printer-data file");
      host::SetPrinterDataBinary(printer, value.name, value.bytes);
    } else {
      value.bytes.resize(sizeof(step.number));
      std::memcpy(value.bytes.data(), &step.number, sizeof(step.number));
      host::SetPrinterDataDword(printer, value.name, step.number);
    }
    environment_.printerData.push_back(std::move(value));
  }
  if (!options.userDevmodeFile.empty()) {
    environment_.userDevmode = ReadInputFile(options.userDevmodeFile, "per-user settings record");
    host::SetUserDevmode(printer, environment_.userDevmode);
  }
  environment_.clearedKey = kOptionsRoot;
  if (!options.registryOptionsFile.empty()) {
    std::vector<uint8_t> block =
        ReadInputFile(options.registryOptionsFile, "registry options file");
    // The driver looks under the model's name, which its default settings take from the
    // model record.
    std::u16string model = kFallbackModelName;
    ModelDataFile parsed;
    ModelDataError parseError;
    bool present = false;
    if (ParseInstalledModel(*installation_, &parsed, &parseError, &present)) {
      if (const ModelDataModel* found = FindModelData(&parsed, kModelSelector)) {
        const WCHAR* name = found->record.moName;
        size_t length = 0;
        while (length < std::size(found->record.moName) && name[length] != 0) ++length;
        model.assign(name, length);
      }
    }
    environment_.defaultOptions = {std::u16string(kDefaultOptionsKey) + model,
                                   kDefaultOptionsValue, block};
    host::SetRegistryValue(environment_.defaultOptions->key, kDefaultOptionsValue, REG_BINARY,
                           std::move(block));
  }
  if (options.country || options.measure) {
    environment_.country = host::Utf16(options.country.value_or("44"));
    environment_.measure = host::Utf16(options.measure.value_or("0"));
    host::SetLocale(environment_.country, environment_.measure);
  }
  if (options.codePage) {
    environment_.engine.ansiCodePage = *options.codePage;
    host::SetCodePages(environment_.engine.oemCodePage, *options.codePage);
  }
}

tq33job::Job ToolInstallation::Environment() const {
  tq33job::Job job = environment_;
  job.modelData = installation_->ReadFile(host::kDataFilePath);
  job.mediaDefinitions = installation_->ReadFile(host::kMediaFilePath);
  job.resourceLibrary = ResourceTranslation(*installation_);
  return job;
}

std::string ToolInstallation::DiagnoseRefusal() const {
  ModelDataFile parsed;
  ModelDataError error;
  bool present = false;
  if (!ParseInstalledModel(*installation_, &parsed, &error, &present)) {
    if (!present) return "the installation has no model data file";
    return error.line ? "model data file malformed at " + error.Describe()
                      : "model data file malformed: " + error.Describe();
  }
  if (!FindModelData(&parsed, kModelSelector)) {
    return "the model data file declares no [model 1], the model the driver asks for";
  }
  if (FindModelData(&parsed, kModelSelector)->media.empty()) {
    return "model 1 of the model data file has no media";
  }
  const std::optional<std::vector<uint8_t>> mediaFile =
      installation_->ReadFile(host::kMediaFilePath);
  if (!installation_->HasFile(host::kMediaFilePath))
    return "the installation has no media definition file";
  if (!mediaFile) return "the media definition file cannot be read";
  if (!installation_->HasFile(host::kModelLibraryPath)) {
    return "the installation has no model-data library";
  }
  return {};
}

}  // namespace tq33cli
