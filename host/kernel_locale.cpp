// SPDX-License-Identifier: Apache-2.0
// The user's locale (GetLocaleInfoW), set by tests through host::SetLocale.
#include <mutex>

#include "host/host_internal.h"

namespace {

constexpr DWORD kErrorInvalidFlags = 1004;
// Asks for the value as the system has it, without the user's overrides: same answer here.
constexpr LCTYPE kNoUserOverride = 0x80000000u;

struct LocaleState {
  std::mutex lock;
  std::u16string country = u"44";
  std::u16string measure = u"0";
};

LocaleState& Locale() {
  static LocaleState state;
  return state;
}

}  // namespace

namespace host {

void SetLocale(std::u16string country, std::u16string measure) {
  LocaleState& state = Locale();
  std::lock_guard guard(state.lock);
  state.country = std::move(country);
  state.measure = std::move(measure);
}

namespace internal {

void ResetLocale() {
  LocaleState& state = Locale();
  std::lock_guard guard(state.lock);
  state.country = u"44";
  state.measure = u"0";
}

}  // namespace internal
}  // namespace host

extern "C" {

int WINAPI GetLocaleInfoW(LCID locale, LCTYPE type, LPWSTR data, int chars) try {
  if (locale != LOCALE_USER_DEFAULT || chars < 0 || (chars > 0 && !data)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string value;
  {
    LocaleState& state = Locale();
    std::lock_guard guard(state.lock);
    switch (type & ~kNoUserOverride) {
      case LOCALE_ICOUNTRY:
        value = state.country;
        break;
      case LOCALE_IMEASURE:
        value = state.measure;
        break;
      default:
        SetLastError(kErrorInvalidFlags);
        return 0;
    }
  }
  if (host::ShouldFail(host::Call::GetLocaleInfo)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  // Lengths count characters, the terminator included.
  size_t needed = value.size() + 1;
  if (needed > static_cast<size_t>(INT32_MAX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (chars == 0) return static_cast<int>(needed);
  if (static_cast<size_t>(chars) < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  value.copy(data, value.size());
  data[value.size()] = 0;
  return static_cast<int>(needed);
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(0);
}

}  // extern "C"
