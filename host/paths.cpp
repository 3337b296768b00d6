// SPDX-License-Identifier: Apache-2.0
// Windows paths on the host file system: "C:\a\b.dll" (or "C:/a/b.dll") is the host file
// <root>/C/a/b.dll. Only fully qualified drive paths are mapped; anything a Windows program
// could use to reach outside the root (relative, UNC and device paths, ".." components) or
// that no Windows file name can hold is refused.
#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>

#include "host/host_internal.h"

namespace {

// Errors a Windows file call gives for a path it cannot use.
constexpr DWORD kErrorPathNotFound = 3;
constexpr DWORD kErrorInvalidName = 123;

struct RootState {
  std::mutex lock;
  bool loaded = false;               // the environment has been consulted
  std::optional<std::string> root;   // without a trailing '/'; "" is the host's "/"
  // Counts the changes of the root; a path mapped under an older count is stale.
  std::atomic<uint64_t> generation{0};
};

RootState& Root() {
  static RootState state;
  return state;
}

std::string StripTrailingSlashes(std::string directory) {
  while (!directory.empty() && directory.back() == '/') directory.pop_back();
  return directory;
}

// The root, taken from TQ33_WINDOWS_ROOT the first time it is needed unless a caller set
// one before; call with the state's lock held.
const std::optional<std::string>& RootLocked(RootState& state) {
  if (!state.loaded) {
    state.loaded = true;
    const char* fromEnvironment = std::getenv("TQ33_WINDOWS_ROOT");
    if (fromEnvironment && *fromEnvironment) state.root = StripTrailingSlashes(fromEnvironment);
  }
  return state.root;
}

std::optional<std::string> CurrentRoot() {
  RootState& state = Root();
  std::lock_guard guard(state.lock);
  return RootLocked(state);
}

// Replaces `out` with the root, with room for `more` bytes after it; false when there is
// none.
bool CopyRoot(std::string* out, size_t more) {
  RootState& state = Root();
  std::lock_guard guard(state.lock);
  const std::optional<std::string>& root = RootLocked(state);
  if (!root) return false;
  out->reserve(root->size() + more);
  out->assign(*root);
  return true;
}

bool IsSeparator(char16_t c) { return c == u'\\' || c == u'/'; }

// Characters that no Windows file name may contain: controls, wildcards, the stream
// separator ':' and the redirection characters.
bool IsForbiddenInName(char16_t c) {
  return c < 0x20 || c == u':' || c == u'*' || c == u'?' || c == u'"' || c == u'<' ||
         c == u'>' || c == u'|';
}

// Checks one path component and appends it to the host path. Returns the Windows error
// for a component that cannot be mapped, ERROR_SUCCESS otherwise.
DWORD AppendComponent(std::u16string_view component, std::string* hostPath) {
  if (component.empty() || component == u".") return ERROR_SUCCESS;
  // ".." would climb out of the root; longer runs of dots mean the same to Windows,
  // which strips trailing dots.
  if (component.find_first_not_of(u'.') == std::u16string_view::npos) return ERROR_BAD_PATHNAME;
  for (size_t i = 0; i < component.size(); ++i) {
    char16_t c = component[i];
    if (IsForbiddenInName(c)) return kErrorInvalidName;
    // A lone surrogate has no UTF-8 form: two different names would map to one file.
    if (c >= 0xD800 && c < 0xDC00) {
      if (i + 1 >= component.size() || component[i + 1] < 0xDC00 || component[i + 1] >= 0xE000)
        return kErrorInvalidName;
      ++i;
    } else if (c >= 0xDC00 && c < 0xE000) {
      return kErrorInvalidName;
    }
  }
  hostPath->push_back('/');
  host::internal::AppendUtf8(component, hostPath);
  return ERROR_SUCCESS;
}

// The paths a thread mapped last, with the root's count when they were mapped. A process
// asks for the same few files again and again (the driver, its model data and media
// definitions at every context), and checking a path, component by component, costs far
// more than comparing it with one mapped before.
struct MappedPath {
  uint64_t generation = 0;
  std::u16string windows;
  std::string host;
};

struct RecentPaths {
  std::array<MappedPath, 16> entries;
  size_t next = 0;  // the entry the next new path replaces
};

thread_local RecentPaths t_recent;

// Maps a path of known length, not looking at the recent ones. Returns ERROR_SUCCESS with
// the host path, or the error.
DWORD MapNewPath(std::u16string_view path, std::string* hostPath) {
  if (path.empty()) return kErrorPathNotFound;
  // MAX_PATH counts the terminator: the longest path the classic file calls accept.
  if (path.size() >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
  if (path.find(u'\0') != std::u16string_view::npos) return kErrorInvalidName;
  // Only "X:\..." is fully qualified. "X:a" is relative to the drive's current directory,
  // "\a" to the current drive, and "\\server\share" and "\\?\..." are not drive paths.
  char16_t drive = path[0];
  if (drive >= u'a' && drive <= u'z') drive = static_cast<char16_t>(drive - u'a' + u'A');
  if (path.size() < 3 || drive < u'A' || drive > u'Z' || path[1] != u':' ||
      !IsSeparator(path[2]))
    return ERROR_BAD_PATHNAME;
  // Most names are ASCII, a byte a unit, so the path is made without growing.
  std::string mapped;
  if (!CopyRoot(&mapped, path.size() + 1)) return kErrorPathNotFound;
  mapped.push_back('/');
  mapped.push_back(static_cast<char>(drive));
  size_t start = 3;
  while (start <= path.size()) {
    size_t end = start;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    DWORD error = AppendComponent(path.substr(start, end - start), &mapped);
    if (error != ERROR_SUCCESS) return error;
    start = end + 1;
  }
  *hostPath = std::move(mapped);
  return ERROR_SUCCESS;
}

DWORD MapPath(std::u16string_view path, std::string* hostPath) {
  // Read before the root is: a root changed while mapping leaves an entry already stale.
  const uint64_t generation = Root().generation.load(std::memory_order_acquire) + 1;
  for (const MappedPath& entry : t_recent.entries) {
    if (entry.generation == generation && entry.windows == path) {
      *hostPath = entry.host;
      return ERROR_SUCCESS;
    }
  }
  const DWORD error = MapNewPath(path, hostPath);
  if (error != ERROR_SUCCESS) return error;
  MappedPath& entry = t_recent.entries[t_recent.next];
  t_recent.next = (t_recent.next + 1) % t_recent.entries.size();
  // Valid only once both names are in place; a path that cannot be kept is still mapped.
  entry.generation = 0;
  try {
    entry.windows.assign(path);
    entry.host.assign(*hostPath);
    entry.generation = generation;
  } catch (const std::bad_alloc&) {
  }
  return ERROR_SUCCESS;
}

}  // namespace

namespace host {

void SetWindowsRoot(const std::string& directory) {
  RootState& state = Root();
  std::lock_guard guard(state.lock);
  state.loaded = true;
  if (directory.empty()) {
    state.root.reset();
  } else {
    state.root = StripTrailingSlashes(directory);
  }
  state.generation.fetch_add(1, std::memory_order_acq_rel);
}

std::string WindowsRoot() {
  std::optional<std::string> root = CurrentRoot();
  if (!root) return {};
  return root->empty() ? "/" : *root;
}

std::optional<std::string> ToHostPath(std::u16string_view windowsPath) {
  std::string hostPath;
  if (MapPath(windowsPath, &hostPath) != ERROR_SUCCESS) return std::nullopt;
  return hostPath;
}

namespace internal {

DWORD MapWindowsPath(const WCHAR* windowsPath, std::string* hostPath) {
  if (!windowsPath || !hostPath) return ERROR_INVALID_PARAMETER;
  const std::u16string_view path = BoundedText(windowsPath);
  if (path.size() == kMaxScan) return ERROR_FILENAME_EXCED_RANGE;
  return MapPath(path, hostPath);
}

}  // namespace internal
}  // namespace host
