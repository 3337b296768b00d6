// SPDX-License-Identifier: Apache-2.0
// Bilevel PNG writing, through the codec module.
#include "cli/png_output.h"

#include "cli/file_io.h"
#include "cli/image_codecs.h"
#include "cli/interrupts.h"
#include "cli/tool.h"

namespace tq33cli {
namespace {

// The codec's writer: appends to the output file, which keeps the error of a failed write.
bool WriteToFile(void* context, const uint8_t* bytes, size_t count) {
  return static_cast<OutputFile*>(context)->Write(bytes, count);
}

}  // namespace

void WriteBilevelPng(const std::string& path, uint32_t width, uint32_t height,
                     const std::vector<uint8_t>& rows) {
  const ImageCodecs& codecs = LoadImageCodecs();
  WatchInterrupts();
  OutputFile file(path);
  const CodecOutput output{&file, WriteToFile};
  char message[256] = {};
  const CodecResult result =
      codecs.writeBilevelPng(&output, width, height, rows.data(), message, sizeof(message));
  if (file.error() != 0) file.FailWrite();
  if (result != CodecResult::Done) Fail("cannot write " + OutputName(path) + ": " + message);
  StopWhenInterrupted();
  file.Commit();
}

}  // namespace tq33cli
