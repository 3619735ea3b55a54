// The kernel for processors with AVX2: 16 lanes of 16 bits per register.
// Compiled with AVX2 enabled; called only where the processor has it.
#define VESK_TARGET avx2
#include "simd_byte_pairs.h"
#include "simd_kernel.h"

#include <cstdint>

#include <immintrin.h>

namespace vesk {
namespace avx2 {
namespace {

struct Ymm : YmmLanes {
  // to[0 .. 16) = from[0 .. 16) + sign-extended lanes; the 32-bit additions
  // wrap, so no (caller-excluded) overflow is undefined.
  static void add_widened(const std::int32_t *from, std::int32_t *to, Vec v) {
    add_to(from, to, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(v)));
    add_to(from + 8, to + 8,
           _mm256_cvtepi16_epi32(_mm256_extracti128_si256(v, 1)));
  }

private:
  static void add_to(const std::int32_t *from, std::int32_t *to, __m256i wide) {
    _mm256_storeu_si256(
        reinterpret_cast<__m256i *>(to),
        _mm256_add_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from)), wide));
  }
};

} // namespace

// The facts the plan relies on; the target table's row leads here. Its
// budgets were measured on an AMD Zen 3 core (32 KiB / 512 KiB): a group's
// tables and a tile's column of C take half the second-level cache each
// (a quarter each was up to a third slower on (4096, 4096, 256) and
// (65536, 512, 64)), and a transposed block keeps the tables of as much of
// k as half of it holds, so that each row is read in long runs (up to a
// fifth faster than blocks of 16 chunks for m = 1 and 2).
extern const TargetConfig config;
constexpr TargetConfig config{YmmLanes::kLanes,
                              32,
                              YmmPatterns::kIndexBytes,
                              YmmPatterns::kVectorSegments,
                              SixteenRows::kRows,
                              BytePairs::kChunkCodes,
                              SixteenRows::kChunkEntries * sizeof(std::int16_t),
                              ThirtyTwoRows::kColumns,
                              DirectProduct::kMaxRows,
                              DirectProduct::kColumns,
                              DirectProduct::kChunkCodes,
                              DirectProduct::kRowsPerColumn,
                              /*tables=*/{2, 4},
                              /*column=*/{2, 4},
                              /*transposed_tables=*/{2, 4}};

namespace {

struct Avx2 {
  using Narrow = Ymm;
  using Wide = Ymm;
  using Patterns = YmmPatterns;
  using Transposed = BytePairProduct;
  static constexpr const TargetConfig &kConfig = config;
};

} // namespace

VESK_DEFINE_ENTRIES(Avx2)

} // namespace avx2
} // namespace vesk
