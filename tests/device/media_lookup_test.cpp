// SPDX-License-Identifier: Apache-2.0
// The media lookup's fallback chain, the custom-size match and the printable area.
#include <cstring>
#include <vector>

#include "device/gdi_info.h"
#include "device/media_lookup.h"
#include "tests/support/media_file_writer.h"
#include "tests/support/test_context.h"

namespace {

using test::Label;
using test::Tape;

// A plain (kind 0) die-cut label of a length in tenths of a millimetre.
MediaListEntry PlainLabel(WORD paperSize, SHORT width, SHORT length) {
  return Label(paperSize, width, 128, length, length - 35, 400, 350, 0);
}

class MediaLookup : public test::ContextTest {
 protected:
  // The lookup's m for the context's settings (-7 when not written); d goes to d_.
  LONG Find(SHORT paperSize, WORD fallback = 999) {
    context_.settings().dm.dmPaperSize = paperSize;
    LONG m = -7;
    d_ = -7;
    FindMediaIndex(printer_, &context_.settings(), &context_->modelData, &m, &d_,
                   definitions_.data(), static_cast<DWORD>(definitions_.size()), fallback);
    return m;
  }
  // The custom-size match for a width and length (either 0 for absent); -1 for none.
  LONG Custom(SHORT width, SHORT length) {
    DEVMODEW& dm = context_.settings().dm;
    dm.dmFields = (width ? DM_PAPERWIDTH : 0) | (length ? DM_PAPERLENGTH : 0);
    dm.dmPaperWidth = width;
    dm.dmPaperLength = length;
    LONG m = -1;
    MatchCustomSize(&context_.settings(), &context_->modelData, &m, definitions_.data(),
                    static_cast<DWORD>(definitions_.size()));
    return m;
  }
  void StoreUser(SHORT paperSize, DWORD base = 0, DWORD signature = PRIV_SIGNATURE, SHORT width = 240) {
    SettingsRecord user = test::FixedDefaults();
    user.dm.dmPaperSize = paperSize, user.dm.dmPaperWidth = width;
    user.priv.privMediaBase = base, user.priv.privSignature = signature;
    host::SetUserDevmode(printer_, test::BytesOf(user));
  }

  std::vector<MediaDefinition> definitions_;
  LONG d_ = -7;
};

TEST_F(MediaLookup, FallsBackFromKindMismatchToDefinitionsUserDefaultFallbackAnd387) {
  // Record 1 carries code 300 but is of kind 1 (kind code 5 on model '0').
  context_.SetMedia({Tape(262, 240, 128), Label(300, 240, 128, 282, 247, 400, 350),
                     Tape(387, 180, 96), Tape(259, 120, 64)});
  definitions_ = {test::MakeDefinition({u"A", 0, 259, 6200, 300}),
                  test::MakeDefinition({u"B", 0, 0x20000 + 259, 5000, 250})};
  EXPECT_EQ(Find(262), 0) << "its own code, found at record 0";
  EXPECT_EQ(Find(300), 2) << "no fallback code: 387";
  EXPECT_EQ(Find(318), 3) << "the low 16 bits of definition 1's base code";
  EXPECT_EQ(d_, 1);
  EXPECT_EQ(Find(319, 262), 0) << "no definition 2";
  EXPECT_EQ(d_, -1);

  StoreUser(318);
  EXPECT_EQ((std::tuple{Find(300), d_}), std::tuple(3, 1)) << "the user's default: definition 1";
  StoreUser(DMPAPER_USER, 0, PRIV_SIGNATURE, 120);
  EXPECT_EQ((std::tuple{Find(300), d_}), std::tuple(3, -1)) << "the user's own size: the 12 mm tape";
  definitions_.push_back(test::MakeDefinition({u"C", 0, 999, 5000, 250}));  // 319, of no medium
  StoreUser(259);
  EXPECT_EQ((std::tuple{Find(319), d_}), std::tuple(3, -1)) << "the user's default forgets definition 2";
  StoreUser(387, 1);
  EXPECT_EQ(Find(300, 262), 0) << "a user record of another section of the table is skipped";
  StoreUser(259, 0, 0);
  EXPECT_EQ(Find(300, 262), 0) << "a user record without our signature is skipped";

  context_.priv().privMediaKind = 1;
  EXPECT_EQ(Find(300), 1);
  context_.priv().xbRequest = XB_MEDIA_TYPE;  // asks for kind 0
  EXPECT_EQ(Find(300), 2);

  context_.SetMedia({Tape(262, 240, 128)});
  EXPECT_EQ(Find(317), 0) << "nothing matches, not even definition 0's tape: record 0";
  context_.SetMedia({Tape(262, 240, 128), Tape(0xFFFF, 240, 128), Tape(300, 240, 128)});
  EXPECT_EQ(Find(300, 262), 0) << "a section ends at its terminator: the next one's codes are not its own";
  // A user's code that the table holds is taken as it is: no match by size, no definition.
  context_.SetMedia({Tape(256, 240, 128), Tape(259, 120, 64)});
  StoreUser(DMPAPER_USER, 0, PRIV_SIGNATURE, 120);
  EXPECT_EQ(Find(300), 0) << "the user's custom code, at record 0";
  context_.SetMedia({Tape(318, 240, 128), Tape(259, 120, 64)});
  StoreUser(318);
  EXPECT_EQ((std::tuple{Find(300), d_}), std::tuple(0, -1)) << "definition 1's code, at record 0";
  // A base past the table finds nothing and reads nothing outside it.
  context_.priv().privMediaBase = 0xFFFFFFFF;
  EXPECT_EQ(Find(262, 262), 0);
  context_->modelData.mediaTable = nullptr;
  EXPECT_EQ(Find(262), -7) << "no table: nothing written";
}

TEST_F(MediaLookup, ACustomSizeMatchesLabelsWithinToleranceElseTheNarrowestWiderTape) {
  context_.SetMedia({Tape(262, 240, 128), PlainLabel(0xFFFE, 240, 1007), PlainLabel(301, 250, 992),
                     Tape(260, 180, 96), Label(259, 120, 64, 300, 265, 400, 350)});
  definitions_ = {test::MakeDefinition({u"tag", 0, 259, 4995, 250})};
  EXPECT_EQ(Custom(250, 1000), 1) << "width 10 and length 7 apart";
  EXPECT_EQ(Custom(251, 1000), -1) << "11 too narrow, 8 too short, and no tape as wide";
  EXPECT_EQ(std::pair(Custom(125, 507), Custom(131, 507)), std::pair(4, 3)) << "a definition's label, any kind";
  EXPECT_EQ(Custom(125, 508), 3) << "else the narrowest continuous tape at least as wide";
  EXPECT_EQ(std::pair(Custom(200, 0), Custom(245, 0)), std::pair(0, 0)) << "as wide, or narrower within 11";
  EXPECT_EQ(Custom(0, 1000), -1) << "no width";
  EXPECT_EQ(Custom(300, 500), -1) << "wider than every tape";
  EXPECT_EQ(Find(DMPAPER_USER, 260), 3) << "no match: the lookup goes on, past code 0xFFFE";
  context_.priv().privMediaKind = 1;
  EXPECT_EQ(Custom(125, 507), -1) << "no definition of another kind";
  context_.priv().privMediaKind = 0;
  context_.priv().privMediaBase = 1;
  EXPECT_EQ(Custom(250, 1000), 0) << "a section's first record matches";
  context_.priv().privMediaBase = 4;
  EXPECT_EQ(Custom(125, 507), 0) << "and so does its first tape, a definition's";
}

TEST_F(MediaLookup, AWidthMultipleCountsOnlyAsAnExactMultipleOfTheReference) {
  // Record 7 (64 dots) is the first reference; a wider single tape takes over from it.
  context_.SetMedia({Tape(279, 400, 192, 1), Tape(280, 420, 128, 1), Tape(257, 60, 32),
                     Tape(258, 90, 48), Tape(259, 120, 64), Tape(260, 180, 96), Tape(261, 200, 112),
                     Tape(259, 120, 64), Tape(281, 410, 192, 1), Tape(282, 430, 224, 1)});
  EXPECT_EQ(Custom(400, 0), 1) << "record 0 is 400 wide, but 3 x 64 dots";
  context_.priv().privMediaBase = 3;
  EXPECT_EQ(Custom(300, 0), 6) << "a short section has no reference until a tape sets one";
  EXPECT_EQ((context_.priv().privMediaBase = 4, Custom(105, 0)), 0) << "of two tapes as narrow, the first";
  context_.SetMedia({Tape(280, 420, 2, 1), Tape(257, 60, 0), Tape(258, 90, 0)});
  context_.priv().privMediaBase = 0;
  EXPECT_EQ(Custom(300, 0), -1) << "a reference of no dots admits no multiple";
}

// The printable area of record 0 with definition d; all zero when refused.
std::vector<LONG> Area(const test::TestContext& context, LONG d = -1) {
  PrintableArea a{};
  if (!ComputePrintableArea(context.get(), 0, d, &a)) return {};
  return {LONG(a.horzSize), LONG(a.vertSize), LONG(a.horzRes), LONG(a.vertRes),
          a.physOffset.x, a.physOffset.y, a.physSize.cx, a.physSize.cy};
}

TEST_F(MediaLookup, APrintableAreaFollowsTheLabelOrTheSettingsAndDefinitionOnTape) {
  MediaListEntry label = Label(300, 240, 128, 282, 253, 400, 351);  // margins of 1.45 mm, 24.5 dots
  label.meWidthDots = 150;
  label.mePrintWidth = 90;
  context_.SetMedia({label});
  context_.priv().privSmallChar = 1;  // doubles nothing below 720 dpi
  // Sizes, resolutions, offsets and physical sizes: x along the tape in landscape.
  EXPECT_EQ(Area(context_), std::vector<LONG>({-26200, -9000, 351, 128, 25, 11, 400, 150}));
  context_.settings().dm.dmOrientation = DMORIENT_PORTRAIT;
  EXPECT_EQ(Area(context_), std::vector<LONG>({-9000, -26200, 128, 351, 11, 25, 150, 400}));

  // Continuous tape of one printable dot (the whole area is pinned by the GDIINFO test).
  context_.SetMedia({Tape(262, 240, 1)});
  // An exchange-block length counts 2 dots off the settled 1417 or more, above both margins.
  context_.priv().xbRequest = XB_LENGTH;
  for (auto [length, dots] : {std::pair{1418u, 1304}, {1416u, 1304}, {1415u, 1302}, {114u, 1304}, {1419u, 1306}}) {
    context_.priv().xbLength = length;
    EXPECT_EQ(Area(context_).at(3), dots) << length;
  }

  definitions_ = {test::MakeDefinition({u"A", 0, 262, 600, 349}), test::MakeDefinition({u"B", 0, 262, 4000, 2050})};
  context_->mediaDefinitions = definitions_.data();
  context_->mediaDefinitionCount = 2;
  EXPECT_EQ(Area(context_, 0)[5], 49) << "((360 x 349) / 254 + 5) / 10";
  EXPECT_EQ(Area(context_, 0)[1], 0) << "margins of 3 mm (3.49 rounded) fill 6 mm and come off";
  EXPECT_EQ(Area(context_, 1)[1], -40000) << "margins of 21 mm (20.5 rounded) stay on";
  EXPECT_EQ(Area(context_, 2)[5], 57) << "no definition 2";
  context_->mediaDefinitions = nullptr;

  context_.settings().dm.dmYResolution = 720;
  std::vector<LONG> small = Area(context_);
  EXPECT_EQ(std::vector<LONG>({small[2], small[4], small[6]}), std::vector<LONG>({2, 339, 340}))
      << "across dots and offset doubled, the physical width not";
  // Tape margins come off the length in whole millimetres, rounded at the half: 1800 dots
  // at 720 dpi are 63.5 mm, 2537 are 89.4997 mm, 20537 are 724.4997 mm.
  context_.priv().privLength = 40000, context_.priv().privLengthDots = 60000;
  for (auto [margin, size] : {std::pair{1800, -3872000}, {2537, -3822000}, {20537, -2552000}}) {
    context_.priv().privMargin = static_cast<WORD>(margin);
    EXPECT_EQ(Area(context_).at(1), size) << margin;
  }
}

TEST_F(MediaLookup, APrintableAreaRefusesUnusableRecordsAndResolutions) {
  PrintableArea area;
  EXPECT_FALSE(ComputePrintableArea(context_.get(), -1, -1, &area));
  EXPECT_FALSE(ComputePrintableArea(context_.get(), 2, -1, &area)) << "past the terminator";
  // Quality, feed and scaled resolution, and whether they leave an area; the last refused
  // ones give a feed resolution of 0. The engine is then told of no resolution at all. A
  // resolution of 1 is still one.
  for (std::vector<SHORT> r : {std::vector<SHORT>{0, 360, 360, 0}, {-360, 360, 360, 0}, {360, 0, 360, 0},
                               {360, -360, 360, 0}, {360, 360, 0, 0}, {32000, 360, 1, 0}, {720, 360, 1, 0},
                               {1, 360, 360, 1}, {360, 1, 360, 1}, {360, 360, 1, 1}}) {
    context_.settings().dm.dmPrintQuality = r[0], context_.settings().dm.dmYResolution = r[1];
    context_->scaledResolution = r[2];
    EXPECT_EQ(Area(context_).empty(), r[3] == 0) << r[0] << " " << r[1] << " " << r[2];
    GDIINFO info;
    std::memset(&info, 0xCC, sizeof(info));
    FillGdiInfo(context_.get(), sizeof(info), &info);
    EXPECT_EQ(r[3] ? 0u : info.ulHorzRes | info.ulVertRes, 0u) << r[0] << " " << r[1] << " " << r[2];
  }
}

TEST_F(MediaLookup, ATapeLengthAtOrBelowItsMarginsLeavesNoPrintableArea) {
  // A stored record's length of 0 (or any length inside the two feed margins) must not
  // come out as a wrapped resolution that the engine would accept.
  context_.priv().privMargin = 57;
  for (DWORD lengthDots : {0u, 1u, 113u}) {
    context_.priv().privLengthDots = lengthDots;
    EXPECT_TRUE(Area(context_).empty()) << lengthDots << " dots";
  }
  context_.priv().privLengthDots = 114;
  EXPECT_FALSE(Area(context_).empty()) << "exactly the two margins leaves one line";
  context_.SetMedia({Tape(262, 240, 0)});
  EXPECT_TRUE(Area(context_).empty()) << "a tape of no dots across";
}

}  // namespace
