// SPDX-License-Identifier: Apache-2.0
// Live-object accounting and failure injection for the host's calls.
#include <array>
#include <atomic>

#include "host/host_internal.h"
#include "platform/slim_lock.h"

namespace host {
namespace {

constexpr size_t kLiveKinds = static_cast<size_t>(internal::Live::Count);
constexpr size_t kCallKinds = static_cast<size_t>(Call::Count);

std::array<std::atomic<int64_t>, kLiveKinds> g_live{};
std::atomic<uint64_t> g_bytes{0};
std::atomic<uint64_t> g_peakBytes{0};

// A planned failure: the call whose count reaches `at` fails, and every later one when
// `andAfter` is set. 0 means nothing planned.
struct Plan {
  uint64_t at = 0;
  bool andAfter = false;
};

struct FaultState {
  SlimLock lock;
  std::array<uint64_t, kCallKinds> counts{};
  std::array<Plan, kCallKinds> plans{};
  uint64_t anyCount = 0;
  Plan anyPlan;
  uint64_t struck = 0;
  std::atomic<CallObserver> observer{nullptr};
};

FaultState& Faults() {
  static FaultState state;
  return state;
}

bool Strikes(const Plan& plan, uint64_t count) {
  if (plan.at == 0) return false;
  return plan.andAfter ? count >= plan.at : count == plan.at;
}

const char* const kCallNames[] = {
    "HeapCreate", "HeapAlloc", "GlobalAlloc", "LocalAlloc", "LockCreate", "LoadLibrary",
    "GetProcAddress", "CreateFile", "CreateFileMapping", "MapViewOfFile", "GetPrinterDriver",
    "GetPrinterDriverDirectory", "GetPrinterData", "GetPrinter", "WritePrinter", "RegOpenKey",
    "RegQueryValue", "GetFileVersionInfoSize", "GetFileVersionInfo", "VerQueryValue",
    "GetLocaleInfo", "EngCreateBitmap", "EngAssociateSurface", "EngMarkBandingSurface",
    "EngLockSurface", "EngCreatePalette", "ClipPath"};
static_assert(std::size(kCallNames) == kCallKinds);

}  // namespace

namespace internal {

void CountUp(Live kind) { g_live[static_cast<size_t>(kind)].fetch_add(1); }
void CountDown(Live kind) { g_live[static_cast<size_t>(kind)].fetch_sub(1); }

void BytesTaken(uint64_t bytes) {
  uint64_t now = g_bytes.fetch_add(bytes) + bytes;
  uint64_t peak = g_peakBytes.load();
  while (now > peak && !g_peakBytes.compare_exchange_weak(peak, now)) {
  }
}

void BytesGiven(uint64_t bytes) { g_bytes.fetch_sub(bytes); }

void ResetFaults() { ClearFailures(); }

}  // namespace internal

int64_t LiveObjects::Total() const {
  return heaps + heapBlocks + globalBlocks + localBlocks + locks + modules + handles + views +
         keys + surfaces + palettes + paths;
}

std::string LiveObjects::Describe() const {
  std::string text;
  const char* names[] = {"heaps", "heapBlocks", "globalBlocks", "localBlocks", "locks", "modules",
                         "handles", "views", "keys", "surfaces", "palettes", "paths", "badReleases"};
  const int64_t values[] = {heaps, heapBlocks, globalBlocks, localBlocks, locks, modules,
                            handles, views, keys, surfaces, palettes, paths, badReleases};
  const char* separator = "";
  for (size_t i = 0; i < std::size(values); ++i) {
    if (values[i] == 0) continue;
    text.append(separator).append(names[i]).append(" ").append(std::to_string(values[i]));
    separator = ", ";
  }
  return text.empty() ? "none" : text;
}

LiveObjects Live() {
  using internal::Live;
  auto get = [](Live kind) { return g_live[static_cast<size_t>(kind)].load(); };
  LiveObjects live;
  live.heaps = get(Live::Heaps);
  live.heapBlocks = get(Live::HeapBlocks);
  live.globalBlocks = get(Live::GlobalBlocks);
  live.localBlocks = get(Live::LocalBlocks);
  live.locks = get(Live::Locks);
  live.modules = get(Live::Modules);
  live.handles = get(Live::Handles);
  live.views = get(Live::Views);
  live.keys = get(Live::Keys);
  live.surfaces = get(Live::Surfaces);
  live.palettes = get(Live::Palettes);
  live.paths = get(Live::Paths);
  live.badReleases = get(Live::BadReleases);
  return live;
}

MemoryBytes Memory() { return {g_bytes.load(), g_peakBytes.load()}; }

void ResetPeakBytes() { g_peakBytes.store(g_bytes.load()); }

const char* CallName(Call call) {
  size_t index = static_cast<size_t>(call);
  return index < kCallKinds ? kCallNames[index] : "?";
}

void FailCall(Call call, uint64_t nth, bool andAfter) {
  FaultState& state = Faults();
  std::lock_guard guard(state.lock);
  size_t index = static_cast<size_t>(call);
  state.plans[index] = {nth == 0 ? 0 : state.counts[index] + nth, andAfter};
}

void FailAnyCall(uint64_t nth, bool andAfter) {
  FaultState& state = Faults();
  std::lock_guard guard(state.lock);
  state.anyPlan = {nth == 0 ? 0 : state.anyCount + nth, andAfter};
}

uint64_t CallCount(Call call) {
  FaultState& state = Faults();
  std::lock_guard guard(state.lock);
  return state.counts[static_cast<size_t>(call)];
}

uint64_t AnyCallCount() {
  FaultState& state = Faults();
  std::lock_guard guard(state.lock);
  return state.anyCount;
}

void ClearFailures() {
  FaultState& state = Faults();
  std::lock_guard guard(state.lock);
  state.counts.fill(0);
  state.plans.fill(Plan{});
  state.anyCount = 0;
  state.anyPlan = Plan{};
  state.struck = 0;
}

uint64_t FailuresStruck() {
  FaultState& state = Faults();
  std::lock_guard guard(state.lock);
  return state.struck;
}

void SetCallObserver(CallObserver observer) { Faults().observer.store(observer); }

bool ShouldFail(Call call) {
  FaultState& state = Faults();
  if (CallObserver observer = state.observer.load()) observer(call);
  std::lock_guard guard(state.lock);
  size_t index = static_cast<size_t>(call);
  uint64_t count = ++state.counts[index];
  uint64_t any = ++state.anyCount;
  bool fail = Strikes(state.plans[index], count) || Strikes(state.anyPlan, any);
  if (fail) ++state.struck;
  return fail;
}

}  // namespace host
