// SPDX-License-Identifier: Apache-2.0
// The base of tests that run driver code on the host: a clean host for every test, and a
// check, at its end and wherever it calls it, that it gave back everything it took.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "host/host.h"

namespace test {

// The bytes of a record, as a file, the spooler or a registry value holds it.
template <typename Record> std::vector<uint8_t> BytesOf(const Record& record) {
  std::vector<uint8_t> bytes(sizeof(record));
  std::memcpy(bytes.data(), &record, sizeof(record));
  return bytes;
}

}  // namespace test

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::Reset();
    baseline_ = host::Live();
  }

  void TearDown() override {
    ExpectNothingLeaked();
    host::Reset();
  }

  // Everything the host handed out since SetUp has been given back.
  void ExpectNothingLeaked() {
    host::LiveObjects now = host::Live();
    EXPECT_EQ(now, baseline_) << "alive now: " << now.Describe() << "; at the start: " << baseline_.Describe();
  }

  host::LiveObjects baseline_;
};
