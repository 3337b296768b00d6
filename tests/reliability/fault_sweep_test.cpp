// SPDX-License-Identifier: Apache-2.0
// Whole documents with every fallible host call made to fail in turn, and every spooler
// write refused or cut short in turn. For every point: nothing crashes, everything the
// host handed out comes back, the DDI call during which the failure struck is the one
// that reports it, and the spooler holds a prefix of the fault-free output (then, for a
// plain document aborted for anything but a failed write, its end byte 1A). Only a failure
// the driver is meant to absorb (a value it cannot read or make has a default; a bitmap it
// cannot have is banded) may go unreported, and it must leave a well-formed stream.
//
// A call made again from the same place (the same stack: the second page of a part, the
// next band, the next reset) fails the same way as the first time, so each distinct stack
// of the fault-free document is failed once, at its first call: a later one would only
// print more of the document before reaching the same code. And a run ends with the part
// of the document (the pages on one set of settings) in which its failure struck: what
// follows a reset starts from the settings again.
#include <dlfcn.h>
#include <execinfo.h>

#include <array>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "stream/stream_parser.h"
#include "tests/support/engine_fixture.h"

namespace test {
namespace {

constexpr size_t kCallKinds = static_cast<size_t>(host::Call::Count);
constexpr uint8_t kDocumentEnd = 0x1A;
// Engine bitmaps of at most this many bytes: every page of the documents is banded.
constexpr uint64_t kBandBytes = 24 * 1024;

// Reads of configuration that the driver replaces by a default when they fail.
bool IsConfigurationRead(host::Call call) {
  using C = host::Call;
  return std::set<C>{C::GetPrinterData, C::GetPrinter, C::RegOpenKey, C::RegQueryValue, C::GetLocaleInfo}.count(call);
}

struct Scenario { const char* name; bool framed; bool banded; };

// Test names and messages show the scenario by its name.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// Several pages on four sets of settings: every tone mode, both orientations, both feed
// resolutions, copies, labels across the head, and pages held back and printed behind
// the next one. Tapes print 15 mm labels: short pages keep the sweep cheap, and the
// shortest at which every page still takes several of the banded scenario's bands (at 10 mm
// some fit in one, and the calls of the band loop's middle go unswept).
Document SweepDocument(bool framed) {
  LabelSettings ordered, threshold, held, diffused;
  ordered.halftone = 2, ordered.copies = 2;
  threshold.halftone = 1, threshold.landscape = true, threshold.highResolution = true;
  threshold.paperSize = 280;  // 12 mm tape, two labels across
  held.halftone = 3, held.highResolution = true, held.smallChar = true;
  held.retain = true, held.retainLines = true;
  diffused.halftone = 3, diffused.paperSize = 362;  // die-cut label 18 x 30 mm
  Document document;
  for (LabelSettings* settings : {&ordered, &threshold, &held, &diffused}) {
    settings->framed = framed;
    settings->paperLength = 150;  // tenths of a millimetre
  }
  document.parts = {{ordered, 2}, {threshold, 1}, {held, 2}, {diffused, 1}};
  return document;
}

// Fewer frames than this from the test's body down to a host call mean that the stack
// could not be unwound, and calls from different places would look alike.
constexpr int kLeastFrames = 8;

// The driver's functions that take a default for whatever they cannot have (the model's
// and the resource library's settings, the locale's country, the diffusion's spare room).
constexpr const char* kDefaultTakers[] = {"BuildDefaultSettings", "IsMetricCountry", "InitDiffusion"};

// Where a fallible call was made: its kind and the return addresses of its stack, each as
// its module's file name and the offset in it (the same key wherever a library is loaded),
// and "default" for a default taker's. Empty when the stack cannot be unwound.
std::string CallSite(host::Call call) {
  std::array<void*, 64> frames{};
  const int count = backtrace(frames.data(), static_cast<int>(frames.size()));
  if (count < kLeastFrames) return {};
  std::ostringstream key;
  key << host::CallName(call);
  for (int i = 0; i < count; ++i) {
    Dl_info info{};
    const auto address = reinterpret_cast<uintptr_t>(frames[i]);
    if (dladdr(frames[i], &info) != 0 && info.dli_fname != nullptr) {
      const char* slash = std::strrchr(info.dli_fname, '/');
      key << ' ' << (slash ? slash + 1 : info.dli_fname) << '+' << std::hex
          << address - reinterpret_cast<uintptr_t>(info.dli_fbase);
      for (const char* taker : kDefaultTakers)
        if (info.dli_sname && std::strstr(info.dli_sname, taker)) key << " default";
    } else {
      key << ' ' << std::hex << address;
    }
  }
  return key.str();
}

// A fallible call of the fault-free run: where it was made, and how many fallible calls of
// any kind were made up to and including it.
struct CallRecord { std::string site; uint64_t sequence = 0; };

// The calls of the fault-free run in the order they were made, per kind.
std::array<std::vector<CallRecord>, kCallKinds>& CleanCalls() {
  static std::array<std::vector<CallRecord>, kCallKinds> calls;
  return calls;
}

void NoteCall(host::Call call) {
  // The observer is told before the call is counted.
  CleanCalls()[static_cast<size_t>(call)].push_back({CallSite(call), host::AnyCallCount() + 1});
}

std::string Hex(const Bytes& bytes, size_t from, size_t count) {
  std::ostringstream out;
  for (size_t i = from; i < bytes.size() && i < from + count; ++i)
    out << std::hex << static_cast<int>(bytes[i]) << ' ';
  return out.str();
}

class FaultSweepTest : public EngineTest, public ::testing::WithParamInterface<Scenario> {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    base_ = DefaultSettingsRecord(host::kDriverPath, installation_->printer());
    ASSERT_FALSE(base_.empty());
    document_ = SweepDocument(GetParam().framed);
    host::SetMaxBitmapBytes(GetParam().banded ? kBandBytes : 0);
    // The driver and the model-data library load and unload at every run as ever (their
    // entry and load calls are swept), but stay mapped in between: mapping them anew for
    // every point costs more than the point under an emulator.
    for (const char16_t* path : {host::kDriverPath, host::kModelLibraryPath}) {
      HMODULE module = LoadLibraryW(host::Wide(path));
      ASSERT_NE(module, nullptr);
      held_.push_back(module);
    }
    baseline_ = host::Live();
    host::ClearFailures();
    for (auto& calls : CleanCalls()) calls.clear();
    host::SetCallObserver(NoteCall);
    const DocumentRun whole = Run(document_.parts.size());
    host::SetCallObserver(nullptr);
    ASSERT_FALSE(whole.failed) << "the fault-free document fails at step "
                               << whole.steps[whole.failedStep].call << ": "
                               << whole.steps[whole.failedStep].status.Describe();
    for (size_t kind = 0; kind < kCallKinds; ++kind) {
      cleanCounts_[kind] = host::CallCount(static_cast<host::Call>(kind));
      for (const CallRecord& record : CleanCalls()[kind])
        ASSERT_FALSE(record.site.empty()) << "the stack of a call could not be unwound";
    }
    cleanTotal_ = host::AnyCallCount();
    // The parts of the document up to the step in which each call was made.
    size_t parts = 1;
    for (const RunStep& step : whole.steps) {
      if (step.call == "Reset") ++parts;
      partsAtCall_.resize(step.callsAfter + 1, parts);
    }
    const auto parsed = tq33stream::ParseStream(whole.spooled.data(), whole.spooled.size());
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_GE(tq33stream::CountLines(parsed.stream), 1u);
    clean_[document_.parts.size()] = whole.spooled;
  }

  void TearDown() override {
    ExpectNothingLeaked();
    for (HMODULE module : held_) FreeLibrary(module);
    held_.clear();
    baseline_ = host::Live();
    EngineTest::TearDown();
  }

  // The document's first `parts` parts, printed.
  DocumentRun Run(size_t parts) {
    Document document = document_;
    document.parts.resize(parts);
    return RunDocument(host::kDriverPath, installation_->printer(), base_, document);
  }

  // The fault-free output of the first `parts` parts.
  const Bytes& Clean(size_t parts) {
    auto found = clean_.find(parts);
    if (found != clean_.end()) return found->second;
    host::ClearFailures();
    return clean_[parts] = Run(parts).spooled;
  }

  // The checks of one fault point; `struck` is the index of the step during which the
  // failure struck, `write` whether it was a spooler write. Describes the point in every
  // message.
  void CheckPoint(const DocumentRun& run, const Bytes& clean, size_t struck,
                  const std::string& point, bool absorbable, bool write) {
    ExpectNothingLeaked();
    const Bytes& spooled = run.spooled;
    ASSERT_LT(struck, run.steps.size()) << point << ": the failure never struck";
    if (!run.failed) {
      // Absorbed: the document went through, as it may only where a default is taken.
      EXPECT_TRUE(absorbable) << point << ": absorbed in " << run.steps[struck].call;
      if (spooled == clean) return;
      const auto parsed = tq33stream::ParseStream(spooled.data(), spooled.size());
      EXPECT_TRUE(parsed.ok) << point << ": " << parsed.error;
      return;
    }
    const RunStep& failed = run.steps[run.failedStep];
    EXPECT_EQ(run.failedStep, struck) << point << ": struck in " << run.steps[struck].call << " but "
                                      << failed.status.Describe() << " reported it";
    if (failed.call == "RenderPage" && failed.status.call != "rendering the page") {
      EXPECT_EQ(failed.struckAtLastBand, failed.struckBefore)
          << point << ": struck in a band call that went on; " << failed.status.Describe();
    }

    // Up to the failure: a prefix of the fault-free output.
    const size_t kept = failed.spooledAfter;
    ASSERT_LE(kept, spooled.size()) << point;
    ASSERT_LE(kept, clean.size()) << point << ": more bytes than the fault-free document";
    const size_t mismatch = std::mismatch(clean.begin(), clean.begin() + kept, spooled.begin()).first - clean.begin();
    EXPECT_EQ(mismatch, kept) << point << ": byte " << mismatch << " differs from the fault-free "
                              << "output: " << Hex(spooled, mismatch, 8) << "instead of " << Hex(clean, mismatch, 8);
    // After it: only the document end of the abort, in plain output; nothing at all after
    // a failed write.
    Bytes tail(spooled.begin() + kept, spooled.end());
    const bool aborted = run.steps.back().call == "abort";
    const Bytes expectedTail = aborted && !GetParam().framed && !write ? Bytes{kDocumentEnd} : Bytes{};
    EXPECT_EQ(tail, expectedTail) << point << ": after " << failed.status.Describe();
  }

  std::vector<HMODULE> held_;
  Bytes base_;
  Document document_;
  std::map<size_t, Bytes> clean_;      // parts printed -> fault-free output
  std::vector<size_t> partsAtCall_;    // fallible call (1 = the first) -> parts printed by then
  std::array<uint64_t, kCallKinds> cleanCounts_{};
  uint64_t cleanTotal_ = 0;
};

TEST_P(FaultSweepTest, EveryFallibleCallFailingInTurnIsReportedLeakFreeWithAPrefixOfTheOutput) {
  int points = 0;
  int absorbed = 0;
  std::set<std::string> failedSites;
  for (size_t kind = 0; kind < kCallKinds; ++kind) {
    const auto call = static_cast<host::Call>(kind);
    const std::vector<CallRecord>& calls = CleanCalls()[kind];
    ASSERT_EQ(calls.size(), cleanCounts_[kind]) << host::CallName(call);
    for (uint64_t nth = 1; nth <= calls.size(); ++nth) {
      if (!failedSites.insert(calls[nth - 1].site).second) continue;
      const size_t parts = partsAtCall_[calls[nth - 1].sequence];
      const Bytes& clean = Clean(parts);
      host::ClearFailures();
      host::FailCall(call, nth);
      const DocumentRun run = Run(parts);
      const std::string point = std::string(host::CallName(call)) + " #" + std::to_string(nth);
      size_t struck = 0;
      while (struck < run.steps.size() && run.steps[struck].struckAfter == 0) ++struck;
      CheckPoint(run, clean, struck, point, IsConfigurationRead(call) || call == host::Call::EngCreateBitmap ||
                     calls[nth - 1].site.find(" default") != std::string::npos, call == host::Call::WritePrinter);
      absorbed += !run.failed;
      ++points;
      if (HasFatalFailure()) return;
    }
  }
  std::cout << GetParam().name << ": " << cleanTotal_ << " fallible calls from " << points
            << " places, each failed once; " << absorbed << " absorbed\n";
}

TEST_P(FaultSweepTest, EveryWriteRefusedOrCutShortEndsTheDocumentWithAPrefixOfTheOutput) {
  // The size of every write of the fault-free document.
  std::vector<size_t> sizes;
  host::SetWriteSink(installation_->printer(), [&](const uint8_t*, size_t count) {
    sizes.push_back(count);
    return true;
  });
  Run(document_.parts.size());
  host::SetWriteSink(installation_->printer(), {});
  ASSERT_FALSE(sizes.empty());

  for (uint64_t nth = 1; nth <= sizes.size(); ++nth) {
    for (bool refused : {true, false}) {
      host::ClearFailures();
      if (refused) {
        host::FailCall(host::Call::WritePrinter, nth);
      } else {
        host::ShortWriteAt(installation_->printer(), nth, static_cast<uint32_t>(sizes[nth - 1] / 2));
      }
      const DocumentRun run = Run(document_.parts.size());
      size_t struck = 0;
      while (struck < run.steps.size() && run.steps[struck].writesAfter < nth) ++struck;
      CheckPoint(run, clean_[document_.parts.size()], struck,
                 std::string(refused ? "refused" : "short") + " write #" + std::to_string(nth) +
                     " of " + std::to_string(sizes[nth - 1]),
                 false, true);
      if (HasFatalFailure()) return;
    }
  }
  std::cout << GetParam().name << ": " << sizes.size() << " writes, each refused and cut short\n";
}

INSTANTIATE_TEST_SUITE_P(Documents, FaultSweepTest,
                         ::testing::Values(Scenario{"PlainSingleBitmap", false, false},
                                           Scenario{"PlainBanded", false, true},
                                           Scenario{"FramedSingleBitmap", true, false},
                                           Scenario{"FramedBanded", true, true}),
                         [](const auto& scenario) { return std::string(scenario.param.name); });

}  // namespace
}  // namespace test
