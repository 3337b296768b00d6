// SPDX-License-Identifier: Apache-2.0
// Files the tool reads and writes. "-" is standard input or standard output. An output
// that is a regular file (or a link to one) is written under a temporary name beside it
// and renamed into place only when it is complete, so that a failed command leaves no
// partial file behind; a device, a FIFO or standard output (also as /dev/stdout or another
// open descriptor) is written in place as the bytes come, since renaming over it would
// replace it with a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tq33cli {

// How messages name a path: "standard input" or "standard output" for "-".
std::string InputName(const std::string& path);
std::string OutputName(const std::string& path);

// The whole file, standard input for "-"; pipes and devices are read to their end.
// Throws "cannot read WHAT NAME: reason" (status 1) when it cannot be read, is a
// directory or is larger than limit bytes.
std::vector<uint8_t> ReadInputFile(const std::string& path, const std::string& what,
                                   size_t limit = size_t{64} << 20);

// Whether path is "-" or names something other than a regular file (a pipe, a device),
// which can be read only once and from the start.
bool IsStreamInput(const std::string& path);

class OutputFile {
 public:
  // Opens the output: a temporary file beside a regular file (following links to it), or
  // the device, FIFO or standard output itself. Throws, naming the cause ("is a
  // directory", "no such directory"), when it cannot.
  explicit OutputFile(const std::string& path);
  // Removes the temporary file unless it was committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Appends bytes; a stream receives them before the call returns. False once a write
  // has failed, with the error in error().
  bool Write(const void* bytes, size_t size);
  int error() const { return error_; }
  // Whether the output is written in place rather than renamed into place.
  bool streamed() const { return streamed_; }
  // Whether it is a character device other than /dev/null and its kin: a printer's.
  bool characterDevice() const;
  // Closes the output and renames a file into place; throws when any of it fails.
  void Commit();
  // "cannot write NAME: reason" of the failed write.
  [[noreturn]] void FailWrite() const;

 private:
  std::string name_;       // as messages name it
  std::string target_;     // the file renamed over, links resolved
  std::string temporary_;  // empty for a stream
  int descriptor_ = -1;
  bool ownsDescriptor_ = true;
  bool streamed_ = false;
  bool committed_ = false;
  int error_ = 0;
};

}  // namespace tq33cli
