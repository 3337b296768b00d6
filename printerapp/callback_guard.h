// SPDX-License-Identifier: Apache-2.0
// The framework calls the application from C, and no exception may cross its frames: one
// that tried would end the whole service, every printer's jobs with it. Each callback is
// handed over as NoThrow<Callback, Reporter>::Call, of the same signature, which turns an
// exception (running out of memory, in practice) into the callback's failure, told in
// words to Reporter::Report(first argument, words).
#pragma once

#include <exception>
#include <new>

namespace tq33app {

// The exception being handled, in words; allocates nothing.
inline const char* CurrentFailure() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "an unexpected failure";
  }
}

template <auto Callback, typename Reporter>
struct NoThrow;

// A callback that failed returns its result type's zero: false, null, 0 or nothing.
template <typename Result, typename First, typename... Rest, Result (*Callback)(First, Rest...),
          typename Reporter>
struct NoThrow<Callback, Reporter> {
  static Result Call(First first, Rest... rest) noexcept {
    try {
      return Callback(first, rest...);
    } catch (...) {
      Reporter::Report(first, CurrentFailure());
    }
    return Result();
  }
};

}  // namespace tq33app
