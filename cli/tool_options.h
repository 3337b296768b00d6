// SPDX-License-Identifier: Apache-2.0
// The options that print, info and media share: the installation, the application's
// settings record, the printer's environment and the engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/record_fields.h"

namespace CLI {
class App;
class Option;
}

namespace tq33cli {

// One change to the application's settings record, in command-line order.
struct SettingsStep {
  enum class Kind { Devmode, Set, Paper };
  Kind kind = Kind::Set;
  std::string file;              // Devmode: the raw record's file
  const Field* field = nullptr;  // Set: the field and its value
  std::string value;             // Paper: the medium's code or name as given
  std::string option;            // the option as given, for messages ("--copies 0")
  std::optional<int64_t> asked;  // the number asked, where the tool writes another value
                                 // (copies beyond the driver's range)
  bool implied = false;          // written because another step asked for something else
                                 // (the media kind that --paper selects)
  bool carriesMargin = false;    // a feed resolution that converts privMargin with it (--dpi)
};

// One printer-data value, in command-line order.
struct PrinterDataStep {
  std::string name;
  bool binary = false;
  uint32_t number = 0;  // a DWORD value
  std::string file;     // a binary value's file
};

struct ToolOptions {
  // Installation: the embedded default unless installDir names one.
  std::string installDir;
  std::string modelDataFile;
  std::string mediaFile;
  std::optional<std::pair<uint16_t, uint16_t>> resourceLanguage;

  // The application's settings record.
  std::vector<SettingsStep> settingsSteps;

  // The printer's environment.
  std::vector<PrinterDataStep> printerData;
  std::string userDevmodeFile;
  std::string registryOptionsFile;
  std::optional<std::string> country;
  std::optional<std::string> measure;
  std::optional<uint16_t> codePage;

  // The engine.
  std::optional<uint64_t> maxBitmapBytes;
  // The Windows driver of this width (32, 64) under Wine runs the job instead of the
  // Linux build (cli/via_wine.h).
  std::optional<int> viaWine;

  // A setting the driver changed fails the command instead of a warning.
  bool strict = false;
};

// The groups of shared options; a command takes some and refuses the others in words.
enum SharedGroups : unsigned {
  kInstallationOptions = 1,  // --install, --model-data, --media-file
  kSettingsOptions = 2,      // the settings record, and --strict
  kEnvironmentOptions = 4,   // the printer's environment and --resource-language
  kEngineOptions = 8,        // --max-bitmap, --via-wine
  kAllSharedOptions = 15,
};

// Raw values CLI11 fills while parsing; turned into ToolOptions by FinishSharedOptions.
struct SharedOptionValues {
  std::vector<std::string> sets;
  std::vector<std::string> devmodes;
  std::vector<std::string> printerData;
  std::vector<std::string> orientation, paper, length, width, copies, dpi, halftone;
  std::vector<std::string> contrast, brightness;
  std::string resourceLanguage;
  std::string country, measure;
  uint32_t codePage = 0;
  uint64_t maxBitmap = 0;
  std::string viaWine;
  // The options of groups the command does not take: hidden from its help and refused.
  std::vector<const CLI::Option*> refused;
  std::string refusal;  // why the command takes none of them
};

// Adds the shared options of groups to a command; those of other groups are refused with
// the reason refusal (for "tq33 media takes no --paper: REFUSAL").
void AddSharedOptions(CLI::App* command, ToolOptions* options, SharedOptionValues* values,
                      unsigned groups = kAllSharedOptions, std::string refusal = {});

// Limits an option to a fixed list of lower-case choices, taken whatever their case
// ("Threshold" as the PPD spells it) and handed on in lower case.
void AcceptChoices(CLI::Option* option, std::vector<std::string> choices);

// After parsing: turns the options given into ToolOptions, in the order they were given.
// Throws a usage error for a malformed value.
void FinishSharedOptions(const CLI::App& command, const SharedOptionValues& values,
                         ToolOptions* options);

}  // namespace tq33cli
