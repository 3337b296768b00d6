// SPDX-License-Identifier: Apache-2.0
// The exchange block: an application's requests applied to the scratch record, and the
// answer block built into the merged settings.
#include "settings/exchange_block.h"

#include <gtest/gtest.h>

#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

class ExchangeBlock : public test::ContextTest {
 protected:
  // 0: 24 mm tape, 1: two 24 mm labels across, 2: a plain die-cut label 100 mm long, 3: special tape.
  ExchangeBlock() : ContextTest({test::Tape(262, 240, 128), test::Tape(282, 480, 256, 1),
                     test::Label(300, 240, 128, 1000, 965, 1417, 1367, 0), test::SpecialTape(390, 240, 128)}) {}
  // A fresh scratch record on the 24 mm tape (or another paper size) asking for request.
  void Ask(WORD request, WORD margin = 0, SHORT resolution = 360, SHORT paperSize = 262) {
    scratch_ = test::FixedDefaults();
    scratch_.dm.dmPaperSize = paperSize, scratch_.dm.dmYResolution = resolution;
    scratch_.priv.xbRequest = request, scratch_.priv.xbMargin = margin;
  }
  void Apply(const MediaDefinition* definitions = nullptr, DWORD count = 0) {
    ApplyExchangeRequest(nullptr, &scratch_, &context_->modelData, definitions, count, 262);
  }
  void Answer() {
    BuildExchangeAnswer(nullptr, &scratch_, &result_, &context_->modelData, nullptr, 0, 262);
  }

  SettingsRecord scratch_ = test::FixedDefaults();
  SettingsRecord result_ = test::FixedDefaults();
};

TEST_F(ExchangeBlock, RequestedBaseCodesMoveByTheOffsetOfTheWidthMultiple) {
  struct Case { WORD paperSize, multiple; SHORT code; BYTE privMultiple; };
  for (const Case& c : {Case{258, 3, 284, 2}, Case{300, 2, 300, 1}, Case{258, 5, 258, 0},
                        Case{257, 4, 289, 3}, Case{263, 2, 263, 1}, Case{256, 2, 256, 1}, Case{262, 2, 282, 1}}) {
    Ask(XB_PAPER_SIZE | XB_WIDTH_MULTIPLE);
    scratch_.priv.xbPaperSize = c.paperSize;
    scratch_.priv.xbWidthMultiple = c.multiple;
    Apply();
    EXPECT_EQ(std::tuple(scratch_.dm.dmPaperSize, scratch_.priv.xbPaperSize, +scratch_.priv.privWidthMultiple),
              std::tuple(c.code, c.paperSize, +c.privMultiple)) << c.paperSize << " x " << c.multiple;
  }
  EXPECT_EQ(std::pair(+scratch_.priv.privMediaId, +scratch_.priv.privPlainMediaId), std::pair(1, 1))
      << "the media of the settled code is selected";
  scratch_.priv.privMediaKind = 1;  // kind 1 keeps its id
  scratch_.priv.privMediaId = 2;
  scratch_.priv.xbRequest = 0;  // unasked, the block reports the multiple and the base code
  Apply();
  EXPECT_EQ(std::tuple(+scratch_.priv.privMediaId, +scratch_.priv.xbWidthMultiple, +scratch_.priv.xbPaperSize),
            std::tuple(2, 2, 262));
  Ask(XB_PAPER_SIZE | XB_OPTIONS);  // a multiple the table does not know moves no code
  scratch_.priv.xbPaperSize = 258, scratch_.priv.privWidthMultiple = 4;
  scratch_.priv.xbOptions = XBO_MIRROR | XBO_RETAIN_LINES;  // and asked options set their bytes
  Apply();
  const PrivateSettings& p = scratch_.priv;
  EXPECT_EQ(std::tuple(scratch_.dm.dmPaperSize, +p.xbWidthMultiple, p.privMirror + p.privOpt40000, +p.privAutoCut),
            std::tuple(258, 1, 2, 0));
  const MediaDefinition one = {{}, 0, 263, 6230};  // codes just below and at the user forms
  for (auto [code, reported] : {std::pair<SHORT, WORD>{316, 316}, {317, 263}}) {
    Ask(0, 0, 360, code);
    Apply(&one, 1);
    EXPECT_EQ(scratch_.priv.xbPaperSize, reported) << code;
  }
}

TEST_F(ExchangeBlock, MarginsInMillimetresOrDotsAreKeptAtTheMergedResolution) {
  // 720 asked for and refused leaves dots at 360; a resolution the merge does not know
  // counts as 360. Millimetres are held below the medium's 27 mm, not raised; the dots of
  // 18501 and 32371 mm keep their low 16 bits.
  struct Case { WORD request, margin; SHORT callerY, mergedY; WORD dots, unit, reported; };
  for (const Case& c : {Case{XB_MARGIN_MM, 4, 360, 360, 57, XB_MARGIN_MM, 4},
                        Case{XB_MARGIN_MM, 4, 720, 720, 113, XB_MARGIN_MM, 4},
                        Case{XB_MARGIN_MM | XB_MARGIN_DOTS, 30, 360, 360, 30, XB_MARGIN_DOTS, 30},
                        Case{XB_MARGIN_MM, 4, 720, 360, 57, XB_MARGIN_MM, 4},
                        Case{XB_MARGIN_DOTS, 100, 720, 360, 50, XB_MARGIN_DOTS, 50},
                        Case{XB_MARGIN_MM, 4, 0, 0, 57, XB_MARGIN_MM, 4},
                        Case{XB_MARGIN_MM, 4, -1, 32767, 57, XB_MARGIN_MM, 4},
                        Case{XB_MARGIN_MM, 0, 720, 720, 0, XB_MARGIN_MM, 0},
                        Case{XB_MARGIN_MM, 60, 360, 360, 383, XB_MARGIN_MM, 27},
                        Case{XB_MARGIN_MM, 18501, 360, 360, 71, XB_MARGIN_MM, 5},
                        Case{XB_MARGIN_MM, 32371, 360, 360, 57, XB_MARGIN_MM, 4}}) {
    Ask(c.request, c.margin, c.callerY);
    Apply();
    result_.dm.dmYResolution = c.mergedY;
    Answer();
    const PrivateSettings& a = result_.priv;
    EXPECT_EQ(std::tuple(+a.privMargin, a.xbReport & (XB_MARGIN_MM | XB_MARGIN_DOTS),
                         +a.privMarginInDots, +a.xbRequest, +a.xbMargin),
              std::tuple(c.dots, c.unit, c.unit == XB_MARGIN_DOTS ? 1 : 0, c.request & XB_MARGIN_MM, c.reported))
        << c.request << " " << c.margin << " at " << c.callerY;
  }
}

TEST_F(ExchangeBlock, AnswerReportsEveryValueAndEchoesWhatWasRequested) {
  const PrivateSettings& a = result_.priv;
  Ask(XB_PAPER_SIZE | XB_WIDTH_MULTIPLE | XB_LENGTH | XB_MEDIA_TYPE | XB_OPTIONS, 0, 360, 282);
  scratch_.priv.xbWidthMultiple = 1;  // a single width on the double tape
  scratch_.priv.xbMediaType = 5;
  scratch_.priv.xbOptions = XBO_MIRROR | XBO_CHAIN_PRINT | XBO_OPT800 | XBO_RETAIN | XBO_RETAIN_LINES;
  result_.priv.privWidthMultiple = 2, result_.priv.privMediaKind = 1, result_.priv.privLengthDots = 900;
  scratch_.priv.privMarginInDots = 0;  // a margin kept in millimetres is reported in them
  Answer();
  EXPECT_EQ(std::tuple(+a.xbRequest, a.privWidthMultiple + a.privMediaKind + a.privAutoCut + a.privHalfCut,
                       a.privMirror + a.privChainPrint + a.privOpt800 + a.privOpt20000 + a.privOpt40000,
                       DWORD{a.xbLength}, +a.xbMediaType, +a.xbReport, +a.xbMargin),
            std::tuple(+scratch_.priv.xbRequest, 0, 5u, 900u, 5, 0x3F, 4));
  scratch_.priv.xbWidthMultiple = 2;  // two across on the double tape: echoed, and its multiple taken
  Answer();
  EXPECT_EQ(std::pair(+a.xbWidthMultiple, +a.privWidthMultiple), std::pair(2, 1));
  const WORD asked = scratch_.priv.xbRequest;
  scratch_.priv.xbRequest = XB_ECHO;  // unasked, from the bytes and the multiple just set
  Answer();
  EXPECT_EQ(std::pair(DWORD{a.xbOptions}, +a.xbWidthMultiple), std::pair(0x60C04u, 2));
  scratch_.priv.xbRequest = asked;
  // A label's own length is not replaced; its size finds it among plain media, whatever the kind.
  scratch_.dm.dmPaperSize = DMPAPER_USER;
  scratch_.priv.xbOptions = XBO_AUTO_CUT | XBO_HALF_CUT | 0x2;  // other bytes cleared; 0x2 has none
  scratch_.priv.privMediaKind = 1;
  result_.priv.xbLength = 777;
  Answer();
  EXPECT_EQ(std::pair(DWORD{a.xbLength}, DWORD{a.xbOptions}), std::pair(777u, 0x203u));
  Ask(XB_ECHO, 0, 360, 282);
  Apply();
  result_.priv.privWidthMultiple = 4;  // outside the multiples the table knows: a single width
  Answer();
  // Unasked, each value comes from the settings: options from the bytes, the double tape's base code.
  EXPECT_EQ(std::tuple(+a.xbRequest, +a.xbReport, +a.xbPaperSize, DWORD{a.xbOptions}, +a.xbMediaType,
                       DWORD{scratch_.priv.xbOptions}, +a.xbWidthMultiple, DWORD{a.xbLength}),
            std::tuple(XB_ECHO, 0x6F, 262, 0x201u, 0, 0x201u, 1, 900u));
  Ask(XB_ECHO, 0, 360, 555);  // an unknown code reports the base code of the tape it falls back to
  Answer();
  EXPECT_EQ(+a.xbPaperSize, 262);
  Ask(XB_ECHO, 0, 720, 390);  // 1063 dots at 720 dpi, 37.5 mm, on a tape whose margins reach 49 mm
  scratch_.priv.privMarginInDots = 0, result_.priv.privMargin = 1063;
  result_.dm.dmPaperSize = 390, result_.dm.dmYResolution = 720;
  Answer();
  EXPECT_EQ(+a.xbMargin, 38);
}

}  // namespace
