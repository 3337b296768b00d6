// SPDX-License-Identifier: Apache-2.0
// The driver data file parser: reads the text line by line, fills one model record per
// "[model N]" section and one media list entry per "[medium]" section, and checks every
// value and every rule between records before anything is handed out.
#include "modeldata/model_data_file.h"

#include <cstring>
#include <new>


namespace {

// Dots per inch across the head: the resolution of every dot count of a medium.
constexpr LONGLONG kHeadResolution = 360;
// A size given both in tenths of a millimetre and in dots may differ by this many dots:
// each was rounded on its own, and a multiple's sizes are sums of rounded sizes.
constexpr LONGLONG kDotTolerance = 2;
// Codes up to 256 are the system's own paper sizes and the custom size; the codes of the
// user-defined labels follow USER_FORM_BASE; 0xFFFF marks the table's terminator.
constexpr LONGLONG kFirstMediumCode = 257;
constexpr LONGLONG kLastMediumCode = 0xFFFE;
constexpr LONGLONG kLastDefinitionCode = USER_FORM_BASE + MEDIA_DEFINITION_SLOTS - 1;
// Numbers longer than this are out of every field's range anyway.
constexpr size_t kMaxNumberDigits = 12;

// One field a section may carry. For a text field min and max bound its length in UTF-16
// units; for a number they bound its value.
struct FieldRule {
  const char* key;
  bool text;
  LONGLONG min;
  LONGLONG max;
  bool required;
};

enum ModelField { MF_TYPE, MF_NAME, MF_PAPER_SIZE, MF_LENGTH, MF_LENGTH_DOTS,
                  MF_PRINT_QUALITY, MF_Y_RESOLUTION, MF_COUNT };

const FieldRule kModelFields[MF_COUNT] = {
    {"type", false, 0, 9, true},
    {"name", true, 1, 31, true},  // 32 units with room for the terminator
    {"paper-size", false, kFirstMediumCode, kLastMediumCode, true},
    {"length", false, 1, 32767, true},
    {"length-dots", false, 1, 32767, true},
    {"print-quality", false, 360, 720, true},
    {"y-resolution", false, 360, 720, true},
};

enum MediumField { EF_NAME, EF_PAPER_SIZE, EF_KIND, EF_WIDTH, EF_PRINT_WIDTH, EF_WIDTH_DOTS,
                   EF_PRINT_WIDTH_DOTS, EF_LENGTH, EF_PRINT_LENGTH, EF_LENGTH_DOTS,
                   EF_PRINT_LENGTH_DOTS, EF_MULTIPLE, EF_SPECIAL, EF_COUNT };

const FieldRule kMediumFields[EF_COUNT] = {
    {"name", true, 1, 63, true},  // 64 units with room for the terminator
    {"paper-size", false, kFirstMediumCode, kLastMediumCode, true},
    {"kind", false, 0, 32767, true},
    {"width", false, 1, 32767, true},
    {"print-width", false, 1, 32767, true},
    {"width-dots", false, 1, 32767, true},
    {"print-width-dots", false, 1, kModelDataHeadDots, true},
    {"length", false, 1, 32767, false},
    {"print-length", false, 1, 32767, false},
    {"length-dots", false, 1, 32767, false},
    {"print-length-dots", false, 1, 32767, false},
    {"multiple", false, 0, 3, false},
    {"special", false, 0, 1, false},
};

constexpr int kMaxFields = static_cast<int>(EF_COUNT) > static_cast<int>(MF_COUNT)
                               ? static_cast<int>(EF_COUNT)
                               : static_cast<int>(MF_COUNT);

// The fields of the section being read, with the line each was given on.
struct Section {
  DWORD line = 0;
  bool present[kMaxFields] = {};
  DWORD fieldLine[kMaxFields] = {};
  LONGLONG number[kMaxFields] = {};
  std::u16string text[kMaxFields];
};

// Where the fields of one medium were given, for the checks between records.
struct MediumLines {
  DWORD header;
  DWORD name;
  DWORD paperSize;
  DWORD multiple;  // the header's line when the field was left out
};

enum class SectionType { None, Model, Medium };

bool IsSpace(BYTE c) { return c == ' ' || c == '\t'; }
bool IsLower(BYTE c) { return c >= 'a' && c <= 'z'; }
bool IsDigit(BYTE c) { return c >= '0' && c <= '9'; }

// The value of a hexadecimal digit, or -1.
int HexValue(BYTE c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes one UTF-8 sequence at text[*at] (before end) into a code point and moves past
// it. FALSE for a truncated, overlong or otherwise invalid sequence and for surrogates.
bool DecodeUtf8(const BYTE* text, size_t end, size_t* at, char32_t* point) {
  size_t i = *at;
  BYTE lead = text[i];
  size_t extra = 0;
  char32_t value = 0;
  char32_t least = 0;
  if (lead < 0x80) {
    *point = lead;
    *at = i + 1;
    return true;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, value = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, value = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, value = lead & 0x07, least = 0x10000;
  } else {
    return false;
  }
  if (end - i <= extra) return false;
  for (size_t k = 1; k <= extra; ++k) {
    BYTE c = text[i + k];
    if ((c & 0xC0) != 0x80) return false;
    value = (value << 6) | (c & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *point = value;
  *at = i + 1 + extra;
  return true;
}

// Hex form of a byte for messages: "0x1b".
std::string HexByte(BYTE c) {
  const char digits[] = "0123456789abcdef";
  std::string s = "0x";
  s += digits[c >> 4];
  s += digits[c & 0xF];
  return s;
}

// A UTF-16 name as UTF-8, for messages.
std::string Utf8Name(const std::u16string& name) {
  std::string out;
  for (size_t i = 0; i < name.size(); ++i) {
    char32_t c = name[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < name.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Whether a size in tenths of a millimetre and one in dots at resolution describe the
// same length, to within the tolerance.
bool SizesAgree(LONGLONG tenths, LONGLONG dots, LONGLONG resolution) {
  LONGLONG difference = dots * 254 - tenths * resolution;
  if (difference < 0) difference = -difference;
  return difference <= kDotTolerance * 254;
}

// Kind codes of die-cut labels, which have a fixed length.
bool IsDieCutKind(LONGLONG kind) { return kind == 5 || kind == 8 || kind == 11; }

// Reads one file into a ModelDataFile. Every step returns false once it has recorded the
// first fault, and the parse ends there.
class Parser {
 public:
  Parser(ModelDataFile* file, ModelDataError* error) : file_(file), error_(error) {}

  bool Run(const BYTE* bytes, size_t size);

 private:
  bool Fail(DWORD line, std::string text);
  bool ReadLine(const BYTE* text, size_t length);
  bool ReadHeader(const BYTE* text, size_t at, size_t length);
  bool ReadField(const BYTE* text, size_t at, size_t length);
  bool ReadNumber(const BYTE* text, size_t* at, size_t length, const char* key,
                  LONGLONG* value);
  bool ReadText(const BYTE* text, size_t* at, size_t length, std::u16string* value);
  bool CheckLineEnd(const BYTE* text, size_t at, size_t length);
  bool CheckText(const BYTE* text, size_t length);
  bool CloseSection();
  bool CloseModelSection();
  bool CloseMediumSection();
  bool CloseModel();
  bool CheckSizes(const Section& s, int tenthsField, int dotsField, const char* what);

  ModelDataFile* file_;
  ModelDataError* error_;
  DWORD line_ = 0;
  SectionType type_ = SectionType::None;
  Section section_;
  ModelDataModel* model_ = nullptr;  // the model the media sections belong to
  DWORD modelPaperSizeLine_ = 0;
  std::vector<MediumLines> mediumLines_;
};

// Records the fault; always false.
bool Parser::Fail(DWORD line, std::string text) {
  if (error_) {
    error_->line = line;
    error_->text = std::move(text);
  }
  return false;
}

// The whole file, line by line, then the checks of the last section and model.
bool Parser::Run(const BYTE* bytes, size_t size) {
  if (!bytes && size != 0) return Fail(0, "no data");
  if (size > kModelDataFileMaxBytes)
    return Fail(0, "file of " + std::to_string(size) + " bytes exceeds the limit of " +
                       std::to_string(kModelDataFileMaxBytes) + " bytes");
  size_t at = 0;
  // A byte-order mark is what some editors put in front of UTF-8 text.
  if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) at = 3;
  while (at < size) {
    ++line_;
    size_t end = at;
    while (end < size && bytes[end] != '\n') ++end;
    size_t length = end - at;
    // Windows editors end lines with CR LF; the CR belongs to the line end.
    if (length > 0 && bytes[end - 1] == '\r') --length;
    if (length > kModelDataLineMaxBytes)
      return Fail(line_, "line longer than " + std::to_string(kModelDataLineMaxBytes) +
                             " bytes");
    if (!CheckText(bytes + at, length) || !ReadLine(bytes + at, length)) return false;
    at = end + 1;
  }
  if (!CloseSection() || (model_ && !CloseModel())) return false;
  if (file_->models.empty()) return Fail(0, "file holds no [model N] section");
  return true;
}

// Every byte of a line must be text: UTF-8 without control characters but the tab.
bool Parser::CheckText(const BYTE* text, size_t length) {
  size_t at = 0;
  while (at < length) {
    BYTE c = text[at];
    // Printable ASCII, nearly all of a file, needs no decoding.
    if (c >= 0x20 && c < 0x7F) {
      ++at;
      continue;
    }
    if (c == '\r') return Fail(line_, "carriage return inside a line");
    if ((c < 0x20 && c != '\t') || c == 0x7F)
      return Fail(line_, "byte " + HexByte(c) + " is not text");
    char32_t point = 0;
    if (!DecodeUtf8(text, length, &at, &point))
      return Fail(line_, "byte " + HexByte(c) + " is not UTF-8 text");
    if (point >= 0x80 && point < 0xA0)
      return Fail(line_, "control character in the text");
    if (point == 0xFEFF) return Fail(line_, "byte-order mark inside the text");
  }
  return true;
}

// One line: blank, comment, section header or field.
bool Parser::ReadLine(const BYTE* text, size_t length) {
  size_t at = 0;
  while (at < length && IsSpace(text[at])) ++at;
  if (at == length || text[at] == '#') return true;
  if (text[at] == '[') return ReadHeader(text, at, length);
  if (IsLower(text[at])) return ReadField(text, at, length);
  return Fail(line_, "expected a section header such as [medium] or a field such as "
                     "'name = value'");
}

// Nothing but blanks and a comment may follow what a line says.
bool Parser::CheckLineEnd(const BYTE* text, size_t at, size_t length) {
  while (at < length && IsSpace(text[at])) ++at;
  if (at < length && text[at] != '#') return Fail(line_, "unexpected text after the value");
  return true;
}

// "[model N]" or "[medium]".
bool Parser::ReadHeader(const BYTE* text, size_t at, size_t length) {
  ++at;
  size_t wordStart = at;
  while (at < length && IsLower(text[at])) ++at;
  std::string word(reinterpret_cast<const char*>(text + wordStart), at - wordStart);
  LONGLONG selector = 0;
  if (word.empty()) return Fail(line_, "malformed section header");
  if (word == "model") {
    if (at == length || !IsSpace(text[at]))
      return Fail(line_, "a model section needs its number: [model 1]");
    while (at < length && IsSpace(text[at])) ++at;
    size_t digits = 0;
    while (at < length && IsDigit(text[at])) {
      if (++digits > kMaxNumberDigits) return Fail(line_, "model number too large");
      selector = selector * 10 + (text[at] - '0');
      ++at;
    }
    if (digits == 0) return Fail(line_, "a model section needs its number: [model 1]");
    if (selector < 1 || selector > kModelDataMaxSelector)
      return Fail(line_, "model number " + std::to_string(selector) +
                             " is outside 1 to " + std::to_string(kModelDataMaxSelector));
  } else if (word != "medium") {
    return Fail(line_, "unknown section '" + word + "'; sections are [model N] and [medium]");
  }
  while (at < length && IsSpace(text[at])) ++at;
  if (at == length || text[at] != ']') return Fail(line_, "malformed section header");
  if (!CheckLineEnd(text, at + 1, length) || !CloseSection()) return false;

  section_ = Section{};
  section_.line = line_;
  if (word == "medium") {
    if (!model_) return Fail(line_, "a medium before the first [model N] section");
    if (model_->media.size() >= kModelDataMaxMedia)
      return Fail(line_, "more than " + std::to_string(kModelDataMaxMedia) +
                             " media in model " + std::to_string(model_->selector));
    type_ = SectionType::Medium;
    return true;
  }
  if (model_ && !CloseModel()) return false;
  for (const ModelDataModel& other : file_->models) {
    if (other.selector == static_cast<DWORD>(selector))
      return Fail(line_, "model " + std::to_string(selector) + " already declared on line " +
                             std::to_string(other.line));
  }
  if (file_->models.size() >= kModelDataMaxModels)
    return Fail(line_, "more than " + std::to_string(kModelDataMaxModels) + " models");
  file_->models.emplace_back();
  model_ = &file_->models.back();
  model_->selector = static_cast<DWORD>(selector);
  model_->line = line_;
  mediumLines_.clear();
  type_ = SectionType::Model;
  return true;
}

// "key = value" inside a section.
bool Parser::ReadField(const BYTE* text, size_t at, size_t length) {
  size_t keyStart = at;
  while (at < length && (IsLower(text[at]) || IsDigit(text[at]) || text[at] == '-')) ++at;
  std::string key(reinterpret_cast<const char*>(text + keyStart), at - keyStart);
  while (at < length && IsSpace(text[at])) ++at;
  if (at == length || text[at] != '=') return Fail(line_, "expected '=' after '" + key + "'");
  ++at;
  while (at < length && IsSpace(text[at])) ++at;

  const FieldRule* rules = nullptr;
  int count = 0;
  if (type_ == SectionType::Model) {
    rules = kModelFields;
    count = MF_COUNT;
  } else if (type_ == SectionType::Medium) {
    rules = kMediumFields;
    count = EF_COUNT;
  } else {
    return Fail(line_, "field '" + key + "' outside a section");
  }
  int field = 0;
  while (field < count && key != rules[field].key) ++field;
  if (field == count) return Fail(line_, "unknown field '" + key + "'");
  const FieldRule& rule = rules[field];
  if (section_.present[field])
    return Fail(line_, "field '" + key + "' given twice (first on line " +
                           std::to_string(section_.fieldLine[field]) + ")");

  if (rule.text) {
    if (at == length || text[at] != '"')
      return Fail(line_, "field '" + key + "' needs a quoted text");
    std::u16string value;
    if (!ReadText(text, &at, length, &value)) return false;
    if (static_cast<LONGLONG>(value.size()) < rule.min)
      return Fail(line_, "field '" + key + "' is empty");
    if (static_cast<LONGLONG>(value.size()) > rule.max)
      return Fail(line_, "field '" + key + "' is longer than " + std::to_string(rule.max) +
                             " characters");
    section_.text[field] = std::move(value);
  } else {
    LONGLONG value = 0;
    if (!ReadNumber(text, &at, length, rule.key, &value)) return false;
    if (value < rule.min || value > rule.max)
      return Fail(line_, "field '" + key + "' is " + std::to_string(value) +
                             ", outside " + std::to_string(rule.min) + " to " +
                             std::to_string(rule.max));
    section_.number[field] = value;
  }
  if (!CheckLineEnd(text, at, length)) return false;
  section_.present[field] = true;
  section_.fieldLine[field] = line_;
  return true;
}

// A decimal number, or a hexadecimal one after "0x", with an optional minus sign.
bool Parser::ReadNumber(const BYTE* text, size_t* at, size_t length, const char* key,
                        LONGLONG* value) {
  size_t i = *at;
  bool negative = false;
  if (i < length && text[i] == '-') {
    negative = true;
    ++i;
  }
  int base = 10;
  if (i + 1 < length && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  LONGLONG result = 0;
  size_t digits = 0;
  while (i < length && !IsSpace(text[i]) && text[i] != '#') {
    int digit = HexValue(text[i]);
    if (digit < 0 || digit >= base) {
      digits = 0;
      break;
    }
    if (++digits > kMaxNumberDigits) return Fail(line_, "field '" + std::string(key) +
                                                            "' holds a number too large");
    result = result * base + digit;
    ++i;
  }
  if (digits == 0) return Fail(line_, "field '" + std::string(key) + "' needs a number");
  *value = negative ? -result : result;
  *at = i;
  return true;
}

// A quoted text; \" and \\ stand for a quote and a backslash. The text has been checked
// to be UTF-8 already, and is decoded again here so that no byte is trusted twice.
bool Parser::ReadText(const BYTE* text, size_t* at, size_t length, std::u16string* value) {
  size_t i = *at + 1;
  while (true) {
    if (i >= length) return Fail(line_, "text without its closing quote");
    BYTE c = text[i];
    if (c == '"') break;
    if (c == '\t') return Fail(line_, "tab inside a text");
    if (c == '\\') {
      if (i + 1 >= length || (text[i + 1] != '"' && text[i + 1] != '\\'))
        return Fail(line_, "unknown escape in a text; only \\\" and \\\\ are allowed");
      value->push_back(text[i + 1]);
      i += 2;
      continue;
    }
    char32_t point = 0;
    if (!DecodeUtf8(text, length, &i, &point)) return Fail(line_, "text is not UTF-8");
    if (point < 0x20 || (point >= 0x7F && point < 0xA0))
      return Fail(line_, "control character in a text");
    if (point >= 0x10000) {
      point -= 0x10000;
      value->push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
      value->push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
    } else {
      value->push_back(static_cast<char16_t>(point));
    }
  }
  *at = i + 1;
  return true;
}

// Checks the section just ended and stores what it describes.
bool Parser::CloseSection() {
  SectionType type = type_;
  type_ = SectionType::None;
  if (type == SectionType::Model) return CloseModelSection();
  if (type == SectionType::Medium) return CloseMediumSection();
  return true;
}

// A size in tenths and the same size in dots across the head must agree.
bool Parser::CheckSizes(const Section& s, int tenthsField, int dotsField, const char* what) {
  LONGLONG tenths = s.number[tenthsField];
  LONGLONG dots = s.number[dotsField];
  if (SizesAgree(tenths, dots, kHeadResolution)) return true;
  return Fail(s.fieldLine[dotsField],
              std::string(what) + " of " + std::to_string(tenths) + " tenths of a millimetre is " +
                  std::to_string(tenths * kHeadResolution / 254) + " dots, not " +
                  std::to_string(dots));
}

// The model's own fields: all present, resolutions the driver knows, length consistent.
bool Parser::CloseModelSection() {
  const Section& s = section_;
  for (int f = 0; f < MF_COUNT; ++f) {
    if (!s.present[f])
      return Fail(s.line, "model " + std::to_string(model_->selector) + " lacks field '" +
                              kModelFields[f].key + "'");
  }
  for (int f : {MF_PRINT_QUALITY, MF_Y_RESOLUTION}) {
    if (s.number[f] != 360 && s.number[f] != 720)
      return Fail(s.fieldLine[f], std::string("field '") + kModelFields[f].key +
                                      "' must be 360 or 720");
  }
  LONGLONG resolution = s.number[MF_Y_RESOLUTION];
  if (!SizesAgree(s.number[MF_LENGTH], s.number[MF_LENGTH_DOTS], resolution))
    return Fail(s.fieldLine[MF_LENGTH_DOTS],
                "default length of " + std::to_string(s.number[MF_LENGTH]) +
                    " tenths of a millimetre is " +
                    std::to_string(s.number[MF_LENGTH] * resolution / 254) + " dots at " +
                    std::to_string(resolution) + " dots per inch, not " +
                    std::to_string(s.number[MF_LENGTH_DOTS]));

  ModelRecord& r = model_->record;
  r.moType = static_cast<BYTE>('0' + s.number[MF_TYPE]);
  const std::u16string& name = s.text[MF_NAME];
  for (size_t i = 0; i < name.size(); ++i) r.moName[i] = name[i];
  r.moDefaultPaperSize = static_cast<WORD>(s.number[MF_PAPER_SIZE]);
  r.moDefaultLength = static_cast<SHORT>(s.number[MF_LENGTH]);
  r.moDefaultLengthDots = static_cast<SHORT>(s.number[MF_LENGTH_DOTS]);
  r.moDefaultPrintQuality = static_cast<WORD>(s.number[MF_PRINT_QUALITY]);
  r.moDefaultYResolution = static_cast<WORD>(resolution);
  modelPaperSizeLine_ = s.fieldLine[MF_PAPER_SIZE];
  return true;
}

// One medium: its fields, their agreement, its kind's rules, and uniqueness in the model.
bool Parser::CloseMediumSection() {
  const Section& s = section_;
  // How a message names the medium; made only for a message.
  const auto label = [&s] {
    return s.present[EF_NAME] ? "medium '" + Utf8Name(s.text[EF_NAME]) + "'"
                              : std::string("medium");
  };
  for (int f = 0; f < EF_COUNT; ++f) {
    if (kMediumFields[f].required && !s.present[f])
      return Fail(s.line, label() + " lacks field '" + kMediumFields[f].key + "'");
  }
  int lengths = 0;
  for (int f = EF_LENGTH; f <= EF_PRINT_LENGTH_DOTS; ++f) lengths += s.present[f] ? 1 : 0;
  if (lengths != 0 && lengths != 4) {
    for (int f = EF_LENGTH; f <= EF_PRINT_LENGTH_DOTS; ++f) {
      if (!s.present[f])
        return Fail(s.line, label() + " lacks field '" + kMediumFields[f].key +
                                "': a label needs length, print-length, length-dots and "
                                "print-length-dots");
    }
  }
  const bool hasLength = lengths == 4;

  LONGLONG code = s.number[EF_PAPER_SIZE];
  if (code >= USER_FORM_BASE && code <= kLastDefinitionCode)
    return Fail(s.fieldLine[EF_PAPER_SIZE],
                "paper size " + std::to_string(code) + " is one of the codes " +
                    std::to_string(USER_FORM_BASE) + " to " +
                    std::to_string(kLastDefinitionCode) + " of the user-defined labels");
  if (s.number[EF_PRINT_WIDTH] > s.number[EF_WIDTH])
    return Fail(s.fieldLine[EF_PRINT_WIDTH], "print-width exceeds width");
  if (s.number[EF_PRINT_WIDTH_DOTS] > s.number[EF_WIDTH_DOTS])
    return Fail(s.fieldLine[EF_PRINT_WIDTH_DOTS], "print-width-dots exceeds width-dots");
  if (!CheckSizes(s, EF_WIDTH, EF_WIDTH_DOTS, "width") ||
      !CheckSizes(s, EF_PRINT_WIDTH, EF_PRINT_WIDTH_DOTS, "print width"))
    return false;
  if (hasLength) {
    if (s.number[EF_PRINT_LENGTH] > s.number[EF_LENGTH])
      return Fail(s.fieldLine[EF_PRINT_LENGTH], "print-length exceeds length");
    if (s.number[EF_PRINT_LENGTH_DOTS] > s.number[EF_LENGTH_DOTS])
      return Fail(s.fieldLine[EF_PRINT_LENGTH_DOTS], "print-length-dots exceeds length-dots");
    if (!CheckSizes(s, EF_LENGTH, EF_LENGTH_DOTS, "length") ||
        !CheckSizes(s, EF_PRINT_LENGTH, EF_PRINT_LENGTH_DOTS, "print length"))
      return false;
  }

  // Die-cut labels have a fixed length; on models of type 1 and 2 every medium may have
  // one, on the others the driver would treat a length on any other kind inconsistently.
  LONGLONG kind = s.number[EF_KIND];
  BYTE modelType = model_->record.moType;
  if (IsDieCutKind(kind) && !hasLength)
    return Fail(s.fieldLine[EF_KIND], label() + " of kind " + std::to_string(kind) +
                                          " is a die-cut label and needs its lengths");
  if (hasLength && !IsDieCutKind(kind) && modelType != '1' && modelType != '2')
    return Fail(s.fieldLine[EF_LENGTH], "only die-cut labels (kind 5, 8 or 11) have a "
                                        "length on a model of type " +
                                            std::string(1, static_cast<char>(modelType)));
  if (s.present[EF_SPECIAL] && s.number[EF_SPECIAL] == 1 && kind != MEDIA_KIND_SPECIAL)
    return Fail(s.fieldLine[EF_SPECIAL], "only media of kind 16 can be special");

  const std::u16string& name = s.text[EF_NAME];
  for (size_t i = 0; i < model_->media.size(); ++i) {
    const MediaListEntry& other = model_->media[i];
    if (other.mePaperSize == code)
      return Fail(s.fieldLine[EF_PAPER_SIZE],
                  "paper size " + std::to_string(code) + " already used on line " +
                      std::to_string(mediumLines_[i].paperSize));
    size_t n = 0;
    while (n < 64 && other.meName[n] != 0) ++n;
    if (n == name.size() && std::memcmp(other.meName, name.data(), n * sizeof(WCHAR)) == 0)
      return Fail(s.fieldLine[EF_NAME], "name '" + Utf8Name(name) + "' already used on line " +
                                            std::to_string(mediumLines_[i].name));
  }

  MediaListEntry entry{};
  for (size_t i = 0; i < name.size(); ++i) entry.meName[i] = name[i];
  entry.meKindCode = static_cast<SHORT>(kind);
  entry.mePaperSize = static_cast<WORD>(code);
  entry.meWidth = static_cast<SHORT>(s.number[EF_WIDTH]);
  entry.mePrintWidth = static_cast<SHORT>(s.number[EF_PRINT_WIDTH]);
  entry.meWidthDots = static_cast<SHORT>(s.number[EF_WIDTH_DOTS]);
  entry.mePrintWidthDots = static_cast<SHORT>(s.number[EF_PRINT_WIDTH_DOTS]);
  entry.meLength = static_cast<SHORT>(s.number[EF_LENGTH]);
  entry.mePrintLength = static_cast<SHORT>(s.number[EF_PRINT_LENGTH]);
  entry.meLengthDots = static_cast<SHORT>(s.number[EF_LENGTH_DOTS]);
  entry.mePrintLengthDots = static_cast<SHORT>(s.number[EF_PRINT_LENGTH_DOTS]);
  entry.meWidthMultiple = static_cast<BYTE>(s.number[EF_MULTIPLE]);
  entry.meOptions = static_cast<DWORD>(s.number[EF_SPECIAL]);
  model_->media.push_back(entry);
  DWORD multipleLine = s.present[EF_MULTIPLE] ? s.fieldLine[EF_MULTIPLE] : s.line;
  mediumLines_.push_back({s.line, s.fieldLine[EF_NAME], s.fieldLine[EF_PAPER_SIZE],
                          multipleLine});
  return true;
}

// The rules between the records of one model, checked once its last medium is read.
bool Parser::CloseModel() {
  ModelDataModel& m = *model_;
  model_ = nullptr;
  if (m.media.empty())
    return Fail(m.line, "model " + std::to_string(m.selector) + " has no [medium] section");
  // A record of width multiple k prints k + 1 labels of its base side by side; the driver
  // finds the base 4 x k records before it and takes its tape width from there.
  for (size_t i = 0; i < m.media.size(); ++i) {
    const MediaListEntry& e = m.media[i];
    LONGLONG k = e.meWidthMultiple;
    if (k == 0) continue;
    DWORD line = mediumLines_[i].multiple;
    // How a message names the medium and its base; made only for a message.
    const auto label = [&] {
      return "multiple " + std::to_string(k) + " of paper size " + std::to_string(e.mePaperSize);
    };
    if (static_cast<LONGLONG>(i) < 4 * k)
      return Fail(line, label() + " needs its base " + std::to_string(4 * k) +
                            " media before it, but it is medium " + std::to_string(i + 1));
    const MediaListEntry& base = m.media[i - 4 * k];
    const auto baseLabel = [&] {
      return "its base " + std::to_string(4 * k) + " places before it (line " +
             std::to_string(mediumLines_[i - 4 * k].header) + ")";
    };
    if (base.meWidthMultiple != 0)
      return Fail(line, label() + ": " + baseLabel() + " is not a single-width medium");
    if (base.mePaperSize + kWidthMultipleCodeOffset[k] != e.mePaperSize)
      return Fail(line, label() + " must have paper size " +
                            std::to_string(base.mePaperSize + kWidthMultipleCodeOffset[k]) + ": " +
                            baseLabel() + " has " + std::to_string(base.mePaperSize));
    if (base.meKindCode != e.meKindCode)
      return Fail(line, label() + ": " + baseLabel() + " is of another kind");
    if (static_cast<LONGLONG>(base.mePrintWidthDots) * (k + 1) != e.mePrintWidthDots)
      return Fail(line, label() + " needs " + std::to_string(k + 1) + " x " +
                            std::to_string(base.mePrintWidthDots) + " print-width-dots, " +
                            "those of " + baseLabel());
  }
  for (const MediaListEntry& e : m.media) {
    if (e.mePaperSize == m.record.moDefaultPaperSize) return true;
  }
  return Fail(modelPaperSizeLine_, "default paper size " +
                                       std::to_string(m.record.moDefaultPaperSize) +
                                       " is not among the model's media");
}

}  // namespace

std::string ModelDataError::Describe() const {
  if (line == 0) return text;
  return "line " + std::to_string(line) + ": " + text;
}

BOOL ParseModelDataFile(const BYTE* bytes, size_t size, ModelDataFile* file,
                        ModelDataError* error) {
  if (!file) return FALSE;
  file->models.clear();
  if (error) *error = ModelDataError{};
  bool parsed = false;
  try {
    Parser parser(file, error);
    parsed = parser.Run(bytes, size);
  } catch (const std::bad_alloc&) {
    // The only exception the standard containers throw here; a file within the limits
    // needs little memory, so this means the process is short of it.
    if (error) *error = ModelDataError{0, "out of memory", true};  // short: no allocation
  }
  if (!parsed) file->models.clear();
  return parsed ? TRUE : FALSE;
}

const ModelDataModel* FindModelData(const ModelDataFile* file, DWORD selector) {
  if (!file) return nullptr;
  for (const ModelDataModel& model : file->models) {
    if (model.selector == selector) return &model;
  }
  return nullptr;
}
