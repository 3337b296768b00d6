// SPDX-License-Identifier: Apache-2.0
// Prints the documents of the comparison under Wine: for each, the bytes the spooler
// received go to OUTPUT_DIR/NAME.bin, and the driver's default settings record to
// OUTPUT_DIR/default-settings-record.bin.
//
// One source, two builds (wine/CMakeLists.txt). The Linux build is the reference: it lays
// out a printer installation of the host, with the driver library built beside it. The
// Windows build runs under Wine: it prints through the installation that scripts/wine.sh
// laid out in the Wine prefix, where the engine session loads the real TQ33KV.DLL by
// LoadLibraryW, and reaches the engine and the spooler through the stand-in GDI32.dll and
// WINSPOOL.DRV beside it. Both put the same default options into the registry and the same
// locale in place, then print the same documents through the engine session.
//
//   print_documents OUTPUT_DIR MODEL_DATA_FILE MEDIA_FILE [RECORD]   (Linux)
//   print_documents.exe OUTPUT_DIR [RECORD]                          (Windows, under Wine)
//
// The documents are printed from the driver's default settings record, or from RECORD, a
// settings record another build of the driver made (the 32-bit DLL's, printed by the
// 64-bit one).
//
// One line per document on standard output. Exit status 0 when every document printed,
// 1 when one failed or the printer could not be set up, 2 for a usage error.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "context/settings_record.h"
#include "device/printer_data.h"
#include "documents/label_documents.h"
#include "host/engine_session.h"
#include "host/printer_installation.h"
#include "wine/resource_translation.h"
#if defined(_WIN32)
#include "wine/stand_in.h"
#endif

namespace {

using tq33docs::Bytes;
using tq33docs::Document;
using tq33docs::LabelSettings;

// The installation's default options, stored in the registry under the model's name:
// a contrast, a brightness and no half cut, which every document shows.
constexpr char16_t kOptionsKey[] = u"SOFTWARE\\Tolvane\\Quenza\\Driver\\3.0\\TQ-33";
constexpr char16_t kOptionsValue[] = u"RegDefaultOptions";
// The user's locale: the United Kingdom, metric.
constexpr char16_t kCountry[] = u"44";
constexpr char16_t kMeasure[] = u"0";
// The first user-defined label of the media definition file (data/sample-media.dat).
constexpr SHORT kFirstDefinedLabel = 317;
// Engine bitmaps of at most this many bytes: the banded document's pages come in bands.
constexpr uint64_t kBandBytes = 24 * 1024;

enum Halftone : BYTE { kThreshold = 1, kOrdered = 2, kDiffusion = 3 };

// A document and the largest bitmap the engine grants while it prints (0: no limit).
struct Comparison {
  Document document;
  uint64_t maxBitmapBytes = 0;
};

Document Single(std::string name, const LabelSettings& settings, int pages, int seed) {
  return {std::move(name), {{settings, pages}}, seed};
}

// Every tone mode in both orientations at both feed resolutions, then the media and the
// ways of printing that take their own paths through the driver.
std::vector<Comparison> Comparisons() {
  std::vector<Comparison> list;
  int seed = 0;
  for (auto [halftone, mode] : {std::pair{kThreshold, "threshold"}, {kOrdered, "ordered"},
                                {kDiffusion, "diffusion"}}) {
    for (bool landscape : {false, true}) {
      for (bool highResolution : {false, true}) {
        LabelSettings settings;
        settings.halftone = halftone;
        settings.landscape = landscape;
        settings.highResolution = highResolution;
        std::string name = std::string(mode) + (landscape ? "-landscape" : "-portrait") +
                           (highResolution ? "-720" : "-360");
        list.push_back({Single(name, settings, 1, seed++)});
      }
    }
  }

  LabelSettings across;
  across.paperSize = 280;  // 12 mm tape, two labels across the head
  list.push_back({Single("labels-across", across, 2, seed++)});
  LabelSettings dieCut;
  dieCut.paperSize = 362;  // die-cut label 18 x 30 mm
  dieCut.halftone = kDiffusion;
  list.push_back({Single("die-cut-label", dieCut, 1, seed++)});
  LabelSettings defined;
  defined.paperSize = kFirstDefinedLabel;
  list.push_back({Single("user-defined-label", defined, 1, seed++)});

  LabelSettings banded;
  banded.halftone = kDiffusion;
  banded.paperLength = 600;
  list.push_back({Single("banded", banded, 2, seed++), kBandBytes});
  LabelSettings copies;
  copies.copies = 3;
  list.push_back({Single("copies", copies, 1, seed++)});
  LabelSettings framed;
  framed.framed = true;
  list.push_back({Single("framed", framed, 2, seed++)});

  // Pages held back, then printed behind one on other settings: whole pages, then only
  // their raster lines.
  for (bool lines : {false, true}) {
    LabelSettings held;
    held.retain = true;
    held.retainLines = lines;
    LabelSettings behind;
    behind.halftone = kThreshold;
    list.push_back({{lines ? "retained-lines" : "retained-pages", {{held, 2}, {behind, 1}}, seed}});
    seed += 3;
  }

  // Several pages with the settings changed twice in the middle of the document.
  LabelSettings first;
  LabelSettings second;
  second.halftone = kThreshold;
  second.landscape = true;
  second.highResolution = true;
  second.framed = true;
  LabelSettings third;
  third.halftone = kDiffusion;
  third.highResolution = true;
  third.smallChar = true;
  third.copies = 2;
  list.push_back({{"reset-in-the-middle", {{first, 2}, {second, 1}, {third, 2}}, seed}});
  return list;
}

Bytes DefaultOptionsBlock() {
  DefaultOptions options = {};
  options.optSize = DEFAULT_OPTIONS_SIZE;
  options.optMask = DOM_CONTRAST | DOM_BRIGHTNESS | DOM_HALF_CUT;
  options.optContrast = 24;
  options.optBrightness = static_cast<BYTE>(-12);
  options.optHalfCut = 0;
  Bytes block(sizeof(options));
  std::memcpy(block.data(), &options, sizeof(options));
  return block;
}

bool SaveFile(const std::string& path, const Bytes& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

// A settings record from a file: empty unless it is one of SETTINGS_RECORD_SIZE bytes.
Bytes LoadRecord(const std::string& path) {
  Bytes bytes(SETTINGS_RECORD_SIZE + 1);
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return {};
  const size_t read = std::fread(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  if (read != SETTINGS_RECORD_SIZE) return {};
  bytes.resize(read);
  return bytes;
}

// A page of the driver's defaults, printed without an application record.
host::DdiStatus PrintWithDefaults(HANDLE printer, int seed) {
  host::DdiStatus status;
  auto session = host::EngineSession::Open(host::kDriverPath, printer, {}, &status);
  if (!session) return status;
  return session->PrintDocument({tq33docs::TestPage(session->pageSize(), seed)});
}

// The printer the documents go to, set up for the side the program runs on: false, with
// the reason, when that fails; false without one for the wrong arguments.
class Printer {
 public:
  bool SetUp(int argc, char** argv, std::string* error);
  HANDLE handle() const;

 private:
#if defined(_WIN32)
  HANDLE handle_ = nullptr;
#else
  std::unique_ptr<host::PrinterInstallation> installation_;
#endif
};

#if defined(_WIN32)

bool SetString(HKEY key, const wchar_t* name, const char16_t* value) {
  const DWORD bytes = static_cast<DWORD>((std::char_traits<char16_t>::length(value) + 1) * 2);
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), bytes) ==
         ERROR_SUCCESS;
}

std::u16string LocaleValue(LCTYPE type) {
  WCHAR value[16] = {};
  const int chars = GetLocaleInfoW(LOCALE_USER_DEFAULT, type, value, 16);
  return chars > 0 ? std::u16string(reinterpret_cast<const char16_t*>(value)) : u"";
}

HANDLE Printer::handle() const { return handle_; }

// On the installation that scripts/wine.sh laid out in the Wine prefix: refused when the
// stand-ins are not the libraries loaded, or Wine's registry or locale do not take what
// is set.
bool Printer::SetUp(int argc, char** argv, std::string* error) {
  if (argc != 2 && argc != 3) return false;
  (void)argv;
  if (!IsStandIn(L"GDI32.dll", "engine") || !IsStandIn(L"WINSPOOL.DRV", "spooler")) {
    *error = kNoStandIns;
    return false;
  }
  host::SetDriverDirectory(host::kDriverDirectory);
  host::PrinterSetup setup;
  setup.driverPath = host::kDriverPath;
  setup.dataFile = host::kDataFilePath;
  setup.configFile = host::kConfigFilePath;
  handle_ = host::AddPrinter(setup);

  // A 32-bit program's HKEY_LOCAL_MACHINE\SOFTWARE is the 32-bit view, where the driver
  // looks too.
  HKEY key = nullptr;
  const Bytes block = DefaultOptionsBlock();
  bool stored = RegCreateKeyExW(HKEY_LOCAL_MACHINE, host::Wide(kOptionsKey), 0, nullptr, 0,
                                KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS;
  if (stored) {
    stored = RegSetValueExW(key, host::Wide(kOptionsValue), 0, REG_BINARY, block.data(),
                            static_cast<DWORD>(block.size())) == ERROR_SUCCESS;
    RegCloseKey(key);
  }
  // The user's overrides of the locale, which Wine's GetLocaleInfoW answers with.
  if (stored && RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\International", 0, nullptr,
                                0, KEY_SET_VALUE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
    stored = SetString(key, L"iCountry", kCountry) && SetString(key, L"iMeasure", kMeasure);
    RegCloseKey(key);
  }
  if (!stored) {
    *error = "cannot write the default options and the locale into Wine's registry";
    return false;
  }
  if (LocaleValue(LOCALE_ICOUNTRY) != kCountry || LocaleValue(LOCALE_IMEASURE) != kMeasure) {
    *error = "Wine's locale does not answer with the country and measure set in its registry";
    return false;
  }
  return true;
}

#else

HANDLE Printer::handle() const { return installation_->printer(); }

// On an installation of the host laid out from the given files.
bool Printer::SetUp(int argc, char** argv, std::string* error) {
  if (argc != 4 && argc != 5) return false;
  host::InstallationFiles files;
  files.modelData = host::ReadWholeFile(argv[2]);
  files.mediaDefinitions = host::ReadWholeFile(argv[3]);
  files.resourceTranslation = {{TQ33_RESOURCE_LANGUAGE, TQ33_RESOURCE_CODE_PAGE}};
  if (!files.modelData || !files.mediaDefinitions) {
    *error = std::string("cannot read ") + (files.modelData ? argv[3] : argv[2]);
    return false;
  }
  installation_ = host::PrinterInstallation::Create(files, error);
  if (!installation_) return false;
  host::SetRegistryValue(kOptionsKey, kOptionsValue, REG_BINARY, DefaultOptionsBlock());
  host::SetLocale(kCountry, kMeasure);
  return true;
}

#endif

}  // namespace

int main(int argc, char** argv) {
  Printer printer;
  std::string error;
  if (!printer.SetUp(argc, argv, &error)) {
    if (error.empty()) {
      std::cerr << "usage: print_documents OUTPUT_DIR"
#if !defined(_WIN32)
                << " MODEL_DATA_FILE MEDIA_FILE"
#endif
                << " [RECORD]\n";
      return 2;
    }
    std::cerr << "print_documents: " << error << "\n";
    return 1;
  }
  const std::string output = std::string(argv[1]) + "/";
  int failed = 0;
  // One line per document: its size, or why it has none.
  auto report = [&](const std::string& name, const host::DdiStatus& status, const Bytes& bytes) {
    const std::string path = output + name + ".bin";
    if (!status) {
      std::cout << name << ": " << status.Describe() << "\n";
    } else if (!SaveFile(path, bytes)) {
      std::cout << name << ": cannot write " << path << "\n";
    } else {
      std::cout << name << ": " << bytes.size() << " bytes\n";
      return;
    }
    ++failed;
  };

  const HANDLE handle = printer.handle();
  const Bytes base = tq33docs::DefaultSettingsRecord(host::kDriverPath, handle);
  if (base.empty()) {
    std::cerr << "print_documents: the driver makes no context of its default settings\n";
    return 1;
  }
  report("default-settings-record", {}, base);
#if defined(_WIN32)
  const int recordArgument = 2;
#else
  const int recordArgument = 4;
#endif
  const Bytes given = argc > recordArgument ? LoadRecord(argv[recordArgument]) : base;
  if (given.empty()) {
    std::cerr << "print_documents: " << argv[recordArgument] << " is no settings record of "
              << SETTINGS_RECORD_SIZE << " bytes\n";
    return 1;
  }

  host::ClearSpooled(handle);
  const host::DdiStatus defaults = PrintWithDefaults(handle, 0);
  report("driver-defaults", defaults, host::SpooledBytes(handle));
  host::ClearSpooled(handle);

  for (const Comparison& comparison : Comparisons()) {
    host::SetMaxBitmapBytes(comparison.maxBitmapBytes);
    const tq33docs::DocumentRun run =
        tq33docs::RunDocument(host::kDriverPath, handle, given, comparison.document);
    host::SetMaxBitmapBytes(0);
    report(comparison.document.name,
           run.failed ? run.steps[run.failedStep].status : host::DdiStatus{}, run.spooled);
  }
  return failed == 0 ? 0 : 1;
}
