// SPDX-License-Identifier: Apache-2.0
// The version block of a resource library: which libraries have none, and a block that was
// not filled. The translation read from it is pinned by DefaultSettingsTest.
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
  // Of 257 blocks filled one after another, the first is forgotten, the second not.
  std::vector<BYTE> blocks(257 * size);
  for (size_t i = 0; i < 257; ++i) ASSERT_TRUE(GetFileVersionInfoW(kLibrary, 0, size, &blocks[i * size]));
  EXPECT_FALSE(VerQueryValueW(&blocks[0], kTranslation, &value, &length));
  EXPECT_TRUE(VerQueryValueW(&blocks[size], kTranslation, &value, &length));
}

}  // namespace
