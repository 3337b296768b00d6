// SPDX-License-Identifier: Apache-2.0
// Files held in memory at host paths: the file, version and library calls find them before
// the file system, so that a printer installation needs nothing on disk. A memory file is
// read straight from its bytes, and every view of all of it shares one guarded copy, so
// that opening, sizing and mapping it again costs no system call.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "host/host_internal.h"

namespace {

using host::internal::MemoryContent;

struct MemoryFile {
  std::shared_ptr<const MemoryContent> content;  // a file's bytes, or null for a library
  std::string library;                           // the host library a link names
};

struct MemoryTable {
  std::mutex lock;
  std::map<std::string, MemoryFile, std::less<>> files;
};

MemoryTable& Table() {
  static MemoryTable table;
  return table;
}

void Put(std::string hostPath, MemoryFile file) {
  MemoryTable& table = Table();
  std::lock_guard guard(table.lock);
  table.files[std::move(hostPath)] = std::move(file);
}

bool Find(std::string_view hostPath, MemoryFile* found) {
  MemoryTable& table = Table();
  std::lock_guard guard(table.lock);
  auto it = table.files.find(hostPath);
  if (it == table.files.end()) return false;
  *found = it->second;
  return true;
}

}  // namespace

namespace host {

void SetMemoryFile(std::string hostPath, std::vector<uint8_t> bytes) {
  Put(std::move(hostPath),
      {std::make_shared<const MemoryContent>(std::move(bytes)), std::string()});
}

void SetMemoryLibrary(std::string hostPath, std::string hostLibrary) {
  Put(std::move(hostPath), {nullptr, std::move(hostLibrary)});
}

bool RemoveMemoryFile(const std::string& hostPath) {
  MemoryTable& table = Table();
  std::lock_guard guard(table.lock);
  return table.files.erase(hostPath) != 0;
}

std::optional<std::vector<uint8_t>> MemoryFileBytes(const std::string& hostPath) {
  MemoryFile file;
  if (!Find(hostPath, &file) || !file.content) return std::nullopt;
  return file.content->bytes();
}

bool IsMemoryFile(const std::string& hostPath) {
  MemoryFile file;
  return Find(hostPath, &file);
}

namespace internal {

namespace {

// Regions of released copies, kept for the next copy of the same extent: a process that
// replaces a file for every input (the fuzzers) would otherwise map, protect, fault in and
// unmap one for each. A kept region's guard page stays inaccessible; its data pages are
// made writable and cleared for the next copy. Only small regions, a few of them.
constexpr size_t kKeptRegions = 8;
constexpr size_t kKeptRegionBytes = size_t{64} << 10;

struct Region {
  void* start;
  size_t bytes;
};

struct KeptRegions {
  std::mutex lock;
  std::vector<Region> regions;
};

// Never destroyed: copies may be released after static destructors have run.
KeptRegions& Regions() {
  static KeptRegions* kept = new KeptRegions;
  return *kept;
}

// A kept region of exactly bytes, its data pages writable and zeroed; null when none.
void* TakeRegion(size_t bytes, size_t dataBytes) {
  void* start = nullptr;
  {
    KeptRegions& kept = Regions();
    std::lock_guard guard(kept.lock);
    for (auto it = kept.regions.begin(); it != kept.regions.end(); ++it) {
      if (it->bytes != bytes) continue;
      start = it->start;
      kept.regions.erase(it);
      break;
    }
  }
  if (!start) return nullptr;
  if (mprotect(start, dataBytes, PROT_READ | PROT_WRITE) != 0) {
    munmap(start, bytes);
    return nullptr;
  }
  std::memset(start, 0, dataBytes);
  return start;
}

void GiveRegion(void* start, size_t bytes) {
  if (bytes <= kKeptRegionBytes) {
    KeptRegions& kept = Regions();
    std::lock_guard guard(kept.lock);
    if (kept.regions.size() < kKeptRegions) {
      kept.regions.push_back({start, bytes});
      return;
    }
  }
  munmap(start, bytes);
}

}  // namespace

GuardedCopy::~GuardedCopy() {
  if (region_) GiveRegion(region_, regionBytes_);
}

bool GuardedCopy::Reserve(size_t size) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t placed = (size + 15) / 16 * 16;
  dataPages_ = (placed + page - 1) / page * page;
  regionBytes_ = dataPages_ + page;
  void* region = TakeRegion(regionBytes_, dataPages_);
  guarded_ = region != nullptr;
  if (!region) {
    region = mmap(nullptr, regionBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                  -1, 0);
    if (region == MAP_FAILED) return false;
  }
  region_ = region;
  base_ = static_cast<BYTE*>(region) + (dataPages_ - placed);
  return true;
}

bool GuardedCopy::Seal() {
  return mprotect(region_, dataPages_, PROT_READ) == 0 &&
         (guarded_ || mprotect(static_cast<BYTE*>(region_) + dataPages_,
                               regionBytes_ - dataPages_, PROT_NONE) == 0);
}

std::shared_ptr<const GuardedCopy> MemoryContent::WholeCopy() const {
  std::lock_guard guard(lock_);
  if (!whole_) {
    whole_ = GuardedCopy::Make(bytes_.size(), [this](BYTE* to) {
      if (!bytes_.empty()) std::memcpy(to, bytes_.data(), bytes_.size());
      return true;
    });
  }
  return whole_;
}

MemoryEntry FindMemoryFile(const std::string& hostPath,
                           std::shared_ptr<const MemoryContent>* content) {
  MemoryFile file;
  if (!Find(hostPath, &file)) return MemoryEntry::None;
  if (!file.content) return MemoryEntry::Library;
  *content = std::move(file.content);
  return MemoryEntry::File;
}

int OpenReadOnly(const std::string& hostPath) {
  // O_NONBLOCK so that a FIFO in the way cannot hang the open.
  return open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

std::string LibraryPath(const std::string& hostPath) {
  MemoryFile file;
  if (Find(hostPath, &file) && !file.content) return file.library;
  return hostPath;
}

}  // namespace internal
}  // namespace host
