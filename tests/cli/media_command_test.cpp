// SPDX-License-Identifier: Apache-2.0
// `tq33 media` end to end: the installation's records decoded and byte for byte, and the
// installations the options name.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cli/record_fields.h"
#include "device/media_definitions.h"
#include "tests/cli/tool_fixture.h"
#include "tests/support/media_file_writer.h"

namespace test {
namespace {

size_t CountMedia(const std::string& modelFile) {
  std::ifstream in(modelFile);
  std::string line;
  size_t count = 0;
  while (std::getline(in, line)) count += line.rfind("[medium]", 0) == 0;
  return count;
}

using MediaTest = ToolTest;

TEST_F(MediaTest, ListsTheModelMediaAndDefinitionsWithTheirBytes) {
  Json media = RunJson({"media"});
  EXPECT_EQ(media["model"]["moName"], "TQ-33");
  EXPECT_EQ(media["model"]["raw"].get<std::string>().size(), 2 * sizeof(ModelRecord));
  const size_t count = CountMedia(SourcePath("data/tq33.model"));
  EXPECT_EQ(media["mediaCount"], count);
  ASSERT_EQ(media["media"].size(), count);
  for (size_t i = 0; i < count; ++i) {
    const Json& medium = media["media"][i];
    EXPECT_EQ(Json({medium["mrIndex"], medium["raw"].get<std::string>().size()}),
              Json({i, 2 * sizeof(MediaListEntry)}));
  }
  // The definitions are the file's records as they stand.
  const std::vector<uint8_t> file = ReadBytes(SourcePath("data/sample-media.dat"));
  const size_t definitions = (file.size() - MEDIA_DEFINITION_HEADER_SIZE) / MEDIA_DEFINITION_SIZE;
  ASSERT_EQ(media["definitions"].size(), definitions);
  for (size_t i = 0; i < definitions; ++i) {
    const uint8_t* record = file.data() + MEDIA_DEFINITION_HEADER_SIZE + i * MEDIA_DEFINITION_SIZE;
    EXPECT_EQ(media["definitions"][i]["raw"], tq33cli::HexBytes(record, MEDIA_DEFINITION_SIZE));
    EXPECT_EQ(media["definitions"][i]["paperSizeCode"], USER_FORM_BASE + i);
  }

  // By default a line a medium, in millimetres; --verbose has every field, units named.
  ToolResult table = Run({"media"});
  EXPECT_EQ(table.status, 0);
  std::string words;  // the table with every run of blanks as one
  for (char c : table.out) if (c != ' ' || (!words.empty() && words.back() != ' ')) words += c;
  ExpectHas(words, {"code name width x length (mm) kind across special\n",
                    "\n372 Paper label 24 x 60mm 24 x 60 1 1 no\n", "\n387 VK 24mm (RFID) 24 x continuous 0 1 yes\n",
                    "\n283 Laminated tape 3.5mm, 3 labels across 10.5 x continuous 0 3 no\n",
                    "\n317 Address 24 x 62 mm 24 x 62 0 1 no\n"});
  ToolResult text = Run({"media", "--verbose"});
  EXPECT_EQ(std::tuple(text.status, text.out.find("raw")), std::tuple(0, std::string::npos));
  ExpectHas(text.out, {"moName: \"TQ-33\"", "    mrWidth (0.1 mm): 35\n", "  defLength (0.01 mm): 6200\n"});

  // One the driver skips, a 2 m label, is listed as read, marked; one whose margin the
  // driver lowers to its tape's greatest is a label all the same, listed as read.
  const std::string bad = MediaFileBytes({{u"Address", 0, 262, 6200, 300}, {u"Margin", 0, 262, 6200, 0xFFFFFFFF},
                                          {u"Long", 0, 262, 200000, 300}});
  WriteBytes(Path("bad.dat"), std::vector<uint8_t>(bad.begin(), bad.end()));
  const Json marked = RunJson({"media", "--media-file", "bad.dat"})["definitions"];
  ASSERT_EQ(marked.size(), 3u);
  EXPECT_EQ(Json({marked[0].contains("ignored"), marked[1].contains("ignored"), marked[2].contains("ignored")}),
            Json({false, false, true})) << marked;
  EXPECT_EQ(marked[1]["defMargin"], 0xFFFFFFFFu);
  ExpectHas(Run({"media", "--media-file", "bad.dat"}).out, {"ignored: definition 319 \"Long\""});
}

TEST_F(MediaTest, ReadsTheInstallationTheOptionsNameWithoutWritingIntoIt) {
  Json other = RunJson({"media", "--model-data", SourcePath("data/tq21.model")});
  EXPECT_NE(other["model"]["moName"], "TQ-33");
  EXPECT_EQ(other["mediaCount"], CountMedia(SourcePath("data/tq21.model")));

  namespace fs = std::filesystem;
  const fs::path drivers = fs::path(Path("install")) / "C" / "TQ33" / "drivers";
  fs::create_directories(drivers);
  fs::copy_file(SourcePath("data/tq21.model"), drivers / "TQ33KV.MDL");
  fs::copy_file(SourcePath("data/sample-media.dat"), drivers / "TQ33KV.DAT");
  Json installed = RunJson({"media", "--install", "install"});
  EXPECT_EQ(installed["model"]["moName"], other["model"]["moName"]);
  // A replacement file applies to a copy: the installation keeps its own.
  WriteBytes(Path("one.dat"), std::vector<uint8_t>(MEDIA_DEFINITION_HEADER_SIZE, 0));
  Json replaced = RunJson({"media", "--install", "install", "--media-file", "one.dat"});
  EXPECT_EQ(replaced["definitions"].size(), 0u);
  EXPECT_EQ(ReadBytes((drivers / "TQ33KV.DAT").string()), ReadBytes(SourcePath("data/sample-media.dat")));
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(Path("install"))) files += entry.is_regular_file();
  EXPECT_EQ(files, 2u);

  fs::remove(drivers / "TQ33KV.MDL");
  ExpectFailure(Run({"media", "--install", "install"}), 1, "the installation has no model data file");
  ExpectFailure(Run({"media", "--install", "."}), 1, "is not a printer installation");
}

}  // namespace
}  // namespace test
