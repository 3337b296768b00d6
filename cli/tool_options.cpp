// The shared options: declared once, applied in the order they were given.
#include "cli/tool_options.h"

#include <CLI/CLI.hpp>
#include <charconv>
#include <map>

#include "cli/tool.h"

namespace tq33cli {
namespace {

constexpr const char* kInstallation = "Installation";
constexpr const char* kSettings = "Settings record (applied in the order given)";
constexpr const char* kEnvironment = "Printer environment";
constexpr const char* kEngine = "Engine";

// A number of the base (0: decimal or 0x hexadecimal) up to limit; false otherwise.
bool ParseUnsigned(std::string_view text, int base, uint64_t limit, uint64_t* value) {
  if (base == 0) {
    base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
      base = 16;
      text.remove_prefix(2);
    }
  }
  uint64_t parsed = 0;
  auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), parsed, base);
  if (text.empty() || code != std::errc() || end != text.data() + text.size() || parsed > limit)
    return false;
  *value = parsed;
  return true;
}

// "NAME=VALUE" split at the first '='; a usage error names the option otherwise.
std::pair<std::string, std::string> SplitAssignment(const std::string& text, const char* option) {
  size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    UsageError(std::string(option) + " takes NAME=VALUE, not '" + text + "'");
  }
  return {text.substr(0, equals), text.substr(equals + 1)};
}

// The step that sets a settings field to a value.
SettingsStep SetStep(const char* fieldName, std::string value) {
  SettingsStep step;
  step.field = FindField(kSettingsLayout, fieldName);
  step.value = std::move(value);
  return step;
}

// Checks a --set value against its field now, so that a bad value is a usage error
// rather than a failure halfway through the job.
void CheckValue(const SettingsStep& step, const std::string& option) {
  std::vector<uint8_t> scratch(kSettingsLayout.size);
  std::string error;
  if (!WriteFieldValue(*step.field, scratch, step.field->offset, step.value, &error)) {
    UsageError(option + ": " + error);
  }
}

}  // namespace

void AddSharedOptions(CLI::App* command, ToolOptions* options, SharedOptionValues* values) {
  command
      ->add_option("--install", options->installDir,
                   "Printer installation to use (a Windows root laid out as DIR/C/TQ33/"
                   "drivers/..., or that driver directory); default: the built-in one")
      ->check(CLI::ExistingDirectory)
      ->group(kInstallation);
  command
      ->add_option("--model-data", options->modelDataFile,
                   "Replace the installation's driver data file")
      ->type_name("FILE")
      ->group(kInstallation);
  command
      ->add_option("--media-file", options->mediaFile,
                   "Replace the installation's media definition file")
      ->type_name("FILE")
      ->group(kInstallation);
  command
      ->add_option("--resource-language", values->resourceLanguage,
                   "The resource library's translation pair, hexadecimal (0409:04B0 "
                   "forbids 720 dpi)")
      ->type_name("LANG:CP")
      ->group(kInstallation);

  command
      ->add_option("--devmode", values->devmodes,
                   "Start from this raw settings record (any size) instead of the "
                   "driver's defaults")
      ->type_name("FILE")
      ->group(kSettings);
  command
      ->add_option("--set", values->sets,
                   "Set a named field (dm..., priv..., xb...; `tq33 info` lists them); "
                   "a public field also gets its dmFields bit")
      ->type_name("NAME=VALUE")
      ->group(kSettings);
  command->add_option("--orientation", values->orientation, "dmOrientation")
      ->check(CLI::IsMember({"portrait", "landscape"}))
      ->group(kSettings);
  command->add_option("--paper", values->paper, "dmPaperSize: a paper size code")
      ->type_name("CODE")
      ->group(kSettings);
  command->add_option("--length", values->length, "dmPaperLength, tenths of a millimetre")
      ->type_name("TENTHS_MM")
      ->group(kSettings);
  command->add_option("--width", values->width, "dmPaperWidth, tenths of a millimetre")
      ->type_name("TENTHS_MM")
      ->group(kSettings);
  command->add_option("--copies", values->copies, "dmCopies")->type_name("N")->group(kSettings);
  command->add_option("--dpi", values->dpi, "dmYResolution: feed resolution")
      ->check(CLI::IsMember({"360", "720"}))
      ->group(kSettings);
  command->add_option("--halftone", values->halftone, "privHalftone")
      ->check(CLI::IsMember({"threshold", "ordered", "diffusion"}))
      ->group(kSettings);
  command->add_option("--contrast", values->contrast, "privContrast, -128 to 127")
      ->type_name("N")
      ->group(kSettings);
  command->add_option("--brightness", values->brightness, "privBrightness, -128 to 127")
      ->type_name("N")
      ->group(kSettings);
  command->add_flag("--mirror")->description("privMirror = 1")->group(kSettings);
  command->add_flag("--no-auto-cut")->description("privAutoCut = 0")->group(kSettings);
  command->add_flag("--no-half-cut")->description("privHalfCut = 0")->group(kSettings);
  command->add_flag("--chain")->description("privChainPrint = 1")->group(kSettings);

  command
      ->add_option("--printer-data", values->printerData,
                   "A printer-data value: a DWORD NUMBER or the bytes of @FILE")
      ->type_name("NAME=NUMBER|NAME=@FILE")
      ->group(kEnvironment);
  command->add_flag("--plain")
      ->description("Plain printer commands: the same as --printer-data UseMonitor=0")
      ->group(kEnvironment);
  command
      ->add_option("--user-devmode", options->userDevmodeFile,
                   "The printer's per-user default settings record")
      ->type_name("FILE")
      ->group(kEnvironment);
  command
      ->add_option("--registry-options", options->registryOptionsFile,
                   "The registry's default options block (RegDefaultOptions)")
      ->type_name("FILE")
      ->group(kEnvironment);
  command->add_option("--country", values->country, "The user's country code (default 44)")
      ->check(CLI::TypeValidator<unsigned>("CODE"))
      ->group(kEnvironment);
  command
      ->add_option("--measure", values->measure,
                   "The user's measurement system: 0 metric (default), 1 inches")
      ->check(CLI::IsMember({"0", "1"}))
      ->group(kEnvironment);
  command->add_option("--codepage", values->codePage, "The engine's ANSI code page (default 1252)")
      ->check(CLI::Range(1, 65535))
      ->group(kEnvironment);

  command
      ->add_option("--max-bitmap", values->maxBitmap,
                   "The largest bitmap the engine grants, in bytes (forces banding)")
      ->check(CLI::Range(uint64_t{1}, uint64_t{1} << 40))
      ->group(kEngine);
}

void FinishSharedOptions(const CLI::App& command, const SharedOptionValues& values,
                         ToolOptions* options) {
  if (!values.resourceLanguage.empty()) {
    const std::string& text = values.resourceLanguage;
    size_t colon = text.find(':');
    uint64_t language = 0;
    uint64_t codePage = 0;
    if (colon == std::string::npos ||
        !ParseUnsigned(std::string_view(text).substr(0, colon), 16, 0xFFFF, &language) ||
        !ParseUnsigned(std::string_view(text).substr(colon + 1), 16, 0xFFFF, &codePage)) {
      UsageError("--resource-language takes LANG:CP in hexadecimal (e.g. 0809:04B0), not '" + text +
                 "'");
    }
    options->resourceLanguage = {static_cast<uint16_t>(language), static_cast<uint16_t>(codePage)};
  }
  if (command.count("--country")) options->country = values.country;
  if (command.count("--measure")) options->measure = values.measure;
  if (command.count("--codepage")) options->codePage = static_cast<uint16_t>(values.codePage);
  if (command.count("--max-bitmap")) options->maxBitmapBytes = values.maxBitmap;

  // Each option's values in the order it was given; parse_order lists the occurrences of
  // all options in command-line order.
  std::map<std::string, size_t> seen;
  auto next = [&](const std::vector<std::string>& list, const std::string& name) {
    return list.at(seen[name]++);
  };
  for (const CLI::Option* option : command.parse_order()) {
    const std::string name = option->get_name(false, true);
    if (name == "--devmode") {
      SettingsStep step;
      step.kind = SettingsStep::Kind::Devmode;
      step.file = next(values.devmodes, name);
      options->settingsSteps.push_back(step);
    } else if (name == "--set") {
      auto [field, value] = SplitAssignment(next(values.sets, name), "--set");
      SettingsStep step;
      step.field = FindField(kSettingsLayout, field);
      if (!step.field) {
        UsageError("--set: the settings record has no field '" + field +
                   "' (`tq33 info` lists the fields)");
      }
      step.value = value;
      CheckValue(step, "--set");
      options->settingsSteps.push_back(step);
    } else if (name == "--orientation") {
      std::string value = next(values.orientation, name);
      options->settingsSteps.push_back(SetStep("dmOrientation", value == "portrait" ? "1" : "2"));
    } else if (name == "--paper" || name == "--length" || name == "--width" || name == "--copies" ||
               name == "--dpi" || name == "--contrast" || name == "--brightness") {
      static const std::map<
          std::string, std::pair<const char*, const std::vector<std::string> SharedOptionValues::*>>
          kFriendly = {
              {"--paper", {"dmPaperSize", &SharedOptionValues::paper}},
              {"--length", {"dmPaperLength", &SharedOptionValues::length}},
              {"--width", {"dmPaperWidth", &SharedOptionValues::width}},
              {"--copies", {"dmCopies", &SharedOptionValues::copies}},
              {"--dpi", {"dmYResolution", &SharedOptionValues::dpi}},
              {"--contrast", {"privContrast", &SharedOptionValues::contrast}},
              {"--brightness", {"privBrightness", &SharedOptionValues::brightness}},
          };
      const auto& [fieldName, list] = kFriendly.at(name);
      SettingsStep step = SetStep(fieldName, next(values.*list, name));
      step.carriesMargin = name == "--dpi";
      CheckValue(step, name);
      options->settingsSteps.push_back(step);
    } else if (name == "--halftone") {
      std::string value = next(values.halftone, name);
      const char* mode = value == "threshold" ? "1" : value == "ordered" ? "2" : "3";
      options->settingsSteps.push_back(SetStep("privHalftone", mode));
    } else if (name == "--mirror") {
      options->settingsSteps.push_back(SetStep("privMirror", "1"));
    } else if (name == "--no-auto-cut") {
      options->settingsSteps.push_back(SetStep("privAutoCut", "0"));
    } else if (name == "--no-half-cut") {
      options->settingsSteps.push_back(SetStep("privHalfCut", "0"));
    } else if (name == "--chain") {
      options->settingsSteps.push_back(SetStep("privChainPrint", "1"));
    } else if (name == "--plain") {
      options->printerData.push_back({"UseMonitor", false, 0, {}});
    } else if (name == "--printer-data") {
      auto [valueName, value] = SplitAssignment(next(values.printerData, name), "--printer-data");
      PrinterDataStep step;
      step.name = valueName;
      if (!value.empty() && value[0] == '@') {
        step.binary = true;
        step.file = value.substr(1);
        if (step.file.empty()) UsageError("--printer-data " + valueName + "=@ names no file");
      } else {
        uint64_t number = 0;
        if (!ParseUnsigned(value, 0, 0xFFFFFFFFu, &number)) {
          UsageError("--printer-data " + valueName +
                     " takes a DWORD (0 to 4294967295, or 0x...) or @FILE, not '" + value + "'");
        }
        step.number = static_cast<uint32_t>(number);
      }
      options->printerData.push_back(step);
    }
  }
}

}  // namespace tq33cli
