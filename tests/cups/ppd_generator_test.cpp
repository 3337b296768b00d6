// SPDX-License-Identifier: Apache-2.0
// The PPD generated from an installation: every medium by its name with the driver's
// printable area, the options the filter reads back, and a PPD that CUPS accepts. (The
// installed queue's PPD is `tq33 ppd`'s, which InstalledQueueTest prints through cupsd.)
#include "cups/ppd_generator.h"

#include <gtest/gtest.h>

#include "cups/job_options.h"
#include "tests/support/cups_support.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/subprocess.h"
#include "tests/support/tool_runner.h"

namespace {

using namespace tq33cups;

class PpdGeneratorTest : public test::EngineTest {
 protected:
  std::string Generate(const PpdSource& source = {}) {
    std::string ppd;
    std::string error;
    EXPECT_TRUE(GeneratePpd(installation_->printer(), source, &ppd, &error)) << error;
    return ppd;
  }
  static bool Has(const std::string& ppd, const std::string& line) {
    return ppd.find(line + "\n") != std::string::npos;
  }
};

TEST_F(PpdGeneratorTest, NamesEveryMediumWithTheDriversPrintableAreaAndPassesCupsTestppd) {
  PpdSource source;
  source.filter = test::BuiltProgram("rastertotq33");
  source.mediaFile = "/srv/tq33/labels.dat";
  const std::string ppd = Generate(source);

  size_t sizes = 0;
  for (size_t at = ppd.find("\n*PageSize "); at != std::string::npos; at = ppd.find("\n*PageSize ", at + 1)) ++sizes;
  EXPECT_EQ(sizes, 30u);
  // The plain 24 mm tape is the first of its size, which CUPS keeps through IPP; the
  // default medium, the special tape, is that size with its type.
  EXPECT_LT(ppd.find("*PageSize Laminated_tape_24mm/"), ppd.find("*PageSize Laminated_tape_12mm_2_labels_across/"));
  // Pages are landscape, the label's length along x. A die-cut label 24 x 40 mm prints
  // 496 x 256 dots, 36 dots after its leading edge and 42 below its upper one; a
  // user-defined label keeps its definition's margin of 3 mm (43 dots); custom sizes span
  // the lengths the driver takes and the tapes' widths.
  for (const char* line : {"*DefaultPageSize: Laminated_tape_24mm", "*DefaultMediaType: special-tape",
       "*MediaType tape-2-across/Tape, 2 labels across: \"<</MediaType(tape-2-across)>>setpagedevice\"",
       "*cupsMaxCopies: 5000", "*DefaultTQ33Halftone: Threshold",
        "*PaperDimension Die-cut_label_24_x_40mm/Die-cut label 24 x 40mm: \"113.39 68.03\"",
        "*ImageableArea Die-cut_label_24_x_40mm/Die-cut label 24 x 40mm: \"7.20 8.43 106.40 59.63\"",
        "*ImageableArea Address_24_x_62_mm/Address 24 x 62 mm: \"8.60 8.43 167.40 59.63\"",
        "*ParamCustomPageSize Width: 1 points 25.80 2834.65", "*ParamCustomPageSize Height: 2 points 9.92 102.05",
        "*Resolution 720x360dpi/720 dpi along the tape: \"<</HWResolution[720 360]"
        "/cupsBitsPerColor 8/cupsColorOrder 0/cupsColorSpace 0>>setpagedevice\"",
        "*TQ33Halftone Threshold/Threshold (barcodes and text): \"\""})
    EXPECT_TRUE(Has(ppd, line)) << line;

  // The filter reads the PPD's defaults back as the driver's own.
  const PpdSettings settings = ParsePpdSettings(ppd);
  EXPECT_EQ(std::tuple(settings.mediaFile, settings.modelDataFile), std::tuple("/srv/tq33/labels.dat", ""));
  std::vector<std::string> warnings;
  const JobOptions read = ResolveJobOptions(JobOptions{}, settings, "", &warnings);
  EXPECT_EQ(std::tuple(warnings.size(), read.halftone, read.mediaType), std::tuple(0u, 1, "special-tape"));
  EXPECT_TRUE(read.autoCut && read.halfCut && !read.mirror && !read.chainPrint && !read.framed);

  const std::string checker = test::SystemProgram("cupstestppd");
  if (checker.empty()) GTEST_SKIP() << "cupstestppd is not installed";
  test::ScratchDir directory;
  ASSERT_TRUE(test::WriteFile(directory / "tq33.ppd", ppd));
  test::ProcessResult checked = test::RunProcess({checker, "-W", "none", directory / "tq33.ppd"});
  EXPECT_EQ(checked.status, 0) << checked.out << checked.err;
}

TEST_F(PpdGeneratorTest, OffersOnly360DpiWhereTheResourceLibraryForbids720) {
  host::InstallationFiles files = test::DefaultInstallationFiles();
  files.resourceTranslation = {{0x0409, 0x04B0}};
  Install(files);
  const std::string ppd = Generate();
  EXPECT_EQ(ppd.find("720x360dpi"), std::string::npos);
  EXPECT_TRUE(Has(ppd, "*DefaultResolution: 360dpi"));
}

}  // namespace
