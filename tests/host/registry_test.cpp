// The registry reads of the default options: key lookup, value codes and sizes, handles.
#include "tests/support/host_test.h"

namespace {

constexpr const char16_t* kKey = u"SOFTWARE\\Tolvane\\Quenza\\Driver\\3.0\\TQ-33";

class RegistryTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    host::SetRegistryValue(kKey, u"RegDefaultOptions", REG_BINARY, std::vector<uint8_t>(32, 5));
  }
  LSTATUS Open(HKEY parent, const char16_t* path, HKEY* key) {
    return RegOpenKeyExW(parent, path, 0, KEY_READ, key);
  }
};

TEST_F(RegistryTest, AValueIsFoundCaseInsensitivelyWithItsSizeAndCodes) {
  HKEY key = nullptr;
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"software\\TOLVANE\\quenza\\Driver\\3.0\\tq-33\\", &key),
            ERROR_SUCCESS);
  EXPECT_EQ(host::Live().keys - baseline_.keys, 1);
  DWORD type = 0, size = 0;
  EXPECT_EQ(RegQueryValueExW(key, u"regdefaultoptions", nullptr, &type, nullptr, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 32u);
  EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
  BYTE block[33] = {};
  size = 31;
  EXPECT_EQ(RegQueryValueExW(key, u"RegDefaultOptions", nullptr, nullptr, block, &size),
            ERROR_MORE_DATA);
  EXPECT_EQ(size, 32u);
  EXPECT_EQ(block[0], 0);
  size = sizeof block;
  EXPECT_EQ(RegQueryValueExW(key, u"RegDefaultOptions", nullptr, nullptr, block, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(size, 32u);
  EXPECT_EQ(block[31], 5);
  EXPECT_EQ(block[32], 0);
  EXPECT_EQ(RegQueryValueExW(key, u"Other", nullptr, nullptr, block, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, u"RegDefaultOptions", nullptr, nullptr, block, nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExW(key, u"RegDefaultOptions", nullptr, nullptr, block, &size),
            ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, NeighboursOfTheKeyAndMalformedPathsDoNotOpen) {
  HKEY none = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tolvane\\Quenza\\Driver\\3.0\\TQ-3", &none),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"\\SOFTWARE", &none), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\\\Tolvane", &none), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Open(reinterpret_cast<HKEY>(0x1234), u"SOFTWARE", &none), ERROR_INVALID_HANDLE);
  host::ClearRegistry();
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, kKey, &none), ERROR_FILE_NOT_FOUND);
}

}  // namespace
