// SPDX-License-Identifier: Apache-2.0
// The 720-dpi corrections on a 1 m label at 720 dpi along the tape: the head-axis merge of
// the page image in both orientations, and the thinning of its raster region.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "context/device_context.h"
#include "raster/hires_corrections.h"
#include "raster/printer_commands.h"

namespace {

constexpr LONG kFeedLines = 28346;           // 1 m at 720 dpi
constexpr LONG kHeadDotsDrawn = 2 * kHeadDots;  // drawn at twice the dots across the head

// A context with just what the merge touches: a private heap and the orientation.
struct BenchContext {
  explicit BenchContext(SHORT orientation) {
    std::memset(&context, 0, sizeof(context));
    context.signatureHead = kDeviceContextSignature;
    context.signatureTail = kDeviceContextSignature;
    context.heap = HeapCreate(0, kContextHeapInitialSize, 0);
    context.settings.dm.dmOrientation = orientation;
  }
  ~BenchContext() { HeapDestroy(context.heap); }
  DeviceContext context;
};

// Text-like content: dark strokes of a few pixels on white, in no regular pattern.
std::vector<BYTE> PageImage(size_t size) {
  std::vector<BYTE> bits(size, 0xFF);
  DWORD seed = 1;
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1664525u + 1013904223u;
    if ((seed >> 28) < 3) bits[i] = static_cast<BYTE>(seed >> 20);
  }
  return bits;
}

void MergeLabel(benchmark::State& state, SHORT orientation) {
  BenchContext bench(orientation);
  const LONG cx = orientation == DMORIENT_LANDSCAPE ? kFeedLines : kHeadDotsDrawn;
  const LONG cy = orientation == DMORIENT_LANDSCAPE ? kHeadDotsDrawn : kFeedLines;
  const LONG stride = (cx + 1) & ~1;
  std::vector<BYTE> bits = PageImage(static_cast<size_t>(stride) * cy);
  SURFOBJ surface{};
  surface.sizlBitmap = {cx, cy};
  surface.lDelta = stride;
  surface.pvBits = bits.data();
  surface.cjBits = static_cast<ULONG>(bits.size());
  surface.iBitmapFormat = BMF_8BPP;
  // The merge runs over the whole image whatever it holds, so merging the merged image
  // again costs the same.
  for (auto _ : state) {
    if (!HeadAxisMerge(&bench.context, &surface)) state.SkipWithError("no selector array");
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bits.size()));
}
void MergePortraitLabel(benchmark::State& state) { MergeLabel(state, DMORIENT_PORTRAIT); }
void MergeLandscapeLabel(benchmark::State& state) { MergeLabel(state, DMORIENT_LANDSCAPE); }
BENCHMARK(MergePortraitLabel)->Unit(benchmark::kMillisecond);
BENCHMARK(MergeLandscapeLabel)->Unit(benchmark::kMillisecond);

// The label's raster region: one full-width line per feed position, a blank one now and
// then, and the page end.
void ThinLabel(benchmark::State& state) {
  std::vector<BYTE> region;
  region.reserve(static_cast<size_t>(kFeedLines) * (3 + kHeadLineBytes) + 1);
  std::vector<BYTE> image = PageImage(kHeadLineBytes * 64);
  for (LONG line = 0; line < kFeedLines; ++line) {
    if (line % 50 == 49) {
      region.push_back(kCmdZeroLine);
      continue;
    }
    region.push_back(kCmdRasterLine);
    region.push_back(kHeadLineBytes);
    region.push_back(0);
    const BYTE* data = &image[(line % 64) * kHeadLineBytes];
    for (DWORD j = 0; j < kHeadLineBytes; ++j) region.push_back(static_cast<BYTE>(~data[j]));
  }
  region.push_back(kCmdPageEnd);
  for (auto _ : state) {
    ThinOddLines(nullptr, region.data(), 0, static_cast<DWORD>(region.size()));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(region.size()));
}
BENCHMARK(ThinLabel)->Unit(benchmark::kMillisecond);

}  // namespace
