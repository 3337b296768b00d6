// SPDX-License-Identifier: Apache-2.0
// The merge of a caller's settings record into the defaults: which records are taken or
// refused, the rules of the public fields and the private part, and untrusted bytes.
#include "settings/settings_merge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace {

// A caller's record in an allocation of exactly its claimed size, so that the sanitizer
// sees any read past it: the driver's defaults cut to the sizes asked for.
struct Caller {
  Caller(WORD publicSize, WORD privateSize) : size(publicSize + privateSize) {
    bytes.reset(new BYTE[size]());
    const SettingsRecord defaults = test::FixedDefaults();
    std::memcpy(bytes.get(), &defaults.dm, publicSize);
    std::memcpy(bytes.get() + publicSize, &defaults.priv, privateSize < 284 ? privateSize : 284);
    dm()->dmSize = publicSize;
    dm()->dmDriverExtra = privateSize;
  }
  DEVMODEW* dm() { return reinterpret_cast<DEVMODEW*>(bytes.get()); }
  PrivateSettings* priv() { return reinterpret_cast<PrivateSettings*>(bytes.get() + dm()->dmSize); }
  std::unique_ptr<BYTE[]> bytes;
  DWORD size;
};

class SettingsMerge : public HostTest {
 protected:
  // 0: 24 mm tape, 1: special tape, 2: a die-cut label of kind 1.
  SettingsMerge() : context_({test::Tape(387, 240, 128), test::SpecialTape(390, 120, 64),
                  test::Label(400, 240, 128, 282, 247, 400, 350)}) {}
  // Merges into fresh defaults (dmFields replaced unless kept); the caller's bytes must
  // come back as they went in.
  static constexpr DWORD kKeepFields = 0xFFFFFFFF;
  DWORD Merge(Caller& caller, DWORD fields = kKeepFields) {
    if (fields != kKeepFields) caller.dm()->dmFields = fields;
    S() = test::FixedDefaults();
    const std::vector<BYTE> before(caller.bytes.get(), caller.bytes.get() + caller.size);
    const DWORD merged =
        MergeSettings(&S(), caller.dm(), caller.size, printer_, &context_->modelData, nullptr, 0, 387);
    EXPECT_EQ(std::memcmp(before.data(), caller.bytes.get(), caller.size), 0) << "caller written";
    return merged;
  }
  SettingsRecord& S() { return context_.settings(); }
  bool HoldsDefaults() {
    const SettingsRecord defaults = test::FixedDefaults();
    return std::memcmp(&defaults, &S(), sizeof(defaults)) == 0;
  }

  test::TestContext context_;
  HANDLE printer_ = nullptr;
};

TEST_F(SettingsMerge, RecordsOfEveryKnownSizeAreMergedWithOrWithoutAPrivatePart) {
  // 1 to 5000 copies are kept, others make 1; an unknown orientation makes landscape; a length,
  // width and form name without a paper size are taken as is; the defaults hold every field bit.
  const DWORD fields = DM_COPIES | DM_ORIENTATION | DM_PAPERLENGTH | DM_PAPERWIDTH | DM_FORMNAME | DM_COLLATE;
  for (auto [publicSize, copies, kept, asked, taken] : {std::tuple<WORD, SHORT, SHORT, SHORT, SHORT>{
           188, 5001, 1, 3, 2}, {212, 5000, 5000, 1, 1}, {220, 0, 1, 3, 2}}) {
    for (WORD privateSize : {0, 284, 300}) {
      Caller caller(publicSize, privateSize);
      caller.dm()->dmCopies = copies, caller.dm()->dmOrientation = asked;
      caller.dm()->dmPaperLength = 777, caller.dm()->dmPaperWidth = 181;
      std::memcpy(caller.dm()->dmFormName, u"Tag", sizeof(u"Tag"));
      if (privateSize) caller.priv()->privMirror = 1;
      ASSERT_EQ(Merge(caller, fields), 1u) << publicSize << "+" << privateSize;
      EXPECT_EQ(std::tuple(+S().dm.dmCopies, +S().dm.dmOrientation, +S().priv.privMirror, +S().dm.dmPaperLength,
                           +S().dm.dmPaperWidth, std::u16string(S().dm.dmFormName), +S().dm.dmFields),
                std::tuple(kept, taken, privateSize ? 1 : 0, 777, 181, u"Tag", kSettingsDefaultFields));
    }
  }
}

TEST_F(SettingsMerge, RefusedRecordsLeaveTheDefaultsUntouched) {
  Caller otherSection(220, 284), unknownSize(200, 0);
  otherSection.priv()->privMediaBase = 1;
  unknownSize.dm()->dmSpecVersion = 0;
  for (Caller* caller : {&otherSection, &unknownSize}) {
    EXPECT_EQ(Merge(*caller, DM_COPIES), 0u);
    EXPECT_TRUE(HoldsDefaults());
  }
  EXPECT_EQ(MergeSettings(&S(), nullptr, 0, printer_, &context_->modelData, nullptr, 0, 387), 1u) << "no record";
}

TEST_F(SettingsMerge, ForeignPrivatePartsAreReplacedAndUnsignedOnesActOnlyThroughTheBlock) {
  host::SetLocale(u"1", u"1");
  Caller foreign(220, 284);
  std::memset(foreign.priv(), 0x77, sizeof(PrivateSettings));
  foreign.priv()->xbSize = 28;
  ASSERT_EQ(Merge(foreign), 1u);
  EXPECT_EQ(std::pair(+S().priv.xbSize, +S().priv.xbReport), std::pair(28, 0x3F)) << "the block does not count";
  EXPECT_EQ(S().priv.privMirror + S().priv.privLocaleDone + S().priv.privInchUnits, 2);

  Caller unsigned_(220, 284);
  PrivateSettings* u = unsigned_.priv();
  u->privSignature = 0, u->privMirror = 1, u->privLocaleDone = 1, unsigned_.dm()->dmYResolution = 720;
  u->xbRequest = XB_MARGIN_DOTS | XB_PAPER_SIZE, u->xbMargin = 30, u->xbPaperSize = 390;
  ASSERT_EQ(Merge(unsigned_, DM_PAPERSIZE | DM_PAPERLENGTH), 1u);  // its feed resolution not asked for
  EXPECT_EQ(S().priv.privMirror + S().priv.privLocaleDone + S().priv.privInchUnits, 0);
  EXPECT_EQ(std::tuple(+S().priv.privMargin, +S().dm.dmPaperSize, +S().priv.xbPaperSize), std::tuple(30, 390, 390));
}

TEST_F(SettingsMerge, ACallersMediaIdOutsideTheTableTakesTheMarginOfTheMediumLookedUp) {
  // A kind-1 caller's id at the section's end or past it: the lookup finds the special tape
  // 387 (least margin 4 mm, 57 dots), first as the fallback to record 0 among kind-1 media,
  // then second among plain media, which the caller's own media type asks for.
  const MediaListEntry special = test::SpecialTape(387, 120, 64), plain = test::Tape(262, 240, 128);
  for (WORD request : {0, XB_MEDIA_TYPE}) {
    context_.SetMedia(request ? std::vector{plain, special} : std::vector{special, plain});
    for (WORD id : {2, 999}) {
      Caller caller(220, 284);
      caller.dm()->dmPaperSize = 387;
      caller.priv()->xbRequest = request, caller.priv()->privMediaKind = 1, caller.priv()->privMediaId = id;
      Merge(caller, 0);
      EXPECT_EQ(S().priv.privMargin, 57) << id << " " << request;
    }
  }
}

TEST_F(SettingsMerge, TheLocaleMeasuresInInchesOnlyForAValueOfOne) {
  // Blanks and a sign may lead the digits; a value of more than 8 characters is not read.
  for (auto [measure, inch] : {std::pair(u" \t+1", 1), {u"-1", 0}, {u"19", 0}, {u"00000001", 1}, {u"000000001", 0}}) {
    host::SetLocale(u"1", measure);
    Caller caller(220, 284);
    caller.priv()->privInchUnits = 1;  // the caller's own unit gives way
    Merge(caller);
    EXPECT_EQ(std::pair(+S().priv.privInchUnits, +S().priv.privLocaleDone), std::pair(inch, 1))
        << host::Utf8(measure);
  }
}

TEST_F(SettingsMerge, ResolutionRulesDependOnTheAllowanceAndSmallCharacters) {
  // Kind-1 media: the caller's print quality field alone asks for 720.
  struct Case { DWORD fields; SHORT quality, y; DWORD allowed; BYTE smallChar, kind;
                SHORT wantQuality, wantY; };
  const DWORD both = DM_PRINTQUALITY | DM_YRESOLUTION;
  for (const Case& c :
       {Case{DM_YRESOLUTION, 360, 720, 0, 0, 0, 360, 360},
        Case{DM_YRESOLUTION, 360, 720, 1, 0, 0, 360, 720}, Case{both, 360, 720, 1, 1, 0, 720, 720},
        Case{both, 720, 720, 0, 1, 0, 360, 360}, Case{DM_PRINTQUALITY, 720, 720, 1, 1, 0, 360, 360},
        Case{both, 360, 720, 1, 1, 1, 720, 720}, Case{DM_YRESOLUTION, 360, 720, 1, 1, 1, 360, 720}}) {
    Caller caller(220, 284);
    caller.dm()->dmPrintQuality = c.quality;
    caller.dm()->dmYResolution = c.y;
    caller.priv()->privHighResAllowed = c.allowed, caller.priv()->privSmallChar = c.smallChar;
    caller.priv()->privMediaKind = c.kind;
    Merge(caller, c.fields);
    EXPECT_EQ(std::tuple(S().dm.dmPrintQuality, S().dm.dmYResolution), std::tuple(c.wantQuality, c.wantY))
        << c.fields << " " << c.y << " " << c.allowed;
  }
  // The printer's small-character value doubles the quality too, except on kind-1 media.
  printer_ = host::AddPrinter({});
  host::SetPrinterDataDword(printer_, u"SmallChar", 0x101);
  host::SetPrinterDataDword(printer_, u"UseMonitor", 0);
  Caller caller(220, 284);
  caller.dm()->dmYResolution = 720;
  Merge(caller, DM_YRESOLUTION);
  EXPECT_EQ(std::tuple(+S().dm.dmPrintQuality, +S().priv.privUseMonitor), std::tuple(720, 0));
  caller.priv()->privMediaKind = 1;  // merged into the record of 720 just made, on the kind-1 label
  caller.dm()->dmPaperSize = 400, caller.dm()->dmFields |= DM_PAPERSIZE;
  MergeSettings(&S(), caller.dm(), caller.size, printer_, &context_->modelData, nullptr, 0, 387);
  EXPECT_EQ(std::tuple(+S().dm.dmPrintQuality, +S().priv.xbPaperSize, +S().priv.privPlainMediaId), std::tuple(360, 400, 0));
}

TEST_F(SettingsMerge, BoundsHoldTheLengthsInDotsAndAMarginReportedInDotsToTheMedium) {
  // At 360 dpi the 24 mm tape takes 57 to 14173 dots, margins to 383; the special tape 758 to
  // 1417 (100 mm), from 0 with the option, margins to 694. Label lengths and mm margins stay.
  struct Case { SHORT paper; BYTE kind; WORD report; DWORD option, tenths, dots, keptDots, keptXb; WORD margin; };
  for (const Case& c :
       {Case{387, 0, 0x3F, 0, 1000, 10, 57, 57, 2000}, Case{387, 0, 0x7F, 0, 1000, 20000, 14173, 14173, 383},
        Case{390, 0, 0x7F, 0, 1000, 10, 758, 758, 694}, Case{400, 1, 0x3F, 0, 1000, 20000, 20000, 20000, 2000},
        Case{390, 0, 0x3F, 1, 5000, 0, 1417, 0, 2000}}) {
    S() = test::FixedDefaults();
    S().dm.dmPaperSize = c.paper;
    PrivateSettings& p = S().priv;
    p.privMediaKind = c.kind, p.xbReport = c.report, p.xbMargin = 2000, p.privOpt40000 = c.option;
    p.privLength = c.tenths, p.privLengthDots = c.dots, p.xbLength = c.dots;
    BoundLengthAndMargin(nullptr, &S(), &context_->modelData, nullptr, 0, 387);
    EXPECT_EQ(std::tuple(+S().priv.privLengthDots, +S().priv.xbLength, +S().priv.xbMargin),
              std::tuple(c.keptDots, c.keptXb, c.margin)) << c.paper << " " << c.dots;
  }
}

TEST_F(SettingsMerge, MarginIsScaledFromTheCallersResolutionOrBecomesTheMediumsMinimum) {
  struct Case { DWORD fields; SHORT y; WORD margin, mediaId; SHORT paperSize; WORD want; };
  for (const Case& c : {Case{0, 360, 200, 0, 387, 14}, Case{DM_YRESOLUTION, 360, 5, 1, 390, 57},
        Case{DM_YRESOLUTION, 720, 100, 0, 387, 50}, Case{DM_YRESOLUTION, 360, 5, 0, 387, 14},
        Case{DM_YRESOLUTION, 0, 200, 0, 387, 14}}) {
    Caller caller(220, 284);
    caller.dm()->dmYResolution = c.y, caller.dm()->dmPaperSize = c.paperSize;
    caller.priv()->privMargin = c.margin, caller.priv()->privMediaId = c.mediaId, caller.priv()->privHighResAllowed = 0;
    Merge(caller, c.fields);
    EXPECT_EQ(std::pair(+S().priv.privMargin, +S().priv.xbMargin), std::pair(+c.want, +c.want))
        << c.margin << " at " << c.y << ", media " << c.mediaId;
  }
}

}  // namespace
