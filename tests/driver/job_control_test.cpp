// SPDX-License-Identifier: Apache-2.0
// Whole documents through the DDI on the host engine, asserted to the byte. A page's own
// bytes come from a document of that page alone: 1B 40, the page, 1A.
#include <algorithm>
#include <string>

#include "tests/support/engine_fixture.h"

namespace test {
namespace {

class JobControlTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    SetDefaultOptions(0);  // plain output
    size_ = Open()->pageSize();
    for (int seed = 0; seed < 3; ++seed) pages_.push_back(TestPage(size_, seed, false));
  }

  // A document of the pages' bodies joined by 0C: what plain output must give.
  Bytes Expected(std::initializer_list<int> pages) {
    Bytes expected = {0x1B, 0x40};
    for (int page : pages) {
      Bytes alone = PrintAlone({pages_[page]});
      EXPECT_TRUE(alone.size() > 3 && alone[0] == 0x1B && alone[1] == 0x40 && alone.back() == 0x1A);
      if (expected.size() > 2) expected.push_back(0x0C);
      expected.insert(expected.end(), alone.begin() + 2, alone.end() - 1);
    }
    expected.push_back(0x1A);
    return expected;
  }

  SIZEL size_ = {};
  std::vector<host::GrayImage> pages_;
};

TEST_F(JobControlTest, PagesAreSeparatedBy0CAndEveryDocumentEndsWith1A) {
  const Bytes expected = Expected({0, 1, 2});
  EXPECT_EQ(PrintAlone(pages_), expected);
  // Twice on one context: the second document's first page has no 0C before it.
  auto session = Open();
  ASSERT_TRUE(session->PrintDocument(pages_));
  ASSERT_TRUE(session->PrintDocument({}));
  ASSERT_TRUE(session->PrintDocument(pages_));
  Bytes twice = expected;
  twice.push_back(0x1A);
  twice.insert(twice.end(), expected.begin(), expected.end());
  EXPECT_EQ(TakeSpooled(), twice);
  ASSERT_TRUE(session->StartDoc() && session->StartPage());  // the last page's drawing is gone
  const SURFOBJ* page = host::SurfaceObject(Context(*session)->surface);
  const BYTE* bits = static_cast<const BYTE*>(page->pvBits);
  EXPECT_TRUE(std::all_of(bits, bits + page->cjBits, [](BYTE b) { return b == 0xFF; })) << "a page starts white";
  SetDefaultOptions(1);
  EXPECT_EQ(PrintAlone({}), Bytes{}) << "framed output writes no document end";
}

TEST_F(JobControlTest, StrayPageCallsCountEachPageOnceAndNeitherAbortNorEscapeChangeIt) {
  const Bytes expected = Expected({0, 1});
  auto session = Open();
  ASSERT_TRUE(session->StartDoc());
  ASSERT_TRUE(session->StartPage());
  ASSERT_TRUE(session->RenderPage(pages_[0]));
  ASSERT_TRUE(session->StartPage());  // leaves the open page, drawing and count alone
  EXPECT_EQ(Context(*session)->pageCount, 1u);
  ASSERT_TRUE(session->SendPage());
  ASSERT_TRUE(session->RenderPage(pages_[1]));
  // Encapsulated PostScript is accepted and sends nothing.
  std::string eps(32, '\0');
  eps += "%%BoundingBox: 0 0 100 50\nshowpage\n";
  eps[0] = static_cast<char>(eps.size());
  EXPECT_EQ(session->DrawEscape(ENCAPSULATED_POSTSCRIPT, nullptr, eps.size(), eps.data()), 1u);
  ASSERT_TRUE(session->SendPage());  // a page never started is counted and separated
  EXPECT_EQ(Context(*session)->pageCount, 2u);
  ASSERT_TRUE(session->EndDoc(true));
  EXPECT_EQ(TakeSpooled(), expected);
}

TEST_F(JobControlTest, AResetInTheMiddleOfADocumentCarriesTheCountAndTheSeparator) {
  const Bytes expected = Expected({0, 1});
  auto session = Open();
  ASSERT_TRUE(session->StartDoc());
  ASSERT_TRUE(session->PrintPage(pages_[0]));
  ASSERT_TRUE(session->Reset({}));
  ASSERT_TRUE(session->PrintPage(pages_[1]));
  EXPECT_EQ(Context(*session)->pageCount, 2u);
  EXPECT_TRUE(session->StartDoc() && Context(*session)->pageCount == 0) << "started over after the carried page";
  ASSERT_TRUE(session->EndDoc());
  EXPECT_EQ(TakeSpooled(), expected);
}

TEST_F(JobControlTest, RetainedPagesEndIn0BAndNeverOutliveTheirDocumentOrContext) {
  SetDefaultOptions(0, 1);
  auto session = Open();
  const host::LiveObjects before = host::Live();
  ASSERT_TRUE(session->StartDoc());
  ASSERT_TRUE(session->PrintPage(pages_[0]));
  ASSERT_TRUE(session->PrintPage(pages_[1]));
  EXPECT_EQ(Context(*session)->lastPageEnd, 0x0B);
  ASSERT_TRUE(session->EndDoc());
  EXPECT_TRUE(Context(*session)->retainedPages == nullptr && Context(*session)->retainedLength == 0);
  EXPECT_EQ(host::Live(), before) << "the document left " << host::Live().Describe();
  EXPECT_EQ(TakeSpooled(), Bytes{0x1A}) << "no 0C after a retained page, no page sent";
  ASSERT_TRUE(session->StartDoc() && session->PrintPage(pages_[0]) && Context(*session)->retainedPages);
  session.reset();  // a document never ended: its held page goes with the context
}

TEST_F(JobControlTest, AFailedWriteIsTheLastOfItsDocumentAndTheNextPrints) {
  // Nothing follows the failed write, not the next page, not the document end. The next
  // document on the context prints whole.
  const Bytes next = Expected({2});
  auto session = Open();
  ASSERT_TRUE(session->StartDoc());
  host::FailCall(host::Call::WritePrinter, 2);  // the first page's body
  EXPECT_EQ(session->PrintPage(pages_[0]).call, "DrvSendPage");
  EXPECT_EQ(session->PrintPage(pages_[1]).call, "DrvStartPage");
  EXPECT_FALSE(session->EndDoc());
  EXPECT_EQ(TakeSpooled(), (Bytes{0x1B, 0x40}));
  ASSERT_TRUE(session->Reset({}) && session->PrintDocument({pages_[2]}));  // a reset between them carries nothing
  EXPECT_EQ(TakeSpooled(), next);
}

TEST_F(JobControlTest, BandedDocumentsMatchTheSingleBitmapToTheByte) {
  std::vector<host::GrayImage> gray;
  for (int seed = 0; seed < 3; ++seed) gray.push_back(TestPage(size_, seed));
  const Bytes single = PrintAlone(gray);
  host::SetMaxBitmapBytes(static_cast<uint64_t>(size_.cx) * size_.cy / 3);
  for (bool sendPage : {true, false}) {
    host::SessionOptions options;
    options.sendPageAfterBands = sendPage;
    int bands = 0;
    options.bandObserver = [&](const SURFOBJ& band, POINTL) {
      const BYTE* bits = static_cast<const BYTE*>(band.pvBits);
      EXPECT_TRUE(std::all_of(bits, bits + band.cjBits, [](BYTE b) { return b == 0xFF; }));
      ++bands;
    };
    EXPECT_EQ(PrintAlone(gray, options), single) << "DrvSendPage after the bands: " << sendPage;
    EXPECT_GE(bands, 3 * 4);
    // Pages the engine never starts are started by the band loop, which writes them: the
    // first after 1B 40, each other after the 0C held back from the page before it.
    auto session = Open(options);
    ASSERT_TRUE(session->StartDoc());
    for (const host::GrayImage& page : gray) ASSERT_TRUE(session->RenderPage(page));
    ASSERT_TRUE(session->EndDoc());
    EXPECT_EQ(TakeSpooled(), single) << "pages not started, DrvSendPage: " << sendPage;
    EXPECT_EQ(Context(*session)->pageCount, 3u);
    EXPECT_TRUE(session->PrintDocument(gray) && TakeSpooled() == single) << "a second document";
  }
}

}  // namespace
}  // namespace test
