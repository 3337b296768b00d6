// The whole road on Linux: a private cupsd on 127.0.0.1 with a TQ-33 queue made of the
// generated PPD and the built filter, a PNG and a PDF printed with lp to a file device,
// and the file decoded as the printer would read it.
#include <algorithm>

#include <gtest/gtest.h>

#include "cups/ppd_generator.h"
#include "tests/support/cups_support.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/private_cupsd.h"
#include "tests/support/tool_runner.h"

namespace {

using test::BarcodePng;

// The 24 mm tape's named size (100 mm) in points; at 360 dpi raster row = points * 5,
// and the driver's first line is raster row 57, below the feed margin.
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
  // A barcode on a light gray label, printed at its size in the middle of the 24 mm tape:
  // with the threshold its bars print, whole, and nothing else.
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

  // The barcode as a PDF page of the tape's size, three copies: the driver prints the
  // copies, each with the bars where the page has them. Ghostscript makes its page a whole
  // number of points high and keeps the PDF's lower edge, which lifts the content by the
  // fraction of a point it drops (0.46 pt, under 3 lines).
  ASSERT_TRUE(test::WriteFile(dir_ / "barcode.pdf", test::BarcodePdf(kWidth, kLength, bars)));
  threshold.insert(threshold.end(), {"-n", "3"});
  const tq33stream::Stream pdf = test::ParsedStream(Print("barcode.pdf", threshold));
  ASSERT_EQ(pdf.pages.size(), 3u) << "three copies of one page";
  EXPECT_EQ(pdf.documents, 1u);
  for (const tq33stream::Page& copy : pdf.pages)
    test::ExpectOnlyBars(copy.labels.at(0), bars, -kFeedMargin, 3);
}

}  // namespace
