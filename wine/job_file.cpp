// SPDX-License-Identifier: Apache-2.0
// Writing and reading the job and result files of a job run under Wine.
#include "wine/job_file.h"

#include <cstring>

#include "context/settings_record.h"
#include "device/printer_data.h"

namespace tq33job {
namespace {

constexpr char kJobMagic[4] = {'T', 'Q', '3', 'J'};
constexpr char kResultMagic[4] = {'T', 'Q', '3', 'R'};
constexpr char kEnd[4] = {'E', 'N', 'D', '.'};
constexpr char kPage[4] = {'P', 'A', 'G', 'E'};
// The width and height in front of a page's pixels.
constexpr size_t kPageHeaderBytes = 8;
// A chunk of the head: a file, record or value with the names and numbers around it.
constexpr size_t kMaxChunkBytes = kMaxFileBytes + 2 * kMaxNameUnits * 2 + 12;
// A chunk of a result: a failure, or a record of a few hundred bytes.
constexpr size_t kMaxResultChunkBytes = 12 + 4 + kMaxCallBytes * 2 + kMaxMessageBytes;

// Writes to a file and remembers whether every write succeeded.
class Writer {
 public:
  explicit Writer(std::FILE* file) : file_(file) {}
  void Raw(const void* bytes, size_t size) {
    if (ok_ && size > 0) ok_ = std::fwrite(bytes, 1, size, file_) == size;
  }
  void Header(const char (&magic)[4], Command command) {
    FileHeader header = {};
    std::memcpy(header.magic, magic, 4);
    header.version = JOB_FILE_VERSION;
    header.headerSize = JOB_FILE_HEADER_SIZE;
    header.command = static_cast<uint32_t>(command);
    Raw(&header, sizeof(header));
  }
  // A chunk of the given content; content beyond what a chunk of the head can hold, or
  // beyond the head's budget, fails the writer.
  void Chunk(const char* tag, const void* bytes, size_t size) {
    if (size > kMaxChunkBytes || size > budget_) ok_ = false;
    budget_ -= ok_ ? size : 0;
    ChunkHeader header = {};
    std::memcpy(header.tag, tag, 4);
    header.size = static_cast<uint32_t>(size);
    Raw(&header, sizeof(header));
    Raw(bytes, size);
  }
  void Chunk(const char* tag, const Bytes& bytes) { Chunk(tag, bytes.data(), bytes.size()); }
  bool ok() const { return ok_; }
  void Fail() { ok_ = false; }

 private:
  std::FILE* file_;
  bool ok_ = true;
  size_t budget_ = kMaxHeadBytes;
};

// Content made of parts: u32 numbers, length-prefixed text, text and bytes.
class Content {
 public:
  Content& U32(uint32_t value) { return Append(&value, sizeof(value)); }
  Content& Text(const std::u16string& text) {
    return U32(static_cast<uint32_t>(text.size())).Units(text);
  }
  Content& Units(const std::u16string& text) { return Append(text.data(), text.size() * 2); }
  Content& Append(const void* data, size_t size) {
    const uint8_t* start = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), start, start + size);
    return *this;
  }
  Content& Append(const Bytes& more) { return Append(more.data(), more.size()); }
  Bytes bytes;
};

// Reads the parts of a chunk's content, never past its end.
class Cursor {
 public:
  explicit Cursor(const Bytes& bytes) : bytes_(bytes) {}
  bool U32(uint32_t* value) { return Copy(value, sizeof(*value)); }
  // Text of a stated length, at most limit units.
  bool Text(std::u16string* text, size_t limit) {
    uint32_t units = 0;
    return U32(&units) && units <= limit && Units(text, units);
  }
  bool Units(std::u16string* text, size_t units) {
    if (units > Left() / 2) return false;
    text->resize(units);
    return Copy(text->data(), units * 2);
  }
  bool Copy(void* to, size_t size) {
    if (size > Left()) return false;
    std::memcpy(to, bytes_.data() + at_, size);
    at_ += size;
    return true;
  }
  Bytes Rest() {
    Bytes rest(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), bytes_.end());
    at_ = bytes_.size();
    return rest;
  }
  size_t Left() const { return bytes_.size() - at_; }

 private:
  const Bytes& bytes_;
  size_t at_ = 0;
};

bool IsTag(const ChunkHeader& header, const char* tag) {
  return std::memcmp(header.tag, tag, 4) == 0;
}

std::string TagName(const ChunkHeader& header) {
  std::string name;
  for (char c : header.tag) name += (c >= 0x20 && c < 0x7F) ? c : '?';
  return name;
}

// Reads exactly size bytes; false when the file ends first or cannot be read.
bool ReadExactly(std::FILE* file, void* to, size_t size) {
  return size == 0 || std::fread(to, 1, size, file) == size;
}

// Reads and checks a file's header: its magic, version and size.
bool ReadFileHeader(std::FILE* file, const char (&magic)[4], Command* command, std::string* error) {
  FileHeader header = {};
  if (!ReadExactly(file, &header, sizeof(header))) {
    *error = "it ends before its header";
    return false;
  }
  if (std::memcmp(header.magic, magic, 4) != 0) {
    *error = "it is not a " + std::string(magic, 4) + " file";
    return false;
  }
  if (header.version != JOB_FILE_VERSION || header.headerSize != JOB_FILE_HEADER_SIZE ||
      header.reserved != 0) {
    *error = "it is of version " + std::to_string(header.version) + " with a header of " +
             std::to_string(header.headerSize) + " bytes; this reader takes version " +
             std::to_string(JOB_FILE_VERSION) + " of " + std::to_string(JOB_FILE_HEADER_SIZE);
    return false;
  }
  if (header.command != static_cast<uint32_t>(Command::kPrint) &&
      header.command != static_cast<uint32_t>(Command::kInfo)) {
    *error = "it names command " + std::to_string(header.command) + ", neither print nor info";
    return false;
  }
  *command = static_cast<Command>(header.command);
  return true;
}

bool ReadChunkHeader(std::FILE* file, ChunkHeader* header, std::string* error) {
  if (ReadExactly(file, header, sizeof(*header))) return true;
  *error = "it ends before its END. chunk";
  return false;
}

// A chunk's content of at most limit bytes, counted against the budget of the head.
bool ReadContent(std::FILE* file, const ChunkHeader& header, size_t limit, size_t* budget,
                 Bytes* content, std::string* error) {
  if (header.size > limit || header.size > *budget) {
    *error = "its " + TagName(header) + " chunk holds " + std::to_string(header.size) +
             " bytes, more than the " + std::to_string(header.size > limit ? limit : *budget) +
             " it may";
    return false;
  }
  *budget -= header.size;
  content->resize(header.size);
  if (ReadExactly(file, content->data(), header.size)) return true;
  *error = "it ends inside its " + TagName(header) + " chunk";
  return false;
}

// A chunk of a fixed size into a record.
template <typename Record>
bool ReadRecord(const Bytes& content, Record* record) {
  if (content.size() != sizeof(Record)) return false;
  std::memcpy(record, content.data(), sizeof(Record));
  return true;
}

std::u16string Ascii16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

}  // namespace

bool WriteJobHead(std::FILE* file, const Job& job) {
  Writer out(file);
  out.Header(kJobMagic, job.command);
  if (job.driverLibrary.size() > kMaxPathUnits || job.modelDataLibrary.size() > kMaxPathUnits ||
      job.printerData.size() > kMaxPrinterDataValues)
    return false;
  out.Chunk("DRVL", Content().Units(job.driverLibrary).bytes);
  out.Chunk("MDLL", Content().Units(job.modelDataLibrary).bytes);
  if (job.modelData) out.Chunk("MDAT", *job.modelData);
  if (job.mediaDefinitions) out.Chunk("MDEF", *job.mediaDefinitions);
  if (job.resourceLibrary) out.Chunk("RSRC", &*job.resourceLibrary, sizeof(ResourceLibrary));
  for (const PrinterDataValue& value : job.printerData) {
    if (value.name.size() > kMaxNameUnits) out.Fail();
    out.Chunk("PDAT", Content().U32(value.type).Text(value.name).Append(value.bytes).bytes);
  }
  if (job.userDevmode) out.Chunk("UDEV", *job.userDevmode);
  if (!job.clearedKey.empty()) {
    if (job.clearedKey.size() > kMaxNameUnits) out.Fail();
    out.Chunk("REGK", Content().Units(job.clearedKey).bytes);
  }
  if (const auto& value = job.defaultOptions) {
    if (value->key.size() > kMaxNameUnits || value->name.size() > kMaxNameUnits) out.Fail();
    out.Chunk("REGO", Content().Text(value->key).Text(value->name).Append(value->bytes).bytes);
  }
  if (job.country.size() > kMaxNameUnits || job.measure.size() > kMaxNameUnits) out.Fail();
  out.Chunk("LOCL", Content().Text(job.country).Units(job.measure).bytes);
  out.Chunk("ENGN", &job.engine, sizeof(job.engine));
  out.Chunk("APPR", job.applicationRecord);
  return out.ok();
}

bool WritePage(std::FILE* file, uint32_t width, uint32_t height, const uint8_t* pixels) {
  const uint64_t bytes = uint64_t{width} * height;
  if (width == 0 || height == 0 || width > kMaxPageSide || height > kMaxPageSide ||
      bytes > kMaxPageBytes)
    return false;
  Writer out(file);
  ChunkHeader header = {};
  std::memcpy(header.tag, kPage, 4);
  header.size = static_cast<uint32_t>(kPageHeaderBytes + bytes);
  const uint32_t size[2] = {width, height};
  out.Raw(&header, sizeof(header));
  out.Raw(size, sizeof(size));
  out.Raw(pixels, static_cast<size_t>(bytes));
  return out.ok();
}

bool WriteEnd(std::FILE* file) {
  Writer out(file);
  out.Chunk(kEnd, nullptr, 0);
  return out.ok() && std::fflush(file) == 0;
}

bool JobReader::ReadHead(Job* job, std::string* error) {
  *job = Job{};
  if (!ReadFileHeader(file_, kJobMagic, &job->command, error)) return false;
  size_t budget = kMaxHeadBytes;
  unsigned seen = 0;  // bit i: chunk kind i of kOnce has been read
  static constexpr const char* kOnce[] = {"DRVL", "MDLL", "MDAT", "MDEF", "RSRC", "UDEV",
                                          "REGK", "REGO", "LOCL", "ENGN", "APPR"};
  constexpr unsigned kRequired = 1u << 0 | 1u << 1 | 1u << 8 | 1u << 9 | 1u << 10;
  Bytes content;
  for (;;) {
    ChunkHeader header = {};
    if (!ReadChunkHeader(file_, &header, error)) return false;
    if (IsTag(header, kPage) || IsTag(header, kEnd)) {
      if ((seen & kRequired) != kRequired) {
        *error = "it lacks one of its DRVL, MDLL, LOCL, ENGN and APPR chunks";
        return false;
      }
      if (IsTag(header, kPage) && job->command != Command::kPrint) {
        *error = "it holds pages for a command that prints none";
        return false;
      }
      next_ = header;
      return true;
    }
    size_t kind = 0;
    while (kind < std::size(kOnce) && !IsTag(header, kOnce[kind])) ++kind;
    const bool printerData = IsTag(header, "PDAT");
    if (kind == std::size(kOnce) && !printerData) {
      *error = "it holds a chunk " + TagName(header) + " this reader does not know";
      return false;
    }
    if (!printerData && (seen & (1u << kind))) {
      *error = "it holds its " + TagName(header) + " chunk twice";
      return false;
    }
    seen |= printerData ? 0 : 1u << kind;
    const bool path = kind <= 1;
    if (!ReadContent(file_, header, path ? kMaxPathUnits * 2 : kMaxChunkBytes, &budget, &content,
                     error))
      return false;
    Cursor at(content);
    bool valid = true;
    if (IsTag(header, "DRVL") || IsTag(header, "MDLL")) {
      valid = content.size() % 2 == 0 &&
              at.Units(IsTag(header, "DRVL") ? &job->driverLibrary : &job->modelDataLibrary,
                       content.size() / 2);
    } else if (IsTag(header, "MDAT")) {
      job->modelData = content;
    } else if (IsTag(header, "MDEF")) {
      job->mediaDefinitions = content;
    } else if (IsTag(header, "RSRC")) {
      ResourceLibrary library = {};
      valid = ReadRecord(content, &library) && (library.flags & ~RSRC_UNREADABLE) == 0;
      job->resourceLibrary = library;
    } else if (printerData) {
      PrinterDataValue value;
      valid = job->printerData.size() < kMaxPrinterDataValues && at.U32(&value.type) &&
              at.Text(&value.name, kMaxNameUnits) && !value.name.empty();
      value.bytes = at.Rest();
      valid = valid && (value.type == JOB_REG_BINARY ||
                        (value.type == JOB_REG_DWORD && value.bytes.size() == 4));
      job->printerData.push_back(std::move(value));
    } else if (IsTag(header, "UDEV")) {
      job->userDevmode = content;
    } else if (IsTag(header, "REGK")) {
      valid = content.size() % 2 == 0 && content.size() / 2 <= kMaxNameUnits && !content.empty() &&
              at.Units(&job->clearedKey, content.size() / 2);
    } else if (IsTag(header, "REGO")) {
      RegistryValue value;
      valid = at.Text(&value.key, kMaxNameUnits) && at.Text(&value.name, kMaxNameUnits) &&
              !value.key.empty();
      value.bytes = at.Rest();
      job->defaultOptions = std::move(value);
    } else if (IsTag(header, "LOCL")) {
      valid = at.Text(&job->country, kMaxNameUnits) && at.Left() % 2 == 0 &&
              at.Left() / 2 <= kMaxNameUnits && at.Units(&job->measure, at.Left() / 2);
    } else if (IsTag(header, "ENGN")) {
      valid = ReadRecord(content, &job->engine) && job->engine.reserved == 0;
    } else {
      job->applicationRecord = content;
    }
    if (!valid) {
      *error = "its " + TagName(header) + " chunk is malformed";
      return false;
    }
  }
}

bool JobReader::NextPage(uint32_t* width, uint32_t* height, Bytes* pixels, std::string* error) {
  error->clear();
  if (ended_) return false;
  if (IsTag(next_, kEnd)) {
    if (next_.size != 0) *error = "its END. chunk is not empty";
    ended_ = true;
    return false;
  }
  if (!IsTag(next_, kPage)) {
    *error = "a chunk " + TagName(next_) + " follows its pages";
    ended_ = true;
    return false;
  }
  uint32_t size[2] = {};
  bool valid = next_.size >= kPageHeaderBytes && ReadExactly(file_, size, sizeof(size));
  const uint64_t bytes = uint64_t{size[0]} * size[1];
  valid = valid && size[0] > 0 && size[1] > 0 && size[0] <= kMaxPageSide &&
          size[1] <= kMaxPageSide && bytes <= kMaxPageBytes &&
          next_.size - kPageHeaderBytes == bytes;
  if (!valid) {
    *error = "a PAGE chunk does not hold the page its size names";
    ended_ = true;
    return false;
  }
  pixels->resize(static_cast<size_t>(bytes));
  if (!ReadExactly(file_, pixels->data(), pixels->size()) ||
      !ReadChunkHeader(file_, &next_, error)) {
    *error = "it ends inside a page";
    ended_ = true;
    return false;
  }
  *width = size[0];
  *height = size[1];
  return true;
}

bool WriteResult(std::FILE* file, const Result& result) {
  Writer out(file);
  out.Header(kResultMagic, result.command);
  if (const auto& failure = result.failure) {
    if (failure->call.size() > kMaxCallBytes || failure->message.size() > kMaxMessageBytes)
      return false;
    out.Chunk("FAIL", Content()
                          .U32(static_cast<uint32_t>(failure->stage))
                          .U32(failure->lastError)
                          .U32(failure->page)
                          .Text(Ascii16(failure->call))
                          .Append(failure->message.data(), failure->message.size())
                          .bytes);
  }
  const std::pair<const char*, const std::optional<Bytes>*> records[] = {
      {"PDEF", &result.probeDefaults},   {"SETT", &result.settings},
      {"DSET", &result.defaultSettings}, {"PRDT", &result.printerData},
      {"GDII", &result.gdiInfo},         {"DEVI", &result.deviceInfo},
  };
  for (const auto& [tag, record] : records) {
    if (*record) out.Chunk(tag, **record);
  }
  if (result.layout) out.Chunk("LAYT", &*result.layout, sizeof(PageLayout));
  if (result.spooled) out.Chunk("SPLD", &*result.spooled, sizeof(SpoolSummary));
  out.Chunk(kEnd, nullptr, 0);
  return out.ok() && std::fflush(file) == 0;
}

bool ReadResult(std::FILE* file, Result* result, std::string* error) {
  *result = Result{};
  if (!ReadFileHeader(file, kResultMagic, &result->command, error)) return false;
  struct Record {
    const char* tag;
    std::optional<Bytes>* record;
    size_t size;
  };
  const Record records[] = {
      {"PDEF", &result->probeDefaults, SETTINGS_RECORD_SIZE},
      {"SETT", &result->settings, SETTINGS_RECORD_SIZE},
      {"DSET", &result->defaultSettings, SETTINGS_RECORD_SIZE},
      {"PRDT", &result->printerData, PRINTER_DATA_RECORD_SIZE},
      {"GDII", &result->gdiInfo, JOB_GDIINFO_SIZE},
      {"DEVI", &result->deviceInfo, JOB_DEVINFO_SIZE},
  };
  size_t budget = kMaxHeadBytes;
  Bytes content;
  for (;;) {
    ChunkHeader header = {};
    if (!ReadChunkHeader(file, &header, error)) return false;
    if (IsTag(header, kEnd)) {
      if (header.size == 0) return true;
      *error = "its END. chunk is not empty";
      return false;
    }
    if (!ReadContent(file, header, kMaxResultChunkBytes, &budget, &content, error)) return false;
    bool valid = true;
    bool twice = false;
    const Record* record = nullptr;
    for (const Record& candidate : records) {
      if (IsTag(header, candidate.tag)) record = &candidate;
    }
    if (record) {
      twice = record->record->has_value();
      valid = content.size() == record->size;
      *record->record = content;
    } else if (IsTag(header, "LAYT")) {
      twice = result->layout.has_value();
      PageLayout layout = {};
      valid = ReadRecord(content, &layout);
      result->layout = layout;
    } else if (IsTag(header, "SPLD")) {
      twice = result->spooled.has_value();
      SpoolSummary spooled = {};
      valid = ReadRecord(content, &spooled);
      result->spooled = spooled;
    } else if (IsTag(header, "FAIL")) {
      twice = result->failure.has_value();
      Failure failure;
      Cursor at(content);
      uint32_t stage = 0;
      std::u16string call;
      valid = at.U32(&stage) && stage >= static_cast<uint32_t>(Stage::kJobFile) &&
              stage <= static_cast<uint32_t>(Stage::kDocument) && at.U32(&failure.lastError) &&
              at.U32(&failure.page) && at.Text(&call, kMaxCallBytes) &&
              at.Left() <= kMaxMessageBytes;
      failure.stage = static_cast<Stage>(stage);
      for (char16_t unit : call)
        failure.call += unit >= 0x20 && unit < 0x7F ? static_cast<char>(unit) : '?';
      const Bytes message = at.Rest();
      failure.message.assign(message.begin(), message.end());
      result->failure = std::move(failure);
    } else {
      *error = "it holds a chunk " + TagName(header) + " this reader does not know";
      return false;
    }
    if (twice || !valid) {
      *error = "its " + TagName(header) + (twice ? " chunk comes twice" : " chunk is malformed");
      return false;
    }
  }
}

}  // namespace tq33job
