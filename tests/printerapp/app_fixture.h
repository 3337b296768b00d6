// SPDX-License-Identifier: Apache-2.0
// What the printer application's tests share: a server of the build with a TQ-33 printer
// "tq33" on the file device, the default installation's catalog to hold its answers
// against, and the tool to print the same images with.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cups/media_catalog.h"
#include "tests/support/cups_support.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/printer_app.h"

namespace test {

inline constexpr char kDieCutLabel[] = "om_die-cut-label-24-x-40mm_24x40mm";

class AppTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    const std::string why = PrinterApp::Unavailable();
    if (!why.empty()) GTEST_SKIP() << why;
    ASSERT_TRUE(app_.Start(dir_.path()));
    ASSERT_TRUE(app_.Add("tq33", "file://" + app_.out()));
  }
  void TearDown() override {
    app_.Stop(HasFailure());
    EngineTest::TearDown();
  }

  // Prints a file of the scratch directory on tq33 (the job named after it) and waits for
  // the job to complete: the bytes of its file.
  std::string Print(const std::string& name, const std::string& format, const std::string& options = {}) {
    const int job = app_.Submit("tq33", dir_ / name, format, options);
    EXPECT_EQ(app_.Wait("tq33", job), IPP_JSTATE_COMPLETED) << name << "\n" << app_.Log();
    return ReadFile(app_.out() + "/" + name + ".prn");
  }
  // What `tq33 print --plain` makes of images of the scratch directory, with options.
  std::string Tool(const std::vector<std::string>& arguments) { return ToolPrint(dir_.path(), arguments); }
  // A PWG raster page of 8-bit gray of a size in millimetres, its rows from rows(y).
  static RasterPage PwgPage(double width, double length, unsigned xResolution, unsigned yResolution,
                            uint8_t (*row)(unsigned y) = nullptr) {
    RasterPage page{};
    cupsRasterInitPWGHeader(&page.header, pwgMediaForSize(static_cast<int>(width * 100), static_cast<int>(length * 100)),
                            "sgray_8", static_cast<int>(xResolution), static_cast<int>(yResolution), "one-sided", nullptr);
    page.pixels.assign(size_t{page.header.cupsBytesPerLine} * page.header.cupsHeight, 0xFF);
    for (unsigned y = 0; row && y < page.header.cupsHeight; ++y)
      std::fill_n(page.pixels.begin() + size_t{y} * page.header.cupsBytesPerLine, page.header.cupsBytesPerLine, row(y));
    return page;
  }
  // test::Ramp as a PNG.
  static PngLayout Pattern(uint32_t width, uint32_t height) {
    Gray ramp = Ramp(width, height);
    return {width, height, 0, 8, std::move(ramp.pixels)};
  }

  ScratchDir dir_;
  PrinterApp app_;
};

}  // namespace test
