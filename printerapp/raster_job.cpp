// SPDX-License-Identifier: Apache-2.0
// Raster pages onto the driver's surface, page by page, and the native stream as it is.
#include "printerapp/raster_job.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "cups/raster_page.h"
#include "printerapp/file_device.h"
#include "printerapp/job_claim.h"
#include "printerapp/label_job.h"

namespace tq33app {
namespace {

constexpr size_t kCopyBufferSize = 65536;

// What a raster job keeps between the framework's calls. A thread that does not print
// the job (JobClaim) passes its calls by.
struct RasterJob {
  explicit RasterJob(pappl_job_t* job) : claim(job) {}
  JobClaim claim;
  std::optional<JobDevice> device;
  std::unique_ptr<LabelJob> label;
  tq33cups::PageMapper mapper;
  unsigned lines = 0;  // lines of the page received
};

// The job's raster state where this thread prints it; null where it does not.
RasterJob* Of(pappl_job_t* job) {
  auto* raster = static_cast<RasterJob*>(papplJobGetData(job));
  return raster && raster->claim.first() ? raster : nullptr;
}

// Copies the job's document to the device; FALSE, with the job's reason, when it cannot be
// read or written.
bool CopyNativeFile(pappl_job_t* job, pappl_device_t* given) {
  const JobDevice jobDevice(job, given);
  pappl_device_t* device = jobDevice.get();
  const char* path = papplJobGetFilename(job);
  const int fd = path && device ? open(path, O_RDONLY | O_CLOEXEC) : -1;
  if (fd < 0) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Cannot open the document: %s", std::strerror(errno));
    papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
    return false;
  }
  std::unique_ptr<char[]> buffer(new char[kCopyBufferSize]);
  bool ok = true;
  for (ssize_t got; ok && (got = read(fd, buffer.get(), kCopyBufferSize)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    ok = got > 0 && !papplJobIsCanceled(job) && papplDeviceWrite(device, buffer.get(), static_cast<size_t>(got)) >= 0;
  }
  close(fd);
  papplDeviceFlush(device);
  ok = ok && FileDeviceError(device).empty();
  if (!ok && !papplJobIsCanceled(job)) {
    papplJobSetMessage(job, "Cannot send the document to the printer");
    papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
  }
  return ok;
}

}  // namespace

bool RasterStartJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  auto raster = std::make_unique<RasterJob>(job);
  if (raster->claim.first()) {
    raster->device.emplace(job, device);
    raster->label = LabelJob::Start(job, options, raster->device->get(), false);
    if (!raster->label) return raster->claim.Finish(false);
  } else if (!raster->claim.outcome()) {
    return false;
  }
  papplJobSetData(job, raster.release());
  return true;
}

bool RasterStartPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned page) {
  RasterJob* raster = Of(job);
  if (!raster) return true;
  LabelJob& label = *raster->label;
  const cups_page_header2_t& header = options->header;
  std::string problem;
  if (!tq33cups::CheckPageHeader(header, &problem)) {
    return label.Fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "Page " + std::to_string(page) + ": " + problem);
  }
  // The pages are portrait: the raster's y runs along the tape.
  PageSetup setup;
  setup.orientation = DMORIENT_PORTRAIT;
  setup.yResolution = static_cast<LONG>(header.HWResolution[1]);
  host::GrayImage* image = label.BeginPage(setup);
  if (!image) return false;
  if (!raster->mapper.Prepare(tq33cups::RasterGeometryOf(header), tq33cups::SurfaceGeometryOf(label.session()))) {
    return label.Fail(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                      "Page " + std::to_string(page) + " has no room on " + label.medium().choice.name);
  }
  raster->mapper.Begin(image);
  raster->lines = 0;
  return true;
}

bool RasterWriteLine(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned y,
                     const unsigned char* line) {
  RasterJob* raster = Of(job);
  if (!raster) return true;
  if (raster->label->failed() || raster->label->cancelled()) return false;
  raster->mapper.AddLine(static_cast<LONG>(y), line);
  raster->lines = y + 1;
  return true;
}

bool RasterEndPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t*, unsigned page) {
  RasterJob* raster = Of(job);
  if (!raster) return true;
  LabelJob& label = *raster->label;
  // A page whose raster ended early is never printed: the label would be cut short.
  if (raster->lines < options->header.cupsHeight) {
    return label.Fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                      "Page " + std::to_string(page) + " is truncated: the raster ends after line " +
                          std::to_string(raster->lines) + " of " + std::to_string(options->header.cupsHeight));
  }
  raster->mapper.Finish();
  return label.PrintPage();
}

bool RasterEndJob(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
  std::unique_ptr<RasterJob> raster(static_cast<RasterJob*>(papplJobGetData(job)));
  papplJobSetData(job, nullptr);
  if (!raster) return false;
  if (!raster->claim.first()) return raster->claim.outcome();
  const bool printed = raster->label->End();
  raster->label.reset();
  raster->device.reset();
  return raster->claim.Finish(printed);
}

bool PrintNativeFile(pappl_job_t* job, pappl_pr_options_t*, pappl_device_t* given) {
  JobClaim claim(job);
  if (!claim.first()) return claim.outcome();
  return claim.Finish(CopyNativeFile(job, given));
}

}  // namespace tq33app
