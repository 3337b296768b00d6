// Whole documents with every fallible host call made to fail in turn, and every spooler
// write refused or cut short in turn. For every point: nothing crashes, everything the
// host handed out comes back, the DDI call during which the failure struck is the one that
// reports it, and the spooler holds a prefix of the fault-free output (then, for an
// aborted plain document, its end byte 1A). A failure the driver is meant to absorb (a
// configuration value it cannot read has a default; a bitmap it cannot have is banded)
// must leave a complete, well-formed stream.
#include <array>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

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
  return std::set<C>{C::GetPrinterData,         C::GetPrinter,         C::RegOpenKey,
                     C::RegQueryValue,          C::GetFileVersionInfo, C::VerQueryValue,
                     C::GetFileVersionInfoSize, C::GetLocaleInfo}
      .count(call);
}

struct Scenario {
  const char* name;
  bool framed;
  bool banded;
};

// Test names and messages show the scenario by its name.
void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

// Several pages on four sets of settings: every tone mode, both orientations, both feed
// resolutions, copies, labels across the head, and pages held back and printed behind
// the next one.
Document SweepDocument(bool framed) {
  LabelSettings ordered;
  ordered.halftone = 2;
  ordered.copies = 2;
  LabelSettings threshold;
  threshold.halftone = 1;
  threshold.landscape = true;
  threshold.highResolution = true;
  threshold.paperSize = 280;  // 12 mm tape, two labels across
  LabelSettings held;
  held.halftone = 3;
  held.highResolution = true;
  held.smallChar = true;
  held.retain = true;
  held.retainLines = true;
  LabelSettings diffused;
  diffused.halftone = 3;
  diffused.paperSize = 362;  // die-cut label 18 x 30 mm
  Document document;
  for (LabelSettings* settings : {&ordered, &threshold, &held, &diffused}) settings->framed = framed;
  document.parts = {{ordered, 2}, {threshold, 1}, {held, 2}, {diffused, 1}};
  return document;
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
    baseline_ = host::Live();
    host::ClearFailures();
    clean_ = Run();
    ASSERT_FALSE(clean_.failed) << "the fault-free document fails at step "
                                << clean_.steps[clean_.failedStep].call << ": "
                                << clean_.steps[clean_.failedStep].status.Describe();
    for (size_t kind = 0; kind < kCallKinds; ++kind)
      cleanCounts_[kind] = host::CallCount(static_cast<host::Call>(kind));
    cleanTotal_ = host::AnyCallCount();
    const auto parsed = tq33stream::ParseStream(clean_.spooled.data(), clean_.spooled.size());
    ASSERT_TRUE(parsed.ok) << parsed.error;
    ASSERT_GE(tq33stream::CountLines(parsed.stream), 1u);
  }

  DocumentRun Run() {
    return RunDocument(host::kDriverPath, installation_->printer(), base_, document_);
  }

  // The checks of one fault point; `struck` is the index of the step during which the
  // failure struck. Describes the point in every message.
  void CheckPoint(const DocumentRun& run, size_t struck, const std::string& point,
                  bool absorbable) {
    ExpectNothingLeaked();
    const Bytes& clean = clean_.spooled;
    const Bytes& spooled = run.spooled;
    ASSERT_LT(struck, run.steps.size()) << point << ": the failure never struck";
    if (!run.failed) {
      // Absorbed: the document went through.
      if (spooled == clean) return;
      EXPECT_TRUE(absorbable) << point << ": absorbed in " << run.steps[struck].call
                              << " but the output changed";
      const auto parsed = tq33stream::ParseStream(spooled.data(), spooled.size());
      EXPECT_TRUE(parsed.ok) << point << ": " << parsed.error;
      changedOutputs_.insert(point.substr(0, point.find(' ')));
      return;
    }
    const RunStep& failed = run.steps[run.failedStep];
    EXPECT_EQ(run.failedStep, struck)
        << point << ": struck in " << run.steps[struck].call << " but "
        << failed.status.Describe() << " reported it";
    if (failed.call == "RenderPage" && failed.status.call != "rendering the page") {
      EXPECT_EQ(failed.struckAtLastBand, failed.struckBefore)
          << point << ": struck in a band call that went on; " << failed.status.Describe();
    }
    ++reported_[failed.status.call];

    // Up to the failure: a prefix of the fault-free output.
    const size_t kept = failed.spooledAfter;
    ASSERT_LE(kept, spooled.size()) << point;
    ASSERT_LE(kept, clean.size()) << point << ": more bytes than the fault-free document";
    const size_t mismatch =
        std::mismatch(clean.begin(), clean.begin() + kept, spooled.begin()).first - clean.begin();
    EXPECT_EQ(mismatch, kept) << point << ": byte " << mismatch << " differs from the fault-free "
                              << "output: " << Hex(spooled, mismatch, 8) << "instead of "
                              << Hex(clean, mismatch, 8);
    // After it: only the document end of the abort, in plain output.
    Bytes tail(spooled.begin() + kept, spooled.end());
    const bool aborted = run.steps.back().call == "abort";
    const Bytes expectedTail =
        aborted && !GetParam().framed ? Bytes{kDocumentEnd} : Bytes{};
    EXPECT_EQ(tail, expectedTail) << point << ": after " << failed.status.Describe();
  }

  Bytes base_;
  Document document_;
  DocumentRun clean_;
  std::array<uint64_t, kCallKinds> cleanCounts_{};
  uint64_t cleanTotal_ = 0;
  std::map<std::string, int> reported_;  // failing DDI call -> points it reported
  std::set<std::string> changedOutputs_;  // call kinds absorbed with a different output
};

TEST_P(FaultSweepTest, EveryFallibleCallFailingInTurnIsReportedLeakFreeWithAPrefixOfTheOutput) {
  int points = 0;
  int absorbed = 0;
  std::map<std::string, int> absorbedKinds;
  for (size_t kind = 0; kind < kCallKinds; ++kind) {
    const auto call = static_cast<host::Call>(kind);
    for (uint64_t nth = 1; nth <= cleanCounts_[kind]; ++nth) {
      host::ClearFailures();
      host::FailCall(call, nth);
      const DocumentRun run = Run();
      const std::string point = std::string(host::CallName(call)) + " #" + std::to_string(nth);
      ASSERT_EQ(host::FailuresStruck(), 1u) << point << " never struck: the run is not repeatable";
      size_t struck = 0;
      while (struck < run.steps.size() && run.steps[struck].struckAfter == 0) ++struck;
      CheckPoint(run, struck, point, IsConfigurationRead(call) || call == host::Call::EngCreateBitmap);
      if (!run.failed) {
        ++absorbed;
        ++absorbedKinds[host::CallName(call)];
      }
      ++points;
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_EQ(static_cast<uint64_t>(points), cleanTotal_);
  std::cout << GetParam().name << ": " << points << " fault points, " << absorbed
            << " absorbed (";
  for (const auto& [kind, count] : absorbedKinds) std::cout << kind << ' ' << count << ' ';
  std::cout << "; output changed by:";
  for (const std::string& kind : changedOutputs_) std::cout << ' ' << kind;
  std::cout << "); reported by";
  for (const auto& [call, count] : reported_) std::cout << ' ' << call << " " << count;
  std::cout << '\n';
}

TEST_P(FaultSweepTest, EveryWriteRefusedOrCutShortEndsTheDocumentWithAPrefixOfTheOutput) {
  // The size of every write of the fault-free document.
  std::vector<size_t> sizes;
  host::SetWriteSink(installation_->printer(), [&](const uint8_t*, size_t count) {
    sizes.push_back(count);
    return true;
  });
  Run();
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
      const DocumentRun run = Run();
      size_t struck = 0;
      while (struck < run.steps.size() && run.steps[struck].writesAfter < nth) ++struck;
      CheckPoint(run, struck,
                 std::string(refused ? "refused" : "short") + " write #" + std::to_string(nth) +
                     " of " + std::to_string(sizes[nth - 1]),
                 false);
      EXPECT_TRUE(run.failed) << "write #" << nth << (refused ? " refused" : " cut short")
                              << " went unreported";
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
