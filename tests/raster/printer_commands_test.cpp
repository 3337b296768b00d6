// SPDX-License-Identifier: Apache-2.0
// The SetupHeader, the print-information bytes and the JobInfoRecord fields that follow the
// settings and the selected media. The worked example's bytes are in page_conversion_test.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "raster/printer_commands.h"
#include "tests/support/test_context.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes Header(const test::TestContext& ctx, LONG offset = 0) {
  Bytes header(SETUP_HEADER_SIZE, 0xEE);
  EXPECT_EQ(BuildSetupHeader(header.data(), ctx.get(), offset), 25u);
  return header;
}

Bytes PrintInfo(const Bytes& header) { return Bytes(header.begin() + 7, header.begin() + 12); }

TEST(PrinterCommands, ModeBytesFollowResolutionMediaKindAndSpecialMedia) {
  test::TestContext ctx({test::Tape(262, 240, 128), test::SpecialTape(300, 240, 128)});
  PrivateSettings& p = ctx.priv();  // auto cut and half cut, no chain printing
  ctx.settings().dm.dmYResolution = 720;
  p.privHalftone = 3;

  Bytes h = Header(ctx);
  EXPECT_EQ(PrintInfo(h), (Bytes{0x86, 0x09, 0x18, 0x00, 0x01}));
  EXPECT_EQ((Bytes{h[15], h[19]}), (Bytes{0x40, 0x4C}));

  // Special media: no high-resolution byte, and "no chain" even with chain printing.
  p.privChainPrint = 1;
  h = Header(ctx, 1);
  EXPECT_EQ(PrintInfo(h), (Bytes{0x86, 0x11, 0x18, 0x00, 0x00}));
  EXPECT_EQ(h[19], 0x4C);
  ctx.settings().dm.dmYResolution = 360;
  EXPECT_EQ(PrintInfo(Header(ctx, 1)), (Bytes{0x86, 0x10, 0x18, 0x00, 0x00}));

  // Media kind 1: auto cut whatever the settings say; no mirror, half cut or p5.
  ctx.settings().dm.dmYResolution = 720;
  p.privMediaKind = 1, p.privAutoCut = 0, p.privMirror = 1;
  h = Header(ctx);
  EXPECT_EQ((Bytes{h[11], h[15], h[19]}), (Bytes{0x00, 0x40, 0x40}));

  // Kind 0: mirror and option 800 go out; an option byte counts only when it is 1; tone
  // mode 0 sets the high-resolution byte, as diffusion does.
  p.privMediaKind = 0, p.privOpt800 = 1, p.privHalfCut = 2, p.privMargin = 300, p.privHalftone = 0;
  h = Header(ctx);
  EXPECT_EQ((Bytes{h[11], h[15], h[19]}), (Bytes{0x01, 0x80, 0x60}));
  EXPECT_EQ(Bytes(h.begin() + 20, h.end()), (Bytes{0x1B, 0x69, 0x64, 0x2C, 0x01}));
}

TEST(PrinterCommands, WidthByteComesFromTheSingleWidthRecordRoundedToMillimetres) {
  // Record 4 is record 0's media twice across the head.
  test::TestContext ctx({test::Tape(263, 90, 64), test::Tape(10, 120, 64), test::Tape(11, 125, 64),
                         test::Tape(12, 124, 64), test::Tape(13, 180, 128, 1)});
  auto widthByte = [&](LONG offset) {
    BYTE p3 = 0;
    GetPrintInfoParams(ctx.get(), offset, nullptr, nullptr, &p3, nullptr, nullptr);
    return p3;
  };
  EXPECT_EQ((Bytes{widthByte(0), widthByte(1), widthByte(2), widthByte(3), widthByte(4)}), (Bytes{4, 12, 13, 12, 4}));
  // A single-width record that would lie before the table: the selected record stands in.
  ctx.SetMedia({test::Tape(10, 120, 64), test::Tape(13, 180, 128, 1)});
  EXPECT_EQ(widthByte(1), 18);
}

TEST(PrinterCommands, JobRecordMarksRetainedPagesAndNeedsASelectedRecord) {
  test::TestContext ctx({test::Tape(262, 240, 128), test::SpecialTape(300, 240, 128)});
  ctx.priv().privCollate = 1;
  ctx.priv().xbOptions |= XBO_RETAIN;
  JobInfoRecord record;
  std::memset(&record, 0xEE, sizeof(record));
  BuildJobInfoRecord(&record, ctx.get(), 1);
  // The record is packed: its members are read out by value, never bound by reference.
  EXPECT_EQ(std::tuple(+record.jiCollate, +record.jiKindByte, WORD{record.jiPaperSize}, DWORD{record.jiReserved1}, +record.jiReserved3),
            std::tuple(0x03, 0x10, 300, 0u, 0));

  // Base and offset come from outside: a position off the table builds nothing.
  Bytes header(SETUP_HEADER_SIZE, 0xEE);
  std::memset(&record, 0xEE, sizeof(record));
  ctx.priv().privMediaBase = 0x7FFFFFF0;
  EXPECT_EQ(BuildSetupHeader(header.data(), ctx.get(), 100), 0u);
  BuildJobInfoRecord(&record, ctx.get(), 100);
  ctx.priv().privMediaBase = 0;
  EXPECT_EQ(BuildSetupHeader(header.data(), ctx.get(), -1), 0u);
  ctx->modelData.mediaTable = nullptr;
  EXPECT_EQ(BuildSetupHeader(header.data(), ctx.get(), 0), 0u);
  BuildJobInfoRecord(&record, ctx.get(), 0);
  EXPECT_EQ(std::tuple(header, DWORD{record.jiSize}), std::tuple(Bytes(SETUP_HEADER_SIZE, 0xEE), 0xEEEEEEEEu));
}

}  // namespace
