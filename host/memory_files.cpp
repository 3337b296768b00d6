// Files held in memory at host paths: the file, version and library calls find them before
// the file system, so that a printer installation needs nothing on disk. A memory file opens
// as an anonymous file of its own bytes, so that the calls read it exactly as they read a
// file on disk.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <memory>
#include <mutex>

#include "host/host_internal.h"

namespace {

struct MemoryFile {
  std::shared_ptr<const std::vector<uint8_t>> bytes;  // a file's bytes, or null for a library
  std::string library;                                // the host library a link names
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
      {std::make_shared<const std::vector<uint8_t>>(std::move(bytes)), std::string()});
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
  if (!Find(hostPath, &file) || !file.bytes) return std::nullopt;
  return *file.bytes;
}

bool IsMemoryFile(const std::string& hostPath) {
  MemoryFile file;
  return Find(hostPath, &file);
}

namespace internal {

int OpenReadOnly(const std::string& hostPath) {
  MemoryFile file;
  if (!Find(hostPath, &file)) {
    // O_NONBLOCK so that a FIFO in the way cannot hang the open.
    return open(hostPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  }
  if (!file.bytes) {
    errno = EACCES;  // a library is loaded, not read
    return -1;
  }
  int descriptor = memfd_create("tq33-memory-file", MFD_CLOEXEC);
  if (descriptor < 0) return -1;
  const std::vector<uint8_t>& bytes = *file.bytes;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t put = pwrite(descriptor, bytes.data() + done, bytes.size() - done,
                         static_cast<off_t>(done));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      const int error = put < 0 ? errno : EIO;
      close(descriptor);
      errno = error;
      return -1;
    }
    done += static_cast<size_t>(put);
  }
  return descriptor;
}

std::string LibraryPath(const std::string& hostPath) {
  MemoryFile file;
  if (Find(hostPath, &file) && !file.bytes) return file.library;
  return hostPath;
}

}  // namespace internal
}  // namespace host
