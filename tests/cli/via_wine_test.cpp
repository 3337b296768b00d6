// SPDX-License-Identifier: Apache-2.0
// `tq33 print --via-wine` and `tq33 info --via-wine` end to end: jobs through the shipped
// Windows DLLs under Wine give the Linux tool's bytes, warnings and reports, and what the
// Windows side lacks, an engine that is not our stand-in and a DLL that refuses the job
// fail it in words.
//
// Wine runs only where `make wine` has made its build and prefix; elsewhere those tests are
// skipped. A sample of jobs runs here; with TQ33_VIA_WINE_ALL=1 (`make wine`) the label
// documents and a seeded random sample of option combinations run as well. (`make wine`
// also repeats every print and info of the tool's tests through both DLLs: see
// RunTool in tests/support/tool_runner.cpp.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>

#include "documents/label_documents.h"
#include "tests/cli/tool_fixture.h"

namespace test {
namespace {

namespace fs = std::filesystem;

// The build tree of `make wine`: beside the tool's.
const fs::path kBuildTree = fs::path(TQ33_BINARY_DIR).parent_path().parent_path();

// Sets an environment variable for a scope.
struct ScopedVariable {
  ScopedVariable(const char* variable, const std::string& value) : name(variable) {
    if (const char* was = std::getenv(name)) old = was;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedVariable() { old ? setenv(name, old->c_str(), 1) : unsetenv(name); }
  const char* name;
  std::optional<std::string> old;
};

class ViaWineTest : public ToolTest {
 protected:
  // What `make wine` has not made of both Windows sides and the prefix: empty when Wine
  // can run the tool's jobs.
  static std::string MissingWine() {
    for (const char* file : {"windows/wine/run_job.exe", "windows64/wine/run_job.exe", "wine/prefix/system.reg"}) {
      if (!fs::exists(kBuildTree / file)) return std::string("no ") + file + ": run `make wine`";
    }
    return {};
  }

  // Runs a command line on Linux and, with the same options, through both DLLs, expecting
  // the same status, warnings and bytes (RunTool compares them).
  void ExpectTheSameThroughBothDlls(const Args& args) {
    ScopedVariable widths("TQ33_VIA_WINE", "32 64");
    SCOPED_TRACE(::testing::PrintToString(args));
    const ToolResult linux = Run(args);
    EXPECT_EQ(linux.status, 0) << linux.err;
  }

  // A page image of the test documents for the page the options make, as a PGM.
  std::string DocumentPage(const Args& options, int seed) {
    auto [cx, cy] = Page(options);
    const host::GrayImage page = tq33docs::TestPage({static_cast<LONG>(cx), static_cast<LONG>(cy)}, seed);
    const std::string name = "page-" + std::to_string(seed) + ".pgm";
    WritePgm(Path(name), {cx, cy, page.pixels});
    return name;
  }

  // A scratch build tree whose Windows side is the real one but for the files replaced.
  std::string ScratchBuild(const std::vector<std::pair<std::string, std::string>>& replaced) {
    const fs::path tree = Path("build");
    for (const char* side : {"windows", "windows64"}) {
      for (const char* folder : {"bin", "wine"}) {
        fs::create_directories(tree / side / folder);
        for (const auto& entry : fs::directory_iterator(kBuildTree / side / folder)) {
          fs::create_symlink(entry.path(), tree / side / folder / entry.path().filename());
        }
      }
    }
    fs::create_directory_symlink(kBuildTree / "wine", tree / "wine");
    for (const auto& [file, target] : replaced) {
      fs::remove(tree / file);
      fs::create_symlink(kBuildTree / target, tree / file);
    }
    return tree.string();
  }
};

TEST_F(ViaWineTest, ASampleOfJobsGivesTheLinuxBytesThroughBothDlls) {
  if (const std::string missing = MissingWine(); !missing.empty()) GTEST_SKIP() << missing;
  // Error diffusion and the 720-dpi corrections on a tape of two labels across, portrait,
  // in bands; plain copies of two pages, one cropped with a warning; and the printer's
  // environment, which the registry options, code page and measure also change.
  WriteBytes(Path("options.bin"), {32, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                   0,  0, 0, 0, 1,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  Args job = {"--paper", "280", "--orientation", "portrait", "--dpi", "720", "--halftone",
              "diffusion", "--copies", "2", "--plain"};
  job.insert(job.end(), {"--printer-data", "FreeMem=2000", "--registry-options", "options.bin",
                         "--codepage", "1250", "--measure", "1"});
  WritePgm(Path("wide.pgm"), {2000, 300, std::vector<uint8_t>(600000, 90)});
  ExpectTheSameThroughBothDlls(
      Join({"print", DocumentPage(job, 3), "wide.pgm", "--max-bitmap", "200000", "-o", "across.bin"}, job));
  // The records of a context whose resource library forbids 720 dpi, with the warning.
  ExpectTheSameThroughBothDlls(
      Join({"info", "--json", "--resource-language", "0409:04B0", "--max-bitmap", "120000"}, job));
}

TEST_F(ViaWineTest, WhatTheWindowsSideLacksIsNamed) {
  fs::create_directories(Path("empty"));
  ScopedVariable tree("TQ33_WINE_BUILD", Path("empty"));
  const ToolResult missing = Run({"info", "--via-wine", "32"});
  ExpectFailure(missing, 1, "needs the 32-bit Windows build that `make wine` makes");
  ExpectHas(missing.err, {"windows/bin/TQ33KV.DLL", "windows/wine/run_job.exe", "run `make wine`"});
  ExpectFailure(Run({"media", "--via-wine", "64"}), 2, "media takes no --via-wine");
}

TEST_F(ViaWineTest, ADllThatRefusesTheJobAndAnEngineNotOursFailItInWords) {
  if (const std::string missing = MissingWine(); !missing.empty()) GTEST_SKIP() << missing;
  // The 64-bit driver with the 32-bit model-data library makes no context.
  {
    ScopedVariable tree("TQ33_WINE_BUILD", ScratchBuild({{"windows64/bin/TQ33Ki3.dll", "windows/bin/TQ33Ki3.dll"}}));
    ExpectFailure(Run({"info", "--via-wine", "64"}), 1,
                  "the 64-bit TQ33KV.DLL under Wine makes no context of the printer, where the "
                  "Linux build makes one: DrvEnablePDEV failed");
  }
  fs::remove_all(Path("build"));
  // A GDI32.dll that is not the stand-in engine: Wine takes its own instead, which the
  // runner refuses before the driver is loaded.
  ScopedVariable tree("TQ33_WINE_BUILD", ScratchBuild({{"windows64/wine/GDI32.dll", "windows64/wine/TQ33Kr.dll"}}));
  WritePgm(Path("page.pgm"), {4, 4, std::vector<uint8_t>(16, 0)});
  const ToolResult refused = Run({"print", "page.pgm", "--via-wine", "64", "-o", "out.bin"});
  ExpectFailure(refused, 1,
                "the 64-bit TQ33KV.DLL under Wine: run_job.exe could not set the job up: GDI32.dll "
                "and WINSPOOL.DRV are not the stand-ins beside this program");
  EXPECT_FALSE(fs::exists(Path("out.bin")));
}

// The label documents of the reliability tests and of `make wine` that one settings record
// can print, and the banded document of the driver's tests, as command lines; then a
// seeded random sample of the tool's options. Run by `make wine`.
TEST_F(ViaWineTest, TheDocumentsAndARandomSampleOfOptionsGiveTheLinuxBytes) {
  if (!std::getenv("TQ33_VIA_WINE_ALL")) GTEST_SKIP() << "run by `make wine`";
  if (const std::string missing = MissingWine(); !missing.empty()) GTEST_SKIP() << missing;
  std::vector<Args> documents;
  for (const char* halftone : {"threshold", "ordered", "diffusion"}) {
    for (const char* orientation : {"portrait", "landscape"}) {
      for (const char* dpi : {"360", "720"})
        documents.push_back({"--halftone", halftone, "--orientation", orientation, "--dpi", dpi});
    }
  }
  documents.insert(documents.end(),
                   {{"--paper", "280", "--pages", "2"}, {"--paper", "362", "--halftone", "diffusion"}, {"--paper", "317"},
                    {"--halftone", "diffusion", "--length", "600", "--max-bitmap", "24576", "--pages", "2"},
                    {"--copies", "3"}, {"--set", "privOpt20000=1", "--pages", "2"},
                    {"--set", "privOpt20000=1", "--set", "privOpt40000=1", "--pages", "2"}});
  int seed = 0;
  for (Args options : documents) {
    int pages = 1;
    if (options.size() >= 2 && options[options.size() - 2] == "--pages") {
      pages = std::stoi(options.back());
      options.resize(options.size() - 2);
    }
    options.insert(options.begin(), {"--plain", "--paper", "262", "--length", "250"});
    Args print = Join({"print", "-o", "document.bin"}, options);
    for (int page = 0; page < pages; ++page) print.push_back(DocumentPage(options, seed++));
    ExpectTheSameThroughBothDlls(print);
  }
  // The driver's banded document: three pages in bands of a third of the page each.
  auto [cx, cy] = Page({});
  ExpectTheSameThroughBothDlls({"print", DocumentPage({}, 0), DocumentPage({}, 1),
                                DocumentPage({}, 2), "--max-bitmap",
                                std::to_string(uint64_t{cx} * cy / 3), "-o", "banded.bin"});

  // Options drawn from the tool's option space, on media the installation lists.
  std::vector<std::string> media;
  const Json listed = RunJson({"media"});
  for (const Json& medium : listed["media"]) media.push_back(medium["mrPaperSize"].dump());
  for (const Json& definition : listed["definitions"]) {
    if (!definition.contains("ignored")) media.push_back(definition["paperSizeCode"].dump());
  }
  std::mt19937 random(33);
  auto pick = [&](std::initializer_list<const char*> choices) {
    return std::string(*(choices.begin() + random() % choices.size()));
  };
  auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
  int printed = 0;
  for (int attempt = 0; printed < 24 && attempt < 60; ++attempt) {
    Args options = {"--paper", media[random() % media.size()]};
    const auto add = [&](const Args& more) { options.insert(options.end(), more.begin(), more.end()); };
    if (chance(70)) add({"--orientation", pick({"portrait", "landscape"})});
    if (chance(50)) add({"--dpi", pick({"360", "720"})});
    if (chance(80)) add({"--halftone", pick({"threshold", "ordered", "diffusion"})});
    if (chance(40)) add({"--length", std::to_string(300 + random() % 3000)});
    if (chance(30)) add({"--copies", std::to_string(1 + random() % 3)});
    if (chance(40)) add({"--contrast", std::to_string(static_cast<int>(random() % 256) - 128)});
    if (chance(40)) add({"--brightness", std::to_string(static_cast<int>(random() % 256) - 128)});
    for (const char* flag : {"--mirror", "--no-auto-cut", "--no-half-cut", "--chain", "--plain"}) {
      if (chance(25)) options.push_back(flag);
    }
    if (chance(30)) add({"--max-bitmap", std::to_string(20000 + random() % 200000)});
    if (chance(15)) add({"--set", "privSmallChar=1"});
    if (chance(15)) add({"--set", "privOpt20000=1"});
    if (chance(15)) add({"--resource-language", "0409:04B0"});
    if (chance(15)) add({"--measure", "1"});
    if (chance(15)) add({"--codepage", pick({"1250", "932"})});
    if (chance(15)) add({"--printer-data", "FreeMem=" + std::to_string(random() % 4000)});
    ToolResult described;
    {
      ScopedVariable none("TQ33_VIA_WINE", "");
      described = Run(Join({"info"}, options));
    }
    if (described.status != 0) continue;  // settings that leave no page
    auto [width, height] = Page(options);
    Args print = Join({"print", "-o", "sample.bin"}, options);
    const int pages = 1 + static_cast<int>(random() % 3);
    for (int page = 0; page < pages; ++page) {
      // The page itself, or an image of another size cropped or fitted onto it.
      const bool exact = chance(60);
      const uint32_t w = exact ? width : 1 + random() % (2 * width);
      const uint32_t h = exact ? height : 1 + random() % (2 * height);
      Gray image{w, h, std::vector<uint8_t>(size_t{w} * h)};
      for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x)
          image.pixels[size_t{y} * w + x] =
              (x / 9 + y / 5) % 4 == 0 ? 0 : static_cast<uint8_t>(x * 3 + y * 5 + page * 40);
      }
      const std::string name = "sample-" + std::to_string(page) + ".pgm";
      WritePgm(Path(name), image);
      print.push_back(name);
    }
    if (chance(30)) print.insert(print.end(), {"--fit", "contain"});
    ExpectTheSameThroughBothDlls(print);
    ++printed;
  }
  EXPECT_EQ(printed, 24) << "too few option combinations leave a page";
}

}  // namespace
}  // namespace test
