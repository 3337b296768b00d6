// The SetupHeader, the print-information bytes and the JobInfoRecord, byte for byte.
#include <cstring>
#include <vector>

#include "raster/printer_commands.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes Header(const test::TestContext& ctx, LONG offset = 0) {
  Bytes header(SETUP_HEADER_SIZE, 0xEE);
  EXPECT_EQ(BuildSetupHeader(header.data(), ctx.get(), offset), 25u);
  return header;
}

// The settings of the worked example: auto cut, half cut, no chain printing, margin 57.
void WorkedExampleSettings(test::TestContext& ctx) {
  PrivateSettings& p = ctx.priv();
  p.privAutoCut = 1;
  p.privMirror = 0;
  p.privHalfCut = 1;
  p.privChainPrint = 0;
  p.privOpt800 = 0;
  p.privMediaKind = 0;
  p.privMargin = 57;
}

TEST(PrinterCommands, WorkedExampleHeaderAndRecord) {
  test::TestContext ctx({test::Tape(262, 240, 128)});
  WorkedExampleSettings(ctx);
  ctx.priv().privInchUnits = 1;
  ctx.priv().privCollate = 1;
  ctx.priv().privJobOption = 7;
  ctx.settings().dm.dmCopies = 3;
  EXPECT_EQ(Header(ctx), (Bytes{0x1B, 0x69, 0x61, 0x01, 0x1B, 0x69, 0x63, 0x84, 0x00, 0x18, 0x00, 0x00,
                                0x1B, 0x69, 0x4D, 0x40, 0x1B, 0x69, 0x4B, 0x0C, 0x1B, 0x69, 0x64, 0x39, 0x00}));

  JobInfoRecord record;
  std::memset(&record, 0xEE, sizeof(record));
  record.jiTotalLength = 97;
  BuildJobInfoRecord(&record, ctx.get(), 0);
  Bytes expected = {0x3A, 0, 0, 0, 97, 0, 0, 0, 0x06, 0x01, 1, 1, 3, 0, 1, 7};
  for (char c : std::string("TQ33Kr.dll")) expected.insert(expected.end(), {static_cast<BYTE>(c), 0});
  expected.resize(55, 0);
  expected.insert(expected.end(), {0x18, 0x01, 0x00});
  const auto* raw = reinterpret_cast<const BYTE*>(&record);
  EXPECT_EQ(Bytes(raw, raw + sizeof(record)), expected);
}

TEST(PrinterCommands, ResolutionMediaKindAndSpecialMediaShapeTheModeBytes) {
  test::Medium special = test::Tape(300, 240, 128);
  special.kindCode = 16;
  special.options = 1;
  test::TestContext ctx({test::Tape(262, 240, 128), special});
  WorkedExampleSettings(ctx);
  ctx.settings().dm.dmYResolution = 720;
  ctx.priv().privHalftone = 3;

  // 720 dpi on plain media with error diffusion: kind 09 and the high-resolution byte.
  Bytes h = Header(ctx);
  EXPECT_EQ(Bytes(h.begin() + 7, h.begin() + 12), (Bytes{0x86, 0x09, 0x18, 0x00, 0x01}));
  EXPECT_EQ(h[19], 0x4C);

  // Special media: kind 11, no high-resolution byte, "no chain" even with chain printing.
  ctx.priv().privChainPrint = 1;
  h = Header(ctx, 1);
  EXPECT_EQ(Bytes(h.begin() + 7, h.begin() + 12), (Bytes{0x86, 0x11, 0x18, 0x00, 0x00}));
  EXPECT_EQ(h[19], 0x4C);
  ctx.settings().dm.dmYResolution = 360;
  EXPECT_EQ(Header(ctx, 1)[8], 0x10);

  // Media kind 1: auto cut whatever the settings say, no mirror, no half cut, no p5.
  ctx.settings().dm.dmYResolution = 720;
  ctx.priv().privMediaKind = 1;
  ctx.priv().privAutoCut = 0;
  ctx.priv().privMirror = 1;
  h = Header(ctx);
  EXPECT_EQ(h[15], 0x40);
  EXPECT_EQ(h[19], 0x40);
  EXPECT_EQ(h[11], 0x00);

  // Plain media kind 0: mirror and option 800 are sent; an option byte counts only as 1.
  ctx.priv().privMediaKind = 0;
  ctx.priv().privOpt800 = 1;
  ctx.priv().privHalfCut = 2;
  h = Header(ctx);
  EXPECT_EQ(h[15], 0x80);
  EXPECT_EQ(h[19], 0x60);

  ctx.priv().privMargin = 300;
  h = Header(ctx);
  EXPECT_EQ(h[23], 0x2C);
  EXPECT_EQ(h[24], 0x01);
}

TEST(PrinterCommands, WidthByteComesFromTheSingleWidthRecordRoundedToMillimetres) {
  // Records 0..3 single width, record 4 is record 0's media twice across the head.
  test::TestContext ctx({test::Tape(263, 90, 64), test::Tape(10, 120, 64), test::Tape(11, 125, 64),
                         test::Tape(12, 124, 64), test::Tape(13, 180, 128, 1)});
  BYTE p1 = 0, p2 = 0, p3 = 0;
  GetPrintInfoParams(ctx.get(), 0, &p1, &p2, &p3, nullptr, nullptr);
  EXPECT_EQ(p3, 4) << "paper size 263 fixes the width byte";
  GetPrintInfoParams(ctx.get(), 1, nullptr, nullptr, &p3, nullptr, nullptr);
  EXPECT_EQ(p3, 12);
  GetPrintInfoParams(ctx.get(), 2, nullptr, nullptr, &p3, nullptr, nullptr);
  EXPECT_EQ(p3, 13);
  GetPrintInfoParams(ctx.get(), 3, nullptr, nullptr, &p3, nullptr, nullptr);
  EXPECT_EQ(p3, 12);
  GetPrintInfoParams(ctx.get(), 4, nullptr, nullptr, &p3, nullptr, nullptr);
  EXPECT_EQ(p3, 4) << "a double-width record takes the width of the record four back";

  // A base that puts the single-width record before the table uses the record itself.
  ctx.SetMedia({test::Tape(10, 120, 64), test::Tape(13, 180, 128, 1)});
  GetPrintInfoParams(ctx.get(), 1, nullptr, nullptr, &p3, nullptr, nullptr);
  EXPECT_EQ(p3, 18);
}

TEST(PrinterCommands, RecordMarksRetainedPagesAndStoresKindOneForPlainMedia) {
  test::Medium special = test::Tape(300, 240, 128);
  special.kindCode = 16;
  special.options = 1;
  test::TestContext ctx({test::Tape(262, 240, 128), special});
  ctx.priv().privCollate = 1;
  ctx.priv().xbOptions |= XBO_RETAIN;
  JobInfoRecord record{};
  BuildJobInfoRecord(&record, ctx.get(), 0);
  EXPECT_EQ(record.jiCollate, 0x03);
  EXPECT_EQ(record.jiKindByte, 0x01);
  BuildJobInfoRecord(&record, ctx.get(), 1);
  EXPECT_EQ(record.jiKindByte, 0x10);
  EXPECT_EQ(record.jiPaperSize, 300);
}

TEST(PrinterCommands, NothingIsBuiltWithoutASelectedRecord) {
  test::TestContext ctx({test::Tape(262, 240, 128)});
  Bytes header(SETUP_HEADER_SIZE, 0xEE);
  JobInfoRecord record;
  std::memset(&record, 0xEE, sizeof(record));
  const JobInfoRecord before = record;

  ctx.priv().privMediaBase = 0x7FFFFFF0;  // from a settings record: not trusted
  EXPECT_EQ(BuildSetupHeader(header.data(), ctx.get(), 100), 0u);
  BuildJobInfoRecord(&record, ctx.get(), 100);
  ctx.priv().privMediaBase = 0;
  EXPECT_EQ(BuildSetupHeader(header.data(), ctx.get(), -1), 0u);

  ctx->modelData.mediaTable = nullptr;
  EXPECT_EQ(BuildSetupHeader(header.data(), ctx.get(), 0), 0u);
  BuildJobInfoRecord(&record, ctx.get(), 0);
  EXPECT_EQ(header, Bytes(SETUP_HEADER_SIZE, 0xEE));
  EXPECT_EQ(std::memcmp(&record, &before, sizeof(record)), 0);
}

}  // namespace
