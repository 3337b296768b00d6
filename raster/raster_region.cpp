// SPDX-License-Identifier: Apache-2.0
// The walk over a page's raster region: one command at a time, each stepped over whole.
#include "raster/raster_region.h"

#include "raster/printer_commands.h"

RegionCommand NextRegionCommand(const BYTE* region, DWORD length, DWORD* offset) {
  RegionCommand command = {RegionItem::End, *offset, 0, 0};
  if (!region || *offset >= length) return command;
  const DWORD at = *offset;
  const DWORD left = length - at;
  switch (region[at]) {
    case kCmdRasterLine: {
      if (left < 3) {
        command.kind = RegionItem::Malformed;
        return command;
      }
      const DWORD count = region[at + 1] | (static_cast<DWORD>(region[at + 2]) << 8);
      if (count > left - 3) {
        command.kind = RegionItem::Malformed;
        return command;
      }
      command.kind = RegionItem::RasterLine;
      command.size = 3 + count;
      command.dataCount = count;
      break;
    }
    case kCmdZeroLine:
      command.kind = RegionItem::ZeroLine;
      command.size = 1;
      break;
    case kCmdPageEnd:
    case kCmdRetainedPageEnd:
      command.kind = RegionItem::PageEnd;
      command.size = 1;
      break;
    case kCmdEsc:
      // Inside a region an escape can only open a later label's SetupHeader.
      if (left < SETUP_HEADER_SIZE) {
        command.kind = RegionItem::Malformed;
        return command;
      }
      command.kind = RegionItem::SetupHeader;
      command.size = SETUP_HEADER_SIZE;
      break;
    case kCmdCompressionMode:
      if (left < 2) {
        command.kind = RegionItem::Malformed;
        return command;
      }
      command.kind = RegionItem::CompressionMode;
      command.size = 2;
      break;
    default:
      command.kind = RegionItem::Other;
      command.size = 1;
      break;
  }
  *offset = at + command.size;
  return command;
}
