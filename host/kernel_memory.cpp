// SPDX-License-Identifier: Apache-2.0
// Private heaps, global and local memory: blocks come from the C heap (so that the
// sanitizers see every overrun) and are tracked, so that a heap's destruction frees what is
// left in it and the tests can count what is still alive.
//
// Blocks of 256 KB and more (a page image, a page's stream, the diffusion's room for a long
// line; the engine's bitmaps take the same road) are mapped from the system on 2 MB
// boundaries and advised to be backed by huge pages: such a block is written whole, and the
// kernel faulting in and clearing its 4 KB pages one by one cost more than converting a
// page, most of all where a guest's page fault costs some 14 us. A block of 256 KB then
// holds 2 MB. Under the address sanitizer they come from the C heap like every other
// block, so that it sees their overruns.
//
// Large blocks freed while KeepLargeBlocks is on (the host's and the engine's bitmaps) are
// kept, poisoned for the address sanitizer, and handed out again to a later request,
// cleared first when it asks for zeros: a process printing page after page, or making
// context after context, then writes into memory it already has, instead of the C heap
// mapping fresh pages that the kernel must fault in and clear, and unmapping them again.
#include <sys/mman.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>

#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

#include "host/host_internal.h"

#if defined(__SANITIZE_ADDRESS__)
#define TQ33_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TQ33_ADDRESS_SANITIZER 1
#endif
#endif

using host::Call;
using host::internal::Live;

namespace {

using BlockSizes = std::unordered_map<void*, size_t>;  // block -> size

struct Heap {
  std::mutex lock;
  BlockSizes blocks;
};

// Global and local blocks: GMEM_FIXED/LMEM_FIXED only, so a handle is the block itself.
struct BlockTable {
  std::mutex lock;
  BlockSizes blocks;
};

// Entries of the block tables given back, for the next block of any table: a driver takes
// and frees hundreds of blocks a context, and the entry of each would otherwise be an
// allocation of its own beside the block's.
constexpr size_t kSpareEntries = 256;

struct SpareEntries {
  std::mutex lock;
  std::vector<BlockSizes::node_type> nodes;
};

// Never destroyed, as blocks may be freed after static destructors have run.
SpareEntries* Spares() {
  static SpareEntries* spares = [] {
    auto* made = new (std::nothrow) SpareEntries;
    if (made) {
      try {
        made->nodes.reserve(kSpareEntries);
      } catch (const std::bad_alloc&) {
        // No spares then: every entry is made and freed as it comes.
      }
    }
    return made;
  }();
  return spares;
}

// Records a block in a table; call with the table's lock held. Throws std::bad_alloc.
void Record(BlockSizes& blocks, void* block, size_t bytes) {
  BlockSizes::node_type node;
  if (SpareEntries* spares = Spares()) {
    std::lock_guard guard(spares->lock);
    if (!spares->nodes.empty()) {
      node = std::move(spares->nodes.back());
      spares->nodes.pop_back();
    }
  }
  if (node.empty()) {
    blocks.emplace(block, bytes);
    return;
  }
  node.key() = block;
  node.mapped() = bytes;
  blocks.insert(std::move(node));
}

// Removes a block's entry from a table and gives its size; call with the table's lock held.
size_t Unrecord(BlockSizes& blocks, BlockSizes::iterator entry) {
  BlockSizes::node_type node = blocks.extract(entry);
  const size_t bytes = node.mapped();
  if (SpareEntries* spares = Spares()) {
    std::lock_guard guard(spares->lock);
    // Within the room reserved, so the spare is kept without an allocation.
    if (spares->nodes.size() < spares->nodes.capacity()) spares->nodes.push_back(std::move(node));
  }
  return bytes;
}

BlockTable& GlobalBlocks() {
  static BlockTable table;
  return table;
}

BlockTable& LocalBlocks() {
  static BlockTable table;
  return table;
}

std::mutex& HeapListLock() {
  static std::mutex lock;
  return lock;
}

std::unordered_map<Heap*, bool>& HeapList() {
  static std::unordered_map<Heap*, bool> heaps;
  return heaps;
}

Heap* FindHeap(HANDLE handle) {
  std::lock_guard guard(HeapListLock());
  auto it = HeapList().find(static_cast<Heap*>(handle));
  return it == HeapList().end() ? nullptr : it->first;
}

#if defined(TQ33_ADDRESS_SANITIZER)
constexpr bool kMapsHugeBlocks = false;
#else
constexpr bool kMapsHugeBlocks = true;
#endif
constexpr size_t kHugeBlockBytes = size_t{1} << 18;
constexpr size_t kHugePageBytes = size_t{2} << 20;

// The blocks mapped from the system, by address, with the extent mapped.
struct HugeBlocks {
  std::mutex lock;
  std::unordered_map<void*, size_t> extents;
};

HugeBlocks& Huge() {
  static HugeBlocks* blocks = new HugeBlocks;  // never destroyed: blocks outlive statics
  return *blocks;
}

// A zeroed block of bytes on a 2 MB boundary, in whole 2 MB, advised to be backed by huge
// pages (advice only: nothing fails without them). Null when the system refuses.
void* MapHugeBlock(size_t bytes) {
  const size_t extent = (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  // A huge page more than needed, then the ends beyond the boundaries given back.
  void* mapped = mmap(nullptr, extent + kHugePageBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + kHugePageBytes - 1) & ~(uintptr_t{kHugePageBytes} - 1);
  const uintptr_t end = start + extent + kHugePageBytes;
  if (aligned > start) munmap(mapped, aligned - start);
  if (end > aligned + extent)
    munmap(reinterpret_cast<void*>(aligned + extent), end - aligned - extent);
  void* block = reinterpret_cast<void*>(aligned);
  madvise(block, extent, MADV_HUGEPAGE);
  try {
    HugeBlocks& huge = Huge();
    std::lock_guard guard(huge.lock);
    huge.extents.emplace(block, extent);
  } catch (const std::bad_alloc&) {
    munmap(block, extent);
    return nullptr;
  }
  return block;
}

// Blocks at least this large are kept when freed (while keeping is on), at most
// kKeptBlocks of them, the oldest given back first; a kept block serves a request of at
// least half its size. Below this size the sanitizer's allocator recycles blocks itself;
// above it, it maps and unmaps each one.
constexpr size_t kLargeBlockBytes = size_t{128} << 10;
constexpr size_t kKeptBlocks = 32;

struct KeptBlock {
  void* block;
  size_t bytes;
};

struct KeptBlocks {
  std::mutex lock;
  bool keep = false;
  std::deque<KeptBlock> blocks;  // oldest first
};

// Never destroyed: the leak checker runs after static destructors, and must still find
// the kept blocks referenced.
KeptBlocks& Kept() {
  static KeptBlocks* kept = new KeptBlocks;
  return *kept;
}

// A kept block that holds bytes, taken out of the store, or null.
void* TakeKept(size_t bytes) {
  KeptBlocks& kept = Kept();
  std::lock_guard guard(kept.lock);
  auto best = kept.blocks.end();
  for (auto it = kept.blocks.begin(); it != kept.blocks.end(); ++it) {
    if (it->bytes >= bytes && it->bytes / 2 <= bytes &&
        (best == kept.blocks.end() || it->bytes < best->bytes))
      best = it;
  }
  if (best == kept.blocks.end()) return nullptr;
  void* block = best->block;
  kept.blocks.erase(best);
  // What lies past the request stays poisoned: a read beyond it is still reported.
  ASAN_UNPOISON_MEMORY_REGION(block, bytes);
  return block;
}

}  // namespace

namespace host::internal {

// malloc of 0 bytes may return null; a zero-size block is still a block.
void* TakeBytes(size_t bytes, bool zero) {
  size_t size = bytes == 0 ? 1 : bytes;
  if (size >= kLargeBlockBytes) {
    if (void* block = TakeKept(size)) return zero ? std::memset(block, 0, size) : block;
  }
  return TakeMemory(size, zero);
}

void GiveBytes(void* block, size_t bytes) {
  if (bytes >= kLargeBlockBytes) {
    KeptBlocks& kept = Kept();
    std::unique_lock guard(kept.lock);
    if (kept.keep) {
      try {
        kept.blocks.push_back({block, bytes});
        ASAN_POISON_MEMORY_REGION(block, bytes);
        if (kept.blocks.size() <= kKeptBlocks) return;
        block = kept.blocks.front().block;
        bytes = kept.blocks.front().bytes;
        kept.blocks.pop_front();
        ASAN_UNPOISON_MEMORY_REGION(block, bytes);
      } catch (const std::bad_alloc&) {
        // No room in the store to keep it: it is given back at once.
      }
    }
  }
  GiveMemory(block);
}

}  // namespace host::internal

namespace {

using host::internal::GiveBytes;
using host::internal::TakeBytes;

HANDLE TableAlloc(BlockTable& table, Live kind, Call call, UINT flags, SIZE_T bytes,
                  UINT zeroFlag) {
  // Only fixed blocks exist here: a moveable block would need a lock/unlock protocol
  // that this driver never uses.
  if ((flags & ~zeroFlag) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (host::ShouldFail(call)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = TakeBytes(bytes, (flags & zeroFlag) != 0);
  if (!block) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  try {
    std::lock_guard guard(table.lock);
    Record(table.blocks, block, bytes);
  } catch (const std::bad_alloc&) {
    GiveBytes(block, bytes);
    return host::internal::OutOfMemory(nullptr);
  }
  host::internal::CountUp(kind);
  host::internal::BytesTaken(bytes);
  return block;
}

// Returns null on success and the block itself on failure, as GlobalFree does.
HANDLE TableFree(BlockTable& table, Live kind, HANDLE block) {
  if (!block) return nullptr;
  size_t bytes = 0;
  {
    std::lock_guard guard(table.lock);
    auto it = table.blocks.find(block);
    if (it == table.blocks.end()) {
      host::internal::CountUp(Live::BadReleases);
      SetLastError(ERROR_INVALID_HANDLE);
      return block;
    }
    bytes = Unrecord(table.blocks, it);
  }
  GiveBytes(block, bytes);
  host::internal::CountDown(kind);
  host::internal::BytesGiven(bytes);
  return nullptr;
}

}  // namespace

namespace host {

void KeepLargeBlocks(bool keep) {
  KeptBlocks& kept = Kept();
  std::deque<KeptBlock> released;
  {
    std::lock_guard guard(kept.lock);
    kept.keep = keep;
    if (!keep) released.swap(kept.blocks);
  }
  for (const KeptBlock& block : released) {
    ASAN_UNPOISON_MEMORY_REGION(block.block, block.bytes);
    internal::GiveMemory(block.block);
  }
}

namespace internal {

void* TakeMemory(size_t bytes, bool zero) {
  if (kMapsHugeBlocks && bytes >= kHugeBlockBytes) {
    if (void* block = MapHugeBlock(bytes)) return block;
  }
  return zero ? std::calloc(1, bytes) : std::malloc(bytes);
}

void GiveMemory(void* block) {
  if (kMapsHugeBlocks && block) {
    HugeBlocks& huge = Huge();
    std::unique_lock guard(huge.lock);
    auto it = huge.extents.find(block);
    if (it != huge.extents.end()) {
      const size_t extent = it->second;
      huge.extents.erase(it);
      guard.unlock();
      munmap(block, extent);
      return;
    }
  }
  std::free(block);
}

}  // namespace internal
}  // namespace host

extern "C" {

HANDLE WINAPI HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize) try {
  (void)initialSize;
  // Growable heaps only: the driver asks for no maximum and no options.
  if (options != 0 || maximumSize != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (host::ShouldFail(Call::HeapCreate)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  auto heap = std::make_unique<Heap>();
  {
    std::lock_guard guard(HeapListLock());
    HeapList().emplace(heap.get(), true);
  }
  host::internal::CountUp(Live::Heaps);
  return heap.release();
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(nullptr);
}

BOOL WINAPI HeapDestroy(HANDLE handle) {
  Heap* heap = FindHeap(handle);
  if (!heap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  {
    std::lock_guard guard(HeapListLock());
    HeapList().erase(heap);
  }
  while (!heap->blocks.empty()) {
    void* block = heap->blocks.begin()->first;
    const size_t bytes = Unrecord(heap->blocks, heap->blocks.begin());
    GiveBytes(block, bytes);
    host::internal::CountDown(Live::HeapBlocks);
    host::internal::BytesGiven(bytes);
  }
  delete heap;
  host::internal::CountDown(Live::Heaps);
  return TRUE;
}

LPVOID WINAPI HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) try {
  Heap* heap = FindHeap(handle);
  if (!heap || (flags & ~static_cast<DWORD>(HEAP_ZERO_MEMORY)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (host::ShouldFail(Call::HeapAlloc)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  void* block = TakeBytes(bytes, (flags & HEAP_ZERO_MEMORY) != 0);
  if (!block) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  try {
    std::lock_guard guard(heap->lock);
    Record(heap->blocks, block, bytes);
  } catch (const std::bad_alloc&) {
    GiveBytes(block, bytes);
    throw;
  }
  host::internal::CountUp(Live::HeapBlocks);
  host::internal::BytesTaken(bytes);
  return block;
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(nullptr);
}

BOOL WINAPI HeapFree(HANDLE handle, DWORD flags, LPVOID block) {
  (void)flags;
  Heap* heap = FindHeap(handle);
  if (!heap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!block) return TRUE;
  size_t bytes = 0;
  {
    std::lock_guard guard(heap->lock);
    auto it = heap->blocks.find(block);
    if (it == heap->blocks.end()) {
      host::internal::CountUp(Live::BadReleases);
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    bytes = Unrecord(heap->blocks, it);
  }
  GiveBytes(block, bytes);
  host::internal::CountDown(Live::HeapBlocks);
  host::internal::BytesGiven(bytes);
  return TRUE;
}

HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes) {
  return TableAlloc(GlobalBlocks(), Live::GlobalBlocks, Call::GlobalAlloc, flags, bytes,
                    GMEM_ZEROINIT);
}

HGLOBAL WINAPI GlobalFree(HGLOBAL block) {
  return TableFree(GlobalBlocks(), Live::GlobalBlocks, block);
}

HLOCAL WINAPI LocalAlloc(UINT flags, SIZE_T bytes) {
  return TableAlloc(LocalBlocks(), Live::LocalBlocks, Call::LocalAlloc, flags, bytes,
                    LMEM_ZEROINIT);
}

HLOCAL WINAPI LocalFree(HLOCAL block) {
  return TableFree(LocalBlocks(), Live::LocalBlocks, block);
}

}  // extern "C"
