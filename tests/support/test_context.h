// SPDX-License-Identifier: Apache-2.0
// A device context built directly for unit tests of the units that work on one: a private
// heap, settings filled with the driver's fixed defaults, and a media table made from
// media list entries the test describes. No spooler, model-data library or engine needed.
#pragma once

#include <vector>

#include "context/device_context.h"
#include "tests/support/host_test.h"

namespace test {

// A continuous tape of a width in tenths of a millimetre with a printable width in dots.
MediaListEntry Tape(WORD paperSize, SHORT width, SHORT printWidthDots, BYTE widthMultiple = 0);

// A continuous tape of special media: kind code 16 with option bit 0.
MediaListEntry SpecialTape(WORD paperSize, SHORT width, SHORT printWidthDots);

// A die-cut label of fixed length.
MediaListEntry Label(WORD paperSize, SHORT width, SHORT printWidthDots, SHORT length,
                     SHORT printLength, SHORT lengthDots, SHORT printLengthDots, SHORT kindCode = 5);

// Settings with the driver's fixed defaults (no model data, options or merge applied):
// landscape, 360 x 360 dpi, scale 100, one copy, error diffusion, auto and half cut,
// framed output, margin 57 dots, length 1417 dots.
SettingsRecord FixedDefaults();

class TestContext {
 public:
  explicit TestContext(std::vector<MediaListEntry> media = {}, BYTE modelType = '0');
  ~TestContext();
  TestContext(const TestContext&) = delete;
  TestContext& operator=(const TestContext&) = delete;

  DeviceContext* get() const { return context_; }
  DeviceContext* operator->() const { return context_; }
  SettingsRecord& settings() const { return context_->settings; }
  PrivateSettings& priv() const { return context_->settings.priv; }

  // Replaces the media table (and list and model record) with one made from media; the
  // ones it replaces are given back.
  void SetMedia(const std::vector<MediaListEntry>& media, BYTE modelType = '0');

 private:
  HANDLE heap_ = nullptr;
  DeviceContext* context_ = nullptr;
};

// Tests of a unit that works on a device context: a clean host, a test context on the
// media given (the 24 mm tape unless told) and a printer of its own for its output.
class ContextTest : public HostTest {
 protected:
  explicit ContextTest(std::vector<MediaListEntry> media = {}) : context_(std::move(media)) {}
  void SetUp() override {
    HostTest::SetUp();
    context_->printer = printer_ = host::AddPrinter({});
  }
  std::vector<uint8_t> Spooled() const { return host::SpooledBytes(printer_); }

  TestContext context_;
  HANDLE printer_ = nullptr;
};

}  // namespace test
