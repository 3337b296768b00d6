// SPDX-License-Identifier: Apache-2.0
// The exchange block: the first 30 bytes of the private part, through which applications
// that know the driver set label properties and read back what the driver made of them.
#pragma once

#include "context/model_data.h"
#include "context/settings_record.h"
#include "device/media_definitions.h"
#include "platform/platform.h"

// The paper size offset of a width multiple (0, 20, 26, 32 for 0..3), or -1 outside 0..3.
LONG WidthMultipleOffset(DWORD widthMultiple);

// The feed resolution that dots of a record are taken at when converting them to and from
// millimetres: 720 when the record says 720, otherwise 360, the resolution the merge
// itself falls back to. Never 0, so it is safe to divide by.
LONG ExchangeResolution(const DEVMODEW* record);

// Turns the caller's block in scratch->priv into settings on the scratch record, and fills
// in the block's unrequested values from the private fields.
void ApplyExchangeRequest(HANDLE printer, SettingsRecord* scratch, const ModelData* modelData,
                          const MediaDefinition* definitions, DWORD definitionCount,
                          WORD defaultPaperSize);

// Writes the answer block into result->priv after the merge, from the scratch record.
// A media-type request sets the scratch record's privMediaKind to 0 for the lookup.
void BuildExchangeAnswer(HANDLE printer, SettingsRecord* scratch, SettingsRecord* result,
                         const ModelData* modelData, const MediaDefinition* definitions,
                         DWORD definitionCount, WORD defaultPaperSize);
