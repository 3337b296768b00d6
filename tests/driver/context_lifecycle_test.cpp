// SPDX-License-Identifier: Apache-2.0
// The device context: creation on an installed printer, what the engine is given, the
// validity check, the carrying of an open document, and release leaving nothing behind.
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "device/printer_data.h"
#include "driver/context_lifecycle.h"
#include "driver/ddi.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/media_file_writer.h"

namespace {

// What DrvEnablePDEV handed the engine.
struct EngineRecords { GDIINFO gdiInfo; DEVINFO deviceInfo; };

using test::BytesOf;

// The driver enabled on an installation, its DDI entries called directly.
class DeviceContextTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    DRVENABLEDATA data{};
    ASSERT_TRUE(DrvEnableDriver(DDI_DRIVER_VERSION_NT4, sizeof(data), &data));
    baseline_ = host::Live();
  }
  void TearDown() override {
    ExpectNothingLeaked();
    installation_.reset();
    DrvDisableDriver();
    host::Reset();
  }
  // DrvEnablePDEV for the printer with an application's device mode (or none); the engine
  // records land in records when given.
  DeviceContext* Enable(const DEVMODEW* devmode = nullptr, EngineRecords* records = nullptr,
                        std::optional<HANDLE> on = std::nullopt) {
    EngineRecords local{};
    EngineRecords& out = records ? *records : local;
    HSURF patterns[3] = {static_cast<HSURF>(7), static_cast<HSURF>(7), static_cast<HSURF>(7)};
    std::u16string name = u"TQ-33";
    DHPDEV device = DrvEnablePDEV(const_cast<DEVMODEW*>(devmode), nullptr, 3, patterns,
                                  sizeof(GDIINFO), reinterpret_cast<ULONG*>(&out.gdiInfo),
                                  sizeof(DEVINFO), &out.deviceInfo, {}, name.data(), on.value_or(printer()));
    for (HSURF pattern : patterns) EXPECT_TRUE(!device || pattern == HSURF{}) << "patterns are zeroed";
    return ContextFromHandle(device);
  }
  void Disable(DeviceContext* context) { DrvDisablePDEV(HandleFromContext(context)); }

  // What a context made with an application's record (or none) tells the engine and holds;
  // made is false when DrvEnablePDEV refused it.
  struct Made {
    bool made = false;
    GDIINFO gdi{};
    SettingsRecord settings{};
    SettingsRecord defaults{};
  };
  Made Make(const SettingsRecord* record = nullptr) {
    Made made;
    EngineRecords records{};
    DeviceContext* context = Enable(record ? &record->dm : nullptr, &records);
    if (!context) return made;
    made = {true, records.gdiInfo, context->settings, context->defaultSettings};
    Disable(context);
    return made;
  }
  Made Make(const SettingsRecord& record) { return Make(&record); }
  // The driver's defaults for the printer, changed as an application changes them.
  SettingsRecord Record(const std::function<void(SettingsRecord&)>& edit) {
    SettingsRecord record = Make().defaults;
    edit(record);
    return record;
  }
};

// The page along the tape (the settings are landscape: x runs along it) and its margin.
void ExpectAlong(const GDIINFO& gdi, ULONG dots, LONG margin, LONG micrometres, const std::string& door) {
  EXPECT_EQ(std::tuple(gdi.ulHorzRes, gdi.ptlPhysOffset.x, static_cast<LONG>(gdi.ulHorzSize)),
            std::tuple(dots, margin, micrometres)) << door;
}

TEST_F(DeviceContextTest, EnableBuildsAValidContextWhoseDeviceInfoFollowsItsSettings) {
  EngineRecords records{};
  DeviceContext* context = Enable(nullptr, &records);
  ASSERT_NE(context, nullptr);
  EXPECT_TRUE(isValidDeviceContext(context) && context->sideRecord && context->mediaDefinitions);
  EXPECT_EQ(std::tuple(context->printer, context->scaledResolution), std::tuple(printer(), 360));
  // A gray ramp from black to white; no fonts, 8-bit dithering, one font slot (no free memory).
  EXPECT_EQ(records.deviceInfo.hpalDefault, context->palette);
  std::vector<ULONG> palette = host::PaletteEntries(context->palette);
  ASSERT_EQ(palette.size(), 256u);
  EXPECT_EQ((std::vector<ULONG>{palette[0], palette[128], palette[255], records.deviceInfo.cFonts,
                                records.deviceInfo.iDitherFormat, context->fontSlotCount}),
            (std::vector<ULONG>{0x000000, 0x808080, 0xFFFFFF, 0, BMF_8BPP, 1}));

  // Graphics capabilities follow privFlags bit 2000; the old palette is deleted first.
  DEVINFO info{};
  for (auto [flags, caps] : {std::pair<DWORD, ULONG>{0x3000, 0x11F}, {0x1000, 0x211F}}) {
    context->settings.priv.privFlags = flags;
    ASSERT_TRUE(FillDeviceInfo(context, sizeof(info), &info));
    EXPECT_EQ(info.flGraphicsCaps, caps);
  }
  // A short engine record receives only its own size; without a palette, nothing.
  std::memset(&info, 0xAB, sizeof(info));
  ASSERT_TRUE(FillDeviceInfo(context, 4, &info));
  EXPECT_EQ(std::tuple(info.flGraphicsCaps, info.cFonts), std::tuple(0x211Fu, 0xABABABABu));
  host::FailCall(host::Call::EngCreatePalette, 1);
  std::memset(&info, 0xAB, sizeof(info));
  EXPECT_FALSE(FillDeviceInfo(context, sizeof(info), &info));
  EXPECT_EQ(info.flGraphicsCaps, 0xABABABABu);
  Disable(context);
  // A font slot for each whole 330 KB of the printer's free memory.
  for (auto [kilobytes, slots] : {std::pair<DWORD, DWORD>{660, 2}, {337919, 1023}}) {
    host::SetPrinterDataDword(printer(), u"FreeMem", kilobytes);
    context = Enable();
    ASSERT_NE(context, nullptr);
    EXPECT_EQ(context->fontSlotCount, slots) << kilobytes;
    Disable(context);
  }
}

TEST_F(DeviceContextTest, SpoolerThatAnswersTheDriverProbeWronglyIsRefused) {
  host::PrinterSetup setup = installation_->Setup(u"probe succeeds");
  setup.driverProbeSucceeds = true;
  HANDLE misbehaving = host::AddPrinter(setup);
  EXPECT_EQ(Enable(nullptr, nullptr, misbehaving), nullptr);
  host::RemovePrinter(misbehaving);
}

TEST_F(DeviceContextTest, DefinitionFilesAreReadWhateverTheirLengthAndAMissingLibraryRefusesTheContext) {
  // An empty media definition file holds no definitions; one longer than the 23 slots
  // holds its first 23.
  host::InstallationFiles files = test::DefaultInstallationFiles();
  for (auto [records, count] : {std::pair<DWORD, DWORD>{0, 0}, {30, 23}}) {
    const std::string bytes = records ? test::MediaFileBytes(std::vector<test::Definition>(
                                            records, {u"Address", 0, 262, 6200, 300})) : std::string();
    files.mediaDefinitions = std::vector<uint8_t>(bytes.begin(), bytes.end());
    Install(files);
    DeviceContext* context = Enable();
    ASSERT_NE(context, nullptr) << records;
    EXPECT_EQ(context->mediaDefinitionCount, count);
    Disable(context);
  }
  ASSERT_TRUE(installation_->RemoveFile(host::kModelLibraryPath));
  EXPECT_FALSE(Enable() || GetLastError() == ERROR_INVALID_DATA) << "no model-data library: no fault of the settings";
}

TEST_F(DeviceContextTest, WhatTheEngineHandsOverIsReadNoFurtherThanItHolds) {
  // An application record is taken as at most the 504 bytes of the largest record the
  // driver knows: one whose dmSize claims more than that is refused and the defaults
  // stand; a private part longer than ours that is there is cut at ours, a shorter one kept.
  for (auto [publicSize, bytes, merged] : {std::tuple<WORD, size_t, bool>{300, 504, false},
                                           {0x4000, 504, false}, {220, 520, true}, {220, 320, true}}) {
    SettingsRecord record = Record([](SettingsRecord& r) { r.dm.dmCopies = 3; });
    record.dm.dmSize = publicSize;
    record.dm.dmDriverExtra = static_cast<WORD>(bytes - 220);
    std::vector<uint8_t> held(bytes);
    std::memcpy(held.data(), &record, std::min(bytes, sizeof(record)));
    host::FailCall(host::Call::GetLocaleInfo, 1);  // its default taken, its error left behind: no fault of the merge
    DeviceContext* context = Enable(reinterpret_cast<const DEVMODEW*>(held.data()));
    ASSERT_NE(context, nullptr) << publicSize;
    EXPECT_EQ(context->settings.dm.dmCopies, merged ? 3 : 1) << publicSize;
    Disable(context);
  }
  // A GDIINFO too short to hold the resolutions gives no context, and is not written.
  std::vector<uint8_t> gdi(sizeof(GDIINFO), 0xAB);
  DEVINFO info{};
  EXPECT_EQ(DrvEnablePDEV(nullptr, nullptr, 0, nullptr, 20, reinterpret_cast<ULONG*>(gdi.data()),
                          sizeof(info), &info, {}, nullptr, printer()), nullptr);
  EXPECT_EQ(std::count(gdi.begin(), gdi.end(), 0xAB), static_cast<long>(gdi.size()));
  DHPDEV exact = DrvEnablePDEV(nullptr, nullptr, 0, nullptr, offsetof(GDIINFO, ulVertRes) + sizeof(ULONG),
                               reinterpret_cast<ULONG*>(gdi.data()), sizeof(info), &info, {}, nullptr, printer());
  EXPECT_NE(exact, nullptr) << "a GDIINFO that just holds them is enough";
  DrvDisablePDEV(exact);
}

TEST_F(DeviceContextTest, SettingsWithNoPrintableLengthRefuseTheContextAsBadData) {
  // The 24 mm tape at its least length, 4 mm, asked for by the application, and the same
  // from the stored default options: its two 4 mm margins leave nothing to draw on, so no
  // context, and the last error names the settings as at fault.
  const SettingsRecord record = Record([](SettingsRecord& r) {
    r.dm.dmPaperSize = 262;
    r.dm.dmPaperLength = 20;
  });
  // 4.1 mm (58 dots) less two margins of 29 dots leaves one line, either way round.
  for (SHORT orientation : {DMORIENT_PORTRAIT, DMORIENT_LANDSCAPE}) {
    const SettingsRecord oneLine = Record([&](SettingsRecord& r) {
      r.dm.dmFields |= DM_PAPERSIZE | DM_PAPERLENGTH | DM_ORIENTATION, r.dm.dmOrientation = orientation;
      r.dm.dmPaperSize = 262, r.dm.dmPaperLength = 41;
      r.priv.xbRequest = XB_MARGIN_DOTS, r.priv.xbMargin = 29;
    });
    DeviceContext* context = Enable(&oneLine.dm);
    EXPECT_TRUE(context && context->settings.dm.dmOrientation == orientation) << orientation;
    if (context) Disable(context);
  }
  for (const DEVMODEW* devmode : {&record.dm, static_cast<const DEVMODEW*>(nullptr)}) {
    if (!devmode) {
      DefaultOptions options = {DEFAULT_OPTIONS_SIZE, DOM_LENGTH | DOM_PAPER_SIZE, 0, 0, 262};
      host::SetPrinterDataBinary(printer(), u"RegDefaultOptions", BytesOf(options));
    }
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(Enable(devmode), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  }
}

TEST_F(DeviceContextTest, LengthsAndMarginsOfTheApplicationAreHeldToItsMedium) {
  // On the 24 mm tape at most 1 m (14173 dots) and margins of 27 mm (383 dots); on the
  // default RFID tape at most 100 mm (1417 dots). Less 2 x 57 margin dots, plus 1.
  const Made exchangeMargin = Make(Record([](SettingsRecord& r) {
    r.dm.dmFields |= DM_PAPERSIZE | DM_PAPERLENGTH;
    r.dm.dmPaperSize = 262, r.dm.dmPaperLength = 10000;
    r.priv.xbRequest = XB_MARGIN_DOTS, r.priv.xbMargin = 2000;
  }));
  ExpectAlong(exchangeMargin.gdi, 14173 - 2 * 383 + 1, 383, -(10000 - 20 * 27) * 100, "exchange block margin");
  EXPECT_EQ(+exchangeMargin.settings.priv.privMargin, 383) << "the margin the printer is told";
  for (SHORT length : {-1, 32767}) {
    const Made lengthAlone = Make(Record([&](SettingsRecord& r) {
      r.dm.dmFields = 0x1650D;  // the defaults' fields without DM_PAPERSIZE
      r.dm.dmPaperLength = length;
    }));
    ExpectAlong(lengthAlone.gdi, 1304, 57, -(1000 - 80) * 100, "length without a paper size");
  }
}

TEST_F(DeviceContextTest, AnExchangeLengthIsHeldToTheTapeItPrintsOn) {
  // A 25.2 mm tape with a 40 mm definition on it: the custom size 24.6 x 40 mm settles
  // 400 tenths on that tape, while the page takes the exchange block's length.
  host::InstallationFiles files = test::DefaultInstallationFiles();
  const std::string tape =
      "[medium]\nname = \"Laminated tape 25.2mm\"\npaper-size = 264\nkind = 0\nwidth = 252\n"
      "print-width = 181\nwidth-dots = 357\nprint-width-dots = 256\n";
  files.modelData->insert(files.modelData->end(), tape.begin(), tape.end());
  const std::string definitions = test::MediaFileBytes({{u"Tag 25.2 x 40 mm", 0, 264, 4000, 300}});
  files.mediaDefinitions = std::vector<uint8_t>(definitions.begin(), definitions.end());
  Install(files);
  for (DWORD requested : {100000u, 5000000u}) {
    const Made made = Make(Record([&](SettingsRecord& r) {
      r.dm.dmFields |= DM_PAPERSIZE | DM_PAPERLENGTH | DM_PAPERWIDTH;
      r.dm.dmPaperSize = DMPAPER_USER, r.dm.dmPaperLength = 400, r.dm.dmPaperWidth = 246;
      r.priv.xbRequest = XB_LENGTH, r.priv.xbLength = requested;
    }));
    EXPECT_EQ(std::tuple(+made.settings.priv.privLength, +made.settings.priv.xbLength), std::tuple(400u, 14173u));
    ExpectAlong(made.gdi, 14173 - 2 * 57 + 1, 57, -(400 - 80) * 100, std::to_string(requested));
  }
}

TEST_F(DeviceContextTest, LengthsStoredForThePrinterAreHeldToItsMedium) {
  // Default options of 10,000,000 dots and of 0 on the RFID tape (53.5 to 100 mm), with an
  // application record that is refused (another media section) and with a sound one.
  const SettingsRecord refused = Record([](SettingsRecord& r) { r.priv.privMediaBase = 1; });
  const SettingsRecord sound = Record([](SettingsRecord&) {});
  for (auto [dots, tenths, along] : {std::tuple<DWORD, SHORT, ULONG>{10000000, 1000, 1304},
                                     {0, 535, 758 - 114 + 1}}) {
    host::SetPrinterDataBinary(printer(), u"RegDefaultOptions",
                               BytesOf(DefaultOptions{DEFAULT_OPTIONS_SIZE, DOM_LENGTH, 0, dots}));
    const Made withRefused = Make(refused);
    EXPECT_EQ(withRefused.defaults.dm.dmPaperLength, tenths) << dots;
    // The stored options give no length in tenths: the engine's size keeps the model's.
    ExpectAlong(withRefused.gdi, along, 57, -(1000 - 80) * 100, "stored options");
    EXPECT_TRUE(Make(sound).made) << dots;
  }
  host::DeletePrinterData(printer(), u"RegDefaultOptions");

  // A per-user record behind a paper size the table lacks: its length of -1 is held like
  // any other.
  SettingsRecord user = Make().defaults;
  user.dm.dmPaperLength = -1;
  host::SetUserDevmode(printer(), BytesOf(user));
  const Made made = Make(Record([](SettingsRecord& r) { r.dm.dmPaperSize = 999; }));
  ExpectAlong(made.gdi, 1304, 57, -(1000 - 80) * 100, "per-user length");
}

TEST_F(DeviceContextTest, DefinitionsThatCanHoldAPageAreLabelsAndOnlyTheOthersAreSkipped) {
  // On the 24 mm tape, a margin beyond the tape's 27 mm (lowered to it, in the first slot
  // as in any), 62 mm labels (879 dots) with margins of 3, 0.5 and 0 mm and a 3 mm label
  // (raised to the tape's 4 mm, 57 dots): each prints as defined. A 2 m label, longer than
  // any, and one whose margins fill it hold no page: their slots are empty, their codes
  // fall back to the default tape's 100 mm.
  const std::string bytes = test::MediaFileBytes(
      {{u"Wide", 0, 262, 6200, 0xFFFFFFFF}, {u"Address", 0, 262, 6200, 300},
       {u"Thin", 0, 262, 6200, 50}, {u"None", 0, 262, 6200, 0}, {u"Short", 0, 262, 300, 100},
       {u"Long", 0, 262, 200000, 300}, {u"Full", 0, 262, 5000, 2500}});
  host::InstallationFiles files = test::DefaultInstallationFiles();
  files.mediaDefinitions = std::vector<uint8_t>(bytes.begin(), bytes.end());
  Install(files);
  const std::pair<SHORT, ULONG> pages[] = {{317, 879 - 2 * 383 + 1}, {318, 879 - 2 * 43 + 1},
                                           {319, 879 - 2 * 7 + 1},   {320, 879 + 1},
                                           {321, 57 - 2 * 14 + 1}, {322, 1304}, {323, 1304}};
  for (auto [code, along] : pages) {
    const Made made = Make(Record([&](SettingsRecord& r) { r.dm.dmPaperSize = code; }));
    EXPECT_EQ(made.gdi.ulHorzRes, along) << code;
  }
  DeviceContext* context = Enable();
  ASSERT_NE(context, nullptr);
  const auto* slots = reinterpret_cast<const BYTE*>(context->mediaDefinitions);
  EXPECT_EQ(std::count(slots, slots + 7 * sizeof(MediaDefinition), 0xFF),
            2 * static_cast<long>(sizeof(MediaDefinition)));
  Disable(context);
}

TEST_F(DeviceContextTest, ValidatingCallsRefuseACorruptedContext) {
  DeviceContext* context = Enable();
  DeviceContext* other = Enable();
  ASSERT_TRUE(context && other);
  // The call leaves ERROR_INVALID_PARAMETER behind.
  auto refused = [](auto call) {
    SetLastError(0);
    call();
    return GetLastError() == ERROR_INVALID_PARAMETER;
  };
  const DHPDEV bad = HandleFromContext(context), good = HandleFromContext(other);
  SURFOBJ surface{};
  surface.dhpdev = bad;
  for (DWORD* signature : {&context->signatureHead, &context->signatureTail}) {
    *signature ^= 1;
    const std::function<bool()> calls[] = {[&] { return DrvStartPage(&surface); }, [&] { return DrvSendPage(&surface); },
        [&] { return DrvStartDoc(&surface, nullptr, 0); }, [&] { return DrvEndDoc(&surface, 0); },
        [&] { return DrvEnableSurface(bad) != HSURF{}; }};
    for (const auto& call : calls) EXPECT_TRUE(refused([&] { EXPECT_FALSE(call()); }));
    EXPECT_TRUE(refused([&] { DrvCompletePDEV(bad, static_cast<HDEV>(5)); }));
    EXPECT_EQ(context->engineDevice, HDEV{});
    EXPECT_TRUE(refused([&] { EXPECT_FALSE(DrvResetPDEV(bad, good)); }));
    EXPECT_TRUE(refused([&] { EXPECT_FALSE(DrvResetPDEV(good, bad)); }));
    EXPECT_TRUE(refused([&] { DrvDisablePDEV(bad); })) << "nothing is released";
    *signature ^= 1;
  }
  EXPECT_TRUE(refused([] { DrvDisablePDEV(nullptr); }));
  DrvDisableSurface(nullptr);  // ignored
  DrvCompletePDEV(bad, static_cast<HDEV>(5));
  EXPECT_EQ(context->engineDevice, static_cast<HDEV>(5));
  Disable(other);
  Disable(context);
}

TEST_F(DeviceContextTest, ResetCarriesAnOpenDocumentAndNothingOutsideOne) {
  DeviceContext* oldContext = Enable();
  DeviceContext* newContext = Enable();
  ASSERT_TRUE(oldContext && newContext);

  oldContext->pageCount = 4;
  oldContext->lastPageEnd = 0x0C;
  EXPECT_TRUE(DrvResetPDEV(HandleFromContext(oldContext), HandleFromContext(newContext)));
  EXPECT_EQ(newContext->jobFlags, 0u) << "outside a document nothing is carried";
  EXPECT_EQ(newContext->pageCount, 0u);

  oldContext->jobFlags = JF_IN_DOCUMENT | JF_PAGE_OPEN | JF_OUTPUT_FAILED;
  oldContext->settings.priv.privOpt40000 = 1;
  EXPECT_TRUE(DrvResetPDEV(HandleFromContext(oldContext), HandleFromContext(newContext)));
  EXPECT_EQ(newContext->jobFlags, static_cast<DWORD>(JF_IN_DOCUMENT | JF_RESET_CARRIED | JF_OUTPUT_FAILED))
      << "the failure latch goes with the document; the open page stays with the old context";
  EXPECT_EQ(std::tuple(newContext->pageCount, +newContext->lastPageEnd,
                       newContext->settings.priv.privOpt40000), std::tuple(4u, 0x0C, 1u));
  Disable(oldContext);
  Disable(newContext);
}

}  // namespace
