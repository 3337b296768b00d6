// SPDX-License-Identifier: Apache-2.0
// Large blocks kept for reuse: what a later request gets, and that the sanitizer still
// sees a kept block as freed.
#include <algorithm>

#include "tests/support/host_test.h"

namespace {

class KernelMemoryTest : public HostTest {
 protected:
  void TearDown() override {
    host::KeepLargeBlocks(false);
    HostTest::TearDown();
  }
};

constexpr SIZE_T kLarge = SIZE_T{1} << 20;

// What the fuzz targets' runs rely on: a kept block serves a later request, cleared when
// zeros are asked, and while kept it is freed to the sanitizer. (Which block serves which
// size is the store's own business.)
TEST_F(KernelMemoryTest, AKeptBlockServesTheNextRequestClearedWhenZerosAreAskedAndIsFreedMeanwhile) {
  host::KeepLargeBlocks(true);
  HANDLE heap = HeapCreate(0, 0, 0);
  auto* page = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, kLarge));
  ASSERT_NE(page, nullptr);
  std::fill(page, page + kLarge, 0x5A);
  EXPECT_EQ(GlobalFree(page), nullptr);
  auto* zeroed = static_cast<BYTE*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, kLarge - 100));
  EXPECT_EQ(zeroed, page);
  EXPECT_TRUE(std::all_of(zeroed, zeroed + kLarge - 100, [](BYTE b) { return b == 0; }));
  EXPECT_TRUE(HeapFree(heap, 0, zeroed));
  EXPECT_TRUE(HeapDestroy(heap));
#if defined(__SANITIZE_ADDRESS__)
  EXPECT_DEATH((void)*static_cast<volatile BYTE*>(page), "use-after-poison");
#endif
}

}  // namespace
