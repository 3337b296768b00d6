// Failure injection and the per-thread last error, on which every failure test relies.
#include <thread>

#include "tests/support/host_test.h"

namespace {

using FaultsTest = HostTest;

TEST_F(FaultsTest, TheNthCallFailsAloneOrWithEveryLaterCallOfItsKind) {
  host::FailCall(host::Call::GlobalAlloc, 2);
  HGLOBAL first = GlobalAlloc(GPTR, 4);
  HGLOBAL second = GlobalAlloc(GPTR, 4);
  HGLOBAL third = GlobalAlloc(GPTR, 4);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_NE(third, nullptr);
  GlobalFree(first);
  GlobalFree(third);

  // Counted from the moment of asking, not from the last clear.
  host::FailCall(host::Call::GlobalAlloc, 2, true);
  HGLOBAL kept = GlobalAlloc(GPTR, 4);
  EXPECT_NE(kept, nullptr);
  EXPECT_EQ(GlobalAlloc(GPTR, 4), nullptr);
  EXPECT_EQ(GlobalAlloc(GPTR, 4), nullptr);
  HLOCAL otherKind = LocalAlloc(LPTR, 4);
  EXPECT_NE(otherKind, nullptr);
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
