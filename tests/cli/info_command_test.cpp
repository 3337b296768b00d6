// `tq33 info` end to end: what it reports, how the settings and environment options
// reach the driver, settings files of every size, and refusals that name their cause.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "cli/record_fields.h"
#include "settings/settings_record.h"
#include "tests/cli/tool_fixture.h"
#include "tests/support/test_context.h"

namespace test {
namespace {

std::vector<uint8_t> RecordBytes(const SettingsRecord& record) {
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&record);
  return std::vector<uint8_t>(bytes, bytes + sizeof(record));
}

using InfoTest = ToolTest;

TEST_F(InfoTest, ReportsEveryNamedFieldAndTheRecordsTheDriverMade) {
  Json info = RunJson({"info"});
  EXPECT_EQ(info["settings"].size(), tq33cli::kSettingsLayout.fields.size());
  EXPECT_EQ(info["settings"]["privSignature"], PRIV_SIGNATURE);
  EXPECT_EQ(info["settings"]["xbTag"], "VQNZ");
  // The media record is the one the page and the GDIINFO were made for.
  EXPECT_EQ(info["media"]["mrPaperSize"], info["settings"]["dmPaperSize"]);
  EXPECT_EQ(info["media"]["definitionIndex"], -1);
  EXPECT_EQ(info["gdiinfo"]["ulHorzRes"], info["page"]["cx"]);
  EXPECT_EQ(info["gdiinfo"]["ulVertRes"], info["page"]["cy"]);
  EXPECT_EQ(info["page"]["bandCount"], 1);
  EXPECT_EQ(info["devinfo"]["iDitherFormat"], BMF_8BPP);
  EXPECT_EQ(info["printerData"]["fontSlotCount"], 1);

  Json banded = RunJson({"info", "--paper", "318", "--max-bitmap", "40000"});
  EXPECT_TRUE(banded["page"]["banded"].get<bool>());
  EXPECT_GT(banded["page"]["bandCount"], 1);
  EXPECT_EQ(banded["media"]["definitionIndex"], 1);  // the second user-defined label
  EXPECT_EQ(banded["media"]["definition"]["defPaperSize"], banded["media"]["mrPaperSize"]);

  ToolResult text = Run({"info"});
  EXPECT_EQ(text.status, 0);
  EXPECT_NE(text.out.find("  privMargin: 57\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("  dmFields: 0x1650F\n"), std::string::npos) << text.out;
}

TEST_F(InfoTest, SettingsOptionsApplyInOrderAndSetTheirFieldBits) {
  SettingsRecord record = FixedDefaults();
  record.dm.dmFields = 0;
  record.dm.dmOrientation = DMORIENT_PORTRAIT;
  WriteBytes(Path("app.devmode"), RecordBytes(record));
  auto orientation = [&](const Args& options) {
    Args args = {"info"};
    args.insert(args.end(), options.begin(), options.end());
    return RunJson(args)["settings"]["dmOrientation"].get<int>();
  };
  // Without its dmFields bit the record's orientation is not taken; --set adds the bit.
  EXPECT_EQ(orientation({"--devmode", "app.devmode"}), DMORIENT_LANDSCAPE);
  EXPECT_EQ(orientation({"--devmode", "app.devmode", "--set", "dmOrientation=1"}), 1);
  EXPECT_EQ(orientation({"--set", "dmOrientation=1", "--devmode", "app.devmode"}), 2);
  EXPECT_EQ(orientation({"--orientation", "portrait", "--set", "dmOrientation=2"}), 2);
  EXPECT_EQ(orientation({"--set", "dmOrientation=2", "--orientation", "portrait"}), 1);

  Json high = RunJson({"info", "--dpi", "720"})["settings"];
  EXPECT_EQ(high["dmYResolution"], 720);
  EXPECT_EQ(high["dmPrintQuality"], 360);
  EXPECT_EQ(high["privMargin"], 114) << "the 57 dots of 4 mm at 360 dpi, converted as the filter does";
  // A US English resource library forbids 720 dots per inch.
  Json refused = RunJson({"info", "--dpi", "720", "--resource-language", "0409:04B0"})["settings"];
  EXPECT_EQ(refused["dmYResolution"], 360);
  EXPECT_EQ(refused["privHighResAllowed"], 0);

  Json options =
      RunJson({"info", "--halftone", "ordered", "--contrast", "-20", "--mirror", "--no-auto-cut",
               "--no-half-cut", "--chain", "--copies", "3"})["settings"];
  EXPECT_EQ(options["privHalftone"], 2);
  EXPECT_EQ(options["privContrast"], -20);
  EXPECT_EQ(options["privMirror"], 1);
  EXPECT_EQ(options["privAutoCut"], 0);
  EXPECT_EQ(options["privHalfCut"], 0);
  EXPECT_EQ(options["privChainPrint"], 1);
  EXPECT_EQ(options["dmCopies"], 3);
}

TEST_F(InfoTest, TheEnvironmentOptionsReachTheDriver) {
  std::vector<uint8_t> halftone(132, 0);
  halftone[4] = 7;  // HTPatternSize
  WriteBytes(Path("ht.bin"), halftone);
  std::vector<uint8_t> options(32, 0);
  options[0] = 32;    // size
  options[4] = 0x10;  // mask: halftone
  options[20] = 1;    // threshold
  WriteBytes(Path("options.bin"), options);
  Json info = RunJson({"info", "--plain", "--printer-data", "FreeMem=2000", "--printer-data",
                       "CurDevHTInfo=@ht.bin", "--registry-options", "options.bin", "--codepage",
                       "1250", "--measure", "1"});
  EXPECT_EQ(info["settings"]["privUseMonitor"], 0);
  EXPECT_EQ(info["printerData"]["pdFreeMemory"], 2000 * 1024);
  EXPECT_EQ(info["printerData"]["fontSlotCount"], 2000 * 1024 / 337920);
  EXPECT_EQ(info["gdiinfo"]["ulHTPatternSize"], 7);
  EXPECT_EQ(info["defaultSettings"]["privHalftone"], 1);
  EXPECT_EQ(info["defaultSettings"]["privFlags"], 0x3000);
  EXPECT_EQ(info["settings"]["privInchUnits"], 1);
  // A paper size the table lacks falls back to the printer's per-user record.
  SettingsRecord user = FixedDefaults();
  user.dm.dmPaperSize = 260;
  user.dm.dmPaperWidth = 120;
  WriteBytes(Path("user.devmode"), RecordBytes(user));
  Json fallback = RunJson({"info", "--user-devmode", "user.devmode", "--paper", "9999"});
  EXPECT_EQ(fallback["media"]["mrPaperSize"], 260);
  EXPECT_EQ(fallback["settings"]["dmPaperSize"], 260);
  // Later values win: --plain then UseMonitor=1 is framed output again.
  EXPECT_EQ(
      RunJson({"info", "--plain", "--printer-data", "UseMonitor=1"})["settings"]["privUseMonitor"],
      1);
}

TEST_F(InfoTest, ASetOutsideAShortSettingsFileNamesTheFileAndItsSize) {
  const std::vector<uint8_t> whole = RecordBytes(FixedDefaults());
  WriteBytes(Path("short.devmode"), std::vector<uint8_t>(whole.begin(), whole.begin() + 100));
  ExpectFailure(Run({"info", "--devmode", "short.devmode", "--set", "privMargin=3"}), 1,
                "privMargin lies outside the settings record from short.devmode (100 bytes)");
}

TEST_F(InfoTest, ARefusedContextNamesItsCause) {
  std::ifstream in(SourcePath("data/tq33.model"));
  std::stringstream model;
  std::string line;
  int number = 0;
  int broken = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!broken && line.rfind("width ", 0) == 0) {
      line = "widht = 35";
      broken = number;
    }
    model << line << "\n";
  }
  std::ofstream(Path("broken.model")) << model.str();
  ExpectFailure(Run({"info", "--model-data", "broken.model"}), 1,
                "the driver refused the printer context: model data file malformed at line " +
                    std::to_string(broken) + ": ");
  WriteBytes(Path("empty.dat"), {});
  ExpectFailure(Run({"media", "--media-file", "empty.dat"}), 1, "media definition file is empty");
  WriteBytes(Path("big.dat"), std::vector<uint8_t>(4000, 0));
  ExpectFailure(Run({"info", "--media-file", "big.dat"}), 1, "holds 4000 bytes");
  ExpectFailure(Run({"info", "--max-bitmap", "100"}), 1, "the 100 bytes --max-bitmap grants");
  ExpectFailure(Run({"info", "--model-data", "nowhere.model"}), 1,
                "cannot read model data file nowhere.model");
}

}  // namespace
}  // namespace test
