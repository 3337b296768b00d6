// Large blocks kept for reuse: what a later request gets, and that the sanitizer still
// sees a kept block as freed.
#include <algorithm>
#include <vector>

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

TEST_F(KernelMemoryTest, AKeptBlockServesTheNextRequestItHoldsUnlessZerosAreAsked) {
  host::KeepLargeBlocks(true);
  HANDLE heap = HeapCreate(0, 0, 0);
  auto* page = static_cast<BYTE*>(GlobalAlloc(GMEM_FIXED, kLarge));
  ASSERT_NE(page, nullptr);
  std::fill(page, page + kLarge, 0x5A);
  EXPECT_EQ(GlobalFree(page), nullptr);
  // Zeros come from the C heap, never from a block that held a page.
  auto* zeroed = static_cast<BYTE*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, kLarge));
  ASSERT_NE(zeroed, nullptr);
  EXPECT_NE(zeroed, page);
  EXPECT_TRUE(std::all_of(zeroed, zeroed + kLarge, [](BYTE b) { return b == 0; }));
  // Less than half of it is another block's to serve.
  void* small = LocalAlloc(LMEM_FIXED, kLarge / 2 - 1);
  EXPECT_NE(small, page);
  auto* reused = static_cast<BYTE*>(HeapAlloc(heap, 0, kLarge - 100));
  EXPECT_EQ(reused, page);
  reused[kLarge - 101] = 1;
  EXPECT_TRUE(HeapDestroy(heap));
  EXPECT_EQ(LocalFree(small), nullptr);
#if defined(__SANITIZE_ADDRESS__)
  // Kept after the heap's destruction: a use of it is reported as the use of freed memory.
  EXPECT_DEATH((void)*static_cast<volatile BYTE*>(page), "use-after-poison");
#endif
  host::KeepLargeBlocks(false);
  void* fresh = GlobalAlloc(GMEM_FIXED, kLarge);
  EXPECT_NE(fresh, nullptr);
  GlobalFree(fresh);
}

}  // namespace
