// SPDX-License-Identifier: Apache-2.0
// Image decoding and placement of `tq33 print`: every PNG colour type and PGM to the
// same gray levels, cropping, and scaling by area averaging.
#include "cli/image_input.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cmath>

#include "tests/support/tool_runner.h"

namespace {

using test::Gray;
using test::PngLayout;
using tq33cli::Fit;

// The page a decoded image lands on, width x height, its rows stride bytes apart (width
// when 0) and 0x55 where nothing is drawn.
Gray Render(const std::string& path, Fit fit, uint32_t width, uint32_t height, uint32_t stride = 0) {
  const uint32_t rowBytes = stride ? stride : width;
  Gray page{rowBytes, height, std::vector<uint8_t>(size_t{rowBytes} * height, 0x55)};
  tq33cli::GrayPage target{width, height, page.pixels.data()};
  target.stride = stride;
  tq33cli::RenderImage(tq33cli::OpenImageSource(path), fit, &target);
  return page;
}

// BT.601 luma of a colour composited over white, as the tool documents its conversion.
uint8_t Expected(double r, double g, double b, double alpha = 255) {
  auto over = [&](double c) { return std::round(c * alpha / 255 + (255 - alpha)); };
  return static_cast<uint8_t>(std::round(0.299 * over(r) + 0.587 * over(g) + 0.114 * over(b)));
}

class ImageInputTest : public ::testing::Test {
 protected:
  std::vector<uint8_t> Decode(const PngLayout& layout) {
    std::string path = dir_ / "image.png";
    test::WritePng(path, layout);
    return Render(path, Fit::None, layout.width, layout.height).pixels;
  }
  test::ScratchDir dir_;
};

TEST_F(ImageInputTest, EveryPngColourTypeDecodesToLumaOverWhite) {
  EXPECT_EQ(Decode({3, 1, PNG_COLOR_TYPE_GRAY, 8, {0, 100, 255}}), (std::vector<uint8_t>{0, 100, 255}));
  EXPECT_EQ(Decode({4, 1, PNG_COLOR_TYPE_GRAY, 2, {0b00011011}}), (std::vector<uint8_t>{0, 85, 170, 255}));
  EXPECT_EQ(Decode({2, 1, PNG_COLOR_TYPE_GRAY, 16, {0x00, 0x00, 0x80, 0x80}}), (std::vector<uint8_t>{0, 128}));
  EXPECT_EQ(Decode({4, 1, PNG_COLOR_TYPE_RGB, 8, {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30}}),
            (std::vector<uint8_t>{Expected(255, 0, 0), Expected(0, 255, 0), Expected(0, 0, 255),
                                  Expected(10, 20, 30)}));
  EXPECT_EQ(Decode({3, 1, PNG_COLOR_TYPE_RGBA, 8, {0, 0, 0, 128, 255, 0, 0, 0, 200, 100, 50, 255}}),
            (std::vector<uint8_t>{Expected(0, 0, 0, 128), 255, Expected(200, 100, 50)}));
  EXPECT_EQ(Decode({3, 1, PNG_COLOR_TYPE_GRAY_ALPHA, 8, {0, 255, 0, 0, 100, 51}}),
            (std::vector<uint8_t>{0, 255, Expected(100, 100, 100, 51)}));
  // A palette with a transparent entry.
  PngLayout palette{3, 1, PNG_COLOR_TYPE_PALETTE, 8, {0, 1, 2}};
  palette.palette = {0, 0, 0, 255, 255, 255, 255, 0, 0};
  palette.transparency = {255, 255, 0};
  EXPECT_EQ(Decode(palette), (std::vector<uint8_t>{0, 255, 255}));
}

TEST_F(ImageInputTest, InterlacedAndPgmImagesDecodeLikeTheirPlainForm) {
  PngLayout plain{9, 7, PNG_COLOR_TYPE_GRAY, 8, {}};
  for (uint32_t i = 0; i < 63; ++i) plain.samples.push_back(static_cast<uint8_t>(i * 4));
  PngLayout interlaced = plain;
  interlaced.interlaced = true;
  EXPECT_EQ(Decode(interlaced), plain.samples);

  // A PGM of maximum value 15 is scaled to 0..255.
  std::string path = dir_ / "scaled.pgm";
  test::WriteBytes(path, {'P', '5', ' ', '3', ' ', '1', ' ', '1', '5', '\n', 0, 7, 15});
  EXPECT_EQ(Render(path, Fit::None, 3, 1).pixels, (std::vector<uint8_t>{0, 119, 255}));
}

TEST_F(ImageInputTest, FitNoneCropsToThePageAndLeavesTheRestWhite) {
  std::string path = dir_ / "image.pgm";
  test::WritePgm(path, {3, 2, {1, 2, 3, 4, 5, 6}});
  EXPECT_EQ(Render(path, Fit::None, 2, 3).pixels, (std::vector<uint8_t>{1, 2, 4, 5, 255, 255}));
  // On a surface whose rows are padded, the padding is left as it was, whether the rows
  // are copied or decoded in place.
  const uint8_t p = 0x55;
  EXPECT_EQ(Render(path, Fit::None, 2, 3, 4).pixels, (std::vector<uint8_t>{1, 2, p, p, 4, 5, p, p, 255, 255, p, p}));
  EXPECT_EQ(Render(path, Fit::None, 3, 3, 5).pixels,
            (std::vector<uint8_t>{1, 2, 3, p, p, 4, 5, 6, p, p, 255, 255, 255, p, p}));
}

TEST_F(ImageInputTest, FitContainAveragesAreasAndCentres) {
  std::string path = dir_ / "image.pgm";
  // Wider than the page: the width limits, and the one row lands in the middle.
  test::WritePgm(path, {4, 2, {0, 0, 255, 255, 0, 0, 255, 255}});
  EXPECT_EQ(Render(path, Fit::Contain, 2, 3).pixels, (std::vector<uint8_t>{255, 255, 0, 255, 255, 255}));
  // Three pixels into two: each page pixel covers one and a half image pixels.
  test::WritePgm(path, {3, 1, {0, 255, 0}});
  EXPECT_EQ(Render(path, Fit::Contain, 2, 1).pixels, (std::vector<uint8_t>{85, 85}));
  // Two into three: the middle pixel straddles both halves.
  test::WritePgm(path, {2, 2, {0, 255, 0, 255}});
  EXPECT_EQ(Render(path, Fit::Contain, 3, 3).pixels, (std::vector<uint8_t>{0, 128, 255, 0, 128, 255, 0, 128, 255}));
  // Taller than the page: centred across.
  test::WritePgm(path, {1, 1, {0}});
  EXPECT_EQ(Render(path, Fit::Contain, 3, 1).pixels, (std::vector<uint8_t>{255, 0, 255}));
  EXPECT_EQ(Render(path, Fit::Contain, 3, 2, 4).pixels, (std::vector<uint8_t>{0, 0, 255, 0x55, 0, 0, 255, 0x55}));
}

}  // namespace
