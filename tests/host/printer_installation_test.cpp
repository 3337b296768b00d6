// SPDX-License-Identifier: Apache-2.0
// An installation laid out on disk: where it goes, and what goes with it.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "host/printer_installation.h"
#include "tests/host/temp_root.h"
#include "tests/support/host_test.h"

namespace {

class PrinterInstallationTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    std::ofstream(scratch_ + "/file") << "kept";
  }
  void TearDown() override {
    unsetenv("TMPDIR");
    HostTest::TearDown();
  }
  test::TempRoot root_;
  const std::string scratch_ = root_.directory();
};

TEST_F(PrinterInstallationTest, ItGoesInTmpdirAndNothingALinkInItReachesGoesWithIt) {
  std::string error;
  setenv("TMPDIR", (scratch_ + "/file").c_str(), 1);
  EXPECT_FALSE(host::PrinterInstallation::Create({}, &error));
  EXPECT_EQ(error, "cannot make a directory for the installation in $TMPDIR: Not a directory");
  setenv("TMPDIR", scratch_.c_str(), 1);
  auto installation = host::PrinterInstallation::Create({}, &error);
  ASSERT_TRUE(installation) << error;
  const std::string root = installation->root();
  EXPECT_EQ(root.rfind(scratch_ + "/tq33-install-", 0), 0u) << root;
  // Links inside (the installed libraries, and one to a directory outside) are removed
  // with it, not followed.
  ASSERT_EQ(symlink(scratch_.c_str(), (root + "/C/elsewhere").c_str()), 0);
  EXPECT_TRUE(installation->HasFile(u"C:\\elsewhere\\file"));
  installation.reset();
  struct stat status;
  EXPECT_NE(lstat(root.c_str(), &status), 0);
  EXPECT_EQ(host::ReadWholeFile(scratch_ + "/file"), std::vector<uint8_t>({'k', 'e', 'p', 't'}));
}

}  // namespace
