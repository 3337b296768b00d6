// `tq33 decode` end to end: a printed stream decoded, and streams the printer cannot
// have been sent, refused at their offset.
#include <gtest/gtest.h>

#include "tests/cli/tool_fixture.h"

namespace test {
namespace {

class DecodeTest : public ToolTest {
 protected:
  void SetUp() override {
    auto [cx, cy] = Page({});
    Gray page{cx, cy, std::vector<uint8_t>(size_t{cx} * cy, 255)};
    for (uint32_t x = 0; x < cx; x += 3) page.pixels[x] = 0;
    WritePgm(Path("page.pgm"), page);
    ASSERT_EQ(Run({"print", "page.pgm", "-o", "out.bin"}).status, 0);
    stream_ = ReadBytes(Path("out.bin"));
    lines_ = cx;  // landscape: one raster line per column
  }
  std::vector<uint8_t> stream_;
  uint32_t lines_ = 0;
};

TEST_F(DecodeTest, ReportsTheJobRecordTheHeaderAndTheLines) {
  Json decoded = RunJson({"decode", "out.bin"});
  EXPECT_EQ(decoded["format"], "framed");
  ASSERT_EQ(decoded["pages"].size(), 1u);
  const Json& page = decoded["pages"][0];
  EXPECT_EQ(page["record"]["totalLength"], stream_.size());
  EXPECT_EQ(page["record"]["copies"], 1);
  const Json& label = page["labels"][0];
  EXPECT_EQ(label["header"]["resolution"], 360);
  EXPECT_EQ(label["header"]["widthByte"], page["record"]["widthByte"]);
  EXPECT_EQ(label["lines"], lines_);
  EXPECT_EQ(label["rasterLines"], (lines_ + 2) / 3);
  EXPECT_EQ(label["dots"], (lines_ + 2) / 3);
  EXPECT_EQ(label["end"], 0x0C);

  ToolResult text = Run({"decode", "out.bin"});
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("framed output, 1 page"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("360 dpi"), std::string::npos) << text.out;
}

TEST_F(DecodeTest, MalformedStreamsFailAtTheirOffset) {
  const size_t cut = stream_.size() / 2;
  WriteBytes(Path("cut.bin"), std::vector<uint8_t>(stream_.begin(), stream_.begin() + cut));
  ExpectFailure(Run({"decode", "cut.bin"}), 1, "cannot decode cut.bin: offset ");
  std::vector<uint8_t> bad = stream_;
  bad[58 + 25] = 0x99;  // where the compression-mode command belongs
  WriteBytes(Path("bad.bin"), bad);
  ExpectFailure(Run({"decode", "bad.bin", "--png", "never"}), 1, "offset 83");
  EXPECT_EQ(dir_.Names().size(), 4u);  // no PNG of a stream that did not decode
  WriteBytes(Path("empty.bin"), {});
  ToolResult empty = Run({"decode", "empty.bin"});
  EXPECT_EQ(empty.status, 0);
  EXPECT_NE(empty.out.find("0 pages"), std::string::npos);
  ExpectFailure(Run({"decode", "missing.bin"}), 1, "cannot read stream missing.bin");
  ExpectFailure(Run({"decode", "out.bin", "--png", "nowhere/page"}), 1,
                "cannot write nowhere/page-1.png");
}

using OptionsTest = ToolTest;

TEST_F(OptionsTest, UsageErrorsExitWithStatusTwo) {
  const Args cases[] = {
      {},
      {"frobnicate"},
      {"print", "a.png"},
      {"print", "-o", "out.bin"},
      {"print", "a.png", "-o", "out.bin", "--fit", "stretch"},
      {"info", "--bogus"},
      {"info", "--dpi", "600"},
      {"info", "--orientation", "sideways"},
      {"info", "--set", "privMargin"},
      {"info", "--set", "privMarginn=3"},
      {"info", "--set", "privMargin=65536"},
      {"info", "--contrast", "200"},
      {"info", "--set", "dmFormName=" + std::string(40, 'x')},
      {"info", "--resource-language", "0409"},
      {"info", "--printer-data", "FreeMem=lots"},
      {"info", "--printer-data", "=1"},
      {"media", "--measure", "2"},
      {"decode"},
  };
  for (const Args& args : cases) {
    ToolResult result = Run(args);
    std::string line;
    for (const std::string& arg : args) line += arg + " ";
    EXPECT_EQ(result.status, 2) << line << "\n" << result.err;
    EXPECT_EQ(result.err.rfind("tq33: ", 0), 0u) << line << "\n" << result.err;
  }
}

TEST_F(OptionsTest, EveryCommandHasHelpWithExamples) {
  for (const char* command : {"print", "info", "media", "decode"}) {
    ToolResult result = Run({command, "--help"});
    EXPECT_EQ(result.status, 0) << command;
    EXPECT_NE(result.out.find("Examples:"), std::string::npos) << command;
    EXPECT_NE(result.out.find(std::string("tq33 ") + command), std::string::npos) << command;
  }
  EXPECT_NE(Run({"--help"}).out.find("Exit status"), std::string::npos);
}

}  // namespace
}  // namespace test
