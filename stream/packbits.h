// SPDX-License-Identifier: Apache-2.0
// PackBits decoding (the TIFF compression scheme 32773) with every count checked against
// the bytes left in the input and the room left in the output before anything is copied.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tq33stream {

enum class PackBitsStatus {
  Ok,         // the whole input decoded into the output
  Truncated,  // a run needs more input bytes than are left
  Overflow,   // a run would write past the output capacity
  Reserved,   // the count byte 0x80, which an encoder never produces
};

struct PackBitsResult {
  PackBitsStatus status = PackBitsStatus::Ok;
  size_t produced = 0;  // bytes written to the output (up to the failing run)
  size_t errorAt = 0;   // input offset of the failing run's count byte
};

// Decodes all size bytes of input into at most capacity bytes of output. Never reads
// outside input[0, size) nor writes outside output[0, capacity).
PackBitsResult DecodePackBits(const uint8_t* input, size_t size, uint8_t* output,
                              size_t capacity);

}  // namespace tq33stream
