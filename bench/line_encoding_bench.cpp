// SPDX-License-Identifier: Apache-2.0
// PackRasterLines over the raster region of a 1 m label at 720 dpi (28,346 feed lines),
// for three kinds of content: text, a dithered photo, and a blank label.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "context/device_context.h"
#include "raster/line_encoding.h"
#include "raster/printer_commands.h"

namespace {

constexpr DWORD kFeedLines = 28346;  // 1000 mm at 720 dpi

// A device context with nothing but its private heap, which is all the packer uses.
class BenchContext {
 public:
  BenchContext() {
    heap_ = HeapCreate(0, kContextHeapInitialSize, 0);
    context_ = static_cast<DeviceContext*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(DeviceContext)));
    context_->signatureHead = kDeviceContextSignature;
    context_->signatureTail = kDeviceContextSignature;
    context_->heap = heap_;
  }
  ~BenchContext() { HeapDestroy(heap_); }
  DeviceContext* get() const { return context_; }

 private:
  HANDLE heap_ = nullptr;
  DeviceContext* context_ = nullptr;
};

void AppendLine(std::vector<BYTE>* region, const BYTE* data, DWORD count) {
  bool blank = true;
  for (DWORD i = 0; i < count; ++i) blank = blank && data[i] == 0;
  if (blank) {
    region->push_back(kCmdZeroLine);
    return;
  }
  region->push_back(kCmdRasterLine);
  region->push_back(static_cast<BYTE>(count));
  region->push_back(0);
  region->insert(region->end(), data, data + count);
}

void SetDots(BYTE* line, int from, int to) {
  for (int dot = from; dot < to; ++dot) line[dot / 8] |= static_cast<BYTE>(0x80 >> (dot % 8));
}

// Text on a 24 mm tape: 128 printed dots behind a 128-dot margin, so 32 bytes a line of
// which the first 16 are zero. Letters 40 lines wide with 12 blank lines between them;
// inside a letter each line crosses one to three strokes.
std::vector<BYTE> TextRegion() {
  std::mt19937 random(7);
  std::vector<BYTE> region;
  BYTE line[32];
  for (DWORD f = 0; f < kFeedLines; ++f) {
    std::memset(line, 0, sizeof(line));
    const DWORD inLetter = f % 52;
    if (inLetter < 40) {
      const int strokes = 1 + static_cast<int>(random() % 3);
      for (int s = 0; s < strokes; ++s) {
        const int from = 128 + 8 + static_cast<int>(random() % 100);
        const int width = inLetter < 6 || inLetter > 33 ? 40 + static_cast<int>(random() % 60)
                                                        : 6 + static_cast<int>(random() % 8);
        SetDots(line, from, from + width < 256 ? from + width : 256);
      }
    }
    AppendLine(&region, line, sizeof(line));
  }
  region.push_back(kCmdPageEnd);
  return region;
}

// A photo across the whole head (48 bytes a line), dithered by error diffusion from a
// smooth picture with grain, so that neighbouring bytes rarely repeat.
std::vector<BYTE> PhotoRegion() {
  std::mt19937 random(11);
  std::vector<BYTE> region;
  std::vector<int> error(kHeadDots + 2, 0);
  BYTE line[kHeadLineBytes];
  for (DWORD f = 0; f < kFeedLines; ++f) {
    std::memset(line, 0, sizeof(line));
    std::vector<int> next(kHeadDots + 2, 0);
    for (DWORD x = 0; x < kHeadDots; ++x) {
      const int grey = 60 + (x * 120 / kHeadDots) + static_cast<int>((f / 37) % 60) +
                       static_cast<int>(random() % 40);
      const int value = grey + error[x + 1];
      const bool dot = value < 128;
      if (dot) line[x / 8] |= static_cast<BYTE>(0x80 >> (x % 8));
      const int e = value - (dot ? 0 : 255);
      error[x + 2] += e * 7 / 16;
      next[x] += e * 3 / 16;
      next[x + 1] += e * 5 / 16;
      next[x + 2] += e / 16;
    }
    error.swap(next);
    AppendLine(&region, line, sizeof(line));
  }
  region.push_back(kCmdPageEnd);
  return region;
}

std::vector<BYTE> BlankRegion() {
  std::vector<BYTE> region(kFeedLines, kCmdZeroLine);
  region.push_back(kCmdPageEnd);
  return region;
}

void PackRegion(benchmark::State& state, const std::vector<BYTE>& region) {
  BenchContext context;
  const DWORD start = kPageStreamRasterStart;
  const DWORD length = start + static_cast<DWORD>(region.size());
  std::vector<BYTE> stream(2 * static_cast<size_t>(length) + 2, 0);
  DWORD packed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(stream.data() + start, region.data(), region.size());
    state.ResumeTiming();
    packed = PackRasterLines(context.get(), stream.data(), start, length,
                             static_cast<DWORD>(stream.size()));
    benchmark::DoNotOptimize(packed);
  }
  if (packed == 0) state.SkipWithError("PackRasterLines failed");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(region.size()));
  state.counters["region_bytes"] = static_cast<double>(region.size());
  state.counters["packed_bytes"] = static_cast<double>(packed - start);
}

void BM_PackRasterLines_Text(benchmark::State& state) {
  static const std::vector<BYTE> region = TextRegion();
  PackRegion(state, region);
}
void BM_PackRasterLines_Photo(benchmark::State& state) {
  static const std::vector<BYTE> region = PhotoRegion();
  PackRegion(state, region);
}
void BM_PackRasterLines_Blank(benchmark::State& state) {
  static const std::vector<BYTE> region = BlankRegion();
  PackRegion(state, region);
}

BENCHMARK(BM_PackRasterLines_Text)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PackRasterLines_Photo)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PackRasterLines_Blank)->Unit(benchmark::kMicrosecond);

}  // namespace
