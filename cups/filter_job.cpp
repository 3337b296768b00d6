// SPDX-License-Identifier: Apache-2.0
// The filter's job: set-up, then every raster page (header, lines, print), then the end.
#include "cups/filter_job.h"

#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "cups/filter_installation.h"
#include "cups/job_options.h"
#include "cups/media_catalog.h"
#include "cups/raster_page.h"
#include "host/engine_session.h"

namespace tq33cups {
namespace {

// Progress is reported in steps of this many percent of a page's lines.
constexpr int kProgressStep = 10;
// How far a page may pass the longest length its tape takes, tenths of a millimetre.
constexpr LONG kLengthSlack = 5;

struct RasterCloser {
  void operator()(cups_raster_t* raster) const { cupsRasterClose(raster); }
};
using RasterStream = std::unique_ptr<cups_raster_t, RasterCloser>;

// One line for the scheduler: "PREFIX: text".
void Message(FILE* messages, const char* prefix, const std::string& text) {
  std::fprintf(messages, "%s: %s\n", prefix, text.c_str());
  std::fflush(messages);
}

// Writes every byte to the output; FALSE when the output refuses them, with errno set.
bool WriteAll(int output, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = write(output, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written == 0) errno = EIO;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

// A length in tenths of a millimetre in millimetres: "600 mm", "23.5 mm".
std::string Millimetres(LONG tenths) {
  std::string text = std::to_string(tenths / 10);
  if (tenths % 10 != 0) text += "." + std::to_string(std::abs(tenths % 10));
  return text + " mm";
}

// The raster input, its bytes counted: an input that ends before its first byte (the
// stage before the filter gave up) is told from one that is not raster. For collated
// copies every byte is also kept in a scratch file, read again for each further copy.
struct RasterInput {
  int fd = -1;
  size_t bytes = 0;
  int keep = -1;        // the scratch file, or -1
  int keepError = 0;    // errno of the first write to it that failed
};

// cupsRasterOpenIO's reader. Cannot fail but as read(2) does; a failed keep is recorded.
ssize_t ReadInput(void* context, unsigned char* buffer, size_t length) {
  auto* input = static_cast<RasterInput*>(context);
  ssize_t got = 0;
  do {
    got = read(input->fd, buffer, length);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return got;
  input->bytes += static_cast<size_t>(got);
  const bool keeping = input->keep >= 0 && input->keepError == 0;
  if (keeping && !WriteAll(input->keep, buffer, static_cast<size_t>(got)))
    input->keepError = errno ? errno : EIO;
  return got;
}

// A scratch file in CUPS's temporary directory, gone when closed.
struct ScratchFile {
  ScratchFile() {
    const char* variable = std::getenv("TMPDIR");
    directory = variable && *variable ? variable : "/tmp";
    std::string path = directory + "/tq33-XXXXXX";
    fd = mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0) {
      error = errno;
    } else {
      unlink(path.c_str());
    }
  }
  ~ScratchFile() {
    if (fd >= 0) close(fd);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  std::string directory;  // where it was made ($TMPDIR, else /tmp)
  int fd = -1;
  int error = 0;
};

// The copies argument; 1 for anything but a positive number.
LONG CopiesOf(const std::string& text) {
  LONG copies = 0;
  auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), copies);
  if (code != std::errc() || end != text.data() + text.size() || copies < 1) return 1;
  return copies;
}

// The job-id argument; 0 for anything but a number.
DWORD JobIdOf(const std::string& text) {
  DWORD id = 0;
  auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), id);
  return code == std::errc() && end == text.data() + text.size() ? id : 0;
}

// "1 page", "2 pages".
std::string Pages(int count) { return std::to_string(count) + (count == 1 ? " page" : " pages"); }

// The job in progress: the installation, the session on it and the page image.
class Job {
 public:
  Job(const FilterArguments& arguments, int output, FILE* messages,
      const std::atomic<bool>& cancelled)
      : arguments_(arguments), output_(output), messages_(messages), cancelled_(cancelled) {}
  ~Job() {
    // The session goes before the installation it runs on.
    session_.reset();
    if (installation_) host::SetWriteSink(installation_->printer(), {});
    installation_.reset();
  }

  // The installation, the driver's defaults and catalog, and the job's options.
  bool SetUp();
  // Prints every page of the raster as copy `copy` of the document; the number of pages
  // read. Stops at the first page that fails.
  int PrintPages(cups_raster_t* raster, LONG copy);
  // Ends the document when one was started.
  void End();
  // Ends the job with an ERROR line; FALSE.
  bool Fail(const std::string& text) {
    Message(messages_, "ERROR", text);
    failed_ = true;
    return false;
  }
  // Ends a job that can never print, with an ERROR line: the filter ends it rather than
  // leave it stopped for a retry that would fail the same way. FALSE.
  bool Refuse(const std::string& text) {
    refused_ = true;
    return Fail(text);
  }
  // One WARNING line for each text, however many pages give it.
  void WarnOnce(const std::string& text) {
    if (std::find(warned_.begin(), warned_.end(), text) != warned_.end()) return;
    warned_.push_back(text);
    Message(messages_, "WARNING", text);
  }

  // Collated copies print the whole document once per copy; the driver prints the copies
  // of each page otherwise.
  LONG documentCopies() const { return options_.collate ? copies_ : 1; }
  bool failed() const { return failed_; }
  bool refused() const { return refused_; }
  bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }
  LONG pageCopies() const { return options_.collate ? 1 : copies_; }
  int pagesPrinted() const { return pagesPrinted_; }

 private:
  bool PrintPage(cups_raster_t* raster, const cups_page_header2_t& header, int number);
  bool CheckLength(const PageRequest& request, const MediaChoice* medium, int number);
  void WarnOfSettings(const MediaChoice* medium);
  bool UseSettings(const std::vector<uint8_t>& record);
  bool ReadLines(cups_raster_t* raster, const cups_page_header2_t& header, int number);

  const FilterArguments& arguments_;
  const int output_;
  FILE* const messages_;
  const std::atomic<bool>& cancelled_;

  std::unique_ptr<host::PrinterInstallation> installation_;
  std::unique_ptr<host::EngineSession> session_;
  SettingsRecord defaults_{};
  std::vector<MediaChoice> catalog_;
  JobOptions options_;
  LONG copies_ = 1;
  std::vector<uint8_t> record_;  // the settings record of the open session
  bool inDocument_ = false;
  bool failed_ = false;
  bool refused_ = false;
  int writeError_ = 0;  // errno of the output's first failed write
  std::vector<std::string> warned_;
  int pagesPrinted_ = 0;
  LONG copy_ = 1;  // of the document, while collated copies print
  PageMapper mapper_;
  host::GrayImage image_;
  std::vector<BYTE> line_;
};

// Sets up the installation, learns the driver's defaults and media, and resolves the
// job's options. FALSE, with an ERROR line, when the driver cannot be set up.
bool Job::SetUp() {
  PpdSettings ppd;
  if (!arguments_.ppdPath.empty()) {
    std::string why;
    if (!ReadPpdSettings(arguments_.ppdPath, &ppd, &why))
      Message(messages_, "WARNING", "Printing with the driver's defaults: " + why);
  }
  const std::string modelData =
      arguments_.modelDataFile.empty() ? ppd.modelDataFile : arguments_.modelDataFile;
  const std::string mediaFile = arguments_.mediaFile.empty() ? ppd.mediaFile : arguments_.mediaFile;
  std::string why;
  std::string source;
  installation_ = CreateFilterInstallation(modelData, mediaFile, &why, &source);
  if (!installation_) return Fail("Cannot set up the printer driver: " + why);
  Message(messages_, "DEBUG", "Printer installation: " + source);
  const int output = output_;
  int* const writeError = &writeError_;
  host::SetWriteSink(installation_->printer(), [output, writeError](const uint8_t* bytes, size_t count) {
    if (WriteAll(output, bytes, count)) return true;
    if (*writeError == 0) *writeError = errno;
    return false;
  });

  {
    // What an application gets from the driver before it changes anything: an
    // information context, without a surface.
    host::DdiStatus status;
    host::SessionOptions probeOptions;
    probeOptions.surface = false;
    std::unique_ptr<host::EngineSession> probe = host::EngineSession::Open(
        host::kDriverPath, installation_->printer(), probeOptions, &status);
    if (!probe) {
      return Fail("The driver refused the printer (" + status.Describe() +
                  "); check the queue's driver data and media definition files");
    }
    const DeviceContext* context = ContextFromHandle(probe->device());
    defaults_ = context->defaultSettings;
    catalog_ = BuildMediaCatalog(*context);
  }

  std::vector<std::string> types;
  for (const auto& type : MediaTypes(catalog_)) types.push_back(type.first);
  std::vector<std::string> warnings;
  options_ = ResolveJobOptions(DefaultJobOptions(defaults_), ppd, arguments_.options, &warnings, &types);
  for (const std::string& warning : warnings) Message(messages_, "WARNING", warning);
  if (!options_.mediaType.empty() &&
      std::find(types.begin(), types.end(), options_.mediaType) == types.end()) {
    Message(messages_, "WARNING", "Ignoring the media type " + options_.mediaType +
                                      ": no medium of the printer is of that type");
    options_.mediaType.clear();
  }
  copies_ = CopiesOf(arguments_.copies);
  if (copies_ > kMaxCopies) {
    Message(messages_, "WARNING", "Printing " + std::to_string(kMaxCopies) +
                                      " copies, the most the driver prints");
    copies_ = kMaxCopies;
  }
  return true;
}

// Opens the session for the page's settings, or changes the open one's settings the way
// the engine does for a changed device mode.
bool Job::UseSettings(const std::vector<uint8_t>& record) {
  if (session_ && record == record_) return true;
  host::SessionOptions options;
  options.devmode = record;
  host::DdiStatus status;
  if (!session_) {
    session_ = host::EngineSession::Open(host::kDriverPath, installation_->printer(), options, &status);
  } else {
    status = session_->Reset(options);
  }
  if (!session_ || !status) {
    return Refuse("The driver cannot print this page size (" + status.Describe() + ")");
  }
  record_ = record;
  return true;
}

// Reads the page's lines onto the surface image, reporting progress. FALSE when the job
// is cancelled or the raster ends early (with an ERROR line).
bool Job::ReadLines(cups_raster_t* raster, const cups_page_header2_t& header, int number) {
  const unsigned height = header.cupsHeight;
  const unsigned bytes = header.cupsBytesPerLine;
  line_.resize(bytes);
  mapper_.Begin(&image_);
  int reported = 0;
  for (unsigned y = 0; y < height; ++y) {
    if (cancelled()) return false;
    if (cupsRasterReadPixels(raster, line_.data(), bytes) != bytes) {
      // A cancelled job's input ends when the filter before this one is stopped too.
      if (cancelled()) return false;
      return Fail("Page " + std::to_string(number) + " is truncated: the raster ends after line " +
                  std::to_string(y) + " of " + std::to_string(height));
    }
    mapper_.AddLine(static_cast<LONG>(y), line_.data());
    const int percent = static_cast<int>((static_cast<unsigned long long>(y) + 1) * 100 / height);
    if (percent >= reported + kProgressStep && percent < 100) {
      reported = percent - percent % kProgressStep;
      Message(messages_, "ATTR", "job-media-progress=" + std::to_string(reported));
    }
  }
  mapper_.Finish();
  return true;
}

// Checks the header, settles the driver's context for it, reads the page and prints it
// with its copies. FALSE, with an ERROR line unless cancelled, when the job must end.
bool Job::PrintPage(cups_raster_t* raster, const cups_page_header2_t& header, int number) {
  std::string problem;
  if (!CheckPageHeader(header, &problem)) return Refuse("Page " + std::to_string(number) + ": " + problem);
  PageRequest request = PageRequestOf(header);
  request.mediaType = options_.mediaType;
  bool typeFound = true;
  const MediaChoice* medium = SelectMedium(catalog_, request, &typeFound);
  if (!typeFound) {
    WarnOnce("No medium of the type " + request.mediaType + " is " + Millimetres(request.length) +
             " x " + Millimetres(request.width) + "; printing on " +
             (medium ? medium->name : "the tape of the page's width"));
  }
  if (!CheckLength(request, medium, number)) return false;
  if (!UseSettings(BuildApplicationRecord(defaults_, catalog_, request, options_, pageCopies())))
    return false;
  WarnOfSettings(medium);
  if (!mapper_.Prepare(RasterGeometryOf(header), SurfaceGeometryOf(*session_)))
    return Refuse("The driver's page for page " + std::to_string(number) + " is empty");

  std::string printing = "Printing page " + std::to_string(number);
  if (documentCopies() > 1)
    printing += ", copy " + std::to_string(copy_) + " of " + std::to_string(documentCopies());
  Message(messages_, "INFO", printing);
  Message(messages_, "ATTR", "job-media-progress=0");
  if (!ReadLines(raster, header, number)) return false;

  if (!inDocument_) {
    host::DdiStatus status = session_->StartDoc(host::Utf16(arguments_.title), JobIdOf(arguments_.jobId));
    if (!status) return Fail("The driver cannot start the document (" + status.Describe() + ")");
    inDocument_ = true;
  }
  host::DdiStatus status = session_->PrintPage(image_);
  if (!status) {
    if (cancelled()) return false;
    if (writeError_ != 0) {
      return Fail("Cannot send page " + std::to_string(number) + " to the printer: " +
                  std::strerror(writeError_));
    }
    return Fail("The driver could not print page " + std::to_string(number) + " (" +
                status.Describe() + ")");
  }
  ++pagesPrinted_;
  Message(messages_, "ATTR", "job-media-progress=100");
  Message(messages_, "PAGE", std::to_string(number) + " " + std::to_string(pageCopies()));
  return true;
}

// A page longer than its tape takes is refused in millimetres: the driver would cut it
// short. A label's page is the label, whatever the raster's length. FALSE when refused.
bool Job::CheckLength(const PageRequest& request, const MediaChoice* medium, int number) {
  if (medium && !medium->continuous()) return true;
  const LONG most = medium ? medium->maxLength : static_cast<LONG>(MaxLengthTenths(nullptr));
  // Page sizes in whole points (as Ghostscript makes custom ones) may pass the longest
  // label by a fraction of a millimetre.
  if (request.length <= most + kLengthSlack) return true;
  return Refuse("Page " + std::to_string(number) + " is " + Millimetres(request.length) +
                " long; " + (medium ? medium->name : std::string("the tape")) + " prints at most " +
                Millimetres(most));
}

// Says which asked-for settings the medium cannot print, once each.
void Job::WarnOfSettings(const MediaChoice* medium) {
  const DeviceContext* context = ContextFromHandle(session_->device());
  const std::string name = medium ? medium->name : "The tape";
  if (options_.mirror && context->settings.priv.privMediaKind != 0)
    WarnOnce(name + " is paper media, which prints only unmirrored; printing unmirrored");
  if (options_.chainPrint && medium && medium->special)
    WarnOnce(name + " is special media, which cannot chain labels; printing without chain printing");
}

// Header by header until the raster ends, the job is cancelled or a page fails.
int Job::PrintPages(cups_raster_t* raster, LONG copy) {
  copy_ = copy;
  cups_page_header2_t header;
  int number = 0;
  while (!cancelled() && cupsRasterReadHeader2(raster, &header)) {
    if (!PrintPage(raster, header, ++number)) break;
  }
  return number;
}

// Ends the document, marked aborted after a failure or a cancellation, so that the
// printer receives a complete document either way.
void Job::End() {
  if (!session_ || !inDocument_) return;
  session_->EndDoc(failed_ || cancelled());
  inDocument_ = false;
}

}  // namespace

// Runs the job page by page, and again for each further collated copy; the exit status of
// the filter.
int RunFilterJob(const FilterArguments& arguments, int input, int output, FILE* messages,
                 const std::atomic<bool>& cancelled) {
  Job job(arguments, output, messages, cancelled);
  if (!job.SetUp()) return kFilterFailed;
  RasterInput source{input};
  std::unique_ptr<ScratchFile> kept;
  if (job.documentCopies() > 1) {
    kept = std::make_unique<ScratchFile>();
    if (kept->fd < 0) {
      job.Fail("Cannot keep the pages for collated copies in " + kept->directory + ": " +
               std::strerror(kept->error));
      return kFilterFailed;
    }
    source.keep = kept->fd;
  }
  RasterStream raster(cupsRasterOpenIO(ReadInput, &source, CUPS_RASTER_READ));
  if (!raster) {
    if (source.bytes == 0) {
      job.Fail("No page came: the stage before this filter sent nothing (its messages above say why)");
      return kFilterFailed;
    }
    job.Refuse("The print data is not CUPS raster");
    return kFilterRefused;
  }
  const int pages = job.PrintPages(raster.get(), 1);
  for (LONG copy = 2; copy <= job.documentCopies() && pages > 0 && !job.failed() && !job.cancelled();
       ++copy) {
    if (source.keepError != 0) {
      job.Fail(std::string("Cannot keep the pages for collated copies: ") +
               std::strerror(source.keepError));
      break;
    }
    RasterInput again{kept->fd};
    RasterStream copyRaster;
    if (lseek(kept->fd, 0, SEEK_SET) == 0)
      copyRaster.reset(cupsRasterOpenIO(ReadInput, &again, CUPS_RASTER_READ));
    if (!copyRaster) {
      job.Fail("Cannot read the kept pages again for copy " + std::to_string(copy));
      break;
    }
    job.PrintPages(copyRaster.get(), copy);
  }
  job.End();

  if (job.cancelled()) {
    Message(messages, "INFO", "Job cancelled after " + Pages(job.pagesPrinted()));
    return kFilterOk;
  }
  if (job.refused()) return kFilterRefused;
  if (job.failed()) return kFilterFailed;
  if (pages == 0) {
    Message(messages, "ERROR", "The raster holds no page");
    return kFilterRefused;
  }
  // The document's pages, and the copies of them: the job log's last word on the job.
  std::string printed = "Printed " + Pages(pages);
  const LONG copies = std::max(job.documentCopies(), job.pageCopies());
  if (copies > 1) {
    const char* which = pages == 1                ? " copies"
                        : job.documentCopies() > 1 ? " collated copies"
                                                   : " copies of each";
    printed += ", " + std::to_string(copies) + which;
  }
  Message(messages, "INFO", printed);
  return kFilterOk;
}

}  // namespace tq33cups
