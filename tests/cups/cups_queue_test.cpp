// The whole road on Linux: a private cupsd on 127.0.0.1 with a TQ-33 queue made of the
// generated PPD and the built filter, PNGs and PDFs printed with lp to a file device, and
// the file decoded as the printer would read it or compared with the tool's.
#include <arpa/inet.h>
#include <cups/cups.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <numeric>
#include <thread>

#include <gtest/gtest.h>

#include "cups/ppd_generator.h"
#include "tests/support/cups_support.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/subprocess.h"
#include "tests/support/tool_runner.h"

namespace {

using Clock = std::chrono::steady_clock;

// The 24 mm tape's named size (100 mm) in points; at 360 dpi a dot is 1/5 point, and the
// driver's first line lies 57 dots along the tape.
constexpr double kWidth = 68.03;
constexpr double kLength = 283.46;
constexpr int kFeedMargin = 57;

test::PngLayout BarcodePng(uint32_t width, uint32_t height, const std::vector<test::Rows>& bars,
                         uint8_t background) {
  test::PngLayout png{width, height};
  png.samples.assign(size_t{width} * height, background);
  for (const test::Rows& bar : bars)
    std::fill(png.samples.begin() + bar.first * width, png.samples.begin() + bar.second * width, 0);
  return png;
}

// A PDF of width x height points, one page per content stream.
std::string Pdf(double width, double height, const std::vector<std::string>& contents) {
  const std::string size = std::to_string(width) + " " + std::to_string(height);
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
  std::string kids;
  for (const std::string& content : contents) {
    const std::string page = std::to_string(objects.size() + 1);
    kids += page + " 0 R ";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + size + "] /Contents " +
                      std::to_string(objects.size() + 2) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
                      "endstream");
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(contents.size()) + " >>";
  std::string pdf = "%PDF-1.4\n";
  std::string xref = "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t i = 0; i < objects.size(); ++i) {
    char entry[24];
    std::snprintf(entry, sizeof(entry), "%010zu 00000 n \n", pdf.size());
    xref += entry;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  return pdf + xref + "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(pdf.size()) + "\n%%EOF\n";
}

// A portrait PDF page of the tape's size: a light gray label with black bars across it
// (rows at 360 dpi from the top).
std::string BarcodePdf(const std::vector<test::Rows>& bars) {
  std::string content =
      "0.75 g 0 0 " + std::to_string(kWidth) + " " + std::to_string(kLength) + " re f 0 g\n";
  for (const test::Rows& b : bars) {
    content += "10 " + std::to_string(kLength - b.second / 5.0) + " 48 " +
               std::to_string((b.second - b.first) / 5.0) + " re f\n";
  }
  return Pdf(kWidth, kLength, {content});
}

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof(address);
  const bool bound = bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
                     getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  close(s);
  return bound ? ntohs(address.sin_port) : 0;
}

class CupsQueueTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    for (const char* program : {"cupsd", "lp", "lpadmin"}) {
      if (test::SystemProgram(program).empty()) GTEST_SKIP() << program << " is not installed";
    }
    // Started by root, the scheduler runs filters as its own user, who must reach the
    // spool directories.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    for (const char* directory : {"spool", "spool/tmp", "cache", "state"})
      ASSERT_EQ(mkdir((dir_ / directory).c_str(), 0755), 0);
    port_ = FreePort();
    ASSERT_TRUE(test::WriteFile(dir_ / "cupsd.conf",
        "Listen 127.0.0.1:" + std::to_string(port_) + "\nLogLevel debug\nBrowsing No\n"
        "WebInterface No\nDefaultAuthType None\n<Location />\n  Order allow,deny\n  Allow all\n"
        "</Location>\n<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n"));
    const group* own = getgrgid(getgid());
    std::string files = "FileDevice Yes\nSystemGroup " + std::string(own ? own->gr_name : "root") +
                        "\nServerRoot " + dir_.path() + "\nRequestRoot " + dir_ / "spool" + "\n";
    for (const char* key : {"TempDir spool/tmp", "CacheDir cache", "StateDir state", "Printcap printcap",
                            "ErrorLog error_log", "AccessLog access_log", "PageLog page_log"}) {
      const std::string entry = key;
      files += entry.substr(0, entry.find(' ') + 1) + dir_ / entry.substr(entry.find(' ') + 1) + "\n";
    }
    ASSERT_TRUE(test::WriteFile(dir_ / "cups-files.conf", files));

    const std::string cupsd = test::SystemProgram("cupsd");
    const std::string conf = dir_ / "cupsd.conf";
    const std::string filesConf = dir_ / "cups-files.conf";
    daemon_ = fork();
    if (daemon_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);  // the daemon dies with the test, however it ends
      execl(cupsd.c_str(), cupsd.c_str(), "-f", "-c", conf.c_str(), "-s", filesConf.c_str(), nullptr);
      _exit(127);
    }
    ASSERT_GT(daemon_, 0);
    for (const auto deadline = Clock::now() + std::chrono::seconds(20); !http_ && Clock::now() < deadline;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      http_ = httpConnect2("127.0.0.1", port_, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED, 1, 1000, nullptr);
    }
    ASSERT_TRUE(http_) << "cupsd does not answer:\n" << test::ReadFile(dir_ / "error_log");

    tq33cups::PpdSource source;
    source.filter = test::BuiltProgram("rastertotq33");
    std::string ppd;
    std::string error;
    ASSERT_TRUE(tq33cups::GeneratePpd(installation_->printer(), source, &ppd, &error)) << error;
    ASSERT_TRUE(test::WriteFile(dir_ / "tq33.ppd", ppd));
    test::ProcessResult added = test::RunProcess(
        {test::SystemProgram("lpadmin"), "-h", Server(), "-p", "tq33", "-E", "-v",
         "file://" + dir_ / "out.bin", "-P", dir_ / "tq33.ppd", "-o", "printer-error-policy=abort-job"});
    ASSERT_EQ(added.status, 0) << added.err;
  }

  void TearDown() override {
    if (http_) httpClose(http_);
    if (daemon_ > 0) {
      kill(daemon_, SIGTERM);
      int status = 0;
      for (int i = 0; i < 500 && waitpid(daemon_, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (kill(daemon_, SIGKILL) == 0) waitpid(daemon_, &status, 0);
      if (HasFailure()) std::fprintf(stderr, "%s", test::ReadFile(dir_ / "error_log").c_str());
    }
    EngineTest::TearDown();
  }

  std::string Server() const { return "127.0.0.1:" + std::to_string(port_); }

  // Prints a file of the scratch directory with lp, waits for the job to end, and returns
  // what reached the file device.
  std::string Print(const std::string& name, std::vector<std::string> options) {
    options.insert(options.begin(), {test::SystemProgram("lp"), "-h", Server(), "-d", "tq33"});
    options.push_back(dir_ / name);
    const test::ProcessResult printed = test::RunProcess(options);
    const size_t at = printed.out.find("tq33-");
    EXPECT_NE(at, std::string::npos) << printed.out << printed.err;
    const int id = at == std::string::npos ? -1 : std::atoi(printed.out.c_str() + at + 5);
    ipp_jstate_t state = IPP_JSTATE_PENDING;
    for (const auto deadline = Clock::now() + std::chrono::seconds(60);
         id > 0 && state < IPP_JSTATE_STOPPED && Clock::now() < deadline;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      cups_job_t* jobs = nullptr;
      const int count = cupsGetJobs2(http_, &jobs, "tq33", 0, CUPS_WHICHJOBS_ALL);
      for (int i = 0; i < count; ++i) {
        if (jobs[i].id == id) state = jobs[i].state;
      }
      cupsFreeJobs(count, jobs);
    }
    EXPECT_EQ(state, IPP_JSTATE_COMPLETED) << name;
    return test::ReadFile(dir_ / "out.bin");
  }

  test::ScratchDir dir_;
  pid_t daemon_ = -1;
  int port_ = 0;
  http_t* http_ = nullptr;
};

TEST_F(CupsQueueTest, PngAndPdfPrintThroughARealCupsdToTheRightStream) {
  // A barcode on a light gray label, portrait artwork with its bars across the tape, printed
  // at its size in the middle of the 24 mm tape: CUPS turns it onto the landscape page and
  // the driver turns it back. With the threshold its bars print, whole, and nothing else.
  const std::vector<test::Rows> bars = {{100, 120}, {200, 204}, {300, 360}, {420, 430}};
  test::WritePng(dir_ / "barcode.png", BarcodePng(200, 1000, bars, 192));
  std::vector<std::string> threshold = {"-o", "PageSize=Laminated_tape_24mm", "-o", "ppi=360",
                                        "-o", "TQ33Halftone=Threshold"};
  const tq33stream::Stream png = test::ParsedStream(Print("barcode.png", threshold));
  ASSERT_EQ(png.pages.size(), 1u);
  EXPECT_EQ(png.pages[0].labels.at(0).header.widthByte, 24);
  const std::vector<int> dots = test::DotsPerLine(png.pages[0].labels.at(0));
  const int first = static_cast<int>(std::find_if(dots.begin(), dots.end(), [](int d) { return d > 0; }) - dots.begin());
  test::ExpectOnlyBars(png.pages[0].labels.at(0), bars, first - bars[0].first, 2);
  EXPECT_NEAR(*std::max_element(dots.begin(), dots.end()), 200, 2) << "the bars' width";

  // The barcode as a portrait PDF page of the tape's size, three copies in one document,
  // each with the bars where the page has them. Ghostscript makes its page a whole number
  // of points, which moves the content by the fraction of a point it drops (0.46 pt,
  // under 3 lines).
  ASSERT_TRUE(test::WriteFile(dir_ / "barcode.pdf", BarcodePdf(bars)));
  threshold.insert(threshold.end(), {"-n", "3"});
  const tq33stream::Stream pdf = test::ParsedStream(Print("barcode.pdf", threshold));
  ASSERT_EQ(pdf.pages.size(), 3u) << "three copies of one page";
  EXPECT_EQ(pdf.documents, 1u);
  for (const tq33stream::Page& copy : pdf.pages)
    test::ExpectOnlyBars(copy.labels.at(0), bars, -kFeedMargin, 3);
}

TEST_F(CupsQueueTest, LandscapeArtworkPrintsAsTheToolPrintsItInLandscape) {
  // A PNG the size of the tape's printable area (1304 x 256 dots at 360 dpi): CUPS leaves
  // it as it stands on the queue's landscape page, and the stream is the tool's to the byte.
  test::PngLayout png{1304, 256};
  png.samples.resize(size_t{png.width} * png.height);
  for (uint32_t y = 0; y < png.height; ++y) {
    for (uint32_t x = 0; x < png.width; ++x)
      png.samples[size_t{y} * png.width + x] = x < 300 && y < 100 ? 0 : (x * 7 + y * 13) % 256;
  }
  test::WritePng(dir_ / "wide.png", png);
  const std::string queued =
      Print("wide.png", {"-o", "PageSize=Laminated_tape_24mm", "-o", "ppi=360"});
  const test::ToolResult tool = test::RunTool({"print", "wide.png", "--paper", "262", "--orientation",
                                               "landscape", "--plain", "-o", "tool.bin"},
                                              dir_.path());
  ASSERT_EQ(tool.status, 0) << tool.err;
  EXPECT_TRUE(queued == test::ReadFile(dir_ / "tool.bin"));

  // A landscape PDF page of the tape's size, black in its upper left quarter, prints that
  // block on the first quarter of the tape, as the tool prints the page's left: turned any
  // other way it would come last.
  const std::string quarter = "0 g 0 " + std::to_string(kWidth / 2) + " " + std::to_string(kLength / 4) +
                              " " + std::to_string(kWidth / 2) + " re f\n";
  ASSERT_TRUE(test::WriteFile(dir_ / "wide.pdf", Pdf(kLength, kWidth, {quarter})));
  const tq33stream::Stream pdf = test::ParsedStream(
      Print("wide.pdf", {"-o", "PageSize=Laminated_tape_24mm", "-o", "TQ33Halftone=Threshold"}));
  ASSERT_EQ(pdf.pages.size(), 1u);
  test::ExpectOnlyBars(pdf.pages[0].labels.at(0), {{0, 354}}, -kFeedMargin, 3);
}

TEST_F(CupsQueueTest, EveryPageComesExactlyCopiesTimesCollatedWhenAsked) {
  // Pages told apart by their dots: a PNG; PDFs of one and two pages with one and two
  // blocks; text of one and of two pages (a form feed between them).
  test::WritePng(dir_ / "label.png", BarcodePng(200, 200, {{50, 90}}, 255));
  const std::string block = "0 g 20 20 40 40 re f\n";
  ASSERT_TRUE(test::WriteFile(dir_ / "one.pdf", Pdf(kLength, kWidth, {block})));
  ASSERT_TRUE(test::WriteFile(dir_ / "two.pdf", Pdf(kLength, kWidth, {block, block + "0 g 100 20 40 40 re f\n"})));
  ASSERT_TRUE(test::WriteFile(dir_ / "one.txt", "Label\n"));
  ASSERT_TRUE(test::WriteFile(dir_ / "two.txt", "Label one\n\fLabel number two\n"));
  struct Case {
    const char* file;
    const char* copies;
    bool collate;
    std::vector<int> pages;  // the document's page printed at each position
  };
  const Case cases[] = {
      {"label.png", "3", false, {0, 0, 0}}, {"label.png", "2", true, {0, 0}},
      {"one.pdf", "3", true, {0, 0, 0}},    {"two.pdf", "2", true, {0, 1, 0, 1}},
      {"two.pdf", "2", false, {0, 0, 1, 1}}, {"one.txt", "3", false, {0, 0, 0}},
      {"two.txt", "2", true, {0, 1, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " -n " + c.copies + (c.collate ? " collated" : ""));
    std::vector<std::string> options = {"-n", c.copies, "-o", "TQ33Halftone=Threshold"};
    if (c.collate) options.insert(options.end(), {"-o", "collate=true"});
    const tq33stream::Stream stream = test::ParsedStream(Print(c.file, options));
    ASSERT_EQ(stream.pages.size(), c.pages.size());
    std::vector<size_t> dots;
    for (const tq33stream::Page& page : stream.pages) {
      const std::vector<int> lines = test::DotsPerLine(page.labels.at(0));
      dots.push_back(std::accumulate(lines.begin(), lines.end(), size_t{0}));
    }
    for (size_t i = 0; i < dots.size(); ++i) {
      for (size_t j = 0; j < i; ++j)
        EXPECT_EQ(dots[i] == dots[j], c.pages[i] == c.pages[j]) << "pages " << j << " and " << i;
    }
  }
}

}  // namespace
