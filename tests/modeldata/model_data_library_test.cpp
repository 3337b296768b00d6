// SPDX-License-Identifier: Apache-2.0
// The model-data library as the driver uses it, on an installation laid out in a temporary
// Windows root: its protocol, its handles, the files it refuses, and the driver's whole
// load cycle through it and through a library that breaks the protocol.
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <utility>

#include "context/model_data.h"
#include "modeldata/model_data_file.h"
#include "tests/support/engine_fixture.h"

// The nth C++ allocation from now on this thread fails (0: none): the test program's operator
// new is the runtime's (the sanitizer's in its builds, to match its delete) behind this count.
static thread_local uint64_t allocationsToFailure = 0;
void* operator new(size_t bytes) {
  static auto* const next = reinterpret_cast<void* (*)(size_t)>(dlsym(RTLD_NEXT, sizeof(size_t) == 8 ? "_Znwm" : "_Znwj"));
  if (allocationsToFailure && --allocationsToFailure == 0) throw std::bad_alloc();
  return next(bytes);
}
void* operator new(size_t bytes, const std::nothrow_t&) noexcept {
  return allocationsToFailure == 1 ? (allocationsToFailure = 0, nullptr) : operator new(bytes);
}

namespace {

constexpr const char16_t* kDataPath = host::kDataFilePath;

// The default installation, its model-data library replaced when a built one is named.
class ModelDataLibraryTest : public test::EngineTest {
 protected:
  void TearDown() override {
    unsetenv("TQ33_MISBEHAVE");
    if (module_) FreeLibrary(module_);
    if (heap_) HeapDestroy(heap_);
    EngineTest::TearDown();
  }
  void WriteData(std::u16string_view path, const std::string& text) {
    ASSERT_TRUE(installation_->WriteFile(path, std::vector<uint8_t>(text.begin(), text.end())));
  }
  // Loads the library as the driver does and returns its QDX_InitializeW.
  ModelDataInitializeFn Initializer() {
    module_ = LoadLibraryW(host::kModelLibraryPath);
    return reinterpret_cast<ModelDataInitializeFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module_, MODEL_DATA_INIT_EXPORT)));
  }
  // The driver's load cycle into a fresh heap.
  BOOL Load() {
    if (heap_) HeapDestroy(heap_);
    heap_ = HeapCreate(0, 8192, 0);
    record_ = nullptr;
    count_ = 0;
    return LoadModelData(heap_, kDataPath, &record_, 1, MODEL_RECORD_SIZE, &list_, 1, &media_, &count_);
  }
  HMODULE module_ = nullptr;
  ModelDataTable table_{DWORD{MODEL_DATA_TABLE_SIZE}};
  HANDLE heap_ = nullptr;
  ModelRecord* record_ = nullptr;
  MediaListEntry* list_ = nullptr;
  MediaRecord* media_ = nullptr;
  DWORD count_ = 0;
};

std::string DefaultData() {
  const std::vector<uint8_t> bytes = test::SourceFile("data/tq33.model");
  return std::string(bytes.begin(), bytes.end());
}

TEST_F(ModelDataLibraryTest, TheDriversCallsAreAnsweredAsItReliesOn) {
  ModelDataInitializeFn initialize = Initializer();
  ASSERT_NE(initialize, nullptr);
  ModelDataTable wrong{sizeof(void*) == 4 ? 40u : 20u};  // the table of the other width
  EXPECT_FALSE(initialize(nullptr) || initialize(&wrong) || wrong.mdOpen || GetLastError() != ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(initialize(&table_));

  ModelDataFile expected;
  const std::string text = DefaultData();
  ParseModelDataFile(reinterpret_cast<const BYTE*>(text.data()), text.size(), &expected, nullptr);
  ModelDataHandle handle = 0;
  ASSERT_TRUE(table_.mdOpen(&handle, kDataPath));
  EXPECT_TRUE(handle != 0 && handle != 0xFFFFFFFFu);

  BYTE record[120] = {};
  record[50] = 0xAB;
  DWORD returned = 0;
  ASSERT_TRUE(table_.mdGetModel(handle, 1, record, 50, &returned));
  EXPECT_EQ(std::tuple(returned, record[50]), std::tuple(50u, 0xAB)) << "nothing beyond the size";
  ASSERT_TRUE(table_.mdGetModel(handle, 1, record, MODEL_RECORD_SIZE, &returned));
  EXPECT_EQ(std::tuple(returned, std::memcmp(record, &expected.models[0].record, 118)), std::tuple(118u, 0));

  DWORD needed = 0, count = 0;
  EXPECT_FALSE(table_.mdGetMediaList(handle, 1, nullptr, 0, &needed, &count) || GetLastError() != ERROR_INSUFFICIENT_BUFFER);
  const DWORD probed = needed;
  EXPECT_EQ(probed, 26u * MEDIA_LIST_ENTRY_SIZE);
  std::vector<BYTE> list(probed + 1, 0xAB);
  SetLastError(0);
  EXPECT_FALSE(table_.mdGetMediaList(handle, 1, list.data(), probed - 1, &needed, &count));
  EXPECT_EQ(std::tuple(GetLastError(), needed, list[0]),
            std::tuple(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), probed, 0xAB)) << "a short buffer is left alone";
  ASSERT_TRUE(table_.mdGetMediaList(handle, 1, list.data(), probed, &needed, &count));
  EXPECT_EQ(std::tuple(count, std::memcmp(list.data(), expected.models[0].media.data(), probed),
                       list[probed]), std::tuple(26u, 0, 0xAB));

  EXPECT_TRUE(table_.mdClose(handle));
  EXPECT_FALSE(table_.mdClose(handle) || table_.mdClose(0) || table_.mdClose(0x41) || GetLastError() != ERROR_INVALID_HANDLE) << "closed or never open";
  ModelDataHandle reopened = 0;
  ASSERT_TRUE(table_.mdOpen(&reopened, kDataPath));
  EXPECT_NE(reopened, handle) << "a reused slot comes under a new handle";
  EXPECT_FALSE(table_.mdGetModel(reopened, 2, record, 118, &returned) || GetLastError() != ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(table_.mdGetMediaList(handle, 1, nullptr, 0, &needed, &count) || GetLastError() != ERROR_INVALID_HANDLE);
  EXPECT_TRUE(table_.mdClose(reopened));
}

// The library's path fills the path buffer and no more: with a directory one unit longer
// it is refused for its length, before any library is looked for.
TEST_F(ModelDataLibraryTest, TheLibrarysPathMayFillThePathBuffer) {
  for (size_t length : {245u, 246u, 259u}) {
    host::SetDriverDirectory(u"C:\\" + std::u16string(length - 3, u'd'));
    SetLastError(0);
    EXPECT_FALSE(OpenModelDataLibrary(&module_, &table_));
    EXPECT_EQ(GetLastError() == ERROR_FILENAME_EXCED_RANGE, length >= 246) << length;
  }
}

TEST_F(ModelDataLibraryTest, UnusableDataFilesAreRefusedWithNothingLeftOpen) {
  ASSERT_TRUE(Initializer()(&table_));
  const std::string good = DefaultData();
  // The library remembers the last file it parsed: a file changed in place, even to one
  // of the same size, is read anew.
  ModelDataHandle handle = 55;
  WriteData(u"C:\\bad.model", good);
  ASSERT_TRUE(table_.mdOpen(&handle, u"C:\\bad.model"));
  EXPECT_TRUE(table_.mdClose(handle));
  std::string sameSize = good;
  sameSize[sameSize.find("[model 1]") + 1] = 'l';  // one below 'm': a byte's difference is no match
  const struct { std::string bytes; DWORD error; } files[] = {
      {sameSize, ERROR_INVALID_DATA}, {"", ERROR_FILE_INVALID}, {"#", ERROR_INVALID_DATA},
      {good.substr(0, good.size() - 30), ERROR_INVALID_DATA},
      {good + std::string(kModelDataFileMaxBytes - good.size() + 1, '\n'), ERROR_FILE_INVALID},
  };
  for (const auto& f : files) {
    WriteData(u"C:\\bad.model", f.bytes);
    EXPECT_FALSE(table_.mdOpen(&handle, u"C:\\bad.model"));
    EXPECT_EQ(std::tuple(GetLastError(), handle), std::tuple(f.error, 0u));
  }
  std::filesystem::resize_file(host::ToHostPath(u"C:\\bad.model").value(), (uint64_t{1} << 32) + 1);  // sparse
  EXPECT_FALSE(table_.mdOpen(&handle, u"C:\\bad.model") || GetLastError() != ERROR_FILE_INVALID) << "4 GB and a byte";
  EXPECT_FALSE(table_.mdOpen(&handle, u"C:\\missing.model") || GetLastError() != ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(table_.mdOpen(nullptr, kDataPath) || GetLastError() != ERROR_INVALID_PARAMETER);
  WriteData(u"C:\\big.model", good + std::string(kModelDataFileMaxBytes - good.size(), '\n'));
  EXPECT_TRUE(table_.mdOpen(&handle, u"C:\\big.model") && table_.mdClose(handle)) << "the largest file read";
}

// Memory running out at each allocation of an open in turn, in the library or the host: the
// open fails for want of it, or makes do without its copy; never is a copy left half made.
TEST_F(ModelDataLibraryTest, EachAllocationThatFailsFailsItsOpenAlone) {
  ASSERT_TRUE(Initializer()(&table_));
  WriteData(u"C:\\other.model", DefaultData() + "\n");
  ModelDataHandle handle = 7, again = 0;
  DWORD returned = 0;
  for (uint64_t nth = 1, left = 0; left == 0; ++nth) {
    ASSERT_TRUE(table_.mdOpen(&again, u"C:\\other.model") && table_.mdClose(again));  // remembered instead
    allocationsToFailure = nth;
    const BOOL opened = table_.mdOpen(&handle, kDataPath);
    left = std::exchange(allocationsToFailure, 0);
    EXPECT_TRUE(opened ? table_.mdClose(handle) : !handle && !left && GetLastError() == ERROR_NOT_ENOUGH_MEMORY) << nth;
    ASSERT_TRUE(table_.mdOpen(&again, kDataPath) && table_.mdGetModel(again, 1, nullptr, 0, &returned) && table_.mdClose(again)) << nth;
  }
  const std::string text = DefaultData();
  ModelDataFile file;
  ModelDataError error{5, "stale"};
  for (ModelDataError* asked : {&error, static_cast<ModelDataError*>(nullptr)}) {
    allocationsToFailure = 1;
    EXPECT_FALSE(ParseModelDataFile(reinterpret_cast<const BYTE*>(text.data()), text.size(), &file, asked));
  }
  EXPECT_EQ(std::tuple(error.line, error.text, error.outOfMemory, file.models.size()), std::tuple(0u, "out of memory", true, 0u));
}

// 64 files may be open at once, and a 65th is refused for want of memory; calls without a
// place for what they answer fail as bad parameters, and clear the places they were given.
TEST_F(ModelDataLibraryTest, BadCallsFailInWordsAndTheHandlesRunOutAfterSixtyFour) {
  ASSERT_TRUE(Initializer()(&table_));
  std::vector<ModelDataHandle> handles(65);
  for (ModelDataHandle& handle : handles) EXPECT_EQ(table_.mdOpen(&handle, kDataPath), &handle != &handles.back());
  EXPECT_EQ(std::tuple(GetLastError(), handles.back()), std::tuple(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), 0u));
  BYTE record[8];
  DWORD returned = 7, needed = 7, count = 7;
  EXPECT_FALSE(table_.mdGetMediaList(handles[0], 1, nullptr, 0, &needed, nullptr) || GetLastError() != ERROR_INVALID_PARAMETER || needed);
  EXPECT_FALSE(table_.mdGetMediaList(handles[0], 1, nullptr, 0, nullptr, &count) || GetLastError() != ERROR_INVALID_PARAMETER || count);
  SetLastError(0);
  EXPECT_FALSE(table_.mdGetModel(handles[0], 1, nullptr, 5, &returned) || GetLastError() != ERROR_INVALID_PARAMETER || returned);
  EXPECT_FALSE(table_.mdGetModel(handles[0], 1, record, 8, nullptr) || GetLastError() != ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(table_.mdGetModel(handles[0], 1, nullptr, 0, &returned)) << "nothing asked, nothing copied";
  for (size_t i = 0; i < 64; ++i) EXPECT_TRUE(table_.mdClose(handles[i])) << i;
}

TEST_F(ModelDataLibraryTest, TheDefaultInstallationLoadsTheTq33AndItsMediaTable) {
  ASSERT_TRUE(Load());
  EXPECT_EQ(record_->moDefaultPaperSize, 387);
  ASSERT_EQ(count_, 26u);
  const BYTE* terminator = reinterpret_cast<const BYTE*>(&media_[count_]);
  EXPECT_EQ(std::count(terminator, terminator + sizeof(MediaRecord), 0xFF), static_cast<long>(sizeof(MediaRecord)));
  auto kinds = [&](BYTE type) {
    int sum = ConvertMediaList(media_, list_, count_ + 1, type) ? 0 : -1;
    for (DWORD i = 0; i < count_; ++i) sum += media_[i].mrKind * 10 + media_[i].mrSubKind;
    return sum;
  };
  EXPECT_EQ(kinds('0'), 46) << "kind codes 2 and 5 (two each) make media of kind 1, sub-kinds 1 and 2";
  EXPECT_EQ(std::tuple(kinds('3'), kinds('1')), std::tuple(46, 0)) << "models of types 0 and 3 alone tell kinds apart";

  WriteData(kDataPath, "[model 1]\n");
  EXPECT_FALSE(Load());
  EXPECT_EQ(std::tuple(record_, GetLastError()), std::tuple(nullptr, DWORD{ERROR_INVALID_DATA}));
}

TEST_F(ModelDataLibraryTest, EachBrokenPromiseOfALibraryFailsTheLoad) {
  host::InstallationFiles files = test::DefaultInstallationFiles();
  files.modelDataLibrary = TQ33_BINARY_DIR "/libtq33modeldata_misbehaving.so";
  Install(files);
  ASSERT_TRUE(Load()) << "the library keeps its promises unless told otherwise";
  for (const char* mode : {"init-fails", "no-open", "no-close", "no-model", "no-list", "probe-succeeds",
                           "probe-wrong-error", "count-zero", "count-over-block", "list-grows", "type-ff",
                           "handle-all-ones", "fill-fails", "count-unwritten", "count-ffff", "probe-silent"}) {
    setenv("TQ33_MISBEHAVE", mode, 1);
    SetLastError(ERROR_INSUFFICIENT_BUFFER);  // an error left from before is no answer of the probe's
    EXPECT_FALSE(Load()) << mode;
    EXPECT_TRUE(record_ == nullptr && count_ == 0) << mode;
  }
  setenv("TQ33_MISBEHAVE", "count-fffe", 1);
  EXPECT_TRUE(Load() && count_ == 0xFFFE) << "65534 media are the most";
}

}  // namespace
