// SPDX-License-Identifier: Apache-2.0
// The printer stream parser that `tq33 decode` and the tests rely on, and its PackBits
// decoder: any bytes, read without overrun, either accepted with a structure that agrees
// with the bytes or refused at an offset inside them.
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "stream/packbits.h"
#include "stream/stream_parser.h"

using namespace tq33stream;

namespace {

void CheckAccepted(const Stream& stream, size_t size, const ParseOptions& options) {
  size_t end = 0;
  for (const Command& command : stream.commands) {
    // Commands follow one another without overlap, inside the stream.
    if (command.offset < end || command.size == 0 || command.offset + command.size > size)
      fuzz::Finding("command at " + std::to_string(command.offset) + " overlaps or overruns");
    end = command.offset + command.size;
  }
  if (CountLines(stream) > options.maxLines) fuzz::Finding("more lines than the limit accepted");
  for (const Page& page : stream.pages) {
    for (const Label& label : page.labels) {
      if (label.endOffset > size) fuzz::Finding("label end past the stream");
      for (const Line& line : label.lines) {
        if (line.offset >= size) fuzz::Finding("line past the stream");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ParseOptions options;
  options.maxLines = 1u << 14;
  options.maxLabels = 1u << 8;
  const ParseResult result = ParseStream(data, size, options);
  if (result.ok) {
    CheckAccepted(result.stream, size, options);
  } else if (result.error.empty() || result.errorOffset > size) {
    fuzz::Finding("refused without a reason or at offset " + std::to_string(result.errorOffset));
  }

  // The decoder on its own, into a head line and into a buffer with no room at all.
  uint8_t line[kHeadLineBytes];
  const PackBitsResult decoded = DecodePackBits(data, size, line, sizeof(line));
  if (decoded.produced > sizeof(line) || decoded.errorAt > size)
    fuzz::Finding("PackBits reported " + std::to_string(decoded.produced) + " bytes produced");
  uint8_t room[1];
  const PackBitsResult none = DecodePackBits(data, size, room, 0);
  if (none.produced != 0) fuzz::Finding("PackBits produced bytes into no room");
  return 0;
}
