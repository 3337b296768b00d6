// SPDX-License-Identifier: Apache-2.0
// Whole documents: settings chosen by the input (medium, orientation, feed resolution,
// tone mode, contrast, brightness, copies, plain or framed output, retained pages, the
// label options, banded or not) and page images made of the input's bytes, printed
// through the engine harness. Every stream the driver produces must parse with the
// stream parser, every raster line decoding to exactly 48 bytes.
//
// Input: a 12-byte header (below), then the bytes the page images are tiled with.
#include <algorithm>
#include <cstring>
#include <memory>

#include "context/settings_record.h"
#include "fuzz/fuzz_support.h"
#include "host/engine_session.h"
#include "stream/stream_parser.h"

namespace {

// Bits of the option byte.
constexpr uint8_t kLandscape = 0x01;
constexpr uint8_t kHighResolution = 0x02;
constexpr uint8_t kSmallChar = 0x04;
constexpr uint8_t kFramed = 0x08;
constexpr uint8_t kRetain = 0x10;
constexpr uint8_t kRetainLines = 0x20;
constexpr uint8_t kMirror = 0x40;
constexpr uint8_t kAutoCut = 0x80;
// Bits of the document byte.
constexpr uint8_t kBanded = 0x04;
constexpr uint8_t kNoSendAfterBands = 0x08;
constexpr uint8_t kHalfCut = 0x10;
constexpr uint8_t kChainPrint = 0x20;
constexpr uint8_t kOpt800 = 0x40;
constexpr uint8_t kRetainFirstOnly = 0x80;

// Paper lengths of continuous tape stay short, so that a page converts quickly.
constexpr SHORT kMinLength = 50;   // tenths of a millimetre
constexpr SHORT kLengthRange = 600;
constexpr size_t kMaxPagePixels = 4u << 20;
// The pages of a document together stay within this many pixels, one page at least (two
// when the first is retained): a large label's later pages take the steps its first took,
// at megapixels each under the sanitizers.
constexpr uint64_t kDocumentPixels = 600000;

struct Setup {
  fuzz::Bytes record;               // the default settings record
  std::vector<SHORT> paperSizes;    // every medium's code and every definition's
};

// The defaults and the media of the default installation, read on the first input.
const Setup& Defaults() {
  static const Setup setup = [] {
    fuzz::EnableDriver();
    Setup made;
    made.record = fuzz::DefaultSettingsRecord();
    DeviceContext* context = fuzz::EnableContext(nullptr);
    if (!context) fuzz::Finding("DrvEnablePDEV failed on the default installation");
    for (DWORD i = 0; i < context->modelData.mediaCount; ++i)
      made.paperSizes.push_back(static_cast<SHORT>(context->modelData.mediaTable[i].mrPaperSize));
    for (DWORD i = 0; i < context->mediaDefinitionCount; ++i)
      made.paperSizes.push_back(static_cast<SHORT>(USER_FORM_BASE + i));
    fuzz::DisableContext(context, false);
    return made;
  }();
  return setup;
}

struct Header {
  uint8_t medium, options, halftone, copies, document, bandDivisor;
  signed char contrast, brightness;
  uint16_t length;
};

Header ReadHeader(fuzz::Reader& reader) {
  Header header;
  header.medium = reader.Byte();
  header.options = reader.Byte();
  header.halftone = reader.Byte();
  header.contrast = static_cast<signed char>(reader.Byte());
  header.brightness = static_cast<signed char>(reader.Byte());
  header.copies = reader.Byte();
  header.length = reader.Word();
  header.document = reader.Byte();
  header.bandDivisor = reader.Byte();
  reader.Take(2);  // reserved
  return header;
}

// The caller's record for a header: the defaults with the chosen fields.
fuzz::Bytes BuildRecord(const Header& h, bool retain) {
  const Setup& setup = Defaults();
  fuzz::Bytes bytes = setup.record;
  auto* record = reinterpret_cast<SettingsRecord*>(bytes.data());
  DEVMODEW& dm = record->dm;
  PrivateSettings& priv = record->priv;
  dm.dmFields |= DM_ORIENTATION | DM_PAPERSIZE | DM_PAPERLENGTH | DM_COPIES | DM_YRESOLUTION |
                 DM_PRINTQUALITY;
  dm.dmOrientation = (h.options & kLandscape) ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
  dm.dmPaperSize = setup.paperSizes[h.medium % setup.paperSizes.size()];
  dm.dmPaperLength = static_cast<SHORT>(kMinLength + h.length % kLengthRange);
  dm.dmCopies = static_cast<SHORT>(1 + h.copies % 3);
  dm.dmYResolution = (h.options & kHighResolution) ? 720 : 360;
  priv.privHighResAllowed = (h.options & kHighResolution) ? 1 : 0;
  priv.privSmallChar = (h.options & kSmallChar) ? 1 : 0;
  priv.privUseMonitor = (h.options & kFramed) ? 1 : 0;
  priv.privHalftone = static_cast<BYTE>(h.halftone % 4);
  priv.privContrast = h.contrast;
  priv.privBrightness = h.brightness;
  priv.privMirror = (h.options & kMirror) ? 1 : 0;
  priv.privAutoCut = (h.options & kAutoCut) ? 1 : 0;
  priv.privHalfCut = (h.document & kHalfCut) ? 1 : 0;
  priv.privChainPrint = (h.document & kChainPrint) ? 1 : 0;
  priv.privOpt800 = (h.document & kOpt800) ? 1 : 0;
  priv.xbOptions &= ~static_cast<DWORD>(XBO_RETAIN | XBO_RETAIN_LINES);
  if (retain) {
    priv.xbOptions |= XBO_RETAIN;
    if (h.options & kRetainLines) priv.xbOptions |= XBO_RETAIN_LINES;
  }
  priv.privOpt20000 = retain ? 1 : 0;
  priv.privOpt40000 = (retain && (h.options & kRetainLines)) ? 1 : 0;
  return bytes;
}

// The page's pixels are the tile repeated from byte page * 13 of it on, white without a
// tile: the tile once, turned, then the filled part copied onto the rest. One image, its
// pixels' memory kept from input to input: a page of megabytes allocated afresh each time
// is mapped and faulted in again, and filled white only to be overwritten.
const host::GrayImage& PageImage(SIZEL size, const fuzz::Bytes& tile, int page) {
  static host::GrayImage image;
  image.width = size.cx > 0 ? size.cx : 0;
  image.height = size.cy > 0 ? size.cy : 0;
  const size_t total = static_cast<size_t>(image.width) * static_cast<size_t>(image.height);
  if (tile.empty()) {
    image.pixels.assign(total, 0xFF);
    return image;
  }
  image.pixels.resize(total);
  if (total == 0) return image;
  BYTE* pixels = image.pixels.data();
  const size_t start = static_cast<size_t>(page) * 13 % tile.size();
  size_t filled = std::min(total, tile.size() - start);
  std::memcpy(pixels, tile.data() + start, filled);
  if (filled < total) {
    const size_t rest = std::min(total - filled, start);
    std::memcpy(pixels + filled, tile.data(), rest);
    filled += rest;
  }
  while (filled < total) {
    const size_t copied = std::min(filled, total - filled);
    std::memcpy(pixels + filled, pixels, copied);
    filled += copied;
  }
  return image;
}

std::unique_ptr<host::EngineSession> Open(const fuzz::Bytes& record, bool sendAfterBands) {
  host::SessionOptions options;
  options.devmode = record;
  options.sendPageAfterBands = sendAfterBands;
  return host::EngineSession::Open(host::kDriverPath, fuzz::Installation().printer(), options);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Installation();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Defaults();
  const HANDLE printer = fuzz::Installation().printer();
  const host::LiveObjects baseline = host::Live();
  fuzz::Reader reader(data, size);
  const Header header = ReadHeader(reader);
  const fuzz::Bytes tile = reader.Take(4096);
  const int pages = 1 + header.document % 3;
  const bool retain = (header.options & kRetain) != 0;
  const bool retainFirstOnly = retain && (header.document & kRetainFirstOnly) && pages > 1;
  const bool sendAfterBands = (header.document & kNoSendAfterBands) == 0;

  host::SetMaxBitmapBytes(0);
  host::ClearSpooled(printer);
  const fuzz::Bytes record = BuildRecord(header, retain);
  auto session = Open(record, sendAfterBands);
  if (session && (header.document & kBanded)) {
    // Again, with bitmaps too small for the page: the engine asks for bands.
    const SURFOBJ* surface = session->surfaceObject();
    const uint64_t bytes = surface ? surface->cjBits : 0;
    session.reset();
    host::SetMaxBitmapBytes(bytes / (2 + header.bandDivisor % 8) + 1);
    session = Open(record, sendAfterBands);
  }
  if (!session) {
    host::SetMaxBitmapBytes(0);
    fuzz::CheckNothingLeaked(baseline, "page (no session)");
    return 0;
  }
  const SIZEL pageSize = session->pageSize();
  const uint64_t pagePixels = static_cast<uint64_t>(pageSize.cx) * static_cast<uint64_t>(pageSize.cy);
  if (pagePixels > kMaxPagePixels) {
    session.reset();
    host::SetMaxBitmapBytes(0);
    fuzz::CheckNothingLeaked(baseline, "page (too large)");
    return 0;
  }

  const uint64_t fitting = kDocumentPixels / std::max<uint64_t>(pagePixels, 1);
  const int count = static_cast<int>(std::clamp<uint64_t>(fitting, retainFirstOnly ? 2 : 1, pages));
  host::DdiStatus status = session->StartDoc();
  for (int page = 0; status && page < count; ++page) {
    // A retained first page is printed behind by the pages after it, on new settings.
    if (retainFirstOnly && page == 1) {
      host::SessionOptions printed;
      printed.devmode = BuildRecord(header, false);
      printed.sendPageAfterBands = sendAfterBands;
      // The bitmap limit was made for the first page; the new settings may make a longer
      // one (special media keep short labels only while their lines are retained), which
      // the driver could not band within its sixteen bands.
      host::SetMaxBitmapBytes(0);
      status = session->Reset(printed);
    }
    if (status) status = session->PrintPage(PageImage(pageSize, tile, page));
  }
  if (status) status = session->EndDoc();
  session.reset();
  host::SetMaxBitmapBytes(0);
  if (!status) fuzz::Finding("printing failed: " + status.Describe());

  // Taken in exchange for the last input's, whose memory the spooler writes into next.
  static fuzz::Bytes spooled;
  host::TakeSpooled(printer, &spooled);
  tq33stream::ParseOptions check;
  check.keepLines = false;
  const tq33stream::ParseResult parsed =
      tq33stream::ParseStream(spooled.data(), spooled.size(), check);
  if (!parsed.ok) fuzz::Finding("the driver's stream does not parse: " + parsed.error);
  const bool framed = (header.options & kFramed) != 0;
  if (framed != (parsed.stream.format == tq33stream::StreamFormat::Framed) && !spooled.empty())
    fuzz::Finding("framed output came out plain, or plain output framed");
  // Unless every page was held back, something printed.
  if ((!retain || retainFirstOnly) && tq33stream::CountLines(parsed.stream) == 0)
    fuzz::Finding("a printed document holds no raster line");
  fuzz::CheckNothingLeaked(baseline, "page");
  return 0;
}
