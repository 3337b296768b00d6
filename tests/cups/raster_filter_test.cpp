// The filter run as CUPS runs it: raster pages in, the printer stream out, messages for
// the scheduler on standard error, and a clear ERROR and status 1 for raster it cannot
// print.
#include <signal.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/support/cups_support.h"
#include "tests/support/subprocess.h"
#include "tests/support/tool_runner.h"

namespace {

// A 24 mm tape 100 mm long (340 x 1417 dots at 360 dpi), and its feed margin in dots.
constexpr double kTapeWidth = 68.03;
constexpr double kTapeLength = 283.46;
constexpr int kFeedMargin = 57;

class RasterFilterTest : public ::testing::Test {
 protected:
  test::ProcessResult Run(const std::vector<test::RasterPage>& pages,
                          const std::string& options = "", const std::string& copies = "1") {
    EXPECT_TRUE(test::WriteRaster(directory_ / "job.ras", pages));
    return Filter({copies, options, directory_ / "job.ras"});
  }
  static test::ProcessResult Filter(std::vector<std::string> arguments,
                                    test::ProcessOptions options = {}) {
    arguments.insert(arguments.begin(), {test::BuiltProgram("rastertotq33"), "7", "user", "label"});
    options.environment = {{"PPD", ""}, {"TQ33_MODEL_DATA", ""}, {"TQ33_MEDIA_FILE", ""}};
    return test::RunProcess(arguments, options);
  }
  static bool Says(const test::ProcessResult& run, const std::string& line) {
    return run.err.find(line) != std::string::npos;
  }

  test::ScratchDir directory_;
};

TEST_F(RasterFilterTest, PrintsEveryPageWithItsOwnSizeResolutionOptionsAndCopies) {
  // Page 1: bars of a barcode across the tape on a light gray label; with a threshold
  // only the bars print. Page 2: a die-cut label at 720 dpi along the tape whose raster
  // covers only its printable area, placed by the imaging bounding box, with one bar.
  test::RasterPage tape{test::GrayHeader("Laminated_tape_24mm", kTapeWidth, kTapeLength), {}};
  const std::vector<test::Rows> bars = {{300, 320}, {400, 404}, {500, 560}};
  tape.pixels.assign(340u * 1417u, 200);
  for (const test::Rows& bar : bars) {
    std::fill(tape.pixels.begin() + bar.first * 340, tape.pixels.begin() + bar.second * 340, 0);
  }
  test::RasterPage label{test::GrayHeader("Die-cut_label_24_x_40mm", 51.2, 99.2, 360, 720), {}};
  label.header.cupsPageSize[0] = 68.03f;
  label.header.cupsPageSize[1] = 113.39f;
  const float box[] = {8.4f, 6.99f, 59.6f, 106.19f};
  std::copy(box, box + 4, label.header.cupsImagingBBox);
  label.pixels.assign(256u * 992u, 0xFF);
  std::fill(label.pixels.begin() + 100 * 256, label.pixels.begin() + 110 * 256, 0);

  test::ProcessResult run =
      Run({tape, label}, "TQ33Halftone=Threshold TQ33Mirror=True TQ33AutoCut=False", "2");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Says(run, "PAGE: 1 2\n") && Says(run, "PAGE: 2 2\n")) << run.err;
  EXPECT_TRUE(Says(run, "ATTR: job-media-progress=50\n")) << run.err;

  // Plain output: each page twice, then the document end.
  const tq33stream::Stream stream = test::ParsedStream(run.out);
  ASSERT_EQ(stream.pages.size(), 4u);
  EXPECT_EQ(stream.documents, 1u);
  for (size_t copy = 0; copy < 2; ++copy) {
    const tq33stream::Label& first = stream.pages[copy].labels.at(0);
    EXPECT_EQ(first.header.feedResolution, 360);
    EXPECT_EQ(first.header.widthByte, 24);
    EXPECT_TRUE(first.header.mirror);
    EXPECT_FALSE(first.header.autoCut);
    EXPECT_EQ(first.lines.size(), 1417u - 2 * kFeedMargin + 1);
    test::ExpectOnlyBars(first, bars, -kFeedMargin, 0);

    const tq33stream::Label& second = stream.pages[2 + copy].labels.at(0);
    EXPECT_EQ(second.header.feedResolution, 720);
    EXPECT_EQ(second.lines.size(), 992u) << "the label's 496 printable dots at 720 dpi";
    // At 720 dpi the threshold thins the bar's inner lines: only its first must print.
    const std::vector<int> dots = test::DotsPerLine(second);
    EXPECT_EQ(dots.at(100), 256);
    for (size_t line = 0; line < dots.size(); ++line) {
      if (line < 100 || line >= 110) {
        EXPECT_EQ(dots[line], 0) << "line " << line;
      }
    }
  }
}

TEST_F(RasterFilterTest, RefusesRasterItCannotPrintWithAnErrorAndStatus1) {
  const cups_page_header2_t gray = test::GrayHeader("Laminated_tape_24mm", kTapeWidth, kTapeLength);
  struct Case {
    const char* what;
    std::vector<test::RasterPage> pages;
    const char* error;
  };
  cups_page_header2_t rgb = gray;
  rgb.cupsColorSpace = CUPS_CSPACE_RGB;
  rgb.cupsBitsPerPixel = 24;
  rgb.cupsBytesPerLine = rgb.cupsWidth * 3;
  cups_page_header2_t bilevel = gray;
  bilevel.cupsBitsPerColor = bilevel.cupsBitsPerPixel = 1;
  bilevel.cupsBytesPerLine = (bilevel.cupsWidth + 7) / 8;
  cups_page_header2_t huge = gray;
  huge.cupsHeight = 300000;
  const std::vector<Case> cases = {
      {"colour", {{rgb, {}}}, "ERROR: Page 1: the raster is in colour space 1 (RGB)"},
      {"depth", {{bilevel, {}}}, "ERROR: Page 1: the raster has 1 bits per colour"},
      {"size", {{huge, {}, 0}}, "ERROR: Page 1: the page of 340 x 300000 pixels is larger"},
      {"truncated", {{gray, {}}, {gray, {}, 700}}, "ERROR: Page 2 is truncated: the raster ends after line 700 of 1417"},
      {"empty", {}, "ERROR: The raster holds no page"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ProcessResult run = Run(c.pages);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Says(run, c.error)) << run.err;
    if (std::string(c.what) == "truncated") {
      // The whole first page goes out, and the document is ended for the printer.
      const tq33stream::Stream stream = test::ParsedStream(run.out);
      EXPECT_EQ(stream.pages.size(), 1u);
      EXPECT_EQ(stream.documents, 1u);
    } else {
      EXPECT_TRUE(run.out.empty());
    }
  }

  // Not raster, and nothing at all: the rasterizer before the filter failed.
  const std::pair<const char*, const char*> others[] = {
      {"%!PS-Adobe-3.0\nshowpage\n", "ERROR: The print data is not CUPS raster"},
      {"", "ERROR: No page came: the stage before this filter sent nothing"}};
  for (const auto& [data, error] : others) {
    ASSERT_TRUE(test::WriteFile(directory_ / "other.ras", data));
    test::ProcessResult other = Filter({"1", "", directory_ / "other.ras"});
    EXPECT_EQ(other.status, 1);
    EXPECT_TRUE(Says(other, error)) << other.err;
  }
  test::ProcessResult usage = Filter({"1"});
  EXPECT_EQ(usage.status, 1);
  EXPECT_TRUE(Says(usage, "Usage: ")) << usage.err;
}

TEST_F(RasterFilterTest, SigtermCancelsTheJobAndEndsItCleanly) {
  // The scheduler cancels while the filter sets up or waits for the rest of a page.
  test::RasterPage page{test::GrayHeader("Laminated_tape_24mm", kTapeWidth, kTapeLength), {}, 10};
  ASSERT_TRUE(test::WriteRaster(directory_ / "part.ras", {page}));
  const std::string part = test::ReadFile(directory_ / "part.ras");
  test::ProcessOptions options;
  options.feed = [&part](pid_t pid, int input) {
    ASSERT_EQ(write(input, part.data(), part.size()), static_cast<ssize_t>(part.size()));
    // SIGTERM is a cancellation once the filter holds it for itself; before, it would
    // kill the filter as it would any program.
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    for (int i = 0; i < 1000; ++i, usleep(10000)) {
      const std::string text = test::ReadFile(status);
      const size_t at = text.find("SigBlk:");
      if (at != std::string::npos && (std::stoull(text.substr(at + 7), nullptr, 16) >> (SIGTERM - 1)) & 1)
        break;
    }
    kill(pid, SIGTERM);
  };
  test::ProcessResult run = Filter({"1", ""}, options);
  EXPECT_EQ(run.status, 0) << "SIGTERM is the filter's to handle: " << run.err;
  EXPECT_TRUE(Says(run, "INFO: Job cancelled after 0 pages")) << run.err;
  EXPECT_TRUE(run.out.empty()) << "nothing of the unfinished page";
}

}  // namespace
