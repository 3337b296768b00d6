// The whole road on Linux: a private cupsd on 127.0.0.1 with a TQ-33 queue made of the
// generated PPD and the built filter, a PNG and a PDF printed with lp to a file device,
// and the file decoded as the printer would read it.
#include <arpa/inet.h>
#include <cups/cups.h>
#include <grp.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "cups/ppd_generator.h"
#include "tests/support/cups_support.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/subprocess.h"
#include "tests/support/tool_runner.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kJobTimeout = std::chrono::seconds(60);

// A 24 mm tape 100 mm long at 360 dpi: raster rows in points * 5, lines 57 rows below.
constexpr double kWidth = 68.03;
constexpr double kLength = 283.46;
constexpr int kFeedMargin = 57;

// An 8-bit gray PNG image: bars of rows black on a background level.
test::PngSpec Barcode(uint32_t width, uint32_t height, const std::vector<test::Rows>& bars,
                      uint8_t background) {
  test::PngSpec png;
  png.width = width;
  png.height = height;
  png.samples.assign(size_t{width} * height, background);
  for (const test::Rows& bar : bars)
    std::fill(png.samples.begin() + bar.first * width, png.samples.begin() + bar.second * width, 0);
  return png;
}

// A one-page PDF of the tape's size: a light gray label with black bars across it, the
// bars given in raster rows at 360 dpi from the top.
std::string Pdf(const std::vector<test::Rows>& bars) {
  std::string content = "0.75 g 0 0 " + std::to_string(kWidth) + " " + std::to_string(kLength) + " re f 0 g\n";
  for (const test::Rows& b : bars) {
    content += "10 " + std::to_string(kLength - b.second / 5.0) + " 48 " +
               std::to_string((b.second - b.first) / 5.0) + " re f\n";
  }
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(kWidth) + " " +
          std::to_string(kLength) + "] /Contents 4 0 R /Resources << >> >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "endstream"};
  std::string pdf = "%PDF-1.4\n";
  std::string xref = "xref\n0 5\n0000000000 65535 f \n";
  for (size_t i = 0; i < objects.size(); ++i) {
    char entry[24];
    std::snprintf(entry, sizeof(entry), "%010zu 00000 n \n", pdf.size());
    xref += entry;
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t start = pdf.size();
  return pdf + xref + "trailer\n<< /Size 5 /Root 1 0 R >>\nstartxref\n" + std::to_string(start) + "\n%%EOF\n";
}

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    port = ntohs(address.sin_port);
  close(s);
  return port;
}

bool Answers(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool answered = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  close(s);
  return answered;
}

class CupsQueueTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    for (const char* program : {"cupsd", "lp", "lpadmin"}) {
      if (test::SystemProgram(program).empty()) GTEST_SKIP() << program << " is not installed";
    }
    // The scheduler runs filters as its own user when started by root: it must reach the
    // spool directories and the filter.
    ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);
    for (const char* directory : {"spool", "spool/tmp", "cache", "state"})
      ASSERT_EQ(mkdir((dir_ / directory).c_str(), 0755), 0);
    const group* own = getgrgid(getgid());
    ASSERT_TRUE(test::WriteFile(dir_ / "cupsd.conf",
        "LogLevel debug\nBrowsing No\nWebInterface No\nDefaultAuthType None\n"
        "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
        "<Policy default>\n  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n"));
    const std::string files = "FileDevice Yes\nSystemGroup " + std::string(own ? own->gr_name : "root") +
        "\nServerRoot " + dir_.path() + "\nRequestRoot " + (dir_ / "spool") + "\nTempDir " +
        (dir_ / "spool/tmp") + "\nCacheDir " + (dir_ / "cache") + "\nStateDir " + (dir_ / "state") +
        "\nPrintcap " + (dir_ / "printcap") + "\nErrorLog " + (dir_ / "error_log") +
        "\nAccessLog " + (dir_ / "access_log") + "\nPageLog " + (dir_ / "page_log") + "\n";
    for (int attempt = 0; attempt < 3 && daemon_ < 0; ++attempt) StartDaemon(files);
    ASSERT_GT(daemon_, 0) << "cupsd did not start:\n" << test::ReadFile(dir_ / "error_log");

    tq33cups::PpdSource source;
    source.filter = test::BuiltProgram("rastertotq33");
    std::string ppd;
    std::string error;
    ASSERT_TRUE(tq33cups::GeneratePpd(installation_->printer(), source, &ppd, &error)) << error;
    ASSERT_TRUE(test::WriteFile(dir_ / "tq33.ppd", ppd));
    test::ProcessResult added = test::RunProcess(
        {test::SystemProgram("lpadmin"), "-h", server_, "-p", "tq33", "-E", "-v",
         "file://" + (dir_ / "out.bin"), "-P", dir_ / "tq33.ppd", "-o",
         "printer-error-policy=abort-job"});
    ASSERT_EQ(added.exitStatus, 0) << added.err;
  }

  void TearDown() override {
    if (daemon_ > 0) {
      kill(daemon_, SIGTERM);
      int status = 0;
      const auto deadline = Clock::now() + std::chrono::seconds(10);
      while (waitpid(daemon_, &status, WNOHANG) == 0) {
        if (Clock::now() > deadline) {
          kill(daemon_, SIGKILL);
          waitpid(daemon_, &status, 0);
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      if (HasFailure()) std::fprintf(stderr, "%s", test::ReadFile(dir_ / "error_log").c_str());
    }
    EngineTest::TearDown();
  }

  // Starts cupsd on a free port and waits until it answers; daemon_ stays -1 otherwise.
  void StartDaemon(const std::string& files) {
    const int port = FreePort();
    test::WriteFile(dir_ / "cups-files.conf", files);
    test::WriteFile(dir_ / "cupsd.conf.port", "Listen 127.0.0.1:" + std::to_string(port) + "\n" +
                                                    test::ReadFile(dir_ / "cupsd.conf"));
    const std::string cupsd = test::SystemProgram("cupsd");
    const std::string conf = dir_ / "cupsd.conf.port";
    const std::string filesConf = dir_ / "cups-files.conf";
    const pid_t pid = fork();
    if (pid == 0) {
      // The daemon dies with the test, however the test ends.
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      execl(cupsd.c_str(), cupsd.c_str(), "-f", "-c", conf.c_str(), "-s", filesConf.c_str(), nullptr);
      _exit(127);
    }
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (pid > 0 && Clock::now() < deadline && waitpid(pid, &status, WNOHANG) == 0) {
      if (Answers(port)) {
        daemon_ = pid;
        port_ = port;
        server_ = "127.0.0.1:" + std::to_string(port);
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (pid > 0 && waitpid(pid, &status, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
  }

  // Prints a file of the scratch directory with lp and waits for the job to end; the file
  // device's bytes.
  std::string Print(const std::string& name, std::vector<std::string> options) {
    options.insert(options.begin(), {test::SystemProgram("lp"), "-h", server_, "-d", "tq33"});
    options.push_back(dir_ / name);
    test::ProcessResult printed = test::RunProcess(options);
    const size_t at = printed.out.find("tq33-");
    EXPECT_NE(at, std::string::npos) << printed.out << printed.err;
    if (at == std::string::npos) return {};
    const int id = std::atoi(printed.out.c_str() + at + 5);

    http_t* http = httpConnect2("127.0.0.1", port_, nullptr, AF_INET, HTTP_ENCRYPTION_IF_REQUESTED,
                                1, 30000, nullptr);
    ipp_jstate_t state = IPP_JSTATE_PENDING;
    for (const auto deadline = Clock::now() + kJobTimeout; http && Clock::now() < deadline;) {
      cups_job_t* jobs = nullptr;
      const int count = cupsGetJobs2(http, &jobs, "tq33", 0, CUPS_WHICHJOBS_ALL);
      for (int i = 0; i < count; ++i) {
        if (jobs[i].id == id) state = jobs[i].state;
      }
      cupsFreeJobs(count, jobs);
      if (state >= IPP_JSTATE_STOPPED) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (http) httpClose(http);
    EXPECT_EQ(state, IPP_JSTATE_COMPLETED) << name;
    return test::ReadFile(dir_ / "out.bin");
  }

  test::ScratchDir dir_;
  pid_t daemon_ = -1;
  int port_ = 0;
  std::string server_;
};

TEST_F(CupsQueueTest, PngAndPdfPrintThroughARealCupsdToTheRightStream) {
  // A white PNG: the tape's label with no dot at all.
  test::WritePng(dir_ / "white.png", Barcode(200, 1000, {}, 255));
  const tq33stream::Stream white = test::ParsedStream(
      Print("white.png", {"-o", "PageSize=Laminated_tape_24mm", "-o", "ppi=360"}));
  ASSERT_EQ(white.pages.size(), 1u);
  EXPECT_EQ(white.pages[0].labels.at(0).header.widthByte, 24);
  for (int dots : test::DotsPerLine(white.pages[0].labels.at(0))) ASSERT_EQ(dots, 0);

  // A barcode on a light gray label, printed at its size in the middle of the tape: with
  // the threshold only its bars print, whole, and nothing else.
  const std::vector<test::Rows> bars = {{100, 120}, {200, 204}, {300, 360}, {420, 430}};
  test::WritePng(dir_ / "barcode.png", Barcode(200, 1000, bars, 192));
  const tq33stream::Stream png = test::ParsedStream(
      Print("barcode.png",
            {"-o", "PageSize=Laminated_tape_24mm", "-o", "ppi=360", "-o", "TQ33Halftone=Threshold"}));
  ASSERT_EQ(png.pages.size(), 1u);
  const tq33stream::Label& label = png.pages[0].labels.at(0);
  const std::vector<int> dots = test::DotsPerLine(label);
  const int first = static_cast<int>(std::find_if(dots.begin(), dots.end(), [](int d) { return d > 0; }) - dots.begin());
  test::ExpectOnlyBars(label, bars, first - bars[0].first, 2);
  EXPECT_NEAR(*std::max_element(dots.begin(), dots.end()), 200, 2) << "the bars' width";

  // The same kind of barcode as a PDF page of the tape's size, three copies: the driver
  // prints the copies, each with the bars where the page has them. Ghostscript makes its
  // page a whole number of points high and keeps the PDF's lower edge, which lifts the
  // content by the fraction of a point it drops (0.46 pt, under 3 lines).
  ASSERT_TRUE(test::WriteFile(dir_ / "barcode.pdf", Pdf(bars)));
  const tq33stream::Stream pdf = test::ParsedStream(
      Print("barcode.pdf", {"-n", "3", "-o", "PageSize=Laminated_tape_24mm",
                                        "-o", "TQ33Halftone=Threshold"}));
  ASSERT_EQ(pdf.pages.size(), 3u) << "three copies of one page";
  EXPECT_EQ(pdf.documents, 1u);
  for (const tq33stream::Page& copy : pdf.pages) test::ExpectOnlyBars(copy.labels.at(0), bars, -kFeedMargin, 3);
}

}  // namespace
