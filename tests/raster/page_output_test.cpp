// SPDX-License-Identifier: Apache-2.0
#include "raster/page_output.h"

#include <cstring>

#include "raster/printer_commands.h"
#include "stream/stream_parser.h"
#include "tests/support/bytes.h"
#include "tests/support/test_context.h"

namespace {

using Bytes = std::vector<uint8_t>;

// page[from, size - drop), with its last byte replaced when end is given.
Bytes Piece(const Bytes& page, size_t from, size_t drop = 0, int end = -1) {
  Bytes piece(page.begin() + from, page.end() - drop);
  if (end >= 0) piece.back() = static_cast<uint8_t>(end);
  return piece;
}

class PageOutputTest : public test::ContextTest {
 protected:
  void SetUp() override {
    ContextTest::SetUp();
    context_->pageCount = 1;
  }
  void TearDown() override {
    ClearRetainedPages(context_.get());
    HostTest::TearDown();
  }

  // A page stream as the conversion leaves it: record, header, "M" 02, zero lines, 0C.
  Bytes Page(size_t zeroLines) {
    Bytes page(kPageStreamLinesStart, 0);
    JobInfoRecord record = {};
    BuildJobInfoRecord(&record, context_.get(), 0);
    record.jiTotalLength = static_cast<DWORD>(kPageStreamLinesStart + zeroLines + 1);
    std::memcpy(page.data(), &record, sizeof(record));
    BuildSetupHeader(page.data() + JOB_INFO_RECORD_SIZE, context_.get(), 0);
    page[83] = kCmdCompressionMode;
    page[84] = kCmdCompressionPackBits;
    page.insert(page.end(), zeroLines, kCmdZeroLine);
    page.push_back(kCmdPageEnd);
    return page;
  }
  BOOL Emit(Bytes page, DWORD options = 0) {
    context_->settings.priv.xbOptions = options;
    return EmitPageStream(context_.get(), page.data(), static_cast<DWORD>(page.size()));
  }
  void ExpectWellFramed() {
    const Bytes sent = Spooled();
    const tq33stream::ParseResult parsed = tq33stream::ParseStream(sent.data(), sent.size());
    EXPECT_TRUE(parsed.ok) << parsed.error;
  }

  const Bytes a_ = Page(3), b_ = Page(5), c_ = Page(70000);  // a chain past 64 KB
};

TEST_F(PageOutputTest, ARetainedChainGoesOutAsOneFrameWithItsExactTotal) {
  EXPECT_TRUE(Emit(a_, XBO_RETAIN));
  EXPECT_TRUE(Emit(b_, XBO_RETAIN | XBO_RETAIN_LINES));
  EXPECT_TRUE(Spooled().empty() && context_->lastPageEnd == kCmdRetainedPageEnd);
  const Bytes c = Page(1 << 24);  // a total past 16 MB, in every byte of its field
  EXPECT_TRUE(Emit(c));
  Bytes expected = Piece(a_, 0, 0, 0x0B) + Piece(b_, 85, 0, 0x0B) + Piece(c, 85);
  const DWORD total = static_cast<DWORD>(a_.size() + b_.size() - 85 + c.size() - 85);
  std::memcpy(expected.data() + 4, &total, 4);
  EXPECT_EQ(Spooled(), expected);
  EXPECT_TRUE(context_->retainedPages == nullptr && context_->retainedLength == 0);
}

TEST_F(PageOutputTest, PlainCopiesOfARetainedChainRepeatTheWholeChain) {
  context_->settings.priv.privUseMonitor = 0, context_->settings.dm.dmCopies = 2, context_->pageCount = 2;
  EXPECT_TRUE(Emit(a_, XBO_RETAIN));
  EXPECT_TRUE(Emit(c_));
  const Bytes chain = Piece(a_, 58, 0, 0x0B) + Piece(c_, 85);
  EXPECT_EQ(Spooled(), chain + Piece(chain, 0, 1));
}

TEST_F(PageOutputTest, ChainsStartedOverOrOpenedByLinesOnlyStillGoOutWellFramed) {
  EXPECT_TRUE(Emit(a_, XBO_RETAIN));
  EXPECT_TRUE(Emit(b_, XBO_RETAIN | XBO_RETAIN_LINES));
  EXPECT_EQ(context_->retainedLength, a_.size() + b_.size() - 85);  // b's lines join the chain
  EXPECT_TRUE(Emit(c_, XBO_RETAIN));  // starts over behind the unsent chain, which stays
  EXPECT_TRUE(context_->retainedPages->next->next && context_->retainedLength == c_.size());  // counted alone
  EXPECT_TRUE(Emit(a_));
  EXPECT_EQ(Spooled().size(), a_.size() + b_.size() - 85 + c_.size() + a_.size() - 85);
  ExpectWellFramed();

  // Lines only with no chain to join: the page keeps its record and header.
  host::ClearSpooled(printer_);
  EXPECT_TRUE(Emit(b_, XBO_RETAIN | XBO_RETAIN_LINES));
  EXPECT_EQ(context_->retainedLength, b_.size());
  EXPECT_TRUE(Emit(a_));
  ExpectWellFramed();

  // A chain may hold 2^31 - 1 bytes, counted but never sent here; a page past that is refused as it was.
  RetainedChunk held = {nullptr, nullptr, 0x80000000u - static_cast<DWORD>(b_.size() - 85), nullptr};
  context_->retainedPages = &held;
  Bytes page = b_;
  context_->settings.priv.xbOptions = XBO_RETAIN | XBO_RETAIN_LINES;
  EXPECT_FALSE(EmitPageStream(context_.get(), page.data(), static_cast<DWORD>(page.size())) || page != b_);
  held.count -= 1;
  EXPECT_TRUE(Emit(b_, XBO_RETAIN | XBO_RETAIN_LINES));
  context_->retainedPages = held.next;  // the page's own chunk, freed with the context
}

}  // namespace
