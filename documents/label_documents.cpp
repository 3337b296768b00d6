// SPDX-License-Identifier: Apache-2.0
#include "documents/label_documents.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "context/device_context.h"
#include "context/settings_record.h"

namespace tq33docs {

Bytes DefaultSettingsRecord(std::u16string_view driverPath, HANDLE printer) {
  auto session = host::EngineSession::Open(driverPath, printer, {});
  if (!session) return {};
  Bytes record(sizeof(SettingsRecord));
  std::memcpy(record.data(), &ContextFromHandle(session->device())->settings, record.size());
  return record;
}

host::GrayImage TestPage(SIZEL size, int seed, bool gray) {
  host::GrayImage image = host::GrayImage::Filled(size.cx, size.cy, 0xFF);
  for (LONG y = 0; y < size.cy; ++y) {
    BYTE* row = image.Row(y);
    const bool ramp = gray && y > size.cy / 2;
    for (LONG x = 0; x < size.cx; x += 16) {
      const LONG end = std::min<LONG>(x + 16, size.cx);
      if ((x / 16 + seed) % 5 == 0) {
        std::memset(row + x, 0, static_cast<size_t>(end - x));
      } else if (ramp) {
        for (LONG i = x; i < end; ++i) row[i] = static_cast<BYTE>(i * 7 + y + seed);
      }
    }
  }
  return image;
}

Bytes SettingsRecordFor(const Bytes& base, const LabelSettings& s) {
  Bytes bytes = base;
  if (bytes.size() != sizeof(SettingsRecord)) return bytes;
  auto* record = reinterpret_cast<SettingsRecord*>(bytes.data());
  DEVMODEW& dm = record->dm;
  PrivateSettings& priv = record->priv;
  dm.dmFields |= DM_ORIENTATION | DM_PAPERSIZE | DM_PAPERLENGTH | DM_COPIES | DM_YRESOLUTION |
                 DM_PRINTQUALITY;
  dm.dmOrientation = s.landscape ? DMORIENT_LANDSCAPE : DMORIENT_PORTRAIT;
  dm.dmPaperSize = s.paperSize;
  dm.dmPaperLength = s.paperLength;
  dm.dmCopies = s.copies;
  dm.dmYResolution = s.highResolution ? 720 : 360;
  priv.privHighResAllowed = s.highResolution ? 1 : 0;
  priv.privSmallChar = s.smallChar ? 1 : 0;
  priv.privHalftone = s.halftone;
  priv.privUseMonitor = s.framed ? 1 : 0;
  priv.xbOptions &= ~static_cast<DWORD>(XBO_RETAIN | XBO_RETAIN_LINES);
  if (s.retain) priv.xbOptions |= XBO_RETAIN;
  if (s.retain && s.retainLines) priv.xbOptions |= XBO_RETAIN_LINES;
  priv.privOpt20000 = s.retain ? 1 : 0;
  priv.privOpt40000 = (s.retain && s.retainLines) ? 1 : 0;
  return bytes;
}

DocumentRun RunDocument(std::u16string_view driverPath, HANDLE printer, const Bytes& base,
                        const Document& document) {
  DocumentRun run;
  host::ClearSpooled(printer);
  uint64_t struckAtBand = 0;
  auto optionsFor = [&](const DocumentPart& part) {
    host::SessionOptions options;
    options.devmode = SettingsRecordFor(base, part.settings);
    // DrvSendPage is called by the runner, so that its result is told apart from the bands'.
    options.sendPageAfterBands = false;
    options.bandObserver = [&](const SURFOBJ&, POINTL) { struckAtBand = host::FailuresStruck(); };
    return options;
  };
  // Makes one harness call and notes it; TRUE when it succeeded.
  auto call = [&](const char* name, const std::function<host::DdiStatus()>& body) {
    RunStep step;
    step.call = name;
    step.struckBefore = host::FailuresStruck();
    struckAtBand = step.struckBefore;
    step.status = body();
    step.struckAfter = host::FailuresStruck();
    step.struckAtLastBand = struckAtBand;
    step.spooledAfter = host::SpooledBytes(printer).size();
    step.writesAfter = host::WriteCalls(printer);
    step.callsAfter = host::AnyCallCount();
    run.steps.push_back(step);
    if (!step.status && !run.failed) {
      run.failed = true;
      run.failedStep = run.steps.size() - 1;
    }
    return step.status.ok;
  };

  std::unique_ptr<host::EngineSession> session;
  if (document.parts.empty()) return run;
  const bool opened = call("open", [&] {
    host::DdiStatus status;
    session = host::EngineSession::Open(driverPath, printer, optionsFor(document.parts[0]),
                                        &status);
    return status;
  });
  if (opened && call("StartDoc", [&] { return session->StartDoc(); })) {
    bool ok = true;
    int seed = document.firstSeed;
    for (size_t part = 0; ok && part < document.parts.size(); ++part) {
      if (part > 0)
        ok = call("Reset", [&] { return session->Reset(optionsFor(document.parts[part])); });
      for (int page = 0; ok && page < document.parts[part].pages; ++page) {
        const host::GrayImage image = TestPage(session->pageSize(), seed++);
        ok = call("StartPage", [&] { return session->StartPage(); }) &&
             call("RenderPage", [&] { return session->RenderPage(image); }) &&
             call("SendPage", [&] { return session->SendPage(); });
      }
    }
    if (ok) {
      call("EndDoc", [&] { return session->EndDoc(); });
    } else {
      call("abort", [&] { return session->EndDoc(true); });
    }
  }
  session.reset();
  run.spooled = host::SpooledBytes(printer);
  host::ClearSpooled(printer);
  return run;
}

}  // namespace tq33docs
