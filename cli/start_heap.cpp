// SPDX-License-Identifier: Apache-2.0
// The program's malloc, free, calloc and realloc: the small blocks of a run handed out in
// order from one region on a huge page, the rest left to the C library.
//
// A run of the tool is mostly start-up: the C++ runtime, the option parser, the
// installation in memory, the driver's contexts and the report fill some hundreds of
// kilobytes of small blocks. From the C library's heap every fresh page of them is a page
// fault, and where the hypervisor keeps the guest's page tables a fault costs several
// microseconds; the region is one fault. Without huge pages it is ordinary memory,
// faulted a page at a time like the heap.
//
// The C library lets a program replace these functions. Its aligned allocations
// (memalign and the like) still come from it, and free hands back to it every block the
// region did not serve. A block's 16-byte header reads as the header the C library gives
// a block it mapped by itself, its size with the "mapped" bit, so that its
// malloc_usable_size answers for the region's blocks too. A freed block is taken back
// only when it is the last handed out; otherwise its room stays unused, which bounds what
// is lost to the region's 2 MB.
//
// Linked into the optimised programs only: the sanitizers replace the same functions.
#include <malloc.h>
#include <sys/mman.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

extern "C" {
void* __libc_malloc(size_t bytes);
void __libc_free(void* block);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t bytes);
}

namespace {

constexpr size_t kRegionBytes = size_t{2} << 20;
// Larger requests are left to the C library, which maps blocks of that size by themselves.
// Below it, the C++ runtime's emergency exception pool of each module (71 KB) comes from
// the region, untouched, where the C library's heap would fault in its ends.
constexpr size_t kLargestBlock = size_t{128} << 10;
constexpr size_t kHeaderBytes = 16;
// The C library's flag, in a block header's size word, for a block it mapped by itself,
// and the three flag bits of that word.
constexpr size_t kMappedBit = 2;
constexpr size_t kFlagBits = 7;

// The C library counts a mapped block from two size words before the block, and its
// usable bytes from there less those two words.
constexpr size_t kChunkOffset = 2 * sizeof(size_t);

std::atomic<uintptr_t> next{0};  // 0 until the region is mapped
uintptr_t regionBegin = 0;
uintptr_t regionEnd = 0;
// 0 before the region is mapped, 1 while a thread maps it, 2 once mapped, 3 when it could
// not be: then every block comes from the C library.
std::atomic<int> state{0};

constexpr size_t Rounded(size_t bytes) { return (bytes + 15) & ~size_t{15}; }

bool Owns(const void* block) {
  const auto at = reinterpret_cast<uintptr_t>(block);
  return at >= regionBegin && at < regionEnd;
}

// The bytes a block of the region spans, its header included.
size_t Span(const void* block) {
  const size_t word = reinterpret_cast<const size_t*>(block)[-1] & ~kFlagBits;
  return word + kHeaderBytes - kChunkOffset;
}

size_t Capacity(const void* block) { return Span(block) - kHeaderBytes; }

void* Stamp(uintptr_t at, size_t span) {
  auto* block = reinterpret_cast<size_t*>(at + kHeaderBytes);
  block[-2] = 0;
  block[-1] = (span - kHeaderBytes + kChunkOffset) | kMappedBit;
  return block;
}

// Maps the region on the first call: twice its size reserved, so that an aligned huge
// page lies within; the rest is never touched. Calls nothing that allocates.
//
// The C library sets its own heap up on its first call, for the thread that makes it, as
// if that thread were the program's first: it takes the main arena without counting
// itself among the arena's threads. Once the region serves the main thread's blocks, that
// first call could come from threads started later, at once from several, and their ends
// then count the main arena's threads below zero (glibc aborts: "a->attached_threads >
// 0"). So the first call, at the program's start on the main thread, also sets the C
// library's heap up: a query of its figures does that and allocates nothing.
bool Ready() {
  int now = state.load(std::memory_order_acquire);
  if (now == 2) return true;
  if (now != 0 || !state.compare_exchange_strong(now, 1, std::memory_order_acquire)) {
    return false;
  }
  const int saved = errno;
  (void)mallinfo2();
  void* map = mmap(nullptr, 2 * kRegionBytes, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (map == MAP_FAILED) {
    errno = saved;
    state.store(3, std::memory_order_release);
    return false;
  }
  const uintptr_t begin =
      (reinterpret_cast<uintptr_t>(map) + kRegionBytes - 1) & ~(kRegionBytes - 1);
  madvise(reinterpret_cast<void*>(begin), kRegionBytes, MADV_HUGEPAGE);
  errno = saved;
  regionBegin = begin;
  regionEnd = begin + kRegionBytes;
  next.store(begin, std::memory_order_relaxed);
  state.store(2, std::memory_order_release);
  return true;
}

void* Take(size_t bytes) {
  if (bytes > kLargestBlock || !Ready()) return nullptr;
  const size_t span = kHeaderBytes + Rounded(bytes == 0 ? 1 : bytes);
  uintptr_t at = next.load(std::memory_order_relaxed);
  do {
    if (regionEnd - at < span) return nullptr;
  } while (!next.compare_exchange_weak(at, at + span, std::memory_order_relaxed));
  return Stamp(at, span);
}

// Takes a block back when it is the last handed out.
void Give(void* block) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(block) - kHeaderBytes;
  uintptr_t end = at + Span(block);
  next.compare_exchange_strong(end, at, std::memory_order_relaxed);
}

// Grows a block in place when it is the last handed out and the room allows.
bool Grow(void* block, size_t bytes) {
  if (bytes <= Capacity(block)) return true;
  if (bytes > kLargestBlock) return false;
  const uintptr_t at = reinterpret_cast<uintptr_t>(block) - kHeaderBytes;
  const size_t span = kHeaderBytes + Rounded(bytes);
  uintptr_t end = at + Span(block);
  if (regionEnd - at < span ||
      !next.compare_exchange_strong(end, at + span, std::memory_order_relaxed)) {
    return false;
  }
  Stamp(at, span);
  return true;
}

bool Overflows(size_t count, size_t size) {
  if (size == 0 || count <= SIZE_MAX / size) return false;
  errno = ENOMEM;
  return true;
}

}  // namespace

extern "C" {

void* malloc(size_t bytes) {
  if (void* block = Take(bytes)) return block;
  return __libc_malloc(bytes);
}

void free(void* block) {
  if (Owns(block)) {
    Give(block);
  } else if (block) {
    __libc_free(block);
  }
}

void* calloc(size_t count, size_t size) {
  if (Overflows(count, size)) return nullptr;
  // Room taken back is handed out again, so it is cleared.
  if (void* block = Take(count * size)) return std::memset(block, 0, count * size);
  return __libc_calloc(count, size);
}

void* realloc(void* block, size_t bytes) {
  if (!block) return malloc(bytes);
  if (!Owns(block)) return __libc_realloc(block, bytes);
  if (bytes == 0) {
    Give(block);
    return nullptr;
  }
  if (Grow(block, bytes)) return block;
  void* moved = malloc(bytes);
  if (!moved) return nullptr;
  std::memcpy(moved, block, Capacity(block));
  Give(block);
  return moved;
}

void* reallocarray(void* block, size_t count, size_t size) {
  return Overflows(count, size) ? nullptr : realloc(block, count * size);
}

}  // extern "C"
