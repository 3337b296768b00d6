// SPDX-License-Identifier: Apache-2.0
#include "tests/support/test_context.h"

#include <cstring>
#include <stdexcept>

namespace test {

MediaListEntry Tape(WORD paperSize, SHORT width, SHORT printWidthDots, BYTE widthMultiple) {
  MediaListEntry m{};
  m.mePaperSize = paperSize;
  m.meWidth = width;
  m.mePrintWidth = static_cast<SHORT>(printWidthDots * 254 / 360);
  m.meWidthDots = static_cast<SHORT>(width * 360 / 254);
  m.mePrintWidthDots = printWidthDots;
  m.meWidthMultiple = widthMultiple;
  return m;
}

MediaListEntry SpecialTape(WORD paperSize, SHORT width, SHORT printWidthDots) {
  MediaListEntry m = Tape(paperSize, width, printWidthDots);
  m.meKindCode = 16;
  m.meOptions = 1;
  return m;
}

MediaListEntry Label(WORD paperSize, SHORT width, SHORT printWidthDots, SHORT length,
                     SHORT printLength, SHORT lengthDots, SHORT printLengthDots, SHORT kindCode) {
  MediaListEntry m = Tape(paperSize, width, printWidthDots);
  m.meLength = length, m.mePrintLength = printLength, m.meKindCode = kindCode;
  m.meLengthDots = lengthDots, m.mePrintLengthDots = printLengthDots;
  return m;
}

SettingsRecord FixedDefaults() {
  SettingsRecord s{};
  const char16_t kForm[] = u"VK 24mm (RFID)";
  std::memcpy(s.dm.dmFormName, kForm, sizeof(kForm));
  DEVMODEW& d = s.dm;
  d.dmSpecVersion = SETTINGS_SPEC_VERSION, d.dmDriverVersion = SETTINGS_DRIVER_VERSION;
  d.dmSize = SETTINGS_PUBLIC_SIZE, d.dmDriverExtra = SETTINGS_PRIVATE_SIZE, d.dmFields = kSettingsDefaultFields;
  d.dmOrientation = DMORIENT_LANDSCAPE, d.dmPaperSize = kLastResortPaperSize;
  d.dmPaperLength = 1000, d.dmPaperWidth = 240, d.dmScale = 100, d.dmCopies = 1;
  d.dmPrintQuality = 360, d.dmYResolution = 360;
  d.dmColor = DMCOLOR_MONOCHROME, d.dmDuplex = DMDUP_SIMPLEX, d.dmTTOption = DMTT_SUBDEV;
  PrivateSettings& p = s.priv;
  p.xbSize = EXCHANGE_BLOCK_SIZE, p.xbReport = 0x3F, p.xbPaperSize = kLastResortPaperSize;
  p.xbMargin = 57, p.xbWidthMultiple = 1, p.xbLength = 1417, p.xbOptions = 0x201;
  std::memcpy(p.xbTag, "VQNZ", 4);
  p.privSignature = PRIV_SIGNATURE, p.privFlags = 0x30A0, p.privHalftone = 3;
  p.privColorAdjustment = {24, 0, 0, 10000, 10000, 10000, 0, 10000, 0, 0, 0, 0};
  p.privLengthDots = 1417, p.privLength = 1000, p.privMarginInDots = 1, p.privMargin = 57;
  p.privAutoCut = 1, p.privHalfCut = 1, p.privUseMonitor = 1, p.privHighResAllowed = 1;
  return s;
}

TestContext::TestContext(std::vector<MediaListEntry> media, BYTE modelType) {
  heap_ = HeapCreate(0, kContextHeapInitialSize, 0);
  if (!heap_) throw std::runtime_error("no heap for the test context");
  context_ = static_cast<DeviceContext*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(DeviceContext)));
  context_->signatureHead = context_->signatureTail = kDeviceContextSignature;
  context_->heap = heap_;
  context_->scaledResolution = 360;
  context_->settings = context_->defaultSettings = FixedDefaults();
  context_->lineBuffers =
      static_cast<LineBufferRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(LineBufferRecord)));
  context_->sideRecord = static_cast<SideRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(SideRecord)));
  if (media.empty()) media = {Tape(262, 240, 128)};
  SetMedia(media, modelType);
}

void TestContext::SetMedia(const std::vector<MediaListEntry>& media, BYTE modelType) {
  const ModelData& old = context_->modelData;
  for (void* block : {static_cast<void*>(old.modelRecord), static_cast<void*>(old.mediaList),
                      static_cast<void*>(old.mediaTable)}) {
    if (block) HeapFree(heap_, 0, block);
  }
  DWORD count = static_cast<DWORD>(media.size());
  auto* model = static_cast<ModelRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(ModelRecord)));
  model->moType = modelType;
  auto* list = static_cast<MediaListEntry*>(
      HeapAlloc(heap_, HEAP_ZERO_MEMORY, (count ? count : 1) * sizeof(MediaListEntry)));
  for (DWORD i = 0; i < count; ++i) list[i] = media[i];
  auto* table = static_cast<MediaRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, (count + 1) * sizeof(MediaRecord)));
  ConvertMediaList(table, list, count + 1, modelType);
  context_->modelData = {model, list, table, count};
}

TestContext::~TestContext() {
  // Everything but what a test attached as global memory lives in the heap.
  if (context_) {
    for (HGLOBAL& block : context_->pageBuffers) if (block) GlobalFree(block);
    if (context_->printerData) GlobalFree(context_->printerData);
    if (context_->printerDataExtra) GlobalFree(context_->printerDataExtra);
    if (context_->mediaDefinitions) GlobalFree(context_->mediaDefinitions);
  }
  HeapDestroy(heap_);
}

}  // namespace test
