// SPDX-License-Identifier: Apache-2.0
// The choice of tape and label length for a caller's paper size request.
#pragma once

#include "context/model_data.h"
#include "context/settings_record.h"
#include "device/media_definitions.h"
#include "platform/platform.h"

// Maps the scratch record's dmPaperSize (a code, 256 for a custom size, or 317 + k for a
// media definition) onto a media record; writes the paper size, width and length into
// result and the media selection into scratch->priv.
void SelectPaperSize(HANDLE printer, SettingsRecord* result, SettingsRecord* scratch,
                     const ModelData* modelData, const MediaDefinition* definitions,
                     DWORD definitionCount, WORD defaultPaperSize);
