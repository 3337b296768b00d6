// Files the tool reads and writes. Every output is written under a temporary name beside
// its final path and renamed into place only when it is complete, so that a failed
// command leaves no partial file behind.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace tq33cli {

// The whole file. Throws "cannot read WHAT PATH: reason" (status 1) when it cannot be
// read or is larger than limit bytes.
std::vector<uint8_t> ReadInputFile(const std::string& path, const std::string& what,
                                   size_t limit = size_t{64} << 20);

class PendingFile {
 public:
  // Creates the temporary file beside path; throws when it cannot.
  explicit PendingFile(std::string path);
  // Removes the temporary file unless it was committed.
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  // Appends bytes; false once a write has failed.
  bool Write(const void* bytes, size_t size);
  std::FILE* stream() const { return file_; }
  // Flushes, closes and renames the file into place; throws when any of it fails.
  void Commit();

 private:
  std::string path_;
  std::string temporary_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  bool committed_ = false;
};

}  // namespace tq33cli
