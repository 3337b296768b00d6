// SPDX-License-Identifier: Apache-2.0
// The tool's replacement of malloc and its family (cli/start_heap.cpp), linked into this
// program alone, without the sanitizers, which replace the same functions.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

uintptr_t Address(const void* block) { return reinterpret_cast<uintptr_t>(block); }

// Blocks of `bytes` until one does not follow the last: the region is then full.
std::vector<void*> FillRegion(size_t bytes) {
  std::vector<void*> blocks;
  blocks.reserve(4096);
  blocks.push_back(std::malloc(bytes));
  for (void* block = std::malloc(bytes); Address(block) == Address(blocks.back()) + bytes + 16;
       block = std::malloc(bytes)) {
    blocks.push_back(block);
  }
  return blocks;
}

TEST(StartHeap, BlocksFollowEachOtherAndOnlyTheLastIsTakenBackOrGrown) {
  char* a = static_cast<char*>(std::malloc(40));
  char* b = static_cast<char*>(std::malloc(1));
  char* c = static_cast<char*>(std::malloc(16));
  // 16 bytes of header, the block rounded up to 16; the C library's query reads the header.
  EXPECT_EQ(Address(b), Address(a) + 48 + 16);
  EXPECT_EQ(Address(c), Address(b) + 16 + 16);
  EXPECT_EQ(malloc_usable_size(a), 48u);
  std::memset(c, 0x5A, 16);
  const uintptr_t cAt = Address(c);
  std::free(c);
  auto* zeroed = static_cast<unsigned char*>(std::calloc(4, 4));
  EXPECT_EQ(Address(zeroed), cAt);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(zeroed[i], 0) << i;
  std::free(a);
  void* after = std::malloc(40);
  EXPECT_EQ(Address(after), Address(zeroed) + 32);

  // The last block grows in place; another moves, past 128 KB to the C library.
  std::strcpy(static_cast<char*>(after), "label");
  EXPECT_EQ(std::realloc(after, 1000), after);
  EXPECT_EQ(malloc_usable_size(after), 1008u);
  void* blocker = std::malloc(16);
  void* moved = std::realloc(after, 2000);
  EXPECT_NE(moved, after);
  auto* large = static_cast<char*>(std::realloc(moved, 200000));
  EXPECT_STREQ(large, "label");
  std::free(large);
  std::free(blocker);
  // The C library's aligned blocks are freed through it; sizes that overflow fail.
  std::free(std::aligned_alloc(4096, 8192));
  volatile size_t huge = SIZE_MAX / 2;
  errno = 0;
  EXPECT_EQ(std::calloc(huge, 4), nullptr);
  EXPECT_EQ(errno, ENOMEM);
}

TEST(StartHeap, AFullRegionLeavesEveryBlockToTheCLibrary) {
  std::vector<void*> blocks = FillRegion(65536 - 16);
  ASSERT_GT(blocks.size(), 1u);
  std::vector<void*> small = FillRegion(16);
  auto* last = static_cast<char*>(small.back());
  std::strcpy(last, "fifteen letters");
  // The last block cannot grow in place: it moves, content and all.
  auto* moved = static_cast<char*>(std::realloc(last, 100));
  EXPECT_NE(moved, last);
  EXPECT_STREQ(moved, "fifteen letters");
  std::free(moved);
}

TEST(StartHeap, ThreadsGetBlocksOfTheirOwn) {
  // A race in handing out or taking back room shows as another thread's byte. Once the
  // region is full the threads make the C library's first calls, whose set-up of its heap
  // must already have been made on the main thread: otherwise a thread's end may abort.
  std::vector<std::thread> threads;
  std::vector<int> damaged(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &damaged] {
      for (size_t i = 0, bytes = 1; i < 4000; ++i, bytes = 1 + (i * 37 + t) % 300) {
        auto* block = static_cast<unsigned char*>(std::realloc(std::malloc(bytes), bytes * 2));
        std::memset(block, t, bytes);
        damaged[t] += std::count(block, block + bytes, t) != static_cast<long>(bytes);
        std::free(block);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(damaged, std::vector<int>(4, 0));
}

}  // namespace
