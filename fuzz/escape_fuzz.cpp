// SPDX-License-Identifier: Apache-2.0
// DrvDrawEscape with arbitrary input: the query of supported escapes, the encapsulated
// PostScript escape 4116 with data whose own length field may lie, any other escape, and
// clip objects of every complexity with arbitrary path records.
//
// Input: escape selector, clip selector, then for a complex clip a record count and per
// record its flags, a point count and the points (two 32-bit fixed-point numbers each);
// whatever follows is the escape's input, in a block of exactly its size.
#include <cstring>
#include <memory>

#include "fuzz/fuzz_support.h"
#include "host/engine_session.h"

namespace {

constexpr ULONG kEscapes[] = {QUERYESCSUPPORT, ENCAPSULATED_POSTSCRIPT};

// The session every input draws on, opened on the first input.
host::EngineSession& Session() {
  static const std::unique_ptr<host::EngineSession> session = [] {
    fuzz::EnableDriver();
    host::DdiStatus status;
    auto opened = host::EngineSession::Open(host::kDriverPath, fuzz::Installation().printer(), {},
                                            &status);
    if (!opened) fuzz::Finding("no session on the default installation: " + status.Describe());
    return opened;
  }();
  return *session;
}

std::vector<host::PathRecord> ReadPath(fuzz::Reader& reader) {
  std::vector<host::PathRecord> path(reader.Byte() % 8);
  for (host::PathRecord& record : path) {
    record.flags = reader.Byte();
    record.points.resize(reader.Byte() % 16);
    for (POINTFIX& point : record.points) {
      point.x = static_cast<FIX>(reader.Dword());
      point.y = static_cast<FIX>(reader.Dword());
    }
  }
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Installation();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  host::EngineSession& session = Session();
  const HANDLE printer = fuzz::Installation().printer();
  const host::LiveObjects baseline = host::Live();
  const uint64_t writesBefore = host::WriteCalls(printer);

  fuzz::Reader reader(data, size);
  const uint8_t selector = reader.Byte();
  const ULONG escape = selector < 0xF0 ? kEscapes[selector % 2] : reader.Dword();
  const uint8_t clipKind = reader.Byte() % 4;
  CLIPOBJ* clip = nullptr;
  if (clipKind == 1) clip = host::CreateClip(DC_TRIVIAL);
  if (clipKind == 2) clip = host::CreateClip(DC_RECT);
  if (clipKind == 3) clip = host::CreateClip(DC_COMPLEX, ReadPath(reader));

  const fuzz::Bytes rest = reader.Rest();
  // The engine passes the application's buffer as it is: exactly its size, or none.
  std::unique_ptr<uint8_t[]> input(rest.empty() ? nullptr : new uint8_t[rest.size()]);
  if (!rest.empty()) std::memcpy(input.get(), rest.data(), rest.size());

  const ULONG result = session.DrawEscape(escape, clip, static_cast<ULONG>(rest.size()),
                                          input.get());
  if (clip) host::DeleteClip(clip);

  if (result > 1) fuzz::Finding("DrvDrawEscape answered " + std::to_string(result));
  if (escape != QUERYESCSUPPORT && escape != ENCAPSULATED_POSTSCRIPT && result != 0)
    fuzz::Finding("DrvDrawEscape accepted the unknown escape " + std::to_string(escape));
  if (!rest.empty() && std::memcmp(input.get(), rest.data(), rest.size()) != 0)
    fuzz::Finding("DrvDrawEscape wrote into the caller's input");
  // The printer takes raster only: nothing of the escape reaches the spooler.
  if (host::WriteCalls(printer) != writesBefore) fuzz::Finding("DrvDrawEscape wrote to the spooler");
  fuzz::CheckNothingLeaked(baseline, "escape");
  return 0;
}
