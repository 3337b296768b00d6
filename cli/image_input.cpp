// SPDX-License-Identifier: Apache-2.0
// PNG, JPEG and PGM decoding row by row, gray conversion and placement on the page.
#include "cli/image_input.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>

#include "cli/file_io.h"
#include "cli/image_codecs.h"
#include "cli/tool.h"

namespace tq33cli {
namespace {

constexpr uint8_t kWhite = 255;
constexpr uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t kPngSignatureSize = sizeof(kPngSignature);
constexpr size_t kMaxPgmHeader = 4096;

// Receives an image row by row, top to bottom, as 8-bit gray.
class RowSink {
 public:
  virtual ~RowSink() = default;
  virtual void Start(uint32_t width, uint32_t height) = 0;
  // Where gray row y may be decoded in place (a whole image row fits there), or null.
  // A row decoded there is still handed to Row, with that pointer.
  virtual uint8_t* Target(uint32_t) noexcept { return nullptr; }
  virtual void Row(uint32_t y, const uint8_t* gray) = 0;
};

// Throws the image's failure.
[[noreturn]] void ImageFailure(const std::string& path, const std::string& reason) {
  Fail("cannot read image " + path + ": " + reason);
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Opens an image for reading, from its path or from the bytes held in memory; throws when
// it cannot be opened, or names a directory.
File OpenImage(const ImageSource& source) {
  const std::string path = InputName(source.path);
  if (source.inMemory && source.bytes.empty()) ImageFailure(path, "empty file");
  File file(source.inMemory
                ? fmemopen(const_cast<uint8_t*>(source.bytes.data()), source.bytes.size(), "rb")
                : std::fopen(source.path.c_str(), "rb"));
  if (!file) ImageFailure(path, std::strerror(errno));
  struct stat status {};
  if (!source.inMemory && fstat(fileno(file.get()), &status) == 0 && S_ISDIR(status.st_mode))
    ImageFailure(path, "is a directory");
  return file;
}

enum class ImageType { Png, Pgm, Jpeg };

// The type from the file's first bytes. Names the usual mistakes instead of guessing.
ImageType DetectType(std::FILE* file, const std::string& path) {
  uint8_t head[kPngSignatureSize] = {};
  size_t got = std::fread(head, 1, sizeof(head), file);
  const int error = std::ferror(file) ? errno : 0;
  std::rewind(file);
  if (error != 0) ImageFailure(path, std::strerror(error));
  if (got == 0) ImageFailure(path, "empty file");
  if (got >= 2 && head[0] == 'P' && head[1] == '5') return ImageType::Pgm;
  if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return ImageType::Jpeg;
  if (got >= 2 && head[0] == 'P' && head[1] >= '1' && head[1] <= '7') {
    ImageFailure(path, std::string("a P") + static_cast<char>(head[1]) +
                           " netpbm file; only binary gray PGM (P5) is taken");
  }
  if (got == kPngSignatureSize && std::memcmp(head, kPngSignature, kPngSignatureSize) == 0)
    return ImageType::Png;
  ImageFailure(path, "not an image the tool reads (PNG, JPEG or binary PGM)");
}

// Throws for an image of zero size or one larger than the tool takes.
void CheckSize(const std::string& path, uint64_t width, uint64_t height) {
  if (width == 0 || height == 0) ImageFailure(path, "the image has zero size");
  if (width > kMaxImageSide || height > kMaxImageSide) {
    ImageFailure(path, "the image is too large (" + std::to_string(width) + " x " +
                           std::to_string(height) + "; at most " + std::to_string(kMaxImageSide) +
                           " pixels a side)");
  }
}

// ---- PGM --------------------------------------------------------------------------------

struct PgmHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t maxValue = 0;
};

// Reads "P5 width height maxval" with comments, and the single blank after maxval.
PgmHeader ReadPgmHeader(std::FILE* file, const std::string& path) {
  PgmHeader header;
  uint64_t numbers[3] = {};
  size_t consumed = 2;
  if (std::fgetc(file) != 'P' || std::fgetc(file) != '5') ImageFailure(path, "not a PGM file");
  int c = std::fgetc(file);
  for (uint64_t& number : numbers) {
    // Blanks and comments before each number.
    while (c != EOF && (std::isspace(c) || c == '#')) {
      if (c == '#') {
        while (c != EOF && c != '\n' && c != '\r') {
          c = std::fgetc(file);
          if (++consumed > kMaxPgmHeader) ImageFailure(path, "the PGM header is too long");
        }
      }
      c = std::fgetc(file);
      if (++consumed > kMaxPgmHeader) ImageFailure(path, "the PGM header is too long");
    }
    if (c == EOF) ImageFailure(path, "truncated PGM header");
    if (!std::isdigit(c)) ImageFailure(path, "malformed PGM header");
    while (c != EOF && std::isdigit(c)) {
      number = number * 10 + static_cast<uint64_t>(c - '0');
      if (number > 0xFFFFFFFFu) ImageFailure(path, "malformed PGM header (number too large)");
      c = std::fgetc(file);
      if (++consumed > kMaxPgmHeader) ImageFailure(path, "the PGM header is too long");
    }
  }
  if (c == EOF || !std::isspace(c)) ImageFailure(path, "truncated PGM header");
  CheckSize(path, numbers[0], numbers[1]);
  if (numbers[2] == 0 || numbers[2] > 65535) ImageFailure(path, "malformed PGM maximum value");
  if (numbers[2] > 255) ImageFailure(path, "16-bit PGM is not supported (maximum value above 255)");
  header.width = static_cast<uint32_t>(numbers[0]);
  header.height = static_cast<uint32_t>(numbers[1]);
  header.maxValue = static_cast<uint32_t>(numbers[2]);
  return header;
}

// Decodes a binary PGM into the sink; throws for a malformed or truncated file.
void DecodePgm(std::FILE* file, const std::string& path, RowSink* sink) {
  PgmHeader header = ReadPgmHeader(file, path);
  std::vector<uint8_t> row(header.width);
  uint8_t scale[256];
  for (uint32_t v = 0; v < 256; ++v) {
    // Levels above the maximum value are out of range; they count as white.
    scale[v] = v >= header.maxValue
                   ? kWhite
                   : static_cast<uint8_t>((v * 255 + header.maxValue / 2) / header.maxValue);
  }
  sink->Start(header.width, header.height);
  for (uint32_t y = 0; y < header.height; ++y) {
    uint8_t* target = sink->Target(y);
    if (!target) target = row.data();
    if (std::fread(target, 1, row.size(), file) != row.size()) {
      ImageFailure(path, "truncated: the file ends in row " + std::to_string(y) + " of " +
                             std::to_string(header.height));
    }
    if (header.maxValue != 255) {
      for (uint32_t x = 0; x < header.width; ++x) target[x] = scale[target[x]];
    }
    sink->Row(y, target);
  }
}

// ---- PNG and JPEG: the codec module ------------------------------------------------------

// The codec module's callbacks onto a sink. What the sink throws is kept and thrown again
// once the decoder has returned, so that no exception crosses the module.
class SinkRows {
 public:
  explicit SinkRows(RowSink* sink) : sink_(sink) {}
  const CodecRows* rows() const { return &rows_; }
  // Throws what the sink threw, if it did.
  void Rethrow() const {
    if (thrown_) std::rethrow_exception(thrown_);
  }

 private:
  template <typename Call>
  bool Guarded(Call call) {
    try {
      call();
      return true;
    } catch (...) {
      thrown_ = std::current_exception();
      return false;
    }
  }
  static bool Start(void* context, uint32_t width, uint32_t height) {
    auto* self = static_cast<SinkRows*>(context);
    return self->Guarded([&] { self->sink_->Start(width, height); });
  }
  static uint8_t* Target(void* context, uint32_t y) {
    return static_cast<SinkRows*>(context)->sink_->Target(y);
  }
  static bool Row(void* context, uint32_t y, const uint8_t* gray) {
    auto* self = static_cast<SinkRows*>(context);
    return self->Guarded([&] { self->sink_->Row(y, gray); });
  }

  RowSink* sink_;
  std::exception_ptr thrown_;
  CodecRows rows_{this, Start, Target, Row};
};

constexpr CodecLimits kLimits{kMaxImageSide, kMaxInterlacedBytes};

// Decodes a PNG into the sink; throws, naming libpng's reason, when it cannot.
void DecodePng(std::FILE* file, const std::string& path, RowSink* sink) {
  const ImageCodecs& codecs = LoadImageCodecs();
  SinkRows rows(sink);
  char message[256] = {};
  const CodecResult result = codecs.decodePng(file, kLimits, rows.rows(), message, sizeof(message));
  rows.Rethrow();
  if (result == CodecResult::Done) return;
  std::string reason = message;
  // libpng's own words for the faults people meet most.
  if (reason.find("width is zero") != std::string::npos ||
      reason.find("height is zero") != std::string::npos) {
    reason = "the image has zero size";
  } else if (reason.find("exceeds user limit") != std::string::npos ||
             reason.find("too large") != std::string::npos) {
    reason = "the image is too large (" + reason + "; at most " + std::to_string(kMaxImageSide) +
             " pixels a side)";
  }
  ImageFailure(path, reason);
}

// The size of a JPEG, and with a sink its rows; throws, naming libjpeg's reason, when it
// cannot.
ImageSize DecodeJpeg(std::FILE* file, const std::string& path, RowSink* sink, bool strict) {
  const ImageCodecs& codecs = LoadImageCodecs();
  SinkRows rows(sink);
  JpegHeader header{};
  char message[256] = {};
  const CodecResult result = codecs.decodeJpeg(file, kLimits, strict, sink ? rows.rows() : nullptr,
                                               &header, message, sizeof(message));
  rows.Rethrow();
  if (result != CodecResult::Done) ImageFailure(path, message);
  if (header.cmyk) ImageFailure(path, "CMYK JPEG is not supported (convert it to RGB or gray)");
  CheckSize(path, header.width, header.height);
  return {header.width, header.height};
}

// Decodes the image of any type into the sink; throws when it cannot.
void Decode(const ImageSource& source, RowSink* sink) {
  const std::string path = InputName(source.path);
  File file = OpenImage(source);
  switch (DetectType(file.get(), path)) {
    case ImageType::Pgm: DecodePgm(file.get(), path, sink); break;
    case ImageType::Jpeg: DecodeJpeg(file.get(), path, sink, source.strict); break;
    case ImageType::Png: DecodePng(file.get(), path, sink); break;
  }
}

// ---- Placement ----------------------------------------------------------------------------

// Image pixel (x, y) to page pixel (x, y), cropped. Only the part of the page the image
// leaves uncovered is painted white, and rows as wide as the page are decoded in place:
// the page is written once.
class CropSink final : public RowSink {
 public:
  explicit CropSink(GrayPage* page) : page_(page) {}
  void Start(uint32_t width, uint32_t height) override {
    copy_ = std::min(width, page_->width);
    inPlace_ = width == page_->width;
    const uint32_t rows = std::min(height, page_->height);
    for (uint32_t y = 0; y < rows; ++y) {
      std::memset(page_->Row(y) + copy_, kWhite, page_->width - copy_);
    }
    for (uint32_t y = rows; y < page_->height; ++y) std::memset(page_->Row(y), kWhite, page_->width);
  }
  uint8_t* Target(uint32_t y) noexcept override {
    return inPlace_ && y < page_->height ? page_->Row(y) : nullptr;
  }
  void Row(uint32_t y, const uint8_t* gray) override {
    if (y < page_->height && gray != page_->Row(y)) std::memcpy(page_->Row(y), gray, copy_);
  }

 private:
  GrayPage* page_;
  uint32_t copy_ = 0;
  bool inPlace_ = false;
};

// Scales the image to fit the page with its aspect kept on the tape, centred, by area
// averaging: every page pixel is the mean of the image over the area it covers, partly
// covered image pixels counting by the part they contribute. In units of 1 / (w * dw) across and
// 1 / (h * dh) down all boundaries are whole numbers, so the sums are exact integers.
class ContainSink final : public RowSink {
 public:
  explicit ContainSink(GrayPage* page) : page_(page) {}

  void Start(uint32_t width, uint32_t height) override {
    w_ = width;
    h_ = height;
    const uint64_t pw = page_->width;
    const uint64_t ph = page_->height;
    // Image pixels are square; a dot is 1 / xResolution inch wide and 1 / yResolution
    // high. Compared in inches times both resolutions, all whole numbers.
    const uint64_t xr = std::max(page_->xResolution, 1u);
    const uint64_t yr = std::max(page_->yResolution, 1u);
    if (uint64_t{w_} * ph * xr <= uint64_t{h_} * pw * yr) {  // the height limits
      dh_ = ph;
      dw_ = std::clamp<uint64_t>((uint64_t{w_} * ph * xr + h_ * yr / 2) / (h_ * yr), 1, pw);
    } else {
      dw_ = pw;
      dh_ = std::clamp<uint64_t>((uint64_t{h_} * pw * yr + w_ * xr / 2) / (w_ * xr), 1, ph);
    }
    ox_ = static_cast<uint32_t>((pw - dw_) / 2);
    oy_ = static_cast<uint32_t>((ph - dh_) / 2);
    // The horizontal overlaps: image pixel i spans [i*dw, (i+1)*dw), page pixel j spans
    // [j*w, (j+1)*w); one entry per overlapping pair, in order.
    spans_.clear();
    for (uint64_t i = 0, j = 0; i < w_ && j < dw_;) {
      uint64_t end = std::min((i + 1) * dw_, (j + 1) * w_);
      uint64_t start = std::max(i * dw_, j * w_);
      spans_.push_back(
          {static_cast<uint32_t>(i), static_cast<uint32_t>(j), static_cast<uint32_t>(end - start)});
      if ((i + 1) * dw_ == end) ++i;
      if ((j + 1) * w_ == end) ++j;
    }
    rowSums_.assign(dw_, 0);
    accumulated_.assign(dw_, 0);
  }

  void Row(uint32_t y, const uint8_t* gray) override {
    std::fill(rowSums_.begin(), rowSums_.end(), 0);
    for (const Span& span : spans_) rowSums_[span.to] += uint64_t{gray[span.from]} * span.weight;
    // The page rows this image row covers: [y*dh, (y+1)*dh) against [j*h, (j+1)*h).
    const uint64_t top = uint64_t{y} * dh_;
    const uint64_t bottom = top + dh_;
    for (uint64_t j = top / h_; j < dh_ && j * h_ < bottom; ++j) {
      uint64_t weight = std::min(bottom, (j + 1) * h_) - std::max(top, j * h_);
      for (uint64_t x = 0; x < dw_; ++x) accumulated_[x] += rowSums_[x] * weight;
      if ((j + 1) * h_ <= bottom) FinishRow(static_cast<uint32_t>(j));
    }
  }

 private:
  struct Span {
    uint32_t from;    // image column
    uint32_t to;      // page column, from the placed image's left edge
    uint32_t weight;  // overlap in 1 / (w * dw) units
  };

  void FinishRow(uint32_t j) {
    const uint64_t area = uint64_t{w_} * h_;
    uint8_t* out = page_->Row(oy_ + j) + ox_;
    for (uint64_t x = 0; x < dw_; ++x) {
      out[x] = static_cast<uint8_t>((accumulated_[x] + area / 2) / area);
      accumulated_[x] = 0;
    }
  }

  GrayPage* page_;
  uint32_t w_ = 0, h_ = 0;
  uint64_t dw_ = 0, dh_ = 0;
  uint32_t ox_ = 0, oy_ = 0;
  std::vector<Span> spans_;
  std::vector<uint64_t> rowSums_;
  std::vector<uint64_t> accumulated_;
};

}  // namespace

ImageSource OpenImageSource(const std::string& path) {
  ImageSource source;
  source.path = path;
  if (IsStreamInput(path)) {
    source.bytes = ReadInputFile(path, "image", kMaxStreamedImageBytes);
    source.inMemory = true;
  }
  return source;
}

ImageSize ProbeImage(const ImageSource& source) {
  const std::string path = InputName(source.path);
  File file = OpenImage(source);
  const ImageType type = DetectType(file.get(), path);
  if (type == ImageType::Jpeg) return DecodeJpeg(file.get(), path, nullptr, source.strict);
  if (type == ImageType::Pgm) {
    PgmHeader header = ReadPgmHeader(file.get(), path);
    // The samples follow the header uncompressed, so their count is known at once.
    const long start = std::ftell(file.get());
    if (start < 0 || std::fseek(file.get(), 0, SEEK_END) != 0) ImageFailure(path, "cannot seek");
    const uint64_t present = static_cast<uint64_t>(std::ftell(file.get()) - start);
    const uint64_t needed = uint64_t{header.width} * header.height;
    if (present < needed) {
      ImageFailure(path, "truncated: " + std::to_string(present) + " bytes of samples where " +
                             std::to_string(header.width) + " x " + std::to_string(header.height) +
                             " needs " + std::to_string(needed));
    }
    return {header.width, header.height};
  }
  // The signature, then the IHDR chunk: length 13, type, width and height big-endian.
  uint8_t head[24] = {};
  if (std::fread(head, 1, sizeof(head), file.get()) != sizeof(head)) {
    ImageFailure(path, "truncated: the file ends inside the PNG header");
  }
  if (std::memcmp(head + 12, "IHDR", 4) != 0) ImageFailure(path, "the PNG has no IHDR chunk first");
  auto big = [](const uint8_t* at) {
    return (uint32_t{at[0]} << 24) | (uint32_t{at[1]} << 16) | (uint32_t{at[2]} << 8) | at[3];
  };
  ImageSize size{big(head + 16), big(head + 20)};
  CheckSize(path, size.width, size.height);
  return size;
}

void RenderImage(const ImageSource& source, Fit fit, GrayPage* page) {
  if (fit == Fit::None) {
    CropSink sink(page);
    Decode(source, &sink);
  } else {
    for (uint32_t y = 0; y < page->height; ++y) std::memset(page->Row(y), kWhite, page->width);
    ContainSink sink(page);
    Decode(source, &sink);
  }
}

}  // namespace tq33cli
