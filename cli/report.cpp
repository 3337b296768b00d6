// SPDX-License-Identifier: Apache-2.0
// Reports as JSON or as indented text lines.
#include <string>

#include "cli/tool.h"

namespace tq33cli {
namespace {

// Neither an object nor an array.
bool IsScalar(const Json& value) { return !value.is_object() && !value.is_array(); }

// Hexadecimal values ("0x1650F") stand bare; other text is quoted, so that empty names
// and trailing blanks stay visible.
std::string Scalar(const Json& value) {
  if (value.is_string()) {
    const std::string& text = value.get_ref<const std::string&>();
    if (text.size() > 2 && text.compare(0, 2, "0x") == 0 &&
        text.find_first_not_of("0123456789ABCDEF", 2) == std::string::npos) {
      return text;
    }
  }
  return value.dump();
}

// An array of scalars prints on one line.
bool AllScalars(const Json& array) {
  for (const Json& item : array) {
    if (!IsScalar(item)) return false;
  }
  return true;
}

// Appends an object or array as "name: value" lines, nested ones indented.
void Render(const Json& value, int indent, std::string* out) {
  const std::string pad(static_cast<size_t>(indent), ' ');
  for (auto it = value.begin(); it != value.end(); ++it) {
    std::string key = value.is_object() ? it.key() : "[" + std::to_string(it - value.begin()) + "]";
    const Json& item = it.value();
    if (IsScalar(item)) {
      *out += pad + key + ": " + Scalar(item) + "\n";
    } else if (item.is_array() && AllScalars(item)) {
      std::string line;
      for (const Json& element : item) line += (line.empty() ? "" : ", ") + Scalar(element);
      *out += pad + key + ": [" + line + "]\n";
    } else {
      *out += pad + key + ":\n";
      Render(item, indent + 2, out);
    }
  }
}

}  // namespace

std::string ReportText(const Json& report) {
  std::string text;
  if (IsScalar(report)) return Scalar(report) + "\n";
  Render(report, 0, &text);
  return text;
}

void PrintReport(const Json& report, bool json, std::FILE* out) {
  std::string text = json ? report.dump(2) + "\n" : ReportText(report);
  std::fwrite(text.data(), 1, text.size(), out);
}

}  // namespace tq33cli
