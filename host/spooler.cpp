// SPDX-License-Identifier: Apache-2.0
// The print spooler: printers registered by tests and tools, their driver information,
// printer data, per-user device mode and the bytes written to them.
//
// The calls fill caller buffers the way the spooler does: a record followed by the
// strings or bytes it points to, a size probe (no buffer, or too small a one) failing with
// ERROR_INSUFFICIENT_BUFFER and the size needed, and printer data answering with
// registry-style error codes.
#include <cstring>
#include <map>
#include <unordered_map>

#include "host/host_internal.h"
#include "platform/slim_lock.h"

using host::Call;

namespace {

constexpr DWORD kErrorInvalidLevel = 124;
// Driver information describes a version-3 driver: its files live in the "3" subdirectory.
constexpr DWORD kDriverVersion = 3;
// Printer handles: 0x20000000 + 4n, apart from every other kind of handle the host hands out.
constexpr uintptr_t kHandleBase = 0x20000000;

struct Value {
  DWORD type;
  std::vector<uint8_t> bytes;
};

struct Printer {
  host::PrinterSetup setup;
  // By lower-case name, searched with a name as given.
  std::unordered_map<std::u16string, Value, host::internal::NoCaseHash, host::internal::NoCaseEqual>
      data;
  std::vector<uint8_t> spooled;
  uint64_t calls = 0;         // WritePrinter calls ever made on the printer
  uint64_t callsCleared = 0;  // `calls` at the last ClearSpooled
  std::function<bool(const uint8_t*, size_t)> sink;
  std::map<uint64_t, uint32_t> shortWrites;  // call number -> bytes that call accepts
};

struct Spooler {
  SlimLock lock;
  uintptr_t next = 0;
  std::unordered_map<uintptr_t, Printer> printers;
  std::u16string driverDirectory = u"C:\\TQ33\\drivers";
};

Spooler& Spool() {
  static Spooler spooler;
  return spooler;
}

// The printer behind a handle, or null; call with the spooler's lock held.
Printer* FindLocked(Spooler& spooler, HANDLE handle) {
  auto it = spooler.printers.find(reinterpret_cast<uintptr_t>(handle));
  return it == spooler.printers.end() ? nullptr : &it->second;
}

// The checks every printer query opens with: a printer handle, somewhere to write the size
// needed, and the one level the query answers. Gives the printer's setup, which the query
// answers from in place while `guard` holds the spooler's lock; FALSE with the last error
// set otherwise.
bool BeginQuery(HANDLE printer, const DWORD* needed, DWORD level, DWORD answered,
                std::unique_lock<SlimLock>* guard, const host::PrinterSetup** setup) {
  Spooler& spooler = Spool();
  *guard = std::unique_lock(spooler.lock);
  const Printer* found = FindLocked(spooler, printer);
  if (!found) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  *setup = &found->setup;
  if (!needed) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (level != answered) {
    SetLastError(kErrorInvalidLevel);
    return false;
  }
  return true;
}

// The common end of the calls that fill a block: the size probe, or TRUE when the block
// fits (the caller then fills it).
bool FitsOrProbe(size_t bytes, LPBYTE buffer, DWORD bufferSize, LPDWORD needed) {
  *needed = static_cast<DWORD>(bytes);
  if (!buffer || bufferSize < bytes) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  return true;
}

// Places a string in a caller's buffer at `offset` and advances it; returns the copy.
LPWSTR PlaceString(LPBYTE buffer, size_t* offset, const std::u16string& text) {
  LPWSTR placed = reinterpret_cast<LPWSTR>(buffer + *offset);
  size_t bytes = (text.size() + 1) * sizeof(WCHAR);
  std::memcpy(buffer + *offset, text.c_str(), bytes);
  *offset += bytes;
  return placed;
}

}  // namespace

namespace host {

HANDLE AddPrinter(const PrinterSetup& setup) {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  uintptr_t value = kHandleBase + 4 * ++spooler.next;
  spooler.printers[value].setup = setup;
  return reinterpret_cast<HANDLE>(value);
}

void RemovePrinter(HANDLE printer) {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  spooler.printers.erase(reinterpret_cast<uintptr_t>(printer));
}

void RemoveAllPrinters() {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  spooler.printers.clear();
}

void SetUserDevmode(HANDLE printer, std::optional<std::vector<uint8_t>> devmode) {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  if (Printer* found = FindLocked(spooler, printer)) found->setup.userDevmode = std::move(devmode);
}

namespace {

// Replaces a printer-data value's type and bytes; call with the spooler's lock held.
template <typename Bytes>
void PutPrinterDataLocked(HANDLE printer, std::u16string_view name, DWORD type, Bytes&& bytes) {
  Printer* found = FindLocked(Spool(), printer);
  if (!found) return;
  auto it = found->data.find(name);
  if (it == found->data.end()) it = found->data.emplace(internal::LowerAscii(name), Value{}).first;
  it->second.type = type;
  it->second.bytes.assign(std::begin(bytes), std::end(bytes));
}

}  // namespace

void SetPrinterDataDword(HANDLE printer, std::u16string_view name, uint32_t value) {
  uint8_t bytes[4];
  for (size_t i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  std::lock_guard guard(Spool().lock);
  PutPrinterDataLocked(printer, name, REG_DWORD, bytes);
}

void SetPrinterDataBinary(HANDLE printer, std::u16string_view name, std::vector<uint8_t> bytes) {
  std::lock_guard guard(Spool().lock);
  PutPrinterDataLocked(printer, name, REG_BINARY, bytes);
}

void DeletePrinterData(HANDLE printer, std::u16string_view name) {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  Printer* found = FindLocked(spooler, printer);
  if (!found) return;
  auto it = found->data.find(name);
  if (it != found->data.end()) found->data.erase(it);
}

void SetDriverDirectory(std::u16string windowsPath) {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  spooler.driverDirectory = std::move(windowsPath);
}

std::vector<uint8_t> SpooledBytes(HANDLE printer) {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  Printer* found = FindLocked(spooler, printer);
  return found ? found->spooled : std::vector<uint8_t>{};
}

uint64_t WriteCalls(HANDLE printer) {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  Printer* found = FindLocked(spooler, printer);
  return found ? found->calls - found->callsCleared : 0;
}

void ClearSpooled(HANDLE printer) {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  if (Printer* found = FindLocked(spooler, printer)) {
    found->spooled.clear();
    found->callsCleared = found->calls;
  }
}

void TakeSpooled(HANDLE printer, std::vector<uint8_t>* bytes) {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  Printer* found = FindLocked(spooler, printer);
  if (!found) {
    bytes->clear();
    return;
  }
  found->spooled.swap(*bytes);
  found->spooled.clear();
  found->callsCleared = found->calls;
}

void SetWriteSink(HANDLE printer, std::function<bool(const uint8_t* bytes, size_t count)> sink) {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  if (Printer* found = FindLocked(spooler, printer)) found->sink = std::move(sink);
}

void ShortWriteAt(HANDLE printer, uint64_t nth, uint32_t accepted) {
  if (nth == 0) return;
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  if (Printer* found = FindLocked(spooler, printer))
    found->shortWrites[found->calls + nth] = accepted;
}

namespace internal {

void ResetSpooler() {
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  spooler.printers.clear();
  spooler.driverDirectory = u"C:\\TQ33\\drivers";
}

}  // namespace internal
}  // namespace host

extern "C" {

BOOL WINAPI GetPrinterDriverW(HANDLE printer, LPWSTR environment, DWORD level, LPBYTE buffer,
                              DWORD bufferSize, LPDWORD needed) try {
  std::unique_lock<SlimLock> guard;
  const host::PrinterSetup* found = nullptr;
  if (!BeginQuery(printer, needed, level, 2, &guard, &found)) return FALSE;
  const host::PrinterSetup& setup = *found;
  // A named environment other than the printer's has no driver installed for it.
  if (environment && !host::internal::EqualNoCase(host::internal::BoundedText(environment), setup.environment)) {
    SetLastError(ERROR_UNKNOWN_PRINTER_DRIVER);
    return FALSE;
  }
  if (host::ShouldFail(Call::GetPrinterDriver)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const std::u16string* strings[] = {&setup.driverName, &setup.environment, &setup.driverPath,
                                     &setup.dataFile, &setup.configFile};
  size_t bytes = sizeof(DRIVER_INFO_2W);
  for (const std::u16string* text : strings) bytes += (text->size() + 1) * sizeof(WCHAR);
  if (bytes > UINT32_MAX) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (!FitsOrProbe(bytes, buffer, bufferSize, needed)) {
    // The misbehaving spooler of some tests reports success without filling anything.
    return setup.driverProbeSucceeds ? TRUE : FALSE;
  }
  DRIVER_INFO_2W info;
  size_t offset = sizeof(DRIVER_INFO_2W);
  info.cVersion = kDriverVersion;
  info.pName = PlaceString(buffer, &offset, setup.driverName);
  info.pEnvironment = PlaceString(buffer, &offset, setup.environment);
  info.pDriverPath = PlaceString(buffer, &offset, setup.driverPath);
  info.pDataFile = PlaceString(buffer, &offset, setup.dataFile);
  info.pConfigFile = PlaceString(buffer, &offset, setup.configFile);
  std::memcpy(buffer, &info, sizeof info);
  return TRUE;
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(FALSE);
}

BOOL WINAPI GetPrinterDriverDirectoryW(LPWSTR name, LPWSTR environment, DWORD level,
                                       LPBYTE buffer, DWORD bufferSize, LPDWORD needed) try {
  // Every environment shares the one driver directory of the local machine.
  (void)environment;
  if ((name && name[0] != 0) || !needed) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (level != 1) {
    SetLastError(kErrorInvalidLevel);
    return FALSE;
  }
  if (host::ShouldFail(Call::GetPrinterDriverDirectory)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  const std::u16string& directory = spooler.driverDirectory;
  size_t bytes = (directory.size() + 1) * sizeof(WCHAR);
  if (!FitsOrProbe(bytes, buffer, bufferSize, needed)) return FALSE;
  std::memcpy(buffer, directory.c_str(), bytes);
  return TRUE;
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(FALSE);
}

DWORD WINAPI GetPrinterDataW(HANDLE printer, LPWSTR valueName, LPDWORD type, LPBYTE data,
                             DWORD size, LPDWORD needed) try {
  {
    Spooler& spooler = Spool();
    std::lock_guard guard(spooler.lock);
    if (!FindLocked(spooler, printer)) return ERROR_INVALID_HANDLE;
  }
  if (!valueName || !needed || (!data && size != 0)) return ERROR_INVALID_PARAMETER;
  if (host::ShouldFail(Call::GetPrinterData)) return ERROR_NOT_ENOUGH_MEMORY;
  Spooler& spooler = Spool();
  std::lock_guard guard(spooler.lock);
  Printer* found = FindLocked(spooler, printer);
  if (!found) return ERROR_INVALID_HANDLE;
  auto it = found->data.find(host::internal::BoundedText(valueName));
  if (it == found->data.end()) return ERROR_FILE_NOT_FOUND;
  const Value& value = it->second;
  if (type) *type = value.type;
  *needed = static_cast<DWORD>(value.bytes.size());
  if (size < value.bytes.size()) return ERROR_MORE_DATA;
  if (!value.bytes.empty()) std::memcpy(data, value.bytes.data(), value.bytes.size());
  return ERROR_SUCCESS;
} catch (const std::bad_alloc&) {
  return ERROR_NOT_ENOUGH_MEMORY;
}

BOOL WINAPI GetPrinterW(HANDLE printer, DWORD level, LPBYTE buffer, DWORD bufferSize,
                        LPDWORD needed) try {
  std::unique_lock<SlimLock> guard;
  const host::PrinterSetup* found = nullptr;
  if (!BeginQuery(printer, needed, level, 9, &guard, &found)) return FALSE;
  const host::PrinterSetup& setup = *found;
  if (host::ShouldFail(Call::GetPrinter)) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  const std::optional<std::vector<uint8_t>>& devmode = setup.userDevmode;
  size_t bytes = sizeof(PRINTER_INFO_9W) + (devmode ? devmode->size() : 0);
  if (bytes > UINT32_MAX) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  if (!FitsOrProbe(bytes, buffer, bufferSize, needed)) return FALSE;
  PRINTER_INFO_9W info;
  info.pDevMode = nullptr;
  if (devmode) {
    info.pDevMode = reinterpret_cast<LPDEVMODEW>(buffer + sizeof(PRINTER_INFO_9W));
    if (!devmode->empty())
      std::memcpy(buffer + sizeof(PRINTER_INFO_9W), devmode->data(), devmode->size());
  }
  std::memcpy(buffer, &info, sizeof info);
  return TRUE;
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(FALSE);
}

BOOL WINAPI WritePrinter(HANDLE printer, LPVOID bytes, DWORD count, LPDWORD written) try {
  Spooler& spooler = Spool();
  {
    std::lock_guard guard(spooler.lock);
    if (!FindLocked(spooler, printer)) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  if (!written || (!bytes && count != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  *written = 0;
  bool refuse = host::ShouldFail(Call::WritePrinter);
  DWORD accepted = count;
  std::function<bool(const uint8_t*, size_t)> sink;
  {
    std::lock_guard guard(spooler.lock);
    Printer* found = FindLocked(spooler, printer);
    if (!found) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    uint64_t call = ++found->calls;
    if (refuse) {
      SetLastError(ERROR_WRITE_FAULT);
      return FALSE;
    }
    auto shortWrite = found->shortWrites.find(call);
    if (shortWrite != found->shortWrites.end()) {
      if (shortWrite->second < accepted) accepted = shortWrite->second;
      found->shortWrites.erase(shortWrite);
    }
    if (!found->sink) {
      const uint8_t* from = static_cast<const uint8_t*>(bytes);
      if (accepted != 0) found->spooled.insert(found->spooled.end(), from, from + accepted);
      *written = accepted;
      return TRUE;
    }
    sink = found->sink;
  }
  // The sink runs outside the lock: it may well look at the spooler itself.
  if (accepted != 0 && !sink(static_cast<const uint8_t*>(bytes), accepted)) {
    SetLastError(ERROR_WRITE_FAULT);
    return FALSE;
  }
  *written = accepted;
  return TRUE;
} catch (const std::bad_alloc&) {
  return host::internal::OutOfMemory(FALSE);
}

}  // extern "C"
