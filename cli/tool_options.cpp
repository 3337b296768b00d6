// SPDX-License-Identifier: Apache-2.0
// The shared options: declared once, applied in the order they were given.
#include "cli/tool_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>

#include "cli/tool.h"
#include "cups/job_settings.h"

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

// The step that sets a settings field to a value, for the option given.
SettingsStep SetStep(const char* fieldName, std::string value, std::string option = {}) {
  SettingsStep step;
  step.field = FindField(kSettingsLayout, fieldName);
  step.value = std::move(value);
  step.option = std::move(option);
  return step;
}

// A decimal number with an optional sign; false for anything else.
bool ParseSigned(std::string_view text, int64_t* value) {
  auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return !text.empty() && code == std::errc() && end == text.data() + text.size();
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

// A validator that leaves the option's name in the help alone (CLI11 appends a
// validator's description to it: "TEXT:DIR").
CLI::Validator Quiet(CLI::Validator validator) {
  validator.description("");
  return validator;
}

}  // namespace

void AcceptChoices(CLI::Option* option, std::vector<std::string> choices) {
  std::string list;
  for (const std::string& choice : choices) list += (list.empty() ? "" : ", ") + choice;
  option->type_name("{" + list + "}");
  option->transform(CLI::Validator(
      [choices, list](std::string& value) -> std::string {
        std::string lower = value;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (const std::string& choice : choices) {
          if (lower == choice) {
            value = choice;
            return {};
          }
        }
        return "'" + value + "' is not one of " + list;
      },
      ""));
}

void AddSharedOptions(CLI::App* command, ToolOptions* options, SharedOptionValues* values,
                      unsigned groups, std::string refusal) {
  values->refusal = std::move(refusal);
  // Options of a group the command does not take stay out of its help and are refused
  // in words when given.
  auto in = [&](CLI::Option* option, unsigned group, const char* heading) {
    // A repeated option takes one value each time, so that names after it stay images.
    option->allow_extra_args(false);
    if (groups & group) {
      option->group(heading);
    } else {
      option->group("");
      values->refused.push_back(option);
    }
    return option;
  };
  in(command
         ->add_option("--install", options->installDir,
                      "Printer installation to use (a Windows root laid out as DIR/C/TQ33/"
                      "drivers/..., or that driver directory); default: the built-in one")
         ->check(Quiet(CLI::ExistingDirectory))
         ->type_name("DIR"),
     kInstallationOptions, kInstallation);
  in(command
         ->add_option("--model-data", options->modelDataFile,
                      "Replace the installation's driver data file")
         ->type_name("FILE"),
     kInstallationOptions, kInstallation);
  in(command
         ->add_option("--media-file", options->mediaFile,
                      "Replace the installation's media definition file")
         ->type_name("FILE"),
     kInstallationOptions, kInstallation);
  in(command
         ->add_option("--resource-language", values->resourceLanguage,
                      "The resource library's translation pair, hexadecimal (0409:04B0 "
                      "forbids 720 dpi)")
         ->type_name("LANG:CP"),
     kEnvironmentOptions, kInstallation);

  in(command
         ->add_option("--devmode", values->devmodes,
                      "Start from this raw settings record (any size) instead of the "
                      "driver's defaults")
         ->type_name("FILE"),
     kSettingsOptions, kSettings);
  in(command
         ->add_option("--set", values->sets,
                      "Set a named field (dm..., priv..., xb...; `tq33 info` lists them); "
                      "a public field also gets its dmFields bit")
         ->type_name("NAME=VALUE"),
     kSettingsOptions, kSettings);
  AcceptChoices(in(command->add_option("--orientation", values->orientation, "dmOrientation"),
                   kSettingsOptions, kSettings),
                {"portrait", "landscape"});
  in(command
         ->add_option("--paper", values->paper,
                      "The medium: its paper size code or its name, any case, or the start of "
                      "a name that only it has (`tq33 media` lists them); also sets the "
                      "media kind that selects it (dmPaperSize, privMediaKind)")
         ->type_name("CODE|NAME"),
     kSettingsOptions, kSettings);
  in(command->add_option("--length", values->length, "dmPaperLength, tenths of a millimetre")
         ->type_name("TENTHS_MM"),
     kSettingsOptions, kSettings);
  in(command->add_option("--width", values->width, "dmPaperWidth, tenths of a millimetre")
         ->type_name("TENTHS_MM"),
     kSettingsOptions, kSettings);
  in(command->add_option("--copies", values->copies, "dmCopies, 1 to 5000")->type_name("N"),
     kSettingsOptions, kSettings);
  AcceptChoices(in(command->add_option("--dpi", values->dpi,
                                       "dmYResolution: the resolution along the tape; also "
                                       "converts privMargin, so that the margin keeps its length"),
                   kSettingsOptions, kSettings),
                {"360", "720"});
  AcceptChoices(
      in(command->add_option("--halftone", values->halftone,
                             "privHalftone: threshold for barcodes and text, diffusion for "
                             "photos"),
         kSettingsOptions, kSettings),
      {"threshold", "ordered", "diffusion"});
  in(command->add_option("--contrast", values->contrast, "privContrast, -128 to 127")
         ->type_name("N"),
     kSettingsOptions, kSettings);
  in(command->add_option("--brightness", values->brightness, "privBrightness, -128 to 127")
         ->type_name("N"),
     kSettingsOptions, kSettings);
  in(command->add_flag("--mirror")->description("privMirror = 1"), kSettingsOptions, kSettings);
  in(command->add_flag("--no-auto-cut")->description("privAutoCut = 0"), kSettingsOptions,
     kSettings);
  in(command->add_flag("--no-half-cut")->description("privHalfCut = 0"), kSettingsOptions,
     kSettings);
  in(command->add_flag("--chain")->description("privChainPrint = 1"), kSettingsOptions, kSettings);
  in(command->add_flag("--strict", options->strict,
                       "Fail (status 1, nothing printed) when the driver changes a setting "
                       "the command line asked for, instead of a warning"),
     kSettingsOptions, kSettings);

  in(command
         ->add_option("--printer-data", values->printerData,
                      "A printer-data value: a DWORD NUMBER or the bytes of @FILE")
         ->type_name("NAME=NUMBER|NAME=@FILE"),
     kEnvironmentOptions, kEnvironment);
  in(command->add_flag("--plain")->description(
         "Plain printer commands, the form a printer reads directly (the default is framed: a "
         "job record in front of every page, for a receiving component); the same as "
         "--printer-data UseMonitor=0"),
     kEnvironmentOptions, kEnvironment);
  in(command
         ->add_option("--user-devmode", options->userDevmodeFile,
                      "The printer's per-user default settings record")
         ->type_name("FILE"),
     kEnvironmentOptions, kEnvironment);
  in(command
         ->add_option("--registry-options", options->registryOptionsFile,
                      "The registry's default options block (RegDefaultOptions)")
         ->type_name("FILE"),
     kEnvironmentOptions, kEnvironment);
  in(command->add_option("--country", values->country, "The user's country code (default 44)")
         ->check(Quiet(CLI::TypeValidator<unsigned>("CODE")))
         ->type_name("CODE"),
     kEnvironmentOptions, kEnvironment);
  AcceptChoices(in(command->add_option("--measure", values->measure,
                                       "The user's measurement system: 0 metric (default), 1 "
                                       "inches"),
                   kEnvironmentOptions, kEnvironment),
                {"0", "1"});
  in(command
         ->add_option("--codepage", values->codePage, "The engine's ANSI code page (default 1252)")
         ->check(Quiet(CLI::Range(1, 65535)))
         ->type_name("N"),
     kEnvironmentOptions, kEnvironment);

  in(command
         ->add_option("--max-bitmap", values->maxBitmap,
                      "The largest bitmap the engine grants the job's surface, in bytes "
                      "(forces banding)")
         ->check(Quiet(CLI::Range(uint64_t{1}, uint64_t{1} << 40)))
         ->type_name("BYTES"),
     kEngineOptions, kEngine);
  AcceptChoices(
      in(command->add_option(
             "--via-wine", values->viaWine,
             "Run the job through the shipped Windows driver of this width instead of the "
             "Linux build: TQ33KV.DLL as `make wine` built it, under Wine with the stand-in "
             "engine and spooler (32-bit Wine under qemu-i386 where the kernel runs no 32-bit "
             "code, or with TQ33_M32_EMULATE=1); see below"),
         kEngineOptions, kEngine),
      {"32", "64"});
}

void FinishSharedOptions(const CLI::App& command, const SharedOptionValues& values,
                         ToolOptions* options) {
  for (const CLI::Option* option : values.refused) {
    if (option->count() != 0) {
      // A hidden option has no name of its own for CLI11; its long name says which it is.
      UsageError(command.get_name() + " takes no --" + option->get_lnames().front() + ": " +
                 values.refusal);
    }
  }
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
  if (command.count("--via-wine")) options->viaWine = values.viaWine == "32" ? 32 : 64;

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
      step.option = "--set " + field + "=" + value;
      CheckValue(step, "--set");
      options->settingsSteps.push_back(step);
    } else if (name == "--orientation") {
      std::string value = next(values.orientation, name);
      options->settingsSteps.push_back(
          SetStep("dmOrientation", value == "portrait" ? "1" : "2", name + " " + value));
    } else if (name == "--paper") {
      SettingsStep step;
      step.kind = SettingsStep::Kind::Paper;
      step.value = next(values.paper, name);
      step.option = name + " " + step.value;
      if (step.value.empty()) UsageError("--paper takes a paper size code or a medium's name");
      options->settingsSteps.push_back(step);
    } else if (name == "--copies") {
      // As many copies as the driver can print: the CUPS queue asks the same way.
      const std::string value = next(values.copies, name);
      int64_t copies = 0;
      if (!ParseSigned(value, &copies)) {
        UsageError("--copies takes a number of copies, not '" + value + "'");
      }
      const int64_t granted = std::clamp<int64_t>(copies, 1, tq33cups::kMaxCopies);
      SettingsStep step = SetStep("dmCopies", std::to_string(granted));
      step.option = name + " " + value;
      step.asked = copies;
      options->settingsSteps.push_back(step);
    } else if (name == "--length" || name == "--width" || name == "--dpi" || name == "--contrast" ||
               name == "--brightness") {
      static const std::map<
          std::string, std::pair<const char*, const std::vector<std::string> SharedOptionValues::*>>
          kFriendly = {
              {"--length", {"dmPaperLength", &SharedOptionValues::length}},
              {"--width", {"dmPaperWidth", &SharedOptionValues::width}},
              {"--dpi", {"dmYResolution", &SharedOptionValues::dpi}},
              {"--contrast", {"privContrast", &SharedOptionValues::contrast}},
              {"--brightness", {"privBrightness", &SharedOptionValues::brightness}},
          };
      const auto& [fieldName, list] = kFriendly.at(name);
      SettingsStep step = SetStep(fieldName, next(values.*list, name));
      step.carriesMargin = name == "--dpi";
      step.option = name + " " + step.value;
      CheckValue(step, name);
      options->settingsSteps.push_back(step);
    } else if (name == "--halftone") {
      std::string value = next(values.halftone, name);
      const char* mode = value == "threshold" ? "1" : value == "ordered" ? "2" : "3";
      options->settingsSteps.push_back(SetStep("privHalftone", mode, name + " " + value));
    } else if (name == "--mirror") {
      options->settingsSteps.push_back(SetStep("privMirror", "1", name));
    } else if (name == "--no-auto-cut") {
      options->settingsSteps.push_back(SetStep("privAutoCut", "0", name));
    } else if (name == "--no-half-cut") {
      options->settingsSteps.push_back(SetStep("privHalfCut", "0", name));
    } else if (name == "--chain") {
      options->settingsSteps.push_back(SetStep("privChainPrint", "1", name));
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
