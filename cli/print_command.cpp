// SPDX-License-Identifier: Apache-2.0
// `tq33 print`: one page per image, as one document, through the driver's DDI table; OUT
// receives exactly the bytes the spooler received, and only when the whole job succeeded.
#include <sys/mman.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/file_io.h"
#include "cli/image_input.h"
#include "cli/interrupts.h"
#include "cli/printer_context.h"
#include "cli/tool.h"
#include "cli/via_wine.h"

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

// Hands what the driver writes to the spooler on to the output as it comes, and puts the
// spooler back as it was when the job is over, however it ends.
class SpoolCapture {
 public:
  SpoolCapture(HANDLE printer, OutputFile* out) : printer_(printer) {
    host::SetWriteSink(
        printer_, [out](const uint8_t* bytes, size_t count) { return out->Write(bytes, count); });
  }
  ~SpoolCapture() { host::SetWriteSink(printer_, {}); }

 private:
  HANDLE printer_;
};

// Says on standard error how much of an image --fit none leaves off the page.
void WarnOfCrop(const std::string& image, ImageSize size, LONG pageWidth, LONG pageHeight) {
  const uint64_t width = static_cast<uint64_t>(pageWidth);
  const uint64_t height = static_cast<uint64_t>(pageHeight);
  const uint64_t kept =
      std::min<uint64_t>(size.width, width) * std::min<uint64_t>(size.height, height);
  const uint64_t all = uint64_t{size.width} * size.height;
  if (kept == all) return;
  std::string hint = "--fit contain scales it to the page";
  if ((size.height > size.width) != (height > width)) hint += ", --orientation turns the page";
  Warn(InputName(image) + " is " + std::to_string(size.width) + " x " +
       std::to_string(size.height) + " pixels, the page " + std::to_string(width) + " x " +
       std::to_string(height) + " dots: --fit none leaves " +
       CountOf(static_cast<int64_t>(all - kept), "pixel", "pixels") + " out (" + hint + ")");
}

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

// Asks the kernel to back the 2 MB-aligned part of a block with huge pages. A page image is
// written whole for every page; in a process that prints one long label, its first touch
// in 4 KB pages (some 1,300 faults for a 1 m label at 720 dpi) costs as much as a third of
// the page's conversion. Only advice: nothing fails without it. (The host places the
// engine's bitmaps so itself.)
void AdviseHugePages(void* start, size_t bytes) {
  constexpr uintptr_t kHuge = uintptr_t{2} << 20;
  uintptr_t first = (reinterpret_cast<uintptr_t>(start) + kHuge - 1) & ~(kHuge - 1);
  uintptr_t end = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(kHuge - 1);
  if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

// Where the pages are drawn: straight into the driver's surface when it is a single
// bitmap of the whole page, as an application draws; into a page image of the tool's when
// it is banded, which the engine hands the driver band by band.
class PageCanvas {
 public:
  PageCanvas(host::EngineSession* session, LONG width, LONG height) : session_(session) {
    const GDIINFO& gdi = session->gdiInfo();
    target_ = {static_cast<uint32_t>(width), static_cast<uint32_t>(height), nullptr,
               gdi.ulLogPixelsX, gdi.ulLogPixelsY};
    SURFOBJ* surface = session->surfaceObject();
    direct_ = !session->banded() && surface && surface->pvBits &&
              surface->sizlBitmap.cx == width && surface->sizlBitmap.cy == height &&
              surface->lDelta >= width;
    if (direct_) {
      target_.pixels = static_cast<uint8_t*>(surface->pvBits);
      target_.stride = static_cast<size_t>(surface->lDelta);
      return;
    }
    page_.width = width;
    page_.height = height;
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height);
    // Reserved first and sized after the advice, which only memory not yet touched takes.
    page_.pixels.reserve(bytes);
    AdviseHugePages(page_.pixels.data(), bytes);
    page_.pixels.resize(bytes);
    target_.pixels = page_.pixels.data();
  }

  // One page from DrvStartPage to DrvSendPage, drawn by draw between the two (before
  // both for a banded surface); the failed call, or what draw throws.
  template <typename Draw>
  host::DdiStatus Print(Draw draw) {
    if (!direct_) {
      draw(&target_);
      return session_->PrintPage(page_);
    }
    host::DdiStatus status = session_->StartPage();
    if (!status) return status;
    draw(&target_);
    return session_->SendPage();
  }

 private:
  host::EngineSession* session_;
  bool direct_ = false;
  GrayPage target_;
  host::GrayImage page_;  // for a banded surface only
};

// The job through the Windows driver under Wine: the pages rendered here go into the job,
// and OUT receives what the driver's spooler received once the job has ended.
int PrintViaWine(const PrintOptions& options, const PrinterContext& printer,
                 std::vector<ImageSource>& images, Fit fit, const GDIINFO& gdi, LONG width,
                 LONG height) {
  host::GrayImage page;
  page.width = width;
  page.height = height;
  page.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
  GrayPage target{static_cast<uint32_t>(width), static_cast<uint32_t>(height), page.pixels.data(),
                  gdi.ulLogPixelsX, gdi.ulLogPixelsY};
  WineJob job(*options.shared.viaWine, tq33job::Command::kPrint, printer, options.shared);
  {
    Progress progress(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
      progress.Page(i + 1);
      RenderImage(images[i], fit, &target);
      StopWhenInterrupted();
      job.AddPage(page);
    }
  }
  const std::vector<std::string> differences = job.Run();
  if (!differences.empty()) Fail(DescribeDifferences(job.Name(), differences));
  OutputFile out(options.out);
  job.WriteSpooled(&out);
  out.Commit();
  return kExitOk;
}

// Runs the job; throws, leaving OUT as it was, when any image, DDI call or write fails.
int RunPrint(const PrintOptions& options) {
  // A print is stopped, not killed: the driver abandons its page and nothing half-made is
  // left behind.
  WatchInterrupts();
  if (options.out == "-" && isatty(STDOUT_FILENO)) {
    UsageError("standard output is a terminal: redirect it, or name a file with -o");
  }
  // Every image must at least be one we take before the driver prints a page.
  std::vector<ImageSource> images;
  std::vector<ImageSize> sizes;
  for (const std::string& image : options.images) {
    if (image == "-" && std::count(options.images.begin(), options.images.end(), "-") > 1) {
      UsageError("standard input (-) can be read only once");
    }
    images.push_back(OpenImageSource(image));
    sizes.push_back(ProbeImage(images.back()));
  }
  const Fit fit = options.fit == "contain" ? Fit::Contain : Fit::None;

  PrinterContext printer(options.shared);
  printer.WarnOfChanges(options.shared.strict);
  host::EngineSession& session = printer.session();

  const LONG width = printer.pageWidth();
  const LONG height = printer.pageHeight();
  if (width <= 0 || height <= 0) {
    Fail("the driver made a page of " + std::to_string(width) + " x " + std::to_string(height) +
         " dots; there is nothing to print on");
  }
  if (fit == Fit::None) {
    for (size_t i = 0; i < images.size(); ++i) WarnOfCrop(options.images[i], sizes[i], width, height);
  }

  if (options.shared.viaWine) {
    return PrintViaWine(options, printer, images, fit, session.gdiInfo(), width, height);
  }
  PageCanvas canvas(&session, width, height);

  // Opened only now: nothing reaches a device or a pipe before the job can start.
  OutputFile out(options.out);
  if (out.characterDevice() && printer.context()->settings.priv.privUseMonitor == 1) {
    Warn(OutputName(options.out) +
         " is a device: the output is framed, for a receiving component; a printer reads --plain");
  }
  {
    SpoolCapture capture(printer.printer(), &out);
    Progress progress(options.images.size());
    host::DdiStatus status = session.StartDoc(u"tq33");
    if (!status) Fail("the driver refused to start the document: " + status.Describe());
    for (size_t i = 0; i < options.images.size(); ++i) {
      progress.Page(i + 1);
      try {
        status = canvas.Print([&](GrayPage* target) {
          RenderImage(images[i], fit, target);
          StopWhenInterrupted();
        });
      } catch (...) {
        session.EndDoc(true);
        throw;
      }
      if (!status) {
        session.EndDoc(true);
        StopWhenInterrupted();
        // A page whose bytes the output refused fails in the driver as a spooler write
        // fault; the output knows why ("No space left on device", "Broken pipe").
        if (out.error() != 0) out.FailWrite();
        Fail("the driver failed page " + std::to_string(i + 1) + " (" +
             InputName(options.images[i]) + "): " + status.Describe());
      }
      if (out.error() != 0) break;
    }
    status = session.EndDoc(false);
    // A page the band loop abandoned reports no failure; the interruption still counts.
    StopWhenInterrupted();
    if (out.error() != 0) out.FailWrite();
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
                   "PNG (gray, RGB, palette, with or without alpha), JPEG or binary PGM (P5); - "
                   "reads standard input")
      ->required();
  command
      ->add_option("-o,--output", options->out,
                   "Where the spooled bytes go: a file (replaced only when the job "
                   "succeeded), a printer device such as /dev/usb/lp0, a FIFO, or - for "
                   "standard output")
      ->type_name("OUT")
      ->required();
  AcceptChoices(command
                    ->add_option("--fit", options->fit,
                                 "none: image pixel (x, y) on page dot (x, y), cropped (a "
                                 "warning says how much); contain: scaled to fit the page, "
                                 "centred, its aspect kept on the tape at either dpi")
                    ->capture_default_str(),
                {"none", "contain"});
  AddSharedOptions(command, &options->shared, &options->values);
  command->footer(
      "The page is the printable label in dots (`tq33 info` shows its size); white is 255.\n"
      "Options may stand before or after the images; -- ends them.\n"
      "Output form: by default every page is framed (a job record in front of it), the form\n"
      "a receiving component needs; --plain writes bare printer commands, the form a printer\n"
      "reads directly (a device such as /dev/usb/lp0).\n"
      "A file OUT is replaced only when the whole job succeeded; a device, a FIFO or standard\n"
      "output receives the bytes as the driver writes them. Settings the driver changes are\n"
      "named on standard error (--strict fails instead).\n"
      "\n"
      "--via-wine 32|64 prints the same job through the shipped Windows driver of that width\n"
      "under Wine. The tool still reads the options and the images, makes the settings record,\n"
      "the installation and the printer's environment, and warns, as without it; the settings\n"
      "record, the installation's files, the printer data and per-user record, the registry\n"
      "options, locale and code page, the --max-bitmap limit and the page images go to the\n"
      "DLL, and OUT receives the bytes its spooler received once the job has ended (a device\n"
      "or a FIFO too). The job fails (status 1, OUT untouched) when the DLL refuses it, crashes\n"
      "or answers differently from the Linux build: its default or merged settings, printer\n"
      "data, page and bands, GDIINFO or DEVINFO. It needs what `make wine` builds, in the\n"
      "tool's build tree or the one TQ33_WINE_BUILD names, and names what is missing; the\n"
      "Wine prefix build/wine/prefix is made on first use and kept, and jobs on it run one\n"
      "at a time.\n"
      "\n"
      "Examples:\n"
      "  tq33 print label.png -o out.bin\n"
      "  tq33 print --plain --halftone threshold label.png -o /dev/usb/lp0\n"
      "  tq33 print - --fit contain -o - < photo.png > out.bin\n"
      "  tq33 print photo.png --fit contain --halftone diffusion -o out.bin\n"
      "  tq33 print a.png b.png --plain --copies 2 --orientation portrait -o out.bin\n"
      "  tq33 print label.pgm --paper \"laminated tape 24mm\" --length 500 --dpi 720 -o out.bin\n"
      "  tq33 print label.png --set privMargin=40 --set dmCopies=3 -o out.bin\n"
      "  tq33 print label.png --dpi 720 --via-wine 64 -o windows.bin\n");
  command->callback([command, options, setRun] {
    FinishSharedOptions(*command, options->values, &options->shared);
    setRun([options] { return RunPrint(*options); });
  });
}

}  // namespace tq33cli
