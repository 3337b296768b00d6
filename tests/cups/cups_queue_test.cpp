// The whole road on Linux: a private cupsd on 127.0.0.1 with a TQ-33 queue made of the
// generated PPD and the built filter, PNGs and PDFs printed with lp to a file device, and
// the file decoded as the printer would read it or compared with the tool's.
#include <algorithm>
#include <numeric>

#include <gtest/gtest.h>

#include "cups/ppd_generator.h"
#include "tests/support/cups_support.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/private_cupsd.h"
#include "tests/support/tool_runner.h"

namespace {

using test::BarcodePng;

// The 24 mm tape's named size (100 mm) in points; at 360 dpi a dot is 1/5 point, and the
// driver's first line lies 57 dots along the tape.
constexpr double kWidth = 68.03;
constexpr double kLength = 283.46;
constexpr int kFeedMargin = 57;

class CupsQueueTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    const std::string missing = test::PrivateCupsd::MissingPrograms();
    if (!missing.empty()) GTEST_SKIP() << "not installed: " << missing;
    ASSERT_TRUE(cupsd_.Start(dir_.path()));

    tq33cups::PpdSource source;
    source.filter = test::BuiltProgram("rastertotq33");
    if (!test::FilterUserCanRun(source.filter)) {
      // Run by root from a tree the filter user cannot enter: the same filter, installed
      // with this build into the scratch directory.
      ASSERT_TRUE(test::InstallBuild(dir_ / "root"));
      source.filter = dir_ / "root" + TQ33_CUPS_SERVERBIN "/filter/rastertotq33";
    }
    std::string ppd;
    std::string error;
    ASSERT_TRUE(tq33cups::GeneratePpd(installation_->printer(), source, &ppd, &error)) << error;
    ASSERT_TRUE(test::WriteFile(dir_ / "tq33.ppd", ppd));
    test::ProcessResult added = cupsd_.Client(
        "lpadmin", {"-p", "tq33", "-E", "-v", "file://" + dir_ / "out.bin", "-P", dir_ / "tq33.ppd",
                    "-o", "printer-error-policy=abort-job"});
    ASSERT_EQ(added.status, 0) << added.err;
  }

  void TearDown() override {
    cupsd_.Stop(HasFailure());
    EngineTest::TearDown();
  }

  // Prints a file of the scratch directory with lp, waits for the job to end, and returns
  // what reached the file device.
  std::string Print(const std::string& name, std::vector<std::string> options) {
    EXPECT_EQ(cupsd_.Print("tq33", dir_ / name, std::move(options)), IPP_JSTATE_COMPLETED) << name;
    return test::ReadFile(dir_ / "out.bin");
  }

  test::ScratchDir dir_;
  test::PrivateCupsd cupsd_;
};

TEST_F(CupsQueueTest, PngAndPdfPrintThroughARealCupsdToTheRightStream) {
  // A barcode on a light gray label, portrait artwork with its bars across the tape, printed
  // at its size in the middle of the 24 mm tape: CUPS turns it onto the landscape page and
  // the driver turns it back. With the threshold its bars print, whole, and nothing else.
  const std::vector<test::Rows> bars = {{100, 120}, {200, 204}, {300, 360}, {420, 430}};
  test::WritePng(dir_ / "barcode.png", BarcodePng(200, 1000, bars, 192));
  std::vector<std::string> threshold = {"-o", "PageSize=Laminated_tape_24mm", "-o", "ppi=360",
                                        "-o", "TQ33Halftone=Threshold"};
  const tq33stream::Stream png = test::ParsedStream(Print("barcode.png", threshold));
  ASSERT_EQ(png.pages.size(), 1u);
  EXPECT_EQ(png.pages[0].labels.at(0).header.widthByte, 24);
  const std::vector<int> dots = test::DotsPerLine(png.pages[0].labels.at(0));
  const int first = static_cast<int>(std::find_if(dots.begin(), dots.end(), [](int d) { return d > 0; }) - dots.begin());
  test::ExpectOnlyBars(png.pages[0].labels.at(0), bars, first - bars[0].first, 2);
  EXPECT_NEAR(*std::max_element(dots.begin(), dots.end()), 200, 2) << "the bars' width";

  // The barcode as a portrait PDF page of the tape's size, three copies in one document,
  // each with the bars where the page has them. Ghostscript makes its page a whole number
  // of points, which moves the content by the fraction of a point it drops (0.46 pt,
  // under 3 lines).
  ASSERT_TRUE(test::WriteFile(dir_ / "barcode.pdf", test::BarcodePdf(kWidth, kLength, bars)));
  threshold.insert(threshold.end(), {"-n", "3"});
  const tq33stream::Stream pdf = test::ParsedStream(Print("barcode.pdf", threshold));
  ASSERT_EQ(pdf.pages.size(), 3u) << "three copies of one page";
  EXPECT_EQ(pdf.documents, 1u);
  for (const tq33stream::Page& copy : pdf.pages)
    test::ExpectOnlyBars(copy.labels.at(0), bars, -kFeedMargin, 3);
}

TEST_F(CupsQueueTest, LandscapeArtworkPrintsAsTheToolPrintsItInLandscape) {
  // A PNG the size of the tape's printable area (1304 x 256 dots at 360 dpi): CUPS leaves
  // it as it stands on the queue's landscape page, and the stream is the tool's to the byte.
  test::PngLayout png{1304, 256};
  png.samples.resize(size_t{png.width} * png.height);
  for (uint32_t y = 0; y < png.height; ++y) {
    for (uint32_t x = 0; x < png.width; ++x)
      png.samples[size_t{y} * png.width + x] = x < 300 && y < 100 ? 0 : (x * 7 + y * 13) % 256;
  }
  test::WritePng(dir_ / "wide.png", png);
  const std::string queued =
      Print("wide.png", {"-o", "PageSize=Laminated_tape_24mm", "-o", "ppi=360"});
  const test::ToolResult tool = test::RunTool({"print", "wide.png", "--paper", "262", "--orientation",
                                               "landscape", "--plain", "-o", "tool.bin"},
                                              dir_.path());
  ASSERT_EQ(tool.status, 0) << tool.err;
  EXPECT_TRUE(queued == test::ReadFile(dir_ / "tool.bin"));

  // A landscape PDF page of the tape's size, black in its upper left quarter, prints that
  // block on the first quarter of the tape, as the tool prints the page's left: turned any
  // other way it would come last.
  const std::string quarter = "0 g 0 " + std::to_string(kWidth / 2) + " " + std::to_string(kLength / 4) +
                              " " + std::to_string(kWidth / 2) + " re f\n";
  ASSERT_TRUE(test::WriteFile(dir_ / "wide.pdf", test::Pdf(kLength, kWidth, {quarter})));
  const tq33stream::Stream pdf = test::ParsedStream(
      Print("wide.pdf", {"-o", "PageSize=Laminated_tape_24mm", "-o", "TQ33Halftone=Threshold"}));
  ASSERT_EQ(pdf.pages.size(), 1u);
  test::ExpectOnlyBars(pdf.pages[0].labels.at(0), {{0, 354}}, -kFeedMargin, 3);
}

TEST_F(CupsQueueTest, EveryPageComesExactlyCopiesTimesCollatedWhenAsked) {
  // Pages told apart by their dots: a PNG; PDFs of one and two pages with one and two
  // blocks; text of one and of two pages (a form feed between them).
  test::WritePng(dir_ / "label.png", BarcodePng(200, 200, {{50, 90}}, 255));
  const std::string block = "0 g 20 20 40 40 re f\n";
  ASSERT_TRUE(test::WriteFile(dir_ / "one.pdf", test::Pdf(kLength, kWidth, {block})));
  ASSERT_TRUE(test::WriteFile(dir_ / "two.pdf", test::Pdf(kLength, kWidth, {block, block + "0 g 100 20 40 40 re f\n"})));
  ASSERT_TRUE(test::WriteFile(dir_ / "one.txt", "Label\n"));
  ASSERT_TRUE(test::WriteFile(dir_ / "two.txt", "Label one\n\fLabel number two\n"));
  struct Case {
    const char* file;
    const char* copies;
    bool collate;
    std::vector<int> pages;  // the document's page printed at each position
  };
  const Case cases[] = {
      {"label.png", "3", false, {0, 0, 0}}, {"label.png", "2", true, {0, 0}},
      {"one.pdf", "3", true, {0, 0, 0}},    {"two.pdf", "2", true, {0, 1, 0, 1}},
      {"two.pdf", "2", false, {0, 0, 1, 1}}, {"one.txt", "3", false, {0, 0, 0}},
      {"two.txt", "2", true, {0, 1, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " -n " + c.copies + (c.collate ? " collated" : ""));
    std::vector<std::string> options = {"-n", c.copies, "-o", "TQ33Halftone=Threshold"};
    if (c.collate) options.insert(options.end(), {"-o", "collate=true"});
    const tq33stream::Stream stream = test::ParsedStream(Print(c.file, options));
    ASSERT_EQ(stream.pages.size(), c.pages.size());
    std::vector<size_t> dots;
    for (const tq33stream::Page& page : stream.pages) {
      const std::vector<int> lines = test::DotsPerLine(page.labels.at(0));
      dots.push_back(std::accumulate(lines.begin(), lines.end(), size_t{0}));
    }
    for (size_t i = 0; i < dots.size(); ++i) {
      for (size_t j = 0; j < i; ++j)
        EXPECT_EQ(dots[i] == dots[j], c.pages[i] == c.pages[j]) << "pages " << j << " and " << i;
    }
  }
}

}  // namespace
