#include "tests/support/test_context.h"

#include <cstring>
#include <stdexcept>

namespace test {

MediaListEntry MakeEntry(const Medium& medium) {
  MediaListEntry entry{};
  for (size_t i = 0; i < medium.name.size() && i < 63; ++i) entry.meName[i] = medium.name[i];
  entry.meKindCode = medium.kindCode;
  entry.mePaperSize = medium.paperSize;
  entry.meWidth = medium.width;
  entry.mePrintWidth = medium.printWidth;
  entry.meWidthDots = medium.widthDots;
  entry.mePrintWidthDots = medium.printWidthDots;
  entry.meLength = medium.length;
  entry.mePrintLength = medium.printLength;
  entry.meLengthDots = medium.lengthDots;
  entry.mePrintLengthDots = medium.printLengthDots;
  entry.meWidthMultiple = medium.widthMultiple;
  entry.meOptions = medium.options;
  return entry;
}

Medium Tape(WORD paperSize, SHORT width, SHORT printWidthDots, BYTE widthMultiple) {
  Medium m;
  m.paperSize = paperSize;
  m.width = width;
  m.printWidth = static_cast<SHORT>(printWidthDots * 254 / 360);
  m.widthDots = static_cast<SHORT>(width * 360 / 254);
  m.printWidthDots = printWidthDots;
  m.widthMultiple = widthMultiple;
  return m;
}

Medium Label(WORD paperSize, SHORT width, SHORT printWidthDots, SHORT length,
             SHORT printLength, SHORT lengthDots, SHORT printLengthDots, SHORT kindCode) {
  Medium m = Tape(paperSize, width, printWidthDots);
  m.length = length;
  m.printLength = printLength;
  m.lengthDots = lengthDots;
  m.printLengthDots = printLengthDots;
  m.kindCode = kindCode;
  return m;
}

SettingsRecord FixedDefaults() {
  SettingsRecord s{};
  const char16_t kForm[] = u"VK 24mm (RFID)";
  std::memcpy(s.dm.dmFormName, kForm, sizeof(kForm));
  s.dm.dmSpecVersion = SETTINGS_SPEC_VERSION;
  s.dm.dmDriverVersion = SETTINGS_DRIVER_VERSION;
  s.dm.dmSize = SETTINGS_PUBLIC_SIZE;
  s.dm.dmDriverExtra = SETTINGS_PRIVATE_SIZE;
  s.dm.dmFields = kSettingsDefaultFields;
  s.dm.dmOrientation = DMORIENT_LANDSCAPE;
  s.dm.dmPaperSize = kLastResortPaperSize;
  s.dm.dmPaperLength = 1000;
  s.dm.dmPaperWidth = 240;
  s.dm.dmScale = 100;
  s.dm.dmCopies = 1;
  s.dm.dmPrintQuality = 360;
  s.dm.dmColor = DMCOLOR_MONOCHROME;
  s.dm.dmDuplex = DMDUP_SIMPLEX;
  s.dm.dmYResolution = 360;
  s.dm.dmTTOption = DMTT_SUBDEV;
  PrivateSettings& p = s.priv;
  p.xbSize = EXCHANGE_BLOCK_SIZE;
  p.xbReport = 0x3F;
  p.xbPaperSize = kLastResortPaperSize;
  p.xbMargin = 57;
  p.xbWidthMultiple = 1;
  p.xbLength = 1417;
  p.xbOptions = 0x201;
  std::memcpy(p.xbTag, "VQNZ", 4);
  p.privSignature = PRIV_SIGNATURE;
  p.privFlags = 0x30A0;
  p.privColorAdjustment = {24, 0, 0, 10000, 10000, 10000, 0, 10000, 0, 0, 0, 0};
  p.privHalftone = 3;
  p.privLengthDots = 1417;
  p.privLength = 1000;
  p.privAutoCut = 1;
  p.privHalfCut = 1;
  p.privMarginInDots = 1;
  p.privMargin = 57;
  p.privUseMonitor = 1;
  p.privHighResAllowed = 1;
  return s;
}

TestContext::TestContext(std::vector<Medium> media, BYTE modelType) {
  heap_ = HeapCreate(0, kContextHeapInitialSize, 0);
  if (!heap_) throw std::runtime_error("no heap for the test context");
  context_ = static_cast<DeviceContext*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(DeviceContext)));
  context_->signatureHead = kDeviceContextSignature;
  context_->signatureTail = kDeviceContextSignature;
  context_->heap = heap_;
  context_->settings = FixedDefaults();
  context_->defaultSettings = context_->settings;
  context_->scaledResolution = 360;
  context_->lineBuffers =
      static_cast<LineBufferRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(LineBufferRecord)));
  context_->sideRecord =
      static_cast<SideRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(SideRecord)));
  if (media.empty()) media = {Tape(262, 240, 128)};
  SetMedia(media, modelType);
}

void TestContext::SetMedia(const std::vector<Medium>& media, BYTE modelType) {
  DWORD count = static_cast<DWORD>(media.size());
  auto* model = static_cast<ModelRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, sizeof(ModelRecord)));
  model->moType = modelType;
  auto* list = static_cast<MediaListEntry*>(
      HeapAlloc(heap_, HEAP_ZERO_MEMORY, (count ? count : 1) * sizeof(MediaListEntry)));
  for (DWORD i = 0; i < count; ++i) list[i] = MakeEntry(media[i]);
  auto* table =
      static_cast<MediaRecord*>(HeapAlloc(heap_, HEAP_ZERO_MEMORY, (count + 1) * sizeof(MediaRecord)));
  ConvertMediaList(table, list, count + 1, modelType);
  context_->modelData = {model, list, table, count};
}

TestContext::~TestContext() {
  // Everything but what a test attached as global memory lives in the heap.
  if (context_) {
    for (HGLOBAL& block : context_->pageBuffers) {
      if (block) GlobalFree(block);
    }
    if (context_->printerData) GlobalFree(context_->printerData);
    if (context_->printerDataExtra) GlobalFree(context_->printerDataExtra);
    if (context_->mediaDefinitions) GlobalFree(context_->mediaDefinitions);
  }
  HeapDestroy(heap_);
}

}  // namespace test
