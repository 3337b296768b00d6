// SPDX-License-Identifier: Apache-2.0
// The walk over a page's raster region, shared by every pass that reads or rewrites it.
//
// A region holds raster line commands ("G" nL nH data), zero line commands ("Z"), page-end
// bytes and, in front of every label after the first, that label's SetupHeader and
// compression-mode command. The walk steps over each command whole, so that a header byte
// or a data byte that happens to equal "G" or "Z" is never taken for a command.
#pragma once

#include "platform/platform.h"

enum class RegionItem {
  RasterLine,       // "G" nL nH and count data bytes
  ZeroLine,         // "Z"
  PageEnd,          // 0x0C or 0x0B
  SetupHeader,      // a label's 25-byte SetupHeader
  CompressionMode,  // "M" and its mode byte
  Other,            // any other single byte
  Malformed,        // a command cut off by the end of the region
  End               // nothing left
};

struct RegionCommand {
  RegionItem kind;
  DWORD offset;     // of the command's first byte, from the start of the region
  DWORD size;       // bytes of the whole command
  DWORD dataCount;  // raster lines: data bytes after the three command bytes
};

// Reads the command at *offset and advances *offset past it. At a Malformed command the
// offset is left where the command starts.
RegionCommand NextRegionCommand(const BYTE* region, DWORD length, DWORD* offset);
