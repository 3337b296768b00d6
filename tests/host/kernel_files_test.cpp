// SPDX-License-Identifier: Apache-2.0
// Read-only files and mappings: what does not open, and the views of files on disk and in
// memory. What the driver's readers read through them is pinned by MediaDefinitionFile
// and ModelDataLibraryTest.
#include <filesystem>
#include <string>
#include <vector>

#include "tests/host/temp_root.h"
#include "tests/support/host_test.h"

namespace {

class KernelFilesTest : public HostTest {
 protected:
  HANDLE Open(const char16_t* path) {
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  // A read-only view of bytes of the file (0: all of it), its handles closed.
  const volatile char* View(const char16_t* name, SIZE_T bytes) {
    HANDLE file = Open(name);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    const void* base = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, bytes);
    EXPECT_TRUE(CloseHandle(mapping) && CloseHandle(file));
    return static_cast<const volatile char*>(base);
  }
  test::TempRoot root_;
};

TEST_F(KernelFilesTest, FilesThatAreNotThereOrNotFilesDoNotOpen) {
  std::filesystem::create_directories(root_.directory() + "/C/dir");
  for (auto [path, error] : {std::pair<const char16_t*, DWORD>{u"C:\\missing.dat", ERROR_FILE_NOT_FOUND},
        {u"C:\\no\\such\\dir\\f.dat", ERROR_FILE_NOT_FOUND}, {u"C:\\dir", ERROR_ACCESS_DENIED}}) {
    EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE) << host::Utf8(path);
    EXPECT_EQ(GetLastError(), error) << host::Utf8(path);
  }
  // Under a root in /dev/null nothing exists.
  host::SetWindowsRoot("/dev/null/root");
  EXPECT_EQ(Open(u"C:\\f.dat"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// A view of a file on disk or in memory outlives its handles, the other views and the
// file's replacement, and ends before an inaccessible page.
TEST_F(KernelFilesTest, ViewsOutliveTheirHandlesAndTheFileAndEndBeforeAFault) {
  root_.Write(u"C:\\f.dat", std::string(100, 'x'));
  const volatile char* disk = View(u"C:\\f.dat", 0);
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk[99], 'x');
  EXPECT_DEATH((void)disk[112], "");
  EXPECT_TRUE(UnmapViewOfFile(const_cast<const char*>(disk)));
  const std::string path = *host::ToHostPath(u"C:\\m.dat");
  host::SetMemoryFile(path, std::vector<uint8_t>(100, 'a'));
  const volatile char* whole = View(u"C:\\m.dat", 0);
  const volatile char* again = View(u"C:\\m.dat", 100);
  const volatile char* part = View(u"C:\\m.dat", 40);
  ASSERT_TRUE(whole && again && part);
  host::SetMemoryFile(path, std::vector<uint8_t>(50, 'b'));
  const volatile char* replaced = View(u"C:\\m.dat", 0);
  ASSERT_NE(replaced, nullptr);
  EXPECT_TRUE(UnmapViewOfFile(const_cast<const char*>(whole)));
  EXPECT_EQ(std::tuple(again[99], part[39], replaced[49]), std::tuple('a', 'a', 'b'));
  EXPECT_DEATH((void)part[48], "");
  EXPECT_DEATH((void)replaced[64], "");
  for (const volatile char* base : {again, part, replaced})
    EXPECT_TRUE(UnmapViewOfFile(const_cast<const char*>(base)));
  host::RemoveMemoryFile(path);
}

// A file replaced by a shorter one is copied into the region the first was released from:
// the new view holds zeros, not the old bytes, up to its 16-byte end, and is as guarded.
TEST_F(KernelFilesTest, AViewInTheRegionOfAReleasedOneHoldsOnlyItsOwnFile) {
  const std::string path = *host::ToHostPath(u"C:\\m.dat");
  host::SetMemoryFile(path, std::vector<uint8_t>(112, 'a'));
  EXPECT_TRUE(UnmapViewOfFile(const_cast<const char*>(View(u"C:\\m.dat", 0))));
  host::SetMemoryFile(path, std::vector<uint8_t>(100, 'b'));
  volatile char* view = const_cast<volatile char*>(View(u"C:\\m.dat", 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[99], 'b');
  for (int i = 100; i < 112; ++i) EXPECT_EQ(view[i], 0) << i;
  EXPECT_DEATH(view[0] = 'c', "");
  EXPECT_DEATH((void)view[112], "");
  EXPECT_TRUE(UnmapViewOfFile(const_cast<const char*>(view)));
  host::RemoveMemoryFile(path);
}

}  // namespace
