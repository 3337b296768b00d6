// `tq33 print`: one page per image, as one document, through the driver's DDI table; OUT
// receives exactly the bytes the spooler received, and only when the whole job succeeded.
#include <sys/mman.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/file_io.h"
#include "cli/image_input.h"
#include "cli/interrupts.h"
#include "cli/printer_context.h"
#include "cli/tool.h"

namespace tq33cli {
namespace {

// Documents with at least this many pages show their progress on a terminal.
constexpr size_t kProgressPages = 5;

struct PrintOptions {
  std::vector<std::string> images;
  std::string out;
  std::string fit = "none";
  ToolOptions shared;
  SharedOptionValues values;
};

// Collects what the driver writes to the spooler into the pending output file, and puts
// the spooler back as it was when the job is over, however it ends.
class SpoolCapture {
 public:
  SpoolCapture(HANDLE printer, PendingFile* out) : printer_(printer) {
    host::SetWriteSink(printer_, [this, out](const uint8_t* bytes, size_t count) {
      if (!out->Write(bytes, count)) {
        failed_ = true;
        error_ = errno;
      }
      return !failed_;
    });
  }
  ~SpoolCapture() { host::SetWriteSink(printer_, {}); }
  bool failed() const { return failed_; }
  int error() const { return error_; }

 private:
  HANDLE printer_;
  bool failed_ = false;
  int error_ = 0;
};

// One line on standard error, rewritten page by page.
class Progress {
 public:
  explicit Progress(size_t pages)
      : pages_(pages), shown_(pages >= kProgressPages && isatty(STDERR_FILENO)) {}
  ~Progress() {
    if (shown_) std::fprintf(stderr, "\r\033[K");
  }
  void Page(size_t page) {
    if (shown_) std::fprintf(stderr, "\rtq33: printing page %zu of %zu", page, pages_);
  }

 private:
  size_t pages_;
  bool shown_;
};

// Runs the job; throws, leaving OUT as it was, when any image, DDI call or write fails.
// Asks the kernel to back the 2 MB-aligned part of a block with huge pages. The page image
// and the surface are written whole for every page; in a process that prints one long
// label, their first touch in 4 KB pages (some 5,000 faults for a 1 m label at 720 dpi)
// costs as much as a third of the page's conversion. Only advice: nothing fails without it.
void AdviseHugePages(void* start, size_t bytes) {
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  uintptr_t first = (reinterpret_cast<uintptr_t>(start) + kHuge - 1) & ~(kHuge - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(kHuge - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

int RunPrint(const PrintOptions& options) {
  // Every image must at least be one we take before the driver prints a page.
  for (const std::string& image : options.images) ProbeImage(image);
  const Fit fit = options.fit == "contain" ? Fit::Contain : Fit::None;

  PrinterContext printer(options.shared);
  PendingFile out(options.out);
  host::EngineSession& session = printer.session();

  host::GrayImage page;
  page.width = printer.pageWidth();
  page.height = printer.pageHeight();
  if (page.width <= 0 || page.height <= 0) {
    Fail("the driver made a page of " + std::to_string(page.width) + " x " +
         std::to_string(page.height) + " dots; there is nothing to print on");
  }
  // Reserved first and sized after the advice, which only memory not yet touched takes.
  const size_t pageBytes = static_cast<size_t>(page.width) * static_cast<size_t>(page.height);
  page.pixels.reserve(pageBytes);
  AdviseHugePages(page.pixels.data(), pageBytes);
  if (SURFOBJ* surface = session.surfaceObject()) AdviseHugePages(surface->pvBits, surface->cjBits);
  page.pixels.resize(pageBytes);
  const GDIINFO& gdi = session.gdiInfo();
  GrayPage target{static_cast<uint32_t>(page.width), static_cast<uint32_t>(page.height),
                  page.pixels.data(), gdi.ulLogPixelsX, gdi.ulLogPixelsY};

  {
    SpoolCapture capture(printer.printer(), &out);
    Progress progress(options.images.size());
    host::DdiStatus status = session.StartDoc(u"tq33");
    if (!status) Fail("the driver refused to start the document: " + status.Describe());
    for (size_t i = 0; i < options.images.size(); ++i) {
      progress.Page(i + 1);
      try {
        RenderImage(options.images[i], fit, &target);
        StopWhenInterrupted();
      } catch (...) {
        session.EndDoc(true);
        throw;
      }
      status = session.PrintPage(page);
      if (!status) {
        session.EndDoc(true);
        StopWhenInterrupted();
        Fail("the driver failed page " + std::to_string(i + 1) + " (" + options.images[i] +
             "): " + status.Describe());
      }
      if (capture.failed()) break;
    }
    status = session.EndDoc(false);
    // A page the band loop abandoned reports no failure; the interruption still counts.
    StopWhenInterrupted();
    if (capture.failed()) {
      Fail("cannot write " + options.out + ": " + std::strerror(capture.error()));
    }
    if (!status) Fail("the driver failed to end the document: " + status.Describe());
    // A spooler write the driver could not make shows only in its output latch.
    if (printer.context()->jobFlags & JF_OUTPUT_FAILED) {
      Fail("the driver could not write the whole job to the spooler");
    }
  }
  out.Commit();
  return kExitOk;
}

}  // namespace

void AddPrintCommand(CLI::App* app, SetRun setRun) {
  auto options = std::make_shared<PrintOptions>();
  CLI::App* command = app->add_subcommand(
      "print", "Print images as one document, one page each, and save the spooled bytes");
  command
      ->add_option("IMAGE", options->images,
                   "PNG (gray, RGB, palette, with or without alpha) or binary PGM (P5)")
      ->required();
  command->add_option("-o,--output", options->out, "The file that receives the spooled bytes")
      ->type_name("OUT")
      ->required();
  command
      ->add_option("--fit", options->fit,
                   "none: image pixel (x, y) on page dot (x, y), cropped; contain: scaled "
                   "to fit the page, centred, its aspect kept on the tape at either dpi")
      ->check(CLI::IsMember({"none", "contain"}))
      ->capture_default_str();
  AddSharedOptions(command, &options->shared, &options->values);
  command->footer(
      "The page is the printable label in dots (`tq33 info` shows its size); white is 255.\n"
      "OUT is written only when the whole job succeeded.\n"
      "\n"
      "Examples:\n"
      "  tq33 print label.png -o out.bin\n"
      "  tq33 print photo.png --fit contain --halftone diffusion -o out.bin\n"
      "  tq33 print a.png b.png --plain --copies 2 --orientation portrait -o out.bin\n"
      "  tq33 print label.pgm --paper 262 --length 500 --dpi 720 -o out.bin\n"
      "  tq33 print label.png --set privMargin=40 --set dmCopies=3 -o out.bin\n");
  command->callback([command, options, setRun] {
    FinishSharedOptions(*command, options->values, &options->shared);
    setRun([options] { return RunPrint(*options); });
  });
}

}  // namespace tq33cli
