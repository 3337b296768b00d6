// Whole documents through the DDI on the host engine, asserted to the byte. A page's own
// bytes come from a document of that page alone: the initialise command 1B 40, the page,
// and the document end 1A.
#include <algorithm>

#include "tests/support/engine_fixture.h"

namespace test {
namespace {

const Bytes kInitialise = {0x1B, 0x40};
const Bytes kSeparator = {0x0C};
const Bytes kDocumentEnd = {0x1A};

class JobControlTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    PlainOutput();
    size_ = Open()->pageSize();
    for (int seed = 0; seed < 3; ++seed) pages_.push_back(TestPage(size_, seed, false));
  }

  // The bytes a page gives between the initialise command and the document end.
  Bytes Body(const host::GrayImage& page) {
    Bytes alone = PrintAlone({page});
    if (alone.size() < 3 || !std::equal(kInitialise.begin(), kInitialise.end(), alone.begin()) ||
        alone.back() != 0x1A) {
      ADD_FAILURE() << "a one-page document is not 1B 40, page, 1A";
      return {};
    }
    return Bytes(alone.begin() + 2, alone.end() - 1);
  }

  SIZEL size_ = {};
  std::vector<host::GrayImage> pages_;
};

TEST_F(JobControlTest, PagesAreSeparatedBy0CAndTheDocumentEndsWith1A) {
  const Bytes expected = Join({kInitialise, Body(pages_[0]), kSeparator, Body(pages_[1]),
                               kSeparator, Body(pages_[2]), kDocumentEnd});
  EXPECT_EQ(PrintAlone(pages_), expected);
  // The same twice on one context: the second document's first page has no 0C before it.
  auto session = Open();
  ASSERT_TRUE(session->PrintDocument(pages_));
  ASSERT_TRUE(session->PrintDocument(pages_));
  EXPECT_EQ(Spooled(), Join({expected, expected}));
}

TEST_F(JobControlTest, AnEmptyDocumentIsOnly1AAndNothingInFramedOutput) {
  EXPECT_EQ(PrintAlone({}), kDocumentEnd);
  SetDefaultOptions(0x400, 1);
  EXPECT_EQ(PrintAlone({}), Bytes{});
}

TEST_F(JobControlTest, OddPageCallsCountEachPageOnce) {
  const Bytes body = Body(pages_[0]);
  auto session = Open();
  DeviceContext* context = Context(*session);
  ASSERT_TRUE(session->StartDoc());
  // A second DrvStartPage leaves the open page as it is: its drawing and its count.
  ASSERT_TRUE(session->StartPage());
  ASSERT_TRUE(session->RenderPage(pages_[0]));
  ASSERT_TRUE(session->StartPage());
  EXPECT_EQ(context->pageCount, 1u);
  ASSERT_TRUE(session->SendPage());
  // DrvSendPage without DrvStartPage counts the page and converts it.
  ASSERT_TRUE(session->RenderPage(pages_[0]));
  ASSERT_TRUE(session->SendPage());
  EXPECT_EQ(context->pageCount, 2u);
  ASSERT_TRUE(session->EndDoc(true));  // the abort flag ends the document all the same
  EXPECT_EQ(Spooled(), Join({kInitialise, body, kSeparator, body, kDocumentEnd}));
}

TEST_F(JobControlTest, AResetInTheMiddleOfADocumentCarriesCountAndSeparator) {
  const Bytes expected = Join({kInitialise, Body(pages_[0]), kSeparator, Body(pages_[1]),
                               kDocumentEnd});
  auto session = Open();
  ASSERT_TRUE(session->StartDoc());
  ASSERT_TRUE(session->PrintPage(pages_[0]));
  const DHPDEV first = session->device();
  ASSERT_TRUE(session->Reset({}));
  EXPECT_NE(session->device(), first);
  ASSERT_TRUE(session->PrintPage(pages_[1]));
  EXPECT_EQ(Context(*session)->pageCount, 2u);
  ASSERT_TRUE(session->EndDoc());
  EXPECT_EQ(Spooled(), expected);
}

TEST_F(JobControlTest, RetainedPagesEndIn0BAndNeverOutliveTheirDocument) {
  SetDefaultOptions(0x400 | 0x80000, 0, 1);  // plain output, every page retained
  auto session = Open();
  ASSERT_TRUE(session->StartDoc());
  ASSERT_TRUE(session->PrintPage(pages_[0]));
  ASSERT_TRUE(session->PrintPage(pages_[1]));
  EXPECT_EQ(Context(*session)->lastPageEnd, 0x0B);
  EXPECT_NE(Context(*session)->retainedPages, nullptr);
  ASSERT_TRUE(session->EndDoc());
  EXPECT_EQ(Context(*session)->retainedPages, nullptr);
  EXPECT_EQ(Context(*session)->retainedLength, 0u);
  EXPECT_EQ(Spooled(), kDocumentEnd) << "no 0C after a retained page, and no page went out";
}

TEST_F(JobControlTest, AFailedWriteStopsTheNextPageButNotTheDocumentEnd) {
  auto session = Open();
  ASSERT_TRUE(session->StartDoc());
  host::FailCall(host::Call::WritePrinter, 2);  // the first page's body
  ASSERT_TRUE(session->PrintPage(pages_[0]));
  host::DdiStatus status = session->PrintPage(pages_[1]);
  EXPECT_EQ(status.call, "DrvStartPage");
  ASSERT_TRUE(session->EndDoc());
  EXPECT_EQ(Spooled(), Join({kInitialise, kDocumentEnd}));
  // A new surface does not reopen the output.
  ASSERT_TRUE(session->Reset({}));
  EXPECT_TRUE(session->StartDoc());
  EXPECT_TRUE(session->StartPage());
}

TEST_F(JobControlTest, BandedDocumentsMatchTheSingleBitmapToTheByte) {
  std::vector<host::GrayImage> gray;
  for (int seed = 0; seed < 3; ++seed) gray.push_back(TestPage(size_, seed));
  const Bytes single = PrintAlone(gray);
  ASSERT_GT(single.size(), 100u);
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
  }
}

}  // namespace
}  // namespace test
