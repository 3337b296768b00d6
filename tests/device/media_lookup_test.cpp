// The media lookup's fallback chain, the custom-size match and the printable area.
#include <gtest/gtest.h>

#include <vector>

#include "device/media_lookup.h"
#include "settings/exchange_block.h"
#include "tests/support/host_test.h"
#include "tests/support/media_file_writer.h"
#include "tests/support/test_context.h"

namespace {

using test::Label;
using test::Medium;
using test::Tape;

constexpr WORD kNoFallback = 999;

// A plain (kind 0) die-cut label.
Medium PlainLabel(WORD paperSize, SHORT width, SHORT length) {
  return Label(paperSize, width, 128, length, length - 35, length * 360 / 254,
               (length - 35) * 360 / 254, 0);
}

class MediaLookup : public HostTest {
 protected:
  // The lookup on the context's settings; m and d as written (-7 when left alone).
  void Find(WORD fallback = kNoFallback) {
    m_ = -7;
    d_ = -7;
    FindMediaIndex(printer_, &context_.settings(), &context_->modelData, &m_, &d_,
                   definitions_.empty() ? nullptr : definitions_.data(),
                   static_cast<DWORD>(definitions_.size()), fallback);
  }
  void Request(SHORT paperSize) { context_.settings().dm.dmPaperSize = paperSize; }
  void CustomSize(SHORT width, SHORT length, DWORD fields = DM_PAPERWIDTH | DM_PAPERLENGTH) {
    DEVMODEW& dm = context_.settings().dm;
    dm.dmPaperSize = DMPAPER_USER;
    dm.dmPaperWidth = width;
    dm.dmPaperLength = length;
    dm.dmFields = (dm.dmFields & ~static_cast<DWORD>(DM_PAPERWIDTH | DM_PAPERLENGTH)) | fields;
  }
  BOOL Match(LONG* m) {
    return MatchCustomSize(&context_.settings(), &context_->modelData, m,
                           definitions_.empty() ? nullptr : definitions_.data(),
                           static_cast<DWORD>(definitions_.size()));
  }

  HANDLE printer_ = nullptr;
  test::TestContext context_;
  std::vector<MediaDefinition> definitions_;
  LONG m_ = -7;
  LONG d_ = -7;
};

TEST_F(MediaLookup, ACodeMatchesOnlyARecordOfTheJobsKind) {
  // Record 1 carries code 300 but is of kind 1 (kind code 5 on model '0').
  context_.SetMedia({Tape(262, 240, 128), Label(300, 240, 128, 282, 247, 400, 350),
                     Tape(387, 120, 64), PlainLabel(301, 240, 620)});
  Request(301);
  Find();
  EXPECT_EQ(m_, 3);
  EXPECT_EQ(d_, -1);

  Request(300);
  Find(262);
  EXPECT_EQ(m_, 0) << "kind mismatch falls back to the fallback code";
  Find();
  EXPECT_EQ(m_, 2) << "without the fallback code, 387";

  context_.priv().privMediaKind = 1;
  Find();
  EXPECT_EQ(m_, 1);
  // An application naming its own media type looks among kind 0 only.
  context_.priv().xbRequest = XB_MEDIA_TYPE;
  Find();
  EXPECT_EQ(m_, 2);
  context_.priv().xbSize = 28;
  Find();
  EXPECT_EQ(m_, 1) << "a block that does not count asks nothing";
}

TEST_F(MediaLookup, WithNothingToMatchTheLastResortIsRecordZeroOfTheBase) {
  context_.SetMedia({Tape(262, 240, 128), Tape(259, 120, 64), Tape(260, 180, 96)});
  Request(555);
  Find();
  EXPECT_EQ(m_, 0);
  EXPECT_EQ(d_, -1);

  context_.priv().privMediaBase = 1;
  Request(260);
  Find();
  EXPECT_EQ(m_, 1) << "counted from the base";
  Request(262);
  Find();
  EXPECT_EQ(m_, 0) << "records before the base are not looked at";

  // A base at or past the table's end finds nothing and reads nothing outside it.
  for (DWORD base : {3u, 4u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    context_.priv().privMediaBase = base;
    Find(262);
    EXPECT_EQ(m_, 0);
    PrintableArea area;
    EXPECT_FALSE(ComputePrintableArea(context_.get(), m_, d_, &area)) << base;
  }
}

TEST_F(MediaLookup, WithoutATableNothingIsWritten) {
  context_->modelData.mediaTable = nullptr;
  Find();
  EXPECT_EQ(m_, -7);
  EXPECT_EQ(d_, -7);
  // Absent outputs are allowed.
  context_.SetMedia({Tape(262, 240, 128)});
  FindMediaIndex(nullptr, &context_.settings(), &context_->modelData, nullptr, nullptr, nullptr,
                 0, 262);
}

TEST_F(MediaLookup, ADefinitionCodeSelectsTheDefinitionAndTheRecordOfItsBaseCode) {
  context_.SetMedia({Tape(262, 240, 128), Tape(259, 120, 64), Label(259, 120, 64, 282, 247, 400, 350)});
  definitions_ = {test::MakeDefinition({u"A", 0, 262, 6200, 300}),
                  test::MakeDefinition({u"B", 0, 0x20000 + 259, 5000, 250})};
  Request(318);
  Find();
  EXPECT_EQ(d_, 1);
  EXPECT_EQ(m_, 1) << "the low 16 bits of the base code, among records of the job's kind";

  context_.priv().privMediaKind = 1;
  Find();
  EXPECT_EQ(d_, 1);
  EXPECT_EQ(m_, 2);

  // A definition whose base tape is not there leaves no definition behind.
  definitions_[1].defPaperSize = 270;
  Find(262);
  EXPECT_EQ(d_, -1);
  Request(319);
  Find();
  EXPECT_EQ(d_, -1) << "beyond the definitions read";
}

TEST_F(MediaLookup, ACustomSizeMatchesALabelWithinItsTolerances) {
  context_.SetMedia({Tape(262, 240, 128), PlainLabel(300, 240, 1007), PlainLabel(301, 250, 993)});
  LONG m = -1;
  CustomSize(240, 1000);
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 1);
  CustomSize(250, 1000);
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 1) << "the first within tolerance: 250 against 240 differs by 10";
  CustomSize(251, 1000);
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 2);
  CustomSize(240, 1015);
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 0) << "no label within 7 tenths: the continuous tape of 240";

  // Without a width nothing matches, and m keeps its value.
  m = -5;
  CustomSize(240, 1000, DM_PAPERLENGTH);
  EXPECT_FALSE(Match(&m));
  EXPECT_EQ(m, -5);
  // Without a length only continuous tapes are considered.
  CustomSize(240, 1000, DM_PAPERWIDTH);
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 0);

  CustomSize(240, 1000);
  Find();
  EXPECT_EQ(m_, 1);
  EXPECT_EQ(d_, -1);
}

TEST_F(MediaLookup, ACustomSizeMatchesTheLabelOfADefinitionOfTheJobsKind) {
  // The definition's record is a label of kind 1: the record's own kind is not compared.
  context_.SetMedia({Tape(262, 240, 128), Label(259, 120, 64, 300, 265, 425, 375),
                     PlainLabel(258, 125, 300)});
  definitions_ = {test::MakeDefinition({u"other kind", 1, 258, 5000, 250}),
                  test::MakeDefinition({u"tag", 0, 259, 4996, 250})};
  LONG m = -1;
  CustomSize(125, 507);  // (4996 + 5) / 10 = 500, within 7
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 1);
  CustomSize(125, 508);
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 0) << "out of length tolerance: the best fit among continuous tapes";
}

TEST_F(MediaLookup, TheBestFitIsTheNarrowestContinuousTapeAtLeastAsWide) {
  context_.SetMedia({Tape(257, 60, 32), Tape(260, 180, 96), Tape(259, 120, 64),
                     Tape(262, 240, 128), PlainLabel(300, 160, 500)});
  LONG m = -1;
  CustomSize(150, 0, DM_PAPERWIDTH);
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 1) << "180 is the narrowest at least 150 wide; the label does not count";
  CustomSize(100, 0, DM_PAPERWIDTH);
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 2);

  // Wider than every tape: no result, and the lookup goes on down its chain.
  CustomSize(400, 0, DM_PAPERWIDTH);
  EXPECT_FALSE(Match(&m));
  Find(259);
  EXPECT_EQ(m_, 2);
  Find();
  EXPECT_EQ(m_, 0);
}

TEST_F(MediaLookup, AWidthMultipleCountsOnlyAsAnExactMultipleOfTheReference) {
  // Record 7 (64 dots) is the first reference; a single tape wider than it takes over.
  std::vector<Medium> media = {
      Tape(279, 400, 192, 1),  // 3 x 64: not 2 x the reference
      Tape(280, 420, 128, 1),  // 2 x 64
      Tape(257, 60, 32),  Tape(258, 90, 48), Tape(259, 120, 64), Tape(260, 180, 96),
      Tape(261, 200, 112), Tape(259, 120, 64),
      Tape(281, 410, 192, 1),  // 2 x 96 once 112 is the reference: no longer
      Tape(282, 430, 224, 1),  // 2 x 112
  };
  context_.SetMedia(media);
  LONG m = -1;
  CustomSize(300, 0, DM_PAPERWIDTH);
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 1);

  media[1].printWidthDots = 130;
  context_.SetMedia(media);
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 9);
}

TEST_F(MediaLookup, AShortSectionOrAReferenceOfNoDotsAdmitsNoMultipleUntilATapeSetsOne) {
  // Fewer than eight records: no record 7 is read, and the multiple before any single
  // tape has nothing to be a multiple of.
  context_.SetMedia({Tape(280, 420, 128, 1), Tape(259, 120, 64), Tape(281, 430, 128, 1)});
  LONG m = -1;
  CustomSize(300, 0, DM_PAPERWIDTH);
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 2);

  // The same with a section that starts further in.
  context_.priv().privMediaBase = 1;
  ASSERT_TRUE(Match(&m));
  EXPECT_EQ(m, 1);
  context_.priv().privMediaBase = 0;

  // A reference record of 0 printable dots divides nothing.
  std::vector<Medium> media(8, Tape(257, 60, 0));
  media.push_back(Tape(280, 420, 128, 1));
  context_.SetMedia(media);
  EXPECT_FALSE(Match(&m));
}

// ---- The printer's per-user default settings record ------------------------------------

class UserDefaultLookup : public MediaLookup {
 protected:
  void SetUp() override {
    MediaLookup::SetUp();
    printer_ = host::AddPrinter({});
    context_.SetMedia({Tape(262, 240, 128), Tape(259, 120, 64), Tape(387, 180, 96),
                       Label(259, 120, 64, 282, 247, 400, 350)});
    definitions_ = {test::MakeDefinition({u"A", 0, 262, 6200, 300}),
                    test::MakeDefinition({u"B", 0, 259, 5000, 250})};
    Request(555);
  }
  void TearDown() override {
    host::RemoveAllPrinters();
    // The media table lives in the context's heap; the per-user copies are global blocks.
    EXPECT_EQ(host::Live().globalBlocks, baseline_.globalBlocks);
    MediaLookup::TearDown();
  }
  // Stores a per-user record made from the fixed defaults, changed by the caller.
  template <typename Change>
  void StoreUser(Change change) {
    SettingsRecord user = test::FixedDefaults();
    change(user);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&user);
    host::SetUserDevmode(printer_, std::vector<uint8_t>(bytes, bytes + sizeof(user)));
  }
};

TEST_F(UserDefaultLookup, TheUsersPaperSizeComesBeforeTheFallbackCode) {
  Find(262);
  EXPECT_EQ(m_, 0) << "no per-user record: the fallback code";
  StoreUser([](SettingsRecord& user) { user.dm.dmPaperSize = 259; });
  Find(262);
  EXPECT_EQ(m_, 1);
  EXPECT_EQ(d_, -1);
  // The scan keeps the job's kind, not the user's.
  StoreUser([](SettingsRecord& user) {
    user.dm.dmPaperSize = 259;
    user.priv.privMediaKind = 1;
  });
  Find(262);
  EXPECT_EQ(m_, 1);
  context_.priv().privMediaKind = 1;
  Find(262);
  EXPECT_EQ(m_, 3);
}

TEST_F(UserDefaultLookup, TheUsersCustomSizeAndDefinitionCodesCount) {
  StoreUser([](SettingsRecord& user) {
    user.dm.dmPaperSize = DMPAPER_USER;
    user.dm.dmFields |= DM_PAPERWIDTH;
    user.dm.dmPaperWidth = 170;
  });
  Find(262);
  EXPECT_EQ(m_, 2);
  EXPECT_EQ(d_, -1);

  StoreUser([](SettingsRecord& user) { user.dm.dmPaperSize = 318; });
  Find(262);
  EXPECT_EQ(m_, 1);
  EXPECT_EQ(d_, 1);

  // A definition whose base tape is missing falls through to the fallback without it.
  definitions_[1].defPaperSize = 270;
  Find(262);
  EXPECT_EQ(m_, 0);
  EXPECT_EQ(d_, -1);
}

TEST_F(UserDefaultLookup, AnUntrustedUserRecordIsSkipped) {
  StoreUser([](SettingsRecord& user) {
    user.dm.dmPaperSize = 259;
    user.priv.privSignature = 0;
  });
  Find(262);
  EXPECT_EQ(m_, 0);
  StoreUser([](SettingsRecord& user) {
    user.dm.dmPaperSize = 259;
    user.priv.privMediaBase = 4;
  });
  Find(262);
  EXPECT_EQ(m_, 0);
}

TEST_F(UserDefaultLookup, AMatchFromTheUsersBaseIsHandedOutFromTheJobsBase) {
  StoreUser([](SettingsRecord& user) {
    user.dm.dmPaperSize = 387;
    user.priv.privMediaBase = 1;
  });
  Find(262);
  EXPECT_EQ(m_, 2) << "record 2 of the table, counted from the job's base 0";

  // A match before the job's base cannot be handed out; the lookup goes on.
  StoreUser([](SettingsRecord& user) { user.dm.dmPaperSize = 262; });
  context_.priv().privMediaBase = 1;
  Find(387);
  EXPECT_EQ(m_, 1);
  EXPECT_EQ(d_, -1);
}

class PrintableAreaTest : public MediaLookup {
 protected:
  PrintableArea Area(LONG m = 0, LONG d = -1) {
    PrintableArea area{};
    EXPECT_TRUE(ComputePrintableArea(context_.get(), m, d, &area));
    return area;
  }
  void Portrait() { context_.settings().dm.dmOrientation = DMORIENT_PORTRAIT; }
};

TEST_F(PrintableAreaTest, ALabelTakesItsLengthAndMarginsFromItsRecord) {
  Medium label = Label(300, 240, 128, 282, 247, 400, 350);
  label.widthDots = 150;
  label.printWidth = 90;
  context_.SetMedia({label});
  Portrait();
  PrintableArea area = Area();
  EXPECT_EQ(area.vertRes, 350u);
  EXPECT_EQ(area.physOffset.y, 25);
  EXPECT_EQ(area.physSize.cy, 400);
  EXPECT_EQ(static_cast<LONG>(area.vertSize), -24200);
  EXPECT_EQ(area.horzRes, 128u);
  EXPECT_EQ(area.physOffset.x, 11);
  EXPECT_EQ(area.physSize.cx, 150);
  EXPECT_EQ(static_cast<LONG>(area.horzSize), -9000);

  // Landscape puts x along the tape.
  context_.settings().dm.dmOrientation = DMORIENT_LANDSCAPE;
  PrintableArea turned = Area();
  EXPECT_EQ(turned.horzRes, area.vertRes);
  EXPECT_EQ(turned.vertRes, area.horzRes);
  EXPECT_EQ(turned.horzSize, area.vertSize);
  EXPECT_EQ(turned.vertSize, area.horzSize);
  EXPECT_EQ(turned.physOffset.x, area.physOffset.y);
  EXPECT_EQ(turned.physOffset.y, area.physOffset.x);
  EXPECT_EQ(turned.physSize.cx, area.physSize.cy);
  EXPECT_EQ(turned.physSize.cy, area.physSize.cx);
}

TEST_F(PrintableAreaTest, ContinuousTapeTakesItsLengthAndMarginFromTheSettings) {
  Portrait();
  context_.priv().privMargin = 57;
  context_.priv().privLengthDots = 1417;
  context_.priv().privLength = 1000;
  PrintableArea area = Area();
  EXPECT_EQ(area.vertRes, 1304u);
  EXPECT_EQ(area.physSize.cy, 1418);
  EXPECT_EQ(area.physOffset.y, 57);
  EXPECT_EQ(static_cast<LONG>(area.vertSize), -92000) << "1000 less 2 x 4 mm";

  // A length asked for in the exchange block counts unless within a dot of the settled one.
  PrivateSettings& priv = context_.priv();
  priv.xbRequest = XB_LENGTH;
  priv.xbLength = 2000;
  EXPECT_EQ(Area().vertRes, 1887u);
  priv.xbLength = 1418;
  EXPECT_EQ(Area().vertRes, 1304u);
  priv.xbLength = 100;
  EXPECT_EQ(Area().vertRes, 1304u) << "not longer than both margins";
  priv.xbLength = 2000;
  priv.xbSize = 28;
  EXPECT_EQ(Area().vertRes, 1304u);
}

TEST_F(PrintableAreaTest, ADefinitionOnContinuousTapeSetsLengthAndMargin) {
  Portrait();
  MediaDefinition block[MEDIA_DEFINITION_SLOTS];
  block[0] = test::MakeDefinition({u"A", 0, 262, 6200, 300});
  block[1] = test::MakeDefinition({u"B", 0, 262, 4000, 3000});
  context_->mediaDefinitions = block;
  context_->mediaDefinitionCount = 2;
  PrintableArea area = Area(0, 0);
  EXPECT_EQ(area.physOffset.y, 43) << "((360 x 300) / 254 + 5) / 10";
  EXPECT_EQ(static_cast<LONG>(area.vertSize), -56000) << "620 less 2 x 3 mm";
  // Margins longer than the label leave the length whole.
  EXPECT_EQ(static_cast<LONG>(Area(0, 1).vertSize), -40000);
  // An index past the definitions read is no definition.
  EXPECT_EQ(Area(0, 2).physOffset.y, context_.priv().privMargin);
  context_->mediaDefinitions = nullptr;
}

TEST_F(PrintableAreaTest, SmallCharactersAt720DoubleTheAcrossDotsButNotThePhysicalWidth) {
  Portrait();
  context_.settings().dm.dmYResolution = 720;
  PrintableArea plain = Area();
  context_.priv().privSmallChar = 1;
  PrintableArea doubled = Area();
  EXPECT_EQ(doubled.horzRes, 2 * plain.horzRes);
  EXPECT_EQ(doubled.physOffset.x, 2 * plain.physOffset.x);
  EXPECT_EQ(doubled.physSize.cx, plain.physSize.cx);
  EXPECT_EQ(doubled.vertRes, plain.vertRes);
  context_.settings().dm.dmYResolution = 360;
  EXPECT_EQ(Area().horzRes, plain.horzRes) << "only at 720";
}

TEST_F(PrintableAreaTest, UnusableRecordsAndResolutionsAreRefused) {
  context_.SetMedia({Label(300, 240, 128, 282, 247, 400, 350)});
  PrintableArea area;
  EXPECT_FALSE(ComputePrintableArea(context_.get(), -1, -1, &area));
  EXPECT_FALSE(ComputePrintableArea(context_.get(), 1, -1, &area)) << "the terminator";
  EXPECT_FALSE(ComputePrintableArea(context_.get(), 2, -1, &area));
  EXPECT_FALSE(ComputePrintableArea(nullptr, 0, -1, &area));
  EXPECT_FALSE(ComputePrintableArea(context_.get(), 0, -1, nullptr));

  DEVMODEW& dm = context_.settings().dm;
  for (SHORT bad : {0, -360}) {
    dm.dmPrintQuality = bad;
    EXPECT_FALSE(ComputePrintableArea(context_.get(), 0, -1, &area)) << "quality " << bad;
    dm.dmPrintQuality = 360;
    dm.dmYResolution = bad;
    EXPECT_FALSE(ComputePrintableArea(context_.get(), 0, -1, &area)) << "feed " << bad;
    dm.dmYResolution = 360;
    context_->scaledResolution = bad;
    EXPECT_FALSE(ComputePrintableArea(context_.get(), 0, -1, &area)) << "scaled " << bad;
    context_->scaledResolution = 360;
  }
  // A feed resolution that comes out at 0 is refused too.
  dm.dmPrintQuality = 32000;
  context_->scaledResolution = 1;
  EXPECT_FALSE(ComputePrintableArea(context_.get(), 0, -1, &area));
}

}  // namespace
