// The version block of a resource library, read as the default settings read it.
#include <memory>

#include "host/printer_installation.h"
#include "tests/host/temp_root.h"
#include "tests/support/host_test.h"

namespace {

constexpr const char16_t* kLibrary = u"C:\\TQ33\\drivers\\3\\TQ33Kr.dll";
constexpr const char16_t* kTranslation = u"\\VarFileInfo\\Translation";

class VersionTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    path_ = host::ToHostPath(kLibrary).value();
    ASSERT_TRUE(host::WriteResourceLibrary(path_, 0x0409, 0x04B0));
  }
  test::TempRoot root_;
  std::string path_;
};

TEST_F(VersionTest, TheTranslationPairIsFoundInTheCopiedBlock) {
  DWORD handle = 7;
  DWORD size = GetFileVersionInfoSizeW(kLibrary, &handle);
  ASSERT_GT(size, 0u);
  EXPECT_EQ(handle, 0u);
  std::vector<BYTE> block(size);
  EXPECT_FALSE(GetFileVersionInfoW(kLibrary, 0, size - 1, block.data()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(GetFileVersionInfoW(kLibrary, 0, size, block.data()));
  void* value = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), kTranslation, &value, &length));
  ASSERT_EQ(length, 4u);
  const BYTE* pair = static_cast<const BYTE*>(value);
  EXPECT_GE(pair, block.data());
  EXPECT_LE(pair + 4, block.data() + size);
  EXPECT_EQ(pair[0] | pair[1] << 8, 0x0409);
  EXPECT_EQ(pair[2] | pair[3] << 8, 0x04B0);
  EXPECT_TRUE(VerQueryValueW(block.data(), u"\\varfileinfo\\TRANSLATION", &value, &length));
  EXPECT_FALSE(VerQueryValueW(block.data(), u"\\", &value, &length));
  EXPECT_FALSE(VerQueryValueW(block.data(), u"\\StringFileInfo\\040904B0\\FileVersion", &value,
                              &length));
}

TEST_F(VersionTest, MissingAndMalformedLibrariesHaveNoVersionBlock) {
  EXPECT_EQ(GetFileVersionInfoSizeW(u"C:\\TQ33\\missing.dll", nullptr), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(GetFileVersionInfoSizeW(u"\\3\\TQ33Kr.dll", nullptr), 0u);

  const std::vector<uint8_t> file = host::ReadWholeFile(path_).value();
  const std::string good(file.begin(), file.end());
  std::string truncated = good.substr(0, good.size() - 4);
  std::string longKey = good;
  longKey[9] = '\x7f';  // key length far beyond the block
  std::string longValue = good;
  longValue[10] = '\x40';  // value length beyond the block
  std::string statedLonger = good;
  statedLonger[4] = static_cast<char>(good.size() + 4);
  for (const std::string& bad : {std::string("MZ"), truncated, longKey, longValue, statedLonger}) {
    root_.Write(kLibrary, bad);
    EXPECT_EQ(GetFileVersionInfoSizeW(kLibrary, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_RESOURCE_TYPE_NOT_FOUND));
    std::vector<BYTE> block(256);
    EXPECT_FALSE(GetFileVersionInfoW(kLibrary, 0, 256, block.data()));
  }
}

TEST_F(VersionTest, ABlockThatWasNotFilledIsNeverRead) {
  // The default settings query the block even when filling it failed.
  auto tiny = std::make_unique<BYTE[]>(1);
  EXPECT_FALSE(GetFileVersionInfoW(u"C:\\TQ33\\missing.dll", 0, 1, tiny.get()));
  void* value = nullptr;
  UINT length = 9;
  EXPECT_FALSE(VerQueryValueW(tiny.get(), kTranslation, &value, &length));
  EXPECT_EQ(length, 0u);

  DWORD size = GetFileVersionInfoSizeW(kLibrary, nullptr);
  std::vector<BYTE> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(kLibrary, 0, size, block.data()));
  EXPECT_FALSE(GetFileVersionInfoW(u"C:\\TQ33\\missing.dll", 0, size, block.data()));
  EXPECT_FALSE(VerQueryValueW(block.data(), kTranslation, &value, &length));
}

}  // namespace
