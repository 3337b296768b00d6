// SPDX-License-Identifier: Apache-2.0
// The media definition file: its name beside the driver and what is read from it.
#include <unistd.h>

#include "tests/host/temp_root.h"
#include "tests/support/test_context.h"
#include "tests/support/media_file_writer.h"

namespace {

std::string File(DWORD records, std::optional<WORD> declared = std::nullopt) {
  std::vector<test::Definition> labels;
  for (DWORD i = 0; i < records; ++i) labels.push_back({u"L", 0, 262 + i, 4000 + i, 300});
  return test::MediaFileBytes(labels, declared);
}

class MediaDefinitionFile : public HostTest {
 protected:
  // Reads the file beside C:\drv\TQ33KV.DLL and checks the records and the 0xFF fill
  // behind them; the count, -1 when no block came back.
  LONG Read(const std::string& bytes, const WCHAR* driverPath = u"C:\\drv\\TQ33KV.DLL") {
    root_.Write(u"C:\\drv\\TQ33KV.DAT", bytes);
    LONG count = 12345;
    auto* block = reinterpret_cast<char*>(ReadMediaDefinitions(driverPath, &count));
    if (!block) return count == -1 ? -1 : -2;
    std::string expected = bytes.substr(std::min<size_t>(10, bytes.size()), count * 142);
    expected.resize(MEDIA_DEFINITION_BLOCK_SIZE, '\xFF');
    EXPECT_EQ(std::string(block, MEDIA_DEFINITION_BLOCK_SIZE), expected);
    GlobalFree(block);
    return count;
  }
  test::TempRoot root_;
};

TEST(DefinitionFileName, ReplacesWhatFollowsTheLastDotAndRefusesWhatWouldNotFit) {
  auto name = [](const std::u16string& driverPath) {
    WCHAR built[MAX_PATH] = {u'?'};
    BOOL fits = BuildDefinitionFileName(built, driverPath.c_str());
    return (fits ? u"" : u"refused:") + std::u16string(built);
  };
  EXPECT_EQ(name(u"C:\\dir.old\\driver"), u"C:\\dir.DAT");
  EXPECT_EQ(name(u"C:\\drv\\driver"), u"C:\\drv\\driver.DAT");
  std::u16string longest(255, u'x');  // with ".DAT" and the terminator: 260 units
  EXPECT_EQ(std::tuple(name(longest), name(longest + u"x")), std::tuple(longest + u".DAT", u"refused:"));
}

TEST_F(MediaDefinitionFile, OnlyWholeDeclaredRecordsOfAFileFoundAreReadUpToTheSlots) {
  EXPECT_EQ(Read(File(3)), 3);
  EXPECT_EQ(Read(File(5, 1)), 1);
  // Every truncation: the host's views end at an inaccessible page, so an over-read faults.
  std::string two = File(2);
  for (size_t length = 1; length < two.size(); ++length) {
    ASSERT_EQ(Read(two.substr(0, length)), length < 152 ? 0 : 1) << length;
  }
  // A longer file gives the first 23 slots; an empty one none; one that cannot be found, no
  // block. (Each of its calls failing in turn is met by the fault sweep.)
  EXPECT_EQ(Read(File(30)), 23);
  EXPECT_EQ(Read(""), 0);
  EXPECT_EQ(Read(File(2), u"C:\\other\\TQ33KV.DLL"), -1);
  // Nor one past 4 GB, whose size the low word cannot hold.
  ASSERT_EQ(truncate64(root_.Write(u"C:\\drv\\TQ33KV.DAT", "").c_str(), (int64_t{1} << 32) + 16), 0);
  EXPECT_EQ(ReadMediaDefinitions(u"C:\\drv\\TQ33KV.DLL", nullptr), nullptr);
}

// A definition longer than every medium's longest label is cleared; a kept one's margin is
// bounded by its own tape (special media allow 49 mm, the normal limit is 27 mm).
TEST(SettledDefinitions, KeepLengthsSomeMediumTakesAndMarginsTheirTapeAllows) {
  test::TestContext special({test::SpecialTape(300, 240, 128)});
  test::TestContext both({test::Tape(262, 240, 128), test::SpecialTape(300, 240, 128)});
  auto settled = [](const test::TestContext& media, DWORD length) {
    MediaDefinition definition = {{}, 0, 300, length, 3000};
    SettleDefinitions(&definition, 1, &media->modelData);
    return definition.defMargin;  // all ones when cleared
  };
  // In hundredths: 10004 rounds to the special tape's 1000 tenths, 10005 to one more.
  EXPECT_EQ(std::vector<DWORD>({settled(special, 10004), settled(special, 10005), settled(both, 20000)}),
            std::vector<DWORD>({3000, 0xFFFFFFFF, 3000}));
}

}  // namespace
