// SPDX-License-Identifier: Apache-2.0
// The job and result files of a job under Wine: what one side writes the other reads back
// whole, and a file cut short, stretched or bent anywhere is refused in words, never read
// past its bounds.
#include "wine/job_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "context/settings_record.h"

namespace {

using tq33job::Bytes;

// Bytes written through a FILE by a writer.
template <typename Write> Bytes Written(Write write) {
  char* data = nullptr;
  size_t size = 0;
  std::FILE* file = open_memstream(&data, &size);
  EXPECT_TRUE(write(file));
  std::fclose(file);
  Bytes bytes(data, data + size);
  std::free(data);
  return bytes;
}

// A FILE reading bytes (fmemopen refuses an empty buffer, so an empty file is /dev/null).
std::FILE* Reading(const Bytes& bytes) {
  if (bytes.empty()) return std::fopen("/dev/null", "rb");
  return fmemopen(const_cast<uint8_t*>(bytes.data()), bytes.size(), "rb");
}

tq33job::Job AJob() {
  tq33job::Job job;
  job.driverLibrary = u"Z:\\build\\windows\\bin\\TQ33KV.DLL";
  job.modelDataLibrary = u"Z:\\build\\windows\\bin\\TQ33Ki3.dll";
  job.modelData = Bytes{'[', 'm', 'o', 'd', 'e', 'l', ' ', '1', ']'};
  job.mediaDefinitions = Bytes(142, 7);
  job.resourceLibrary = tq33job::ResourceLibrary{0x0409, 0x04B0, 0};
  job.printerData = {{u"UseMonitor", JOB_REG_DWORD, {0, 0, 0, 0}}, {u"CurDevHTInfo", JOB_REG_BINARY, Bytes(132, 1)}};
  job.userDevmode = Bytes(300, 2);
  job.clearedKey = u"SOFTWARE\\Tolvane";
  job.defaultOptions = tq33job::RegistryValue{u"SOFTWARE\\Tolvane\\Q\\TQ-33", u"RegDefaultOptions", Bytes(32, 3)};
  job.country = u"1";
  job.measure = u"1";
  job.engine = {24576, 437, 1250, 0};
  job.applicationRecord = Bytes(SETTINGS_RECORD_SIZE, 4);
  return job;
}

// Reads a whole job: its head and its pages; false with the reason at the first fault.
bool ReadJob(const Bytes& bytes, tq33job::Job* job, std::vector<Bytes>* pages, std::string* error) {
  std::FILE* file = Reading(bytes);
  tq33job::JobReader reader(file);
  bool ok = reader.ReadHead(job, error);
  uint32_t width = 0;
  uint32_t height = 0;
  Bytes pixels;
  while (ok && reader.NextPage(&width, &height, &pixels, error)) pages->push_back(pixels);
  std::fclose(file);
  return ok && error->empty();
}

TEST(JobFileTest, AJobAndAResultAreReadBackAsWritten) {
  const tq33job::Job job = AJob();
  const Bytes first(6, 0x80);
  const Bytes second = {0, 255};
  const Bytes bytes = Written([&](std::FILE* file) {
    return tq33job::WriteJobHead(file, job) && tq33job::WritePage(file, 3, 2, first.data()) &&
           tq33job::WritePage(file, 1, 2, second.data()) && tq33job::WriteEnd(file);
  });
  tq33job::Job read;
  std::vector<Bytes> pages;
  std::string error;
  ASSERT_TRUE(ReadJob(bytes, &read, &pages, &error)) << error;
  EXPECT_EQ(
      std::tuple(read.driverLibrary, read.modelDataLibrary, read.modelData, read.mediaDefinitions,
                 read.userDevmode, read.clearedKey, read.country, read.measure,
                 read.applicationRecord),
      std::tuple(job.driverLibrary, job.modelDataLibrary, job.modelData, job.mediaDefinitions,
                 job.userDevmode, job.clearedKey, job.country, job.measure, job.applicationRecord));
  ASSERT_EQ(read.printerData.size(), 2u);
  EXPECT_EQ(std::tuple(read.printerData[1].name, read.printerData[1].type, read.printerData[1].bytes),
      std::tuple(job.printerData[1].name, job.printerData[1].type, job.printerData[1].bytes));
  EXPECT_EQ(std::tuple(read.defaultOptions->key, read.defaultOptions->name, read.defaultOptions->bytes),
      std::tuple(job.defaultOptions->key, job.defaultOptions->name, job.defaultOptions->bytes));
  EXPECT_EQ(std::memcmp(&read.engine, &job.engine, sizeof(job.engine)), 0);
  EXPECT_EQ(read.resourceLibrary->language, 0x0409);
  EXPECT_EQ(pages, (std::vector<Bytes>{first, second}));

  tq33job::Result result;
  result.failure = tq33job::Failure{tq33job::Stage::kDocument, 5, 2, "DrvSendPage", "no room"};
  result.settings = Bytes(SETTINGS_RECORD_SIZE, 9);
  result.gdiInfo = Bytes(JOB_GDIINFO_SIZE, 8);
  result.spooled = tq33job::SpoolSummary{1234, 0x10, 0};
  const Bytes written = Written([&](std::FILE* file) { return tq33job::WriteResult(file, result); });
  tq33job::Result back;
  std::FILE* file = Reading(written);
  ASSERT_TRUE(tq33job::ReadResult(file, &back, &error)) << error;
  std::fclose(file);
  EXPECT_EQ(std::tuple(back.failure->page, back.failure->call, back.failure->message, back.settings,
                       back.gdiInfo, back.spooled->bytes, back.deviceInfo.has_value()),
            std::tuple(2u, std::string("DrvSendPage"), std::string("no room"), result.settings,
                       result.gdiInfo, uint64_t{1234}, false));
}

TEST(JobFileTest, FilesCutShortStretchedOrBentAreRefusedInWords) {
  const Bytes page(12, 0x40);
  const Bytes job = Written([&](std::FILE* file) {
    return tq33job::WriteJobHead(file, AJob()) && tq33job::WritePage(file, 4, 3, page.data()) &&
           tq33job::WriteEnd(file);
  });
  tq33job::Result answered;
  answered.probeDefaults = Bytes(SETTINGS_RECORD_SIZE, 1);
  answered.layout = tq33job::PageLayout{};
  const Bytes result = Written([&](std::FILE* file) { return tq33job::WriteResult(file, answered); });

  auto refused = [](const Bytes& bytes, bool isJob) {
    std::string error;
    if (isJob) {
      tq33job::Job read;
      std::vector<Bytes> pages;
      return !ReadJob(bytes, &read, &pages, &error) && !error.empty();
    }
    tq33job::Result read;
    std::FILE* file = Reading(bytes);
    const bool ok = tq33job::ReadResult(file, &read, &error);
    std::fclose(file);
    return !ok && !error.empty();
  };
  for (const auto& [bytes, isJob] : {std::pair{job, true}, std::pair{result, false}}) {
    for (size_t length = 0; length < bytes.size(); ++length) {
      EXPECT_TRUE(refused(Bytes(bytes.begin(), bytes.begin() + length), isJob)) << "cut at " << length;
    }
    // Every size field claiming far more, and random bytes anywhere: refused or read within
    // bounds (the sanitizers watch the reads).
    std::mt19937 random(7);
    for (int round = 0; round < 2000; ++round) {
      Bytes bent = bytes;
      const size_t at = random() % bent.size();
      bent[at] = static_cast<uint8_t>(random());
      if (round % 2) bent[std::min(at | 3, bent.size() - 1)] = 0xFF;
      refused(bent, isJob);
    }
  }
  // A page larger than its chunk says, and chunks the other side never writes.
  Bytes lying = job;
  const size_t pageAt = job.size() - 8 - 8 - 12 - 8;  // the PAGE chunk before END.
  ASSERT_EQ(std::memcmp(lying.data() + pageAt, "PAGE", 4), 0);
  lying[pageAt + 8] = 5;  // width 5: 15 bytes for a chunk of 12
  EXPECT_TRUE(refused(lying, true));
  EXPECT_TRUE(refused(result, true)) << "a result is no job";
  EXPECT_TRUE(refused(job, false)) << "a job is no result";
}

}  // namespace
