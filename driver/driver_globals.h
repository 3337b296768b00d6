// SPDX-License-Identifier: Apache-2.0
// Process-wide state shared by all device contexts: five locks and the head of a shared
// device-font cache.
#pragma once

#include "platform/platform.h"

// An entry of the shared device-font cache. The device reports no fonts of its own, so
// nothing adds entries; the release paths still handle them.
struct DeviceFontItem {
  HGLOBAL block;          // owned global-memory block
};

struct DeviceFontEntry {
  DeviceFontEntry* next;
  LONG references;
  DWORD flags;            // DFE_RELEASE_ON_LAST: released when the last reference goes
  DWORD itemCount;
  DeviceFontItem* items;  // itemCount items (global memory)
};

#define DFE_RELEASE_ON_LAST 0x1

struct DriverGlobals {
  CRITICAL_SECTION mediaFileLock;     // held while the media definition file is read
  CRITICAL_SECTION fontCacheLock;     // guards sharedFontCache
  CRITICAL_SECTION driverLock;        // teardown waits for any thread still holding it
  CRITICAL_SECTION reserveLock;       // created and deleted with the others; never entered
  CRITICAL_SECTION modelLibraryLock;  // held for the model-data library's whole cycle
  DeviceFontEntry* sharedFontCache;   // head of the shared device-font cache
};

extern DriverGlobals g_driver;

// Releases one font cache entry: each item's block, then the items, then the entry.
void ReleaseDeviceFontEntry(DeviceFontEntry* entry);
