// SPDX-License-Identifier: Apache-2.0
// Mapping Windows paths onto the host: what maps where, and every path that must not map.
#include <gtest/gtest.h>

#include "host/host.h"

namespace {

class PathsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = host::WindowsRoot();
    host::SetWindowsRoot("/srv/win/");
  }
  void TearDown() override { host::SetWindowsRoot(saved_); }
  std::string saved_;
};

TEST_F(PathsTest, DrivePathsMapUnderTheRootWithEitherSeparatorAndAnUpperCaseDrive) {
  for (auto [windows, expected] :
       {std::pair(u"C:\\TQ33\\drivers\\TQ33KV.DLL", "/srv/win/C/TQ33/drivers/TQ33KV.DLL"), {u"c:/a/b.dll", "/srv/win/C/a/b.dll"},
        {u"D:\\a\\\\.\\b\\", "/srv/win/D/a/b"}, {u"C:\\", "/srv/win/C"}, {u"C:\\Caf\u00e9\\x", "/srv/win/C/Caf\xc3\xa9/x"}})
    EXPECT_EQ(host::ToHostPath(windows), expected) << expected;
}

TEST_F(PathsTest, PathsThatCouldLeaveTheRootOrNameNoFileAreRefused) {
  const std::u16string refused[] = {
      u"", u"a\\b.dll", u"C:a.dll", u"C:", u"\\a\\b", u"\\\\server\\share\\a",
      u"\\\\?\\C:\\a", u"1:\\a", u"C:\\a\\..\\b", u"C:\\..", u"C:/a/../../etc/passwd",
      u"C:\\a\\...\\b", u"C:\\a:stream", u"C:\\a*", u"C:\\a\x01",
      std::u16string(u"C:\\a\0b", 6), std::u16string(u"C:\\a\xD800", 5), u"C:\\" + std::u16string(257, u'x')};
  for (const std::u16string& path : refused) EXPECT_FALSE(host::ToHostPath(path).has_value()) << host::Utf8(path);
  EXPECT_TRUE(host::ToHostPath(u"C:\\" + std::u16string(256, u'x')).has_value());
}

TEST_F(PathsTest, PathsMappedAgainFollowTheRootAsItChanges) {
  // More paths than the thread remembers, each asked for twice, then again under a new root.
  for (const char* root : {"/srv/win", "/other"}) {
    host::SetWindowsRoot(root);
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i < 20; ++i) {
        const std::string name = "f" + std::to_string(i);
        EXPECT_EQ(host::ToHostPath(u"C:\\" + std::u16string(name.begin(), name.end())),
                  std::string(root) + "/C/" + name);
      }
    }
    EXPECT_FALSE(host::ToHostPath(u"C:\\f1\\..").has_value());
  }
  host::SetWindowsRoot("");
  EXPECT_FALSE(host::ToHostPath(u"C:\\f1").has_value());
}

}  // namespace
