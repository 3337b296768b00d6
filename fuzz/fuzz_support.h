// SPDX-License-Identifier: Apache-2.0
// What the fuzz targets share: one printer installation per process, the driver enabled
// once, a reader over the fuzzer's bytes, and the checks every target makes after an
// input (nothing the host handed out is still alive, the context is gone).
//
// A check that fails is a finding: it prints what was wrong and aborts, so that libFuzzer
// keeps the input that caused it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "context/device_context.h"
#include "host/host.h"
#include "host/printer_installation.h"

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// A file of the source tree, by its path relative to the top directory; aborts when it
// cannot be read (a broken build, not a finding).
Bytes SourceFile(const std::string& relativePath);

// The default installation (the TQ-33 model data and the sample media definitions), held in
// memory, made on first use (LLVMFuzzerInitialize) and removed at exit. Its printer is
// registered and the model-data library is held loaded for the life of the process, so
// that libFuzzer never sees an instrumented module unloaded under its counters. Large
// blocks are kept for reuse (host::KeepLargeBlocks).
host::PrinterInstallation& Installation();

// Enables the driver for the life of the process, through the engine harness so that
// the targets' own sessions share it: DrvEnableDriver runs once.
void EnableDriver();

// What the targets that make contexts of their own need first: the installation, the
// driver enabled, and the engine's bitmaps kept small so that large pages are banded, as
// on a busy spooler. Done once, on the first call. libFuzzer makes that call with an
// empty input whose coverage it discards, so the first parse of the installation's model
// data (which every later context copies) is not counted as any input's: no input of these
// targets changes that file; the model_data target fuzzes its parser.
void PrepareContexts();

// A finding: prints the message and aborts.
[[noreturn]] void Finding(const std::string& message);

// Everything the host has handed out since the baseline has been given back.
void CheckNothingLeaked(const host::LiveObjects& baseline, const char* where);

// Whether any byte of the region may not be read: poisoned, for the address sanitizer,
// which answers for the whole region at once. Without the sanitizer nothing is known to
// be, and the answer is no.
bool Poisoned(const void* region, size_t size);

// The public part of a settings record holds its size fields within these bytes.
constexpr size_t kSizeFieldsEnd = 72;

// DrvEnablePDEV for the installation's printer with a caller's record (or none), as the
// engine calls it: a full GDIINFO and DEVINFO, three pattern slots. The GDIINFO the
// engine was given lands in gdiInfo when asked.
DeviceContext* EnableContext(const DEVMODEW* devmode, GDIINFO* gdiInfo = nullptr);

// What a context made from outside data must hold, whatever that data was: the page along
// the feed no longer than its medium's longest label (and the dot that closes it), the
// feed margin within the medium's limits, and every size in the engine's GDIINFO positive
// (the physical sizes negative, in micrometres, as the engine's sign rule has them; the
// one along the feed 0 when the length is exactly both margins).
void CheckPageWithinMedium(const DeviceContext* context, const GDIINFO& gdiInfo);

// DrvEnableSurface and DrvDisableSurface on a context (the engine's order), then
// DrvDisablePDEV. A surface is only asked for when the context has one to give.
void DisableContext(DeviceContext* context, bool withSurface);

// The driver's settings for the installation's printer with no caller's record: a whole
// 504-byte record that targets change field by field into a caller's record.
Bytes DefaultSettingsRecord();

// Reads the fuzzer's bytes front to back; past the end every read gives zeros.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t Word() {
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
  }
  uint32_t Dword() {
    const uint32_t low = Word();
    return low | (static_cast<uint32_t>(Word()) << 16);
  }
  // Up to count bytes, fewer at the end.
  Bytes Take(size_t count) {
    const size_t n = count < Left() ? count : Left();
    Bytes bytes(data_ + at_, data_ + at_ + n);
    at_ += n;
    return bytes;
  }
  Bytes Rest() { return Take(Left()); }
  size_t Left() const { return size_ - at_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

// Inputs made of chunks: a tag byte, a 16-bit little-endian length, then that many bytes
// (fewer when the input ends). The seed corpora are written in this form.
struct Chunk {
  uint8_t tag = 0;
  Bytes bytes;
};
// Reads the next chunk into `chunk`; false at the input's end.
bool NextChunk(Reader& reader, Chunk* chunk);

}  // namespace fuzz
