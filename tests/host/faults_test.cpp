// Failure injection and the per-thread last error, on which every failure test relies.
#include <thread>

#include "tests/support/host_test.h"

namespace {

using FaultsTest = HostTest;

TEST_F(FaultsTest, TheNthCallFailsAloneOrWithEveryLaterCallOfItsKind) {
  host::FailCall(host::Call::GlobalAlloc, 2);
  HGLOBAL first = GlobalAlloc(GPTR, 4), second = GlobalAlloc(GPTR, 4), third = GlobalAlloc(GPTR, 4);
  EXPECT_TRUE(first && !second && third);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  GlobalFree(first);
  GlobalFree(third);

  // Counted from the moment of asking, not from the last clear.
  host::FailCall(host::Call::GlobalAlloc, 2, true);
  HGLOBAL kept = GlobalAlloc(GPTR, 4);
  const bool laterOnesFail = !GlobalAlloc(GPTR, 4) && !GlobalAlloc(GPTR, 4);
  HLOCAL otherKind = LocalAlloc(LPTR, 4);
  EXPECT_TRUE(kept && laterOnesFail && otherKind);
  LocalFree(otherKind);
  GlobalFree(kept);
  EXPECT_EQ(host::FailuresStruck(), 3u);

  host::ClearFailures();
  EXPECT_EQ(host::CallCount(host::Call::GlobalAlloc), 0u);
  HGLOBAL again = GlobalAlloc(GPTR, 4);
  EXPECT_NE(again, nullptr);
  GlobalFree(again);
}

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

}  // namespace
