// SPDX-License-Identifier: Apache-2.0
// The job file and the result file of a job printed through the Windows driver under Wine
// (`tq33 print --via-wine`, `tq33 info --via-wine`): what the tool hands the runner
// (wine/run_job.cpp) and what the runner hands back. Both sides build this unit, and
// neither trusts what the other wrote: every read is bounded by the limits below, and a
// file that breaks them, ends early or holds what it should not is refused in words.
//
// Both files are a header and then chunks, little-endian throughout:
//
//   header   FileHeader, 16 bytes: "TQ3J" (job) or "TQ3R" (result), version, header size,
//            command (1 print, 2 info), 0
//   chunk    ChunkHeader, 8 bytes: a tag of four ASCII characters and the size of the
//            content that follows it; the last chunk is "END." with no content
//
// Text is UTF-16 without a terminator, preceded by its length in units (u32) where more
// follows it in the chunk. A job's chunks, each at most once but for PDAT and PAGE:
//
//   DRVL  the driver library to install: its Windows path
//   MDLL  the model-data library to install: its Windows path
//   MDAT  the driver data file's bytes (none: the installation has none)
//   MDEF  the media definition file's bytes (none: the installation has none)
//   RSRC  the resource library: ResourceLibrary, 8 bytes (none: not installed)
//   PDAT  a printer-data value, in the order they are set: u32 type (REG_DWORD, whose
//         value is 4 bytes, or REG_BINARY), the name, the value's bytes
//   UDEV  the printer's per-user default settings record, any size
//   REGK  a key under HKEY_LOCAL_MACHINE that is deleted, with everything below it,
//         before the job's value is set: where installations keep their default options
//   REGO  a value under HKEY_LOCAL_MACHINE (the installation's default options): the
//         key, the value's name, its bytes (REG_BINARY)
//   LOCL  the user's country code, then the measurement system
//   ENGN  EngineChoices, 16 bytes
//   APPR  the application's settings record, any size
//   PAGE  a page image (print only; after every other chunk): u32 width, u32 height,
//         then width x height gray bytes row by row, 0 black and 255 white
//
// DRVL, MDLL, LOCL, ENGN and APPR are required. A result's chunks, each at most once:
//
//   FAIL  why the job stopped: u32 stage, u32 last error, u32 page (from 1; 0 for none),
//         the DDI call that failed (ASCII, its length first), the reason (UTF-8)
//   PDEF  the default settings of a context made without an application record, as the
//         application record was made from them (SETTINGS_RECORD_SIZE bytes)
//   SETT  the job's context: its merged settings record
//   DSET  its default settings
//   PRDT  its printer data record (PRINTER_DATA_RECORD_SIZE bytes; none: it has none)
//   GDII  the GDIINFO it filled, in the 32-bit layout (JOB_GDIINFO_SIZE bytes)
//   DEVI  the DEVINFO it filled, in the 32-bit layout (JOB_DEVINFO_SIZE bytes)
//   LAYT  PageLayout, 48 bytes: the page and its bands
//   SPLD  SpoolSummary, 16 bytes: what the document left with the spooler, whose bytes
//         are the spool file beside the result
//
// The 32-bit layouts of GDIINFO and DEVINFO are those of the 32-bit Windows headers and
// of the host's declarations; a 64-bit driver's pointer members are carried in 32 bits,
// all ones when they do not fit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace tq33job {

using Bytes = std::vector<uint8_t>;

#define JOB_FILE_VERSION 1
#define JOB_FILE_HEADER_SIZE 16
#define JOB_CHUNK_HEADER_SIZE 8
#define JOB_RESOURCE_LIBRARY_SIZE 8
#define JOB_ENGINE_CHOICES_SIZE 16
#define JOB_PAGE_LAYOUT_SIZE 48
#define JOB_SPOOL_SUMMARY_SIZE 16
#define JOB_GDIINFO_SIZE 304
#define JOB_DEVINFO_SIZE 300
#define JOB_REG_BINARY 3
#define JOB_REG_DWORD 4

struct FileHeader {
  char magic[4];        // "TQ3J" or "TQ3R"
  uint16_t version;     // JOB_FILE_VERSION
  uint16_t headerSize;  // JOB_FILE_HEADER_SIZE
  uint32_t command;     // Command
  uint32_t reserved;    // 0
};

struct ChunkHeader {
  char tag[4];
  uint32_t size;  // bytes of content after the header
};

struct ResourceLibrary {
  uint16_t language;  // the first translation of its version block
  uint16_t codePage;
  uint32_t flags;  // RSRC_UNREADABLE: no translation can be read from it
};
#define RSRC_UNREADABLE 0x1

struct EngineChoices {
  uint64_t maxBitmapBytes;  // the largest bitmap the engine grants; 0 for no limit
  uint16_t oemCodePage;     // what EngGetCurrentCodePage answers
  uint16_t ansiCodePage;
  uint32_t reserved;  // 0
};

// The page in surface coordinates and the context's band layout, as the driver made them.
struct PageLayout {
  uint32_t pageWidth;  // the surface's bitmap, or the GDIINFO resolution when banded
  uint32_t pageHeight;
  uint32_t banded;  // 1 when the driver marked its surface for banding
  uint32_t surfaceFlags;
  uint32_t pageStride;
  uint32_t bandCount;
  uint32_t bandExtent;
  uint32_t lastBandExtent;
  uint32_t crossExtent;
  uint32_t bandAxisExtent;
  uint32_t fontSlotCount;
  uint32_t reserved;  // 0
};

struct SpoolSummary {
  uint64_t bytes;     // what the spooler received: the spool file's size
  uint32_t jobFlags;  // the context's JF_ flags when the document had ended
  uint32_t reserved;  // 0
};

static_assert(sizeof(FileHeader) == JOB_FILE_HEADER_SIZE);
static_assert(offsetof(FileHeader, command) == 8);
static_assert(sizeof(ChunkHeader) == JOB_CHUNK_HEADER_SIZE);
static_assert(sizeof(ResourceLibrary) == JOB_RESOURCE_LIBRARY_SIZE);
static_assert(sizeof(EngineChoices) == JOB_ENGINE_CHOICES_SIZE);
static_assert(offsetof(EngineChoices, ansiCodePage) == 10);
static_assert(sizeof(PageLayout) == JOB_PAGE_LAYOUT_SIZE);
static_assert(offsetof(PageLayout, fontSlotCount) == 40);
static_assert(sizeof(SpoolSummary) == JOB_SPOOL_SUMMARY_SIZE);

// What a reader accepts. A file within them costs the reader at most kMaxHeadBytes
// besides one page at a time.
inline constexpr size_t kMaxPathUnits = 260;
inline constexpr size_t kMaxNameUnits = 1024;  // a value's or key's name, a locale value
inline constexpr size_t kMaxFileBytes = size_t{64} << 20;   // one file, record or value
inline constexpr size_t kMaxHeadBytes = size_t{256} << 20;  // the chunks before the pages
inline constexpr size_t kMaxPrinterDataValues = 1024;
inline constexpr uint32_t kMaxPageSide = 1u << 20;
inline constexpr uint64_t kMaxPageBytes = uint64_t{256} << 20;
inline constexpr size_t kMaxCallBytes = 256;      // a failure's DDI call
inline constexpr size_t kMaxMessageBytes = 4096;  // a failure's reason

enum class Command : uint32_t { kPrint = 1, kInfo = 2 };

struct PrinterDataValue {
  std::u16string name;
  uint32_t type = JOB_REG_DWORD;
  Bytes bytes;  // 4 for a DWORD
};

struct RegistryValue {
  std::u16string key;  // under HKEY_LOCAL_MACHINE
  std::u16string name;
  Bytes bytes;
};

struct Job {
  Command command = Command::kPrint;
  std::u16string driverLibrary;
  std::u16string modelDataLibrary;
  std::optional<Bytes> modelData;
  std::optional<Bytes> mediaDefinitions;
  std::optional<ResourceLibrary> resourceLibrary;
  std::vector<PrinterDataValue> printerData;
  std::optional<Bytes> userDevmode;
  std::u16string clearedKey;
  std::optional<RegistryValue> defaultOptions;
  std::u16string country = u"44";
  std::u16string measure = u"0";
  EngineChoices engine = {0, 437, 1252, 0};
  Bytes applicationRecord;
};

// Where the runner was when the job stopped.
enum class Stage : uint32_t {
  kJobFile = 1,   // reading the job
  kSetUp = 2,     // the stand-ins, the installation, the registry and locale, the printer
  kDefaults = 3,  // the context made without an application record
  kContext = 4,   // the job's context and surface
  kDocument = 5,  // the document, page by page
};

struct Failure {
  Stage stage = Stage::kJobFile;
  uint32_t lastError = 0;
  uint32_t page = 0;
  std::string call;
  std::string message;
};

struct Result {
  Command command = Command::kPrint;
  std::optional<Failure> failure;
  std::optional<Bytes> probeDefaults;
  std::optional<Bytes> settings;
  std::optional<Bytes> defaultSettings;
  std::optional<Bytes> printerData;
  std::optional<Bytes> gdiInfo;
  std::optional<Bytes> deviceInfo;
  std::optional<PageLayout> layout;
  std::optional<SpoolSummary> spooled;
};

// Writes the header and every chunk of the job before its pages; then WritePage for each
// page and WriteEnd. False when a write fails or a part exceeds what a reader accepts.
bool WriteJobHead(std::FILE* file, const Job& job);
bool WritePage(std::FILE* file, uint32_t width, uint32_t height, const uint8_t* pixels);
bool WriteEnd(std::FILE* file);

bool WriteResult(std::FILE* file, const Result& result);
// The whole result; false with the reason in error.
bool ReadResult(std::FILE* file, Result* result, std::string* error);

// Reads a job: its head, then its pages one at a time.
class JobReader {
 public:
  explicit JobReader(std::FILE* file) : file_(file) {}

  // The header and every chunk up to the first page or the end; false with the reason.
  bool ReadHead(Job* job, std::string* error);
  // The next page, into pixels (reused from page to page). False at the end, and on a
  // fault with the reason in error.
  bool NextPage(uint32_t* width, uint32_t* height, Bytes* pixels, std::string* error);

 private:
  std::FILE* file_;
  ChunkHeader next_ = {};  // the chunk after the head, read but not consumed
  bool ended_ = false;
};

}  // namespace tq33job
