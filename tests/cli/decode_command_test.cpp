// SPDX-License-Identifier: Apache-2.0
// `tq33 decode` end to end: a printed stream decoded, and streams the printer cannot
// have been sent, refused at their offset.
#include <gtest/gtest.h>

#include <filesystem>

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
  EXPECT_EQ(Json({page["record"]["totalLength"], page["record"]["copies"]}), Json({stream_.size(), 1}));
  const Json& label = page["labels"][0];
  EXPECT_EQ(label["header"]["resolution"], 360);
  EXPECT_EQ(label["header"]["widthByte"], page["record"]["widthByte"]);
  // A line a column, every third with its dot.
  EXPECT_EQ(Json({label["lines"], label["rasterLines"], label["dots"], label["end"]}),
            Json({lines_, (lines_ + 2) / 3, (lines_ + 2) / 3, 0x0C}));

  ToolResult text = Run({"decode", "out.bin"});
  EXPECT_EQ(text.status, 0);
  ExpectHas(text.out, {"framed output, 1 page\n", "360 dpi"});

  WritePgm(Path("dot.pgm"), {1, 1, {0}});
  ASSERT_EQ(Run({"print", "dot.pgm", "--halftone", "threshold", "-o", "dot.bin"}).status, 0);
  EXPECT_NE(Run({"decode", "dot.bin"}).out.find(" zero), 1 dot, ends"), std::string::npos);
}

TEST_F(DecodeTest, TrueAspectDrawsA720DpiLineHalfAsHighAsADotIsWide) {
  const Args high = {"--dpi",    "720", "--paper",    "262", "--length", "100", "--halftone", "threshold"};
  auto [cx, cy] = Page(high);
  Gray page{cx, cy, std::vector<uint8_t>(size_t{cx} * cy, 255)};
  for (uint32_t i = 0; i < page.pixels.size(); i += 7) page.pixels[i] = 0;
  WritePgm(Path("high.pgm"), page);
  ASSERT_EQ(Run(Join({"print", "high.pgm", "-o", "high.bin"}, high)).status, 0);
  ASSERT_EQ(Run({"decode", "high.bin", "--png", "dots"}).status, 0);
  ASSERT_EQ(Run({"decode", "high.bin", "--png", "true", "--aspect", "true"}).status, 0);
  // Every dot drawn twice across.
  const Gray dots = ReadPngGray(Path("dots-1.png"));
  Gray doubled{2 * dots.width, dots.height, {}};
  for (uint8_t dot : dots.pixels) doubled.pixels.insert(doubled.pixels.end(), {dot, dot});
  const Gray wide = ReadPngGray(Path("true-1.png"));
  EXPECT_TRUE(wide.width == doubled.width && wide.height == doubled.height && wide.pixels == doubled.pixels);
  // At 360 dpi a dot is as long as it is wide: the PNG stays as it is.
  ASSERT_EQ(Run({"decode", "out.bin", "--png", "square", "--aspect", "true"}).status, 0);
  EXPECT_EQ(ReadPngGray(Path("square-1.png")).width, 384u);
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
  ExpectFailure(Run({"decode", "empty.bin"}), 1, "cannot decode empty.bin: no printer stream");
  ExpectFailure(Run({"decode", "missing.bin"}), 1, "cannot read stream missing.bin");
  ExpectFailure(Run({"decode", "."}), 1, "cannot read stream .: is a directory");
  ExpectFailure(Run({"decode", "out.bin", "--png", "nowhere/page"}), 1,
                "cannot write nowhere/page-1.png: no such directory nowhere");
  ExpectFailure(Run({"decode", "out.bin", "--png", "nowhere/"}), 1, "nowhere/: no such directory");
}

TEST_F(DecodeTest, PngsGoToAPrefixADirectoryOrStandardOutput) {
  ASSERT_EQ(Run({"decode", "out.bin", "--png", "page"}).status, 0);
  const std::vector<uint8_t> png = ReadBytes(Path("page-1.png"));
  std::filesystem::create_directory(Path("shots"));
  for (const char* directory : {"shots/", "shots"}) {
    ASSERT_EQ(Run({"decode", "out.bin", "--png", directory}).status, 0) << directory;
    EXPECT_EQ(ReadBytes(Path("shots/out-1.png")), png) << directory;
  }
  // Standard input and standard output: the PNG alone, no report.
  ToolResult piped = RunTool({"decode", "-", "--png", "-"}, dir_.path(), 0, stream_);
  ASSERT_EQ(piped.status, 0) << piped.err;
  EXPECT_TRUE(std::vector<uint8_t>(piped.out.begin(), piped.out.end()) == png);
  ToolResult report = RunTool({"decode", "-"}, dir_.path(), 0, stream_);
  EXPECT_EQ(report.out.rfind("standard input: " + std::to_string(stream_.size()) + " bytes", 0), 0u) << report.out;
}

using OptionsTest = ToolTest;

TEST_F(OptionsTest, UsageErrorsExitWithStatusTwoNamingWhatWasWrong) {
  // Each refused with status 2; where given, the words that name the cause.
  const std::pair<Args, std::string> cases[] = {
      {{"prnt", "a.png"}, "no command 'prnt' (the commands are print, info"},
      {{"media", "--paper", "262"}, "media takes no --paper: "}, {{"info", "--paper", "laminated tape 1"},
       "'laminated tape 1' starts the names of 4 media: \"Laminated tape 12mm\" (260)"},
  };
  for (const auto& [args, cause] : cases) ExpectFailure(Run(args), 2, cause);
  const Args others[] = {
      {}, {"frobnicate"}, {"print", "a.png"}, {"print", "-o", "out.bin"},
      {"print", "a.png", "-o", "out.bin", "--fit", "stretch"}, {"info", "--bogus"},
      {"info", "--dpi", "600"}, {"info", "--orientation", "sideways"},
      {"info", "--set", "privMargin"}, {"info", "--set", "privMarginn=3"},
      {"info", "--set", "privMargin=65536"}, {"info", "--contrast", "200"},
      {"info", "--set", "dmFormName=" + std::string(40, 'x')},
      {"info", "--resource-language", "0409"}, {"info", "--printer-data", "FreeMem=lots"},
      {"info", "--printer-data", "=1"}, {"media", "--measure", "2"}, {"media", "--copies", "2"},
      {"ppd", "--plain"}, {"ppd", "--filter", "bin/rastertotq33"},
      {"ppd", "--filter", "/opt/my filters/rastertotq33"}, {"info", "--paper", "laminated"},
      {"info", "--paper", "no such tape"}, {"info", "--copies", "many"}, {"decode"},
      {"decode", "out.bin", "--png", "-", "--json"},
  };
  for (const Args& args : others) {
    std::string line;
    for (const std::string& arg : args) line += arg + " ";
    SCOPED_TRACE(line);
    ExpectFailure(Run(args), 2, "");
  }
  ToolResult version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("tq33 ", 0), 0u) << version.out;
}

}  // namespace
}  // namespace test
