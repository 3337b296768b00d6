// The media definition file: its name beside the driver, the limits on what is read from
// it, and the definitions that paper size codes name.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "device/media_definitions.h"
#include "tests/host/temp_root.h"
#include "tests/support/host_test.h"
#include "tests/support/media_file_writer.h"

namespace {

constexpr char16_t kDriverPath[] = u"C:\\drv\\TQ33KV.DLL";
constexpr char16_t kFilePath[] = u"C:\\drv\\TQ33KV.DAT";

std::u16string NameFor(const std::u16string& driverPath) {
  WCHAR name[PATH_UNITS];
  std::memset(name, 0x55, sizeof(name));
  if (!BuildDefinitionFileName(name, driverPath.c_str())) return u"<refused:" + std::u16string(name) + u">";
  return name;
}

std::vector<test::Definition> Labels(size_t count) {
  std::vector<test::Definition> labels;
  for (size_t i = 0; i < count; ++i) {
    labels.push_back({u"Label " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)),
                      static_cast<WORD>(i % 2), 262u + static_cast<DWORD>(i),
                      4000u + 100u * static_cast<DWORD>(i), 300u});
  }
  return labels;
}

class MediaDefinitionFile : public HostTest {
 protected:
  // Reads the file at kFilePath; the block (if any) is kept for the test's checks.
  LONG Read(const std::string& bytes) {
    root_.Write(kFilePath, bytes);
    return Read();
  }
  LONG Read() {
    Release();
    LONG count = 12345;
    block_ = ReadMediaDefinitions(kDriverPath, &count);
    EXPECT_EQ(block_ == nullptr, count == -1) << "count -1 exactly when there is no block";
    return count;
  }
  void Release() {
    if (block_) GlobalFree(block_);
    block_ = nullptr;
  }
  void TearDown() override {
    Release();
    ExpectNothingLeaked();
    HostTest::TearDown();
  }
  // Slots from `from` to the last hold nothing but the 0xFF fill.
  void ExpectFillFrom(LONG from) {
    const BYTE* bytes = reinterpret_cast<const BYTE*>(block_);
    for (DWORD i = static_cast<DWORD>(from) * MEDIA_DEFINITION_SIZE; i < MEDIA_DEFINITION_BLOCK_SIZE; ++i) {
      ASSERT_EQ(bytes[i], 0xFF) << "byte " << i;
    }
  }

  test::TempRoot root_;
  MediaDefinition* block_ = nullptr;
};

TEST(DefinitionFileName, ReplacesWhatFollowsTheLastDotAnywhereInThePath) {
  EXPECT_EQ(NameFor(u"C:\\drv\\TQ33KV.DLL"), u"C:\\drv\\TQ33KV.DAT");
  EXPECT_EQ(NameFor(u"C:\\dir.old\\driver"), u"C:\\dir.DAT");
  EXPECT_EQ(NameFor(u"C:\\drv\\driver"), u"C:\\drv\\driver.DAT");
  EXPECT_EQ(NameFor(u"C:\\drv\\driver."), u"C:\\drv\\driver.DAT");
  EXPECT_EQ(NameFor(u""), u".DAT");
}

TEST(DefinitionFileName, ANameThatWouldNotFitIsRefusedWithAnEmptyBuffer) {
  // 255 units and ".DAT" fill the 260 units exactly, terminator included.
  std::u16string longest(255, u'x');
  EXPECT_EQ(NameFor(longest), longest + u".DAT");
  EXPECT_EQ(NameFor(longest + u"x"), u"<refused:>");
  // With a dot the extension is replaced, so a 259-unit path still fits.
  std::u16string dotted(255, u'x');
  EXPECT_EQ(NameFor(dotted + u".DLL"), dotted + u".DAT");
  EXPECT_EQ(NameFor(std::u16string(600, u'y') + u".DLL"), u"<refused:>");
  WCHAR name[PATH_UNITS] = {u'z'};
  EXPECT_FALSE(BuildDefinitionFileName(name, nullptr));
  EXPECT_EQ(name[0], 0);
}

TEST_F(MediaDefinitionFile, CompleteRecordsAreCopiedAndTheOtherSlotsKeepTheFill) {
  std::vector<test::Definition> labels = Labels(3);
  ASSERT_EQ(Read(test::MediaFileBytes(labels)), 3);
  for (size_t i = 0; i < labels.size(); ++i) {
    MediaDefinition expected = test::MakeDefinition(labels[i]);
    EXPECT_EQ(std::memcmp(&block_[i], &expected, sizeof(expected)), 0) << "record " << i;
  }
  EXPECT_EQ(DWORD(block_[2].defPaperSize), 264u);
  EXPECT_EQ(DWORD(block_[2].defLength), 4200u);
  ExpectFillFrom(3);
}

TEST_F(MediaDefinitionFile, TheDeclaredCountIsHonouredOnlyAsFarAsWholeRecordsReach) {
  std::string five = test::MediaFileBytes(Labels(5));
  // Two whole records and part of a third.
  std::string bytes = five.substr(0, MEDIA_DEFINITION_HEADER_SIZE + 2 * MEDIA_DEFINITION_SIZE + 70);
  EXPECT_EQ(Read(bytes), 2);
  ExpectFillFrom(2);

  // A smaller declared count stops before records that are there.
  EXPECT_EQ(Read(test::MediaFileBytes(Labels(5), 1)), 1);
  ExpectFillFrom(1);
  EXPECT_EQ(Read(test::MediaFileBytes(Labels(5), 0)), 0);
  ExpectFillFrom(0);
}

TEST_F(MediaDefinitionFile, TheFileMayHoldAtMost3266Bytes) {
  // 22 records and 132 bytes of a 23rd make exactly 3266 bytes.
  std::string bytes = test::MediaFileBytes(Labels(23), 40);
  bytes.resize(MEDIA_DEFINITION_BLOCK_SIZE);
  EXPECT_EQ(Read(bytes), 22);
  ExpectFillFrom(22);

  bytes.push_back('\0');
  EXPECT_EQ(Read(bytes), -1);
  EXPECT_EQ(block_, nullptr);
}

TEST_F(MediaDefinitionFile, EveryTruncationOfAFileReadsOnlyWhatIsThere) {
  // The host's views end just before an inaccessible page, so a read past the end of any
  // of these files would fault.
  std::string whole = test::MediaFileBytes(Labels(2));
  for (size_t length = 1; length <= whole.size(); ++length) {
    LONG expected = length < MEDIA_DEFINITION_HEADER_SIZE + MEDIA_DEFINITION_SIZE
                        ? 0
                        : static_cast<LONG>((length - MEDIA_DEFINITION_HEADER_SIZE) / MEDIA_DEFINITION_SIZE);
    ASSERT_EQ(Read(whole.substr(0, length)), expected) << length << " bytes";
    ExpectFillFrom(expected);
  }
}

TEST_F(MediaDefinitionFile, AnEmptyOrMissingFileGivesNoBlock) {
  EXPECT_EQ(Read(""), -1);
  std::filesystem::remove(host::ToHostPath(kFilePath).value());
  EXPECT_EQ(Read(), -1);

  LONG count = 0;
  EXPECT_EQ(ReadMediaDefinitions(nullptr, &count), nullptr);
  EXPECT_EQ(count, -1);
  // A driver path too long for the name buffer is as good as a missing file.
  std::u16string longPath = u"C:\\" + std::u16string(300, u'd') + u"\\TQ33KV.DLL";
  count = 0;
  EXPECT_EQ(ReadMediaDefinitions(longPath.c_str(), &count), nullptr);
  EXPECT_EQ(count, -1);
}

TEST_F(MediaDefinitionFile, EveryFailingPlatformCallGivesNoBlockAndReleasesAll) {
  root_.Write(kFilePath, test::MediaFileBytes(Labels(2)));
  for (host::Call call : {host::Call::CreateFile, host::Call::CreateFileMapping,
                          host::Call::MapViewOfFile, host::Call::GlobalAlloc}) {
    host::ClearFailures();
    host::FailCall(call, 1);
    EXPECT_EQ(Read(), -1) << host::CallName(call);
    EXPECT_EQ(host::FailuresStruck(), 1u) << host::CallName(call);
    EXPECT_EQ(host::Live().handles, baseline_.handles);
    EXPECT_EQ(host::Live().views, baseline_.views);
  }
  host::ClearFailures();
  EXPECT_EQ(Read(), 2);
}

TEST_F(MediaDefinitionFile, TheSampleFileReadsAsTheWriterWouldWriteIt) {
  std::ifstream sample(std::string(TQ33_SOURCE_DIR) + "/data/TQ33KV.DAT", std::ios::binary);
  ASSERT_TRUE(sample.good());
  std::stringstream bytes;
  bytes << sample.rdbuf();
  std::vector<test::Definition> labels = {
      {u"Address 24 x 62 mm", 0, 262, 6200, 300},
      {u"Name badge 24 x 90 mm", 0, 262, 9000, 400},
      {u"Price tag 24 x 40 mm", 0, 262, 4000, 200},
      {u"File tab 12 x 50 mm", 0, 259, 5000, 250},
  };
  EXPECT_EQ(bytes.str(), test::MediaFileBytes(labels));
  EXPECT_EQ(Read(bytes.str()), 4);
}

TEST(DefinitionForPaperSize, CodesFrom317NameTheDefinitionsThatAreThere) {
  MediaDefinition block[MEDIA_DEFINITION_SLOTS] = {};
  EXPECT_EQ(DefinitionForPaperSize(block, 2, 317), &block[0]);
  EXPECT_EQ(DefinitionForPaperSize(block, 2, 318), &block[1]);
  EXPECT_EQ(DefinitionForPaperSize(block, 2, 319), nullptr);
  EXPECT_EQ(DefinitionForPaperSize(block, 2, 316), nullptr);
  EXPECT_EQ(DefinitionForPaperSize(block, 2, -200), nullptr);
  EXPECT_EQ(DefinitionForPaperSize(block, 0, 317), nullptr);
  EXPECT_EQ(DefinitionForPaperSize(nullptr, 2, 317), nullptr);
  // A count beyond the 23 slots cannot reach past them.
  EXPECT_EQ(DefinitionForPaperSize(block, 1000, 317 + 22), &block[22]);
  EXPECT_EQ(DefinitionForPaperSize(block, 1000, 317 + 23), nullptr);
}

}  // namespace
