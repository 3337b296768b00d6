// SPDX-License-Identifier: Apache-2.0
// The default installation's files built into the filter: data/tq33.model and
// data/sample-media.dat as they were at build time.
#pragma once

#include <cstddef>

namespace tq33cups {

extern const unsigned char kDefaultModelData[];
extern const size_t kDefaultModelDataSize;
extern const unsigned char kDefaultMediaFile[];
extern const size_t kDefaultMediaFileSize;

}  // namespace tq33cups
