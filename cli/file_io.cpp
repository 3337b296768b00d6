// Reading inputs whole and writing outputs by rename.
#include "cli/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "cli/tool.h"

namespace tq33cli {

std::vector<uint8_t> ReadInputFile(const std::string& path, const std::string& what, size_t limit) {
  auto failure = [&](const std::string& reason) {
    Fail("cannot read " + what + " " + path + ": " + reason);
  };
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) failure(std::strerror(errno));
  struct stat status {};
  if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) {
    std::fclose(file);
    failure("not a regular file");
  }
  if (static_cast<uint64_t>(status.st_size) > limit) {
    std::fclose(file);
    failure("larger than " + std::to_string(limit) + " bytes");
  }
  std::vector<uint8_t> bytes(static_cast<size_t>(status.st_size));
  size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), file);
  bool error = std::ferror(file) != 0;
  std::fclose(file);
  if (error || got != bytes.size()) failure("read error");
  return bytes;
}

PendingFile::PendingFile(std::string path) : path_(std::move(path)) {
  temporary_ = path_ + ".tmp-XXXXXX";
  int descriptor = mkstemp(temporary_.data());
  if (descriptor < 0) Fail("cannot write " + path_ + ": " + std::strerror(errno));
  // mkstemp makes the file private; the finished file gets the usual permissions.
  mode_t mask = umask(0);
  umask(mask);
  fchmod(descriptor, 0666 & ~mask);
  file_ = fdopen(descriptor, "wb");
  if (!file_) {
    close(descriptor);
    unlink(temporary_.c_str());
    Fail("cannot write " + path_ + ": " + std::strerror(errno));
  }
}

PendingFile::~PendingFile() {
  if (file_) std::fclose(file_);
  if (!committed_) unlink(temporary_.c_str());
}

bool PendingFile::Write(const void* bytes, size_t size) {
  if (failed_) return false;
  if (size != 0 && std::fwrite(bytes, 1, size, file_) != size) failed_ = true;
  return !failed_;
}

void PendingFile::Commit() {
  bool ok = !failed_ && std::fflush(file_) == 0;
  int closed = std::fclose(file_);
  file_ = nullptr;
  if (!ok || closed != 0) Fail("cannot write " + path_ + ": " + std::strerror(errno));
  if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    Fail("cannot write " + path_ + ": " + std::strerror(errno));
  }
  committed_ = true;
}

}  // namespace tq33cli
