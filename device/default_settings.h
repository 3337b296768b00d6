// SPDX-License-Identifier: Apache-2.0
// The default settings record every device context starts from.
#pragma once

#include "context/model_data.h"
#include "context/settings_record.h"
#include "device/printer_data.h"
#include "platform/platform.h"

// The resource library's file name; the job record carries it too.
inline constexpr WCHAR kResourceLibraryName[] = WIDE("TQ33Kr.dll");

// Writes the complete default record: fixed defaults, code page and measurement system,
// the model's defaults and default tape, then the installation's default options.
void BuildDefaultSettings(SettingsRecord* settings, LPCWSTR deviceName,
                          const ModelData* modelData, HANDLE printer);

// Applies the model record's defaults and its default tape.
void ApplyModelDefaults(SettingsRecord* settings, const ModelData* modelData);

// Applies the stored default options, mask by mask in the fixed order.
void ApplyDefaultOptions(DEVMODEW* publicPart, PrivateSettings* privatePart,
                         const ModelData* modelData, const DefaultOptions* options);

// The media list index of the entry with this paper size key, or -1.
LONG FindMediaEntry(const ModelData* modelData, const MediaListEntry** entry, WORD paperSize);

// TRUE when labels of this entry have a fixed length on this model.
BOOL HasFixedLength(const MediaListEntry* entry, BYTE modelType);

// Applies a media list entry (its tape, length and margin) to the settings.
void ApplyMediaEntry(DEVMODEW* publicPart, PrivateSettings* privatePart,
                     const MediaListEntry* entry, LONG index, BYTE modelType);

// Copies at most n-1 units of source and zero-fills the field up to unit n-1.
void CopyWideBounded(WCHAR* destination, LPCWSTR source, DWORD n);

// 0 when the resource library's first translation is US English, Unicode; else 1.
DWORD ResourceLanguageFlag();
