// Read-only files and mappings: what does not open and a view's end. What the driver's
// readers read through them is pinned by MediaDefinitionFile and ModelDataLibraryTest.
#include <filesystem>
#include <string>

#include "tests/host/temp_root.h"
#include "tests/support/host_test.h"

namespace {

class KernelFilesTest : public HostTest {
 protected:
  HANDLE Open(const char16_t* path) {
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }
  test::TempRoot root_;
};

TEST_F(KernelFilesTest, FilesThatAreNotThereOrNotFilesDoNotOpen) {
  EXPECT_EQ(Open(u"C:\\missing.dat"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(Open(u"C:\\no\\such\\dir\\f.dat"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  std::filesystem::create_directories(root_.directory() + "/C/dir");
  EXPECT_EQ(Open(u"C:\\dir"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Open(u"..\\f.dat"), INVALID_HANDLE_VALUE);
  EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(Open(nullptr), INVALID_HANDLE_VALUE);
  // A library in memory is loaded, not read; under a root in /dev/null nothing exists.
  host::SetMemoryLibrary(*host::ToHostPath(u"C:\\lib.dll"), "/lib/x.so");
  EXPECT_EQ(Open(u"C:\\lib.dll"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  host::RemoveMemoryFile(*host::ToHostPath(u"C:\\lib.dll"));
  host::SetWindowsRoot("/dev/null/root");
  EXPECT_EQ(Open(u"C:\\f.dat"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(KernelFilesTest, HandlesThatAreNotOpenAreRefused) {
  root_.Write(u"C:\\f.dat", "x");
  HANDLE file = Open(u"C:\\f.dat");
  ASSERT_TRUE(CloseHandle(file));
  for (HANDLE handle : {file, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(handle));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetFileSize(handle, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr), nullptr);
    EXPECT_EQ(MapViewOfFile(handle, FILE_MAP_READ, 0, 0, 0), nullptr);
  }
  int local = 0;
  EXPECT_FALSE(UnmapViewOfFile(&local));
}

TEST_F(KernelFilesTest, ReadingPastTheEndOfAViewFaults) {
  root_.Write(u"C:\\f.dat", std::string(100, 'x'));
  HANDLE file = Open(u"C:\\f.dat");
  HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  const volatile char* view =
      static_cast<const volatile char*>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[99], 'x');
  EXPECT_DEATH((void)view[112], "");
  UnmapViewOfFile(const_cast<const char*>(view));
  CloseHandle(mapping);
  CloseHandle(file);
}

}  // namespace
