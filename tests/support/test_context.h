// A device context built directly for unit tests of the units that work on one: a private
// heap, settings filled with the driver's fixed defaults, and a media table made from
// media list entries the test describes. No spooler, model-data library or engine needed.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "driver/device_context.h"

namespace test {

// A media list entry described by its fields (sizes in tenths of a millimetre and dots).
struct Medium {
  WORD paperSize = 0;
  SHORT width = 0;
  SHORT printWidth = 0;
  SHORT widthDots = 0;
  SHORT printWidthDots = 0;
  SHORT length = 0;
  SHORT printLength = 0;
  SHORT lengthDots = 0;
  SHORT printLengthDots = 0;
  BYTE widthMultiple = 0;
  SHORT kindCode = 0;
  DWORD options = 0;
  std::u16string name;
};

MediaListEntry MakeEntry(const Medium& medium);

// A continuous tape of a width in tenths of a millimetre with a printable width in dots.
Medium Tape(WORD paperSize, SHORT width, SHORT printWidthDots, BYTE widthMultiple = 0);

// A die-cut label of fixed length.
Medium Label(WORD paperSize, SHORT width, SHORT printWidthDots, SHORT length,
             SHORT printLength, SHORT lengthDots, SHORT printLengthDots, SHORT kindCode = 5);

// Settings with the driver's fixed defaults (no model data, options or merge applied):
// landscape, 360 x 360 dpi, scale 100, one copy, error diffusion, auto and half cut,
// framed output, margin 57 dots, length 1417 dots.
SettingsRecord FixedDefaults();

class TestContext {
 public:
  explicit TestContext(std::vector<Medium> media = {}, BYTE modelType = '0');
  ~TestContext();
  TestContext(const TestContext&) = delete;
  TestContext& operator=(const TestContext&) = delete;

  DeviceContext* get() const { return context_; }
  DeviceContext* operator->() const { return context_; }
  SettingsRecord& settings() const { return context_->settings; }
  PrivateSettings& priv() const { return context_->settings.priv; }

  // Replaces the media table (and list and model record) with one made from media.
  void SetMedia(const std::vector<Medium>& media, BYTE modelType = '0');

 private:
  HANDLE heap_ = nullptr;
  DeviceContext* context_ = nullptr;
};

}  // namespace test
