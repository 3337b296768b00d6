// SPDX-License-Identifier: Apache-2.0
// An application's settings record of any size, whose own size fields may lie, through
// DrvEnablePDEV (the merge, the exchange block, the paper-size selection) and the
// surface built from the merged settings.
//
// The record is placed at the start of a block whose bytes past the extent its size fields
// claim (at least the 72 bytes that hold them) are poisoned, as if the engine had handed
// over a block of exactly that extent, so that any read past it is an overrun the address
// sanitizer reports. The block is made once: a record may claim up to 128 KB, and a block
// of that size allocated per input is mapped afresh and faulted in every time.
#include <sanitizer/asan_interface.h>

#include <cstring>
#include <memory>
#include <string>

#include "fuzz/fuzz_support.h"

namespace {

// Room for the largest extent two 16-bit size fields can claim.
constexpr size_t kMaxExtent = 2 * 0xFFFF;

// The caller's record: extent bytes at the start of a block made once, the input's bytes
// and then zeros, everything after them poisoned until the next input.
uint8_t* PlaceRecord(const uint8_t* data, size_t size, size_t extent) {
  static uint8_t* const block = new uint8_t[kMaxExtent];
  ASAN_UNPOISON_MEMORY_REGION(block, kMaxExtent);
  const size_t copied = size < extent ? size : extent;
  std::memcpy(block, data, copied);
  std::memset(block + copied, 0, extent - copied);
  ASAN_POISON_MEMORY_REGION(block + extent, kMaxExtent - extent);
  return block;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Installation();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::PrepareContexts();
  const host::LiveObjects baseline = host::Live();

  // The extent the record claims: dmSize public bytes and dmDriverExtra private bytes.
  uint8_t sizeFields[fuzz::kSizeFieldsEnd] = {};
  std::memcpy(sizeFields, data, size < sizeof(sizeFields) ? size : sizeof(sizeFields));
  WORD publicSize = 0;
  WORD privateSize = 0;
  std::memcpy(&publicSize, sizeFields + offsetof(DEVMODEW, dmSize), sizeof(WORD));
  std::memcpy(&privateSize, sizeFields + offsetof(DEVMODEW, dmDriverExtra), sizeof(WORD));
  size_t extent = static_cast<size_t>(publicSize) + privateSize;
  if (extent < fuzz::kSizeFieldsEnd) extent = fuzz::kSizeFieldsEnd;

  uint8_t* record = PlaceRecord(data, size, extent);
  static std::vector<uint8_t> copy(kMaxExtent);
  std::memcpy(copy.data(), record, extent);

  GDIINFO gdiInfo = {};
  DeviceContext* context = fuzz::EnableContext(reinterpret_cast<const DEVMODEW*>(record), &gdiInfo);
  if (std::memcmp(copy.data(), record, extent) != 0)
    fuzz::Finding("DrvEnablePDEV wrote into the caller's settings record");
  // A record the merge refuses leaves the defaults; one it takes may still describe no
  // printable page (a length inside its two feed margins), which must be refused as bad data.
  if (!context && GetLastError() != ERROR_INVALID_DATA)
    fuzz::Finding("DrvEnablePDEV failed: a refused record must leave the defaults");
  // Whatever the record held, the merged settings print at a resolution the printer has,
  // a number of copies the driver allows, and a page and margin its medium allows.
  if (context) {
    const DEVMODEW& dm = context->settings.dm;
    if ((dm.dmYResolution != 360 && dm.dmYResolution != 720) ||
        (dm.dmPrintQuality != 360 && dm.dmPrintQuality != 720))
      fuzz::Finding("merged resolution " + std::to_string(dm.dmPrintQuality) + " x " +
                    std::to_string(dm.dmYResolution));
    if (dm.dmCopies < 1 || dm.dmCopies > 5000)
      fuzz::Finding("merged copies " + std::to_string(dm.dmCopies));
    fuzz::CheckPageWithinMedium(context, gdiInfo);
  }
  fuzz::DisableContext(context, true);
  fuzz::CheckNothingLeaked(baseline, "settings record");
  return 0;
}
