// SPDX-License-Identifier: Apache-2.0
// Directories and files of the host's installations, through the system's calls: the
// host library links no stream or file-system library of the C++ runtime, which would
// bring its locale machinery into every program's start.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "host/host_internal.h"

namespace host::internal {

std::string ParentDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string InDirectory(const std::string& directory, std::string_view name) {
  if (directory.empty()) return std::string(name);
  std::string path = directory;
  if (path.back() != '/') path += '/';
  return path.append(name);
}

bool MakeDirectories(const std::string& directory) {
  if (directory.empty()) return false;
  for (size_t end = directory.find('/', 1);; end = directory.find('/', end + 1)) {
    const std::string prefix = directory.substr(0, end);
    if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (end == std::string::npos) break;
  }
  struct stat status;
  return stat(directory.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool RemovePath(const std::string& path) { return std::remove(path.c_str()) == 0; }

void RemoveTree(const std::string& directory) {
  // Depth first, so that a directory is empty when its turn comes; links are removed,
  // not followed.
  nftw(
      directory.c_str(),
      [](const char* path, const struct stat*, int, FTW*) {
        std::remove(path);
        return 0;
      },
      16, FTW_DEPTH | FTW_PHYS);
}

bool FileExists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  // Read into the bytes themselves: room for the whole of a regular file and one byte
  // more, to meet its end; doubled for a file that grows, or a pipe.
  struct stat status;
  size_t room = 65536;
  if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size >= 0) {
    room = static_cast<size_t>(status.st_size) + 1;
  }
  std::vector<uint8_t> bytes(room);
  size_t filled = 0;
  for (;;) {
    if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
    const ssize_t got = read(fd, bytes.data() + filled, bytes.size() - filled);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return std::nullopt;
    }
    filled += static_cast<size_t>(got);
  }
  bytes.resize(filled);
  close(fd);
  return bytes;
}

bool WriteFileBytes(const std::string& path, const uint8_t* bytes, size_t size) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < size) {
    const ssize_t put = write(fd, bytes + done, size - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) break;
    done += static_cast<size_t>(put);
  }
  return close(fd) == 0 && done == size;
}

}  // namespace host::internal
