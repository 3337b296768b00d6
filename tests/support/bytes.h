// SPDX-License-Identifier: Apache-2.0
// Byte strings joined with +, so that a test writes a stream as the sum of its pieces.
#pragma once

#include <cstdint>
#include <vector>

// In the global namespace, so that every test's own namespace finds it.
inline std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
