// SPDX-License-Identifier: Apache-2.0
// The job's page and options written into the application's record, as the driver's merge
// then takes them: every page size selects its medium, options reach the settings, and
// the PPD's and job's option values resolve in the right order.
#include "cups/job_settings.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "cups/job_options.h"
#include "cups/media_catalog.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/media_file_writer.h"

namespace {

using namespace tq33cups;

class JobSettingsTest : public test::EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    auto probe = Open();
    ASSERT_TRUE(probe);
    defaults_ = test::Context(*probe)->defaultSettings;
    catalog_ = BuildMediaCatalog(*test::Context(*probe));
  }

  std::unique_ptr<host::EngineSession> OpenFor(const PageRequest& page,
                                               const JobOptions& options = {}, LONG copies = 1) {
    host::SessionOptions session;
    session.devmode = BuildApplicationRecord(defaults_, catalog_, page, options, copies);
    return Open(session);
  }

  SettingsRecord defaults_{};
  std::vector<MediaChoice> catalog_;
};

TEST_F(JobSettingsTest, EveryPageSizeOfTheCatalogSelectsItsMediumAndTheTapeLength) {
  ASSERT_EQ(catalog_.size(), 30u) << "26 media and 4 definitions";
  for (const MediaChoice& choice : catalog_) {
    SCOPED_TRACE(choice.keyword);
    auto session = OpenFor({choice.keyword, choice.width, 777, 360});
    ASSERT_TRUE(session);
    const SettingsRecord& s = test::Context(*session)->settings;
    // Continuous tape prints the page's length, a label its own.
    EXPECT_EQ(std::tuple(static_cast<WORD>(s.dm.dmPaperSize), +s.priv.privMediaId,
                         +s.priv.privFormIndex, +s.dm.dmOrientation, +s.priv.privLength),
              std::tuple(choice.paperSize, +choice.mediaIndex, choice.definition + 1,
                         DMORIENT_LANDSCAPE, choice.continuous() ? 777u : DWORD(choice.length)));
  }
}

TEST_F(JobSettingsTest, IppNamesTellEveryMediumApartAndPickThePlainOneOfEachSize) {
  const auto find = [&](std::string_view keyword) { return FindMediaChoice(catalog_, keyword); };
  // What CUPS names each size, the type that tells media of one size apart, and which of
  // them the size name alone selects.
  const std::tuple<const char*, const char*, const char*, bool> expected[] = {
      {"Laminated_tape_24mm", "custom_100x24mm_100x24mm", "tape", true},
      {"Laminated_tape_12mm_2_labels_across", "custom_100x24mm_100x24mm", "tape-2-across", false},
      {"Laminated_tape_6mm_4_labels_across", "custom_100x24mm_100x24mm", "tape-4-across", false},
      {"Continuous_paper_tape_24mm", "custom_100x24mm_100x24mm", "paper-tape", false},
      {"VK_24mm_RFID", "custom_100x24mm_100x24mm", "special-tape", false},
      {"Laminated_tape_18mm", "custom_100x18mm_100x18mm", "tape", true},
      {"Laminated_tape_12mm_3_labels_across", "custom_100x36mm_100x36mm", "tape-3-across", true},
      {"Laminated_tape_3.5mm", "custom_100x3.5mm_100x3.5mm", "tape", true},
      {"Heat-shrink_tube_5.8mm", "custom_100x5.8mm_100x5.8mm", "tape", true},
      {"Die-cut_label_24_x_40mm", "custom_40x24mm_40x24mm", "labels", true},
      {"Paper_price_tag_24_x_40_mm", "custom_40x24mm_40x24mm", "paper-tape", false},
      {"Paper_label_12_x_30mm", "custom_30x12mm_30x12mm", "paper-labels", true}};
  for (const auto& [keyword, size, type, primary] : expected) {
    const MediaChoice* choice = find(keyword);
    ASSERT_NE(choice, nullptr) << keyword;
    EXPECT_EQ(std::tuple(choice->sizeName, choice->mediaType, choice->primary),
              std::tuple(std::string(size), std::string(type), primary)) << keyword;
  }
  std::set<std::pair<std::string, std::string>> pairs;
  std::map<std::string, int> primaries;
  for (const MediaChoice& choice : catalog_) {
    EXPECT_TRUE(pairs.emplace(choice.sizeName, choice.mediaType).second) << choice.keyword;
    primaries[choice.sizeName] += choice.primary;
  }
  for (const auto& [size, count] : primaries) EXPECT_EQ(count, 1) << size;

  // By type: another medium of the page's size, or for a custom page the tape of its
  // width; a type without a medium of that size finds none.
  EXPECT_EQ(FindMediumOfType(catalog_, find("Laminated_tape_24mm"), 0, 0, "special-tape"), find("VK_24mm_RFID"));
  EXPECT_EQ(FindMediumOfType(catalog_, nullptr, 245, 500, "paper-tape"), find("Continuous_paper_tape_24mm"));
  EXPECT_EQ(FindMediumOfType(catalog_, nullptr, 240, 403, "labels"), find("Die-cut_label_24_x_40mm"));
  EXPECT_EQ(FindMediumOfType(catalog_, find("Laminated_tape_18mm"), 0, 0, "paper-tape"), nullptr);

  // Two user-defined labels cut from the die-cut label are that label's size and type: the
  // first is named after itself, the second, of the same name, by its code too.
  const std::string bytes = test::MediaFileBytes({{u"Tag (copy)", 0, 361, 4000, 300},
                                                  {u"Tag (copy)", 0, 361, 4000, 300}});
  host::InstallationFiles files = test::DefaultInstallationFiles();
  files.mediaDefinitions = std::vector<uint8_t>(bytes.begin(), bytes.end());
  Install(files);
  auto probe = Open();
  ASSERT_TRUE(probe);
  const std::vector<MediaChoice> tags = BuildMediaCatalog(*test::Context(*probe));
  ASSERT_EQ(tags.size(), 28u);
  EXPECT_EQ(std::tuple(tags[26].sizeName, tags[26].mediaType, tags[27].mediaType, tags[27].mediaTypeText),
            std::tuple("custom_40x24mm_40x24mm", "tag-copy", "tag-copy-318", "Tag (copy)"));
}

TEST_F(JobSettingsTest, OptionsOverrideTheDefaultsExchangeBlockAndCopiesStayWithinTheDriversRange) {
  // An exchange request left in the defaults must not win over the page and the options.
  defaults_.priv.xbRequest = 0x2 | 0x8;
  defaults_.priv.xbLength = 100;
  defaults_.priv.xbOptions = XBO_AUTO_CUT | XBO_HALF_CUT;
  JobOptions options;
  options.autoCut = false;
  options.mirror = true;
  options.framed = true;
  auto session = OpenFor({"Laminated_tape_12mm", 120, 500, 360}, options, 7);
  ASSERT_TRUE(session);
  const SettingsRecord& s = test::Context(*session)->settings;
  EXPECT_EQ(std::tuple(+s.dm.dmCopies, +s.priv.privLength, +s.priv.privAutoCut, +s.priv.privMirror,
                       +s.priv.privUseMonitor), std::tuple(7, 500u, 0, 1, 1));
  EXPECT_EQ(s.priv.xbOptions & (XBO_AUTO_CUT | XBO_MIRROR | XBO_HALF_CUT), XBO_MIRROR | XBO_HALF_CUT);

  // More copies than the driver takes ask for its most, not the single copy it would fall
  // back to.
  auto many = OpenFor({"Laminated_tape_12mm", 120, 500, 360}, {}, 9999);
  ASSERT_TRUE(many);
  EXPECT_EQ(test::Context(*many)->settings.dm.dmCopies, kMaxCopies);
}

TEST(JobOptions, TheJobOverridesThePpdWhichOverridesTheDriverAndBadValuesAreIgnored) {
  const PpdSettings ppd = ParsePpdSettings(
      "*PPD-Adobe: \"4.3\"\r\n*DefaultTQ33Halftone: Threshold\r\n*DefaultTQ33Mirror: True\n"
      "*DefaultTQ33Contrast: 32\n*DefaultTQ33Brightness: Lots\n"
      "*TQ33ModelData: \"/srv/tq33/my.model\"\n*DefaultPageSize: Laminated_tape_24mm\n");
  EXPECT_EQ(ppd.modelDataFile, "/srv/tq33/my.model");

  std::vector<std::string> warnings;
  const JobOptions options = ResolveJobOptions(JobOptions{}, ppd,
      "TQ33Halftone=ordered noTQ33Mirror TQ33Brightness=Custom.-17 TQ33AutoCut=no "
      "TQ33OutputForm=Framed TQ33Contrast=200 media=A4 "
      "multiple-document-handling=separate-documents-collated-copies", &warnings);
  // The half cut is the driver's default; collate is the IPP attribute a print dialog
  // sends; 200 is no contrast, so the PPD's default stands.
  EXPECT_EQ(std::tuple(options.halftone, options.mirror, options.brightness, options.autoCut,
                       options.halfCut, options.framed, options.collate, options.contrast),
            std::tuple(2, false, -17, false, true, true, true, 32));
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_NE(warnings[0].find("TQ33Brightness=Lots"), std::string::npos);
  EXPECT_NE(warnings[1].find("TQ33Contrast=200"), std::string::npos);

  // What the job holds picks the halftone unless the job names one, wherever it stands.
  const PpdSettings queue = ParsePpdSettings("*DefaultTQ33Halftone: Threshold\n*DefaultMediaType: special-tape\n");
  const std::vector<std::string> types = {"tape", "paper-tape", "special-tape"};
  const auto resolve = [&](const std::string& job) {
    const JobOptions o = ResolveJobOptions(JobOptions{}, queue, job, nullptr, &types);
    return std::tuple(+o.halftone, o.mediaType);
  };
  EXPECT_EQ(resolve("print-content-optimize=photo"), std::tuple(3, "special-tape"));
  EXPECT_EQ(resolve("print-content-optimize=text-and-graphics"), std::tuple(1, "special-tape"));
  EXPECT_EQ(resolve("TQ33Halftone=Ordered print-content-optimize=photo"), std::tuple(2, "special-tape"));
  // A size without a type is that size's own medium; a type comes in any of its forms.
  EXPECT_EQ(resolve("media=custom_100x24mm_100x24mm PageSize=Laminated_tape_24mm"), std::tuple(1, ""));
  EXPECT_EQ(resolve("media=custom_100x24mm_100x24mm,paper-tape"), std::tuple(1, "paper-tape"));
  EXPECT_EQ(resolve("PageSize=Laminated_tape_24mm MediaType=tape"), std::tuple(1, "tape"));
  EXPECT_EQ(resolve("media-type=Paper-Tape"), std::tuple(1, "paper-tape"));
}

}  // namespace
