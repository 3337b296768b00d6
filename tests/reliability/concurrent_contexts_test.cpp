// SPDX-License-Identifier: Apache-2.0
// Eight device contexts on eight threads, each printing a different document on its own
// printer at the same time, over and over: every output must be the same to the byte as
// the document printed alone. Contexts share only the driver's process-wide state (its
// locks, the model-data library, the media definition file) and the host.
#include <latch>
#include <thread>

#include "tests/support/engine_fixture.h"

namespace test {
namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 3;
// Pages of more than this many bytes are banded, the others drawn on one bitmap.
constexpr uint64_t kBitmapBytes = 96 * 1024;

// Eight documents that differ in everything a context holds: tone mode, orientation,
// feed resolution, medium, copies, output framing, retained pages and resets.
std::vector<Document> Documents() {
  std::vector<Document> documents;
  for (int i = 0; i < kThreads; ++i) {
    LabelSettings settings;
    settings.halftone = static_cast<BYTE>(1 + i % 3);
    settings.copies = static_cast<SHORT>(1 + i % 2);
    settings.framed = (i & 1) != 0;
    settings.landscape = (i & 2) != 0;
    settings.highResolution = (i & 4) != 0;
    settings.smallChar = i == 6;
    settings.paperSize = i == 3 ? 361 : i == 5 ? 280 : 262;
    settings.paperLength = static_cast<SHORT>(200 + 40 * i);
    Document document;
    document.name = "document " + std::to_string(i);
    document.firstSeed = i * 10;
    document.parts.push_back({settings, 1 + i % 3});
    if (i % 4 == 0) {
      // Pages held back, then printed behind one on other settings.
      LabelSettings held = settings;
      held.retain = true;
      held.retainLines = i == 4;
      LabelSettings behind = settings;
      behind.halftone = 3;
      document.parts = {{held, 2}, {behind, 1}};
    }
    documents.push_back(document);
  }
  return documents;
}

class ConcurrentContextsTest : public EngineTest {};

TEST_F(ConcurrentContextsTest, EightContextsOnEightThreadsPrintWhatEachPrintsAlone) {
  const Bytes base = DefaultSettingsRecord(host::kDriverPath, installation_->printer());
  ASSERT_FALSE(base.empty());
  host::SetMaxBitmapBytes(kBitmapBytes);
  const std::vector<Document> documents = Documents();
  std::vector<HANDLE> printers = {installation_->printer()};
  for (int i = 1; i < kThreads; ++i)
    printers.push_back(installation_->AddPrinter(u"TQ-33 #" + host::Utf16(std::to_string(i))));

  std::vector<Bytes> alone;
  for (int i = 0; i < kThreads; ++i) {
    const DocumentRun run = RunDocument(host::kDriverPath, printers[i], base, documents[i]);
    ASSERT_FALSE(run.failed) << documents[i].name << ": " << run.steps[run.failedStep].status.Describe();
    ASSERT_FALSE(run.spooled.empty()) << documents[i].name;
    alone.push_back(run.spooled);
  }

  for (int round = 0; round < kRounds; ++round) {
    std::vector<DocumentRun> runs(kThreads);
    std::latch start(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        runs[i] = RunDocument(host::kDriverPath, printers[i], base, documents[i]);
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (int i = 0; i < kThreads; ++i) {
      EXPECT_FALSE(runs[i].failed) << "round " << round << ", " << documents[i].name;
      EXPECT_TRUE(runs[i].spooled == alone[i]) << "round " << round << ", " << documents[i].name << ": "
                                               << runs[i].spooled.size() << " bytes, alone " << alone[i].size();
    }
  }
}

}  // namespace
}  // namespace test
