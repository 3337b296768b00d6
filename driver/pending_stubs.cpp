// Placeholders for driver units still to land; each goes as its unit is merged.
#include <cstring>

#include "device/default_settings.h"
#include "device/gdi_info.h"
#include "device/media_definitions.h"
#include "device/printer_data.h"
#include "driver/device_context.h"
#include "settings/settings_merge.h"

void BuildDefaultSettings(SettingsRecord* settings, LPCWSTR, const ModelData*, HANDLE) {
  std::memset(settings, 0, sizeof(*settings));
  settings->dm.dmSize = SETTINGS_PUBLIC_SIZE;
  settings->dm.dmDriverExtra = SETTINGS_PRIVATE_SIZE;
  settings->dm.dmSpecVersion = SETTINGS_SPEC_VERSION;
  settings->dm.dmDriverVersion = SETTINGS_DRIVER_VERSION;
  settings->dm.dmScale = 100;
  settings->dm.dmPrintQuality = 360;
  settings->dm.dmYResolution = 360;
  settings->priv.privFlags = 0x3000;
}

DWORD MergeSettings(SettingsRecord*, const DEVMODEW*, DWORD, HANDLE, const ModelData*,
                    const MediaDefinition*, DWORD, WORD) {
  return 1;
}

void FillGdiInfo(DeviceContext*, ULONG gdiInfoSize, GDIINFO* gdiInfo) {
  if (gdiInfoSize >= sizeof(GDIINFO)) {
    gdiInfo->ulHorzRes = 1;
    gdiInfo->ulVertRes = 1;
  }
}
