// SPDX-License-Identifier: Apache-2.0
// The filter run as CUPS runs it: raster pages in, the printer stream out, messages for
// the scheduler on standard error, and a clear ERROR for raster it cannot print, with the
// status that ends such a job (0) or keeps one whose output failed (1).
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/cups_support.h"
#include "tests/support/subprocess.h"
#include "tests/support/tool_runner.h"

namespace {

using test::kFeedMargin, test::kTapeLength, test::kTapeWidth;

// A page of gray whose columns [first, last) of each bar are black: bars across the tape.
std::vector<uint8_t> Bars(const cups_page_header2_t& header, const std::vector<test::Rows>& bars,
                          uint8_t background) {
  std::vector<uint8_t> pixels(size_t{header.cupsWidth} * header.cupsHeight, background);
  for (size_t y = 0; y < header.cupsHeight; ++y) {
    for (const test::Rows& bar : bars) {
      std::fill_n(pixels.begin() + y * header.cupsWidth + bar.first, bar.second - bar.first, 0);
    }
  }
  return pixels;
}

class RasterFilterTest : public ::testing::Test {
 protected:
  test::ProcessResult Run(const std::vector<test::RasterPage>& pages,
                          const std::string& options = "", const std::string& copies = "1") {
    EXPECT_TRUE(test::WriteRaster(directory_ / "job.ras", pages));
    return Filter({copies, options, directory_ / "job.ras"});
  }
  static test::ProcessResult Filter(std::vector<std::string> arguments, test::ProcessOptions options = {}) {
    arguments.insert(arguments.begin(), {test::BuiltProgram("rastertotq33"), "7", "user", "label"});
    options.environment.insert(options.environment.end(),
                               {{"PPD", ""}, {"TQ33_MODEL_DATA", ""}, {"TQ33_MEDIA_FILE", ""}});
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
  const std::vector<test::Rows> bars = {{300, 320}, {400, 404}, {500, 560}};
  test::RasterPage tape{test::GrayHeader("Laminated_tape_24mm", kTapeLength, kTapeWidth), {}};
  tape.pixels = Bars(tape.header, bars, 200);
  test::RasterPage label{test::GrayHeader("Die-cut_label_24_x_40mm", 99.2, 51.2, 720, 360), {}};
  label.header.cupsPageSize[0] = 113.39f;
  label.header.cupsPageSize[1] = 68.03f;
  const float box[] = {7.2f, 8.43f, 106.4f, 59.63f};
  std::copy(box, box + 4, label.header.cupsImagingBBox);
  label.pixels = Bars(label.header, {{100, 110}}, 0xFF);

  test::ProcessResult run = Run({tape, label}, "TQ33Halftone=Threshold TQ33Mirror=True TQ33AutoCut=False", "2");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Says(run, "PAGE: 1 2\n") && Says(run, "PAGE: 2 2\n")) << run.err;
  EXPECT_TRUE(Says(run, "INFO: Printed 2 pages, 2 copies of each\n")) << run.err;
  EXPECT_TRUE(Says(run, "ATTR: job-media-progress=50\n")) << run.err;

  // Plain output: each page twice, then the document end.
  const tq33stream::Stream stream = test::ParsedStream(run.out);
  ASSERT_EQ(stream.pages.size(), 4u);
  EXPECT_EQ(stream.documents, 1u);
  for (size_t copy = 0; copy < 2; ++copy) {
    const tq33stream::Label& first = stream.pages[copy].labels.at(0);
    EXPECT_EQ(std::tuple(+first.header.feedResolution, +first.header.widthByte, first.header.mirror,
                         first.header.autoCut, first.lines.size()),
              std::tuple(360, 24, true, false, 1417u - 2 * kFeedMargin + 1));
    test::ExpectOnlyBars(first, bars, -kFeedMargin, 0);

    const tq33stream::Label& second = stream.pages[2 + copy].labels.at(0);
    // The label's 496 printable dots at 720 dpi.
    EXPECT_EQ(std::tuple(second.header.feedResolution, second.lines.size()), std::tuple(720, 992u));
    // At 720 dpi the threshold thins the bar's inner lines: only its first must print.
    const std::vector<int> dots = test::DotsPerLine(second);
    EXPECT_EQ(dots.at(100), 256);
    for (size_t line = 0; line < dots.size(); ++line) {
      EXPECT_TRUE((line >= 100 && line < 110) || dots[line] == 0) << dots[line] << " dots on line " << line;
    }
  }
}

TEST_F(RasterFilterTest, PrintsTheSameBytesAsTheToolForTheSameImage) {
  // The queue's page is the tool's landscape page: landscape artwork reaches the filter as
  // it stands, portrait artwork turned by +90 degrees (as CUPS turns it onto the page), and
  // both front ends must then send the printer the same stream. Two things of the driver's
  // own differ between its orientations, so portrait artwork is compared with them aside:
  // error diffusion runs along each head position in the surface's own order (the other
  // halftones are compared), and labels across the head are numbered from the page's left
  // in portrait but from its top in landscape (the same labels come in the other order).
  const std::string tool = test::BuiltProgram("tq33");
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "the tool is not built";
  struct Case {
    bool portrait;
    const char* dpi;
    const char* paper;    // the tool's code and the PPD's keyword of one medium
    const char* keyword;
    const char* halftone;  // as the tool spells it; the PPD's choices take any case
    bool labelsSwapped = false;
  };
  const Case cases[] = {
      {false, "360", "262", "Laminated_tape_24mm", "diffusion"},
      {false, "720", "262", "Laminated_tape_24mm", "threshold"},
      {true, "360", "262", "Laminated_tape_24mm", "ordered"},
      {true, "720", "262", "Laminated_tape_24mm", "threshold"},
      {false, "720", "280", "Laminated_tape_12mm_2_labels_across", "diffusion"},
      {true, "360", "280", "Laminated_tape_12mm_2_labels_across", "ordered", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.keyword) + " " + c.dpi + (c.portrait ? " portrait " : " ") + c.halftone);
    const std::vector<std::string> options = {"--paper", c.paper, "--dpi", c.dpi};
    const test::ToolResult described =
        test::RunTool(test::Join({"info", "--json", "--orientation", "landscape"}, options), directory_.path());
    ASSERT_EQ(described.status, 0) << described.err;
    const nlohmann::json report = nlohmann::json::parse(described.out);
    const uint32_t cx = report["page"]["cx"], cy = report["page"]["cy"];
    const nlohmann::json& gdi = report["gdiinfo"];

    // A gray ramp with a black block in a corner; portrait artwork, cy x cx, is turned
    // onto the landscape page: its top edge along the page's left.
    const uint32_t width = c.portrait ? cy : cx, height = c.portrait ? cx : cy;
    const test::Gray art = test::Ramp(width, height);
    test::WritePgm(directory_ / "art.pgm", art);
    const std::string expected = test::ToolPrint(
        directory_.path(), test::Join({"art.pgm", "--halftone", c.halftone, "--orientation",
                                       c.portrait ? "portrait" : "landscape"}, options));

    // The raster of the page's printable area, placed by its imaging box in points.
    const double xResolution = gdi["ulLogPixelsX"], yResolution = gdi["ulLogPixelsY"];
    const double pageWidth = report["settings"]["privLength"].get<double>() * 72 / 254;
    const double pageHeight = report["settings"]["dmPaperWidth"].get<double>() * 72 / 254;
    test::RasterPage page{test::GrayHeader(c.keyword, pageWidth, pageHeight, static_cast<unsigned>(xResolution),
                                           static_cast<unsigned>(yResolution)), {}};
    page.header.cupsWidth = page.header.cupsBytesPerLine = cx;
    page.header.cupsHeight = cy;
    const double left = gdi["ptlPhysOffset.x"].get<double>() * 72 / xResolution;
    const double top = pageHeight - gdi["ptlPhysOffset.y"].get<double>() * 72 / yResolution;
    const float box[] = {static_cast<float>(left), static_cast<float>(top - cy * 72 / yResolution),
                         static_cast<float>(left + cx * 72 / xResolution), static_cast<float>(top)};
    std::copy(box, box + 4, page.header.cupsImagingBBox);
    page.pixels.resize(size_t{cx} * cy);
    for (uint32_t y = 0; y < cy; ++y) {
      for (uint32_t x = 0; x < cx; ++x)
        page.pixels[size_t{y} * cx + x] = c.portrait ? art.at(width - 1 - y, x) : art.at(x, y);
    }
    const test::ProcessResult filtered = Run({page}, std::string("TQ33Halftone=") + c.halftone);
    ASSERT_EQ(filtered.status, 0) << filtered.err;
    if (!c.labelsSwapped) {
      EXPECT_TRUE(filtered.out == expected);
      continue;
    }
    const tq33stream::Stream ours = test::ParsedStream(filtered.out);
    const tq33stream::Stream tools = test::ParsedStream(expected);
    ASSERT_EQ(ours.pages.size(), 2u);
    ASSERT_EQ(tools.pages.size(), 2u);
    for (size_t label = 0; label < 2; ++label) {
      const auto& a = ours.pages[label].labels.at(0).lines;
      const auto& b = tools.pages[1 - label].labels.at(0).lines;
      ASSERT_EQ(a.size(), b.size());
      for (size_t line = 0; line < a.size(); ++line) EXPECT_TRUE(a[line].dots == b[line].dots);
    }
  }
}

TEST_F(RasterFilterTest, RefusesRasterItCannotPrintWithAnErrorThatEndsTheJob) {
  const cups_page_header2_t gray = test::GrayHeader("Laminated_tape_24mm", kTapeLength, kTapeWidth);
  struct Case {
    const char* what;
    std::vector<test::RasterPage> pages;
    const char* error;
    int status = 0;  // a job that can never print ends; a cut-off one is kept
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
  // Pages longer than their tape prints: 1.2 m of the 24 mm tape, 300 mm of the special
  // tape, which takes 100 mm at most.
  cups_page_header2_t tooLong = gray;
  tooLong.cupsPageSize[0] = 3401.57f;
  cups_page_header2_t special = gray;
  std::strcpy(special.cupsPageSizeName, "VK_24mm_RFID");
  special.cupsPageSize[0] = 850.39f;
  const std::vector<Case> cases = {
      {"colour", {{rgb, {}}}, "ERROR: Page 1: the raster is in colour space 1 (RGB)"},
      {"depth", {{bilevel, {}}}, "ERROR: Page 1: the raster has 1 bits per colour"},
      {"size", {{huge, {}, 0}}, "ERROR: Page 1: the raster of 100 x 21167 mm at 360x360 dpi is larger"},
      {"length", {{tooLong, {}, 0}}, "ERROR: Page 1 is 1200 mm long; Laminated tape 24mm prints at most 1000 mm"},
      {"special", {{special, {}, 0}}, "ERROR: Page 1 is 300 mm long; VK 24mm (RFID) prints at most 100 mm"},
      {"truncated", {{gray, {}}, {gray, {}, 300}}, "ERROR: Page 2 is truncated: the raster ends after line 300 of 340", 1},
      {"empty", {}, "ERROR: The raster holds no page"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::ProcessResult run = Run(c.pages);
    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(Says(run, c.error)) << run.err;
    if (std::string(c.what) == "truncated") {
      // The whole first page goes out, and the document is ended for the printer.
      const tq33stream::Stream stream = test::ParsedStream(run.out);
      EXPECT_EQ(std::tuple(stream.pages.size(), stream.documents), std::tuple(1u, 1u));
    } else {
      EXPECT_TRUE(run.out.empty());
    }
  }

  // Not raster, and nothing at all: the rasterizer before the filter failed, and its own
  // status keeps the job.
  const std::tuple<const char*, const char*, int> others[] = {
      {"%!PS-Adobe-3.0\nshowpage\n", "ERROR: The print data is not CUPS raster", 0},
      {"", "ERROR: No page came: the stage before this filter sent nothing", 1}};
  for (const auto& [data, error, status] : others) {
    ASSERT_TRUE(test::WriteFile(directory_ / "other.ras", data));
    test::ProcessResult other = Filter({"1", "", directory_ / "other.ras"});
    EXPECT_EQ(other.status, status);
    EXPECT_TRUE(Says(other, error)) << other.err;
  }
  // Collated copies' pages are kept in $TMPDIR: without one the job ends in words before
  // printing.
  test::ProcessOptions nowhere;
  nowhere.environment = {{"TMPDIR", directory_ / "missing"}};
  test::ProcessResult collated = Filter({"2", "collate", directory_ / "job.ras"}, nowhere);
  EXPECT_EQ(collated.status, 1);
  EXPECT_TRUE(Says(collated, "ERROR: Cannot keep the pages for collated copies in " +
                                 (directory_ / "missing") + ": No such file")) << collated.err;
  EXPECT_TRUE(collated.out.empty());
  test::ProcessResult usage = Filter({"1"});
  EXPECT_EQ(usage.status, 1);
  EXPECT_TRUE(Says(usage, "Usage: ")) << usage.err;
}

TEST_F(RasterFilterTest, SaysWhatTheMediumOrTheOutputCannotDo) {
  // Paper media print unmirrored: said once for the job, however many pages.
  test::RasterPage paper{test::GrayHeader("Paper_label_24_x_60mm", 170.08, kTapeWidth), {}};
  paper.pixels.assign(size_t{paper.header.cupsWidth} * paper.header.cupsHeight, 0xFF);
  test::ProcessResult mirrored = Run({paper, paper}, "TQ33Mirror=True");
  ASSERT_EQ(mirrored.status, 0) << mirrored.err;
  const std::string warning = "WARNING: Paper label 24 x 60mm is paper media, which prints only "
                              "unmirrored; printing unmirrored\n";
  const size_t first = mirrored.err.find(warning);
  EXPECT_TRUE(first != std::string::npos && mirrored.err.find(warning, first + 1) == std::string::npos)
      << mirrored.err;
  EXPECT_FALSE(test::ParsedStream(mirrored.out).pages.at(0).labels.at(0).header.mirror);

  // An output that refuses the bytes is named with its cause, and keeps the job.
  EXPECT_TRUE(test::WriteRaster(directory_ / "job.ras", {paper}));
  const test::ProcessResult full = test::RunProcess(
      {"/bin/sh", "-c", "exec \"$0\" 7 user label 1 '' \"$1\" > /dev/full",
       test::BuiltProgram("rastertotq33"), directory_ / "job.ras"},
      {.environment = {{"PPD", ""}, {"TQ33_MODEL_DATA", ""}, {"TQ33_MEDIA_FILE", ""}}});
  EXPECT_EQ(full.status, 1);
  EXPECT_TRUE(Says(full, "ERROR: Cannot send page 1 to the printer: No space left on device\n")) << full.err;
}

TEST_F(RasterFilterTest, SigtermCancelsTheJobAndEndsItCleanly) {
  // The scheduler cancels while the filter sets up or waits for the rest of a page.
  test::RasterPage page{test::GrayHeader("Laminated_tape_24mm", kTapeLength, kTapeWidth), {}, 10};
  ASSERT_TRUE(test::WriteRaster(directory_ / "part.ras", {page}));
  const std::string part = test::ReadFile(directory_ / "part.ras");
  test::ProcessOptions options;
  options.feed = [&part](pid_t pid, int input) {
    ASSERT_EQ(write(input, part.data(), part.size()), static_cast<ssize_t>(part.size()));
    // SIGTERM is a cancellation once the filter catches it; before, it would kill the
    // filter as it would any program. The input then ends at once, as it does when the
    // scheduler stops the filter before this one too.
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    for (int i = 0; i < 1000; ++i, usleep(10000)) {
      const std::string text = test::ReadFile(status);
      const size_t at = text.find("SigCgt:");
      if (at != std::string::npos && (std::stoull(text.substr(at + 7), nullptr, 16) >> (SIGTERM - 1)) & 1) break;
    }
    kill(pid, SIGTERM);
  };
  test::ProcessResult run = Filter({"1", ""}, options);
  EXPECT_EQ(run.status, 0) << "SIGTERM is the filter's to handle: " << run.err;
  EXPECT_TRUE(Says(run, "INFO: Job cancelled after 0 pages")) << run.err;
  EXPECT_TRUE(run.out.empty()) << "nothing of the unfinished page";
}

}  // namespace
