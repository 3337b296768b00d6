// The device context: creation on an installed printer, what the engine is given, the
// validity check, the carrying of an open document, and release leaving nothing behind.
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "device/printer_data.h"
#include "driver/ddi.h"
#include "driver/device_context.h"
#include "tests/support/installed_printer.h"
#include "tests/support/media_file_writer.h"

namespace {

using test::EngineRecords;

class DeviceContextTest : public test::InstalledPrinterTest {
 protected:
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

TEST_F(DeviceContextTest, EnableBuildsAValidContextAndDisableReleasesEverything) {
  EngineRecords records{};
  DeviceContext* context = Enable(nullptr, &records);
  ASSERT_NE(context, nullptr);
  EXPECT_TRUE(isValidDeviceContext(context));
  EXPECT_EQ(context->printer, printer());
  EXPECT_NE(context->sideRecord, nullptr);
  EXPECT_NE(context->mediaDefinitions, nullptr);

  // The default palette is a gray ramp from black to white.
  ASSERT_TRUE(context->palette);
  EXPECT_EQ(records.deviceInfo.hpalDefault, context->palette);
  std::vector<ULONG> palette = host::PaletteEntries(context->palette);
  ASSERT_EQ(palette.size(), 256u);
  EXPECT_EQ((std::vector<ULONG>{palette[0], palette[128], palette[255]}),
            (std::vector<ULONG>{0x000000, 0x808080, 0xFFFFFF}));
  EXPECT_EQ(records.deviceInfo.cFonts, 0u);
  EXPECT_EQ(records.deviceInfo.iDitherFormat, static_cast<ULONG>(BMF_8BPP));

  Disable(context);
  ExpectNothingLeaked();
}

TEST_F(DeviceContextTest, GraphicsCapabilitiesFollowPrivFlagsBit2000) {
  DeviceContext* context = Enable();
  ASSERT_NE(context, nullptr);
  DEVINFO info{};
  context->settings.priv.privFlags = 0x3000;
  ASSERT_TRUE(FillDeviceInfo(context, sizeof(info), &info));
  EXPECT_EQ(info.flGraphicsCaps, 0x11Fu);
  context->settings.priv.privFlags = 0x1000;
  ASSERT_TRUE(FillDeviceInfo(context, sizeof(info), &info));
  EXPECT_EQ(info.flGraphicsCaps, 0x211Fu);
  EXPECT_EQ(host::Live().palettes, baseline_.palettes + 1) << "the old palette is deleted first";

  // A short engine record receives only its own size.
  DEVINFO shortInfo;
  std::memset(&shortInfo, 0xAB, sizeof(shortInfo));
  ASSERT_TRUE(FillDeviceInfo(context, 4, &shortInfo));
  EXPECT_EQ(shortInfo.flGraphicsCaps, 0x211Fu);
  EXPECT_EQ(shortInfo.cFonts, 0xABABABABu);

  // No palette: the engine's record is not written.
  host::FailCall(host::Call::EngCreatePalette, 1);
  std::memset(&shortInfo, 0xAB, sizeof(shortInfo));
  EXPECT_FALSE(FillDeviceInfo(context, sizeof(shortInfo), &shortInfo));
  EXPECT_EQ(shortInfo.flGraphicsCaps, 0xABABABABu);
  Disable(context);
  ExpectNothingLeaked();
}

TEST_F(DeviceContextTest, SpoolerThatAnswersTheDriverProbeWronglyIsRefused) {
  host::PrinterSetup setup = installation_->Setup(u"probe succeeds");
  setup.driverProbeSucceeds = true;
  HANDLE misbehaving = host::AddPrinter(setup);
  GDIINFO gdi{};
  DEVINFO info{};
  EXPECT_EQ(DrvEnablePDEV(nullptr, nullptr, 0, nullptr, sizeof(gdi), reinterpret_cast<ULONG*>(&gdi),
                          sizeof(info), &info, {}, nullptr, misbehaving),
            nullptr);
  host::RemovePrinter(misbehaving);

  host::FailCall(host::Call::GetPrinterDriver, 1);
  EXPECT_EQ(Enable(), nullptr) << "a probe failing with another error than 122";
  host::ClearFailures();
  EXPECT_EQ(DrvEnablePDEV(nullptr, nullptr, 0, nullptr, sizeof(gdi), reinterpret_cast<ULONG*>(&gdi),
                          sizeof(info), &info, {}, nullptr, nullptr),
            nullptr)
      << "no printer";
  ExpectNothingLeaked();
}

TEST_F(DeviceContextTest, MissingOrUnusableInstallationFilesRefuseTheContext) {
  ASSERT_TRUE(installation_->RemoveFile(host::kMediaFilePath));
  EXPECT_EQ(Enable(), nullptr) << "no media definition file";
  ExpectNothingLeaked();

  Install(test::DefaultInstallationFiles());
  ASSERT_TRUE(installation_->RemoveFile(host::kModelLibraryPath));
  EXPECT_EQ(Enable(), nullptr) << "no model-data library";
  ExpectNothingLeaked();
}

TEST_F(DeviceContextTest, SettingsWithNoPrintableLengthRefuseTheContextAsBadData) {
  // A continuous tape of length 0 asked for by the application, and the same from the
  // stored default options: nothing to draw on, so no context, and the last error names
  // the settings as at fault.
  DeviceContext* context = Enable();
  ASSERT_NE(context, nullptr);
  SettingsRecord record = context->settings;
  Disable(context);
  record.dm.dmFields = DM_PAPERLENGTH;
  record.dm.dmPaperLength = 0;
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(Enable(&record.dm), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  ExpectNothingLeaked();

  DefaultOptions options = {};
  options.optSize = DEFAULT_OPTIONS_SIZE;
  options.optMask = DOM_LENGTH;
  std::vector<uint8_t> bytes(sizeof(options));
  std::memcpy(bytes.data(), &options, sizeof(options));
  host::SetPrinterDataBinary(printer(), u"RegDefaultOptions", bytes);
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(Enable(), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
  ExpectNothingLeaked();
}

TEST_F(DeviceContextTest, DefinitionsOutsideTheirTapesLimitsAreIgnoredWhole) {
  // A margin of 0xFFFFFFFF, a 2 m label and a 3 mm one on the 24 mm tape: their slots are
  // empty, and their codes fall back to the default tape; the sound one still prints.
  const std::string bytes = test::MediaFileBytes({{u"Address", 0, 262, 6200, 300},
                                                  {u"Margin", 0, 262, 6200, 0xFFFFFFFF},
                                                  {u"Long", 0, 262, 200000, 300},
                                                  {u"Short", 0, 262, 300, 100}});
  host::InstallationFiles files = test::DefaultInstallationFiles();
  files.mediaDefinitions = std::vector<uint8_t>(bytes.begin(), bytes.end());
  Install(files);
  for (SHORT code : {317, 318, 319, 320}) {
    const Made made = Make(Record([&](SettingsRecord& r) { r.dm.dmPaperSize = code; }));
    // 62 mm less two 3 mm margins of 43 dots; else the RFID tape's 100 mm.
    const ULONG along = code == 317 ? 879 - 2 * 43 + 1 : 1304;
    EXPECT_EQ(made.gdi.ulHorzRes, along) << code;
  }
  DeviceContext* context = Enable();
  ASSERT_NE(context, nullptr);
  const auto* slots = reinterpret_cast<const BYTE*>(context->mediaDefinitions);
  EXPECT_EQ(context->mediaDefinitionCount, 4u);
  EXPECT_NE(slots[0], 0xFF);
  for (size_t at = sizeof(MediaDefinition); at < 4 * sizeof(MediaDefinition); ++at)
    ASSERT_EQ(slots[at], 0xFF) << at;
  Disable(context);
  ExpectNothingLeaked();
}

TEST_F(DeviceContextTest, DriverDirectoryTooLongForThePathBufferIsRefused) {
  for (size_t length : {240u, 250u, 255u, 258u, 300u}) {
    std::u16string directory = u"C:\\";
    while (directory.size() < length) directory += u'd';
    host::SetDriverDirectory(directory);
    EXPECT_EQ(Enable(), nullptr) << "directory of " << length << " units";
    ExpectNothingLeaked();
  }
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
  for (DWORD* signature : {&context->signatureHead, &context->signatureTail}) {
    *signature ^= 1;
    EXPECT_TRUE(refused([&] { DrvCompletePDEV(bad, static_cast<HDEV>(5)); }));
    EXPECT_EQ(context->engineDevice, HDEV{});
    EXPECT_TRUE(refused([&] { EXPECT_FALSE(DrvResetPDEV(bad, good)); }));
    EXPECT_TRUE(refused([&] { EXPECT_FALSE(DrvResetPDEV(good, bad)); }));
    EXPECT_TRUE(refused([&] { DrvDisablePDEV(bad); })) << "nothing is released";
    *signature ^= 1;
  }
  EXPECT_TRUE(refused([] { DrvDisablePDEV(nullptr); }));
  DrvCompletePDEV(bad, static_cast<HDEV>(5));
  EXPECT_EQ(context->engineDevice, static_cast<HDEV>(5));
  Disable(other);
  Disable(context);
  ExpectNothingLeaked();
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
  EXPECT_EQ(newContext->jobFlags, static_cast<DWORD>(JF_IN_DOCUMENT | JF_RESET_CARRIED))
      << "the failure latch and the open page stay with the old context";
  EXPECT_EQ(newContext->pageCount, 4u);
  EXPECT_EQ(newContext->lastPageEnd, 0x0C);
  EXPECT_EQ(newContext->settings.priv.privOpt40000, 1u);
  Disable(oldContext);
  Disable(newContext);
  ExpectNothingLeaked();
}

}  // namespace
