// SPDX-License-Identifier: Apache-2.0
// The encapsulated-PostScript drawing escape. The driver says yes to the query, checks
// that the data is encapsulated PostScript with a well-formed bounding box, and accepts
// it; the printer takes raster commands only, so the text itself goes nowhere.
#include <cstring>

#include "context/device_context.h"
#include "eps/eps_escape.h"

namespace {

constexpr char kBoundingBox[] = "%%BoundingBox:";
constexpr DWORD kBoundingBoxLength = sizeof(kBoundingBox) - 1;  // 14
constexpr DWORD kBoundingBoxNumbers = 4;
constexpr DWORD kEscapeCodeBytes = 2;  // the query reads the low 16 bits of its code

// A decimal digit in ASCII.
bool IsDigit(BYTE value) { return value >= '0' && value <= '9'; }

// Reads one number of the bounding box from position: blanks, an optional '-', then
// digits with an optional fraction. FALSE, with position at the offending byte, when the
// byte after the sign is neither a digit nor '.'.
bool ReadNumber(const BYTE* data, DWORD end, DWORD* position) {
  DWORD at = *position;
  while (at < end && (data[at] == ' ' || data[at] == '\t')) ++at;
  if (at < end && data[at] == '-') ++at;
  if (at >= end || (!IsDigit(data[at]) && data[at] != '.')) {
    *position = at;
    return false;
  }
  while (at < end && IsDigit(data[at])) ++at;
  // Only five digits of a fraction would count; the value plays no part, so all are
  // simply read.
  if (at < end && data[at] == '.') {
    ++at;
    while (at < end && IsDigit(data[at])) ++at;
  }
  *position = at;
  return true;
}

// Walks the records of a complex clip path and checks that every curve record carries
// whole curves of three points (after its first point when it opens a subpath); the
// first that does not sets last error 87. The path is released in any case.
void CheckClipPath(CLIPOBJ* clip) {
  if (!clip || clip->iDComplexity != DC_COMPLEX) return;
  PATHOBJ* path = CLIPOBJ_ppoGetPath(clip);
  if (!path) return;
  PATHOBJ_vEnumStart(path);
  BOOL more;
  do {
    PATHDATA data = {};
    more = PATHOBJ_bEnum(path, &data);
    if (data.flags & PD_BEZIERS) {
      ULONG points = data.count;
      if ((data.flags & PD_BEGINSUBPATH) && points > 0) --points;
      if (points % 3 != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        break;
      }
    }
  } while (more);
  EngDeletePath(path);
}

}  // namespace

// TRUE when the text holds a "%%BoundingBox:" followed by four numbers and at least one
// more byte. Reads nothing beyond the smaller of the input's total size and available;
// FALSE for a null or short input.
BOOL FindBoundingBox(const BYTE* input, DWORD available) {
  if (!input || available < sizeof(DWORD)) return FALSE;
  DWORD total;
  std::memcpy(&total, input, sizeof(total));
  const DWORD end = total < available ? total : available;
  if (end <= EPS_HEADER_SIZE) return FALSE;

  DWORD position = EPS_HEADER_SIZE;
  for (;;) {
    if (end - position >= kBoundingBoxLength &&
        std::memcmp(input + position, kBoundingBox, kBoundingBoxLength) == 0) {
      DWORD at = position + kBoundingBoxLength;
      DWORD numbers = 0;
      while (numbers < kBoundingBoxNumbers && ReadNumber(input, end, &at)) ++numbers;
      if (numbers == kBoundingBoxNumbers) return at < end ? TRUE : FALSE;
      // A malformed occurrence: the search for the next '%' starts at the byte that broke
      // it, which may itself open the next keyword.
      position = at;
    } else {
      ++position;
    }
    while (position < end && input[position] != '%') ++position;
    if (position >= end) return FALSE;
  }
}

// Answers the query of supported escapes and accepts well-formed encapsulated PostScript;
// 0 for every other escape. Escape 4116 returns 0 with last error 87 for an invalid
// context or data without a usable bounding box.
ULONG APIENTRY DrvDrawEscape(SURFOBJ* surface, ULONG escape, CLIPOBJ* clip, RECTL* bounds,
                             ULONG inputSize, PVOID input) {
  (void)bounds;
  if (escape == QUERYESCSUPPORT) {
    // An input too short to hold a code asks about no escape.
    if (!input || inputSize < kEscapeCodeBytes) return 0;
    WORD code;
    std::memcpy(&code, input, sizeof(code));
    return (code == QUERYESCSUPPORT || code == ENCAPSULATED_POSTSCRIPT) ? 1 : 0;
  }
  if (escape != ENCAPSULATED_POSTSCRIPT) return 0;

  DeviceContext* context = ContextOfSurface(surface, true);
  if (!context) return 0;
  // A malformed clip path is noted in the last error but does not stop the escape.
  CheckClipPath(clip);
  if (!FindBoundingBox(static_cast<const BYTE*>(input), inputSize)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return 1;
}
