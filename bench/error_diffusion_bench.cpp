// SPDX-License-Identifier: Apache-2.0
// Error diffusion of lines along a 1 m label at 720 dpi (28,346 pixels), line after line,
// so the error lines rotate as they do on a page: one line per call (DiffuseLine) and
// blocks of lines per call (DiffuseLines, as the page conversion hands them over).
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "context/device_context.h"
#include "raster/error_diffusion.h"

namespace {

constexpr DWORD kLineLength = 28346;  // 1 m at 720 dpi

// A context with just what the diffusion touches: a private heap and its line record.
struct BenchContext {
  BenchContext() {
    std::memset(&context, 0, sizeof(context));
    context.heap = HeapCreate(0, kContextHeapInitialSize, 0);
    context.lineBuffers = &lines;
  }
  ~BenchContext() {
    FreeDiffusion(&context);
    HeapDestroy(context.heap);
  }
  DeviceContext context;
  LineBufferRecord lines = {};
};

// A slow ramp with some texture, different on every line: grey levels of every kind, as a
// photo would have.
std::vector<BYTE> PhotoLines(DWORD lineCount) {
  std::vector<BYTE> input(static_cast<size_t>(kLineLength) * lineCount);
  for (DWORD line = 0; line < lineCount; ++line) {
    for (DWORD i = 0; i < kLineLength; ++i) {
      input[static_cast<size_t>(line) * kLineLength + i] =
          static_cast<BYTE>(((i + 37 * line) / 111 + (i * 7 + line) % 13) & 0xFF);
    }
  }
  return input;
}

void DiffuseLongLine(benchmark::State& state) {
  BenchContext bench;
  if (!InitDiffusion(&bench.context, kLineLength)) {
    state.SkipWithError("no error lines");
    return;
  }
  const std::vector<BYTE> input = PhotoLines(1);
  std::vector<BYTE> output((kLineLength + 7) / 8);
  for (auto _ : state) {
    DiffuseLine(&bench.context, input.data(), output.data(), kLineLength);
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kLineLength));
}
BENCHMARK(DiffuseLongLine);

// Lines per call: a group of eight, and a block of 100 (the page conversion's largest).
void DiffuseLongLines(benchmark::State& state) {
  const DWORD lineCount = static_cast<DWORD>(state.range(0));
  BenchContext bench;
  if (!InitDiffusion(&bench.context, kLineLength)) {
    state.SkipWithError("no error lines");
    return;
  }
  const std::vector<BYTE> input = PhotoLines(lineCount);
  const DWORD outputBytes = (kLineLength + 7) / 8;
  std::vector<BYTE> output(static_cast<size_t>(outputBytes) * lineCount);
  for (auto _ : state) {
    DiffuseLines(&bench.context, input.data(), kLineLength, output.data(), outputBytes,
                 kLineLength, lineCount);
    benchmark::DoNotOptimize(output.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(kLineLength) * lineCount);
}
BENCHMARK(DiffuseLongLines)->Arg(8)->Arg(100);

}  // namespace
