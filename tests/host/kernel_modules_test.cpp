// SPDX-License-Identifier: Apache-2.0
// Loading libraries by Windows path, as the driver loads itself and the model-data library.
#include <filesystem>

#include "driver/ddi.h"
#include "tests/host/temp_root.h"
#include "tests/support/host_test.h"

namespace {

class KernelModulesTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    std::string link = host::ToHostPath(kDriverPath).value();
    std::filesystem::create_directories(std::filesystem::path(link).parent_path());
    std::filesystem::create_symlink(TQ33_BINARY_DIR "/libtq33drv.so", link);
  }
  static constexpr const char16_t* kDriverPath = u"C:\\TQ33\\drivers\\TQ33KV.DLL";
  test::TempRoot root_;
};

TEST_F(KernelModulesTest, TheDriverLoadsItselfByPathAndEveryReferenceIsCounted) {
  HMODULE first = LoadLibraryW(kDriverPath);
  HMODULE second = LoadLibraryW(u"c:/TQ33/drivers/TQ33KV.DLL");
  ASSERT_TRUE(first && first == second);
  EXPECT_EQ(host::Live().modules - baseline_.modules, 2);
  EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(first, "DrvEnableDriver")),
            reinterpret_cast<void*>(&DrvEnableDriver));
  EXPECT_TRUE(FreeLibrary(first) && FreeLibrary(second));
  EXPECT_FALSE(FreeLibrary(first) || GetProcAddress(first, "DrvEnableDriver"));
  EXPECT_EQ(host::Live().badReleases, ++baseline_.badReleases) << "a library freed once too often";
}

TEST_F(KernelModulesTest, OnlyTheModulesOwnExportsAreFound) {
  HMODULE module = LoadLibraryW(kDriverPath);
  ASSERT_NE(module, nullptr);
  // The driver links the host library, whose calls the loader would otherwise find too.
  EXPECT_EQ(GetProcAddress(module, "CreateFileW"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
  EXPECT_FALSE(GetProcAddress(module, "NoSuchExport") || GetProcAddress(module, reinterpret_cast<LPCSTR>(1)));
  EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(KernelModulesTest, MissingOrBrokenLibrariesDoNotLoad) {
  root_.Write(u"C:\\TQ33\\drivers\\3\\TQ33Ki3.dll", "not a library");
  for (const char16_t* path : {u"C:\\TQ33\\drivers\\3\\TQ33Ki3.dll", u"C:\\missing.dll", u"TQ33KV.DLL"}) {
    SetLastError(0);
    EXPECT_EQ(LoadLibraryW(path), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  }
}

}  // namespace
