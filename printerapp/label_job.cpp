// SPDX-License-Identifier: Apache-2.0
// A job's medium and settings, the driver's document and the device.
#include "printerapp/label_job.h"

#include <cstdlib>
#include <cstring>

#include "printerapp/file_device.h"
#include "printerapp/printer_driver.h"

namespace tq33app {
namespace {

// Sizes within these many hundredths of a millimetre name the same medium, as the driver's
// custom-size match takes widths and the CUPS queue lengths.
constexpr int kWidthTolerance = 100;
constexpr int kLengthTolerance = 70;

// "24 x 100 mm", "3.5 x 4 mm".
std::string Millimetres(int width, int length) {
  return MillimetreFigure(width) + " x " + MillimetreFigure(length) + " mm";
}

// The medium of a size: a label of that width and length, or a tape of that width that
// prints that length; of the type when one is given. The loaded medium first, then the
// plain medium of the size, then any. Null when none is.
const IppMedium* MediumOfSize(const PrinterModel& model, const IppMedium* loaded,
                              const pappl_media_col_t& asked) {
  const auto fits = [&](const IppMedium& medium) {
    if (*asked.type && medium.choice.mediaType != asked.type) return false;
    if (std::abs(medium.width - asked.size_width) > kWidthTolerance) return false;
    if (!medium.choice.continuous()) return std::abs(medium.length - asked.size_length) <= kLengthTolerance;
    return asked.size_length >= medium.minLength - kLengthTolerance &&
           asked.size_length <= medium.maxLength + kLengthTolerance;
  };
  if (loaded && fits(*loaded)) return loaded;
  const IppMedium* any = nullptr;
  for (const IppMedium& medium : model.media()) {
    if (!fits(medium)) continue;
    if (medium.choice.primary) return &medium;
    if (!any) any = &medium;
  }
  return any;
}

// The length a continuous tape prints for a size, within its limits, in tenths.
LONG TapeLength(const IppMedium& medium, int asked) {
  int length = asked <= 0 ? medium.length : asked;
  if (length < medium.minLength) length = medium.minLength;
  if (length > medium.maxLength) length = medium.maxLength;
  return static_cast<LONG>((length + 5) / 10);
}

// A vendor option of the job's, else the printer's default (which the framework does not
// hand the job), else the driver's: "true" or "false".
bool VendorFlag(const pappl_pr_options_t& options, int defaultCount, cups_option_t* defaults,
                const char* name, bool fallback) {
  const char* value = cupsGetOption(name, options.num_vendor, options.vendor);
  if (!value) value = cupsGetOption(name, defaultCount, defaults);
  return value ? std::strcmp(value, "true") == 0 : fallback;
}

}  // namespace

PrinterModel* ModelOf(pappl_job_t* job) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &data);
  return data.extension ? static_cast<Application*>(data.extension)->model.get() : nullptr;
}

std::unique_ptr<LabelJob> LabelJob::Start(pappl_job_t* job, pappl_pr_options_t* options,
                                          pappl_device_t* device, bool photo) {
  std::unique_ptr<LabelJob> label(new LabelJob(job, device));
  label->model_ = ModelOf(job);
  if (!label->model_ || !device) {
    label->Fail(PAPPL_JREASON_ABORTED_BY_SYSTEM,
                device ? "The printer has no driver data" : "Cannot open the printer's device");
    return nullptr;
  }
  PrinterModel& model = *label->model_;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(papplJobGetPrinter(job), &data);

  // What is loaded: a medium by its name, or a tape by the width of a custom size.
  const pappl_media_col_t& ready = data.media_ready[0];
  const IppMedium* loaded = model.Find(ready.size_name);
  if (!loaded) loaded = MediumOfSize(model, nullptr, ready);
  if (!loaded) {
    label->Fail(PAPPL_JREASON_ABORTED_BY_SYSTEM,
                std::string("No medium of the printer is loaded (") + ready.size_name +
                    "); choose the tape or labels in the printer's Media page");
    return nullptr;
  }
  // What the job asks: nothing (the loaded medium), a medium by name, or a size.
  const bool named = papplJobGetAttribute(job, "media") || papplJobGetAttribute(job, "media-col");
  const IppMedium* asked = loaded;
  int length = ready.size_length;
  if (named) {
    asked = model.Find(options->media.size_name);
    if (!asked) asked = MediumOfSize(model, loaded, options->media);
    length = options->media.size_length;
  }
  if (!asked) {
    label->Fail(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                "No medium of the printer is " + Millimetres(options->media.size_width, options->media.size_length) +
                    (*options->media.type ? std::string(" of the type ") + options->media.type : std::string()));
    return nullptr;
  }
  if (asked != loaded) {
    label->Fail(PAPPL_JREASON_ABORTED_BY_SYSTEM,
                "The job is for " + asked->choice.name + "; the printer has " + loaded->choice.name +
                    " loaded");
    return nullptr;
  }
  label->medium_ = loaded;
  if (loaded->choice.continuous() && length > loaded->maxLength + kLengthTolerance) {
    label->Fail(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
                "The label is " + Millimetres(options->media.size_width, length) + "; " +
                    loaded->choice.name + " prints at most " +
                    Millimetres(loaded->width, loaded->maxLength));
    return nullptr;
  }
  label->length_ = loaded->choice.continuous() ? TapeLength(*loaded, length) : loaded->choice.length;

  // The options: the driver's defaults, the halftone the content asks for, the printer's
  // own settings as the job or the printer's defaults give them.
  tq33cups::JobOptions& settings = label->options_;
  settings = tq33cups::DefaultJobOptions(model.defaults());
  switch (options->print_content_optimize) {
    case PAPPL_CONTENT_PHOTO: settings.halftone = kToneErrorDiffusion; break;
    case PAPPL_CONTENT_AUTO: settings.halftone = photo ? kToneErrorDiffusion : kToneThreshold; break;
    default: settings.halftone = kToneThreshold; break;
  }
  cups_option_t* defaults = nullptr;
  const int defaultCount = VendorDefaults(papplJobGetPrinter(job), &defaults);
  settings.autoCut = VendorFlag(*options, defaultCount, defaults, kAutoCutAttribute, settings.autoCut);
  settings.halfCut = VendorFlag(*options, defaultCount, defaults, kHalfCutAttribute, settings.halfCut);
  settings.chainPrint = VendorFlag(*options, defaultCount, defaults, kChainPrintAttribute, settings.chainPrint);
  settings.mirror = VendorFlag(*options, defaultCount, defaults, kMirrorAttribute, settings.mirror);
  cupsFreeOptions(defaultCount, defaults);
  label->copies_ = options->copies < 1 ? 1 : options->copies;

  label->printer_ = model.HostPrinter(papplPrinterGetID(papplJobGetPrinter(job)));
  if (!label->printer_) {
    label->Fail(PAPPL_JREASON_ABORTED_BY_SYSTEM, "Cannot register the printer with the driver's host");
    return nullptr;
  }
  LabelJob* self = label.get();
  host::SetWriteSink(label->printer_,
                     [self](const uint8_t* bytes, size_t count) { return self->WriteToDevice(bytes, count); });
  return label;
}

LabelJob::~LabelJob() {
  // The session goes before the sink it writes to.
  session_.reset();
  if (printer_) host::SetWriteSink(printer_, {});
}

bool LabelJob::cancelled() const { return papplJobIsCanceled(job_); }

bool LabelJob::Fail(unsigned reason, const std::string& message) {
  // The first failure is the job's reason; what follows from it adds nothing.
  if (failed_) return false;
  papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "%s", message.c_str());
  papplJobSetMessage(job_, "%s", message.c_str());
  papplJobSetReasons(job_, reason, PAPPL_JREASON_NONE);
  failed_ = true;
  return false;
}

// Opens the session for the page's settings, or changes the open one's the way the engine
// does for a changed device mode.
host::GrayImage* LabelJob::BeginPage(const PageSetup& page) {
  if (failed_) return nullptr;
  tq33cups::PageRequest request;
  request.sizeName = medium_->choice.keyword;
  request.width = medium_->choice.width;
  request.length = length_;
  request.yResolution = page.yResolution;
  request.orientation = page.orientation;
  const std::vector<uint8_t> record = tq33cups::BuildApplicationRecord(
      model_->defaults(), model_->catalog(), request, options_, copies_);
  if (!session_ || record != record_) {
    host::SessionOptions options;
    options.devmode = record;
    host::DdiStatus status;
    if (!session_) {
      session_ = host::EngineSession::Open(host::kDriverPath, printer_, options, &status);
    } else {
      status = session_->Reset(options);
    }
    if (!session_ || !status) {
      Fail(PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR,
           "The driver cannot print on " + medium_->choice.name + " (" + status.Describe() + ")");
      return nullptr;
    }
    record_ = record;
  }
  const SIZEL size = session_->pageSize();
  image_.width = size.cx;
  image_.height = size.cy;
  image_.pixels.resize(static_cast<size_t>(size.cx) * static_cast<size_t>(size.cy));
  return &image_;
}

bool LabelJob::PrintPage() {
  if (failed_ || cancelled()) return false;
  // The document starts with its first page ready: a job that fails before it sends nothing.
  if (!inDocument_) {
    const char* name = papplJobGetName(job_);
    const host::DdiStatus status = session_->StartDoc(host::Utf16(name ? name : ""),
                                                      static_cast<DWORD>(papplJobGetID(job_)));
    if (!status) return Fail(PAPPL_JREASON_ABORTED_BY_SYSTEM, "The driver cannot start the document (" + status.Describe() + ")");
    inDocument_ = true;
  }
  const host::DdiStatus status = session_->PrintPage(image_);
  if (!DeviceWorks()) return false;
  if (!status) {
    if (cancelled()) return false;
    return Fail(PAPPL_JREASON_ABORTED_BY_SYSTEM, "The driver could not print the page (" + status.Describe() + ")");
  }
  return true;
}

bool LabelJob::End() {
  if (session_ && inDocument_) {
    session_->EndDoc(failed_ || cancelled());
    inDocument_ = false;
  }
  papplDeviceFlush(device_);
  DeviceWorks();
  return !failed_ && !cancelled();
}

bool LabelJob::WriteToDevice(const uint8_t* bytes, size_t count) {
  if (writeFailed_) return false;
  if (papplDeviceWrite(device_, bytes, count) < 0) writeFailed_ = true;
  return !writeFailed_;
}

// FALSE, with the job's message naming the cause where the device tells it, once a write
// to the device has failed.
bool LabelJob::DeviceWorks() {
  const std::string why = FileDeviceError(device_);
  if (why.empty() && !writeFailed_) return true;
  return Fail(PAPPL_JREASON_ABORTED_BY_SYSTEM,
              "Cannot send the label to the printer" + (why.empty() ? std::string() : ": " + why));
}

}  // namespace tq33app
