// Error diffusion of one line along a 1 m label at 720 dpi (28,346 pixels), line after
// line, so the error lines rotate as they do on a page.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "driver/device_context.h"
#include "raster/error_diffusion.h"

namespace {

constexpr DWORD kLineLength = 28346;  // 1 m at 720 dpi

// A context with just what the diffusion touches: a private heap and its line record.
struct BenchContext {
  BenchContext() {
    std::memset(&context, 0, sizeof(context));
    context.heap = HeapCreate(0, CONTEXT_HEAP_INITIAL_SIZE, 0);
    context.lineBuffers = &lines;
  }
  ~BenchContext() {
    FreeDiffusion(&context);
    HeapDestroy(context.heap);
  }
  DeviceContext context;
  LineBufferRecord lines = {};
};

void DiffuseLongLine(benchmark::State& state) {
  BenchContext bench;
  if (!InitDiffusion(&bench.context, kLineLength)) {
    state.SkipWithError("no error lines");
    return;
  }
  // A slow ramp with some texture: grey levels of every kind, as a photo would have.
  std::vector<BYTE> input(kLineLength);
  for (DWORD i = 0; i < kLineLength; ++i) {
    input[i] = static_cast<BYTE>((i / 111 + (i * 7) % 13) & 0xFF);
  }
  std::vector<BYTE> output((kLineLength + 7) / 8);
  for (auto _ : state) {
    DiffuseLine(&bench.context, input.data(), output.data(), kLineLength);
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kLineLength));
}
BENCHMARK(DiffuseLongLine);

}  // namespace
