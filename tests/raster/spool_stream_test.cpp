// SPDX-License-Identifier: Apache-2.0
#include "raster/spool_stream.h"

#include <algorithm>
#include <tuple>
#include <utility>

#include "tests/support/test_context.h"

namespace {

using Bytes = std::vector<uint8_t>;

class SpoolStreamTest : public test::ContextTest {
 protected:
  const BYTE bytes_[6] = {1, 2, 3, 4, 5, 6};
};

TEST_F(SpoolStreamTest, AShortWriteLatchesForGoodAndLaterWritesNeverReachTheSpooler) {
  EXPECT_TRUE(SpoolWrite(context_.get(), bytes_, 0) && SpoolFlush(context_.get()));  // nothing to write
  EXPECT_EQ(host::WriteCalls(printer_), 0u);
  host::ShortWriteAt(printer_, 1, 4);
  EXPECT_FALSE(SpoolWrite(context_.get(), bytes_, 6));
  EXPECT_EQ(std::tuple(context_->jobFlags & JF_OUTPUT_FAILED, +context_->spoolFailed, Spooled()),
            std::tuple(DWORD{JF_OUTPUT_FAILED}, 1u, Bytes{1, 2, 3, 4}));  // nothing is resent
  SpoolReset(context_.get());
  EXPECT_EQ(context_->spoolFailed, 0u);
  EXPECT_FALSE(SpoolWrite(context_.get(), bytes_, 6));
  EXPECT_FALSE(SpoolWrite(context_.get(), bytes_, 0));
  EXPECT_EQ(host::WriteCalls(printer_), 1u);
}

TEST_F(SpoolStreamTest, AFlushSendsAFullBufferOnceAndNothingPastEitherLatch) {
  std::fill_n(context_->spoolBuffer, kSpoolBufferSize, 0x5A);
  context_->spoolCount = kSpoolBufferSize;
  EXPECT_TRUE(SpoolFlush(context_.get()) && SpoolFlush(context_.get()));  // the second has nothing
  EXPECT_EQ(std::tuple(Spooled().size(), host::WriteCalls(printer_), +context_->spoolCount),
            std::tuple(size_t{kSpoolBufferSize}, uint64_t{1}, 0u));
  context_->spoolCount = 2;
  for (auto [flags, failed] : {std::pair{DWORD{JF_OUTPUT_FAILED}, DWORD{0}}, {DWORD{0}, DWORD{1}}}) {
    std::tie(context_->jobFlags, context_->spoolFailed) = std::tuple(flags, failed);
    EXPECT_FALSE(SpoolFlush(context_.get()));
  }
  std::tie(context_->jobFlags, context_->spoolFailed) = std::tuple(DWORD{0}, DWORD{0});
  host::ShortWriteAt(printer_, 1, 1);  // the spooler takes one byte of two
  EXPECT_FALSE(SpoolFlush(context_.get()));
  EXPECT_EQ(std::tuple(context_->jobFlags, +context_->spoolFailed, host::WriteCalls(printer_)),
            std::tuple(DWORD{JF_OUTPUT_FAILED}, 1u, uint64_t{2}));
}

TEST_F(SpoolStreamTest, EndOfJobFlushesStagedBytesAndSendsEscEEvenWhenLatched) {
  context_->spoolBuffer[0] = 0xAA;
  context_->spoolCount = 1;
  SpoolEndOfJob(context_.get());
  EXPECT_EQ(std::tuple(Spooled(), +context_->spoolCount), std::tuple(Bytes{0xAA, 0x1B, 0x65}, 0u));

  host::ClearSpooled(printer_);
  context_->spoolCount = kSpoolBufferSize + 1;  // a damaged count is refused, never sent
  EXPECT_FALSE(SpoolFlush(context_.get()));
  EXPECT_TRUE(context_->jobFlags & JF_OUTPUT_FAILED);
  SpoolEndOfJob(context_.get());  // and the damaged count is reset
  EXPECT_EQ(std::tuple(Spooled(), +context_->spoolCount), std::tuple(Bytes{0x1B, 0x65}, 0u));
}

}  // namespace
