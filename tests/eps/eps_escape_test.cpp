#include <cstring>
#include <string>

#include "driver/ddi.h"
#include "eps/eps_escape.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/test_context.h"

namespace test {
namespace {

// An escape input: the 32-byte header with its total size (the real one unless given),
// then the text.
Bytes Eps(const std::string& text, DWORD total = 0) {
  Bytes input(EPS_HEADER_SIZE + text.size(), 0);
  if (total == 0) total = static_cast<DWORD>(input.size());
  std::memcpy(input.data(), &total, sizeof(total));
  std::memcpy(input.data() + EPS_HEADER_SIZE, text.data(), text.size());
  return input;
}

bool Accepted(const std::string& text) {
  Bytes input = Eps(text);
  return FindBoundingBox(input.data(), static_cast<DWORD>(input.size()));
}

const std::string kHeader = "%!PS-Adobe-3.0 EPSF-3.0\n";

TEST(BoundingBoxTest, FindsAWellFormedBoxAnywhereAndSkipsMalformedOnes) {
  EXPECT_TRUE(Accepted(kHeader + "%%BoundingBox: 0 0 100 50\n"));
  EXPECT_TRUE(Accepted(kHeader + "%%BoundingBox: (atend)\nshow\n%%Trailer\n"
                       "%%BoundingBox:\t-10.5 0 20.25 .5\n"));
  EXPECT_TRUE(Accepted("x %%BoundingBox: 1 2 3 4.12345678\n"));  // mid-line, long fraction
  // A broken occurrence restarts the search at the byte that broke it.
  EXPECT_TRUE(Accepted("%%BoundingBox: 1 2 %%BoundingBox: 1 2 3 4 "));
  EXPECT_FALSE(Accepted(kHeader + "%%BoundingBox: 0 0 100\n"));
  EXPECT_FALSE(Accepted(kHeader + "%%BoundingBox: 0 0 100 50"));  // nothing follows it
  EXPECT_FALSE(Accepted(kHeader + "%%BoundingBox: +1 0 100 50\n"));
  EXPECT_FALSE(Accepted(kHeader + "%%BoundingBox: 1e2 0 100 50\n"));
  EXPECT_FALSE(Accepted(kHeader + "%%BoundingBo"));
  EXPECT_FALSE(Accepted(""));  // total size 32: no text
}

TEST(BoundingBoxTest, ReadsNoFurtherThanTheSmallerOfBothSizes) {
  const std::string text = "%%BoundingBox: 0 0 100 50\n";
  Bytes claimsMore = Eps(text, 4096);
  EXPECT_TRUE(FindBoundingBox(claimsMore.data(), static_cast<DWORD>(claimsMore.size())));
  // Cut before the line break: the fourth number ends at the end of what may be read.
  EXPECT_FALSE(FindBoundingBox(claimsMore.data(), static_cast<DWORD>(claimsMore.size() - 1)));
  Bytes claimsLess = Eps(text, static_cast<DWORD>(EPS_HEADER_SIZE + text.size() - 1));
  EXPECT_FALSE(FindBoundingBox(claimsLess.data(), static_cast<DWORD>(claimsLess.size())));
  EXPECT_FALSE(FindBoundingBox(nullptr, 100));
  EXPECT_FALSE(FindBoundingBox(claimsMore.data(), 3));
}

class EpsEscapeTest : public HostTest {
 protected:
  ULONG Escape(ULONG code, const void* input, ULONG size, CLIPOBJ* clip = nullptr) {
    SetLastError(0);
    return DrvDrawEscape(&surface_, code, clip, nullptr, size, const_cast<void*>(input));
  }
  TestContext context_;
  SURFOBJ surface_ = [this] {
    SURFOBJ s = {};
    s.dhpdev = HandleFromContext(context_.get());
    return s;
  }();
};

TEST_F(EpsEscapeTest, TheQueryAnswersForItsOwnCodesAndShortInputsSafely) {
  for (DWORD code : {8u, 4116u, 0x10008u}) EXPECT_EQ(Escape(QUERYESCSUPPORT, &code, 4), 1u);
  DWORD other = 4115;
  EXPECT_EQ(Escape(QUERYESCSUPPORT, &other, 4), 0u);
  EXPECT_EQ(Escape(QUERYESCSUPPORT, nullptr, 4), 0u);
  EXPECT_EQ(Escape(QUERYESCSUPPORT, "\x08", 1), 0u);
  EXPECT_EQ(Escape(4117, &other, 4), 0u);
  EXPECT_EQ(GetLastError(), 0u);
}

TEST_F(EpsEscapeTest, DataIsAcceptedOrRefusedWith87AndAComplexClipPathIsWalkedAndReleased) {
  const Bytes good = Eps(kHeader + "%%BoundingBox: 0 0 100 50\n");
  const Bytes bad = Eps(kHeader + "%%BoundingBox: (atend)\n");
  EXPECT_EQ(Escape(ENCAPSULATED_POSTSCRIPT, good.data(), good.size()), 1u);
  EXPECT_EQ(Escape(ENCAPSULATED_POSTSCRIPT, bad.data(), bad.size()), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  context_->signatureTail = 0;
  EXPECT_EQ(Escape(ENCAPSULATED_POSTSCRIPT, good.data(), good.size()), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  context_->signatureTail = DEVICE_CONTEXT_SIGNATURE;

  // Curves after a subpath's first point come in threes; five do not.
  CLIPOBJ* clip = host::CreateClip(DC_COMPLEX, {{PD_BEGINSUBPATH | PD_BEZIERS, {{}, {}, {}, {}}},
                                                {PD_BEZIERS, {{}, {}, {}}}});
  EXPECT_EQ(Escape(ENCAPSULATED_POSTSCRIPT, good.data(), good.size(), clip), 1u);
  EXPECT_EQ(GetLastError(), 0u);
  CLIPOBJ* broken = host::CreateClip(DC_COMPLEX, {{PD_BEZIERS, {{}, {}, {}, {}, {}}}});
  EXPECT_EQ(Escape(ENCAPSULATED_POSTSCRIPT, good.data(), good.size(), broken), 1u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(host::Live().paths, 0);
  host::DeleteClip(clip);
  host::DeleteClip(broken);
}

class EpsDocumentTest : public EngineTest {};

TEST_F(EpsDocumentTest, APageSendsTheSameBytesWithAndWithoutTheEscape) {
  PlainOutput();
  const Bytes eps = Eps(kHeader + "%%BoundingBox: 0 0 100 50\nshowpage\n");
  Bytes withEscape;
  Bytes without;
  for (Bytes* out : {&withEscape, &without}) {
    auto session = Open();
    host::GrayImage page = TestPage(session->pageSize(), 1);
    ASSERT_TRUE(session->StartDoc());
    ASSERT_TRUE(session->StartPage());
    ASSERT_TRUE(session->RenderPage(page));
    if (out == &withEscape) {
      EXPECT_EQ(session->DrawEscape(ENCAPSULATED_POSTSCRIPT, nullptr,
                                    static_cast<ULONG>(eps.size()), eps.data()), 1u);
    }
    ASSERT_TRUE(session->SendPage());
    ASSERT_TRUE(session->EndDoc());
    session->Close();
    *out = Spooled();
    ClearSpooled();
  }
  EXPECT_GT(without.size(), 3u);
  EXPECT_EQ(withEscape, without);
}

}  // namespace
}  // namespace test
