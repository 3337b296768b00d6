// SPDX-License-Identifier: Apache-2.0
// A lock for code that builds for Windows as well as for the Linux host: the model-data
// library, and the host's engine and spooler (the stand-in libraries of wine/).
//
// On Windows it is a slim reader/writer lock of the system: it needs neither creation nor
// deletion, so it cannot fail and leaves nothing to set up at load (and the cross
// compiler's win32 thread model has no std::mutex). On Linux it is std::mutex.
#pragma once

#include <mutex>

#include "platform/platform.h"

#if defined(_WIN32)
class SlimLock {
 public:
  void lock() { AcquireSRWLockExclusive(&lock_); }
  void unlock() { ReleaseSRWLockExclusive(&lock_); }

 private:
  SRWLOCK lock_ = SRWLOCK_INIT;
};
#else
using SlimLock = std::mutex;
#endif
