// SPDX-License-Identifier: Apache-2.0
// Error diffusion with the Jarvis, Judice and Ninke filter (7 5 / 3 5 7 5 3 / 1 3 5 3 1,
// sum 48) in gather form: every pixel collects the errors already made at its neighbours
// on the current line and the two lines before it, so a line is one forward pass and
// writes only its own error line.
//
// The three error lines are kept from call to call and used in rotation: before a line,
// rows[rotation] holds the errors two lines back (A), the next one those of the previous
// line (B), and the third is overwritten with the errors of this line (C).
//
// Where the processor has 128-bit vectors (SSE2), several lines are diffused at once: see
// "Eight lines at once" below. The dots and the error lines are the same either way.
#include "raster/error_diffusion.h"

#include <cstdint>
#include <cstring>

#include "context/device_context.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// One line with the scalar passes above; the state has been checked.
void DiffuseOneLine(LineBufferRecord* state, const BYTE* input, BYTE* output, DWORD count) {
  const WORD rotation = state->rotation % kErrorLineCount;
  const ErrorLines lines = {state->rows[rotation], state->rows[(rotation + 1) % kErrorLineCount],
                            state->rows[(rotation + 2) % kErrorLineCount]};
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

#if defined(__SSE2__)
// Eight lines at once
//
// Eight consecutive lines are diffused together, each in a 16-bit lane of one vector, and
// each kLag positions behind the line before it: at step s, lane k is at position
// s - kLag * k. All that a pixel gathers from the previous line (up to two positions ahead
// of it) and from the line two back was then decided at least two steps before, so a step
// is one pass of vector operations for eight pixels, and the chain from step to step is the
// pixel's own line, as in a single line. Every error fits 16 bits, and so does every sum.
//
// The first two lanes gather from the last two lines of the group before: its lanes 6
// and 7, which it leaves in a carry line, step by step. They stood where our lanes stand
// at step s when that group was at step s + kCarryLead. Before the first group, the carry
// line is made from the error lines of the state.
//
// Positions outside the line hold error 0, so a sum over all the neighbours is the sum
// over those inside; the steps where some lane is within two positions of an end of its
// line, or outside it, mend those lanes one by one with the divisor of their position.
// The last three lines keep their errors in the state's error lines, as a line at a time
// would have left them.
typedef short Lanes __attribute__((vector_size(16)));
typedef unsigned short UnsignedLanes __attribute__((vector_size(16)));

constexpr DWORD kLanes = 8;
constexpr DWORD kLag = 4;
constexpr DWORD kRamp = kLag * (kLanes - 1);  // steps from lane 0 to lane 7
constexpr DWORD kCarryLead = kLag * kLanes;   // the group before was this many steps ahead
constexpr DWORD kRing = 16;                   // steps of errors kept; a power of two
constexpr DWORD kOldestGathered = 2 * kLag + 2;  // the oldest step a step reads
static_assert(kLag >= 4 && kOldestGathered < kRing);
constexpr DWORD kShortestGroupedLine = 4 + kRamp;  // at least one step without an end
constexpr DWORD kFewestGroupedLines = 3;  // a group costs about three single lines

// A sum is taken with this bias, 48 * 129, so that (sum - 1 for a negative one) stays
// positive and its quotient by 48 is a shift and an unsigned multiply-high: the
// quotient rounded down of a positive, plus 1 for a negative sum, is the division
// rounding toward zero (checked for every sum the interior can reach).
constexpr LONG kBias = 48 * 129;
constexpr LONG kThirdMultiplier = 21846;  // (x * 21846) >> 16 is x / 3 for x below 772

constexpr LONG BiasedQuotient(LONG sum) {
  const LONG negative = sum < 0 ? -1 : 0;
  const LONG scaled = (sum + negative + kBias) >> 4;
  return ((scaled * kThirdMultiplier) >> 16) - negative;
}
constexpr bool GroupedDivisionIsExact() {
  for (LONG sum = -kLargestInteriorSum; sum <= kLargestInteriorSum; ++sum) {
    if (BiasedQuotient(sum) - 129 != sum / 48) return false;
  }
  return true;
}
static_assert(GroupedDivisionIsExact());

// Where the room of InitDiffusion holds what a group needs, for lines of up to n values:
// the levels of each step (eight bytes, lane k at byte k), the carry line (the errors of
// lanes 4 to 7 of a step, the upper half of its vector, stored in one move; lanes 6 and 7
// are read back) and the dots of each step (bit k for lane k).
struct GroupRoom {
  BYTE* levels;
  uint64_t* carry;
  BYTE* dots;
};
constexpr uint64_t RoundTo16(uint64_t bytes) { return (bytes + 15) / 16 * 16; }
constexpr uint64_t LevelBytes(uint64_t n) { return RoundTo16(8 * (n + kRamp)); }
constexpr uint64_t CarryBytes(uint64_t n) { return RoundTo16(8 * (n + kRamp + kCarryLead)); }
constexpr uint64_t DotBytes(uint64_t n) { return RoundTo16(n + kRamp + 8); }
constexpr uint64_t RoomBytes(uint64_t n) { return LevelBytes(n) + CarryBytes(n) + DotBytes(n); }

GroupRoom RoomOf(BYTE* room, DWORD lineLength) {
  return {room, reinterpret_cast<uint64_t*>(room + LevelBytes(lineLength)),
          room + LevelBytes(lineLength) + CarryBytes(lineLength)};
}

// The lines of one group, by lane: input, output (null for a lane without a line) and the
// error line that keeps the lane's errors (null when none does).
struct GroupLines {
  const BYTE* input[kLanes];
  BYTE* output[kLanes];
  LONG* keep[kLanes];
};

inline DWORD RingAt(DWORD step) { return step & (kRing - 1); }

// An entry of the carry line with these errors in lanes 6 and 7.
inline uint64_t CarryEntry(LONG lane6, LONG lane7) {
  return (static_cast<uint64_t>(static_cast<uint16_t>(lane6)) |
          static_cast<uint64_t>(static_cast<uint16_t>(lane7)) << 16) << 32;
}

// What a step hands to the next besides its errors: the next sum adds 7 times them as
// (quotient << 3) + seven - less, so that it waits only for the shift of the quotient and
// two additions (the dot and the rest of the error are ready by then).
struct Chain {
  Lanes errors;      // of the step before
  Lanes older;       // of the step before that
  Lanes quotient;    // biased quotient of the step before
  Lanes seven;       // 7 * (level - 129 - [sum < 0]) of the step before
  Lanes less;        // quotient + 1785 for a dot
  Lanes previousFive;  // the five previous-line values the next step gathers
};

#define TQ33_INLINE __attribute__((always_inline)) inline

class GroupDiffuser {
 public:
  GroupDiffuser(const GroupRoom& room, DWORD count) : room_(room), count_(count) {}

  void Diffuse(const GroupLines& lines) {
    LoadLevels(lines);
    keeping_ = false;
    for (DWORD k = 0; k < kLanes; ++k) keeping_ = keeping_ || lines.keep[k];
    // The steps before the first: no lane is on its line yet, but the carry already
    // reaches into the first lanes' neighbourhoods.
    for (DWORD back = kOldestGathered; back > 0; --back) {
      Spread(0u - back, RingAt(0u - back), Lanes{});
    }
    // The five previous-line values the first step's running sum takes over from.
    Chain chain = {};
    for (DWORD back = kLag + 3; back > kLag - 2; --back) {
      chain.previousFive += previous_[RingAt(0u - back)];
    }
    const DWORD firstInterior = 2 + kRamp;
    const DWORD endInterior = count_ - 2;
    const DWORD end = count_ + kRamp;
    DWORD s = 0;
    for (; s < firstInterior; ++s) Step<true>(s, RingAt(s), lines, &chain);
    for (; s < endInterior && RingAt(s) != 0; ++s) Step<false>(s, RingAt(s), lines, &chain);
    // A whole turn of the ring at a time, so that every ring slot is a constant.
    for (; endInterior - s >= kRing; s += kRing) {
#pragma GCC unroll 16
      for (DWORD slot = 0; slot < kRing; ++slot) Step<false>(s + slot, slot, lines, &chain);
    }
    for (; s < endInterior; ++s) Step<false>(s, RingAt(s), lines, &chain);
    for (; s < end; ++s) Step<true>(s, RingAt(s), lines, &chain);
    StoreDots(lines);
  }

 private:
  // The input of each lane, placed at the steps where the lane is at each position: eight
  // steps at a time, as an 8 x 8 transpose of eight bytes of each line where every lane is
  // on its line, byte by byte (0 off the line) elsewhere.
  void LoadLevels(const GroupLines& lines) {
    const DWORD steps = count_ + kRamp;
    for (DWORD first = 0; first < steps; first += 8) {
      BYTE* to = room_.levels + kLanes * first;
      if (first >= kRamp && first + 8 <= count_) {
        __m128i row[kLanes];
        for (DWORD k = 0; k < kLanes; ++k) {
          row[k] = _mm_loadl_epi64(
              reinterpret_cast<const __m128i*>(lines.input[k] + first - kLag * k));
        }
        const __m128i pairs0 = _mm_unpacklo_epi8(row[0], row[1]);
        const __m128i pairs1 = _mm_unpacklo_epi8(row[2], row[3]);
        const __m128i pairs2 = _mm_unpacklo_epi8(row[4], row[5]);
        const __m128i pairs3 = _mm_unpacklo_epi8(row[6], row[7]);
        const __m128i low0 = _mm_unpacklo_epi16(pairs0, pairs1);
        const __m128i high0 = _mm_unpackhi_epi16(pairs0, pairs1);
        const __m128i low1 = _mm_unpacklo_epi16(pairs2, pairs3);
        const __m128i high1 = _mm_unpackhi_epi16(pairs2, pairs3);
        __m128i* out = reinterpret_cast<__m128i*>(to);
        _mm_storeu_si128(out, _mm_unpacklo_epi32(low0, low1));
        _mm_storeu_si128(out + 1, _mm_unpackhi_epi32(low0, low1));
        _mm_storeu_si128(out + 2, _mm_unpacklo_epi32(high0, high1));
        _mm_storeu_si128(out + 3, _mm_unpackhi_epi32(high0, high1));
        continue;
      }
      const DWORD last = first + 8 < steps ? first + 8 : steps;
      for (DWORD s = first; s < last; ++s) {
        for (DWORD k = 0; k < kLanes; ++k) {
          const DWORD position = s - kLag * k;  // wraps around below 0
          *to++ = position < count_ ? lines.input[k][position] : 0;
        }
      }
    }
  }

  // What step s passes on: its errors shifted one lane (the previous line of the next
  // lane) and two lanes (its line two back), with the group before's lanes 6 and 7 coming
  // in at the bottom. The two meet in one ring: a lane's previous line at a position and
  // its line two back at the same position, kLag steps earlier.
  TQ33_INLINE void Spread(DWORD s, DWORD slot, Lanes errors) {
    const __m128i before =
        _mm_cvtsi32_si128(static_cast<int>(room_.carry[s + kCarryLead] >> 32));
    const __m128i own = reinterpret_cast<__m128i>(errors);
    const Lanes previous =
        reinterpret_cast<Lanes>(_mm_or_si128(_mm_slli_si128(own, 2), _mm_srli_epi32(before, 16)));
    previous_[slot] = previous;
    both_[slot] = previous + twoBack_[RingAt(slot - kLag)];
    twoBack_[slot] = reinterpret_cast<Lanes>(_mm_or_si128(_mm_slli_si128(own, 4), before));
  }

  template <bool kEnds>
  TQ33_INLINE void Step(DWORD s, DWORD slot, const GroupLines& lines, Chain* chain) {
    const __m128i bytes =
        _mm_loadl_epi64(reinterpret_cast<const __m128i*>(room_.levels + kLanes * s));
    const Lanes level = reinterpret_cast<Lanes>(_mm_unpacklo_epi8(bytes, _mm_setzero_si128()));
    // Weights 1 3 5 3 1 on the line two back and 3 5 7 5 3 on the previous line, as seen
    // by each lane at its own position: 1 3 5 3 1 over both, and twice the previous line.
    const Lanes* both = both_;
    chain->previousFive += previous_[RingAt(slot - kLag + 2)] - previous_[RingAt(slot - kLag - 3)];
    const Lanes gathered = (both[RingAt(slot - kLag - 2)] + both[RingAt(slot - kLag + 2)]) +
                           3 * (both[RingAt(slot - kLag - 1)] + both[RingAt(slot - kLag + 1)]) +
                           5 * both[RingAt(slot - kLag)] + (chain->previousFive << 1);
    const Lanes base = gathered + 5 * chain->older + static_cast<short>(kBias) + chain->seven;
    const Lanes sum = base + (chain->quotient << 3) - chain->less;
    const Lanes negative = reinterpret_cast<Lanes>(_mm_cmpgt_epi16(
        _mm_set1_epi16(static_cast<short>(kBias)), reinterpret_cast<__m128i>(sum)));
    const Lanes rest = (level - 129) - negative;
    const UnsignedLanes scaled = reinterpret_cast<UnsignedLanes>(sum + negative) >> 4;
    const Lanes quotient = reinterpret_cast<Lanes>(_mm_mulhi_epu16(
        reinterpret_cast<__m128i>(scaled), _mm_set1_epi16(static_cast<short>(kThirdMultiplier))));
    // The level plus the quotient rounded toward zero is quotient + rest.
    Lanes dot = quotient > static_cast<short>(kThreshold) - rest;
    Lanes errors = quotient + rest - (dot & static_cast<short>(kFullDot));
    if (kEnds) {
      MendEnds(s, sum, level, &errors, &dot);
      chain->seven = 7 * errors;
      chain->quotient = Lanes{};
      chain->less = Lanes{};
    } else {
      chain->seven = 7 * rest;
      chain->quotient = quotient;
      chain->less = quotient + (dot & static_cast<short>(7 * kFullDot));
    }
    chain->older = chain->errors;
    chain->errors = errors;
    Spread(s, slot, errors);
    _mm_storeh_pi(reinterpret_cast<__m64*>(room_.carry + s), reinterpret_cast<__m128>(errors));
    const __m128i packed = _mm_packs_epi16(reinterpret_cast<__m128i>(dot), _mm_setzero_si128());
    room_.dots[s] = static_cast<BYTE>(_mm_movemask_epi8(packed));
    if (keeping_) Keep(s, errors, lines);
  }

  // Lanes off their line get no error and no dot; lanes within two positions of an end
  // divide their sum by the weight of the neighbours inside the line.
  void MendEnds(DWORD s, Lanes biasedSum, Lanes level, Lanes* errors, Lanes* dots) const {
    for (DWORD k = 0; k < kLanes; ++k) {
      const LONG position = static_cast<LONG>(s) - static_cast<LONG>(kLag * k);
      if (position < 0 || position >= static_cast<LONG>(count_)) {
        (*errors)[k] = 0;
        (*dots)[k] = 0;
        continue;
      }
      LONG weight;
      if (position == 0) {
        weight = 24;
      } else if (position == 1) {
        weight = 39;
      } else if (position == static_cast<LONG>(count_) - 2) {
        weight = 44;
      } else if (position == static_cast<LONG>(count_) - 1) {
        weight = 36;
      } else {
        continue;
      }
      const LONG value = level[k] + (biasedSum[k] - kBias) / weight;
      const LONG dot = value > kThreshold;
      (*errors)[k] = static_cast<short>(value - (dot ? kFullDot : 0));
      (*dots)[k] = static_cast<short>(-dot);
    }
  }

  void Keep(DWORD s, Lanes errors, const GroupLines& lines) const {
    for (DWORD k = 0; k < kLanes; ++k) {
      const LONG position = static_cast<LONG>(s) - static_cast<LONG>(kLag * k);
      if (lines.keep[k] && position >= 0 && position < static_cast<LONG>(count_))
        lines.keep[k][position] = errors[k];
    }
  }

  // Each line's dots, from bit k of the steps where lane k was at each position: eight
  // positions make one output byte, most significant bit first.
  void StoreDots(const GroupLines& lines) const {
    const DWORD bytes = (count_ + 7) / 8;
    for (DWORD k = 0; k < kLanes; ++k) {
      BYTE* output = lines.output[k];
      if (!output) continue;
      const BYTE* dots = room_.dots + kLag * k;
      for (DWORD i = 0; i < bytes; ++i) {
        uint64_t word;
        std::memcpy(&word, dots + 8 * i, sizeof(word));
        output[i] = static_cast<BYTE>((((word >> k) & 0x0101010101010101ull) *
                                       0x8040201008040201ull) >> 56);
      }
    }
  }

  GroupRoom room_;
  DWORD count_;
  bool keeping_ = false;
  Lanes previous_[kRing] = {};  // by step: each lane's previous line, kLag positions ahead
  Lanes twoBack_[kRing] = {};   // by step: each lane's line two back, 2 kLag positions ahead
  Lanes both_[kRing] = {};      // by step: previous_ and twoBack_ at the same positions
};

// Diffuses lineCount lines of count pixels (count at least kShortestGroupedLine) in
// groups of eight, then leaves the state as a line at a time would have.
void DiffuseGroups(LineBufferRecord* state, const BYTE* input, SIZE_T inputStride, BYTE* output,
                   SIZE_T outputStride, DWORD count, DWORD lineCount) {
  const WORD rotation = state->rotation % kErrorLineCount;
  const GroupRoom room = RoomOf(state->work, state->lineLength);
  // The carry line as the group before the first would have left it: lanes 6 and 7 are
  // the lines two back and one back.
  const LONG* twoBack = state->rows[rotation];
  const LONG* previous = state->rows[(rotation + 1) % kErrorLineCount];
  const DWORD carryLength = count + kRamp + kCarryLead;
  for (DWORD i = 0; i < carryLength; ++i) {
    const DWORD at6 = i - 6 * kLag, at7 = i - 7 * kLag;  // wrap around below 0
    room.carry[i] = CarryEntry(at6 < count ? twoBack[at6] : 0, at7 < count ? previous[at7] : 0);
  }
  // No step writes the dots past the last; the bytes they make must not print.
  std::memset(room.dots + count + kRamp, 0, 8);

  GroupDiffuser diffuser(room, count);
  for (DWORD first = 0; first < lineCount; first += kLanes) {
    GroupLines lines = {};
    for (DWORD k = 0; k < kLanes; ++k) {
      // Lanes past the last line work on its input; their dots and errors are dropped.
      const DWORD line = first + k < lineCount ? first + k : lineCount - 1;
      lines.input[k] = input + line * inputStride;
      if (line != first + k) continue;
      lines.output[k] = output + line * outputStride;
      // Line j writes the error line that is current for it; the last three stay.
      if (lineCount - line <= kErrorLineCount)
        lines.keep[k] = state->rows[(rotation + line + 2) % kErrorLineCount];
    }
    diffuser.Diffuse(lines);
  }
  state->rotation = static_cast<WORD>((rotation + lineCount) % kErrorLineCount);
}
#endif

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
#if defined(__SSE2__)
  // Lines too short for a group are diffused one by one; so are all when there is no room.
  const uint64_t roomBytes = RoomBytes(lineLength);
  if (lineLength >= kShortestGroupedLine && roomBytes <= SIZE_MAX) {
    state->work = static_cast<BYTE*>(
        HeapAlloc(context->heap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(roomBytes)));
  }
#endif
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
  if (state->work && context->heap) HeapFree(context->heap, 0, state->work);
  state->work = nullptr;
  state->rowCount = 0;
  state->lineLength = 0;
}

// The state when it can diffuse lines of count values, or null.
static LineBufferRecord* UsableState(DeviceContext* context, DWORD count) {
  if (!context || !context->lineBuffers) return nullptr;
  LineBufferRecord* state = context->lineBuffers;
  if (state->rowCount != kErrorLineCount || count == 0 || count > state->lineLength) return nullptr;
  for (const LONG* row : state->rows) {
    if (!row) return nullptr;
  }
  return state;
}

// Lines of full black and white
//
// A level of 0 or 255 that gathers no error prints as itself and leaves no error. So after
// two lines without error, a line of nothing but 0 and 255 leaves none either, and its dots
// are its levels' top bits: a label of text and bars is such lines from first to last, and
// needs no filter at all. Lines after one with error take the filter, whatever they hold.

// TRUE when the first count errors of row are all 0.
static bool HoldsNoError(const LONG* row, DWORD count) {
  for (DWORD i = 0; i < count; ++i) {
    if (row[i] != 0) return false;
  }
  return true;
}

// Not 0 unless the level is 0 or 255, the levels whose successor is 0 or 1.
static inline BYTE NotFull(BYTE level) { return static_cast<BYTE>(level + 1) & 0xFE; }

// TRUE when every level is 0 or 255. Stops at the first vector that holds another, so that
// a grey line is told at once.
bool OnlyFullLevels(const BYTE* levels, DWORD count) {
  DWORD i = 0;
#if defined(__SSE2__)
  // A full level is its own top bit spread over the byte.
  for (; count - i >= sizeof(__m128i); i += sizeof(__m128i)) {
    const __m128i group = _mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + i));
    const __m128i spread = _mm_cmpgt_epi8(_mm_setzero_si128(), group);
    if (_mm_movemask_epi8(_mm_cmpeq_epi8(group, spread)) != 0xFFFF) return false;
  }
#endif
  for (; i < count; ++i) {
    if (NotFull(levels[i])) return false;
  }
  return true;
}

// The dots of a line of full levels: bit 7 of each, eight to a byte, the first most
// significant; the bits past the last dot are 0.
static void PutTopBits(const BYTE* input, BYTE* output, DWORD count) {
  DWORD i = 0;
  for (; count - i >= 8; i += 8) {
    uint64_t word;
    std::memcpy(&word, input + i, sizeof(word));
    output[i / 8] = static_cast<BYTE>((((word >> 7) & 0x0101010101010101ull) *
                                       0x8040201008040201ull) >> 56);
  }
  if (i == count) return;
  BYTE bits = 0;
  for (DWORD k = 0; i + k < count; ++k) bits |= static_cast<BYTE>((input[i + k] >> 7) << (7 - k));
  output[i / 8] = bits;
}

// TRUE when the two lines before the next left no error, so that lines of full levels
// leave none either.
static bool NoErrorAhead(const LineBufferRecord* state, DWORD count) {
  const WORD rotation = state->rotation % kErrorLineCount;
  return HoldsNoError(state->rows[rotation], count) &&
         HoldsNoError(state->rows[(rotation + 1) % kErrorLineCount], count);
}

// Moves the state on by lines of full levels after NoErrorAhead, as the filter would.
static void PassLines(LineBufferRecord* state, DWORD count, DWORD lines) {
  const WORD rotation = state->rotation % kErrorLineCount;
  // The first line's error line is the only one that may have held errors.
  std::memset(state->rows[(rotation + 2) % kErrorLineCount], 0, count * sizeof(LONG));
  state->rotation = static_cast<WORD>((rotation + lines) % kErrorLineCount);
}

// Writes the dots of the leading lines of full levels when the two lines before them left
// no error, and leaves the state as the filter would have. Returns how many lines it took.
static DWORD PutFullLines(LineBufferRecord* state, const BYTE* input, SIZE_T inputStride,
                          BYTE* output, SIZE_T outputStride, DWORD count, DWORD lineCount) {
  if (!NoErrorAhead(state, count)) return 0;
  DWORD line = 0;
  for (; line < lineCount && OnlyFullLevels(input + line * inputStride, count); ++line) {
    PutTopBits(input + line * inputStride, output + line * outputStride, count);
  }
  if (line > 0) PassLines(state, count, line);
  return line;
}

BOOL PassFullLines(DeviceContext* context, DWORD count, DWORD lineCount) {
  LineBufferRecord* state = UsableState(context, count);
  if (!state || !NoErrorAhead(state, count)) return FALSE;
  PassLines(state, count, lineCount);
  return TRUE;
}

// Diffuses count input bytes into count packed dots. Writes nothing, and keeps the state,
// without error lines, with a count of 0 or with a count beyond the line length.
void DiffuseLine(DeviceContext* context, const BYTE* input, BYTE* output, DWORD count) {
  LineBufferRecord* state = UsableState(context, count);
  if (!state || !input || !output) return;
  DiffuseOneLine(state, input, output, count);
}

// Puts the leading lines of full black and white when no error comes before them, and
// diffuses the rest in groups where there is room and the lines are long enough, one by
// one otherwise.
void DiffuseLines(DeviceContext* context, const BYTE* input, SIZE_T inputStride, BYTE* output,
                  SIZE_T outputStride, DWORD count, DWORD lineCount) {
  LineBufferRecord* state = UsableState(context, count);
  if (!state || !input || !output || lineCount == 0) return;
  const DWORD full = PutFullLines(state, input, inputStride, output, outputStride, count, lineCount);
  if (full == lineCount) return;
  input += full * inputStride;
  output += full * outputStride;
  lineCount -= full;
#if defined(__SSE2__)
  if (state->work && count >= kShortestGroupedLine && lineCount >= kFewestGroupedLines) {
    DiffuseGroups(state, input, inputStride, output, outputStride, count, lineCount);
    return;
  }
#endif
  for (DWORD line = 0; line < lineCount; ++line) {
    DiffuseOneLine(state, input + line * inputStride, output + line * outputStride, count);
  }
}
