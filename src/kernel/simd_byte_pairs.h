// The transposed product (simd_transposed.h) in bytes, with 256-bit byte
// shuffles and multiply-adds, which every fast target has.
//
// Part of the fast kernels, compiled once per instruction set (see
// simd_tables.h).
#pragma once

#include "simd_direct.h"
#include "simd_transposed.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

namespace vesk {
namespace VESK_TARGET {

// The 16 entries of a pair of codes' table, whose values are v0 and v1, in
// 16-bit lanes: pattern i (d0 + 4 d1) holds d0 v0 + d1 v1.
inline __m256i pair_entries(int v0, int v1) {
  const __m256i d0 =
      _mm256_setr_epi16(0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 2, 3);
  const __m256i d1 =
      _mm256_setr_epi16(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3);
  return _mm256_add_epi16(
      _mm256_mullo_epi16(d0, _mm256_set1_epi16(static_cast<short>(v0))),
      _mm256_mullo_epi16(d1, _mm256_set1_epi16(static_cast<short>(v1))));
}

// A row's 64 codes of a chunk, a line, form 32 pair indices (d0 + 4 d1) in
// bytes, and sixteen rows' registers are transposed within each 128-bit half. A
// value v is split as 16 h + l, with l in 0 .. 15 and h in -8 .. 7, and each
// pair has two tables of 16 bytes, of its l parts (0 .. 90) and of its h parts
// plus 48 (0 .. 90): a byte shuffle looks up 32 pair indices at once, twice as
// many as with 16-bit entries, and the indices need no preparation. A lookup's
// two shuffles add up in bytes (l and h + 96 at most 180), which are
// interleaved so that one multiply-add (l times 1, h times 16) forms the 16-bit
// sums of eight bytes' rows of each half. Two multiply-adds a lookup, where
// widening l and h apart takes four, measured 5-10% faster for m = 1 to 12 (on
// an AMD Zen 3 core, whose multiply-adds bound these lookups). Each lookup adds
// 16 * 96 too many; a chunk's sums start that much per lookup below zero,
// wrapping, so that they end exact.
struct BytePairs {
  // Reading a whole line of each row at a time measured up to a sixth
  // faster than half lines (on an AMD Zen 3 core, m = 1 to 4).
  static constexpr std::size_t kChunkCodes = 64;
  static constexpr std::size_t kPairs = kChunkCodes / 2;
  struct Index {
    __m256i first, second;
  };
  // A lookup's sums end in one-cycle additions: one chain per column keeps
  // up.
  static constexpr std::size_t kSumChains = 1;
  // Rows of bytes 0-7 (`low`) and 8-15 (`high`) of each half.
  struct Chunk {
    __m256i low, high;
  };

  // What a lookup adds to each lane beyond its entries' sum.
  static constexpr int kHighBias = 48;
  static constexpr int kLookupBias = 2 * 16 * kHighBias;

  // A chunk's sums before `lookups` lookups: their biases below zero.
  static Chunk chunk_start(std::size_t lookups) {
    const __m256i start =
        _mm256_set1_epi16(static_cast<short>(-int(lookups) * kLookupBias));
    return {start, start};
  }

  // Two shuffles' tables at `planes`: l parts, h parts, l parts, h parts.
  // A lane's sum of 16 lookups stays within 16 bits: its entries sum to
  // within 16 * 1536 either way.
  static Chunk add_lookup(Chunk chunk, const Index &index,
                          const __m256i (&planes)[4]) {
    const __m256i l =
        _mm256_add_epi8(_mm256_shuffle_epi8(planes[0], index.first),
                        _mm256_shuffle_epi8(planes[2], index.second));
    const __m256i h =
        _mm256_add_epi8(_mm256_shuffle_epi8(planes[1], index.first),
                        _mm256_shuffle_epi8(planes[3], index.second));
    const __m256i weights = _mm256_set1_epi16(0x1001); // bytes 1 and 16
    chunk.low = _mm256_add_epi16(
        chunk.low, _mm256_maddubs_epi16(_mm256_unpacklo_epi8(l, h), weights));
    chunk.high = _mm256_add_epi16(
        chunk.high, _mm256_maddubs_epi16(_mm256_unpackhi_epi8(l, h), weights));
    return chunk;
  }

  // Pair `pair`'s 16 l-part entries, and its h-part ones plus the bias, as
  // 16-bit lanes.
  static __m256i low_entries(const int *values, std::size_t pair) {
    return pair_entries(values[2 * pair] & 15, values[2 * pair + 1] & 15);
  }
  static __m256i high_entries(const int *values, std::size_t pair) {
    const auto high = [](int value) { return (value - (value & 15)) / 16; };
    return _mm256_add_epi16(
        pair_entries(high(values[2 * pair]), high(values[2 * pair + 1])),
        _mm256_set1_epi16(kHighBias));
  }

  // The entries of a, as bytes, then those of b. Packing works per 128-bit
  // half; the permutation puts the quarters in order.
  static __m256i bytes_of(__m256i a, __m256i b) {
    return _mm256_permute4x64_epi64(_mm256_packs_epi16(a, b), 0xD8);
  }

  // The 32 pair indices of up to 64 codes, missing codes zero. Packing
  // works per 128-bit half, so byte j holds pair kPairOfByte[j].
  static __m256i pair_bytes(const std::uint8_t *codes, std::size_t count) {
    alignas(32) std::uint8_t padded[kChunkCodes];
    if (count < kChunkCodes) {
      std::memset(padded, 0, sizeof padded);
      std::memcpy(padded, codes, count);
      codes = padded;
    }
    const __m256i mask = _mm256_set1_epi8(3);
    const __m256i weights = _mm256_set1_epi16(0x0401);
    const auto *lines = reinterpret_cast<const __m256i *>(codes);
    const __m256i first = _mm256_maddubs_epi16(
        _mm256_and_si256(_mm256_loadu_si256(lines), mask), weights);
    const __m256i second = _mm256_maddubs_epi16(
        _mm256_and_si256(_mm256_loadu_si256(lines + 1), mask), weights);
    return _mm256_packus_epi16(first, second);
  }
  static constexpr std::size_t kPairOfByte[kPairs] = {
      0, 1, 2,  3,  4,  5,  6,  7,  16, 17, 18, 19, 20, 21, 22, 23,
      8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31};

  // Sixteen rows' pair bytes of `rows` rows (k apart) of `codes` codes, the
  // rest zero; row_of maps register i to its row.
  template <class RowOf>
  static void load_rows(const std::uint8_t *first, std::size_t k,
                        std::size_t rows, std::size_t codes, RowOf row_of,
                        __m256i bytes[16]) {
    for (std::size_t i = 0; i < 16; ++i) {
      const std::size_t row = row_of(i);
      bytes[i] = row < rows ? pair_bytes(first + row * k, codes)
                            : _mm256_setzero_si256();
    }
  }

  // Indices for the lookups alone: bytes 0 .. 15, varied by the seed.
  static __m256i stand_in(std::size_t seed, std::size_t i) {
    const __m256i varied = _mm256_xor_si256(
        _mm256_setr_epi8(3, 14, 1, 5, 9, 2, 6, 5, 3, 5, 8, 9, 7, 9, 3, 2, 3, 8,
                         4, 6, 2, 6, 4, 3, 3, 8, 3, 2, 7, 9, 5, 0),
        _mm256_set1_epi8(static_cast<char>(seed)));
    return _mm256_and_si256(_mm256_add_epi8(varied, _mm256_set1_epi8(char(i))),
                            _mm256_set1_epi8(15));
  }

  // Afterwards out[j] holds, in byte i of each 128-bit half, byte j of that
  // half of in[i]: four rounds of unpacking. Inlined, so that rows and pairs
  // need not all go through memory: (4096, 4096, m) for m = 1 to 4 measured
  // 3-8% faster so (on an AMD Zen 3 core).
  VESK_ALWAYS_INLINE static void transpose_halves(const __m256i in[16],
                                                  __m256i out[16]) {
    __m256i a[16], b[16], c[16];
    for (std::size_t i = 0; i < 8; ++i) { // bytes 0-7, 8-15 of 2 registers
      a[i] = _mm256_unpacklo_epi8(in[2 * i], in[2 * i + 1]);
      a[8 + i] = _mm256_unpackhi_epi8(in[2 * i], in[2 * i + 1]);
    }
    for (std::size_t x = 0; x < 16; x += 8) // bytes x+0-3, x+4-7 of 4
      for (std::size_t i = 0; i < 4; ++i) {
        b[x + 2 * i] = _mm256_unpacklo_epi16(a[x + 2 * i], a[x + 2 * i + 1]);
        b[x + 2 * i + 1] =
            _mm256_unpackhi_epi16(a[x + 2 * i], a[x + 2 * i + 1]);
      }
    // b[x + 2 i + s] holds bytes x + 4 s .. + 3 of registers 4 i .. + 3.
    for (std::size_t g = 0; g < 4; ++g) // bytes 4g .. 4g + 3
      for (std::size_t j = 0; j < 2; ++j) {
        const std::size_t at = (g / 2) * 8 + g % 2;
        const __m256i first = b[at + 2 * (2 * j)];
        const __m256i second = b[at + 2 * (2 * j + 1)];
        c[4 * g + 2 * j] = _mm256_unpacklo_epi32(first, second);
        c[4 * g + 2 * j + 1] = _mm256_unpackhi_epi32(first, second);
      }
    // c[4 g + 2 j + s] holds bytes 4 g + 2 s, + 1 of registers 8 j .. + 7.
    for (std::size_t g = 0; g < 4; ++g)
      for (std::size_t s = 0; s < 2; ++s) {
        const __m256i first = c[4 * g + s], second = c[4 * g + 2 + s];
        out[4 * g + 2 * s] = _mm256_unpacklo_epi64(first, second);
        out[4 * g + 2 * s + 1] = _mm256_unpackhi_epi64(first, second);
      }
  }
};

// Sixteen rows, row i in byte i of each half; each register's halves hold
// two pairs, so a lookup's tables are whole registers (16 bytes a pair,
// both halves' pairs side by side). Reading sixteen rows at a time suits
// the fewest columns, where reading A takes most of the time. Against 32
// rows, on an AMD Zen 3 core: with A coming from memory, m = 1 to 4
// measured 15-25% faster; with A in the cache, m = 1 to 3 7-17% faster
// and m = 4 3-5% slower.
struct SixteenRows : BytePairs {
  static constexpr std::size_t kRows = 16;
  // It serves products of this many columns or fewer.
  static constexpr std::size_t kColumns = 4;
  static constexpr std::size_t kPassColumns = 4; // see ThirtyTwoRows
  static constexpr std::size_t kLookups = kPairs / 4;
  // A lookup's tables: two registers' l parts, then h parts, 32 bytes each.
  static constexpr std::size_t kLookupEntries = 4 * 32 / sizeof(std::int16_t);
  static constexpr std::size_t kChunkEntries = kLookups * kLookupEntries;

  struct Lanes {
    __m256i pairs[kPairs / 2];
  };
  struct Sums {
    __m256i low, high; // rows 0-7 and 8-15
  };

  static Lanes load(const std::uint8_t *first, std::size_t k, std::size_t rows,
                    std::size_t codes) {
    __m256i bytes[kRows];
    load_rows(
        first, k, rows, codes, [](std::size_t i) { return i; }, bytes);
    Lanes lanes;
    transpose_halves(bytes, lanes.pairs);
    return lanes;
  }

  // Registers 0 to 7 hold the pairs of a chunk's first 32 codes.
  static std::size_t lookups_for(std::size_t codes) {
    return codes <= kChunkCodes / 2 ? kLookups / 2 : kLookups;
  }

  static Lanes stand_in(std::size_t seed) {
    Lanes lanes;
    for (std::size_t i = 0; i < kPairs / 2; ++i)
      lanes.pairs[i] = BytePairs::stand_in(seed, i);
    return lanes;
  }

  static Index index(const Lanes &lanes, std::size_t q) {
    return {lanes.pairs[2 * q], lanes.pairs[2 * q + 1]};
  }

  static Chunk add_lookup(Chunk chunk, const Index &index,
                          const std::int16_t *table) {
    const auto *at = reinterpret_cast<const __m256i *>(table);
    const __m256i planes[4] = {
        _mm256_loadu_si256(at), _mm256_loadu_si256(at + 1),
        _mm256_loadu_si256(at + 2), _mm256_loadu_si256(at + 3)};
    return BytePairs::add_lookup(chunk, index, planes);
  }

  static Sums zero() {
    return {_mm256_setzero_si256(), _mm256_setzero_si256()};
  }

  // A chunk has 8 lookups, and its halves' 16-bit sums of a row, added,
  // stay within 16 * 1536: widened per chunk.
  static void add_chunk(Sums &sums, const Chunk &chunk) {
    sums.low = _mm256_add_epi32(sums.low, widened_halves(chunk.low));
    sums.high = _mm256_add_epi32(sums.high, widened_halves(chunk.high));
  }

  static void row_sums(const Sums &sums, std::int32_t *out) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), sums.low);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 8), sums.high);
  }

  // Register j's tables at 64 j bytes: the l parts of its halves' pairs,
  // then their h parts.
  static void build_chunk(const int *values, std::int16_t *table) {
    auto *out = reinterpret_cast<__m256i *>(table);
    for (std::size_t j = 0; j < kPairs / 2; ++j) {
      const std::size_t a = kPairOfByte[j], b = kPairOfByte[16 + j];
      _mm256_storeu_si256(out + 2 * j, bytes_of(low_entries(values, a),
                                                low_entries(values, b)));
      _mm256_storeu_si256(out + 2 * j + 1, bytes_of(high_entries(values, a),
                                                    high_entries(values, b)));
    }
  }

private:
  // The sums of a chunk's two halves, rows in the same order, widened.
  static __m256i widened_halves(__m256i words) {
    return _mm256_cvtepi16_epi32(_mm_add_epi16(
        _mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1)));
  }
};

// 32 rows, a row in each byte lane: each register holds one pair of every
// row, and a pair's 16-byte tables are read into both halves, so each
// table read serves twice the rows of sixteen. The low halves hold rows
// 0-15, the high halves rows 16-31.
struct ThirtyTwoRows : BytePairs {
  static constexpr std::size_t kRows = 32;
  // Up to 12 columns this path measured 2-20% faster than tables of whole
  // vectors of columns, at 14 as fast, at 16 up to a sixth slower; from 5
  // columns on, 2-13% faster than sixteen rows with A in the cache, and as
  // fast to 10% faster with A coming from memory (on an AMD Zen 3 core). A pass
  // over a chunk serves 4 columns: their sums, the indices and the constants
  // fit in the 16 registers, which at m = 8 to 12 measured 4-20% faster than
  // all columns at once.
  static constexpr std::size_t kColumns = 12;
  static constexpr std::size_t kPassColumns = 4;
  static constexpr std::size_t kLookups = kPairs / 2;
  // A lookup's tables: two pairs' l parts and h parts, 16 bytes each.
  static constexpr std::size_t kLookupEntries = 4 * 16 / sizeof(std::int16_t);
  static constexpr std::size_t kChunkEntries = kLookups * kLookupEntries;

  struct Lanes {
    __m256i pair[kPairs];
  };
  struct Sums {
    __m256i rows[4]; // rows 0-7, 8-15, 16-23, 24-31
  };

  static Lanes load(const std::uint8_t *first, std::size_t k, std::size_t rows,
                    std::size_t codes) {
    __m256i low[16], high[16];
    load_rows(
        first, k, rows, codes, [](std::size_t i) { return i; }, low);
    load_rows(
        first, k, rows, codes, [](std::size_t i) { return 16 + i; }, high);
    __m256i low_pairs[16], high_pairs[16];
    transpose_halves(low, low_pairs);
    transpose_halves(high, high_pairs);
    Lanes lanes;
    for (std::size_t j = 0; j < 16; ++j) {
      lanes.pair[kPairOfByte[j]] =
          _mm256_permute2x128_si256(low_pairs[j], high_pairs[j], 0x20);
      lanes.pair[kPairOfByte[16 + j]] =
          _mm256_permute2x128_si256(low_pairs[j], high_pairs[j], 0x31);
    }
    return lanes;
  }

  // Lookup q holds codes 4 q .. 4 q + 3.
  static std::size_t lookups_for(std::size_t codes) {
    return lookups_in_order(codes, kChunkCodes / kLookups);
  }

  static Lanes stand_in(std::size_t seed) {
    Lanes lanes;
    for (std::size_t i = 0; i < kPairs; ++i)
      lanes.pair[i] = BytePairs::stand_in(seed, i);
    return lanes;
  }

  static Index index(const Lanes &lanes, std::size_t q) {
    return {lanes.pair[2 * q], lanes.pair[2 * q + 1]};
  }

  static Chunk add_lookup(Chunk chunk, const Index &index,
                          const std::int16_t *table) {
    const auto *at = reinterpret_cast<const __m128i *>(table);
    const __m256i planes[4] = {
        _mm256_broadcastsi128_si256(at[0]), _mm256_broadcastsi128_si256(at[1]),
        _mm256_broadcastsi128_si256(at[2]), _mm256_broadcastsi128_si256(at[3])};
    return BytePairs::add_lookup(chunk, index, planes);
  }

  static Sums zero() {
    Sums sums;
    for (__m256i &rows : sums.rows)
      rows = _mm256_setzero_si256();
    return sums;
  }

  // A chunk has 16 lookups: widened per chunk.
  static void add_chunk(Sums &sums, const Chunk &chunk) {
    add_widened(sums.rows[0], sums.rows[2], chunk.low);
    add_widened(sums.rows[1], sums.rows[3], chunk.high);
  }

  static void row_sums(const Sums &sums, std::int32_t *out) {
    for (std::size_t i = 0; i < 4; ++i)
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out + 8 * i),
                          sums.rows[i]);
  }

  // Pair p's l bytes at 32 p, its h bytes at 32 p + 16.
  static void build_chunk(const int *values, std::int16_t *table) {
    auto *out = reinterpret_cast<__m256i *>(table);
    for (std::size_t pair = 0; pair < kPairs; ++pair)
      _mm256_storeu_si256(out + pair, bytes_of(low_entries(values, pair),
                                               high_entries(values, pair)));
  }

private:
  static void add_widened(__m256i &first, __m256i &second, __m256i words) {
    first = _mm256_add_epi32(
        first, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(words)));
    second = _mm256_add_epi32(
        second, _mm256_cvtepi16_epi32(_mm256_extracti128_si256(words, 1)));
  }
};

// Sixteen rows for the fewest columns, else 32. Products of more columns
// and fewer than 32 rows, too few per column to repay tables, go direct.
struct BytePairProduct {
  static_assert(DirectProduct::kRowsPerColumn * (SixteenRows::kColumns + 1) >=
                    ThirtyTwoRows::kRows,
                "32 rows at a time serve only products of as many rows");
  static void multiply(const Product &p, std::int16_t *tables) {
    if (p.m <= SixteenRows::kColumns)
      TransposedProduct<SixteenRows>::multiply(p, tables);
    else
      TransposedProduct<ThirtyTwoRows>::multiply(p, tables);
  }
};
static_assert(SixteenRows::kChunkEntries == ThirtyTwoRows::kChunkEntries,
              "one plan for both: a chunk's tables take as much memory");

} // namespace VESK_TARGET
} // namespace vesk
