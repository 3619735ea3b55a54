// The kernel for processors with AVX-512 (F, BW, VL): 32 lanes of 16 bits
// per register, and masks for tiles narrower than a register. Compiled with
// AVX-512 enabled; called only where the processor has it.
#define VESK_TARGET avx512
#include "simd_kernel.h"

#include <immintrin.h>

namespace vesk {
namespace avx512 {
namespace {

// Half of a 512-bit register. (Masked forms with every lane set, here and
// below: the plain ones trip GCC's may-be-uninitialised warning inside its
// own headers.)
__m256i half(__m512i v, int which) {
  return which == 0 ? _mm512_maskz_extracti64x4_epi64(0xFF, v, 0)
                    : _mm512_maskz_extracti64x4_epi64(0xFF, v, 1);
}

// Tile rows of 16 entries: one 256-bit register of sums, widened into one
// 512-bit register of C.
struct Ymm : YmmLanes {
  static void add_widened(const std::int32_t *from, std::int32_t *to, Vec v) {
    _mm512_storeu_si512(to,
                        _mm512_add_epi32(_mm512_loadu_si512(from), widen(v)));
  }

private:
  static __m512i widen(Vec v) { return _mm512_maskz_cvtepi16_epi32(0xFFFF, v); }
};

struct Zmm {
  using Vec = __m512i;
  static constexpr std::size_t kLanes = 32;

  static Vec zero() { return _mm512_setzero_si512(); }
  static Vec add(Vec a, Vec b) { return _mm512_add_epi16(a, b); }
  static Vec load(const std::int16_t *p) { return _mm512_loadu_si512(p); }
  // to[0 .. 32) = from[0 .. 32) + sign-extended lanes; the 32-bit additions
  // wrap, so no (caller-excluded) overflow is undefined.
  static void add_widened(const std::int32_t *from, std::int32_t *to, Vec v) {
    Ymm::add_widened(from, to, half(v, 0));
    Ymm::add_widened(from + 16, to + 16, half(v, 1));
  }
  static void add_widened_partial(const std::int32_t *from, std::int32_t *to,
                                  Vec v, int lanes) {
    if (lanes <= 16)
      return Ymm::add_widened_partial(from, to, half(v, 0), lanes);
    Ymm::add_widened(from, to, half(v, 0));
    Ymm::add_widened_partial(from + 16, to + 16, half(v, 1), lanes - 16);
  }
};

// Pattern indices of whole registers of codes.
struct Patterns {
  static constexpr int kIndexBytes = 64;
  static constexpr unsigned kVectorSegments = 1u << 1 | 1u << 2 | 1u << 4;

  // The indices of the segments of Segment (1, 2 or 4) codes among the
  // kIndexBytes codes at `codes`.
  template <int Segment>
  static void store_indices(const std::uint8_t *codes, std::uint8_t *out) {
    const __m512i d = digits(codes);
    if constexpr (Segment == 1) {
      _mm512_storeu_si512(out, d);
    } else if constexpr (Segment == 2) {
      _mm256_storeu_si256(
          reinterpret_cast<__m256i *>(out),
          _mm512_maskz_cvtepi16_epi8(0xFFFFFFFF, pair_indices(d)));
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                       _mm512_maskz_cvtepi32_epi8(0xFFFF, quad_indices(d)));
    }
  }

private:
  static __m512i digits(const std::uint8_t *codes) {
    return _mm512_and_si512(_mm512_loadu_si512(codes), _mm512_set1_epi8(3));
  }
  // d0 + 4 d1 in each 16-bit lane.
  static __m512i pair_indices(__m512i digits) {
    return _mm512_maddubs_epi16(digits, _mm512_set1_epi16(0x0401));
  }
  // The pairs weighted 1 and 16 in each 32-bit lane.
  static __m512i quad_indices(__m512i digits) {
    return _mm512_madd_epi16(pair_indices(digits),
                             _mm512_set1_epi32(0x00100001));
  }
};

// The transposed product (simd_transposed.h), eight rows and up to four
// columns at a time. A row's
// 64 codes of a chunk form 32 pair indices in 16-bit lanes, a group of 4
// pairs in each 64-bit lane; transposing the eight rows' 64-bit lanes gives
// registers that hold one group of every row, each looked up with one
// permutation of two registers: the group's table of 4 pairs times 16
// patterns.
struct TransposedOps {
  static constexpr std::size_t kRows = 8;
  static constexpr std::size_t kColumns = 4;
  static constexpr std::size_t kPassColumns = kColumns;
  static constexpr std::size_t kChunkCodes = 64;
  static constexpr std::size_t kLookups = kChunkCodes / 8; // groups of 4 pairs
  static constexpr std::size_t kLookupEntries = 64;
  static constexpr std::size_t kChunkEntries = kLookups * kLookupEntries;
  static_assert(kLookups == kRows, "the transposition is square");

  struct Lanes {
    __m512i group[kLookups];
  };
  using Index = __m512i;
  using Chunk = __m512i;
  using Sums = __m512i; // row i in 32-bit lanes 2i and 2i + 1

  // Lookup q holds codes 8 q .. 8 q + 7.
  static std::size_t lookups_for(std::size_t codes) {
    return (codes + kChunkCodes / kLookups - 1) / (kChunkCodes / kLookups);
  }

  // The chunk of `rows` rows (k apart) of `codes` codes, transposed.
  static Lanes load(const std::uint8_t *first, std::size_t k, std::size_t rows,
                    std::size_t codes) {
    const __mmask64 mask =
        codes >= kChunkCodes ? ~__mmask64{0} : (__mmask64{1} << codes) - 1;
    Lanes lanes;
    for (std::size_t i = 0; i < kRows; ++i)
      lanes.group[i] =
          i < rows ? pair_lanes(first + i * k, mask) : _mm512_setzero_si512();
    transpose(lanes.group);
    return lanes;
  }

  static Lanes stand_in(std::size_t seed) {
    const __m512i varied = _mm512_xor_si512(
        _mm512_set_epi64(3, 0x000E00010005, 9, 0x0002000600050003, 5,
                         0x0008000900070009, 3, 0x0002000B000D0004),
        _mm512_set1_epi16(static_cast<short>(seed)));
    Lanes lanes;
    for (std::size_t i = 0; i < kRows; ++i)
      lanes.group[i] = _mm512_add_epi16(
          _mm512_and_si512(
              _mm512_add_epi16(varied, _mm512_set1_epi16(short(i))),
              _mm512_set1_epi16(15)),
          _mm512_set1_epi64(0x0030002000100000));
    return lanes;
  }

  static Index index(const Lanes &lanes, std::size_t q) {
    return lanes.group[q];
  }

  static Chunk chunk_start(std::size_t) { return _mm512_setzero_si512(); }

  // At most 8 entries of 2 * 3 * 128 a lane: widened per chunk.
  static Chunk add_lookup(Chunk chunk, Index index, const std::int16_t *table) {
    return _mm512_add_epi16(
        chunk, _mm512_permutex2var_epi16(_mm512_loadu_si512(table), index,
                                         _mm512_loadu_si512(table + 32)));
  }

  static Sums zero() { return _mm512_setzero_si512(); }

  static void add_chunk(Sums &sums, Chunk chunk) {
    sums =
        _mm512_add_epi32(sums, _mm512_madd_epi16(chunk, _mm512_set1_epi16(1)));
  }

  static void row_sums(const Sums &sums, std::int32_t *out) {
    _mm256_store_si256(reinterpret_cast<__m256i *>(out),
                       _mm512_maskz_cvtepi64_epi32(
                           0xFF, _mm512_add_epi32(sums, _mm512_maskz_srli_epi64(
                                                            0xFF, sums, 32))));
  }

  // Group q, pair j, pattern i at q * 64 + j * 16 + i.
  static void build_chunk(const int *values, std::int16_t *table) {
    auto *out = reinterpret_cast<__m256i *>(table);
    for (std::size_t pair = 0; pair < kChunkCodes / 2; ++pair)
      _mm256_storeu_si256(out + pair,
                          pair_entries(values[2 * pair], values[2 * pair + 1]));
  }

private:
  // The pair indices (d0 + 4 d1) of up to 64 codes, each offset by 16 times
  // its place in its group of 4, so that it picks its pair's patterns in the
  // group table.
  static __m512i pair_lanes(const std::uint8_t *codes, __mmask64 mask) {
    const __m512i digits = _mm512_and_si512(
        _mm512_maskz_loadu_epi8(mask, codes), _mm512_set1_epi8(3));
    return _mm512_add_epi16(
        _mm512_maddubs_epi16(digits, _mm512_set1_epi16(0x0401)),
        _mm512_set1_epi64(0x0030002000100000));
  }

  // Afterwards lanes[q] holds, in its 64-bit lane i, what lanes[i] held in
  // its 64-bit lane q.
  static void transpose(__m512i lanes[kRows]) {
    __m512i t[kRows], u[kRows];
    for (std::size_t i = 0; i < kRows; i += 2) {
      t[i] = _mm512_maskz_unpacklo_epi64(0xFF, lanes[i], lanes[i + 1]);
      t[i + 1] = _mm512_maskz_unpackhi_epi64(0xFF, lanes[i], lanes[i + 1]);
    }
    for (std::size_t i = 0; i < kRows; i += 4)
      for (std::size_t h = 0; h < 2; ++h) {
        u[i + h] =
            _mm512_maskz_shuffle_i64x2(0xFF, t[i + h], t[i + h + 2], 0x88);
        u[i + h + 2] =
            _mm512_maskz_shuffle_i64x2(0xFF, t[i + h], t[i + h + 2], 0xDD);
      }
    // u[q] holds lanes q and q + 4 of rows 0-3, u[q + 4] those of rows 4-7.
    for (std::size_t q = 0; q < 4; ++q) {
      lanes[q] = _mm512_maskz_shuffle_i64x2(0xFF, u[q], u[q + 4], 0x88);
      lanes[q + 4] = _mm512_maskz_shuffle_i64x2(0xFF, u[q], u[q + 4], 0xDD);
    }
  }
};

} // namespace

// The facts the plan relies on; the target table's row leads here. Its
// budgets were measured on an AMD Zen 4 core (32 KiB / 1 MiB): a group's
// tables take 3/8 of the second-level cache, a tile's column of C a
// quarter, and a transposed block keeps the tables of at most 16 chunks,
// within twice the first-level cache.
extern const TargetConfig config;
constexpr TargetConfig config{YmmLanes::kLanes,
                              32,
                              Patterns::kIndexBytes,
                              Patterns::kVectorSegments,
                              TransposedOps::kRows,
                              TransposedOps::kChunkCodes,
                              TransposedOps::kChunkEntries *
                                  sizeof(std::int16_t),
                              TransposedOps::kColumns,
                              16,
                              DirectProduct::kMaxRows,
                              DirectProduct::kColumns,
                              DirectProduct::kChunkCodes,
                              DirectProduct::kRowsPerColumn,
                              /*tables=*/{2, 3},
                              /*column=*/{2, 2},
                              /*transposed_tables=*/{1, 16}};

namespace {

struct Avx512 {
  using Narrow = Ymm;
  using Wide = Zmm;
  using Patterns = avx512::Patterns;
  using Transposed = TransposedProduct<TransposedOps>;
  static constexpr const TargetConfig &kConfig = config;
};

} // namespace

VESK_DEFINE_ENTRIES(Avx512)

} // namespace avx512
} // namespace vesk
