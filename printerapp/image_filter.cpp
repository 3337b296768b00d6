// SPDX-License-Identifier: Apache-2.0
// An image onto the label, through the tool's image reading.
#include "printerapp/image_filter.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "cli/image_input.h"
#include "cli/tool.h"
#include "printerapp/file_device.h"
#include "printerapp/job_claim.h"
#include "printerapp/label_job.h"

namespace tq33app {
namespace {

constexpr LONG kHighResolution = 720;

struct OptionsDeleter {
  void operator()(pappl_pr_options_t* options) const { papplJobDeletePrintOptions(options); }
};

// The tool's words for a fault of the image, without the spool file's name.
std::string ImageFault(const std::string& message) {
  const size_t colon = message.find(": ");
  return "The image cannot be read: " + (colon == std::string::npos ? message : message.substr(colon + 2));
}

// The resolution along the tape: the job's printer-resolution, else 720 dpi for
// print-quality high where the installation prints it, else the printer's default.
LONG FeedResolution(pappl_job_t* job, const pappl_pr_options_t& options, const PrinterModel& model) {
  if (papplJobGetAttribute(job, "printer-resolution")) return options.printer_resolution[1];
  if (papplJobGetAttribute(job, "print-quality") && options.print_quality == IPP_QUALITY_HIGH &&
      model.highResolution())
    return kHighResolution;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &data);
  return data.y_default;
}

// Prints the image; FALSE, with the job's reason, when it cannot.
bool PrintImage(pappl_job_t* job, pappl_device_t* given) {
  const JobDevice device(job, given);
  const char* path = papplJobGetFilename(job);
  tq33cli::ImageSource source;
  tq33cli::ImageSize size;
  try {
    source = tq33cli::OpenImageSource(path ? path : "");
    // Data that ends early or is corrupt ends the job rather than print what is filled in.
    source.strict = true;
    size = tq33cli::ProbeImage(source);
  } catch (const tq33cli::ToolError& failure) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", ImageFault(failure.message).c_str());
    papplJobSetMessage(job, "%s", ImageFault(failure.message).c_str());
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
    return false;
  }
  // Refused before anything is decoded: the framework's own limits on images.
  int maxWidth = 0;
  int maxHeight = 0;
  const size_t maxPixels = papplSystemGetMaxImageSize(papplPrinterGetSystem(papplJobGetPrinter(job)),
                                                      &maxWidth, &maxHeight);
  if (size.width > static_cast<uint32_t>(maxWidth) || size.height > static_cast<uint32_t>(maxHeight) ||
      uint64_t{size.width} * size.height > maxPixels) {
    const std::string message = "The image is " + std::to_string(size.width) + " x " +
                                std::to_string(size.height) + " pixels; the printer takes images of at most " +
                                std::to_string(maxWidth) + " x " + std::to_string(maxHeight);
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", message.c_str());
    papplJobSetMessage(job, "%s", message.c_str());
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
    return false;
  }

  std::unique_ptr<pappl_pr_options_t, OptionsDeleter> options(papplJobCreatePrintOptions(job, 1, false));
  if (!options) return false;
  const char* format = papplJobGetFormat(job);
  const bool photo = format && std::strcmp(format, "image/jpeg") == 0;
  std::unique_ptr<LabelJob> label = LabelJob::Start(job, options.get(), device.get(), photo);
  if (!label) return false;

  // Portrait and landscape are the driver's; the reverse ones turn the page; none is the
  // installation's own orientation, which the tool prints with.
  PageSetup setup;
  const ipp_orient_t orientation = options->orientation_requested;
  const bool turned = orientation == IPP_ORIENT_REVERSE_LANDSCAPE || orientation == IPP_ORIENT_REVERSE_PORTRAIT;
  if (orientation == IPP_ORIENT_PORTRAIT || orientation == IPP_ORIENT_REVERSE_PORTRAIT) {
    setup.orientation = DMORIENT_PORTRAIT;
  } else if (orientation == IPP_ORIENT_LANDSCAPE || orientation == IPP_ORIENT_REVERSE_LANDSCAPE) {
    setup.orientation = DMORIENT_LANDSCAPE;
  } else {
    setup.orientation = ModelOf(job)->defaults().dm.dmOrientation;
  }
  setup.yResolution = FeedResolution(job, *options, *ModelOf(job));

  host::GrayImage* image = label->BeginPage(setup);
  if (!image) return label->End();
  const GDIINFO& gdi = label->session().gdiInfo();
  tq33cli::GrayPage page{static_cast<uint32_t>(image->width), static_cast<uint32_t>(image->height),
                         image->pixels.data(), gdi.ulLogPixelsX, gdi.ulLogPixelsY};
  const pappl_scaling_t scaling = options->print_scaling;
  const bool fits = size.width <= page.width && size.height <= page.height;
  const bool contain = scaling == PAPPL_SCALING_FIT || scaling == PAPPL_SCALING_FILL ||
                       ((scaling == PAPPL_SCALING_AUTO || scaling == PAPPL_SCALING_AUTO_FIT) && !fits);
  try {
    tq33cli::RenderImage(source, contain ? tq33cli::Fit::Contain : tq33cli::Fit::None, &page);
  } catch (const tq33cli::ToolError& failure) {
    label->Fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, ImageFault(failure.message));
    return label->End();
  }
  if (turned) std::reverse(image->pixels.begin(), image->pixels.end());

  papplJobSetImpressions(job, 1);
  if (label->PrintPage()) papplJobSetImpressionsCompleted(job, 1);
  return label->End();
}

}  // namespace

bool ImageFilter(pappl_job_t* job, pappl_device_t* given, void*) {
  JobClaim claim(job);
  if (!claim.first()) return claim.outcome();
  return claim.Finish(PrintImage(job, given));
}

}  // namespace tq33app
