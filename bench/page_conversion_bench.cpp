// SPDX-License-Identifier: Apache-2.0
// ConvertPage end to end, from the rendered page to the packed stream handed to the
// spooler, on a 1 m label (10,000 tenths of a millimetre) 384 dots across: at 360 and
// 720 dpi, for each tone mode, in both orientations. The page holds text, bars and a
// photo area, so that every stage meets the data it meets in use; and, with diffusion at
// 720 dpi, text and bars alone, as most labels are.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstring>
#include <vector>

#include "context/device_context.h"
#include "host/host.h"
#include "raster/error_diffusion.h"
#include "raster/page_conversion.h"
#include "raster/page_output.h"

namespace {

constexpr LONG kHeadDots = 384;
constexpr WORD kPaperSize = 262;

// A device context with what the conversion reads: settings, a one-medium table, the
// error diffusion's lines and a printer whose bytes are counted and dropped.
class BenchContext {
 public:
  BenchContext(BOOL landscape, SHORT feedResolution, BYTE halftone, DWORD feedLines) {
    heap_ = HeapCreate(0, kContextHeapInitialSize, 0);
    context_ = static_cast<DeviceContext*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(DeviceContext)));
    context_->signatureHead = context_->signatureTail = kDeviceContextSignature;
    context_->heap = heap_;
    DEVMODEW& dm = context_->settings.dm;
    dm.dmOrientation = landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
    dm.dmPaperSize = kPaperSize;
    dm.dmScale = 100;
    dm.dmCopies = 1;
    dm.dmPrintQuality = 360;
    dm.dmYResolution = feedResolution;
    PrivateSettings& priv = context_->settings.priv;
    priv.privHalftone = halftone;
    priv.privAutoCut = 1;
    priv.privMargin = 57;
    priv.privUseMonitor = 1;
    context_->scaledResolution = 360;

    auto* model = static_cast<ModelRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(ModelRecord)));
    auto* entry = static_cast<MediaListEntry*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(MediaListEntry)));
    auto* table = static_cast<MediaRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, 2 * sizeof(MediaRecord)));
    entry->mePaperSize = kPaperSize;
    entry->meWidth = 360;
    entry->mePrintWidthDots = kHeadDots;
    ConvertMediaList(table, entry, 2, '0');
    context_->modelData = {model, entry, table, 1};
    context_->lineBuffers =
        static_cast<LineBufferRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(LineBufferRecord)));
    if (halftone == 3) InitDiffusion(context_, feedLines);

    printer_ = host::AddPrinter({});
    host::SetWriteSink(printer_, [this](const uint8_t*, size_t count) {
      spooled_ += count;
      return true;
    });
    context_->printer = printer_;
  }
  ~BenchContext() {
    ClearRetainedPages(context_);
    host::RemovePrinter(printer_);
    HeapDestroy(heap_);
  }
  DeviceContext* get() const { return context_; }
  uint64_t spooled() const { return spooled_; }

 private:
  HANDLE heap_ = nullptr;
  DeviceContext* context_ = nullptr;
  HANDLE printer_ = nullptr;
  uint64_t spooled_ = 0;
};

// The label in head x feed coordinates: a text band of small glyph blocks, a band of bars
// across the feed, and a photo area of smooth gradients with some texture (left white for a
// label of only black and white).
std::vector<BYTE> RenderLabel(DWORD feedLines, bool withPhoto) {
  std::vector<BYTE> label(static_cast<size_t>(kHeadDots) * feedLines, 255);
  for (DWORD f = 0; f < feedLines; ++f) {
    BYTE* line = &label[static_cast<size_t>(f) * kHeadDots];
    const DWORD glyph = f / 24, row = f % 24;
    for (DWORD h = 16; h < 120; ++h) {  // text: 24-dot glyph cells, stems and bars
      const DWORD cell = h / 16, column = h % 16;
      const DWORD seed = (glyph * 31 + cell * 17) % 7;
      if (row > 3 && row < 21 && column < 12 && ((column % (seed + 2)) < 2 || row % (seed + 5) == 0))
        line[h] = 0;
    }
    for (DWORD h = 136; h < 232; ++h) {  // bars running along the head
      line[h] = ((f / 3) * 2654435761u >> 29) & 1 ? 0 : 255;
    }
    for (DWORD h = 248; h < 376 && withPhoto; ++h) {  // photo
      line[h] = static_cast<BYTE>((h * 2 + f / 40 + ((h * 7 + f * 13) % 23)) & 0xFF);
    }
  }
  return label;
}

void ConvertLabel(benchmark::State& state) {
  const BOOL landscape = state.range(0) != 0;
  const SHORT resolution = static_cast<SHORT>(state.range(1));
  const BYTE halftone = static_cast<BYTE>(state.range(2));
  const DWORD feedLines = static_cast<DWORD>(10000LL * resolution / 254);
  const bool withPhoto = state.range(3) == 0;

  BenchContext bench(landscape, resolution, halftone, feedLines);
  const std::vector<BYTE> label = RenderLabel(feedLines, withPhoto);
  const LONG cx = landscape ? static_cast<LONG>(feedLines) : kHeadDots;
  const LONG cy = landscape ? kHeadDots : static_cast<LONG>(feedLines);
  const LONG stride = (cx + 1) / 2 * 2;
  std::vector<BYTE> page(static_cast<size_t>(stride) * cy, 255);
  for (DWORD f = 0; f < feedLines; ++f) {
    for (LONG h = 0; h < kHeadDots; ++h) {
      const BYTE pixel = label[static_cast<size_t>(f) * kHeadDots + h];
      if (landscape) {
        page[static_cast<size_t>(h) * stride + f] = pixel;
      } else {
        page[static_cast<size_t>(f) * stride + h] = pixel;
      }
    }
  }
  std::vector<BYTE> image(page.size());
  SURFOBJ surface = {};
  surface.dhpdev = HandleFromContext(bench.get());
  surface.iBitmapFormat = BMF_8BPP;
  surface.sizlBitmap = {cx, cy};
  surface.lDelta = stride;
  surface.pvBits = image.data();
  surface.cjBits = static_cast<ULONG>(image.size());

  host::ResetPeakBytes();
  const uint64_t baseBytes = host::Memory().current;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(image.data(), page.data(), page.size());  // the conversion works in place
    state.ResumeTiming();
    if (!ConvertPage(&surface)) {
      state.SkipWithError("conversion failed");
      return;
    }
  }
  const int64_t pixels = static_cast<int64_t>(cx) * cy;
  state.SetItemsProcessed(state.iterations() * pixels);
  state.counters["stream_bytes"] = static_cast<double>(bench.spooled() / state.iterations());
  state.counters["peak_heap_MB"] = (host::Memory().peak - baseBytes) / 1e6;
  rusage usage = {};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["max_rss_MB"] = usage.ru_maxrss / 1e3;
}

// Orientation (1 landscape), feed resolution, tone mode (1 threshold, 2 ordered, 3 diffusion),
// and 1 for a label of only black and white (text and bars, no photo): with diffusion, its
// lines need no filter.
BENCHMARK(ConvertLabel)
    ->ArgNames({"landscape", "dpi", "tone", "bw"})
    ->ArgsProduct({{0, 1}, {360, 720}, {1, 2, 3}, {0}})
    ->Args({0, 720, 3, 1})
    ->Args({1, 720, 3, 1})
    ->Unit(benchmark::kMillisecond);

}  // namespace
