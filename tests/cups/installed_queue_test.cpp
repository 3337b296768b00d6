// The installed driver through a real cupsd: this build installed with DESTDIR into a
// staging tree, a private cupsd whose filter and model directories are the tree's (the
// system's other filters, back ends and data linked in beside ours), a queue made by the
// model's name as `lpinfo -m` lists it, and a PNG and a PDF printed on it and decoded.
#include <sys/stat.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "tests/support/cups_support.h"
#include "tests/support/private_cupsd.h"
#include "tests/support/tool_runner.h"

namespace {

constexpr char kModel[] = "tq33/tq33.ppd";

class InstalledQueueTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string missing = test::PrivateCupsd::MissingPrograms();
    if (!missing.empty()) GTEST_SKIP() << "not installed: " << missing;
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    const test::ProcessResult installed =
        test::RunProcess({TQ33_CMAKE_COMMAND, "--install", TQ33_BUILD_DIR},
                         {.environment = {{"DESTDIR", root()}}});
    ASSERT_EQ(installed.status, 0) << installed.out << installed.err;
    const std::string serverBin = root() + TQ33_CUPS_SERVERBIN;
    const std::string dataDir = root() + TQ33_CUPS_DATADIR;
    ASSERT_TRUE(test::LinkMissingEntries(TQ33_CUPS_SERVERBIN, serverBin));
    ASSERT_TRUE(test::LinkMissingEntries(TQ33_CUPS_DATADIR, dataDir));
    ASSERT_EQ(mkdir((dir_ / "cupsd").c_str(), 0755), 0);
    ASSERT_TRUE(cupsd_.Start(dir_ / "cupsd", {serverBin, dataDir}));
  }

  void TearDown() override { cupsd_.Stop(HasFailure()); }

  std::string root() const { return dir_ / "root"; }

  // Prints a file of the scratch directory on the queue; what reached the file device.
  tq33stream::Stream Print(const std::string& name, std::vector<std::string> options) {
    EXPECT_EQ(cupsd_.Print("tq33", dir_ / name, std::move(options)), IPP_JSTATE_COMPLETED) << name;
    return test::ParsedStream(test::ReadFile(dir_ / "out.bin"));
  }

  test::ScratchDir dir_;
  test::PrivateCupsd cupsd_;
};

TEST_F(InstalledQueueTest, QueueByModelNamePrintsPngAndPdfWithTheInstalledFiles) {
  const test::ProcessResult models = cupsd_.Client("lpinfo", {"-m"});
  ASSERT_EQ(models.status, 0) << models.err;
  EXPECT_NE(models.out.find(std::string(kModel) + " Tolvane TQ-33"), std::string::npos) << models.out;
  const test::ProcessResult added =
      cupsd_.Client("lpadmin", {"-p", "tq33", "-E", "-v", "file://" + dir_ / "out.bin", "-m",
                                kModel, "-o", "printer-error-policy=abort-job"});
  ASSERT_EQ(added.status, 0) << added.err;

  // A barcode on a light gray label, on the 24 mm tape: its bars print and nothing else.
  const std::vector<test::Rows> bars = {{100, 120}, {300, 360}};
  test::WritePng(dir_ / "barcode.png", test::BarcodePng(200, 600, bars, 192));
  const std::vector<std::string> options = {"-o", "PageSize=Laminated_tape_24mm", "-o", "ppi=360",
                                            "-o", "TQ33Halftone=Threshold"};
  const tq33stream::Stream png = Print("barcode.png", options);
  ASSERT_EQ(png.pages.size(), 1u);
  const tq33stream::Label& label = png.pages[0].labels.at(0);
  EXPECT_EQ(label.header.widthByte, 24);
  const std::vector<int> dots = test::DotsPerLine(label);
  const int first = static_cast<int>(std::find_if(dots.begin(), dots.end(), [](int d) { return d > 0; }) - dots.begin());
  test::ExpectOnlyBars(label, bars, first - bars[0].first, 2);

  // The same bars as a PDF page of the tape's size (100 mm): cups-filters rasterise it.
  ASSERT_TRUE(test::WriteFile(dir_ / "barcode.pdf", test::BarcodePdf(68.03, 283.46, bars)));
  const tq33stream::Stream pdf = Print("barcode.pdf", options);
  ASSERT_EQ(pdf.pages.size(), 1u);
  test::ExpectOnlyBars(pdf.pages[0].labels.at(0), bars, -57, 3);

  // The installed filter read the installed data, not the copy built into it, and gave the
  // engine the installed driver library (which it need not have loaded itself).
  const std::string log = cupsd_.ErrorLog();
  EXPECT_NE(log.find("Printer installation: driver data file " + root() + TQ33_INSTALL_DATA_DIR "/"),
            std::string::npos);
  EXPECT_NE(log.find("driver library " + root() + TQ33_INSTALL_LIBRARY_DIR "/"), std::string::npos);
}

}  // namespace
