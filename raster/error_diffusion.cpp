// Error diffusion with the Jarvis, Judice and Ninke filter (7 5 / 3 5 7 5 3 / 1 3 5 3 1,
// sum 48) in gather form: every pixel collects the errors already made at its neighbours
// on the current line and the two lines before it, so a line is one forward pass and
// writes only its own error line.
//
// The three error lines are kept from call to call and used in rotation: before a line,
// rows[rotation] holds the errors two lines back (A), the next one those of the previous
// line (B), and the third is overwritten with the errors of this line (C).
#include "raster/error_diffusion.h"

#include "driver/device_context.h"

namespace {

constexpr WORD kErrorLineCount = 3;
constexpr LONG kThreshold = 128;  // a value above it prints
constexpr LONG kFullDot = 255;    // the input value of full black
constexpr DWORD kShortestInteriorLine = 4;
constexpr DWORD kLongestLine = 0xFFFFFFFFu / sizeof(LONG);  // its bytes fit a DWORD

// Weights by neighbour offset -2 .. +2 on the line two back and the previous line, and
// -2 .. -1 on the current line (the pixels after this one have no error yet).
constexpr LONG kWeightTwoBack[5] = {1, 3, 5, 3, 1};
constexpr LONG kWeightPrevious[5] = {3, 5, 7, 5, 3};
constexpr LONG kWeightCurrent[2] = {5, 7};

struct ErrorLines {
  const LONG* twoBack;   // A
  const LONG* previous;  // B
  LONG* current;         // C
};

// Decides one pixel from its corrected value: stores its quantisation error and returns 1
// for a dot. Branch-free, so that the pixel loop does not mispredict on grey areas.
inline DWORD Quantise(LONG value, LONG* error) {
  const LONG dot = value > kThreshold;
  *error = value - (-dot & kFullDot);
  return static_cast<DWORD>(dot);
}

// Adds a dot bit to the running byte of pixel i and stores the byte. Storing after every
// pixel (rather than after every eighth) leaves the unused low bits of a final partial byte
// 0 without a separate tail step; the store is off the critical path of the error chain.
inline void PutBit(BYTE* output, DWORD i, DWORD* accumulator, DWORD dot) {
  *accumulator = (*accumulator << 1) | dot;
  output[i >> 3] = static_cast<BYTE>(*accumulator << (7 - (i & 7)));
}

// Corrects pixel i of a line of count pixels where some of its neighbours may lie outside
// the line: only the neighbours inside it are summed, and the sum is divided by their
// total weight (24, 39, 44 or 36 at the ends of lines of four or more pixels).
LONG GatherWithinBounds(const ErrorLines& lines, DWORD count, DWORD i) {
  LONG sum = 0;
  LONG weight = 0;
  for (LONG d = -2; d <= 2; ++d) {
    const LONGLONG j = static_cast<LONGLONG>(i) + d;
    if (j < 0 || j >= static_cast<LONGLONG>(count)) continue;
    sum += kWeightTwoBack[d + 2] * lines.twoBack[j] + kWeightPrevious[d + 2] * lines.previous[j];
    weight += kWeightTwoBack[d + 2] + kWeightPrevious[d + 2];
    if (d < 0) {
      sum += kWeightCurrent[d + 2] * lines.current[j];
      weight += kWeightCurrent[d + 2];
    }
  }
  // Pixel i itself is always inside, so weight is at least 12.
  return sum / weight;
}

// Diffuses pixel i with the bounds-checked gather; used at the ends of a line and for
// lines too short to have an interior.
inline void DiffuseEdgePixel(const ErrorLines& lines, const BYTE* input, BYTE* output,
                             DWORD count, DWORD i, DWORD* accumulator) {
  const LONG value = static_cast<LONG>(input[i]) + GatherWithinBounds(lines, count, i);
  PutBit(output, i, accumulator, Quantise(value, &lines.current[i]));
}

// Every error lies within [-127, 128]: a corrected value is an input level (0 to 255) plus
// a weighted mean of earlier errors, and it keeps itself (at most 128) or loses 255 (when
// above 128). So an interior sum stays within 48 * 128, and there the division by 48 is a
// multiply and a shift, one too low for a negative sum, plus 1 for a negative sum: exactly
// the division rounding toward zero (checked for every such sum at compile time). The
// multiply is done unsigned so that no sum, in range or not, can overflow.
constexpr LONG kLargestInteriorSum = 48 * 128;

// sum / 48 rounded down, but one lower for a negative multiple of 48; adding 1 for every
// negative sum then gives the quotient rounded toward zero.
constexpr LONG QuotientBeforeSign(LONG sum) {
  return static_cast<LONG>(static_cast<DWORD>(sum) * 87382u) >> 22;
}

// TRUE when the multiply-and-shift division agrees with the division for every sum the
// interior can reach.
constexpr bool InteriorDivisionIsExact() {
  for (LONG sum = -kLargestInteriorSum; sum <= kLargestInteriorSum; ++sum) {
    if (QuotientBeforeSign(sum) - (sum >> 31) != sum / 48) return false;
  }
  return true;
}
static_assert(InteriorDivisionIsExact());

// The part of a pixel's sum that comes from the two older lines, every neighbour present;
// a and b point at the pixel's own position in them.
inline LONG GatherOlderLines(const LONG* a, const LONG* b) {
  return a[-2] + 3 * a[-1] + 5 * a[0] + 3 * a[1] + a[2] +
         3 * b[-2] + 5 * b[-1] + 7 * b[0] + 5 * b[1] + 3 * b[2];
}

// The rest of an interior pixel: adds the two newest errors of the current line, divides,
// decides the dot and stores the error. Returns the dot. This is the chain from one pixel
// to the next, so it is kept short: the errors stay in registers, 7 * newer is taken as
// 8 * newer - newer, the sign correction of the quotient is added to the level beside the
// multiply, and the dot is decided on the quotient against a threshold made from the level.
inline DWORD DiffuseInteriorPixel(LONG gathered, LONG level, LONG* error, LONG* older,
                                  LONG* newer) {
  const LONG sum = (gathered + 5 * *older - *newer) + 8 * *newer;
  const LONG quotient = QuotientBeforeSign(sum);
  const LONG correctedLevel = level - (sum >> 31);
  const bool dot = quotient > kThreshold - correctedLevel;
  *error = quotient + (dot ? correctedLevel - kFullDot : correctedLevel);
  *older = *newer;
  *newer = *error;
  return dot;
}

// Pixels 2 .. count - 3 of a line of at least four pixels: the divisor is always 48 and
// there are no bounds tests. Whole output bytes are done eight pixels at a time, unrolled,
// so the packing costs a shift and an or per pixel; single pixels fill the partial bytes.
//
// In a block, the older lines are read once per position, not five times per pixel: the
// weights of the previous line are those of the line two back plus 2, so a pixel's part
// from them is 1 3 5 3 1 over the sums of both lines, plus twice a running sum of five
// values of the previous line.
void DiffuseInterior(const ErrorLines& lines, const BYTE* input, BYTE* output, DWORD count,
                     DWORD* accumulator) {
  const LONG* __restrict a = lines.twoBack;
  const LONG* __restrict b = lines.previous;
  LONG* __restrict c = lines.current;
  LONG older = c[0];
  LONG newer = c[1];
  DWORD bits = *accumulator;
  const DWORD end = count - 2;
  DWORD i = 2;
  for (; i < end && (i & 7) != 0; ++i) {
    const DWORD dot =
        DiffuseInteriorPixel(GatherOlderLines(a + i, b + i), input[i], &c[i], &older, &newer);
    PutBit(output, i, &bits, dot);
  }
  for (; end - i >= 8; i += 8) {
    // The block's eight positions and two on either side.
    const LONG* windowA = a + i - 2;
    const LONG* windowB = b + i - 2;
    LONG both[12];
    LONG previous[12];
#pragma GCC unroll 12
    for (DWORD k = 0; k < 12; ++k) {
      previous[k] = windowB[k];
      both[k] = windowA[k] + previous[k];
    }
    LONG previousFive = previous[0] + previous[1] + previous[2] + previous[3] + previous[4];
    const BYTE* blockInput = input + i;
    LONG* blockErrors = c + i;
#pragma GCC unroll 8
    for (DWORD k = 0; k < 8; ++k) {
      if (k > 0) previousFive += previous[k + 4] - previous[k - 1];
      const LONG gathered = both[k] + both[k + 4] + 3 * (both[k + 1] + both[k + 3]) +
                            5 * both[k + 2] + 2 * previousFive;
      const DWORD dot =
          DiffuseInteriorPixel(gathered, blockInput[k], &blockErrors[k], &older, &newer);
      bits = (bits << 1) | dot;
    }
    output[i >> 3] = static_cast<BYTE>(bits);
  }
  for (; i < end; ++i) {
    const DWORD dot =
        DiffuseInteriorPixel(GatherOlderLines(a + i, b + i), input[i], &c[i], &older, &newer);
    PutBit(output, i, &bits, dot);
  }
  *accumulator = bits;
}

}  // namespace

// Allocates the three zeroed error lines. FALSE, with rowCount 0 and no lines, when there
// is no context, no length or no memory.
BOOL InitDiffusion(DeviceContext* context, DWORD lineLength) {
  if (!context || !context->lineBuffers || !context->heap) return FALSE;
  LineBufferRecord* state = context->lineBuffers;
  FreeDiffusion(context);
  if (lineLength == 0 || lineLength > kLongestLine) return FALSE;

  const SIZE_T bytes = static_cast<SIZE_T>(lineLength) * sizeof(LONG);
  LONG* rows[kErrorLineCount] = {};
  for (WORD n = 0; n < kErrorLineCount; ++n) {
    rows[n] = static_cast<LONG*>(HeapAlloc(context->heap, HEAP_ZERO_MEMORY, bytes));
    if (!rows[n]) {
      while (n > 0) HeapFree(context->heap, 0, rows[--n]);
      return FALSE;
    }
  }
  for (WORD n = 0; n < kErrorLineCount; ++n) state->rows[n] = rows[n];
  state->lineLength = lineLength;
  state->rowCount = kErrorLineCount;
  return TRUE;
}

// Releases the error lines; the rotation is kept. Does nothing without a context.
void FreeDiffusion(DeviceContext* context) {
  if (!context || !context->lineBuffers) return;
  LineBufferRecord* state = context->lineBuffers;
  for (LONG*& row : state->rows) {
    if (row && context->heap) HeapFree(context->heap, 0, row);
    row = nullptr;
  }
  state->rowCount = 0;
  state->lineLength = 0;
}

// Diffuses count input bytes into count packed dots. Writes nothing, and keeps the state,
// without error lines, with a count of 0 or with a count beyond the line length.
void DiffuseLine(DeviceContext* context, const BYTE* input, BYTE* output, DWORD count) {
  if (!context || !context->lineBuffers || !input || !output) return;
  LineBufferRecord* state = context->lineBuffers;
  if (state->rowCount != kErrorLineCount || count == 0 || count > state->lineLength) return;
  const WORD rotation = state->rotation % kErrorLineCount;
  const ErrorLines lines = {state->rows[rotation], state->rows[(rotation + 1) % kErrorLineCount],
                            state->rows[(rotation + 2) % kErrorLineCount]};
  if (!lines.twoBack || !lines.previous || !lines.current) return;

  DWORD accumulator = 0;
  if (count < kShortestInteriorLine) {
    for (DWORD i = 0; i < count; ++i) {
      DiffuseEdgePixel(lines, input, output, count, i, &accumulator);
    }
  } else {
    DiffuseEdgePixel(lines, input, output, count, 0, &accumulator);
    DiffuseEdgePixel(lines, input, output, count, 1, &accumulator);
    DiffuseInterior(lines, input, output, count, &accumulator);
    DiffuseEdgePixel(lines, input, output, count, count - 2, &accumulator);
    DiffuseEdgePixel(lines, input, output, count, count - 1, &accumulator);
  }
  state->rotation = static_cast<WORD>((rotation + 1) % kErrorLineCount);
}
