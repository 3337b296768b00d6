// SPDX-License-Identifier: Apache-2.0
// The merge of an application's settings record into the context's defaults.
#pragma once

#include "context/model_data.h"
#include "context/settings_record.h"
#include "device/media_definitions.h"
#include "platform/platform.h"

// Merges caller (readable for callerBytes bytes) into settings, which holds the defaults.
// Returns 1 when merged or when there was nothing to merge, 0 when the caller's record was
// refused or memory ran out (settings then keep the defaults). The caller's record is
// never written.
DWORD MergeSettings(SettingsRecord* settings, const DEVMODEW* caller, DWORD callerBytes,
                    HANDLE printer, const ModelData* modelData,
                    const MediaDefinition* definitions, DWORD definitionCount,
                    WORD defaultPaperSize);

// Holds the label length and the feed margin of the job's settings within the limits of
// the medium they print on, the one the media lookup selects for them: the length in
// tenths and in dots (privLength, privLengthDots, xbLength) on continuous tape, the margin
// (privMargin, and xbMargin while it holds dots) on every medium, at the settings'
// resolution. Whatever door a value came in by (the defaults, the stored options, the
// caller's record and exchange block, the per-user record), values within the limits stay
// as they are.
void BoundLengthAndMargin(HANDLE printer, SettingsRecord* settings, const ModelData* modelData,
                          const MediaDefinition* definitions, DWORD definitionCount,
                          WORD defaultPaperSize);
