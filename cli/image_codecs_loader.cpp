// SPDX-License-Identifier: Apache-2.0
// Loads the codec module once, on first use, from beside the driver library, as the
// driver finds its model-data library (not through a run path: a sanitizer's dlopen is
// not the program's, and would search its own).
#include <dlfcn.h>

#include <filesystem>
#include <mutex>
#include <string>

#include "cli/image_codecs.h"
#include "cli/tool.h"
#include "host/printer_installation.h"

namespace tq33cli {

const ImageCodecs& LoadImageCodecs() {
  static std::once_flag once;
  static const ImageCodecs* codecs = nullptr;
  static std::string failure;
  std::call_once(once, [] {
    // Kept loaded for the life of the process: the codecs are used until its end.
    const std::string driver = host::PrinterInstallation::LoadedDriverLibrary();
    if (driver.empty()) {
      failure = "the driver library's directory is not known";
      return;
    }
    const std::string path =
        (std::filesystem::path(driver).parent_path() / kImageCodecsModule).string();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
      const char* reason = dlerror();
      failure = reason ? reason : "not found";
      return;
    }
    auto entry = reinterpret_cast<ImageCodecsEntry>(dlsym(module, kImageCodecsEntry));
    const ImageCodecs* found = entry ? entry() : nullptr;
    if (!found || found->version != kImageCodecsVersion) {
      failure = std::string(kImageCodecsModule) + " is not this tool's codec module";
      dlclose(module);
      return;
    }
    codecs = found;
  });
  if (!codecs) Fail("cannot load the PNG and JPEG codecs: " + failure);
  return *codecs;
}

}  // namespace tq33cli
