// The model-data library as the driver uses it: its protocol, its handles, the files it
// refuses, and the driver's whole load cycle through it on an installation laid out in a
// temporary Windows root.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "driver/model_data.h"
#include "modeldata/model_data_file.h"
#include "tests/host/temp_root.h"
#include "tests/support/host_test.h"

namespace {

constexpr const char16_t* kDataPath = u"C:\\TQ33\\drivers\\3\\tq33.model";

std::string DefaultData() {
  std::ifstream in(TQ33_SOURCE_DIR "/data/tq33.model", std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The driver directory C:\TQ33\drivers with a model-data library in its "3" subdirectory
// and the default data file beside it.
class Installation : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    host::SetDriverDirectory(u"C:\\TQ33\\drivers");
    root_.Write(kDataPath, DefaultData());
  }
  void TearDown() override {
    unsetenv("TQ33_MISBEHAVE");
    HostTest::TearDown();
  }
  void InstallLibrary(const char* builtName) {
    std::string link = host::ToHostPath(u"C:\\TQ33\\drivers\\3\\TQ33Ki3.dll").value();
    std::filesystem::remove(link);
    std::filesystem::create_symlink(std::string(TQ33_BINARY_DIR "/") + builtName, link);
  }
  test::TempRoot root_;
};

class ModelDataLibraryTest : public Installation {
 protected:
  void SetUp() override {
    Installation::SetUp();
    InstallLibrary("libtq33modeldata.so");
    module_ = LoadLibraryW(u"C:\\TQ33\\drivers\\3\\TQ33Ki3.dll");
    ASSERT_NE(module_, nullptr);
    initialize_ = reinterpret_cast<ModelDataInitializeFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(module_, MODEL_DATA_INIT_EXPORT)));
    ASSERT_NE(initialize_, nullptr);
    table_.size = MODEL_DATA_TABLE_SIZE;
    ASSERT_TRUE(initialize_(&table_));
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
    Installation::TearDown();
  }
  HMODULE module_ = nullptr;
  ModelDataInitializeFn initialize_ = nullptr;
  ModelDataTable table_{};
};

TEST_F(ModelDataLibraryTest, InitialisationFillsTheTableOnlyWhenItCarriesTheDriversSize) {
  ModelDataTable table{};
  EXPECT_FALSE(initialize_(nullptr));
  table.size = sizeof(ModelDataTable) == 20 ? 40 : sizeof(ModelDataTable);
  EXPECT_FALSE(initialize_(&table));
  EXPECT_EQ(table.mdOpen, nullptr);
  table.size = MODEL_DATA_TABLE_SIZE;
  ASSERT_TRUE(initialize_(&table));
  EXPECT_TRUE(table.mdOpen && table.mdClose && table.mdGetModel && table.mdGetMediaList);
}

TEST_F(ModelDataLibraryTest, TheDriversCallsAreAnsweredAsItReliesOn) {
  ModelDataFile expected;
  std::string text = DefaultData();
  ASSERT_TRUE(ParseModelDataFile(reinterpret_cast<const BYTE*>(text.data()), text.size(),
                                 &expected, nullptr));
  const ModelDataModel& model = expected.models[0];

  ModelDataHandle handle = 0;
  ASSERT_TRUE(table_.mdOpen(&handle, kDataPath));
  EXPECT_NE(handle, 0u);
  EXPECT_NE(handle, 0xFFFFFFFFu);

  BYTE record[200] = {};
  DWORD returned = 0;
  ASSERT_TRUE(table_.mdGetModel(handle, 1, record, MODEL_RECORD_SIZE, &returned));
  EXPECT_EQ(returned, 118u);
  EXPECT_EQ(std::memcmp(record, &model.record, 118), 0);
  std::memset(record, 0xAB, sizeof(record));
  ASSERT_TRUE(table_.mdGetModel(handle, 1, record, 50, &returned));
  EXPECT_EQ(returned, 50u);
  EXPECT_EQ(record[50], 0xAB) << "nothing beyond the size given is written";
  EXPECT_FALSE(table_.mdGetModel(handle, 2, record, 118, &returned)) << "no model 2";

  DWORD needed = 0;
  DWORD count = 99;
  SetLastError(0);
  EXPECT_FALSE(table_.mdGetMediaList(handle, 1, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, model.media.size() * MEDIA_LIST_ENTRY_SIZE);
  std::vector<BYTE> list(needed + 1, 0xAB);
  DWORD probed = needed;
  SetLastError(0);
  EXPECT_FALSE(table_.mdGetMediaList(handle, 1, list.data(), probed - 1, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, probed);
  EXPECT_EQ(list[0], 0xAB) << "a short buffer is left alone";
  ASSERT_TRUE(table_.mdGetMediaList(handle, 1, list.data(), probed, &needed, &count));
  EXPECT_EQ(count, model.media.size());
  EXPECT_LE(count * MEDIA_LIST_ENTRY_SIZE, probed);
  EXPECT_EQ(std::memcmp(list.data(), model.media.data(), probed), 0);
  EXPECT_EQ(list[probed], 0xAB);

  EXPECT_TRUE(table_.mdClose(handle));
  EXPECT_FALSE(table_.mdClose(handle)) << "a closed handle is not closed twice";
  EXPECT_FALSE(table_.mdGetModel(handle, 1, record, 118, &returned));
  EXPECT_FALSE(table_.mdGetMediaList(handle, 1, nullptr, 0, &needed, &count));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(ModelDataLibraryTest, UnusableDataFilesAreRefusedWithNothingLeftOpen) {
  const host::LiveObjects before = host::Live();
  const std::string good = DefaultData();
  const struct {
    std::string bytes;
    DWORD error;
  } files[] = {
      {"", ERROR_FILE_INVALID},
      {good.substr(0, good.size() - 30), ERROR_INVALID_DATA},
      {good + std::string(MODEL_DATA_FILE_MAX_BYTES - good.size() + 1, '\n'), ERROR_FILE_INVALID},
  };
  for (const auto& f : files) {
    root_.Write(u"C:\\TQ33\\bad.model", f.bytes);
    ModelDataHandle handle = 55;
    EXPECT_FALSE(table_.mdOpen(&handle, u"C:\\TQ33\\bad.model"));
    EXPECT_EQ(GetLastError(), f.error);
    EXPECT_EQ(handle, 0u);
  }
  ModelDataHandle handle = 55;
  EXPECT_FALSE(table_.mdOpen(&handle, u"C:\\TQ33\\missing.model"));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(table_.mdOpen(&handle, nullptr));
  EXPECT_FALSE(table_.mdOpen(nullptr, kDataPath));
  for (host::Call call : {host::Call::CreateFile, host::Call::CreateFileMapping,
                          host::Call::MapViewOfFile}) {
    host::ClearFailures();
    host::FailCall(call, 1);
    EXPECT_FALSE(table_.mdOpen(&handle, kDataPath)) << host::CallName(call);
  }
  EXPECT_EQ(host::Live(), before);
}

TEST_F(ModelDataLibraryTest, HandlesAreDistinctAndAClosedOneStaysClosed) {
  std::vector<ModelDataHandle> handles(64);
  for (ModelDataHandle& h : handles) ASSERT_TRUE(table_.mdOpen(&h, kDataPath));
  ModelDataHandle extra = 0;
  EXPECT_FALSE(table_.mdOpen(&extra, kDataPath)) << "the table has 64 slots";
  std::sort(handles.begin(), handles.end());
  EXPECT_EQ(std::unique(handles.begin(), handles.end()), handles.end());
  ModelDataHandle closed = handles[10];
  ASSERT_TRUE(table_.mdClose(closed));
  ASSERT_TRUE(table_.mdOpen(&extra, kDataPath));
  EXPECT_NE(extra, closed) << "the reused slot gives a new handle";
  DWORD returned = 0;
  BYTE record[118];
  EXPECT_FALSE(table_.mdGetModel(closed, 1, record, 118, &returned));
  handles[10] = extra;
  for (ModelDataHandle h : handles) EXPECT_TRUE(table_.mdClose(h));
}

TEST_F(ModelDataLibraryTest, CallersOnSeveralThreadsEachGetWholeAnswers) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 25; ++round) {
        ModelDataHandle h = 0;
        DWORD returned = 0, needed = 0, count = 0;
        BYTE record[118];
        std::vector<BYTE> list(26 * MEDIA_LIST_ENTRY_SIZE);
        bool ok = table_.mdOpen(&h, kDataPath) &&
                  table_.mdGetModel(h, 1, record, 118, &returned) &&
                  table_.mdGetMediaList(h, 1, list.data(), list.size(), &needed, &count) &&
                  count == 26 && table_.mdClose(h);
        if (!ok) ++failures;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
}

// The driver's load cycle through whichever library is installed.
class ModelDataLoadTest : public Installation {
 protected:
  BOOL Load() {
    heap_ = HeapCreate(0, 8192, 0);
    record_ = nullptr;
    list_ = nullptr;
    table_ = nullptr;
    count_ = 0;
    return LoadModelData(heap_, kDataPath, &record_, 1, MODEL_RECORD_SIZE, &list_, 1, &table_,
                         &count_);
  }
  void TearDown() override {
    if (heap_) HeapDestroy(heap_);
    ExpectNothingLeaked();
    Installation::TearDown();
  }
  HANDLE heap_ = nullptr;
  ModelRecord* record_ = nullptr;
  MediaListEntry* list_ = nullptr;
  MediaRecord* table_ = nullptr;
  DWORD count_ = 0;
};

TEST_F(ModelDataLoadTest, TheDefaultInstallationLoadsTheTq33AndItsMediaTable) {
  InstallLibrary("libtq33modeldata.so");
  ASSERT_TRUE(Load());
  EXPECT_EQ(host::Live().modules, baseline_.modules) << "the library is unloaded again";
  EXPECT_EQ(record_->moType, '0');
  EXPECT_EQ(record_->moDefaultPaperSize, 387);
  ASSERT_EQ(count_, 26u);
  const BYTE* terminator = reinterpret_cast<const BYTE*>(&table_[count_]);
  EXPECT_EQ(std::count(terminator, terminator + sizeof(MediaRecord), 0xFF),
            static_cast<long>(sizeof(MediaRecord)));
  int paperMedia = 0;
  for (DWORD i = 0; i < count_; ++i) {
    EXPECT_EQ(table_[i].mrIndex, i);
    if (list_[i].meKindCode == 2 || list_[i].meKindCode == 5) {
      EXPECT_EQ(table_[i].mrKind, 1);
      ++paperMedia;
    }
  }
  EXPECT_EQ(paperMedia, 4);
}

TEST_F(ModelDataLoadTest, AMalformedOrMissingDataFileFailsTheLoad) {
  InstallLibrary("libtq33modeldata.so");
  root_.Write(kDataPath, "[model 1]\n");
  EXPECT_FALSE(Load());
  EXPECT_EQ(record_, nullptr);
  HeapDestroy(heap_);
  heap_ = nullptr;
  std::filesystem::remove(host::ToHostPath(kDataPath).value());
  EXPECT_FALSE(Load());
}

TEST_F(ModelDataLoadTest, EachBrokenPromiseOfALibraryFailsTheLoadAndClosesWhatWasOpened) {
  InstallLibrary("libtq33modeldata_misbehaving.so");
  // A reference of the test's own keeps the library and its counts loaded throughout.
  HMODULE keep = LoadLibraryW(u"C:\\TQ33\\drivers\\3\\TQ33Ki3.dll");
  ASSERT_NE(keep, nullptr);
  auto opens = reinterpret_cast<int (*)()>(
      reinterpret_cast<void (*)()>(GetProcAddress(keep, "MisbehavingOpens")));
  auto closes = reinterpret_cast<int (*)()>(
      reinterpret_cast<void (*)()>(GetProcAddress(keep, "MisbehavingCloses")));
  ASSERT_TRUE(opens && closes);
  ASSERT_TRUE(Load()) << "the library keeps its promises unless told otherwise";
  HeapDestroy(heap_);
  heap_ = nullptr;
  for (const char* mode : {"init-fails", "no-open", "no-close", "no-model", "no-list",
                           "probe-succeeds", "probe-wrong-error", "count-zero",
                           "count-over-block", "type-ff", "handle-all-ones"}) {
    setenv("TQ33_MISBEHAVE", mode, 1);
    int opened = opens(), closed = closes();
    EXPECT_FALSE(Load()) << mode;
    EXPECT_EQ(record_, nullptr) << mode;
    EXPECT_EQ(count_, 0u) << mode;
    HeapDestroy(heap_);
    heap_ = nullptr;
    int handedOut = std::strcmp(mode, "handle-all-ones") == 0 ? 0 : opens() - opened;
    EXPECT_EQ(closes() - closed, handedOut) << mode << ": every usable handle is closed";
  }
  FreeLibrary(keep);
}

}  // namespace
