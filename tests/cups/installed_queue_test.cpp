// SPDX-License-Identifier: Apache-2.0
// The installed driver through a real cupsd: this build installed with DESTDIR into a
// staging tree, a private cupsd whose filter and model directories are the tree's (the
// system's other filters, back ends and data linked in beside ours), a queue made by the
// model's name as `lpinfo -m` lists it, and a PNG printed on it with the installed files.
#include <sys/stat.h>

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
    ASSERT_TRUE(test::InstallBuild(root()));
    const std::string serverBin = root() + TQ33_CUPS_SERVERBIN;
    const std::string dataDir = root() + TQ33_CUPS_DATADIR;
    ASSERT_TRUE(test::LinkMissingEntries(TQ33_CUPS_SERVERBIN, serverBin));
    ASSERT_TRUE(test::LinkMissingEntries(TQ33_CUPS_DATADIR, dataDir));
    ASSERT_EQ(mkdir((dir_ / "cupsd").c_str(), 0755), 0);
    ASSERT_TRUE(cupsd_.Start(dir_ / "cupsd", {serverBin, dataDir}));
  }

  void TearDown() override { cupsd_.Stop(HasFailure()); }

  std::string root() const { return dir_ / "root"; }

  test::ScratchDir dir_;
  test::PrivateCupsd cupsd_;
};

TEST_F(InstalledQueueTest, QueueByModelNamePrintsWithTheInstalledFiles) {
  const test::ProcessResult models = cupsd_.Client("lpinfo", {"-m"});
  ASSERT_EQ(models.status, 0) << models.err;
  EXPECT_NE(models.out.find(std::string(kModel) + " Tolvane TQ-33"), std::string::npos) << models.out;
  const test::ProcessResult added =
      cupsd_.Client("lpadmin", {"-p", "tq33", "-E", "-v", "file://" + dir_ / "out.bin", "-m",
                                kModel, "-o", "printer-error-policy=abort-job"});
  ASSERT_EQ(added.status, 0) << added.err;

  // A PNG on the 24 mm tape comes out as one label on it. What the stream holds is the
  // filter's, pinned by CupsQueueTest with the same PNG and a PDF.
  test::WritePng(dir_ / "barcode.png", test::BarcodePng(200, 600, {{100, 120}, {300, 360}}, 192));
  EXPECT_EQ(cupsd_.Print("tq33", dir_ / "barcode.png", {"-o", "PageSize=Laminated_tape_24mm", "-o", "ppi=360"}),
            IPP_JSTATE_COMPLETED);
  const tq33stream::Stream png = test::ParsedStream(test::ReadFile(dir_ / "out.bin"));
  ASSERT_EQ(png.pages.size(), 1u);
  EXPECT_EQ(png.pages[0].labels.at(0).header.widthByte, 24);

  // The installed filter read the installed data, not the copy built into it, and gave the
  // engine the installed driver library (which it need not have loaded itself).
  const std::string log = cupsd_.ErrorLog();
  EXPECT_NE(log.find("Printer installation: driver data file " + root() + TQ33_INSTALL_DATA_DIR "/"),
            std::string::npos);
  EXPECT_NE(log.find("driver library " + root() + TQ33_INSTALL_LIBRARY_DIR "/"), std::string::npos);
}

}  // namespace
