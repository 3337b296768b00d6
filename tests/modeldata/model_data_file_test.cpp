// SPDX-License-Identifier: Apache-2.0
// The driver data file: what a good file turns into, and where a bad one is refused.
#include "modeldata/model_data_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

namespace {

// From a copy of exactly the text's size: a read past its end is the address sanitizer's.
BOOL Parse(const std::string& text, ModelDataFile* file, ModelDataError* error = nullptr) {
  const std::vector<BYTE> bytes(text.begin(), text.end());
  return ParseModelDataFile(bytes.data(), bytes.size(), file, error);
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// The model header is line 1, the [medium] header line 10, "width = 240" line 14. The name has
// UTF-8 at each sequence length's edges and the surrogates', the length hex digits at theirs.
const std::string kName = "\U00010000~\u00A0\u07FF\u0800\uD7FF\uE000\uFFFF\U0005F600\U0010FFFF";
const std::string kSmall =
    "[model 1]\ntype = 0\nname = \"TQ-33\"\npaper-size = 262\nlength = 0xaF\n"
    "length-dots = 0XfA\nprint-quality = 360\ny-resolution = 360\n\n"
    "[medium]\nname = \"" + kName + "\"\npaper-size = 262\nkind = 0\nwidth = 240\n"
    "print-width = 181\nwidth-dots = 340\nprint-width-dots = 256\n";

// A continuous tape whose sizes agree, with an optional width multiple.
std::string Tape(int code, int tenths, int dots, int multiple = 0) {
  return "[medium]\nname = \"T" + std::to_string(code) + "\"\npaper-size = " +
         std::to_string(code) + "\nkind = 0\nwidth = " + std::to_string(tenths) +
         "\nprint-width = " + std::to_string(tenths) + "\nwidth-dots = " +
         std::to_string(dots) + "\nprint-width-dots = " + std::to_string(dots) +
         "\nmultiple = " + std::to_string(multiple) + "\n";
}

// (The shipped files are parsed by every engine test and the tool's media report; the media
// they hold are pinned by the catalog's tests and each printed through the queue.)
TEST(ModelDataFileTest, ModelsAreFoundByNumberAndEntriesHoldTheirFieldsAndZeroElsewhere) {
  // Windows line ends, a byte-order mark, comments, escapes, hexadecimal, non-ASCII, 12 digits.
  std::string text =
      "\xEF\xBB\xBF# comment\n" +
      Replace(Replace(Replace(kSmall, kName + "\"", R"(\"Bänd\\ \"24mm"# x)"), "kind = 0",
                      "kind = 0x10# special\nspecial = 1"),
              "360\ny-resolution = 360", "720\n \ty-resolution = 360\t# across\n") +
      Replace(Replace(kSmall, "[model 1]", "[model 000000000255 ]"), "= 0", "= 000000000009");
  for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; at += 2) text.replace(at, 1, "\r\n");
  ModelDataFile file;
  ModelDataError error;
  // Into a file and an error used before: both are cleared first.
  ASSERT_TRUE(!Parse("x", &file, &error) && Parse(kSmall, &file) && Parse(text, &file, &error) && error.text.empty());
  const ModelRecord& one = FindModelData(&file, 1)->record;
  EXPECT_EQ(std::tuple(FindModelData(&file, 255)->record.moType, FindModelData(&file, 2), one.moDefaultLengthDots,
                       +one.moDefaultPrintQuality, +one.moDefaultYResolution, std::u16string(one.moName)),
            std::tuple('9', nullptr, 250, 720, 360, u"TQ-33"));
  MediaListEntry entry{};
  std::memcpy(entry.meName, u"\"Bänd\\ \"24mm", 24);
  entry.meKindCode = 16, entry.mePaperSize = 262, entry.meOptions = 1;
  entry.meWidth = 240, entry.mePrintWidth = 181, entry.meWidthDots = 340, entry.mePrintWidthDots = 256;
  ASSERT_EQ(FindModelData(&file, 1)->media.size(), 1u);
  EXPECT_EQ(std::memcmp(&FindModelData(&file, 1)->media[0], &entry, sizeof(entry)), 0);
}

TEST(ModelDataFileTest, AMalformedOrOverlargeFileIsRefusedWithItsFirstFaultyLine) {
  const std::string label = "\nlength = 400\nprint-length = 350\nlength-dots = 567\n" "print-length-dots = 496\n";
  const struct { std::string text; DWORD line; std::string says; } cases[] = {
      {Replace(kSmall, "width = 240", "w1dth = 240"), 14, "line 14: unknown field 'w1dth'"},
      {Replace(kSmall, "width = 240\n", ""), 10, "medium '" + kName + "' lacks field 'width'"},
      {Replace(kSmall, "kind = 0", "kind = 0\nkind = 1"), 14, "given twice (first on line 13)"},
      {Replace(kSmall, "width = 240", "width = 40000"), 14, "outside 1 to 32767"},
      {Replace(kSmall, "width = 240", "width = 240;"), 14, "needs a number"},  // no comment
      {Replace(kSmall, kName + "\"", kName + "\\\""), 11, "closing quote"},  // the quote escaped
      {Replace(kSmall, kName + "\"", kName + "\\q\""), 11, "unknown escape"},
      {Replace(kSmall, "name = \"" + kName + "\"\n", ""), 10, "medium lacks field 'name'"},
      {Replace(kSmall, "width-dots = 340", "width-dots = 300"), 16, "340 dots, not 300"},
      {Replace(kSmall, "print-width = 181", "print-width = 250"), 15, "exceeds width"},
      {Replace(kSmall, "dots = 256", "dots = 341"), 17, "print-width-dots exceeds width-dots"},
      {Replace(kSmall, "kind = 0", "kind = 5" + Replace(label, "350", "401")), 15, "print-length exceeds length"},
      {Replace(kSmall, "kind = 0", "kind = 5" + Replace(label, "496", "568")), 17, "-dots exceeds length-dots"},
      {Replace(kSmall, "kind = 0", "kind = 0\nspecial = 1"), 14, "only media of kind 16 can be special"},
      {kSmall + Replace(Tape(263, 240, 340), "T263", kName), 19, "' already used on line 11"},
      {Replace(kSmall, "kind = 0", "kind = 8"), 13, "needs its lengths"},
      {kSmall + "length = 400\nprint-length = 350\nlength-dots = 567\n", 10, "lacks field 'print-length-dots'"},
      {Replace(kSmall, "kind = 0", "kind = 0" + label), 14, "have a length on a model of type 0|"},
      {Replace(kSmall, "paper-size = 262\nkind", "paper-size = 339\nkind"), 12, "user-defined"},
      {kSmall + Tape(340, 240, 340) + Replace(Tape(340, 240, 340), "\"T340\"", "\"B\""), 29,
       "340 already used on line 20"},
      {kSmall + Tape(282, 240, 340, 1), 26, "needs its base 4 media before it, but it is medium 2"},
      {kSmall + Tape(257, 35, 50) + Tape(258, 60, 85) + Tape(259, 90, 128) +
           Tape(260, 120, 170) + Tape(278, 70, 100, 1), 62,
       "must have paper size 277: its base 4 places before it (line 18) has 257"},
      {kSmall + Tape(263, 240, 340) + Tape(264, 240, 340) + Tape(265, 240, 340) +
           Tape(282, 240, 340, 1), 53, "needs 2 x 256 print-width-dots"},
      {kSmall + Tape(263, 240, 340) + Tape(264, 240, 340) + Tape(265, 240, 340) +
           Replace(Tape(282, 240, 340, 1), "kind = 0", "kind = 2"), 53, "of another kind"},
      {kSmall + Tape(257, 35, 50) + Tape(258, 60, 85) + Tape(259, 90, 128) + Tape(260, 120, 170) +
           Tape(277, 71, 100, 1) + Tape(263, 240, 340) + Tape(264, 240, 340) + Tape(265, 240, 340) +
           Tape(297, 141, 199, 1), 98, "its base 4 places before it (line 54) is not a single-width medium"},
      {Replace(kSmall, "0xaF\nlength-dots = 0XfA", "115\nlength-dots = 165"), 6,
       "length of 115 tenths of a millimetre is 162 dots at 360 dots per inch, not 165"},
      {Replace(kSmall, "quality = 360", "quality = 500"), 7, "field 'print-quality' must be 360 or 720"},
      {Replace(kSmall, "type = 0\n", ""), 1, "model 1 lacks field 'type'"},
      {Replace(kSmall, "262\nlength", "263\nlength"), 4, "263 is not among"},
      {Replace(kSmall, "[medium]", "[media]"), 10, "unknown section 'media'"},
      {kSmall + kSmall, 18, "model 1 already declared"},
      {[] { std::string t; for (int m = 1; m <= 17; ++m) t += Replace(kSmall, "[model 1]", "[model " + std::to_string(m) + "]"); return t; }(),
       16 * 17 + 1, "more than 16 models"},
      {Replace(kSmall, "TQ-33", std::string("TQ\0-33", 6)), 3, "byte 0x00 is not text"},
      {Replace(kSmall, "type", "\x7Ftype"), 2, "byte 0x7f is not text"},
      {Replace(kSmall, "TQ-33", "TQ\xC2\x80-33"), 3, "control character in the text"},
      {Replace(kSmall, "TQ-33", "TQ\xED\xA0\x80-33"), 3, "byte 0xed is not UTF-8"},
      {Replace(kSmall, "TQ-33", "TQ\xC3\xC3-33"), 3, "byte 0xc3 is not UTF-8"},
      {Replace(kSmall, "TQ-33", "TQ\x80\x90\x80\x80-33"), 3, "byte 0x80 is not UTF-8"},  // no lead byte
      {Replace(kSmall, "TQ-33", "TQ\r-33"), 3, "carriage return"},
      {Replace(kSmall, "TQ-33", "TQ\xEF\xBB\xBF-33"), 3, "byte-order mark inside the text"},
      {"\xEF\xBB\xBF", 0, "no [model N] section"},
      // Each range at its edges: the value past it refused with the range, the edge itself read before a later fault.
      {Replace(kSmall, "type = 0", "type = 10"), 2, "'type' is 10, outside 0 to 9"},
      {Replace(kSmall, "TQ-33", ""), 3, "'name' is empty"}, {Replace(kSmall, kName, ""), 11, "'name' is empty"},
      {Replace(kSmall, "TQ-33", std::string(32, 'T')), 3, "'name' is longer than 31 characters"},
      {Replace(kSmall, kName, std::string(64, 'M')), 11, "'name' is longer than 63 characters"},
      {Replace(kSmall, "262\nkind", "256\nkind"), 12, "is 256, outside 257 to 65534"},
      {Replace(kSmall, "262\nkind", "65535\nkind"), 12, "is 65535, outside 257 to 65534"},
      {Replace(Replace(kSmall, "TQ-33", "T"), "quality = 360", "quality = 721"), 7, "is 721, outside 360 to 720"},
      {Replace(kSmall, "quality = 360", "quality = 359"), 7, "is 359, outside 360 to 720"},
      {Replace(Replace(kSmall, "TQ-33", std::string(31, 'T')), "n = 360", "n = 359"), 8, "is 359, outside 360 to 720"},
      {Replace(kSmall, "n = 360", "n = 721"), 8, "is 721"}, {Replace(kSmall, "n = 360", "n = 720"), 6, "496 dots at 720"},
      {Replace(Replace(kSmall, kName, std::string(63, 'M')), "kind = 0", "kind = 32768"), 13, "outside 0 to 32767"},
      {Replace(Replace(kSmall, "kind = 0", "kind = 32767\nspecial = 0"), "dots = 256", "dots = 0"), 18, "outside 1 to 384"},
      {Replace(kSmall, "dots = 256", "dots = 1"), 17, "is 256 dots"},
      {Replace(kSmall, kName, "M") + "multiple = 4", 18, "is 4, outside 0 to 3"},
      {Replace(kSmall, "kind = 0", "kind = 0\nspecial = 2"), 14, "is 2, outside 0 to 1"},
      {Replace(kSmall, "kind = 0", "kind = 0000000000000"), 13, "number too large"},
      {Replace(kSmall, "width = 240", "width = 24a"), 14, "needs a number"},
      {Replace(kSmall, "TQ-33", "TQ\t-33"), 3, "tab inside"},
      // Short whole files, the last line without its end: each edge of a byte, a header and a field.
      {"\xE0\x9F\xBF", 1, "byte 0xe0 is not UTF-8"}, {"\xF0\x8F\xBF\xBF", 1, "byte 0xf0 is not UTF-8"},
      {"\xF4\x90\x80\x80", 1, "byte 0xf4 is not UTF-8"}, {"\xED\xBF\xBF", 1, "byte 0xed is not UTF-8"},
      {"\x1F", 1, "byte 0x1f is not text"}, {"\xC2\x9F", 1, "control character"}, {"\xEF\xBB", 1, "byte 0xef is not UTF-8"},
      {"[model 19]", 1, "model 19 lacks field 'type'"}, {"[model1]", 1, "needs its number"}, {"[model ", 1, "needs its number"},
      {"[model 0]", 1, "model number 0 is outside 1 to 255"}, {"[model 1", 1, "malformed section header"},
      {"[model 1]x", 1, "unexpected text after the value"}, {"Type = 0", 1, "expected a section header"},
      {"kind = 0", 1, "field 'kind' outside a section"}, {"[model 1]\ntype: 0", 2, "expected '=' after 'type'"},
      {"[model 1]\ntype = 0 x", 2, "unexpected text after the value"}, {"[model 1]\ntype = -1", 2, "'type' is -1, outside 0 to 9"},
      {"[model 1]\nname = TQ", 2, "needs a quoted text"}, {"[model 1]\ntype =", 2, "'type' needs a number"},
      {"[model 1]\nname = \"\\", 2, "unknown escape"}, {"[]" + std::string(510, ' '), 1, "malformed section header"},
      {Replace(kSmall, "[medium]", "[model 2]\n[medium]"), 1, "model 1 has no [medium] section"},
      {kSmall + Replace(kSmall, "model 1", "model 2") + Tape(262, 240, 340), 37, "262 already used on line 29"},
      {Replace(kSmall, "262\nkind", "317\nkind"), 12, "user-defined"},
      {kSmall + "multiple = 1", 18, "needs its base 4 media before it, but it is medium 1"},
      {Replace(kSmall, "kind = 0", "kind = 5\nlength = 400\nprint-length = 400\nlength-dots = 564\nprint-length-dots = 564"),
       16, "line 16: length of 400 tenths of a millimetre is 566 dots, not 564"},
  };
  ModelDataFile file;
  ModelDataError error;
  for (const auto& c : cases) {
    EXPECT_FALSE(Parse(c.text, &file, &error) || !file.models.empty()) << c.says;
    EXPECT_EQ(error.line, c.line) << error.Describe();
    EXPECT_NE((error.Describe() + '|').find(c.says), std::string::npos) << error.Describe();  // | marks the end
  }
  // Each size field at 0, in a section of its own after a good file: refused with its range.
  for (const std::string f : {"[model 2]\nlength", "[model 2]\nlength-dots", "[medium]\nlength",
                              "[medium]\nlength-dots", "[medium]\nprint-length", "[medium]\nprint-length-dots",
                              "[medium]\nprint-width", "[medium]\nwidth-dots"}) {
    EXPECT_FALSE(Parse(kSmall + f + " = 0", &file, &error));
    EXPECT_EQ(error.Describe(), "line 19: field '" + f.substr(f.find('\n') + 1) + "' is 0, outside 1 to 32767");
  }
  EXPECT_FALSE(ParseModelDataFile(nullptr, 1, &file, &error) || error.Describe() != "no data" ||
               ParseModelDataFile(nullptr, 0, nullptr, nullptr) || FindModelData(nullptr, 1));
  // A label's own lengths, on a model of a type that allows them.
  ASSERT_TRUE(Parse(Replace(Replace(kSmall, "type = 0", "type = 1"), "kind = 0", "kind = 5" + label), &file, &error));
  const MediaListEntry& e = FindModelData(&file, 1)->media.at(0);
  EXPECT_EQ(std::tuple(e.meLength, e.mePrintLength, e.meLengthDots, e.mePrintLengthDots), std::tuple(400, 350, 567, 496));

  std::string big = kSmall + std::string(kModelDataFileMaxBytes - kSmall.size() + 1, '#');
  EXPECT_FALSE(Parse(big, &file, &error));
  EXPECT_EQ(error.Describe(), "file of 262145 bytes exceeds the limit of 262144 bytes");
  big.pop_back();
  EXPECT_FALSE(Parse(big, &file, &error));
  EXPECT_EQ(error.line, 18u) << "a full-size file is read, and its last line is too long";

  std::string many = kSmall;  // tapes of 127 tenths and 182 dots: two dots apart, the most allowed
  for (DWORD code = 65024; code <= 65535; ++code) many += Tape(code, 127, 182);  // 65534 the last read
  EXPECT_FALSE(Parse(many, &file, &error));
  EXPECT_NE(error.text.find("more than 512 media"), std::string::npos) << error.Describe();
  EXPECT_EQ(error.line, 18u + 9u * (kModelDataMaxMedia - 1));
}

}  // namespace
