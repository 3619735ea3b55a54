// The kernel for processors with AVX2: 16 lanes of 16 bits per register.
// Compiled with AVX2 enabled; called only where the processor has it.
#define VESK_TARGET avx2
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

// The transposed product (simd_transposed.h), sixteen rows at a time. A
// row's 64 codes of a chunk, a line, form two registers of 16 pair indices
// in 16-bit lanes; transposing the sixteen rows' registers of each half
// gives registers that hold one pair of every row, row i in lane i. A pair's 16
// entries are kept as bytes, low and high apart, 16 bytes each, and read into
// both 128-bit halves of a register. With the index in a lane's low byte and
// 0x80 (which shuffles in a zero) in its high byte, a byte shuffle yields the
// low byte zero-extended; with the two swapped, the high byte times 256: their
// sum is the entry.
struct TransposedOps {
  static constexpr std::size_t kRows = 16;
  // Beyond ten columns, tables of whole vectors of columns were measured
  // faster (on an AMD Zen 3 core; at 11 as fast). At 8 columns this path
  // and tables of rows of 8, their indices formed in runs, ran as fast as
  // each other, and at (1024, 16384, 8) this one up to a fifth faster: it
  // reads each row in longer runs.
  static constexpr std::size_t kColumns = 10;
  // Reading a whole line of each row at a time measured up to a sixth
  // faster than half lines (on an AMD Zen 3 core, m = 1 to 4).
  static constexpr std::size_t kChunkCodes = 64;
  static constexpr std::size_t kHalfCodes = 32;
  static constexpr std::size_t kLookups = kChunkCodes / 2; // one per pair
  static constexpr std::size_t kLookupEntries = 16;        // 32 bytes a pair
  static constexpr std::size_t kChunkEntries = kLookups * kLookupEntries;
  static_assert(kHalfCodes / 2 == kRows, "each half's transposition is square");

  struct Lanes {
    __m256i pair[kLookups];
  };
  struct Index {
    __m256i low, high; // shuffle controls for the low and the high bytes
  };
  using Chunk = __m256i;
  struct Sums {
    __m256i low, high; // rows 0-7 and 8-15
  };

  // The chunk of `rows` rows (k apart) of `codes` codes, transposed.
  static Lanes load(const std::uint8_t *first, std::size_t k, std::size_t rows,
                    std::size_t codes) {
    Lanes lanes;
    const std::size_t second = codes > kHalfCodes ? codes - kHalfCodes : 0;
    for (std::size_t i = 0; i < kRows; ++i) {
      const std::uint8_t *row = first + i * k;
      lanes.pair[i] =
          i < rows ? pair_words(row, codes) : _mm256_setzero_si256();
      lanes.pair[kRows + i] = i < rows && second > 0
                                  ? pair_words(row + kHalfCodes, second)
                                  : _mm256_setzero_si256();
    }
    transpose(lanes.pair);
    transpose(lanes.pair + kRows);
    return lanes;
  }

  static Lanes stand_in(std::size_t seed) {
    const __m256i varied = _mm256_xor_si256(
        _mm256_setr_epi16(3, 14, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3, 2),
        _mm256_set1_epi16(static_cast<short>(seed)));
    Lanes lanes;
    for (std::size_t i = 0; i < kLookups; ++i)
      lanes.pair[i] = _mm256_and_si256(
          _mm256_add_epi16(varied, _mm256_set1_epi16(short(i))),
          _mm256_set1_epi16(15));
    return lanes;
  }

  static Index index(const Lanes &lanes, std::size_t q) {
    const __m256i pair = lanes.pair[q];
    return {
        _mm256_or_si256(pair, _mm256_set1_epi16(-0x8000)),
        _mm256_or_si256(_mm256_slli_epi16(pair, 8), _mm256_set1_epi16(0x80))};
  }

  static Chunk chunk_zero() { return _mm256_setzero_si256(); }

  // At most 16 entries of 2 * 3 * 128 a lane: widened per chunk.
  static Chunk add_lookup(Chunk chunk, const Index &index,
                          const std::int16_t *table) {
    const auto *planes = reinterpret_cast<const __m128i *>(table);
    const __m256i low =
        _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(planes[0]), index.low);
    const __m256i high =
        _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(planes[1]), index.high);
    return _mm256_add_epi16(chunk, _mm256_add_epi16(low, high));
  }

  static Sums zero() {
    return {_mm256_setzero_si256(), _mm256_setzero_si256()};
  }

  static void add_chunk(Sums &sums, Chunk chunk) {
    sums.low = _mm256_add_epi32(
        sums.low, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(chunk)));
    sums.high = _mm256_add_epi32(
        sums.high, _mm256_cvtepi16_epi32(_mm256_extracti128_si256(chunk, 1)));
  }

  static void row_sums(const Sums &sums, std::int32_t *out) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), sums.low);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 8), sums.high);
  }

  // Pair j's low bytes at 32 j, its high bytes at 32 j + 16: each 128-bit
  // half gathers its 8 entries' low bytes, then their high bytes, and the
  // halves' low and high quarters are brought together.
  static void build_chunk(const int *values, std::int16_t *table) {
    const __m256i apart =
        _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15,
                         0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    auto *out = reinterpret_cast<__m256i *>(table);
    for (std::size_t pair = 0; pair < kLookups; ++pair)
      _mm256_storeu_si256(
          out + pair,
          _mm256_permute4x64_epi64(
              _mm256_shuffle_epi8(
                  pair_entries(values[2 * pair], values[2 * pair + 1]), apart),
              0xD8));
  }

private:
  // The pair indices (d0 + 4 d1) of up to 32 codes, missing ones zero.
  static __m256i pair_words(const std::uint8_t *codes, std::size_t count) {
    __m256i bytes;
    if (count >= kHalfCodes) {
      bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(codes));
    } else {
      alignas(32) std::uint8_t padded[kHalfCodes] = {};
      std::memcpy(padded, codes, count);
      bytes = _mm256_load_si256(reinterpret_cast<const __m256i *>(padded));
    }
    return _mm256_maddubs_epi16(_mm256_and_si256(bytes, _mm256_set1_epi8(3)),
                                _mm256_set1_epi16(0x0401));
  }

  // Afterwards words[j] holds, in its 16-bit lane i, what words[i] held in
  // its lane j.
  static void transpose(__m256i words[kRows]) {
    __m256i a[kRows], b[kRows];
    for (std::size_t i = 0; i < kRows; i += 2) { // pairs of rows
      a[i] = _mm256_unpacklo_epi16(words[i], words[i + 1]);
      a[i + 1] = _mm256_unpackhi_epi16(words[i], words[i + 1]);
    }
    for (std::size_t i = 0; i < kRows; i += 4) { // quads of rows
      b[i] = _mm256_unpacklo_epi32(a[i], a[i + 2]);
      b[i + 1] = _mm256_unpackhi_epi32(a[i], a[i + 2]);
      b[i + 2] = _mm256_unpacklo_epi32(a[i + 1], a[i + 3]);
      b[i + 3] = _mm256_unpackhi_epi32(a[i + 1], a[i + 3]);
    }
    // b[4 q + h] holds, for quad q, lanes 2h and 2h + 1 of each half.
    for (std::size_t h = 0; h < 4; ++h) {
      // Rows 0-7, then 8-15: lanes 2h (even) and 2h + 1 (odd) of each half.
      const __m256i top_even = _mm256_unpacklo_epi64(b[h], b[4 + h]);
      const __m256i top_odd = _mm256_unpackhi_epi64(b[h], b[4 + h]);
      const __m256i bottom_even = _mm256_unpacklo_epi64(b[8 + h], b[12 + h]);
      const __m256i bottom_odd = _mm256_unpackhi_epi64(b[8 + h], b[12 + h]);
      words[2 * h] = _mm256_permute2x128_si256(top_even, bottom_even, 0x20);
      words[8 + 2 * h] = _mm256_permute2x128_si256(top_even, bottom_even, 0x31);
      words[2 * h + 1] = _mm256_permute2x128_si256(top_odd, bottom_odd, 0x20);
      words[9 + 2 * h] = _mm256_permute2x128_si256(top_odd, bottom_odd, 0x31);
    }
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
                              TransposedOps::kRows,
                              TransposedOps::kChunkCodes,
                              TransposedOps::kChunkEntries *
                                  sizeof(std::int16_t),
                              TransposedOps::kColumns,
                              SIZE_MAX,
                              /*tables=*/{2, 4},
                              /*column=*/{2, 4},
                              /*transposed_tables=*/{2, 4}};

namespace {

struct Avx2 {
  using Narrow = Ymm;
  using Wide = Ymm;
  using Patterns = YmmPatterns;
  using Transposed = TransposedProduct<TransposedOps>;
  static constexpr const TargetConfig &kConfig = config;
};

} // namespace

VESK_DEFINE_ENTRIES(Avx2)

} // namespace avx2
} // namespace vesk
