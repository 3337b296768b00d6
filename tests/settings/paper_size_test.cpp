// SPDX-License-Identifier: Apache-2.0
// The paper-size selection: custom sizes, table codes with the per-user fallback, media
// definitions, and the length limits of normal and special media.
#include "settings/paper_size.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

using test::Tape;

class PaperSize : public HostTest {
 protected:
  // 0: 12 mm tape, 1: 24 mm, 2: 18 mm, 3: a 62 mm plain die-cut label 24 mm wide,
  // 4: two 24 mm labels across (a multiple of record 1, once that is the reference).
  PaperSize() : context_({Tape(387, 120, 64), Tape(262, 240, 128), Tape(260, 180, 96),
                  test::Label(300, 240, 128, 620, 585, 879, 829, 0), Tape(282, 480, 256, 1)}) {}

  void Select(SHORT code, DWORD fields = DM_PAPERSIZE, SHORT width = 0, SHORT length = 0) {
    scratch_.dm.dmPaperSize = code, scratch_.dm.dmFields = fields;
    scratch_.dm.dmPaperWidth = width, scratch_.dm.dmPaperLength = length;
    SelectPaperSize(printer_, &result_, &scratch_, &context_->modelData, definitions_.data(),
                    static_cast<DWORD>(definitions_.size()), 387);
  }
  void Custom(SHORT width, SHORT length) {
    Select(DMPAPER_USER, DM_PAPERSIZE | DM_PAPERWIDTH | DM_PAPERLENGTH, width, length);
  }
  // The medium chosen, plain as all here (record 4 with its multiple), its width and the length.
  void ExpectChoice(WORD media, SHORT width, DWORD length) {
    EXPECT_EQ(std::tuple(scratch_.priv.privMediaId, +scratch_.priv.privWidthMultiple, result_.dm.dmPaperWidth,
                         +result_.priv.privLength, result_.dm.dmPaperLength, scratch_.priv.privPlainMediaId),
              std::tuple(media, media == 4 ? 1 : 0, width, length, static_cast<SHORT>(length), media));
  }

  test::TestContext context_;
  SettingsRecord scratch_ = test::FixedDefaults();
  SettingsRecord result_ = test::FixedDefaults();
  std::vector<MediaDefinition> definitions_;  // {name, kind, paper size, length in 1/100 mm}
  HANDLE printer_ = nullptr;
};

TEST_F(PaperSize, CustomWidthTakesTheTapeWithinToleranceElseTheNarrowestWiderElseTheWidest) {
  Custom(250, 1070);
  ExpectChoice(1, 240, 1070);
  EXPECT_EQ(result_.priv.privLengthDots, 1517u);  // 1516.5 in the rule's own steps: the half rounds up
  // Without record 7 the widest single tape so far is the reference: 256 dots are exactly
  // twice record 1's 128, so the double tape counts. 15 mm takes the 18 mm tape, not 24.
  for (auto [width, media, tape] : {std::tuple<SHORT, WORD, SHORT>{300, 4, 480}, {150, 2, 180}, {900, 4, 480}, {125, 0, 120}}) {
    Custom(width, 1000);
    ExpectChoice(media, tape, 1000);
  }
  Select(DMPAPER_USER, DM_PAPERSIZE | DM_PAPERWIDTH, 250, 20);  // no length asked: it stays
  ExpectChoice(1, 240, 1000);
  Select(DMPAPER_USER, DM_PAPERSIZE | DM_PAPERLENGTH, 250, 1000);  // no width asked: record 0
  ExpectChoice(0, 120, 1000);
  for (auto [width, length] : {std::pair<SHORT, SHORT>{900, 1000}, {0, 0}}) {
    scratch_.priv.privMediaKind = 255;  // a kind no tape has: record 0, never the section's end
    Custom(width, length);
    EXPECT_EQ(std::pair(+scratch_.priv.privMediaId, +scratch_.priv.privMediaKind), std::pair(0, 0)) << width;
  }
  context_.SetMedia({Tape(387, 120, 64), Tape(262, 240, 128), Tape(260, 180, 96), Tape(263, 240, 128)});
  Custom(900, 1000);  // none wide enough: the widest single tape, the first of two equals
  ExpectChoice(1, 240, 1000);
  context_.SetMedia({Tape(280, 420, 256, 1), Tape(262, 240, 128)});  // a multiple before any reference
  Custom(900, 1000);
  EXPECT_EQ(scratch_.priv.privMediaId, 0);
  context_.SetMedia({Tape(280, 420, 2, 1), Tape(257, 60, 1), Tape(281, 430, 2, 1)});  // a reference of one dot, once set
  Custom(300, 1000);
  EXPECT_EQ(scratch_.priv.privMediaId, 2);
  // Record 7's 64 dots are the first reference: of the multiples only record 1's 2 x 64 counts.
  context_.SetMedia({Tape(279, 400, 192, 1), Tape(280, 420, 128, 1), Tape(257, 60, 32), Tape(258, 90, 48), Tape(259, 120, 64),
                     Tape(260, 180, 96), Tape(261, 200, 112), Tape(259, 120, 64), Tape(281, 410, 192, 1), Tape(282, 430, 224, 1)});
  definitions_ = {{{}, 0, 279, 20000}};
  for (auto [width, length, media] : {std::tuple<SHORT, SHORT, WORD>{400, 1000, 1}, {420, 1000, 1}, {105, 1000, 4}, {400, 2000, 0}, {400, 0, 0}}) {
    Custom(width, length);
    EXPECT_EQ(scratch_.priv.privMediaId, media) << width << " " << length;
  }
}

TEST_F(PaperSize, LabelsAndDefinitionsMatchingTheSizeBringTheirOwnLengths) {
  // Strictly within 8 tenths of a label's length and 11 of its width: asked, then chosen.
  for (auto [width, length, media, tape, kept] : {std::tuple<SHORT, SHORT, WORD, SHORT, DWORD>{240, 628, 1, 240, 628},
        {251, 620, 4, 480, 620}, {240, 612, 1, 240, 612}, {240, 627, 3, 240, 620}}) {
    Custom(width, length);
    ExpectChoice(media, tape, kept);
  }
  EXPECT_EQ(std::pair(result_.priv.privLengthDots, +scratch_.priv.privFormIndex), std::pair(879u, 0));
  definitions_ = {{{}, 1, 300, 7004}};  // of another kind: not the label it names, but the tape
  Custom(240, 700);
  ExpectChoice(1, 240, 700);
  definitions_ = {{{}, 0, 262, 6230}, {{}, 0, 260, 7004}, {{}, 1, 262, 30000}};
  Custom(240, 626);  // a definition on the 24 mm tape wins over the label
  ExpectChoice(1, 240, 626);
  // A definition code (317 + k) takes the definition's tape and length (70.04 mm: 700 tenths).
  scratch_.priv.privMediaKind = 1;
  scratch_.priv.xbRequest = XB_MEDIA_TYPE;  // plain media asked for: a kind-1 caller keeps its kind
  Select(319);
  EXPECT_EQ(std::tuple(+result_.dm.dmPaperSize, +scratch_.priv.privFormIndex, +scratch_.priv.privMediaKind), std::tuple(319, 3, 1));
  ExpectChoice(1, 240, 3000);
  Select(318);
  ExpectChoice(2, 180, 700);
  definitions_.resize(1);  // a list of one counts too
  Select(317);
  ExpectChoice(1, 240, 623);
}

TEST_F(PaperSize, LengthsAreHeldWithinTheLimitsOfTheMedium) {
  for (auto [asked, kept] : {std::pair<SHORT, DWORD>{20, 40}, {20000, 10000}, {-5, 10000}}) {
    Custom(240, asked);
    ExpectChoice(1, 240, kept);
  }
  context_.SetMedia({Tape(387, 240, 128), test::SpecialTape(390, 120, 64)});
  for (auto [asked, kept] : {std::pair<SHORT, DWORD>{100, 535}, {5000, 1000}}) {
    Select(390, DM_PAPERSIZE | DM_PAPERLENGTH, 0, asked);
    ExpectChoice(1, 120, kept);
  }
  // The option keeps short labels on special media; a custom size needs the length asked
  // through the exchange block as well.
  scratch_.priv.privOpt40000 = 1;
  Select(390, DM_PAPERSIZE | DM_PAPERLENGTH, 0, 100);
  ExpectChoice(1, 120, 100);
  Custom(120, 100);
  ExpectChoice(1, 120, 535);
  scratch_.priv.xbRequest = XB_LENGTH;
  Custom(120, 100);
  ExpectChoice(1, 120, 100);
}

TEST_F(PaperSize, ExchangeLengthInDotsIsConvertedAtTheCallersResolution) {
  scratch_.priv.xbRequest = XB_LENGTH;
  // 999.77, 646.99 and 559.504 tenths round up, 317.5 not; unknown resolutions count as 360.
  for (auto [dots, y, tenths] : {std::tuple<DWORD, SHORT, DWORD>{1417, 360, 1000}, {1417, 720, 500}, {360, 0, 254},
        {917, -360, 647}, {450, 360, 317}, {793, 360, 560}}) {
    scratch_.priv.xbLength = dots;
    scratch_.dm.dmYResolution = y;
    Select(262);
    ExpectChoice(1, 240, tenths);
  }
}

TEST_F(PaperSize, FallbackToAnotherCodeTakesTheUsersDefaultWhenItCanBeTrusted) {
  result_.dm.dmPaperSize = 123;
  Select(555, DM_PAPERSIZE | DM_PAPERLENGTH, 0, 700);  // no per-user record: the code stays
  ExpectChoice(0, 120, 700);
  EXPECT_EQ(std::pair(+result_.dm.dmPaperSize, +scratch_.priv.privFormIndex), std::pair(123, 0));

  SettingsRecord user = test::FixedDefaults();
  user.dm.dmPaperSize = 260;
  user.priv.privMediaKind = 1;
  user.priv.privWidthMultiple = 1;
  printer_ = host::AddPrinter({});
  host::SetUserDevmode(printer_, test::BytesOf(user));
  scratch_.priv.privFormIndex = 3;  // a definition chosen before is dropped
  Select(555);
  // Its size, kind and multiple, and the looked-up position from the stored base.
  EXPECT_EQ(std::tuple(+result_.dm.dmPaperSize, +scratch_.priv.privMediaKind, +scratch_.priv.privPlainMediaId,
                       result_.dm.dmPaperWidth, result_.dm.dmPaperLength, +scratch_.priv.privFormIndex, +scratch_.priv.privWidthMultiple),
            std::tuple(260, 1, 2, user.dm.dmPaperWidth, user.dm.dmPaperLength, 0, 1));

  // It is taken whole or not at all: its paper size and kind with its media id, and only
  // when the id names a record of the section the job looks in. Else neither the lookup
  // nor the selection takes anything of it: the fallback code's record is applied, and
  // the code and the length (asked for by no field) stay.
  for (auto [base, id, taken] : {std::tuple<DWORD, WORD, bool>{0, 60000, false}, {2, 1, false}, {0, 1, true}}) {
    user.priv.privMediaBase = base;
    user.priv.privMediaId = id;
    host::SetUserDevmode(printer_, test::BytesOf(user));
    scratch_ = test::FixedDefaults();
    result_.dm.dmPaperSize = 123;
    Select(555);
    EXPECT_EQ(std::tuple(+result_.dm.dmPaperSize, +scratch_.priv.privMediaId,
                         +scratch_.priv.privMediaKind, +scratch_.priv.privMediaBase, +result_.dm.dmPaperLength),
              taken ? std::tuple(260, 1, 1, 0u, 1000) : std::tuple(123, 0, 0, 0u, 700)) << base << " " << id;
  }
}

}  // namespace
