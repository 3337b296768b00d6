// SPDX-License-Identifier: Apache-2.0
// The tool's replacement of malloc and its family (cli/start_heap.cpp), linked into this
// program alone, without the sanitizers, which replace the same functions.
#include <gtest/gtest.h>
#include <malloc.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

uintptr_t Address(const void* block) { return reinterpret_cast<uintptr_t>(block); }

// Takes blocks of `bytes` until the region has no room left: the first that does not
// follow the one before comes from the C library. Returns the region's blocks.
std::vector<void*> FillRegion(size_t bytes) {
  std::vector<void*> blocks;
  blocks.reserve(4096);
  void* last = std::malloc(bytes);
  blocks.push_back(last);
  for (;;) {
    void* block = std::malloc(bytes);
    if (Address(block) != Address(last) + bytes + 16) {
      std::free(block);
      return blocks;
    }
    blocks.push_back(block);
    last = block;
  }
}

TEST(StartHeap, SmallBlocksFollowEachOtherAndTheLastIsTakenBack) {
  char* a = static_cast<char*>(std::malloc(40));
  char* b = static_cast<char*>(std::malloc(1));
  char* c = static_cast<char*>(std::malloc(16));
  // 16 bytes of header, the block rounded up to 16.
  EXPECT_EQ(Address(b), Address(a) + 48 + 16);
  EXPECT_EQ(Address(c), Address(b) + 16 + 16);
  EXPECT_EQ(Address(a) % 16, 0u);
  // The C library's own query reads the header.
  EXPECT_EQ(malloc_usable_size(a), 48u);
  EXPECT_EQ(malloc_usable_size(b), 16u);

  // The last block's room is handed out again, cleared by calloc; an earlier block's is
  // not, and nothing after it moves.
  std::memset(c, 0x5A, 16);
  const uintptr_t cAt = Address(c);
  std::free(c);
  auto* zeroed = static_cast<unsigned char*>(std::calloc(4, 4));
  EXPECT_EQ(Address(zeroed), cAt);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(zeroed[i], 0) << i;
  std::free(a);
  void* after = std::malloc(40);
  EXPECT_EQ(Address(after), Address(zeroed) + 16 + 16);
  std::free(after);
  std::free(zeroed);
  std::free(b);
}

TEST(StartHeap, ReallocGrowsTheLastBlockInPlaceAndMovesTheOthers) {
  auto* first = static_cast<char*>(std::malloc(32));
  std::memcpy(first, "0123456789abcdefghijklmnopqrstu", 32);
  auto* grown = static_cast<char*>(std::realloc(first, 1000));
  EXPECT_EQ(grown, first);
  EXPECT_EQ(malloc_usable_size(grown), 1008u);
  EXPECT_EQ(std::realloc(grown, 10), grown);  // shrinking keeps the block

  void* blocker = std::malloc(16);
  auto* moved = static_cast<char*>(std::realloc(grown, 2000));
  EXPECT_NE(moved, grown);
  EXPECT_STREQ(moved, "0123456789abcdefghijklmnopqrstu");
  // Past the largest block the region serves, the C library's realloc takes over, the
  // content with it, and frees what the region gave.
  auto* large = static_cast<char*>(std::realloc(moved, 200000));
  ASSERT_NE(large, nullptr);
  EXPECT_STREQ(large, "0123456789abcdefghijklmnopqrstu");
  large[199999] = 1;
  large = static_cast<char*>(std::realloc(large, 300000));
  EXPECT_STREQ(large, "0123456789abcdefghijklmnopqrstu");
  std::free(large);
  EXPECT_EQ(std::realloc(blocker, 0), nullptr);
  void* empty = std::realloc(nullptr, 0);
  EXPECT_NE(empty, nullptr);
  std::free(empty);
}

TEST(StartHeap, OtherBlocksAndFailuresAreTheCLibrarys) {
  // What the C library allocates for itself, and its aligned blocks, are freed here.
  char* copy = strdup("label");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy, "label");
  std::free(copy);
  char* text = nullptr;
  ASSERT_GT(asprintf(&text, "%d x %d dots", 384, 28119), 0);
  std::free(text);
  void* aligned = std::aligned_alloc(4096, 8192);
  ASSERT_NE(aligned, nullptr);
  EXPECT_EQ(Address(aligned) % 4096, 0u);
  std::free(aligned);
  std::free(nullptr);

  errno = 0;
  volatile size_t huge = SIZE_MAX / 2;
  EXPECT_EQ(std::calloc(huge, 4), nullptr);
  EXPECT_EQ(errno, ENOMEM);
  errno = 0;
  EXPECT_EQ(reallocarray(nullptr, huge, 16), nullptr);
  EXPECT_EQ(errno, ENOMEM);
}

TEST(StartHeap, AFullRegionLeavesEveryBlockToTheCLibrary) {
  // The largest blocks the region serves, then the smallest, until neither fits.
  std::vector<void*> blocks = FillRegion(65536 - 16);
  ASSERT_GT(blocks.size(), 1u);
  EXPECT_LE(blocks.size(), 32u);
  std::vector<void*> small = FillRegion(16);
  auto* last = static_cast<char*>(small.back());
  std::memcpy(last, "fifteen letters", 16);
  // The last block cannot grow in place: it moves to the C library, content and all.
  auto* moved = static_cast<char*>(std::realloc(last, 100));
  ASSERT_NE(moved, nullptr);
  EXPECT_NE(moved, last);
  EXPECT_STREQ(moved, "fifteen letters");
  auto* cleared = static_cast<char*>(std::calloc(1, 4096));
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(cleared[i], 0);
  std::free(cleared);
  std::free(moved);
  for (void* block : small) std::free(block);
  for (void* block : blocks) std::free(block);
}

TEST(StartHeap, ThreadsGetBlocksOfTheirOwn) {
  // Each thread fills its blocks with its own byte and checks them before freeing; a race
  // in handing out or taking back room shows as another thread's byte.
  std::vector<std::thread> threads;
  std::vector<int> damaged(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &damaged] {
      std::vector<std::string> kept;
      for (int i = 0; i < 4000; ++i) {
        const size_t bytes = 1 + static_cast<size_t>(i * 37 + t) % 300;
        auto* block = static_cast<unsigned char*>(std::malloc(bytes));
        std::memset(block, t, bytes);
        if (i % 5 == 0) block = static_cast<unsigned char*>(std::realloc(block, bytes * 3));
        for (size_t k = 0; k < bytes; ++k) damaged[t] += block[k] != t;
        std::free(block);
        if (i % 50 == 0) kept.emplace_back(100, static_cast<char>('a' + t));
      }
      for (const std::string& s : kept) damaged[t] += s != std::string(100, static_cast<char>('a' + t));
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(damaged[t], 0) << t;
}

}  // namespace
