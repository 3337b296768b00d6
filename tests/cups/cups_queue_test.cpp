// SPDX-License-Identifier: Apache-2.0
// The whole road on Linux: a private cupsd on 127.0.0.1 with a TQ-33 queue made of the
// generated PPD and the built filter, PNGs and PDFs printed with lp (and with ipptool, as
// IPP clients print) to a file device, and the file decoded as the printer would read it
// or compared with the tool's.
#include <algorithm>
#include <map>
#include <numeric>
#include <sstream>

#include <gtest/gtest.h>

#include "cups/job_settings.h"
#include "cups/media_catalog.h"
#include "cups/ppd_generator.h"
#include "tests/support/cups_support.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/private_cupsd.h"
#include "tests/support/tool_runner.h"

namespace {

using test::BarcodePng, test::kFeedMargin, test::kTapeLength, test::kTapeWidth;

class CupsQueueTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    const std::string missing = test::PrivateCupsd::MissingPrograms();
    if (!missing.empty()) GTEST_SKIP() << "not installed: " << missing;
    ASSERT_TRUE(cupsd_.Start(dir_.path()));

    tq33cups::PpdSource source;
    source.filter = test::BuiltProgram("rastertotq33");
    if (!test::FilterUserCanRun(source.filter)) {
      // Run by root from a tree the filter user cannot enter: the same filter, installed
      // with this build into the scratch directory.
      ASSERT_TRUE(test::InstallBuild(dir_ / "root"));
      source.filter = dir_ / "root" + TQ33_CUPS_SERVERBIN "/filter/rastertotq33";
    }
    std::string ppd;
    std::string error;
    ASSERT_TRUE(tq33cups::GeneratePpd(installation_->printer(), source, &ppd, &error)) << error;
    ASSERT_TRUE(test::WriteFile(dir_ / "tq33.ppd", ppd));
    test::ProcessResult added = cupsd_.Client(
        "lpadmin", {"-p", "tq33", "-E", "-v", "file://" + dir_ / "out.bin", "-P", dir_ / "tq33.ppd",
                    "-o", "printer-error-policy=abort-job"});
    ASSERT_EQ(added.status, 0) << added.err;
  }

  void TearDown() override {
    cupsd_.Stop(HasFailure());
    EngineTest::TearDown();
  }

  // Prints a file of the scratch directory with lp, waits for the job to end, and returns
  // what reached the file device.
  std::string Print(const std::string& name, std::vector<std::string> options) {
    EXPECT_EQ(cupsd_.Print("tq33", dir_ / name, std::move(options)), IPP_JSTATE_COMPLETED) << name;
    return test::ReadFile(dir_ / "out.bin");
  }

  // The values of an attribute in ipptool's verbose output ("name (type) = a,b,c").
  static std::vector<std::string> Values(const std::string& output, const std::string& name) {
    const size_t at = output.find("        " + name + " (");
    if (at == std::string::npos) return {};
    const size_t start = output.find(" = ", at) + 3;
    std::stringstream list(output.substr(start, output.find('\n', start) - start));
    std::vector<std::string> values;
    for (std::string value; std::getline(list, value, ',');) values.push_back(value);
    return values;
  }

  test::ScratchDir dir_;
  test::PrivateCupsd cupsd_;
};

// What tells one medium's stream of a blank page from another's: the first label's setup
// and length, and the labels (one for each label across the head).
using Signature = std::tuple<std::array<uint8_t, 5>, uint8_t, uint8_t, uint16_t, size_t, size_t>;
Signature SignatureOf(const tq33stream::Stream& stream) {
  if (stream.pages.empty() || stream.pages[0].labels.empty()) return {};
  const tq33stream::Label& label = stream.pages[0].labels[0];
  size_t labels = 0;
  for (const tq33stream::Page& page : stream.pages) labels += page.labels.size();
  return {label.header.printInfo, label.header.variousMode, label.header.advancedMode,
          label.header.margin, labels, label.lines.size()};
}

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
  ASSERT_TRUE(test::WriteFile(dir_ / "barcode.pdf", test::BarcodePdf(kTapeWidth, kTapeLength, bars)));
  threshold.insert(threshold.end(), {"-n", "3"});
  const tq33stream::Stream pdf = test::ParsedStream(Print("barcode.pdf", threshold));
  ASSERT_EQ(pdf.pages.size(), 3u) << "three copies of one page";
  EXPECT_EQ(pdf.documents, 1u);
  for (const tq33stream::Page& copy : pdf.pages) test::ExpectOnlyBars(copy.labels.at(0), bars, -kFeedMargin, 3);
}

TEST_F(CupsQueueTest, LandscapeArtworkPrintsAsTheToolPrintsItInLandscape) {
  // A PNG the size of the tape's printable area (1304 x 256 dots at 360 dpi): CUPS leaves
  // it as it stands on the queue's landscape page, and the stream is the tool's to the
  // byte, with the queue's threshold halftoning.
  test::WritePng(dir_ / "wide.png", {1304, 256, 0, 8, test::Ramp(1304, 256).pixels});
  const std::string queued = Print("wide.png", {"-o", "PageSize=Laminated_tape_24mm", "-o", "ppi=360"});
  EXPECT_TRUE(queued == test::ToolPrint(dir_.path(), {"wide.png", "--paper", "262", "--orientation", "landscape",
                                                       "--halftone", "threshold"}));

  // A landscape PDF page of the tape's size, black in its upper left quarter, prints that
  // block on the first quarter of the tape, as the tool prints the page's left: turned any
  // other way it would come last.
  const std::string quarter = "0 g 0 " + std::to_string(kTapeWidth / 2) + " " + std::to_string(kTapeLength / 4) +
                              " " + std::to_string(kTapeWidth / 2) + " re f\n";
  ASSERT_TRUE(test::WriteFile(dir_ / "wide.pdf", test::Pdf(kTapeLength, kTapeWidth, {quarter})));
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
  ASSERT_TRUE(test::WriteFile(dir_ / "one.pdf", test::Pdf(kTapeLength, kTapeWidth, {block})));
  ASSERT_TRUE(test::WriteFile(dir_ / "two.pdf", test::Pdf(kTapeLength, kTapeWidth, {block, block + "0 g 100 20 40 40 re f\n"})));
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
      {"two.pdf", "2", false, {0, 0, 1, 1}}, {"one.txt", "3", false, {0, 0, 0}}, {"two.txt", "2", true, {0, 1, 0, 1}},
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

TEST_F(CupsQueueTest, IppClientsSeeEveryMediumBySizeAndTypeAndEachPrintsOnIt) {
  // CUPS's own check of the printer's attributes passes.
  const test::ProcessResult checked = cupsd_.Ipptool("tq33", "get-printer-attributes.test");
  ASSERT_EQ(checked.status, 0) << checked.out << checked.err;

  // The catalog, and the stream each medium gives when named by its page size, printed
  // here through the engine as the filter prints it.
  std::vector<tq33cups::MediaChoice> catalog;
  std::map<std::string, Signature> expected;  // by PPD keyword
  {
    auto probe = Open();
    ASSERT_TRUE(probe);
    const SettingsRecord defaults = test::Context(*probe)->defaultSettings;
    catalog = tq33cups::BuildMediaCatalog(*test::Context(*probe));
    probe.reset();
    for (const tq33cups::MediaChoice& m : catalog) {
      host::SessionOptions options;
      options.devmode = tq33cups::BuildApplicationRecord(
          defaults, catalog, {m.keyword, m.width, m.pageLength, 360}, tq33cups::DefaultJobOptions(defaults), 1);
      auto session = Open(options);
      ASSERT_TRUE(session) << m.keyword;
      const GDIINFO& gdi = session->gdiInfo();
      ASSERT_TRUE(session->PrintDocument({host::GrayImage::Filled(gdi.ulHorzRes, gdi.ulVertRes, 0xFF)}));
      session.reset();
      const test::Bytes spooled = TakeSpooled();
      expected[m.keyword] = SignatureOf(test::ParsedStream(std::string(spooled.begin(), spooled.end())));
    }
  }
  // Media of one size, which only their type tells apart, print streams of their own (a
  // blank label of the 3.5 mm tape reads as one of the 5.8 mm tube).
  for (const tq33cups::MediaChoice& a : catalog) {
    for (const tq33cups::MediaChoice& b : catalog) {
      if (&a != &b && a.sizeName == b.sizeName) {
        EXPECT_NE(expected[a.keyword], expected[b.keyword]) << a.keyword << " and " << b.keyword;
      }
    }
  }
  const auto it = std::find_if(catalog.begin(), catalog.end(), [](const auto& m) { return m.keyword == "VK_24mm_RFID"; });
  ASSERT_NE(it, catalog.end());

  // Every size by its name, the default's among them, every type, a collection of size
  // and margins for each size.
  const std::vector<std::string> sizes = Values(checked.out, "media-supported");
  std::set<std::string> names = {"custom_min_9.1x3.5mm", "custom_max_1000x36mm"};
  for (const tq33cups::MediaChoice& m : catalog) names.insert(m.sizeName);
  EXPECT_EQ(std::set<std::string>(sizes.begin(), sizes.end()), names);
  EXPECT_EQ(Values(checked.out, "media-default"), std::vector<std::string>{it->sizeName});
  EXPECT_NE(checked.out.find("media-col-default (collection) = {media-size={x-dimension=10000 y-dimension=2400}"),
            std::string::npos);
  std::vector<std::string> types;
  for (const auto& type : tq33cups::MediaTypes(catalog)) types.push_back(type.first);
  EXPECT_EQ(Values(checked.out, "media-type-supported"), types);
  const std::string database = checked.out.substr(checked.out.find("        media-col-database ("));
  EXPECT_EQ(std::count(database.begin(), database.begin() + database.find('\n'), '{'),
            2 * static_cast<long>(names.size() - 2)) << "a collection and its media-size for each size";

  // A job without media prints on the default medium; one with a size name on that size's
  // plain medium; one with a size and a type, as a print dialog sends them, on the medium
  // of that type. Every medium is reached.
  test::WritePng(dir_ / "label.png", BarcodePng(100, 40, {{10, 20}}, 255));
  ASSERT_TRUE(test::WriteFile(dir_ / "media.test", R"({
  NAME "Print-Job with a media-col"
  OPERATION Print-Job
  GROUP operation-attributes-tag
  ATTR charset attributes-charset utf-8
  ATTR naturalLanguage attributes-natural-language en
  ATTR uri printer-uri $uri
  ATTR name requesting-user-name tester
  ATTR mimeMediaType document-format image/png
  GROUP job-attributes-tag
  ATTR collection media-col {
    MEMBER collection media-size { MEMBER integer x-dimension $x MEMBER integer y-dimension $y }
    MEMBER keyword media-type $type
  }
  FILE $filename
  STATUS successful-ok
  EXPECT job-id
})"));
  std::set<std::string> reached;
  const auto printed = [&](const std::string& what, const std::string& keyword) {
    const Signature got = SignatureOf(test::ParsedStream(test::ReadFile(dir_ / "out.bin")));
    EXPECT_EQ(got, expected[keyword]) << what << " should print on " << keyword;
    if (got == expected[keyword]) reached.insert(keyword);
  };
  EXPECT_EQ(cupsd_.Print("tq33", dir_ / "label.png", {}), IPP_JSTATE_COMPLETED);
  printed("the default", "VK_24mm_RFID");
  for (const tq33cups::MediaChoice& m : catalog) {
    if (m.primary) {
      EXPECT_EQ(cupsd_.Print("tq33", dir_ / "label.png", {"-o", "media=" + m.sizeName}), IPP_JSTATE_COMPLETED);
      printed(m.sizeName, m.keyword);
    } else {
      const int x = static_cast<int>(m.pageLength * 10);  // hundredths of a millimetre
      const test::ProcessResult job = cupsd_.Ipptool("tq33", dir_ / "media.test",
          {{"x", std::to_string(x)}, {"y", std::to_string(m.width * 10)}, {"type", m.mediaType},
           {"filename", dir_ / "label.png"}});
      ASSERT_EQ(job.status, 0) << job.out << job.err;
      const std::vector<std::string> id = Values(job.out, "job-id");
      ASSERT_EQ(id.size(), 1u) << job.out;
      EXPECT_EQ(cupsd_.WaitForJob("tq33", std::stoi(id[0])), IPP_JSTATE_COMPLETED);
      printed(m.sizeName + " " + m.mediaType, m.keyword);
    }
  }
  EXPECT_EQ(reached.size(), catalog.size());
}

TEST_F(CupsQueueTest, TheLongestLabelPrintsAt720DpiAndTheHalftoneFollowsTheContent) {
  // A page of 1 m of the 24 mm tape at 720 dpi along it, a bar at each end: every line of
  // the label is printed, the last bar among them.
  const double metre = 2834.65;
  const std::string bars = "0 g 20 0 10 " + std::to_string(kTapeWidth) + " re f " +
                           std::to_string(metre - 40) + " 0 10 " + std::to_string(kTapeWidth) + " re f\n";
  ASSERT_TRUE(test::WriteFile(dir_ / "metre.pdf", test::Pdf(metre, kTapeWidth, {bars})));
  const tq33stream::Stream metreStream = test::ParsedStream(
      Print("metre.pdf", {"-o", "PageSize=Custom.1000x24mm", "-o", "Resolution=720x360dpi"}));
  ASSERT_EQ(metreStream.pages.size(), 1u);
  const tq33stream::Label& label = metreStream.pages[0].labels.at(0);
  EXPECT_EQ(label.header.feedResolution, 720);
  const std::vector<int> dots = test::DotsPerLine(label);
  EXPECT_NEAR(static_cast<double>(dots.size()), 28346 - 2 * 2 * kFeedMargin, 8) << "1 m at 720 dpi";
  const auto inked = [&](size_t from, size_t to) {
    return std::any_of(dots.begin() + from, dots.begin() + to, [](int d) { return d > 0; });
  };
  EXPECT_TRUE(inked(0, 300) && inked(dots.size() - 300, dots.size()) && !inked(600, dots.size() - 600));

  // Light gray: photos diffuse it into scattered dots, text and the queue's default keep
  // every line whole, all dots or none.
  test::WritePng(dir_ / "gray.png", BarcodePng(200, 200, {}, 96));
  const auto scattered = [&](std::vector<std::string> options) {
    options.insert(options.end(), {"-o", "media=custom_100x24mm_100x24mm", "-o", "ppi=360"});
    const tq33stream::Stream stream = test::ParsedStream(Print("gray.png", options));
    const std::vector<int> counts = test::DotsPerLine(stream.pages.at(0).labels.at(0));
    return std::count_if(counts.begin(), counts.end(), [](int d) { return d > 0 && d < 150; });
  };
  EXPECT_GT(scattered({"-o", "print-content-optimize=photo"}), 100);
  EXPECT_EQ(scattered({"-o", "print-content-optimize=text"}), 0);
  EXPECT_EQ(scattered({}), 0);
}

}  // namespace
