// SPDX-License-Identifier: Apache-2.0
// The paper-size selection: custom sizes, table codes with the per-user fallback, media
// definitions, and the length limits of normal and special media.
#include "settings/paper_size.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "settings/exchange_block.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

using test::Tape;

class PaperSize : public HostTest {
 protected:
  // 0: 12 mm tape, 1: 24 mm, 2: 18 mm, 3: a 62 mm plain die-cut label 24 mm wide,
  // 4: two 24 mm labels across (a multiple of record 1, once that is the reference), 5: a
  // paper label (kind 1).
  PaperSize()
      : context_({Tape(387, 120, 64), Tape(262, 240, 128), Tape(260, 180, 96),
                  test::Label(300, 240, 128, 620, 585, 879, 829, 0), Tape(282, 480, 256, 1),
                  test::Label(301, 240, 128, 620, 585, 879, 829)}) {}

  void Select(SHORT code, DWORD fields = DM_PAPERSIZE, SHORT width = 0, SHORT length = 0) {
    scratch_.dm.dmPaperSize = code, scratch_.dm.dmFields = fields;
    scratch_.dm.dmPaperWidth = width, scratch_.dm.dmPaperLength = length;
    SelectPaperSize(printer_, &result_, &scratch_, &context_->modelData, definitions_.data(),
                    static_cast<DWORD>(definitions_.size()), 387);
  }
  void Custom(SHORT width, SHORT length) {
    Select(DMPAPER_USER, DM_PAPERSIZE | DM_PAPERWIDTH | DM_PAPERLENGTH, width, length);
  }
  // The medium chosen, its width, the length settled and the definition (1 + k) taken.
  void ExpectChoice(WORD media, SHORT width, DWORD length, BYTE form = 0) {
    EXPECT_EQ(std::tuple(scratch_.priv.privMediaId, result_.dm.dmPaperWidth, +result_.priv.privLength,
                         result_.dm.dmPaperLength, scratch_.priv.privFormIndex),
              std::tuple(media, width, length, static_cast<SHORT>(length), form));
  }

  test::TestContext context_;
  SettingsRecord scratch_ = test::FixedDefaults();
  SettingsRecord result_ = test::FixedDefaults();
  std::vector<MediaDefinition> definitions_;  // {name, kind, paper size, length in 1/100 mm}
  HANDLE printer_ = nullptr;
};

TEST_F(PaperSize, CustomWidthTakesTheTapeWithinToleranceElseTheNarrowestWiderElseTheWidest) {
  // Without record 7 the widest single tape so far is the reference: 256 dots are exactly
  // twice record 1's 128, so the double tape counts.
  using Case = std::tuple<SHORT, WORD, SHORT>;  // width asked, medium, its width
  for (auto [asked, media, width] : {Case{250, 1, 240}, Case{300, 4, 480}, Case{120, 0, 120},
                                     Case{900, 4, 480}, Case{150, 2, 180}}) {
    Custom(asked, 1000);
    ExpectChoice(media, width, 1000);
  }
  EXPECT_EQ(result_.priv.privLengthDots, 1417u);
  // Neither a label nor a double tape with no reference to be the double of competes; a
  // label at the first position matches, by its length or a definition's. Without a
  // width the first record is taken.
  context_.SetMedia({test::Label(300, 350, 175, 620, 585, 879, 829, 0), Tape(282, 320, 2, 1),
                     Tape(262, 400, 200)});
  Custom(300, 1000);
  ExpectChoice(2, 400, 1000);
  definitions_ = {{{}, 0, 300, 5000}};
  for (SHORT length : {620, 500}) {
    Custom(350, length);
    ExpectChoice(0, 350, 620);
  }
  Select(317);
  ExpectChoice(0, 350, 620, 1);
  Select(DMPAPER_USER, DM_PAPERSIZE | DM_PAPERLENGTH, 400, 1000);
  ExpectChoice(0, 350, 620);
  Select(DMPAPER_USER, DM_PAPERSIZE | DM_PAPERWIDTH, 400, 700);  // the length is not asked
  ExpectChoice(2, 400, 620);
  // Record 7 is the first reference: the double tapes before it count against its dots,
  // only when exactly twice as many; the first of equal width wins, the first widest too.
  const MediaListEntry narrow = Tape(387, 120, 64), doubled = Tape(282, 500, 256, 1);
  context_.SetMedia({narrow, doubled, Tape(283, 450, 384, 1), doubled, Tape(260, 600, 96),
                     narrow, narrow, Tape(262, 240, 128), Tape(388, 600, 64)});
  for (auto [asked, media, width] : {Case{400, 1, 500}, Case{500, 1, 500}, Case{900, 4, 600}}) {
    Custom(asked, 1000);
    ExpectChoice(media, width, 1000);
    EXPECT_EQ(scratch_.priv.privWidthMultiple, width == 500 ? 1 : 0);
  }
  // A reference of one dot admits a double tape of two; the widest starts at the first
  // record, a label wider than every tape.
  context_.SetMedia({test::Label(300, 350, 175, 620, 585, 879, 829, 0), Tape(387, 120, 1), Tape(282, 240, 2, 1)});
  for (auto [asked, media, width] : {Case{200, 2, 240}, Case{900, 0, 350}}) {
    Custom(asked, 1000);
    ExpectChoice(media, width, media ? 1000 : 620);
  }
  // The section's end is no medium, though a caller's kind may be its 0xFF: the first
  // record is, and it brings its kind and, being plain, its id as the plain one.
  scratch_.priv.privMediaKind = 0xFF, scratch_.priv.privPlainMediaId = 9;
  Custom(0, 0);
  EXPECT_EQ(std::tuple(+scratch_.priv.privMediaId, +scratch_.priv.privPlainMediaId,
                       +scratch_.priv.privMediaKind), std::tuple(0, 0, 0));
  context_.SetMedia({});  // nothing to select
  Custom(240, 1000);
  Select(262);
  EXPECT_EQ(scratch_.priv.privMediaId, 0);
}

TEST_F(PaperSize, LabelsAndDefinitionsMatchingTheSizeBringTheirOwnLengths) {
  // Strictly within 8 tenths of the label's length and 11 of its width.
  for (auto [width, length, media] : {std::tuple<SHORT, SHORT, WORD>{251, 620, 4}, {240, 627, 3},
                                      {250, 620, 3}, {240, 628, 1}, {240, 612, 1}}) {
    Custom(width, length);
    EXPECT_EQ(scratch_.priv.privMediaId, media) << width << " x " << length;
  }
  Custom(240, 626);
  ExpectChoice(3, 240, 620);
  EXPECT_EQ(result_.priv.privLengthDots, 879u);
  // A definition on the 24 mm tape wins over the label; those of another kind or length
  // on the label's code do not, nor one past the 23 slots.
  definitions_ = {{{}, 0, 262, 6230}, {{}, 0, 260, 6240}, {{}, 1, 262, 30000}, {{}, 1, 300, 6260},
                  {{}, 0, 300, 9000}};
  definitions_.resize(MEDIA_DEFINITION_SLOTS, definitions_.back());
  definitions_.push_back({{}, 0, 300, 6260});
  Custom(240, 626);
  ExpectChoice(1, 240, 626);
  // A definition code (317 + k) takes the definition's tape and length.
  Select(319);
  EXPECT_EQ(result_.dm.dmPaperSize, 319);
  ExpectChoice(1, 240, 3000, 3);
  Select(318);
  ExpectChoice(2, 180, 624, 2);
  // Kind 1: a label is no plain medium, and a definition looked up among plain media keeps it.
  scratch_.priv.privMediaKind = 1, scratch_.priv.privPlainMediaId = 9;
  Select(301);
  EXPECT_EQ(std::tuple(+scratch_.priv.privMediaId, +scratch_.priv.privPlainMediaId), std::tuple(5, 9));
  scratch_.priv.xbRequest = XB_MEDIA_TYPE, definitions_ = {{{}, 0, 262, 3000}};
  Select(317);
  EXPECT_EQ(std::tuple(+scratch_.priv.privMediaId, +scratch_.priv.privMediaKind), std::tuple(1, 1));
}

TEST_F(PaperSize, LengthsAreHeldWithinTheLimitsOfTheMedium) {
  for (auto [asked, kept, dots] :
       {std::tuple<SHORT, DWORD, DWORD>{20, 40, 57}, {20000, 10000, 14173}, {-5, 10000, 14173}}) {
    Custom(240, asked);
    ExpectChoice(1, 240, kept);
    EXPECT_EQ(result_.priv.privLengthDots, dots);
  }
  context_.SetMedia({Tape(387, 240, 128), test::SpecialTape(390, 120, 64)});
  for (auto [asked, kept] : {std::pair<SHORT, DWORD>{100, 535}, {5000, 1000}}) {
    Select(390, DM_PAPERSIZE | DM_PAPERLENGTH, 0, asked);
    ExpectChoice(1, 120, kept);
  }
  Select(390);  // no length asked: the one in force stays
  ExpectChoice(1, 120, 1000);
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
  // 999.77 tenths at 360 rounds up, 317.5 does not (only more than a half does), 559.504
  // and 646.99 do, 127 is exact; unknown resolutions count as 360 and are not divided by.
  using Case = std::tuple<DWORD, SHORT, DWORD>;  // dots, resolution, tenths
  for (auto [dots, y, tenths] : {Case{1417, 360, 1000}, Case{1417, 720, 500}, Case{1417, 0, 1000},
                                 Case{1417, -360, 1000}, Case{450, 360, 317}, Case{793, 360, 560},
                                 Case{917, 360, 647}, Case{180, 360, 127}}) {
    scratch_.priv.xbLength = dots, scratch_.dm.dmYResolution = y;
    Select(262);
    ExpectChoice(1, 240, tenths);
  }
}

TEST_F(PaperSize, FallbackToAnotherCodeTakesTheUsersDefaultWhenItCanBeTrusted) {
  result_.dm.dmPaperSize = 123;
  Select(555, DM_PAPERSIZE | DM_PAPERLENGTH, 0, 700);
  ExpectChoice(0, 120, 700);
  EXPECT_EQ(result_.dm.dmPaperSize, 123) << "no per-user record: the code stays";

  SettingsRecord user = test::FixedDefaults();
  user.dm.dmPaperSize = 260, user.dm.dmPaperWidth = 181, user.dm.dmPaperLength = 777;
  user.priv.privMediaKind = 1, user.priv.privWidthMultiple = 2;
  printer_ = host::AddPrinter({});
  host::SetUserDevmode(printer_, test::BytesOf(user));
  scratch_.priv.privFormIndex = 4;
  Select(555);
  // Its size and kind, the looked-up position from the stored base, and no definition.
  EXPECT_EQ(std::tuple(+result_.dm.dmPaperSize, result_.dm.dmPaperWidth, result_.dm.dmPaperLength,
                       +scratch_.priv.privMediaKind, +scratch_.priv.privWidthMultiple,
                       +scratch_.priv.privPlainMediaId, +scratch_.priv.privFormIndex),
            std::tuple(260, 181, 777, 1, 2, 2, 0));

  // It is taken whole or not at all: its paper size and kind with its media id, and only
  // when the id names a record of the section the job looks in. Else neither the lookup
  // nor the selection takes anything of it: the fallback code's record is applied and
  // the code stays.
  for (auto [base, id, taken] :
       {std::tuple<DWORD, WORD, bool>{0, 60000, false}, {2, 1, false}, {0, 1, true}}) {
    user.priv.privMediaBase = base, user.priv.privMediaId = id;
    host::SetUserDevmode(printer_, test::BytesOf(user));
    scratch_ = test::FixedDefaults();
    result_.dm.dmPaperSize = 123;
    Select(555);
    EXPECT_EQ(std::tuple(+result_.dm.dmPaperSize, +scratch_.priv.privMediaId, +scratch_.priv.privMediaKind,
                         +scratch_.priv.privMediaBase),
              taken ? std::tuple(260, 1, 1, 0u) : std::tuple(123, 0, 0, 0u)) << base << " " << id;
  }
}

}  // namespace
