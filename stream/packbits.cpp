// SPDX-License-Identifier: Apache-2.0
// PackBits decoding: check, then copy.
#include "stream/packbits.h"

#include <cstring>

namespace tq33stream {

PackBitsResult DecodePackBits(const uint8_t* input, size_t size, uint8_t* output,
                              size_t capacity) {
  PackBitsResult result;
  size_t in = 0;
  size_t out = 0;
  while (in < size) {
    const size_t runStart = in;
    const auto count = static_cast<int8_t>(input[in++]);
    PackBitsStatus failure = PackBitsStatus::Ok;
    if (count == -128) {
      failure = PackBitsStatus::Reserved;
    } else if (count >= 0) {
      const size_t literal = static_cast<size_t>(count) + 1;
      if (literal > size - in)
        failure = PackBitsStatus::Truncated;
      else if (literal > capacity - out)
        failure = PackBitsStatus::Overflow;
      else {
        std::memcpy(output + out, input + in, literal);
        in += literal;
        out += literal;
      }
    } else {
      const size_t repeat = static_cast<size_t>(1 - count);
      if (in >= size)
        failure = PackBitsStatus::Truncated;
      else if (repeat > capacity - out)
        failure = PackBitsStatus::Overflow;
      else {
        std::memset(output + out, input[in], repeat);
        ++in;
        out += repeat;
      }
    }
    if (failure != PackBitsStatus::Ok) {
      result.status = failure;
      result.errorAt = runStart;
      break;
    }
  }
  result.produced = out;
  return result;
}

}  // namespace tq33stream
