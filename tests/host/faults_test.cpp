// SPDX-License-Identifier: Apache-2.0
// The per-thread last error and the owner of a critical section, on which every failure
// test relies. (That the nth call of a kind fails, and it alone, every failure test and the
// fault sweep's "struck once" check rely on and hold.)
#include <thread>

#include "tests/support/host_test.h"

namespace {

using FaultsTest = HostTest;

TEST_F(FaultsTest, TheLastErrorBelongsToEachThread) {
  SetLastError(ERROR_INVALID_PARAMETER);
  DWORD seenThere = 1;
  std::thread other([&] {
    seenThere = GetLastError();
    SetLastError(ERROR_WRITE_FAULT);
  });
  other.join();
  EXPECT_EQ(seenThere, static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// Leaving a section the thread does not hold, or deleting one held, is counted as a bad release.
TEST_F(FaultsTest, ASectionLeftByAThreadThatDoesNotHoldItOrDeletedHeldIsABadRelease) {
  CRITICAL_SECTION lock;
  ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&lock, 0));
  LeaveCriticalSection(&lock);
  for (int i = 0; i < 2; ++i) EnterCriticalSection(&lock);
  LeaveCriticalSection(&lock);
  std::thread([&] { LeaveCriticalSection(&lock); }).join();
  DeleteCriticalSection(&lock);
  EXPECT_EQ(host::Live().badReleases, baseline_.badReleases += 3);
}

}  // namespace
