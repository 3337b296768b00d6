// SPDX-License-Identifier: Apache-2.0
// Files held in memory at host paths: the file, version and library calls find them before
// the file system, so that a printer installation needs nothing on disk. A memory file is
// read straight from its bytes, and every view of all of it shares one guarded copy, so
// that opening, sizing and mapping it again costs no system call.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/host_internal.h"

namespace {

using host::internal::MemoryContent;

struct MemoryFile {
  std::shared_ptr<const MemoryContent> content;  // a file's bytes, or null for a library
  std::string library;                           // the host library a link names
};

// Hashed, as the paths of one installation share a long root that an ordered map would
// compare again at every step of a lookup; looked up by a view without a copy.
struct PathHash {
  using is_transparent = void;
  size_t operator()(std::string_view path) const { return std::hash<std::string_view>{}(path); }
};

struct MemoryTable {
  std::mutex lock;
  std::unordered_map<std::string, MemoryFile, PathHash, std::equal_to<>> files;
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

// Hands the entry at a path to `use`, under the table's lock; false when there is none.
template <typename Use>
bool Find(std::string_view hostPath, Use&& use) {
  MemoryTable& table = Table();
  std::lock_guard guard(table.lock);
  auto it = table.files.find(hostPath);
  if (it == table.files.end()) return false;
  use(it->second);
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
  std::shared_ptr<const MemoryContent> content;
  if (!Find(hostPath, [&](const MemoryFile& file) { content = file.content; }) || !content)
    return std::nullopt;
  return content->bytes();
}

bool IsMemoryFile(const std::string& hostPath) {
  return Find(hostPath, [](const MemoryFile&) {});
}

namespace internal {

namespace {

// A copy's pages are mapped twice: read-only where its holders read them, followed by an
// inaccessible guard page, and writable elsewhere, where the copy is written. So a copy
// is never made writable where it is read, and a region used again needs no change of
// protection: each change sends the other processors a flush of their translations,
// which cost a fuzzer that replaces a file for every input a tenth of its time.
struct Region {
  void* start;   // the read-only pages and the guard page
  BYTE* writer;  // the same pages, writable
  size_t bytes;  // of the read-only pages and the guard page
  size_t dataBytes;
};

// Regions of released copies, kept for the next copy of the same extent, whose data
// pages are cleared for it. Only small regions, a few of them.
constexpr size_t kKeptRegions = 8;
constexpr size_t kKeptRegionBytes = size_t{64} << 10;

struct KeptRegions {
  std::mutex lock;
  std::vector<Region> regions;
};

// Never destroyed: copies may be released after static destructors have run.
KeptRegions& Regions() {
  static KeptRegions* kept = new KeptRegions;
  return *kept;
}

void Unmap(const Region& region) {
  munmap(region.start, region.bytes);
  munmap(region.writer, region.dataBytes);
}

// A kept region of exactly these extents, its data pages zeroed; false when none.
bool TakeRegion(Region* region) {
  {
    KeptRegions& kept = Regions();
    std::lock_guard guard(kept.lock);
    for (auto it = kept.regions.begin(); it != kept.regions.end(); ++it) {
      if (it->bytes != region->bytes) continue;
      *region = *it;
      kept.regions.erase(it);
      break;
    }
  }
  if (!region->start) return false;
  std::memset(region->writer, 0, region->dataBytes);
  return true;
}

// A new region of these extents, its data pages zero; false when the memory or a mapping
// cannot be had.
bool MakeRegion(Region* region) {
  if (region->dataBytes > static_cast<size_t>(std::numeric_limits<off_t>::max())) return false;
  const int memory = memfd_create("guarded copy", MFD_CLOEXEC);
  if (memory < 0) return false;
  void* reader = MAP_FAILED;
  void* writer = MAP_FAILED;
  if (ftruncate(memory, static_cast<off_t>(region->dataBytes)) == 0) {
    writer = mmap(nullptr, region->dataBytes, PROT_READ | PROT_WRITE, MAP_SHARED, memory, 0);
    reader = mmap(nullptr, region->bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                  -1, 0);
    if (reader != MAP_FAILED &&
        mmap(reader, region->dataBytes, PROT_READ, MAP_SHARED | MAP_FIXED, memory, 0) ==
            MAP_FAILED) {
      munmap(reader, region->bytes);
      reader = MAP_FAILED;
    }
  }
  close(memory);  // the mappings hold the pages
  if (reader == MAP_FAILED || writer == MAP_FAILED) {
    if (reader != MAP_FAILED) munmap(reader, region->bytes);
    if (writer != MAP_FAILED) munmap(writer, region->dataBytes);
    return false;
  }
  region->start = reader;
  region->writer = static_cast<BYTE*>(writer);
  return true;
}

void GiveRegion(const Region& region) {
  if (region.bytes <= kKeptRegionBytes) {
    KeptRegions& kept = Regions();
    std::lock_guard guard(kept.lock);
    if (kept.regions.size() < kKeptRegions) {
      kept.regions.push_back(region);
      return;
    }
  }
  Unmap(region);
}

}  // namespace

GuardedCopy::~GuardedCopy() {
  if (region_) GiveRegion({region_, writer_, regionBytes_, dataPages_});
}

bool GuardedCopy::Reserve(size_t size) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (size > SIZE_MAX - 2 * page) return false;
  const size_t placed = (size + 15) / 16 * 16;
  // At least one page, which an empty copy ends at the end of.
  Region region{nullptr, nullptr, 0, placed ? (placed + page - 1) / page * page : page};
  region.bytes = region.dataBytes + page;
  if (!TakeRegion(&region) && !MakeRegion(&region)) return false;
  region_ = region.start;
  writer_ = region.writer;
  regionBytes_ = region.bytes;
  dataPages_ = region.dataBytes;
  base_ = static_cast<BYTE*>(region_) + (dataPages_ - placed);
  filled_ = writer_ + (dataPages_ - placed);
  return true;
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
  std::shared_ptr<const MemoryContent> found;
  if (!Find(hostPath, [&](const MemoryFile& file) { found = file.content; }))
    return MemoryEntry::None;
  if (!found) return MemoryEntry::Library;
  *content = std::move(found);
  return MemoryEntry::File;
}

int OpenReadOnly(const std::string& hostPath) {
  // O_NONBLOCK so that a FIFO in the way cannot hang the open.
  return open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
}

std::string LibraryPath(const std::string& hostPath) {
  std::string library = hostPath;
  Find(hostPath, [&](const MemoryFile& file) {
    if (!file.content) library = file.library;
  });
  return library;
}

}  // namespace internal
}  // namespace host
