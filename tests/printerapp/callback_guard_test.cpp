// SPDX-License-Identifier: Apache-2.0
// What the framework's callbacks become when their work throws: the callback's failure,
// told in words to the log of what it was called for, never an exception in C frames.
#include "printerapp/callback_guard.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Job {
  int id;
};

struct Told {
  static std::vector<std::pair<int, std::string>> reports;
  static void Report(Job* job, const char* failure) noexcept { reports.emplace_back(job->id, failure); }
  static void Report(int, const char* failure) noexcept { reports.emplace_back(-1, failure); }
};
std::vector<std::pair<int, std::string>> Told::reports;

bool StartsPage(Job* job, unsigned page) {
  if (page == 2) throw std::bad_alloc();
  if (page == 3) throw std::runtime_error("page 3 would not fit");
  return job->id == 7;
}

const char* Named(int which) {
  if (which < 0) throw std::length_error("no such name");
  return "tq33";
}

void Ends(Job*) { throw 42; }

TEST(CallbackGuardTest, AThrowingCallbackFailsWithItsReasonLoggedForWhatItWasCalledFor) {
  Told::reports.clear();
  Job job{7};
  const auto startPage = &tq33app::NoThrow<StartsPage, Told>::Call;
  static_assert(noexcept(startPage(&job, 1u)));

  // Work that does not throw passes its arguments and result through, and tells nothing.
  EXPECT_TRUE(startPage(&job, 1));
  Job other{8};
  EXPECT_FALSE(startPage(&other, 1));
  EXPECT_TRUE(Told::reports.empty());

  EXPECT_FALSE(startPage(&job, 2));
  EXPECT_FALSE(startPage(&job, 3));
  const auto named = &tq33app::NoThrow<Named, Told>::Call;
  EXPECT_STREQ(named(0), "tq33");
  EXPECT_EQ(named(-1), nullptr);
  tq33app::NoThrow<Ends, Told>::Call(&other);

  const std::vector<std::pair<int, std::string>> expected = {
      {7, "out of memory"}, {7, "page 3 would not fit"}, {-1, "no such name"}, {8, "an unexpected failure"}};
  EXPECT_EQ(Told::reports, expected);
}

}  // namespace
