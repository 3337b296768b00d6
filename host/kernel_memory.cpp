// Private heaps, global and local memory: blocks come from the C heap (so that the
// sanitizers see every overrun) and are tracked, so that a heap's destruction frees what is
// left in it and the tests can count what is still alive.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "host/host_internal.h"

using host::Call;
using host::internal::Live;

namespace {

struct Heap {
  std::mutex lock;
  std::unordered_map<void*, size_t> blocks;  // block -> size
};

// Global and local blocks: GMEM_FIXED/LMEM_FIXED only, so a handle is the block itself.
struct BlockTable {
  std::mutex lock;
  std::unordered_map<void*, size_t> blocks;
};

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

// malloc of 0 bytes may return null; a zero-size block is still a block.
void* TakeBytes(size_t bytes, bool zero) {
  size_t size = bytes == 0 ? 1 : bytes;
  return zero ? std::calloc(1, size) : std::malloc(size);
}

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
  {
    std::lock_guard guard(table.lock);
    table.blocks.emplace(block, bytes);
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
      SetLastError(ERROR_INVALID_HANDLE);
      return block;
    }
    bytes = it->second;
    table.blocks.erase(it);
  }
  std::free(block);
  host::internal::CountDown(kind);
  host::internal::BytesGiven(bytes);
  return nullptr;
}

}  // namespace

extern "C" {

HANDLE WINAPI HeapCreate(DWORD options, SIZE_T initialSize, SIZE_T maximumSize) {
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
  Heap* heap = new Heap;
  {
    std::lock_guard guard(HeapListLock());
    HeapList().emplace(heap, true);
  }
  host::internal::CountUp(Live::Heaps);
  return heap;
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
  for (auto& [block, bytes] : heap->blocks) {
    std::free(block);
    host::internal::CountDown(Live::HeapBlocks);
    host::internal::BytesGiven(bytes);
  }
  delete heap;
  host::internal::CountDown(Live::Heaps);
  return TRUE;
}

LPVOID WINAPI HeapAlloc(HANDLE handle, DWORD flags, SIZE_T bytes) {
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
  {
    std::lock_guard guard(heap->lock);
    heap->blocks.emplace(block, bytes);
  }
  host::internal::CountUp(Live::HeapBlocks);
  host::internal::BytesTaken(bytes);
  return block;
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
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    bytes = it->second;
    heap->blocks.erase(it);
  }
  std::free(block);
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
