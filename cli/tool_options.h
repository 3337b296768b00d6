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
}

namespace tq33cli {

// One change to the application's settings record, in command-line order.
struct SettingsStep {
  enum class Kind { Devmode, Set };
  Kind kind = Kind::Set;
  std::string file;              // Devmode: the raw record's file
  const Field* field = nullptr;  // Set: the field and its value
  std::string value;
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
};

// Adds the shared options to a command.
void AddSharedOptions(CLI::App* command, ToolOptions* options, SharedOptionValues* values);

// After parsing: turns the options given into ToolOptions, in the order they were given.
// Throws a usage error for a malformed value.
void FinishSharedOptions(const CLI::App& command, const SharedOptionValues& values,
                         ToolOptions* options);

}  // namespace tq33cli
