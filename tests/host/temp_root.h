// SPDX-License-Identifier: Apache-2.0
// A throw-away Windows root for host tests: a temporary directory that Windows paths map
// into for the life of the object, removed with everything in it afterwards.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "host/host.h"

namespace test {

class TempRoot {
 public:
  TempRoot() : saved_(host::WindowsRoot()) {
    char pattern[] = "/tmp/tq33-host-XXXXXX";
    const char* made = mkdtemp(pattern);
    directory_ = made ? made : "";
    host::SetWindowsRoot(directory_);
  }
  ~TempRoot() {
    host::SetWindowsRoot(saved_);
    std::error_code ignored;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;

  // Writes a file at a Windows path, creating its directories; returns its host path.
  std::string Write(std::u16string_view windowsPath, std::string_view bytes) const {
    std::string path = host::ToHostPath(windowsPath).value_or("");
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
    return path;
  }

  const std::string& directory() const { return directory_; }

 private:
  std::string saved_;
  std::string directory_;
};

}  // namespace test
