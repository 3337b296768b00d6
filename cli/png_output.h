// SPDX-License-Identifier: Apache-2.0
// PNG output of `tq33 decode --png`: bilevel images of printed dots.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tq33cli {

// Writes a 1-bit gray PNG of width x height pixels from rows packed most significant bit
// first, (width + 7) / 8 bytes a row, a set bit white; "-" is standard output. Throws when
// it cannot be written; a partial file never stays behind.
void WriteBilevelPng(const std::string& path, uint32_t width, uint32_t height,
                     const std::vector<uint8_t>& rows);

}  // namespace tq33cli
