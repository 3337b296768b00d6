// SPDX-License-Identifier: Apache-2.0
// Reports as JSON or as indented text lines.
#include <string>

#include "cli/tool.h"

namespace tq33cli {
namespace {

// Neither an object nor an array.
bool IsScalar(const Json& value) { return !value.is_object() && !value.is_array(); }

// Text JSON writes as it is: printable ASCII other than quotes and backslashes.
bool PlainText(const std::string& text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') return false;
  }
  return true;
}

// Appends a scalar. Hexadecimal values ("0x1650F") stand bare; other text is quoted, so
// that empty names and trailing blanks stay visible. Integers, plain text, true, false and
// null are written here as JSON writes them; the rest (escapes, non-ASCII text, floating
// point) by the JSON writer itself.
void AppendScalar(const Json& value, std::string* out) {
  switch (value.type()) {
    case Json::value_t::string: {
      const std::string& text = value.get_ref<const std::string&>();
      if (text.size() > 2 && text.compare(0, 2, "0x") == 0 &&
          text.find_first_not_of("0123456789ABCDEF", 2) == std::string::npos) {
        *out += text;
        return;
      }
      if (PlainText(text)) {
        *out += '"';
        *out += text;
        *out += '"';
        return;
      }
      break;
    }
    case Json::value_t::number_integer:
      *out += std::to_string(value.get<int64_t>());
      return;
    case Json::value_t::number_unsigned:
      *out += std::to_string(value.get<uint64_t>());
      return;
    case Json::value_t::boolean:
      *out += value.get<bool>() ? "true" : "false";
      return;
    case Json::value_t::null:
      *out += "null";
      return;
    default:
      break;
  }
  *out += value.dump();
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
  size_t index = 0;
  for (auto it = value.begin(); it != value.end(); ++it, ++index) {
    out->append(static_cast<size_t>(indent), ' ');
    if (value.is_object()) {
      *out += it.key();
    } else {
      *out += '[';
      *out += std::to_string(index);
      *out += ']';
    }
    const Json& item = it.value();
    if (IsScalar(item)) {
      *out += ": ";
      AppendScalar(item, out);
      *out += '\n';
    } else if (item.is_array() && AllScalars(item)) {
      *out += ": [";
      bool first = true;
      for (const Json& element : item) {
        if (!first) *out += ", ";
        first = false;
        AppendScalar(element, out);
      }
      *out += "]\n";
    } else {
      *out += ":\n";
      Render(item, indent + 2, out);
    }
  }
}

}  // namespace

std::string ReportText(const Json& report) {
  std::string text;
  if (IsScalar(report)) {
    AppendScalar(report, &text);
    return text + "\n";
  }
  Render(report, 0, &text);
  return text;
}

void PrintReport(const Json& report, bool json, std::FILE* out) {
  std::string text = json ? report.dump(2) + "\n" : ReportText(report);
  std::fwrite(text.data(), 1, text.size(), out);
}

}  // namespace tq33cli
