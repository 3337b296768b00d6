// SPDX-License-Identifier: Apache-2.0
// Reading the queue's PPD defaults and the job's options.
#include "cups/job_options.h"

#include <cups/cups.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <fstream>
#include <utility>

#include "cups/ppd_generator.h"

namespace tq33cups {
namespace {

// The text without white space at either end.
std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

// A PPD string value without its quotes.
std::string_view Unquoted(std::string_view text) {
  text = Trim(text);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
  return text;
}

// The text with its ASCII letters in lower case.
std::string Lower(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

// TRUE when both texts are equal but for the case of ASCII letters.
bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// A PPD Boolean, or the words people type for one; FALSE for anything else.
bool ParseBoolean(std::string_view value, bool* out) {
  for (const char* yes : {"true", "yes", "on", "1"}) {
    if (SameText(value, yes)) {
      *out = true;
      return true;
    }
  }
  for (const char* no : {"false", "no", "off", "0"}) {
    if (SameText(value, no)) {
      *out = false;
      return true;
    }
  }
  return false;
}

// One of a PickOne option's choices, by its keyword; FALSE for none of them.
template <typename Value, size_t N>
bool ParseChoice(std::string_view value, const std::pair<const char*, Value> (&choices)[N],
                 Value* out) {
  for (const auto& [keyword, choice] : choices) {
    if (SameText(value, keyword)) {
      *out = choice;
      return true;
    }
  }
  return false;
}

constexpr std::pair<const char*, BYTE> kHalftones[] = {
    {"Threshold", kToneThreshold}, {"Ordered", kToneOrdered}, {"Diffusion", kToneErrorDiffusion}};
constexpr std::pair<const char*, bool> kOutputForms[] = {{"Plain", false}, {"Framed", true}};

// A signed adjustment: "17", "Custom.17" or "{Value=17}", from -128 to 127.
bool ParseTone(std::string_view value, signed char* out) {
  if (value.size() > 7 && SameText(value.substr(0, 7), "custom.")) value.remove_prefix(7);
  if (value.size() > 7 && value.front() == '{' && value.back() == '}' &&
      SameText(value.substr(1, 6), "value=")) {
    value = Trim(value.substr(7, value.size() - 8));
  }
  if (!value.empty() && value.front() == '+') value.remove_prefix(1);
  int number = 0;
  auto [end, code] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (code != std::errc() || end != value.data() + value.size() || value.empty()) return false;
  if (number < -128 || number > 127) return false;
  *out = static_cast<signed char>(number);
  return true;
}

// Applies one option; FALSE when it is an option of ours whose value is not a choice.
bool ApplyOption(std::string_view name, std::string_view value, JobOptions* options) {
  value = Trim(value);
  if (name == kHalftoneOption) return ParseChoice(value, kHalftones, &options->halftone);
  if (name == kContrastOption) return ParseTone(value, &options->contrast);
  if (name == kBrightnessOption) return ParseTone(value, &options->brightness);
  if (name == kAutoCutOption) return ParseBoolean(value, &options->autoCut);
  if (name == kHalfCutOption) return ParseBoolean(value, &options->halfCut);
  if (name == kMirrorOption) return ParseBoolean(value, &options->mirror);
  if (name == kChainPrintOption) return ParseBoolean(value, &options->chainPrint);
  if (name == kOutputFormOption) return ParseChoice(value, kOutputForms, &options->framed);
  // lp -o collate=true, the PPD's option, or the IPP attribute they stand for.
  if (SameText(name, kCollateOption)) return ParseBoolean(value, &options->collate);
  if (name == "multiple-document-handling") {
    options->collate = value != "separate-documents-uncollated-copies";
    return true;
  }
  // The PPD's option, or the IPP attribute as lp sends it.
  if (name == kMediaTypeOption || name == "media-type") {
    options->mediaType = Lower(value);
    return !value.empty();
  }
  return true;  // not an option of ours
}

// What the job holds, as IPP print-content-optimize says: text and graphics print with
// threshold halftoning, photos with error diffusion; auto leaves the halftone alone.
bool ApplyContentOptimize(std::string_view value, JobOptions* options) {
  constexpr std::pair<const char*, BYTE> kContents[] = {{"text", kToneThreshold},
                                                        {"graphics", kToneThreshold},
                                                        {"text-and-graphics", kToneThreshold},
                                                        {"photo", kToneErrorDiffusion}};
  return SameText(Trim(value), "auto") || ParseChoice(Trim(value), kContents, &options->halftone);
}

// Options that name the page's size: PPD options, IPP attributes, lp's.
bool NamesSize(std::string_view name) {
  return name == "PageSize" || name == "PageRegion" || name == "media" || name == "media-col" ||
         name == "media-size" || name == "media-size-name";
}

// Applies one option, with a warning when its value is not one of its choices.
void Apply(std::string_view name, std::string_view value, const char* origin,
           JobOptions* options, std::vector<std::string>* warnings) {
  if (!ApplyOption(name, value, options) && warnings) {
    warnings->push_back("Ignoring " + std::string(origin) + " " + std::string(name) + "=" +
                        std::string(value) + ": not a choice of the option");
  }
}

}  // namespace

// Reads the *Default lines and the installation attributes; other lines are skipped.
PpdSettings ParsePpdSettings(std::string_view text) {
  PpdSettings settings;
  if (text.size() > kMaxPpdBytes) text = text.substr(0, kMaxPpdBytes);
  const std::string modelData = std::string("*") + kModelDataAttribute + ":";
  const std::string mediaFile = std::string("*") + kMediaFileAttribute + ":";
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.rfind("*Default", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon == std::string_view::npos || colon <= 8) continue;
      settings.defaults[std::string(line.substr(8, colon - 8))] =
          std::string(Trim(line.substr(colon + 1)));
    } else if (line.rfind(modelData, 0) == 0) {
      settings.modelDataFile = std::string(Unquoted(line.substr(modelData.size())));
    } else if (line.rfind(mediaFile, 0) == 0) {
      settings.mediaFile = std::string(Unquoted(line.substr(mediaFile.size())));
    }
  }
  return settings;
}

// Reads the PPD whole within its size limit. FALSE with the reason when it cannot.
bool ReadPpdSettings(const std::string& path, PpdSettings* settings, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (error) *error = "cannot open the PPD " + path;
    return false;
  }
  std::string text(kMaxPpdBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) {
    if (error) *error = "cannot read the PPD " + path;
    return false;
  }
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxPpdBytes) {
    if (error) *error = "the PPD " + path + " is larger than " + std::to_string(kMaxPpdBytes) + " bytes";
    return false;
  }
  *settings = ParsePpdSettings(text);
  return true;
}

// The driver's defaults changed by the PPD's, then by the job's. Cannot fail.
JobOptions ResolveJobOptions(const JobOptions& driverDefaults, const PpdSettings& ppd,
                             const std::string& jobOptions, std::vector<std::string>* warnings,
                             const std::vector<std::string>* types) {
  JobOptions options = driverDefaults;
  for (const auto& [name, value] : ppd.defaults) Apply(name, value, "the PPD's default", &options, warnings);

  cups_option_t* parsed = nullptr;
  const int count = cupsParseOptions(jobOptions.c_str(), 0, &parsed);
  // What the job holds first: the job's own halftone option wins over it.
  for (int i = 0; i < count; ++i) {
    if (!parsed[i].name || !parsed[i].value || std::string_view(parsed[i].name) != "print-content-optimize")
      continue;
    if (!ApplyContentOptimize(parsed[i].value, &options) && warnings) {
      warnings->push_back(std::string("Ignoring the job's option print-content-optimize=") +
                          parsed[i].value + ": not a choice of the option");
    }
  }
  bool sizeGiven = false;
  bool typeGiven = false;
  for (int i = 0; i < count; ++i) {
    if (!parsed[i].name || !parsed[i].value) continue;
    const std::string_view name = parsed[i].name;
    std::string_view value = parsed[i].value;
    typeGiven = typeGiven || name == kMediaTypeOption || name == "media-type";
    // lp's media=SIZE,TYPE or media=TYPE: each part that is a media type names the type,
    // any other a size.
    bool namesSize = NamesSize(name);
    if (name == "media" && types) {
      namesSize = false;
      for (size_t start = 0; start <= value.size();) {
        const size_t end = std::min(value.find(',', start), value.size());
        const std::string part = Lower(Trim(value.substr(start, end - start)));
        if (std::find(types->begin(), types->end(), part) != types->end()) {
          options.mediaType = part;
          typeGiven = true;
        } else if (!part.empty()) {
          namesSize = true;
        }
        start = end + 1;
      }
    }
    sizeGiven = sizeGiven || namesSize;
    if (name == "print-content-optimize") continue;
    Apply(name, value, "the job's option", &options, warnings);
  }
  cupsFreeOptions(count, parsed);
  // A job that names a size but no type prints on that size's own medium; one that names
  // neither on the queue's default medium, its default size and type.
  if (sizeGiven && !typeGiven) options.mediaType.clear();
  return options;
}

}  // namespace tq33cups
