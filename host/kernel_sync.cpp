// SPDX-License-Identifier: Apache-2.0
// The thread's last error and critical sections.
#include <atomic>
#include <mutex>
#include <thread>

#include "host/host_internal.h"

namespace {
thread_local DWORD t_lastError = ERROR_SUCCESS;

// A critical section knows its owner, so that leaving one the thread does not hold, or
// deleting one still held, is counted as a bad release instead of undoing another thread's
// lock or destroying a held mutex.
struct HostLock {
  std::recursive_mutex mutex;
  std::atomic<std::thread::id> owner{};
  DWORD depth = 0;
};

HostLock* LockOf(LPCRITICAL_SECTION section) { return static_cast<HostLock*>(section->hostLock); }

bool HeldHere(const HostLock* lock) { return lock->owner.load() == std::this_thread::get_id(); }
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
  section->hostLock = new (std::nothrow) HostLock;
  if (!section->hostLock) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  host::internal::CountUp(host::internal::Live::Locks);
  return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  HostLock* lock = LockOf(section);
  lock->mutex.lock();
  lock->owner.store(std::this_thread::get_id());
  ++lock->depth;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  HostLock* lock = LockOf(section);
  if (!HeldHere(lock)) {
    host::internal::CountUp(host::internal::Live::BadReleases);
    return;
  }
  if (--lock->depth == 0) lock->owner.store(std::thread::id());
  lock->mutex.unlock();
}

// A section still held by another thread is left alive: its owner is still inside it.
void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  if (!section || !section->hostLock) return;
  HostLock* lock = LockOf(section);
  if (lock->owner.load() != std::thread::id()) {
    host::internal::CountUp(host::internal::Live::BadReleases);
    if (!HeldHere(lock)) return;
    for (; lock->depth > 0; --lock->depth) lock->mutex.unlock();
  }
  delete lock;
  section->hostLock = nullptr;
  host::internal::CountDown(host::internal::Live::Locks);
}

}  // extern "C"
