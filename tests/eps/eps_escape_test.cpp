// SPDX-License-Identifier: Apache-2.0
#include <cstring>
#include <string>

#include "driver/ddi.h"
#include "eps/eps_escape.h"
#include "tests/support/host_test.h"
#include "tests/support/test_context.h"

namespace test {
namespace {

using Bytes = std::vector<uint8_t>;

// An escape input: the header with its total size (the true one unless given), the text.
Bytes Eps(const std::string& text, DWORD total = 0) {
  Bytes input(EPS_HEADER_SIZE + text.size(), 0);
  if (total == 0) total = static_cast<DWORD>(input.size());
  std::memcpy(input.data(), &total, sizeof(total));
  std::memcpy(input.data() + EPS_HEADER_SIZE, text.data(), text.size());
  return input;
}

bool Accepted(const Bytes& input, size_t available) {
  return FindBoundingBox(input.data(), static_cast<DWORD>(available));
}
bool Accepted(const std::string& text) { return Accepted(Eps(text), Eps(text).size()); }

const std::string kHeader = "%!PS-Adobe-3.0 EPSF-3.0\n";
const std::string kBox = "%%BoundingBox: 0 0 100 59\n";

TEST(BoundingBoxTest, FindsAWellFormedBoxAnywhereAndSkipsMalformedOnes) {
  // A broken occurrence restarts the search at the very byte that broke it.
  const std::string atEnd = "%%BoundingBox: (atend)\n%%BoundingBox:\t-10.5 0 20.25 .5\n";
  for (const std::string& good : {kHeader + kBox, kHeader + atEnd, std::string("x %%BoundingBox: 1 2 3 4.12345678\n"),
                                  std::string("%%BoundingBox: 1 2 %%BoundingBox: 1 2 3 4 ")})
    EXPECT_TRUE(Accepted(good)) << good;
  // Three numbers, nothing after the fourth, a sign, an exponent, a cut keyword, nothing.
  for (const char* bad : {"%%BoundingBox: 0 0 100\n", "%%BoundingBox: 0 0 100 50",
                                 "%%BoundingBox: +1 0 100 50\n", "%%BoundingBox: 1e2 0 100 50\n",
                                 "%%BoundingBo", "%%BoundingBox: 1.5 2 3 4"})
    EXPECT_FALSE(Accepted(kHeader + bad)) << bad;
  EXPECT_FALSE(Accepted(""));
  // Bounded by the smaller of the record's own size and the size given.
  EXPECT_TRUE(Accepted(Eps(kBox, 4096), Eps(kBox).size()));
  EXPECT_FALSE(Accepted(Eps(kBox, 4096), Eps(kBox).size() - 1));
  EXPECT_FALSE(Accepted(Eps(kBox, EPS_HEADER_SIZE + kBox.size() - 1), Eps(kBox).size()));
  EXPECT_FALSE(FindBoundingBox(nullptr, 100));
  EXPECT_FALSE(Accepted(Bytes{5, 0, 0, 0, '%'}, 5)) << "a record shorter than its header";
}

class EpsEscapeTest : public HostTest {
 protected:
  ULONG Escape(ULONG code, const void* input, size_t size, CLIPOBJ* clip = nullptr) {
    SURFOBJ surface = {};
    surface.dhpdev = HandleFromContext(context_.get());
    SetLastError(0);
    return DrvDrawEscape(&surface, code, clip, nullptr, static_cast<ULONG>(size), const_cast<void*>(input));
  }
  TestContext context_;
};

TEST_F(EpsEscapeTest, AnswersTheQueryAcceptsGoodDataAndWalksAComplexClipPath) {
  for (DWORD code : {8u, 4116u, 0x10008u}) {
    EXPECT_EQ(Escape(QUERYESCSUPPORT, &code, 2), 1u);
    // The other escape entry answers nothing, not even the query.
    EXPECT_EQ(DrvEscape(nullptr, QUERYESCSUPPORT, 4, &code, 0, nullptr), 0u);
  }
  const DWORD other = 4115;
  EXPECT_EQ(std::tuple(Escape(QUERYESCSUPPORT, &other, 4), Escape(QUERYESCSUPPORT, nullptr, 4),
                       Escape(QUERYESCSUPPORT, "\x08", 1), Escape(4117, &other, 4)), std::tuple(0u, 0u, 0u, 0u));

  const Bytes good = Eps(kHeader + kBox);
  const Bytes bad = Eps(kHeader + "%%BoundingBox: (atend)\n");
  EXPECT_EQ(Escape(ENCAPSULATED_POSTSCRIPT, good.data(), good.size()), 1u);
  EXPECT_EQ(Escape(ENCAPSULATED_POSTSCRIPT, bad.data(), bad.size()), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  SURFOBJ noContext = {};
  EXPECT_EQ(DrvDrawEscape(&noContext, ENCAPSULATED_POSTSCRIPT, nullptr, nullptr, good.size(),
                          const_cast<uint8_t*>(good.data())), 0u);

  // Curves after a subpath's first point come in threes, five do not; lines are not curves.
  CLIPOBJ* clip = host::CreateClip(DC_COMPLEX, {{PD_BEGINSUBPATH | PD_BEZIERS, {{}}},
                                                {PD_BEZIERS, {{}, {}, {}}}, {PD_ENDSUBPATH, {{}, {}}}});
  CLIPOBJ* broken = host::CreateClip(DC_COMPLEX, {{PD_BEZIERS, {{}, {}, {}, {}, {}}}});
  EXPECT_EQ(Escape(ENCAPSULATED_POSTSCRIPT, good.data(), good.size(), clip), 1u);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(Escape(ENCAPSULATED_POSTSCRIPT, good.data(), good.size(), broken), 1u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CLIPOBJ* simple = host::CreateClip(DC_RECT, {{PD_BEZIERS, {{}, {}, {}, {}, {}}}});
  EXPECT_EQ(Escape(ENCAPSULATED_POSTSCRIPT, good.data(), good.size(), simple), 1u);
  EXPECT_EQ(GetLastError(), 0u) << "only a complex clip's path is walked";
  host::FailCall(host::Call::ClipPath, 1);  // no path: none walked, none deleted
  EXPECT_EQ(Escape(ENCAPSULATED_POSTSCRIPT, good.data(), good.size(), clip), 1u);
  host::DeleteClip(simple);
  host::DeleteClip(clip);
  host::DeleteClip(broken);
}

}  // namespace
}  // namespace test
