// SPDX-License-Identifier: Apache-2.0
// Reading inputs whole, writing files by rename and streams in place.
#include "cli/file_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/tool.h"

namespace tq33cli {
namespace {

// Links followed before a path counts as a loop, as the kernel counts them.
constexpr int kMaxLinks = 40;
constexpr size_t kReadChunk = size_t{64} << 10;
// The major number of /dev/null, /dev/zero and /dev/full.
constexpr unsigned kMemoryDevices = 1;

// The directory part of a path, "." when it has none.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Whether a path names one of the process's open descriptors (/dev/stdout leads there).
bool IsDescriptorPath(const std::string& path) {
  for (const char* prefix : {"/proc/self/fd/", "/proc/thread-self/fd/", "/dev/fd/"}) {
    if (path.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

// The path with every symbolic link at its end followed: the file an output replaces.
// Empty for a path that leads to an open descriptor: whatever that is, it is written in
// place, as standard output is.
std::string FollowLinks(const std::string& path, const std::string& name) {
  std::string current = path;
  for (int i = 0; i < kMaxLinks; ++i) {
    if (IsDescriptorPath(current)) return {};
    struct stat status {};
    if (lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return current;
    char target[PATH_MAX];
    const ssize_t length = readlink(current.c_str(), target, sizeof(target));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(target)) {
      Fail("cannot write " + name + ": cannot read the link " + current);
    }
    std::string next(target, static_cast<size_t>(length));
    current = next[0] == '/' ? next : DirectoryOf(current) + "/" + next;
  }
  Fail("cannot write " + name + ": too many levels of symbolic links");
}

// Writes all bytes to a descriptor, resuming after interruptions; false with errno set.
bool WriteAll(int descriptor, const uint8_t* bytes, size_t size) {
  while (size > 0) {
    const ssize_t written = write(descriptor, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

std::string InputName(const std::string& path) { return path == "-" ? "standard input" : path; }
std::string OutputName(const std::string& path) { return path == "-" ? "standard output" : path; }

bool IsStreamInput(const std::string& path) {
  struct stat status {};
  return path == "-" ||
         (stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode));
}

std::vector<uint8_t> ReadInputFile(const std::string& path, const std::string& what, size_t limit) {
  const std::string name = InputName(path);
  auto failure = [&](const std::string& reason) {
    Fail("cannot read " + what + " " + name + ": " + reason);
  };
  const bool standardInput = path == "-";
  const int descriptor = standardInput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) failure(std::strerror(errno));
  auto close = [&] {
    if (!standardInput) ::close(descriptor);
  };
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    const int error = errno;
    close();
    failure(std::strerror(error));
  }
  if (S_ISDIR(status.st_mode)) {
    close();
    failure("is a directory");
  }
  if (S_ISREG(status.st_mode) && static_cast<uint64_t>(status.st_size) > limit) {
    close();
    failure("larger than " + std::to_string(limit) + " bytes");
  }
  // A regular file is read in one piece of its size; a pipe or a device to its end.
  std::vector<uint8_t> bytes;
  if (S_ISREG(status.st_mode)) bytes.reserve(static_cast<size_t>(status.st_size));
  for (;;) {
    const size_t start = bytes.size();
    if (start > limit) {
      close();
      failure("larger than " + std::to_string(limit) + " bytes");
    }
    bytes.resize(start + kReadChunk);
    const ssize_t got = read(descriptor, bytes.data() + start, kReadChunk);
    if (got < 0 && errno == EINTR) {
      bytes.resize(start);
      continue;
    }
    if (got < 0) {
      const int error = errno;
      close();
      failure(std::strerror(error));
    }
    bytes.resize(start + static_cast<size_t>(got));
    if (got == 0) break;
  }
  close();
  return bytes;
}

OutputFile::OutputFile(const std::string& path) : name_(OutputName(path)) {
  auto failure = [&](const std::string& reason) { Fail("cannot write " + name_ + ": " + reason); };
  if (path.empty()) failure("no file name");
  if (path == "-") {
    descriptor_ = STDOUT_FILENO;
    ownsDescriptor_ = false;
    streamed_ = true;
    return;
  }
  // "dir/" names a directory, whether or not it exists.
  if (path.back() == '/') {
    struct stat status {};
    failure(stat(path.c_str(), &status) == 0 ? "is a directory" : "no such directory");
  }
  target_ = FollowLinks(path, name_);
  if (target_.empty()) {
    // Appending leaves alone what the shell's redirection put there before.
    descriptor_ = open(path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_CLOEXEC);
    if (descriptor_ < 0) failure(std::strerror(errno));
    streamed_ = true;
    return;
  }
  struct stat status {};
  mode_t mode = 0;
  if (stat(target_.c_str(), &status) == 0) {
    if (S_ISDIR(status.st_mode)) failure("is a directory");
    if (!S_ISREG(status.st_mode)) {
      // A device, a FIFO or a socket: written in place, never replaced.
      descriptor_ = open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      if (descriptor_ < 0) failure(std::strerror(errno));
      streamed_ = true;
      return;
    }
    mode = status.st_mode & 07777;
  } else if (errno == ENOENT) {
    const std::string directory = DirectoryOf(target_);
    struct stat parent {};
    if (stat(directory.c_str(), &parent) != 0) failure("no such directory " + directory);
    if (!S_ISDIR(parent.st_mode)) failure(directory + " is not a directory");
    // A new file gets the usual permissions; mkstemp makes it private.
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  } else {
    failure(std::strerror(errno));
  }
  temporary_ = target_ + ".tmp-XXXXXX";
  descriptor_ = mkstemp(temporary_.data());
  if (descriptor_ < 0) {
    // The file is replaced by a new one made beside it, which some directories (/proc,
    // a read-only one) cannot hold: that is the cause, whatever the file itself allows.
    const int error = errno;
    temporary_.clear();
    failure("cannot make the file that replaces it in " + DirectoryOf(target_) + " (" +
            std::strerror(error) + ")");
  }
  // The replaced file's permissions carry over to its successor.
  fchmod(descriptor_, mode);
}

OutputFile::~OutputFile() {
  if (descriptor_ >= 0 && ownsDescriptor_) close(descriptor_);
  if (!temporary_.empty() && !committed_) unlink(temporary_.c_str());
}

bool OutputFile::characterDevice() const {
  // Memory devices (/dev/null, /dev/zero, /dev/full) are character devices too, but no
  // printer's.
  struct stat status {};
  return streamed_ && fstat(descriptor_, &status) == 0 && S_ISCHR(status.st_mode) &&
         major(status.st_rdev) != kMemoryDevices;
}

bool OutputFile::Write(const void* bytes, size_t size) {
  if (error_ != 0) return false;
  if (!WriteAll(descriptor_, static_cast<const uint8_t*>(bytes), size)) error_ = errno;
  return error_ == 0;
}

void OutputFile::FailWrite() const {
  Fail("cannot write " + name_ + ": " + std::strerror(error_ != 0 ? error_ : EIO));
}

void OutputFile::Commit() {
  if (error_ != 0) FailWrite();
  if (ownsDescriptor_) {
    const int closed = close(descriptor_);
    descriptor_ = -1;
    if (closed != 0) {
      error_ = errno;
      FailWrite();
    }
  }
  if (!temporary_.empty() && std::rename(temporary_.c_str(), target_.c_str()) != 0) {
    error_ = errno;
    FailWrite();
  }
  committed_ = true;
}

}  // namespace tq33cli
