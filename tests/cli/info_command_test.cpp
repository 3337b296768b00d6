// SPDX-License-Identifier: Apache-2.0
// `tq33 info` end to end: what it reports, how the settings and environment options
// reach the driver, settings files of every size, and refusals that name their cause.
#include <gtest/gtest.h>

#include <algorithm>

#include "cli/record_fields.h"
#include "context/settings_record.h"
#include "tests/cli/tool_fixture.h"
#include "tests/support/test_context.h"

namespace test {
namespace {

using InfoTest = ToolTest;

TEST_F(InfoTest, ReportsEveryNamedFieldAndTheRecordsTheDriverMade) {
  Json info = RunJson({"info"});
  EXPECT_EQ(info["settings"].size(), tq33cli::kSettingsLayout.fields.size());
  EXPECT_EQ(Json({info["settings"]["privSignature"], info["settings"]["xbTag"]}), Json({PRIV_SIGNATURE, "VQNZ"}));
  // The media record is the one the page and the GDIINFO were made for.
  EXPECT_EQ(Json({info["media"]["mrPaperSize"], info["gdiinfo"]["ulHorzRes"], info["gdiinfo"]["ulVertRes"]}),
            Json({info["settings"]["dmPaperSize"], info["page"]["cx"], info["page"]["cy"]}));
  EXPECT_EQ(Json({info["media"]["definitionIndex"], info["page"]["bandCount"],
                  info["devinfo"]["iDitherFormat"], info["printerData"]["fontSlotCount"]}),
            Json({-1, 1, BMF_8BPP, 1}));

  Json banded = RunJson({"info", "--paper", "318", "--max-bitmap", "40000"});
  EXPECT_TRUE(banded["page"]["banded"].get<bool>());
  EXPECT_EQ(banded["media"]["definitionIndex"], 1);  // the second user-defined label
  EXPECT_EQ(banded["media"]["definition"]["defPaperSize"], banded["media"]["mrPaperSize"]);

  // The --max-bitmap limit is the job's: the defaults' context needs no bands.
  EXPECT_EQ(RunJson({"info", "--max-bitmap", "25000"})["page"]["bandCount"], 14);

  ToolResult text = Run({"info"});
  EXPECT_EQ(text.status, 0);
  EXPECT_TRUE(text.out.starts_with("Medium: \"VK 24mm (RFID)\" (387), 24 mm wide, continuous, special\n"
                                   "Page: 92 x 18.1 mm, 1304 x 256 dots, landscape\n")) << text.out;
  ExpectHas(text.out, {"Output form: framed", "  privMargin (dots): 57\n", "  dmFields: 0x1650F\n"});
}

TEST_F(InfoTest, PaperTakesANameAndSelectsItsKind) {
  // A paper label (media kind 1) by its code and its name in any case; the PPD's keyword;
  // a name whose blanks do not count; the start of one name, a user-defined label's.
  for (const auto& [paper, code] : {std::pair{"372", 372}, {"paper label 24 X 60MM", 372},
                                    {"Die-cut_label_24_x_40mm", 361}, {"die-cut label 24 x 40 mm", 361},
                                    {"Name badge", 318}}) {
    ToolResult result = Run({"info", "--paper", paper, "--json"});
    ASSERT_EQ(std::tie(result.status, result.err), std::tuple(0, "")) << paper;
    EXPECT_EQ(Json::parse(result.out)["settings"]["dmPaperSize"], code) << paper;
  }
}

TEST_F(InfoTest, EverySettingTheDriverChangedIsNamed) {
  const std::pair<Args, std::string> changes[] = {
      {{"--paper", "9999"}, "warning: paper 9999 is not in the media table; printing on \"VK 24mm (RFID)\" (387)"},
      {{"--set", "dmPaperSize=372"},
       "paper 372 (\"Paper label 24 x 60mm\") is a medium of kind 1, not of the kind 0"},
      {{"--copies", "5001"}, "warning: 5001 copies is more than 5000; printing 5000"},
      {{"--copies", "0"}, "warning: 0 copies is fewer than 1; printing 1"},
      {{"--length", "-1"}, "warning: length -0.1 mm is no length; printing 100 mm"},
      {{"--paper", "262", "--length", "20000"},
       "length 2000 mm is longer than 1000 mm, the most \"Laminated tape 24mm\" (262) takes; printing 1000 mm"},
      {{"--paper", "361", "--length", "500"},
       "length 50 mm does not apply to \"Die-cut label 24 x 40mm\" (361), whose labels are 40 mm"},
      {{"--dpi", "720", "--resource-language", "0409:04B0"}, "720 dpi needs the high-resolution allowance"},
      {{"--chain"}, "is special media, which cannot chain labels"},
      {{"--paper", "372", "--mirror"}, "is paper media, which prints only unmirrored (--mirror)"},
      {{"--set", "dmOrientation=3"}, "orientation 3 is neither portrait (1) nor landscape (2)"},
      {{"--set", "dmScale=50"}, "the driver changed dmScale from 50 to 100 (--set dmScale=50)"},
  };
  for (const auto& [options, warning] : changes) {
    Args args = Join({"info", "--json"}, options);
    ToolResult result = Run(args);
    EXPECT_EQ(result.status, 0) << warning;
    EXPECT_NE(result.err.find(warning), std::string::npos) << result.err;
    args.push_back("--strict");
    ToolResult strict = Run(args);
    ExpectFailure(strict, 1, "--strict: the driver changed 1 setting");
    EXPECT_EQ(strict.out, "");
  }
  // A resolution without its field bit is not asked for at all.
  ExpectHas(Run({"info", "--set", "dmYResolution=720", "--set", "dmFields=0x1450F"}).err,
            {"warning: 720 dpi is not asked for: dmFields lacks DM_YRESOLUTION"});
  // What the driver keeps draws no word.
  const Args kept = {"--copies", "5000", "--paper", "262", "--length", "500", "--chain", "--strict"};
  EXPECT_EQ(Run(Join({"info"}, kept)).err, "");
}

TEST_F(InfoTest, SettingsOptionsApplyInOrderAndSetTheirFieldBits) {
  SettingsRecord record = FixedDefaults();
  record.dm.dmFields = 0;
  record.dm.dmOrientation = DMORIENT_PORTRAIT;
  WriteBytes(Path("app.devmode"), BytesOf(record));
  auto orientation = [&](const Args& options) {
    return RunJson(Join({"info"}, options))["settings"]["dmOrientation"].get<int>();
  };
  // Without its dmFields bit the record's orientation is not taken; --set adds the bit.
  EXPECT_EQ(orientation({"--devmode", "app.devmode"}), DMORIENT_LANDSCAPE);
  EXPECT_EQ(orientation({"--devmode", "app.devmode", "--set", "dmOrientation=1"}), 1);
  EXPECT_EQ(orientation({"--set", "dmOrientation=1", "--devmode", "app.devmode"}), 2);
  EXPECT_EQ(orientation({"--orientation", "portrait", "--set", "dmOrientation=2"}), 2);
  EXPECT_EQ(orientation({"--set", "dmOrientation=2", "--orientation", "portrait"}), 1);

  // 720 dpi keeps the 57 dots of 4 mm at 360 dpi as 114, as the filter converts them; a US
  // English resource library forbids 720 dots per inch.
  ExpectFields(RunJson({"info", "--dpi", "720"})["settings"],
               R"({"dmYResolution": 720, "dmPrintQuality": 360, "privMargin": 114})");
  ExpectFields(RunJson({"info", "--dpi", "720", "--resource-language", "0409:04B0"})["settings"],
               R"({"dmYResolution": 360, "privHighResAllowed": 0})");
  ExpectFields(RunJson({"info", "--halftone", "ordered", "--contrast", "-20", "--mirror",
                        "--no-auto-cut", "--no-half-cut", "--chain", "--copies", "3"})["settings"],
               R"({"privHalftone": 2, "privContrast": -20, "privMirror": 1, "privAutoCut": 0,
                   "privHalfCut": 0, "privChainPrint": 1, "dmCopies": 3})");
}

TEST_F(InfoTest, TheApplicationsExchangeBlockAndRecordGetWhatTheyAskFor) {
  // A margin as small as asked; the caller's dots scaled from its own resolution only when
  // its record asks for one; the answer's paper size that of the medium the page prints on
  // (media of kind 0 for an application's own media type); an empty printer-data value
  // as missing as an absent one.
  WriteBytes(Path("empty.bin"), {});
  const std::pair<Args, std::string> cases[] = {
      {{"--set", "xbRequest=0x40", "--set", "xbMargin=30"},
       R"({"privMargin": 30, "xbMargin": 30, "privMarginInDots": 1})"},
      {{"--set", "privHighResAllowed=0", "--set", "dmYResolution=720", "--set", "privMargin=100"},
       R"({"privMargin": 50, "dmYResolution": 360})"},
      {{"--paper", "262", "--set", "dmYResolution=720", "--set", "dmFields=0x1450F", "--set",
        "xbRequest=0x40", "--set", "xbMargin=100"}, R"({"privMargin": 100, "xbMargin": 100})"},
      {{"--set", "dmPaperSize=256", "--width", "120", "--length", "300", "--set",
        "privMediaKind=1", "--set", "xbRequest=0x4"}, R"({"xbPaperSize": 260, "privMediaKind": 0})"},
      {{"--printer-data", "UseMonitor=@empty.bin"}, R"({"privUseMonitor": 1})"},
  };
  for (const auto& [options, fields] : cases) {
    const Json info = RunJson(Join({"info"}, options));
    ExpectFields(info["settings"], fields);
    if (info["settings"]["xbRequest"] == XB_MEDIA_TYPE) {
      EXPECT_EQ(info["media"]["mrPaperSize"], info["settings"]["xbPaperSize"]);
    }
  }
}

TEST_F(InfoTest, TheEnvironmentOptionsReachTheDriver) {
  std::vector<uint8_t> halftone(132, 0);
  halftone[4] = 7;  // HTPatternSize
  WriteBytes(Path("ht.bin"), halftone);
  // Options of 32 bytes: the mask 0x10 (halftone) and the threshold halftone (1, byte 20).
  WriteBytes(Path("options.bin"), {32, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                   0,  0, 0, 0, 1,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  Json info = RunJson({"info", "--plain", "--printer-data", "FreeMem=660", "--printer-data",
                       "CurDevHTInfo=@ht.bin", "--registry-options", "options.bin", "--codepage",
                       "1250", "--measure", "1"});
  ExpectFields(info["settings"], R"({"privUseMonitor": 0, "privInchUnits": 1})");
  // 660 KB of free memory: exactly two font slots of 337920 bytes; privFlags 0x3000.
  ExpectFields(info["printerData"], R"({"pdFreeMemory": 675840, "fontSlotCount": 2})");
  ExpectFields(info["defaultSettings"], R"({"privHalftone": 1, "privFlags": 12288})");
  EXPECT_EQ(info["gdiinfo"]["ulHTPatternSize"], 7);
  // A paper size the table lacks falls back to the printer's per-user record.
  SettingsRecord user = FixedDefaults();
  user.dm.dmPaperSize = 260;
  user.dm.dmPaperWidth = 120;
  WriteBytes(Path("user.devmode"), BytesOf(user));
  Json fallback = RunJson({"info", "--user-devmode", "user.devmode", "--paper", "9999"});
  EXPECT_EQ(Json({fallback["media"]["mrPaperSize"], fallback["settings"]["dmPaperSize"]}), Json({260, 260}));
  // Only whole: a record of another section of the table gives nothing, and the job
  // prints on the paper size its settings name.
  user.priv.privMediaBase = 20;
  user.priv.privMediaId = 5;
  WriteBytes(Path("user.devmode"), BytesOf(user));
  fallback = RunJson({"info", "--user-devmode", "user.devmode", "--paper", "9999"});
  EXPECT_EQ(std::tuple(fallback["settings"]["dmPaperSize"], fallback["settings"]["privMediaBase"]),
            std::tuple(fallback["media"]["mrPaperSize"], 0));
  // Later values win: --plain then UseMonitor=1 is framed output again.
  const Json framed = RunJson({"info", "--plain", "--printer-data", "UseMonitor=1"});
  EXPECT_EQ(framed["settings"]["privUseMonitor"], 1);
}

TEST_F(InfoTest, ARefusedContextNamesItsCause) {
  // The first width line misspelt.
  const std::vector<uint8_t> bytes = ReadBytes(SourcePath("data/tq33.model"));
  std::string model(bytes.begin(), bytes.end());
  const size_t at = model.find("\nwidth ") + 1;
  const auto broken = std::count(model.begin(), model.begin() + at, '\n') + 1;
  model.replace(at, model.find('\n', at) - at, "widht = 35");
  WriteBytes(Path("broken.model"), std::vector<uint8_t>(model.begin(), model.end()));
  ExpectFailure(Run({"info", "--model-data", "broken.model"}), 1,
                "the driver refused the printer context: model data file malformed at line " +
                    std::to_string(broken) + ": ");
  ExpectFailure(Run({"info", "--max-bitmap", "100"}), 1, "the 100 bytes --max-bitmap grants");
  // Settings that leave no page: a 4 mm tape cannot hold the special medium's margins.
  ToolResult noPage = Run({"info", "--paper", "262", "--length", "30"});
  ExpectFailure(noPage, 1,
                "the settings leave no page to print on: a label 4 mm long (57 dots at 360 dpi) of "
                "\"Laminated tape 24mm\" (262) does not hold its feed margins of 57 dots");
  ExpectHas(noPage.err, {"warning: length 3 mm is shorter than 4 mm"});
  // A field to set outside a short settings file names the file and its size.
  const std::vector<uint8_t> whole = BytesOf(FixedDefaults());
  WriteBytes(Path("short.devmode"), std::vector<uint8_t>(whole.begin(), whole.begin() + 100));
  ExpectFailure(Run({"info", "--devmode", "short.devmode", "--set", "privMargin=3"}), 1,
                "privMargin lies outside the settings record from short.devmode (100 bytes)");
}

}  // namespace
}  // namespace test
