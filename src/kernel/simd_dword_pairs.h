// The transposed product (simd_transposed.h) with 64-byte permutes and
// 8-bit dot products (AVX-512 VBMI and VNNI): sixteen rows, each 32-bit lane
// holding four pairs of codes of one row.
//
// Part of the fast kernels, compiled once per instruction set (see
// simd_tables.h).
#pragma once

#include "simd_byte_pairs.h"

#include <immintrin.h>

namespace vesk {
namespace VESK_TARGET {

// A row's 64 codes of a chunk, a line, form 32 pair indices (d0 + 4 d1), and
// 32-bit lane r of index register q holds row r's pairs 4 q .. 4 q + 3. A
// byte permute looks 64 bytes up in a 64-byte table, so one register holds
// the 16-entry tables of a lookup's four pairs, byte j of each lane choosing
// the j-th table by the 16 j added to its index. As with byte pairs a value v
// is split as 16 h + l; each lookup has a table of l parts (0 .. 90) and one
// of h parts (-48 .. 42), and two dot products add the four bytes of each
// lane, l times 1 and h times 16, into the row's 32-bit sum. So the rows need
// transposing only as far as 32-bit lanes, 32 shuffles of 64 bytes for
// sixteen rows where byte pairs (simd_byte_pairs.h) take 80 of 32 bytes, and
// each lookup takes two permutes and two dot products where byte pairs take
// six shuffles, two multiply-adds and a widening per chunk. Against byte pairs
// on an AMD Zen 4 core, (4096, 4096, m) measured a fifth faster for m = 1 to 4
// and a quarter to a half faster for m = 8 and 12.
struct DwordPairs {
  static constexpr std::size_t kRows = 16;
  static constexpr std::size_t kChunkCodes = 64;
  static constexpr std::size_t kPairs = kChunkCodes / 2;
  static constexpr std::size_t kLookups = kPairs / 4;
  // It serves products of this many columns or fewer, all columns of a
  // chunk in one pass: with 32 registers, the 8 indices, the columns' sums
  // and the constants fit. At 14 columns it measured a fifth to a third
  // faster than tables of whole vectors of columns, at 16 up to a tenth
  // slower (on an AMD Zen 4 core).
  static constexpr std::size_t kColumns = 14;
  static constexpr std::size_t kPassColumns = kColumns;
  // Each dot product adds into its sum, so one column's lookups form one
  // chain of them. Spread over four sums, (4096, 4096, 1) and
  // (16384, 1024, 1) measured 4-14% faster (calls alternating in one
  // process, on an AMD Zen 4 core); two columns, spread over two each,
  // measured the same as over one.
  static constexpr std::size_t kSumChains = 4;
  // A lookup's tables: 64 bytes of l parts, then 64 of h parts.
  static constexpr std::size_t kLookupEntries = 2 * 64 / sizeof(std::int16_t);
  static constexpr std::size_t kChunkEntries = kLookups * kLookupEntries;

  struct Lanes {
    __m512i index[kLookups];
  };
  using Index = __m512i;
  using Chunk = __m512i; // each row's 32-bit sum
  using Sums = __m512i;

  static Lanes load(const std::uint8_t *first, std::size_t k, std::size_t rows,
                    std::size_t codes) {
    __m512i pairs[kRows / 2];
    for (std::size_t i = 0; i < kRows / 2; ++i)
      pairs[i] =
          _mm512_packus_epi16(row_pairs(first, k, rows, codes, 2 * i),
                              row_pairs(first, k, rows, codes, 2 * i + 1));
    Lanes lanes;
    transpose_lanes(pairs, lanes.index);
    const __m512i tables = _mm512_set1_epi32(0x30201000);
    for (__m512i &index : lanes.index)
      index = _mm512_or_si512(index, tables);
    return lanes;
  }

  // Lookup q holds codes 8 q .. 8 q + 7.
  static std::size_t lookups_for(std::size_t codes) {
    return lookups_in_order(codes, kChunkCodes / kLookups);
  }

  static Lanes stand_in(std::size_t seed) {
    Lanes lanes;
    for (std::size_t q = 0; q < kLookups; ++q)
      lanes.index[q] = _mm512_and_si512(
          _mm512_add_epi8(_mm512_set1_epi32(0x2F1A0B37),
                          _mm512_set1_epi8(static_cast<char>(seed + 5 * q))),
          _mm512_set1_epi8(63));
    return lanes;
  }

  static Index index(const Lanes &lanes, std::size_t q) {
    return lanes.index[q];
  }

  static Chunk chunk_start(std::size_t) { return _mm512_setzero_si512(); }

  static Chunk add_lookup(Chunk chunk, const Index &index,
                          const std::int16_t *table) {
    const __m512i l = permute(index, table);
    const __m512i h = permute(index, table + 32);
    chunk = _mm512_dpbusd_epi32(chunk, l, _mm512_set1_epi8(1));
    return _mm512_dpbusd_epi32(chunk, _mm512_set1_epi8(16), h);
  }

  static Sums zero() { return _mm512_setzero_si512(); }

  static void add_chunk(Sums &sums, const Chunk &chunk) {
    sums = _mm512_add_epi32(sums, chunk);
  }

  static void row_sums(const Sums &sums, std::int32_t *out) {
    _mm512_storeu_si512(out, sums);
  }

  // Lookup q's l parts at 128 q bytes, its h parts at 128 q + 64: 16 bytes
  // for each of pairs 4 q .. 4 q + 3.
  static void build_chunk(const int *values, std::int16_t *table) {
    auto *out = reinterpret_cast<__m256i *>(table);
    for (std::size_t pair = 0; pair < kPairs; pair += 2) {
      const std::size_t at = (pair / 4) * 4 + (pair % 4) / 2;
      _mm256_storeu_si256(out + at,
                          BytePairs::bytes_of(low_entries(values, pair),
                                              low_entries(values, pair + 1)));
      _mm256_storeu_si256(out + at + 2,
                          BytePairs::bytes_of(high_entries(values, pair),
                                              high_entries(values, pair + 1)));
    }
  }

private:
  // Masked forms with every lane set, here and below: the plain ones trip
  // GCC's may-be-uninitialised warning inside its own headers.
  static __m512i permute(__m512i index, const std::int16_t *table) {
    return _mm512_maskz_permutexvar_epi8(~__mmask64(0), index,
                                         _mm512_loadu_si512(table));
  }
  template <int Lanes> static __m512i shuffle_lanes(__m512i a, __m512i b) {
    return _mm512_maskz_shuffle_i32x4(0xFFFF, a, b, Lanes);
  }

  // Row i's 32 pair indices in the low bytes of 16-bit lanes; zero past
  // `rows` rows and `codes` codes.
  static __m512i row_pairs(const std::uint8_t *first, std::size_t k,
                           std::size_t rows, std::size_t codes, std::size_t i) {
    if (i >= rows)
      return _mm512_setzero_si512();
    const __mmask64 present =
        codes < kChunkCodes ? (__mmask64(1) << codes) - 1 : ~__mmask64(0);
    const __m512i digits = _mm512_and_si512(
        _mm512_maskz_loadu_epi8(present, first + i * k), _mm512_set1_epi8(3));
    return _mm512_maddubs_epi16(digits, _mm512_set1_epi16(0x0401));
  }

  static __m256i low_entries(const int *values, std::size_t pair) {
    return pair_entries(values[2 * pair] & 15, values[2 * pair + 1] & 15);
  }
  static __m256i high_entries(const int *values, std::size_t pair) {
    const auto high = [](int value) { return (value - (value & 15)) / 16; };
    return pair_entries(high(values[2 * pair]), high(values[2 * pair + 1]));
  }

  // in[j] holds rows 2 j and 2 j + 1, 128-bit lane L their pairs 8 L .. + 7
  // (two 32-bit lanes of each row); afterwards out[q] holds 32-bit lane q of
  // every row, in order.
  VESK_ALWAYS_INLINE static void transpose_lanes(const __m512i in[8],
                                                 __m512i out[kLookups]) {
    // by_four[2 g + e], 128-bit lane L: rows 4 g .. 4 g + 3, 32-bit lane
    // 2 L + e.
    __m512i by_four[8];
    for (std::size_t g = 0; g < 4; ++g) {
      const __m512 a = _mm512_castsi512_ps(in[2 * g]);
      const __m512 b = _mm512_castsi512_ps(in[2 * g + 1]);
      by_four[2 * g] = _mm512_castps_si512(_mm512_shuffle_ps(a, b, 0x88));
      by_four[2 * g + 1] = _mm512_castps_si512(_mm512_shuffle_ps(a, b, 0xDD));
    }
    // Then the 128-bit lanes of each e's four registers, transposed.
    for (std::size_t e = 0; e < 2; ++e) {
      const __m512i *q = by_four + e;
      const __m512i low01 = shuffle_lanes<0x44>(q[0], q[2]);
      const __m512i high01 = shuffle_lanes<0xEE>(q[0], q[2]);
      const __m512i low23 = shuffle_lanes<0x44>(q[4], q[6]);
      const __m512i high23 = shuffle_lanes<0xEE>(q[4], q[6]);
      out[e] = shuffle_lanes<0x88>(low01, low23);
      out[2 + e] = shuffle_lanes<0xDD>(low01, low23);
      out[4 + e] = shuffle_lanes<0x88>(high01, high23);
      out[6 + e] = shuffle_lanes<0xDD>(high01, high23);
    }
  }
};

} // namespace VESK_TARGET
} // namespace vesk
