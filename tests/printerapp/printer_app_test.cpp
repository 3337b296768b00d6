// SPDX-License-Identifier: Apache-2.0
// The printer application as its clients meet it: the media and settings it reports, the
// bytes its jobs send the printer, and how a job that cannot print ends.
#include <algorithm>
#include <regex>
#include <set>

#include "tests/printerapp/app_fixture.h"

namespace {

using test::AppTest;
using test::Values;

bool AnyHolds(const std::vector<std::string>& values, const std::string& text) {
  return std::any_of(values.begin(), values.end(), [&](const std::string& value) { return value.find(text) != std::string::npos; });
}

TEST_F(AppTest, ClientsSeeEveryMediumByItsNameWithItsSizeTypeAndTheLoadedOne) {
  ipp_t* attributes = app_.Attributes("tq33", {"tq33-auto-cut-default", "tq33-half-cut-default",
                                               "tq33-chain-print-default", "tq33-mirror-default"});
  ASSERT_NE(attributes, nullptr);
  // The catalog of the default installation, as the CUPS queue offers it.
  const std::vector<tq33cups::MediaChoice> catalog = tq33cups::BuildMediaCatalog(*test::Context(*Open()));

  // Every medium of the table and every user-defined label, by a name of its own that PWG
  // clients parse, then the range of lengths the tapes print.
  const std::vector<std::string> names = Values(attributes, "media-supported");
  ASSERT_EQ(names.size(), catalog.size() + 2);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
  const std::regex pwg("om_[a-z0-9][-a-z0-9]*_([1-9][0-9]*(\\.[0-9]*[1-9])?)x([1-9][0-9]*(\\.[0-9]*[1-9])?)mm");
  for (size_t i = 0; i < catalog.size(); ++i)
    EXPECT_TRUE(std::regex_match(names[i], pwg) && names[i].size() <= 63) << names[i];
  EXPECT_EQ(names[catalog.size()], "roll_min_3.5x4mm");
  EXPECT_EQ(names[catalog.size() + 1], "roll_max_36x1000mm");

  // Portrait sizes: across the tape, then along it; a tape by its page, a label by its own
  // length, a user-defined label by its definition's.
  const std::vector<std::string> database = Values(attributes, "media-col-database");
  EXPECT_TRUE(AnyHolds(database, std::string("media-size={x-dimension=2400 y-dimension=4000} media-size-name=") + test::kDieCutLabel));
  EXPECT_TRUE(AnyHolds(database, "media-size={x-dimension=350 y-dimension=10000} media-size-name=om_laminated-tape-3-5mm_3.5x100mm"));
  EXPECT_TRUE(AnyHolds(database, "media-size={x-dimension=2400 y-dimension=6200} media-size-name=om_address-24-x-62-mm_24x62mm"));
  EXPECT_TRUE(AnyHolds(database, "media-size={x-dimension=350-3600 y-dimension=400-100000}"));

  // The media types are the queue's, and the default medium is loaded, with its type.
  std::vector<std::string> types;
  for (const auto& type : tq33cups::MediaTypes(catalog)) types.push_back(type.first);
  EXPECT_EQ(Values(attributes, "media-type-supported"), types);
  for (const char* name : {"media-ready", "media-default"})
    EXPECT_EQ(Values(attributes, name), std::vector<std::string>{"om_vk-24mm-rfid_24x100mm"}) << name;
  EXPECT_TRUE(AnyHolds(Values(attributes, "media-col-ready"), "media-type=special-tape"));

  // 360 dpi, or 720 along the tape; labels read along the tape; the printer's own settings
  // with the installation's defaults.
  EXPECT_EQ(Values(attributes, "printer-resolution-supported"), (std::vector<std::string>{"360dpi", "360x720dpi"}));
  EXPECT_EQ(Values(attributes, "orientation-requested-default"), std::vector<std::string>{"landscape"});
  const PrivateSettings p = test::Context(*Open())->defaultSettings.priv;
  for (const auto& [name, value] : {std::pair{"tq33-auto-cut-default", p.privAutoCut}, {"tq33-half-cut-default", p.privHalfCut},
                                    {"tq33-chain-print-default", p.privChainPrint}, {"tq33-mirror-default", p.privMirror}})
    EXPECT_EQ(Values(attributes, name), std::vector<std::string>{value == 1 ? "true" : "false"}) << name;
  ippDelete(attributes);
}

TEST_F(AppTest, AnImagePrintsAsTheToolPrintsItToTheByte) {
  // A PNG of the page's size (the installation prints landscape: 1304 x 256 dots), a photo
  // as the tool takes it by default; a smaller one with the printer's defaults scaled to
  // fit, and on a portrait page. (Unscaled, pixel for pixel from the corner, is every job
  // of the load test.)
  test::WritePng(dir_ / "page.png", Pattern(1304, 256));
  EXPECT_EQ(Print("page.png", "image/png", "print-content-optimize=photo"), Tool({"page.png"}));
  for (const char* name : {"fit.png", "portrait.png"}) test::WritePng(dir_ / name, Pattern(300, 120));
  EXPECT_EQ(Print("fit.png", "image/png", "print-scaling=fit"),
            Tool({"fit.png", "--halftone", "threshold", "--fit", "contain"}));
  EXPECT_EQ(Print("portrait.png", "image/png", "orientation-requested=3"),
            Tool({"portrait.png", "--halftone", "threshold", "--orientation", "portrait"}));
  // A JPEG is taken for a photo.
  const test::PngLayout gray = Pattern(320, 200);
  ASSERT_TRUE(test::WriteJpeg(dir_ / "photo.jpg", {gray.width, gray.height, gray.samples}));
  EXPECT_EQ(Print("photo.jpg", "image/jpeg"), Tool({"photo.jpg"}));
}

// Bad documents, a job for another medium than the loaded one, and a device that fails a
// write: each job ends with its reason and the server prints on.
TEST_F(AppTest, BadInputEndsItsJobWithAReasonAndTheServerGoesOn) {
  ASSERT_TRUE(app_.Add("full", "file:///dev/full"));
  test::RasterPage cut = PwgPage(24, 100, 360, 360);
  cut.linesWritten = 300;
  ASSERT_TRUE(test::WriteRaster(dir_ / "cut.pwg", {cut}, true));
  test::WriteBytes(dir_ / "huge.png", test::PngHeaderOnly(40000, 25000));  // 10^9 pixels
  // JPEGs whose frame header claims a size their data does not have.
  ASSERT_TRUE(test::WriteJpeg(dir_ / "small.jpg", {16, 16, std::vector<uint8_t>(256, 128)}));
  const std::string small = test::ReadFile(dir_ / "small.jpg");
  const size_t frame = small.find("\xFF\xC0");
  ASSERT_NE(frame, std::string::npos);
  for (const auto& [name, side] : {std::pair{"huge.jpg", 60000}, std::pair{"short.jpg", 640}}) {
    std::string lie = small;
    for (size_t at : {frame + 5, frame + 7}) lie.replace(at, 2, {static_cast<char>(side >> 8), static_cast<char>(side & 0xFF)});
    ASSERT_TRUE(test::WriteFile(dir_ / name, lie));
  }
  test::WritePng(dir_ / "tape.png", Pattern(300, 120));
  struct Case {
    const char* file;
    const char* format;
    const char* options;
    const char* reason;
    const char* message;
    const char* printer = "tq33";
  };
  for (const Case& c : {Case{"cut.pwg", "image/pwg-raster", "", "document-format-error", "truncated"},
                        Case{"huge.png", "image/png", "", "document-unprintable-error", "40000 x 25000 pixels"},
                        Case{"huge.jpg", "image/jpeg", "", "document-unprintable-error", "60000 x 60000 pixels"},
                        Case{"short.jpg", "image/jpeg", "", "document-format-error", "premature end"},
                        Case{"tape.png", "image/png", "media=om_laminated-tape-24mm_24x100mm", "aborted-by-system",
                             "The job is for Laminated tape 24mm; the printer has VK 24mm (RFID) loaded"},
                        Case{"tape.png", "image/png", "", "aborted-by-system",
                             "Cannot send the label to the printer: No space left on device", "full"}}) {
    std::string message, reasons;
    EXPECT_EQ(app_.Wait(c.printer, app_.Submit(c.printer, dir_ / c.file, c.format, c.options), &message, &reasons),
              IPP_JSTATE_ABORTED) << c.file;
    EXPECT_NE(reasons.find(c.reason), std::string::npos) << c.file << ": " << reasons;
    EXPECT_NE(message.find(c.message), std::string::npos) << c.file << ": " << message;
  }
  // Nothing reached the printer of them; the next job prints, on the other printer too.
  EXPECT_TRUE(app_.OutFiles().empty());
  EXPECT_FALSE(Print("tape.png", "image/png").empty());
  // Without a system bus there is no DNS-SD to browse: the device list says so and ends.
  const test::ProcessResult devices = app_.Command({"devices"}, {{"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent"}});
  EXPECT_EQ(devices.status, 0) << devices.err;
  EXPECT_NE(devices.out.find("tq33-printer-app: Unable to create service browser."), std::string::npos) << devices.out;
}

TEST_F(AppTest, JobSettingsApplyAndARestartKeepsThePrinterItsDefaultsAndTheLoadedMedium) {
  // A page of the loaded tape at 720 dpi along it, two copies, mirrored, neither cut.
  const auto bars = [](unsigned y) -> uint8_t { return y % 100 < 20 ? 0 : 0xFF; };
  ASSERT_TRUE(test::WriteRaster(dir_ / "tape.pwg", {PwgPage(24, 100, 360, 720, bars)}, true));
  const tq33stream::Stream tape = test::ParsedStream(
      Print("tape.pwg", "image/pwg-raster", "copies=2 tq33-mirror=true tq33-auto-cut=false tq33-half-cut=false"));
  ASSERT_EQ(tape.pages.size(), 2u);
  const tq33stream::SetupHeader& h = tape.pages[0].labels.at(0).header;
  EXPECT_EQ(std::tuple(+h.widthByte, h.special(), +h.feedResolution, h.mirror, h.autoCut, h.halfCut),
            std::tuple(24, true, 720, true, false, false));
  EXPECT_EQ(tape.pages[0].labels[0].lines.size(), 2608u) << "92 mm of the 100 mm page at 720 dpi";
  // The die-cut label loaded through IPP: the default follows it, and its page prints 40 mm.
  ASSERT_TRUE(app_.Set("tq33", std::string("media-ready=") + test::kDieCutLabel +
                                   " tq33-mirror-default=true print-content-optimize-default=photo"));
  app_.Stop(false);
  ASSERT_TRUE(app_.Start(dir_.path()));
  const test::ProcessResult printers = app_.Command({"printers"});
  EXPECT_EQ(printers.out, "tq33\n") << printers.err;
  ipp_t* attributes = app_.Attributes("tq33", {"tq33-mirror-default"});
  for (const auto& [name, value] : {std::pair{"media-ready", test::kDieCutLabel}, {"media-default", test::kDieCutLabel},
                                    {"tq33-mirror-default", "true"}, {"print-content-optimize-default", "photo"}})
    EXPECT_EQ(Values(attributes, name), std::vector<std::string>{value}) << name;
  ippDelete(attributes);
  ASSERT_TRUE(test::WriteRaster(dir_ / "label.pwg", {PwgPage(24, 40, 360, 360)}, true));
  const tq33stream::Stream label = test::ParsedStream(Print("label.pwg", "image/pwg-raster"));
  ASSERT_EQ(label.pages.size(), 1u);
  const tq33stream::Label& l = label.pages[0].labels.at(0);
  // The die-cut label's printable length at 360 dpi.
  EXPECT_EQ(std::tuple(l.header.mirror, l.header.special(), l.lines.size()), std::tuple(true, false, 496u));
}

}  // namespace
