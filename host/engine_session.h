// SPDX-License-Identifier: Apache-2.0
// A small graphics engine that drives a printer driver the way the Windows engine does,
// through the driver's DDI table only: it loads the driver library of a printer
// installation, enables a device context and its surface, and prints documents of 8-bit
// gray page images into it, on single bitmaps and on banded surfaces.
//
// Tests, the tq33 tool, the CUPS filter and the fuzzers all print through it. The bytes
// the driver writes land with the host spooler (host::SpooledBytes).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/host.h"

namespace host {

// The outcome of a DDI call, or of a sequence of them: which call failed and the thread's
// last error right after it.
struct DdiStatus {
  bool ok = true;
  std::string call;   // the call that failed; empty on success
  DWORD lastError = 0;

  explicit operator bool() const { return ok; }
  // "ok", or "DrvStartPage failed (last error 87)".
  std::string Describe() const;
};

// A page image in surface coordinates: width x height pixels, one byte each (0 black,
// 255 white), rows of width bytes from the top. Pixels of the page outside it are white.
struct GrayImage {
  LONG width = 0;
  LONG height = 0;
  std::vector<BYTE> pixels;

  // An image of one level everywhere.
  static GrayImage Filled(LONG width, LONG height, BYTE level);
  BYTE* Row(LONG y) { return pixels.data() + static_cast<size_t>(y) * width; }
  const BYTE* Row(LONG y) const { return pixels.data() + static_cast<size_t>(y) * width; }
};

struct SessionOptions {
  // The application's device mode, public and private parts as raw bytes; none: the
  // driver's defaults. The engine hands the driver a record at least as long as its own
  // size fields say (padding with zeros), as the Windows engine does.
  std::optional<std::vector<uint8_t>> devmode;
  std::u16string deviceName = u"TQ-33";
  // Whether the engine also calls DrvSendPage after the last band of a banded page.
  bool sendPageAfterBands = true;
  // Whether the context gets its surface; without one it is an information context, as
  // an application makes to ask about the device without drawing.
  bool surface = true;
  // Called for every band before it is rendered, with the band surface and its origin.
  std::function<void(const SURFOBJ& band, POINTL origin)> bandObserver;
};

// The engine's copy of an application's device mode: at least a whole public record and
// as long as its own size fields say, zero-padded.
std::vector<uint8_t> EngineDevmode(const std::vector<uint8_t>& bytes);

class EngineSession {
 public:
  // Loads the driver library at driverPath (a Windows path; once per process, shared by
  // every session), then DrvEnablePDEV, DrvCompletePDEV and DrvEnableSurface for the
  // printer. Null, with the failing call in status, when any of them fails; nothing of
  // the session is left behind then.
  static std::unique_ptr<EngineSession> Open(std::u16string_view driverPath, HANDLE printer,
                                             const SessionOptions& options,
                                             DdiStatus* status = nullptr);
  ~EngineSession();
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;

  // The document and page brackets, one DDI call each.
  DdiStatus StartDoc(std::u16string_view documentName = u"", DWORD jobId = 1);
  DdiStatus StartPage();
  DdiStatus SendPage();
  DdiStatus EndDoc(bool abort = false);

  // Renders the image into the surface: on a single bitmap by copying it in; on a banded
  // surface by DrvStartBanding, then for every band the part of the image its origin
  // covers and DrvNextBand, until the origin is (-1, -1); then DrvSendPage when the
  // options ask for it.
  DdiStatus RenderPage(const GrayImage& image);
  // DrvStartPage, RenderPage, and DrvSendPage for a single bitmap.
  DdiStatus PrintPage(const GrayImage& image);
  // A whole document; after a failed page the document is ended with the abort flag.
  DdiStatus PrintDocument(const std::vector<GrayImage>& pages,
                          std::u16string_view documentName = u"");

  // Changes the settings the way the engine does for a changed device mode, possibly in
  // the middle of a document: a new device context and surface, DrvResetPDEV from the old
  // to the new, the old disabled, and DrvStartDoc on the new one when a document is open.
  // On failure the old context stays in use.
  DdiStatus Reset(const SessionOptions& options);

  // DrvDrawEscape on the surface; the driver's result, with the last error after it.
  ULONG DrawEscape(ULONG escape, CLIPOBJ* clip, ULONG inputSize, const void* input,
                   DWORD* lastError = nullptr);

  // DrvDisableSurface and DrvDisablePDEV, and the session's hold on the driver library.
  // The destructor does it when it was not done.
  void Close();

  DHPDEV device() const { return device_; }
  HSURF surface() const { return surface_; }
  SURFOBJ* surfaceObject() const;
  HANDLE printer() const { return printer_; }
  bool banded() const;
  // The page in surface coordinates: the bitmap's size, or for a banded surface the
  // resolution the driver reported in its GDIINFO.
  SIZEL pageSize() const;
  const GDIINFO& gdiInfo() const { return gdiInfo_; }
  const DEVINFO& deviceInfo() const { return deviceInfo_; }
  // Bands rendered for the last page (0 on a single bitmap).
  int bandsRendered() const { return bandsRendered_; }

  struct Driver;

 private:
  EngineSession() = default;
  DdiStatus EnableContext(const SessionOptions& options);
  void DisableContext();
  DdiStatus RenderBands(const GrayImage& image);

  std::shared_ptr<Driver> driver_;
  HANDLE printer_ = nullptr;
  SessionOptions options_;
  std::vector<uint8_t> devmode_;  // what DrvEnablePDEV was given, kept for its life
  HDEV engineDevice_ = {};
  DHPDEV device_ = nullptr;
  HSURF surface_ = {};
  GDIINFO gdiInfo_ = {};
  DEVINFO deviceInfo_ = {};
  bool inDocument_ = false;
  int bandsRendered_ = 0;
};

}  // namespace host
