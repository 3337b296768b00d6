// SPDX-License-Identifier: Apache-2.0
// The exchange block: an application's requests applied to the scratch record, and the
// answer block built into the merged settings.
#include "settings/exchange_block.h"

#include <gtest/gtest.h>

#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

class ExchangeBlock : public HostTest {
 protected:
  // 0: 24 mm tape, 1: two 24 mm labels across, 2: a plain die-cut label.
  ExchangeBlock()
      : context_({test::Tape(262, 240, 128), test::Tape(282, 480, 256, 1),
                  test::Label(300, 240, 128, 620, 585, 879, 829, 0)}) {}
  // A fresh scratch record on the 24 mm tape asking for request.
  void Ask(WORD request, WORD margin = 0, SHORT resolution = 360) {
    scratch_ = test::FixedDefaults();
    scratch_.dm.dmPaperSize = 262, scratch_.dm.dmYResolution = resolution;
    scratch_.priv.xbRequest = request, scratch_.priv.xbMargin = margin;
  }
  void Apply(const std::vector<MediaDefinition>& definitions = {}) {
    ApplyExchangeRequest(nullptr, &scratch_, &context_->modelData, definitions.data(),
                         static_cast<DWORD>(definitions.size()), 262);
  }
  void Answer() {
    BuildExchangeAnswer(nullptr, &scratch_, &result_, &context_->modelData, nullptr, 0, 262);
  }

  test::TestContext context_;
  SettingsRecord scratch_ = test::FixedDefaults();
  SettingsRecord result_ = test::FixedDefaults();
};

TEST_F(ExchangeBlock, RequestedBaseCodesMoveByTheOffsetOfTheWidthMultiple) {
  struct Case { WORD paperSize, multiple; SHORT code; BYTE privMultiple; };
  for (const Case& c : {Case{258, 3, 284, 2}, Case{300, 2, 300, 1}, Case{258, 5, 258, 0},
                        Case{257, 4, 289, 3}, Case{263, 2, 263, 1}, Case{256, 2, 256, 1},
                        Case{262, 2, 282, 1}}) {
    Ask(XB_PAPER_SIZE | XB_WIDTH_MULTIPLE);
    scratch_.priv.xbPaperSize = c.paperSize, scratch_.priv.xbWidthMultiple = c.multiple;
    Apply();
    EXPECT_EQ(std::tuple(scratch_.dm.dmPaperSize, scratch_.priv.xbPaperSize, +scratch_.priv.privWidthMultiple),
              std::tuple(c.code, c.paperSize, +c.privMultiple)) << c.paperSize << " x " << c.multiple;
  }
  EXPECT_EQ(scratch_.priv.privMediaId, 1) << "the media of the settled code is selected";
  scratch_.priv.xbSize = 28;  // a block that does not count changes nothing
  scratch_.priv.xbPaperSize = 300;
  Apply();
  EXPECT_EQ(scratch_.dm.dmPaperSize, 282);
  // Unrequested, the multiple in force is reported, and its offset taken from the code (a
  // custom size's medium's, definition k's for code 317 + k, but only for the first 20 and
  // those given: else the block's own stays); beyond 3 it is a single width, no offset.
  std::vector<MediaDefinition> definitions(21, {{}, 0, 262, 6200, 300});
  definitions[1].defPaperSize = 260;
  using Unasked = std::tuple<SHORT, BYTE, int, int>;  // code, multiple; reported: both
  for (auto [code, multiple, reported, base] :
       {Unasked{262, 2, 3, 236}, Unasked{262, 4, 1, 262}, Unasked{256, 2, 3, 236}, Unasked{555, 0, 1, 555},
        Unasked{317, 1, 2, 242}, Unasked{318, 1, 2, 240}, Unasked{337, 1, 2, 0}, Unasked{338, 1, 2, 318}}) {
    Ask(0);
    scratch_.dm.dmPaperSize = code, scratch_.priv.privWidthMultiple = multiple;
    scratch_.priv.privMediaId = scratch_.priv.privPlainMediaId = 2;
    scratch_.priv.xbPaperSize = scratch_.priv.xbWidthMultiple = 0;
    Apply(definitions);
    EXPECT_EQ(std::tuple(+scratch_.priv.xbWidthMultiple, +scratch_.priv.xbPaperSize,
                         +scratch_.priv.privMediaId, +scratch_.priv.privPlainMediaId),
              std::tuple(reported, base, 0, 0)) << code;
  }
  scratch_.priv.privMediaKind = 1, scratch_.priv.privMediaId = 2;  // kind 1 keeps its id
  Apply();
  EXPECT_EQ(+scratch_.priv.privMediaId, 2);
}

TEST_F(ExchangeBlock, OptionBytesOfOneAreTheBitsAndRequestedBitsSetTheBytes) {
  PrivateSettings& p = scratch_.priv;
  const DWORD masks[] = {XBO_AUTO_CUT | XBO_HALF_CUT | XBO_OPT800 | XBO_RETAIN_LINES,
                         XBO_MIRROR | XBO_CHAIN_PRINT | XBO_RETAIN};
  for (int i : {0, 1}) {
    // A byte of 1 where the mask has its bit, of 2 elsewhere: only 1 counts. Requested, the
    // other mask's bits make every byte 1 or 0, which read back as that mask.
    Ask(0);
    auto byte = [&](DWORD bit) { return static_cast<BYTE>(masks[i] & bit ? 1 : 2); };
    p.privAutoCut = byte(XBO_AUTO_CUT), p.privMirror = byte(XBO_MIRROR);
    p.privHalfCut = byte(XBO_HALF_CUT), p.privChainPrint = byte(XBO_CHAIN_PRINT);
    p.privOpt800 = byte(XBO_OPT800), p.privOpt20000 = byte(XBO_RETAIN);
    p.privOpt40000 = byte(XBO_RETAIN_LINES);
    Apply();
    EXPECT_EQ(DWORD{p.xbOptions}, masks[i]);
    p.xbOptions = masks[1 - i];
    for (WORD request : {XB_OPTIONS, 0}) p.xbRequest = request, Apply();
    EXPECT_EQ(DWORD{p.xbOptions}, masks[1 - i]);
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
  Ask(XB_ECHO);
  scratch_.dm.dmPaperSize = 282;
  // Not asked for, the values in force are reported: the media type as 0, the paper size
  // as the base code of the double tape, the margin in its unit (dots, then millimetres),
  // a multiple beyond 3 as a single width.
  PrivateSettings& r = result_.priv;
  r.xbMediaType = 7, r.privWidthMultiple = 2, r.privLengthDots = 1234, r.xbOptions = 0, r.privMargin = 77;
  Apply();
  Answer();
  EXPECT_EQ(std::tuple(+a.xbRequest, +a.xbReport, +a.xbPaperSize, DWORD{a.xbOptions},
                       +a.xbMediaType, +a.xbWidthMultiple, DWORD{a.xbLength}, +a.xbMargin),
            std::tuple(XB_ECHO, 0x6F, 262, 0x201u, 0, 3, 1234u, 77));
  scratch_.priv.privMarginInDots = 0, r.privMargin = 114, r.privWidthMultiple = 4;
  Answer();
  EXPECT_EQ(std::tuple(+a.xbReport, +a.xbMargin, +a.xbWidthMultiple), std::tuple(0x3F, 8, 1));

  const WORD asked = XB_PAPER_SIZE | XB_WIDTH_MULTIPLE | XB_LENGTH | XB_MEDIA_TYPE | XB_OPTIONS;
  Ask(asked);
  scratch_.dm.dmPaperSize = 282;  // a double tape, but a single width asked for
  PrivateSettings& s = scratch_.priv;
  s.xbPaperSize = 999, s.xbMediaType = 7, s.xbWidthMultiple = 1, s.xbOptions = XBO_MIRROR;
  r.privWidthMultiple = 2, r.privMediaKind = 1, r.privLengthDots = 900;
  Answer();
  EXPECT_EQ(std::tuple(+a.xbRequest, +a.xbPaperSize, +a.xbMediaType, +a.xbWidthMultiple,
                       a.privWidthMultiple + a.privMediaKind + a.privAutoCut + a.privHalfCut,
                       +a.privMirror, DWORD{a.xbOptions}, DWORD{a.xbLength}),
            std::tuple(asked, 999, 7, 1, 0, 1, DWORD{XBO_MIRROR}, 900u));
  s.xbWidthMultiple = 2;  // the double tape's own multiple, asked for
  Answer();
  EXPECT_EQ(+a.privWidthMultiple, 1);
  // A die-cut label's own length is not replaced by the requested one.
  scratch_.dm.dmPaperSize = 300, result_.priv.xbLength = 777;
  Answer();
  EXPECT_EQ(DWORD{a.xbLength}, 777u);
  // A caller of kind 1 not asking for a media type is answered from media of its kind.
  Ask(0);
  scratch_.dm.dmPaperSize = 300, scratch_.priv.privMediaKind = 1;
  Answer();
  EXPECT_EQ(+a.xbPaperSize, 262);
}

}  // namespace
