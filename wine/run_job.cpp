// SPDX-License-Identifier: Apache-2.0
// Runs one job of the tq33 tool through the shipped driver under Wine (`tq33 print
// --via-wine`, `tq33 info --via-wine`): reads DIR\job.bin (wine/job_file.h), lays out the
// installation it describes in DIR\drivers, sets up the printer's environment in Wine's
// registry and in the stand-in engine and spooler, makes the job's printer context through
// the real TQ33KV.DLL and, for print, prints the pages as one document, as the tool does on
// Linux. What the driver answered goes to DIR\result.bin and what the spooler received to
// DIR\spool.bin.
//
//   run_job.exe DIR
//
// Exit status 0 when the job ran, 1 when the driver or the set-up refused it (the result
// says why), 2 for a usage error or a result that cannot be written, 3 when the process
// crashed (standard error says where, and at which step of the job).
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "context/device_context.h"
#include "device/printer_data.h"
#include "host/engine_session.h"
#include "wine/job_file.h"
#include "wine/resource_translation.h"
#include "wine/stand_in.h"

namespace {

using tq33job::Bytes;
using tq33job::Failure;
using tq33job::Job;
using tq33job::Result;
using tq33job::Stage;

// The largest resource library this takes as the template of the job's.
constexpr size_t kMaxTemplateBytes = size_t{1} << 20;
// A file standing for a resource library without a version block.
constexpr char kNotALibrary[] = "no version block";
constexpr wchar_t kInternationalKey[] = L"Control Panel\\International";

// The step the job is at, for the crash report.
const char* stage = "starting";
unsigned stagePage = 0;

// The words for the exceptions a driver is likely to die of.
const char* ExceptionWords(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
      return " (access violation)";
    case EXCEPTION_STACK_OVERFLOW:
      return " (stack overflow)";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
      return " (integer division by zero)";
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      return " (illegal instruction)";
    case EXCEPTION_PRIV_INSTRUCTION:
      return " (privileged instruction)";
    case EXCEPTION_BREAKPOINT:
      return " (breakpoint)";
    default:
      return "";
  }
}

// Says where the process crashed and ends it with status 3: nothing of the job can be
// trusted after it.
LONG WINAPI ReportCrash(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
  HMODULE module = nullptr;
  char path[MAX_PATH] = "";
  const char* name = nullptr;
  uintptr_t offset = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          static_cast<LPCSTR>(record->ExceptionAddress), &module) &&
      GetModuleFileNameA(module, path, MAX_PATH) > 0) {
    offset -= reinterpret_cast<uintptr_t>(module);
    name = path;
    for (const char* at = path; *at; ++at) {
      if (*at == '\\' || *at == '/') name = at + 1;
    }
  }
  std::fprintf(stderr, "run_job: crashed %s", stage);
  if (stagePage) std::fprintf(stderr, " %u", stagePage);
  std::fprintf(stderr, ": exception 0x%08lX%s at ",
               static_cast<unsigned long>(record->ExceptionCode),
               ExceptionWords(record->ExceptionCode));
  // An address outside every module: a jump through a corrupted stack or pointer.
  if (name) std::fprintf(stderr, "%s+", name);
  std::fprintf(stderr, "0x%llX\n", static_cast<unsigned long long>(offset));
  std::fflush(stderr);
  TerminateProcess(GetCurrentProcess(), 3);
  return EXCEPTION_EXECUTE_HANDLER;
}

const WCHAR* W(const std::u16string& text) { return host::Wide(text.c_str()); }

std::u16string Utf16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

// Reads a whole file of at most limit bytes; nothing when it cannot.
std::optional<Bytes> ReadWhole(const std::u16string& path, size_t limit) {
  HANDLE file = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  LARGE_INTEGER size = {};
  std::optional<Bytes> bytes;
  if (GetFileSizeEx(file, &size) && size.QuadPart >= 0 &&
      static_cast<uint64_t>(size.QuadPart) <= limit) {
    Bytes content(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (content.empty() ||
        (ReadFile(file, content.data(), static_cast<DWORD>(content.size()), &read, nullptr) &&
         read == content.size()))
      bytes = std::move(content);
  }
  CloseHandle(file);
  return bytes;
}

bool WriteWhole(const std::u16string& path, const void* bytes, size_t size) {
  HANDLE file = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok =
      size == 0 ||
      (WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) && written == size);
  return CloseHandle(file) && ok;
}

// The directory this program was started from, with its trailing backslash.
std::u16string ProgramDirectory() {
  WCHAR path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length < MAX_PATH ? length : 0);
  return Utf16(directory.substr(0, directory.find_last_of(L"\\/") + 1));
}

// The job's resource library: the one beside this program, whose version block names US
// English, Unicode, with that translation replaced by the job's; or, for a library whose
// translation cannot be read, a file that holds no version block. False with the reason.
bool WriteResourceLibrary(const std::u16string& path, const tq33job::ResourceLibrary& library,
                          std::string* error) {
  if (library.flags & RSRC_UNREADABLE) return WriteWhole(path, kNotALibrary, sizeof(kNotALibrary));
  const std::u16string source = ProgramDirectory() + u"TQ33Kr.dll";
  std::optional<Bytes> image = ReadWhole(source, kMaxTemplateBytes);
  if (!image) {
    *error = "cannot read the resource library TQ33Kr.dll beside run_job.exe";
    return false;
  }
  // The translation is the value of the version block's only "Translation" entry: the key
  // and its terminator in UTF-16, zeros up to a multiple of four bytes, then the pair.
  static constexpr char16_t kKey[] = u"Translation";
  constexpr size_t kKeyBytes = sizeof(kKey);
  size_t found = 0;
  size_t at = 0;
  for (size_t i = 0; i + kKeyBytes + 7 <= image->size(); ++i) {
    if (std::memcmp(image->data() + i, kKey, kKeyBytes) != 0) continue;
    at = (i + kKeyBytes + 3) & ~size_t{3};
    ++found;
  }
  const uint16_t expected[2] = {TQ33_RESOURCE_LANGUAGE, TQ33_RESOURCE_CODE_PAGE};
  if (found != 1 || at + 4 > image->size() || std::memcmp(image->data() + at, expected, 4) != 0) {
    *error = "the resource library beside run_job.exe holds no single translation 0409:04B0";
    return false;
  }
  const uint16_t pair[2] = {library.language, library.codePage};
  std::memcpy(image->data() + at, pair, sizeof(pair));
  return WriteWhole(path, image->data(), image->size());
}

// The installation in DIR\drivers: the driver and model-data libraries copied from where
// the job names them, the files it carries. False with the reason.
bool LayOutInstallation(const Job& job, const std::u16string& drivers, std::string* error) {
  if (!CreateDirectoryW(W(drivers), nullptr) || !CreateDirectoryW(W(drivers + u"\\3"), nullptr)) {
    *error = "cannot make the driver directory (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  if (!CopyFileW(W(job.driverLibrary), W(drivers + u"\\TQ33KV.DLL"), TRUE) ||
      !CopyFileW(W(job.modelDataLibrary), W(drivers + u"\\3\\TQ33Ki3.dll"), TRUE)) {
    *error =
        "cannot copy the driver or the model-data library into the driver directory "
        "(error " +
        std::to_string(GetLastError()) + ")";
    return false;
  }
  if ((job.modelData &&
       !WriteWhole(drivers + u"\\TQ33KV.MDL", job.modelData->data(), job.modelData->size())) ||
      (job.mediaDefinitions && !WriteWhole(drivers + u"\\TQ33KV.DAT", job.mediaDefinitions->data(),
                                           job.mediaDefinitions->size()))) {
    *error = "cannot write the installation's files";
    return false;
  }
  if (job.resourceLibrary &&
      !WriteResourceLibrary(drivers + u"\\3\\TQ33Kr.dll", *job.resourceLibrary, error)) {
    if (error->empty()) *error = "cannot write the resource library";
    return false;
  }
  return true;
}

bool SetString(HKEY key, const wchar_t* name, const std::u16string& value) {
  const DWORD bytes = static_cast<DWORD>((value.size() + 1) * 2);
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(W(value)), bytes) ==
         ERROR_SUCCESS;
}

std::u16string LocaleValue(LCTYPE type) {
  WCHAR value[16] = {};
  const int chars = GetLocaleInfoW(LOCALE_USER_DEFAULT, type, value, 16);
  return chars > 0 ? Utf16(value) : u"";
}

// The registry as the job has it: whatever an earlier job left under the cleared key gone,
// the job's default options in place, and the user's locale, which Wine's GetLocaleInfoW
// answers with. A 32-bit program's HKEY_LOCAL_MACHINE\SOFTWARE is the 32-bit view, where
// the driver in the same process looks too. False with the reason.
bool SetUpRegistry(const Job& job, std::string* error) {
  if (!job.clearedKey.empty()) {
    const LSTATUS cleared = RegDeleteTreeW(HKEY_LOCAL_MACHINE, W(job.clearedKey));
    if (cleared != ERROR_SUCCESS && cleared != ERROR_FILE_NOT_FOUND) {
      *error = "cannot clear the registry key of the default options (error " +
               std::to_string(cleared) + ")";
      return false;
    }
  }
  HKEY key = nullptr;
  bool stored = true;
  if (const auto& value = job.defaultOptions) {
    stored = RegCreateKeyExW(HKEY_LOCAL_MACHINE, W(value->key), 0, nullptr, 0, KEY_SET_VALUE,
                             nullptr, &key, nullptr) == ERROR_SUCCESS;
    if (stored) {
      stored = RegSetValueExW(key, W(value->name), 0, REG_BINARY, value->bytes.data(),
                              static_cast<DWORD>(value->bytes.size())) == ERROR_SUCCESS;
      RegCloseKey(key);
    }
  }
  if (stored && RegCreateKeyExW(HKEY_CURRENT_USER, kInternationalKey, 0, nullptr, 0, KEY_SET_VALUE,
                                nullptr, &key, nullptr) == ERROR_SUCCESS) {
    stored = SetString(key, L"iCountry", job.country) && SetString(key, L"iMeasure", job.measure);
    RegCloseKey(key);
  } else {
    stored = false;
  }
  if (!stored) {
    *error = "cannot write the default options and the locale into Wine's registry";
    return false;
  }
  if (LocaleValue(LOCALE_ICOUNTRY) != job.country || LocaleValue(LOCALE_IMEASURE) != job.measure) {
    *error = "Wine's locale does not answer with the country and measure set in its registry";
    return false;
  }
  return true;
}

// The printer of the installation in drivers, with the job's per-user record and printer
// data, on the stand-in spooler; and the stand-in engine's code pages.
HANDLE AddPrinter(const Job& job, const std::u16string& drivers) {
  host::SetCodePages(job.engine.oemCodePage, job.engine.ansiCodePage);
  host::SetDriverDirectory(drivers);
  host::PrinterSetup setup;
  setup.driverPath = drivers + u"\\TQ33KV.DLL";
  setup.dataFile = drivers + u"\\TQ33KV.MDL";
  setup.configFile = drivers + u"\\TQ33KU.DLL";
  setup.userDevmode = job.userDevmode;
  HANDLE printer = host::AddPrinter(setup);
  for (const tq33job::PrinterDataValue& value : job.printerData) {
    if (value.type == JOB_REG_DWORD) {
      uint32_t number = 0;
      std::memcpy(&number, value.bytes.data(), sizeof(number));
      host::SetPrinterDataDword(printer, value.name, number);
    } else {
      host::SetPrinterDataBinary(printer, value.name, value.bytes);
    }
  }
  return printer;
}

template <typename Record>
Bytes RecordBytes(const Record& record) {
  const uint8_t* start = reinterpret_cast<const uint8_t*>(&record);
  return Bytes(start, start + sizeof(record));
}

// A pointer or handle in the 32 bits of the records' 32-bit layouts; all ones when it does
// not fit.
template <typename Pointer>
uint32_t Narrow(Pointer pointer) {
  const uintptr_t value = reinterpret_cast<uintptr_t>(pointer);
  return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

// GDIINFO in its 32-bit layout: everything up to the three halftone pattern pointers is
// laid out alike in both Windows layouts.
Bytes GdiInfoBytes(const GDIINFO& info) {
  constexpr size_t kHead = offsetof(GDIINFO, pHTPatA);
  static_assert(kHead == 280);
  Bytes bytes(JOB_GDIINFO_SIZE);
  std::memcpy(bytes.data(), &info, kHead);
  const uint32_t tail[] = {Narrow(info.pHTPatA),
                           Narrow(info.pHTPatB),
                           Narrow(info.pHTPatC),
                           info.flShadeBlend,
                           info.ulPhysicalPixelCharacteristics,
                           info.ulPhysicalPixelGamma};
  static_assert(kHead + sizeof(tail) == JOB_GDIINFO_SIZE);
  std::memcpy(bytes.data() + kHead, tail, sizeof(tail));
  return bytes;
}

// DEVINFO in its 32-bit layout: everything up to the default palette's handle alike.
Bytes DeviceInfoBytes(const DEVINFO& info) {
  constexpr size_t kHead = offsetof(DEVINFO, cyDither) + sizeof(USHORT);
  static_assert(kHead == 292);
  Bytes bytes(JOB_DEVINFO_SIZE);
  std::memcpy(bytes.data(), &info, kHead);
  const uint32_t tail[] = {Narrow(info.hpalDefault), info.flGraphicsCaps2};
  static_assert(kHead + sizeof(tail) == JOB_DEVINFO_SIZE);
  std::memcpy(bytes.data() + kHead, tail, sizeof(tail));
  return bytes;
}

// What the job's context holds: its records and the page with its bands.
void TakeAnswers(const host::EngineSession& session, Result* result) {
  const DeviceContext& context = *ContextFromHandle(session.device());
  result->settings = RecordBytes(context.settings);
  result->defaultSettings = RecordBytes(context.defaultSettings);
  if (context.printerData) result->printerData = RecordBytes(*context.printerData);
  result->gdiInfo = GdiInfoBytes(session.gdiInfo());
  result->deviceInfo = DeviceInfoBytes(session.deviceInfo());
  const SIZEL page = session.pageSize();
  tq33job::PageLayout layout = {};
  layout.pageWidth = static_cast<uint32_t>(page.cx);
  layout.pageHeight = static_cast<uint32_t>(page.cy);
  layout.banded = session.banded() ? 1 : 0;
  layout.surfaceFlags = context.surfaceFlags;
  layout.pageStride = context.pageStride;
  layout.bandCount = context.bandCount;
  layout.bandExtent = context.bandExtent;
  layout.lastBandExtent = context.lastBandExtent;
  layout.crossExtent = context.crossExtent;
  layout.bandAxisExtent = context.bandAxisExtent;
  layout.fontSlotCount = context.fontSlotCount;
  result->layout = layout;
}

Failure Refusal(Stage at, const host::DdiStatus& status, uint32_t page = 0) {
  Failure failure;
  failure.stage = at;
  failure.call = status.call;
  failure.lastError = status.lastError;
  failure.page = page;
  return failure;
}

Failure Stopped(Stage at, std::string message, uint32_t page = 0) {
  Failure failure;
  failure.stage = at;
  failure.page = page;
  failure.message = std::move(message);
  return failure;
}

// Sends what the driver writes to the spooler on to the spool file, counting it.
struct SpoolFile {
  std::FILE* file = nullptr;
  uint64_t bytes = 0;
  bool failed = false;
  ~SpoolFile() {
    if (file) std::fclose(file);
  }
};

// The document: the job's pages, each the size of the driver's page, as the tool prints
// them on Linux. Nothing but a failure when a page is refused, read or sized wrongly.
std::optional<Failure> PrintDocument(tq33job::JobReader* reader, host::EngineSession* session,
                                     HANDLE printer, const std::u16string& spoolPath,
                                     Result* result) {
  SpoolFile spool;
  spool.file = _wfopen(W(spoolPath), L"wb");
  if (!spool.file) return Stopped(Stage::kDocument, "cannot write the spool file");
  host::SetWriteSink(printer, [&spool](const uint8_t* bytes, size_t count) {
    spool.failed = spool.failed || std::fwrite(bytes, 1, count, spool.file) != count;
    spool.bytes += spool.failed ? 0 : count;
    return !spool.failed;
  });
  struct Unhook {
    HANDLE printer;
    ~Unhook() { host::SetWriteSink(printer, {}); }
  } unhook{printer};

  stage = "starting the document";
  host::DdiStatus status = session->StartDoc(u"tq33");
  if (!status) return Refusal(Stage::kDocument, status);
  const SIZEL size = session->pageSize();
  host::GrayImage page;
  uint32_t width = 0;
  uint32_t height = 0;
  std::string error;
  for (uint32_t number = 1;; ++number) {
    stage = "reading page";
    stagePage = number;
    if (!reader->NextPage(&width, &height, &page.pixels, &error)) break;
    if (static_cast<LONG>(width) != size.cx || static_cast<LONG>(height) != size.cy) {
      session->EndDoc(true);
      return Stopped(Stage::kDocument,
                     "page " + std::to_string(number) + " is " + std::to_string(width) + " x " +
                         std::to_string(height) + " pixels, the driver's page " +
                         std::to_string(size.cx) + " x " + std::to_string(size.cy) + " dots",
                     number);
    }
    page.width = size.cx;
    page.height = size.cy;
    stage = "printing page";
    status = session->PrintPage(page);
    if (!status) {
      session->EndDoc(true);
      Failure failure = Refusal(Stage::kDocument, status, number);
      if (spool.failed) failure.message = "cannot write the spool file";
      return failure;
    }
  }
  stagePage = 0;
  if (!error.empty()) {
    session->EndDoc(true);
    return Stopped(Stage::kJobFile, "the job file: " + error);
  }
  stage = "ending the document";
  status = session->EndDoc(false);
  if (!status) return Refusal(Stage::kDocument, status);
  if (std::fflush(spool.file) != 0 || spool.failed)
    return Stopped(Stage::kDocument, "cannot write the spool file");
  result->spooled =
      tq33job::SpoolSummary{spool.bytes, ContextFromHandle(session->device())->jobFlags, 0};
  return std::nullopt;
}

// The whole job; a failure says where and why it stopped.
std::optional<Failure> RunJob(const std::u16string& directory, Result* result) {
  stage = "reading the job";
  std::FILE* file = _wfopen(W(directory + u"\\job.bin"), L"rb");
  if (!file) return Stopped(Stage::kJobFile, "cannot open the job file");
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> closer(file, std::fclose);
  tq33job::JobReader reader(file);
  Job job;
  std::string error;
  if (!reader.ReadHead(&job, &error)) return Stopped(Stage::kJobFile, "the job file: " + error);
  result->command = job.command;

  stage = "setting up";
  if (!IsStandIn(L"GDI32.dll", "engine") || !IsStandIn(L"WINSPOOL.DRV", "spooler"))
    return Stopped(Stage::kSetUp, kNoStandIns);
  const std::u16string drivers = directory + u"\\drivers";
  if (!LayOutInstallation(job, drivers, &error) || !SetUpRegistry(job, &error))
    return Stopped(Stage::kSetUp, error);
  const HANDLE printer = AddPrinter(job, drivers);
  const std::u16string driverPath = drivers + u"\\TQ33KV.DLL";

  // What an application gets before it changes anything: the record the tool made the
  // application's from on Linux.
  stage = "making the default context";
  host::SessionOptions probeOptions;
  probeOptions.surface = false;
  host::DdiStatus status;
  std::unique_ptr<host::EngineSession> probe =
      host::EngineSession::Open(driverPath, printer, probeOptions, &status);
  if (!probe) return Refusal(Stage::kDefaults, status);
  result->probeDefaults = RecordBytes(ContextFromHandle(probe->device())->defaultSettings);
  probe.reset();

  stage = "making the job's context";
  host::SetMaxBitmapBytes(job.engine.maxBitmapBytes);
  host::SessionOptions options;
  options.devmode = job.applicationRecord;
  std::unique_ptr<host::EngineSession> session =
      host::EngineSession::Open(driverPath, printer, options, &status);
  if (!session) return Refusal(Stage::kContext, status);
  TakeAnswers(*session, result);
  if (job.command != tq33job::Command::kPrint) return std::nullopt;
  return PrintDocument(&reader, session.get(), printer, directory + u"\\spool.bin", result);
}

}  // namespace

int main(int argc, char** argv) {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  SetUnhandledExceptionFilter(ReportCrash);
  if (argc != 2) {
    std::fprintf(stderr, "usage: run_job.exe DIR\n");
    return 2;
  }
  const std::string argument = argv[1];
  const std::u16string directory(argument.begin(), argument.end());
  Result result;
  result.failure = RunJob(directory, &result);
  stage = "writing the result";
  std::FILE* file = _wfopen(W(directory + u"\\result.bin"), L"wb");
  const bool written = file && tq33job::WriteResult(file, result);
  if (file && std::fclose(file) != 0) file = nullptr;
  if (!written || !file) {
    std::fprintf(stderr, "run_job: cannot write the result file\n");
    return 2;
  }
  return result.failure ? 1 : 0;
}
