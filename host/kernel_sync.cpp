// SPDX-License-Identifier: Apache-2.0
// The thread's last error and critical sections.
#include <mutex>

#include "host/host_internal.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;
}

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }

void WINAPI SetLastError(DWORD error) { t_lastError = error; }

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION section, DWORD spinCount) {
  (void)spinCount;
  if (!section) return FALSE;
  section->hostLock = nullptr;
  if (host::ShouldFail(host::Call::LockCreate)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  section->hostLock = new std::recursive_mutex;
  host::internal::CountUp(host::internal::Live::Locks);
  return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->hostLock)->lock();
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  static_cast<std::recursive_mutex*>(section->hostLock)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  if (!section || !section->hostLock) return;
  delete static_cast<std::recursive_mutex*>(section->hostLock);
  section->hostLock = nullptr;
  host::internal::CountDown(host::internal::Live::Locks);
}

}  // extern "C"
