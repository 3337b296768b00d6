// Placeholders for driver units still to land; each goes as its unit is merged.
#include "driver/device_context.h"
#include "settings/settings_merge.h"

DWORD MergeSettings(SettingsRecord*, const DEVMODEW*, DWORD, HANDLE, const ModelData*,
                    const MediaDefinition*, DWORD, WORD) {
  return 1;
}
