// SPDX-License-Identifier: Apache-2.0
// Which MediaRecord and media definition a settings record means, and the printable area
// that follows from them.
#pragma once

#include "context/model_data.h"
#include "context/settings_record.h"
#include "device/media_definitions.h"
#include "platform/platform.h"

struct DeviceContext;

// Looks up the medium of settings: writes the media index (relative to privMediaBase) and
// the definition index (-1 for none) when their outputs are given. Never fails: the last
// resort is record 0. With no MediaTable nothing is written.
void FindMediaIndex(HANDLE printer, const SettingsRecord* settings, const ModelData* modelData,
                    LONG* mediaIndex, LONG* definitionIndex,
                    const MediaDefinition* definitions, DWORD definitionCount,
                    WORD fallbackPaperSize);

// Matches a custom size (DM_PAPERLENGTH, DM_PAPERWIDTH) against the table and the media
// definitions; TRUE when mediaIndex was set.
BOOL MatchCustomSize(const SettingsRecord* settings, const ModelData* modelData,
                     LONG* mediaIndex, const MediaDefinition* definitions,
                     DWORD definitionCount);

// The printable area in the engine's terms (GDIINFO fields by orientation).
struct PrintableArea {
  ULONG horzSize;       // ulHorzSize: negative micrometres
  ULONG vertSize;       // ulVertSize
  ULONG horzRes;        // ulHorzRes: printable dots
  ULONG vertRes;        // ulVertRes
  POINTL physOffset;    // ptlPhysOffset: non-printable offsets in dots
  SIZEL physSize;       // szlPhysSize: physical size in dots
};

// Computes the printable area of the context's settings for media index m and definition
// index d. FALSE when the record or a resolution it divides by is unusable.
BOOL ComputePrintableArea(const DeviceContext* context, LONG mediaIndex, LONG definitionIndex,
                          PrintableArea* area);
