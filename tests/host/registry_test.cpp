// SPDX-License-Identifier: Apache-2.0
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
  ASSERT_EQ(Open(HKEY_LOCAL_MACHINE, u"software\\TOLVANE\\quenza\\Driver\\3.0\\tq-33\\", &key), ERROR_SUCCESS);
  EXPECT_EQ(host::Live().keys - baseline_.keys, 1);
  DWORD type = 0, size = 0;
  BYTE block[33] = {};
  auto query = [&](const char16_t* name, BYTE* out, DWORD room, DWORD* gotType = nullptr) {
    size = room;
    return RegQueryValueExW(key, name, nullptr, gotType, out, &size);
  };
  EXPECT_EQ(query(u"regdefaultoptions", nullptr, 0, &type), ERROR_SUCCESS);
  EXPECT_EQ(std::tuple(size, type), std::tuple(32u, DWORD{REG_BINARY}));
  EXPECT_EQ(query(u"RegDefaultOptions", block, 31), ERROR_MORE_DATA);
  EXPECT_EQ(std::tuple(size, block[0]), std::tuple(32u, BYTE{0}));
  EXPECT_EQ(query(u"RegDefaultOptions", block, sizeof block), ERROR_SUCCESS);
  EXPECT_EQ(std::tuple(size, block[31], block[32]), std::tuple(32u, BYTE{5}, BYTE{0}));
  EXPECT_EQ(RegQueryValueExW(key, u"Other", nullptr, nullptr, block, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(key, u"RegDefaultOptions", nullptr, nullptr, block, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegQueryValueExW(key, u"RegDefaultOptions", nullptr, nullptr, block, &size), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, NeighboursOfTheKeyAndMalformedPathsDoNotOpen) {
  HKEY none = reinterpret_cast<HKEY>(1);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tolvane\\Quenza\\Driver\\3.0\\TQ-3", &none), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"\\SOFTWARE", &none), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\\\Tolvane", &none), ERROR_BAD_PATHNAME);
  EXPECT_EQ(Open(reinterpret_cast<HKEY>(0x1234), u"SOFTWARE", &none), ERROR_INVALID_HANDLE);
  // A key whose name only begins with another's ("Tolvane!", sorted between "Tolvane" and
  // the keys below it) neither hides those keys nor makes the shorter name a key.
  host::SetRegistryValue(u"SOFTWARE\\Tolvane!", u"Other", REG_DWORD, std::vector<uint8_t>(4));
  HKEY ancestor = nullptr;
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"software\\tolvane", &ancestor), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(ancestor), ERROR_SUCCESS);
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Tolv", &none), ERROR_FILE_NOT_FOUND);
  host::ClearRegistry();
  EXPECT_EQ(Open(HKEY_LOCAL_MACHINE, kKey, &none), ERROR_FILE_NOT_FOUND);
}

}  // namespace
