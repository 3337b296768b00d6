// SPDX-License-Identifier: Apache-2.0
// `tq33 print` end to end: the round trip through decode for every tone mode and
// orientation, fitting, and jobs that must leave no output. (Banding and plain copies are
// the driver's, pinned to the byte in its own tests.)
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "tests/cli/tool_fixture.h"

namespace test {
namespace {

constexpr uint32_t kHeadDots = 384;
constexpr uint8_t kBlack = 0;
constexpr uint8_t kWhite = 255;

Gray Filled(uint32_t cx, uint32_t cy, uint8_t level) {
  return Gray{cx, cy, std::vector<uint8_t>(size_t{cx} * cy, level)};
}

// White with a black block in the top left quarter and one black dot: shows any turn or
// mirror of the page.
Gray Pattern(uint32_t cx, uint32_t cy) {
  Gray page = Filled(cx, cy, kWhite);
  for (uint32_t y = 0; y < cy / 2; ++y) {
    for (uint32_t x = 0; x < cx / 4; ++x) page.pixels[size_t{y} * cx + x] = kBlack;
  }
  page.pixels[size_t{cy - 2} * cx + (cx - 3)] = kBlack;
  return page;
}

// What the printer prints for a page of black and white pixels, as decode renders it: one
// row per raster line, the head across, head dot 0 on the right. Portrait rows are raster
// lines sent right to left; landscape columns are raster lines sent top to bottom. The
// image dots sit behind (384 - head extent) / 2 blank dots.
Gray Printed(const Gray& page, bool landscape) {
  const uint32_t lines = landscape ? page.width : page.height;
  const uint32_t extent = landscape ? page.height : page.width;
  const uint32_t margin = (kHeadDots - extent) / 2;
  Gray out = Filled(kHeadDots, lines, kWhite);
  for (uint32_t line = 0; line < lines; ++line) {
    for (uint32_t j = 0; j < extent; ++j) {
      const uint32_t x = landscape ? line : extent - 1 - j;
      const uint32_t y = landscape ? j : line;
      const uint32_t dot = margin + j;
      out.pixels[size_t{line} * kHeadDots + (kHeadDots - 1 - dot)] = page.at(x, y);
    }
  }
  return out;
}

using PrintTest = ToolTest;

TEST_F(PrintTest, DecodedDotsAreWhatThePagesShouldPrintInEveryToneModeAndOrientation) {
  for (const char* halftone : {"threshold", "ordered", "diffusion"}) {
    for (const char* orientation : {"portrait", "landscape"}) {
      SCOPED_TRACE(std::string(halftone) + " " + orientation);
      const Args options = {"--halftone", halftone, "--orientation", orientation};
      const bool landscape = std::string(orientation) == "landscape";
      auto [cx, cy] = Page(options);
      ASSERT_GT(cx, 0u);
      ASSERT_LE(landscape ? cy : cx, kHeadDots);
      const std::vector<Gray> pages = {Filled(cx, cy, kWhite), Filled(cx, cy, kBlack), Pattern(cx, cy)};
      WritePgm(Path("white.pgm"), pages[0]);
      WritePgm(Path("black.pgm"), pages[1]);
      WritePgm(Path("pattern.pgm"), pages[2]);
      ToolResult printed = Run(Join({"print", "white.pgm", "black.pgm", "pattern.pgm", "-o", "out.bin"}, options));
      ASSERT_EQ(printed.status, 0) << printed.err;

      Json stream = RunJson({"decode", "out.bin", "--png", "page"});
      ASSERT_EQ(stream["pages"].size(), 3u);
      for (size_t i = 0; i < pages.size(); ++i) {
        Gray png = ReadPngGray(Path("page-" + std::to_string(i + 1) + ".png"));
        Gray expected = Printed(pages[i], landscape);
        EXPECT_TRUE(png.pixels == expected.pixels) << "page " << i + 1;
      }
    }
  }
}

TEST_F(PrintTest, FitContainScalesTheImageIntoTheMiddleOfThePageWithItsAspectOnTheTape) {
  // A 4:3 image across the tape: as wide as the page, and 3/4 of that long on the tape,
  // which at 720 dpi along the tape takes twice the lines. (At 720 dpi the ordered
  // halftone prints black whole; the threshold would thin it.)
  for (const char* dpi : {"360", "720"}) {
    SCOPED_TRACE(dpi);
    const Args options = {"--orientation", "portrait", "--halftone", "ordered", "--dpi", dpi};
    auto [cx, cy] = Page(options);
    WritePgm(Path("photo.pgm"), Filled(4, 3, kBlack));
    ASSERT_EQ(Run(Join({"print", "photo.pgm", "--fit", "contain", "-o", "out.bin"}, options)).status, 0);
    Json stream = RunJson({"decode", "out.bin", "--png", "page"});
    const uint32_t lines = cx * 3 / 4 * std::stoul(dpi) / 360;
    EXPECT_EQ(stream["pages"][0]["labels"][0]["dots"], uint64_t{cx} * lines);
    Gray photo = Filled(cx, cy, kWhite);
    for (uint32_t y = (cy - lines) / 2; y < (cy - lines) / 2 + lines; ++y) {
      for (uint32_t x = 0; x < cx; ++x) photo.pixels[size_t{y} * cx + x] = kBlack;
    }
    EXPECT_TRUE(ReadPngGray(Path("page-1.png")).pixels == Printed(photo, false).pixels);
  }
}

TEST_F(PrintTest, BadImagesFailTheJobAndLeaveNoOutput) {
  auto [cx, cy] = Page({});
  WritePgm(Path("good.pgm"), Filled(cx, cy, kBlack));
  WritePng(Path("good.png"), {4, 4, 0 /* gray */, 8, std::vector<uint8_t>(16, 7)});
  const std::vector<uint8_t> whole = ReadBytes(Path("good.png"));
  WriteBytes(Path("truncated.png"), std::vector<uint8_t>(whole.begin(), whole.end() - 20));
  WriteBytes(Path("text.png"), {'h', 'e', 'l', 'l', 'o', '\n'});
  WriteBytes(Path("empty.png"), {});
  WriteBytes(Path("zero.png"), PngHeaderOnly(0, 10));
  WriteBytes(Path("huge.png"), PngHeaderOnly(0x7FFFFFFF, 0x7FFFFFFF));
  WriteBytes(Path("large.png"), PngHeaderOnly(100000, 100000));
  const std::string hugePgm("P5 99999 99999 255\n", 20);  // and one byte of its pixels
  WriteBytes(Path("huge.pgm"), std::vector<uint8_t>(hugePgm.begin(), hugePgm.end()));
  WriteBytes(Path("wide.pgm"), {'P', '5', ' ', '3', ' ', '1', ' ', '6', '5', '5', '3', '5', '\n'});
  WriteBytes(Path("old.bin"), {'o', 'l', 'd'});
  std::filesystem::create_directory(Path("folder"));
  WriteBytes(Path("bad.jpg"), {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0});
  const std::pair<const char*, const char*> cases[] = {
      {"truncated.png", "truncated"},  {"text.png", "not an image the tool reads (PNG, JPEG or binary PGM)"},
      {"folder/", "is a directory"},   {"bad.jpg", "JPEG"},
      {"empty.png", "empty file"},     {"zero.png", "zero size"},
      {"huge.png", "too large"},       {"large.png", "truncated"},
      {"huge.pgm", "truncated"}, {"wide.pgm", "16-bit PGM"}, {"missing.png", "No such file"},
  };
  for (const auto& [image, cause] : cases) {
    SCOPED_TRACE(image);
    ToolResult result = Run({"print", "good.pgm", image, "-o", "old.bin"});
    ExpectFailure(result, 1, std::string("cannot read image ") + image + ": ");
    EXPECT_NE(result.err.find(cause), std::string::npos) << result.err;
    // The earlier output stands as it was, and nothing half-written is left beside it.
    EXPECT_EQ(ReadBytes(Path("old.bin")), (std::vector<uint8_t>{'o', 'l', 'd'}));
  }
  for (const std::string& name : dir_.Names()) EXPECT_EQ(name.find(".tmp"), std::string::npos);
  EXPECT_EQ(Run({"print", "good.pgm", "good.png", "-o", "old.bin"}).status, 0);
}

TEST_F(PrintTest, OptionsStandAnywhereAndImagesComeFromStandardInput) {
  auto [cx, cy] = Page({});
  // Grays, which every halftone prints differently.
  Gray ramp = Filled(cx, cy, kWhite);
  for (size_t i = 0; i < ramp.pixels.size(); ++i) ramp.pixels[i] = static_cast<uint8_t>(i % cx * 255 / cx);
  WritePgm(Path("page.pgm"), ramp);
  ASSERT_EQ(Run({"print", "page.pgm", "page.pgm", "-o", "out.bin", "--halftone", "threshold",
                 "--copies", "2"}).status, 0);
  const std::vector<uint8_t> expected = ReadBytes(Path("out.bin"));
  const Args orders[] = {
      {"print", "--halftone", "Threshold", "--copies", "2", "page.pgm", "page.pgm", "-o", "a.bin"},
      {"print", "--copies=2", "page.pgm", "--output=a.bin", "page.pgm", "--halftone=THRESHOLD"},
      {"print", "--halftone", "threshold", "-o", "a.bin", "--copies", "2", "--", "page.pgm", "page.pgm"},
      {"print", "--halftone", "threshold", "--copies", "2", "page.pgm", "-", "-o", "a.bin"},
  };
  for (const Args& args : orders) {
    std::filesystem::remove(Path("a.bin"));
    ToolResult result = RunTool(args, dir_.path(), 0, ReadBytes(Path("page.pgm")));
    ASSERT_EQ(result.status, 0) << args[1] << ": " << result.err;
    EXPECT_TRUE(ReadBytes(Path("a.bin")) == expected) << args[1];
  }
  ExpectFailure(Run({"print", "-", "-", "-o", "a.bin"}), 2, "can be read only once");
  // A PNG through a pipe, and the job to standard output.
  WritePng(Path("page.png"), {cx, cy, 0 /* gray */, 8, ramp.pixels});
  ToolResult piped = RunTool({"print", "-", "-o", "-", "--halftone", "threshold"}, dir_.path(), 0,
                             ReadBytes(Path("page.png")));
  ASSERT_EQ(piped.status, 0) << piped.err;
  ASSERT_EQ(Run({"print", "page.pgm", "-o", "one.bin", "--halftone", "threshold"}).status, 0);
  EXPECT_TRUE(std::vector<uint8_t>(piped.out.begin(), piped.out.end()) == ReadBytes(Path("one.bin")));
}

TEST_F(PrintTest, OnlyRegularFilesAreReplacedAndLinksToThemFollowed) {
  auto [cx, cy] = Page({});
  WritePgm(Path("page.pgm"), Pattern(cx, cy));
  ASSERT_EQ(Run({"print", "page.pgm", "-o", "out.bin"}).status, 0);
  const std::vector<uint8_t> expected = ReadBytes(Path("out.bin"));
  namespace fs = std::filesystem;
  // A link to a file, and one to a file that is not there yet: the links stay.
  WriteBytes(Path("old.bin"), {'o', 'l', 'd'});
  fs::create_symlink("old.bin", Path("link"));
  fs::create_symlink("new.bin", Path("dangling"));
  for (const char* link : {"link", "dangling"}) {
    ASSERT_EQ(Run({"print", "page.pgm", "-o", link}).status, 0) << link;
    EXPECT_TRUE(fs::is_symlink(Path(link))) << link;
    EXPECT_TRUE(ReadBytes(Path(link)) == expected) << link;
  }
  // A FIFO receives the job in place and stays a FIFO.
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
  std::vector<uint8_t> received;
  std::thread reader([&] { received = ReadBytes(Path("fifo")); });
  EXPECT_EQ(Run({"print", "page.pgm", "-o", "fifo"}).status, 0);
  reader.join();
  EXPECT_TRUE(received == expected);
  EXPECT_TRUE(fs::is_fifo(Path("fifo")));
  // /dev/stdout is the descriptor the tool was given, whatever it is.
  ToolResult out = Run({"print", "page.pgm", "-o", "/dev/stdout"});
  EXPECT_TRUE(std::vector<uint8_t>(out.out.begin(), out.out.end()) == expected) << out.err;
  ExpectFailure(Run({"print", "page.pgm", "-o", "."}), 1, "cannot write .: is a directory");
  ExpectFailure(Run({"print", "page.pgm", "-o", "none/out.bin"}), 1,
                "cannot write none/out.bin: no such directory none");
  // A file whose directory cannot hold the file that replaces it says so.
  ExpectFailure(Run({"print", "page.pgm", "-o", "/proc/version"}), 1,
                "cannot write /proc/version: cannot make the file that replaces it in /proc (");
  // An output that refuses the bytes fails the job with its own reason, not the driver's
  // write fault; a report's standard output too.
  ExpectFailure(Run({"print", "page.pgm", "-o", "/dev/full"}), 1, "cannot write /dev/full: No space left on device");
  const Args report = {"/bin/sh", "-c", "exec \"$0\" media > /dev/full", BuiltProgram("tq33")};
  ExpectFailure(RunProcess(report), 1, "cannot write standard output: No space left on device");
}

TEST_F(PrintTest, JpegPrintsAsThePgmOfItsPixels) {
  // Blocks of black and white survive JPEG's loss: with threshold halftoning the JPEG
  // prints what the same pixels print as PGM.
  auto [cx, cy] = Page({});
  const Gray page = Pattern(cx, cy);
  WritePgm(Path("page.pgm"), page);
  ASSERT_TRUE(test::WriteJpeg(Path("page.jpg"), page));
  const Args threshold = {"--halftone", "threshold", "--plain"};
  ASSERT_EQ(Run(Join({"print", "page.pgm", "-o", "pgm.bin"}, threshold)).status, 0);
  const ToolResult printed = Run(Join({"print", "page.jpg", "-o", "jpeg.bin"}, threshold));
  ASSERT_EQ(printed.status, 0) << printed.err;
  EXPECT_TRUE(ReadBytes(Path("jpeg.bin")) == ReadBytes(Path("pgm.bin")));
}

TEST_F(PrintTest, FramedOutputToADeviceIsToldAPrinterReadsPlain) {
  // A new terminal's master (each open of /dev/ptmx makes one) stands in for a printer's
  // device: both are character devices, and it takes a small job without a reader.
  if (access("/dev/ptmx", W_OK) != 0) GTEST_SKIP() << "no terminals";
  WritePgm(Path("dot.pgm"), Filled(8, 8, kBlack));
  const ToolResult framed = Run({"print", "dot.pgm", "-o", "/dev/ptmx"});
  EXPECT_EQ(framed.status, 0) << framed.err;
  ExpectHas(framed.err, {"warning: /dev/ptmx is a device: the output is framed, for a receiving "
                         "component; a printer reads --plain"});
  EXPECT_EQ(Run({"print", "dot.pgm", "--plain", "-o", "/dev/ptmx"}).err, "");
}

TEST_F(PrintTest, ACroppedImageAndAChangedSettingAreNamed) {
  auto [cx, cy] = Page({});
  WritePgm(Path("tall.pgm"), Filled(cx / 2, cy * 2, kBlack));
  ToolResult cropped = Run({"print", "tall.pgm", "-o", "out.bin"});
  EXPECT_EQ(cropped.status, 0);
  ExpectHas(cropped.err, {"warning: tall.pgm is " + std::to_string(cx / 2) + " x " +
                          std::to_string(cy * 2) + " pixels, the page " + std::to_string(cx) + " x " +
                          std::to_string(cy) + " dots: --fit none leaves " + std::to_string(cx / 2 * cy) +
                          " pixels out"});
  EXPECT_EQ(Run({"print", "tall.pgm", "--fit", "contain", "-o", "out.bin"}).err, "");
  // --strict refuses before anything is written.
  ExpectFailure(Run({"print", "tall.pgm", "--copies", "0", "--strict", "-o", "strict.bin"}), 1,
                "--strict: the driver changed 1 setting the command line asked for");
  EXPECT_FALSE(std::filesystem::exists(Path("strict.bin")));
}

TEST_F(PrintTest, AnInterruptedJobEndsCleanlyWithoutOutput) {
  auto [cx, cy] = Page({"--length", "10000", "--paper", "262"});
  WritePgm(Path("long.pgm"), Pattern(cx, cy));
  Args args = {"print", "--length", "10000", "--paper", "262", "-o", "out.bin"};
  // Some seconds of work on any machine, so that the interruption comes in the middle.
  for (int i = 0; i < 400; ++i) args.push_back("long.pgm");
  ToolResult result = RunTool(args, dir_.path(), 1000);
  ExpectFailure(result, 1, "interrupted");
  EXPECT_EQ(dir_.Names(), (std::vector<std::string>{"long.pgm"}));
}

}  // namespace
}  // namespace test
