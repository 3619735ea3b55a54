// A product of rows too few to repay any stored table: a table of one-code
// segments holds d times a row of B for each code d, which one multiply-add
// of unsigned codes by signed bytes (vpmaddubsw) forms in registers, two
// segments at once. So each pair of codes is multiplied by its two rows of B
// directly, 32 columns to a register (or 16 or 8 columns of two pairs), and
// the sums of a chunk of codes kept in 16 bits before they are widened.
// Nothing is stored but C.
//
// Part of the fast kernels, compiled once per instruction set (see
// simd_tables.h); 256-bit operations only, which every fast target has.
#pragma once

#include "simd_tables.h"
#include "wrapping_add.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include <immintrin.h>

namespace vesk {
namespace VESK_TARGET {

struct DirectProduct {
  // Columns of a tile: one register of bytes of B.
  static constexpr std::size_t kColumns = 32;
  // Rows summed at once: two registers of sums each, beside B's pair.
  static constexpr std::size_t kRows = 4;
  // Rows it always serves. Per code and tile, one-code segments cost a lookup
  // per row and no building, segments of two codes (16 + rows) / 2 row
  // operations: below 16 rows one code costs least. (Measured on an AMD
  // Zen 3 core at n = 8 to 15, m = 1 to 4096: 2 to 5 times as fast as
  // tables of two codes.)
  static constexpr std::size_t kMaxRows = 15;
  // Within one tile, fewer rows than this many per column: a chunk's tables
  // of pairs for one column cost about as much to build as this many rows'
  // multiply-adds (on an AMD Zen 3 core, (n, 8192, m) for m = 2 to 12: the
  // direct product faster up to 24 rows at m = 2, 48 at m = 4, about 160 at
  // m = 8 and over 256 at m = 12).
  static constexpr std::size_t kRowsPerColumn = 12;
  // A pair's sum lies within 2 * 3 * 128 = 768, so 42 pairs keep a 16-bit
  // sum exact.
  static constexpr std::size_t kChunkCodes = 2 * (32767 / 768);
  static_assert(kChunkCodes <= std::size_t(group_limit(1)),
                "a chunk is a group of one-code segments");

  // Blocks of the plan's `run` chunks of codes, each block's rows of B read
  // once from memory and then from the cache by every tile and row block;
  // each tile's sums of a block are added into C once.
  static void multiply(const Product &p) {
    const std::size_t block_codes =
        std::size_t(p.plan.group) * std::size_t(p.plan.run);
    const std::size_t blocks = (p.n + kRows - 1) / kRows;
    for (std::size_t k0 = 0; k0 < p.k; k0 += block_codes) {
      const std::size_t k1 = p.k - k0 < block_codes ? p.k : k0 + block_codes;
      for (std::size_t c0 = 0; c0 < p.m; c0 += kColumns)
        // Row blocks of at most kRows rows, as even as they come: 5 as 3 + 2.
        for (std::size_t b = 0, r0 = 0; b < blocks; ++b) {
          const std::size_t rows = (p.n - r0 + blocks - b - 1) / (blocks - b);
          add_block(p, Span{k0, k1, c0, r0}, rows);
          r0 += rows;
        }
    }
  }

private:
  // Codes [k0, k1) of rows from r0, in columns from c0.
  struct Span {
    std::size_t k0, k1, c0, r0;
  };

  static void add_block(const Product &p, const Span &span, std::size_t rows) {
    switch (rows) {
    case 1:
      return add_block<1>(p, span);
    case 2:
      return add_block<2>(p, span);
    case 3:
      return add_block<3>(p, span);
    default:
      return add_block<4>(p, span);
    }
  }

  // A chunk's codes of a row, padded to whole loads of 16.
  static constexpr std::size_t kPaddedCodes = (kChunkCodes + 15) / 16 * 16;
  static_assert(kPaddedCodes >= kColumns, "the zeros serve a row of B");

  // The stand-ins' codes and rows of B: zeros, read in place.
  alignas(64) static constexpr std::int8_t kZeros[kPaddedCodes] = {};

  // A row's codes of a chunk, read 16 at a time: in A, or, where that would
  // read past A's end, in a copy padded with zero codes; zero codes for the
  // stand-in. Codes past the chunk's are read but never counted.
  struct RowCodes {
    const std::uint8_t *codes;
    alignas(16) std::uint8_t padded[kPaddedCodes];

    void read(const Product &p, std::size_t row, std::size_t k0,
              std::size_t count) {
      const std::size_t at = row * p.k + k0;
      if (!p.builds()) {
        codes = reinterpret_cast<const std::uint8_t *>(kZeros);
      } else if (p.n * p.k - at >= kPaddedCodes) {
        codes = p.A + at;
      } else {
        std::memset(padded, 0, sizeof padded);
        std::memcpy(padded, p.A + at, count);
        codes = padded;
      }
    }
  };

  // A chunk's rows of B, read `Bytes` at a time from `first`, `step` bytes
  // apart: in B, or, where a read would pass B's end (or a last, odd row
  // has no partner), in a copy padded with zeros; zeros, all at one place,
  // for the stand-in.
  template <std::size_t Bytes> struct BRows {
    const std::int8_t *first;
    std::size_t step;
    alignas(32) std::int8_t padded[kChunkCodes][kColumns];

    BRows(const Product &p, std::size_t k0, std::size_t count, std::size_t c0) {
      const std::size_t width = p.m - c0 < kColumns ? p.m - c0 : kColumns;
      const std::size_t rows = count + count % 2;
      if (!p.builds()) {
        first = kZeros;
        step = 0;
      } else if ((k0 + rows - 1) * p.m + c0 + Bytes <= p.k * p.m) {
        first = p.B + k0 * p.m + c0;
        step = p.m;
      } else {
        std::memset(padded, 0, rows * kColumns);
        for (std::size_t t = 0; t < count; ++t)
          std::memcpy(padded[t], p.B + (k0 + t) * p.m + c0, width);
        first = padded[0];
        step = kColumns;
      }
    }
  };

  // f(r) for each row r of a block, unrolled, so that the rows' registers
  // are named at compile time and stay registers.
  template <std::size_t R, class F> static void each_row(F f) {
    each_row(f, std::make_index_sequence<R>());
  }
  template <class F, std::size_t... I>
  static void each_row(F f, std::index_sequence<I...>) {
    (f(std::integral_constant<std::size_t, I>()), ...);
  }

  // A block of R rows' sums in a tile, in 32 bits, added into C at the end.
  template <std::size_t R>
  static void add_block(const Product &p, const Span &span) {
    alignas(32) std::int32_t sums[R][kColumns] = {};
    const std::size_t width =
        p.m - span.c0 < kColumns ? p.m - span.c0 : kColumns;
    for (std::size_t k0 = span.k0; k0 < span.k1; k0 += kChunkCodes) {
      const std::size_t count =
          span.k1 - k0 < kChunkCodes ? span.k1 - k0 : kChunkCodes;
      const Span chunk{k0, k0 + count, span.c0, span.r0};
      if (width <= kColumns / 4)
        add_chunk<R, NarrowTile<kColumns / 4>>(p, chunk, sums);
      else if (width <= kColumns / 2)
        add_chunk<R, NarrowTile<kColumns / 2>>(p, chunk, sums);
      else
        add_chunk<R, WholeTile>(p, chunk, sums);
    }
    for (std::size_t r = 0; r < R; ++r) {
      std::int32_t *row = p.C + (span.r0 + r) * p.m + span.c0;
      add_row(span.k0 == 0 ? p.start(span.c0) : row, sums[r], row, width);
    }
  }

  // How a tile's pairs of B's rows lie in registers of byte pairs, and how
  // their 16-bit sums widen into 32 columns. Whole: a pair's 32 columns in
  // two registers, `low` ones holding columns 0-7 and 16-23 and `high` ones
  // 8-15 and 24-31, as unpacking two rows interleaves them within each
  // 128-bit half.
  struct WholeTile {
    static constexpr std::size_t kPairs = 1; // per step
    static constexpr std::size_t kBytes = kColumns;
    static constexpr bool kHigh = true; // `high` registers used
    static __m256i first_pick() { return _mm256_set1_epi16(0x0100); }
    static __m256i pick_step() { return _mm256_set1_epi16(0x0202); }

    static void load(const std::int8_t *b, std::size_t step, bool, __m256i &low,
                     __m256i &high) {
      const __m256i first =
          _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b));
      const __m256i second =
          _mm256_loadu_si256(reinterpret_cast<const __m256i *>(b + step));
      low = _mm256_unpacklo_epi8(first, second);
      high = _mm256_unpackhi_epi8(first, second);
    }
    static void widen_into(std::int32_t *sums, __m256i low, __m256i high) {
      add_to(sums, _mm256_castsi256_si128(low));
      add_to(sums + 8, _mm256_castsi256_si128(high));
      add_to(sums + 16, _mm256_extracti128_si256(low, 1));
      add_to(sums + 24, _mm256_extracti128_si256(high, 1));
    }
  };

  // Narrow (at most 16 or 8 columns): two pairs a step, the first in the
  // low half of each register and the second in the high half, `low`
  // holding columns 0-7 and `high` 8-15 of each (none for 8 columns). A
  // last pair alone gets zeros in its high halves.
  template <std::size_t Columns> struct NarrowTile {
    static constexpr std::size_t kPairs = 2;
    static constexpr std::size_t kBytes = Columns;
    static constexpr bool kHigh = Columns > 8;
    static __m256i first_pick() {
      return _mm256_setr_epi16(0x0100, 0x0100, 0x0100, 0x0100, 0x0100, 0x0100,
                               0x0100, 0x0100, 0x0302, 0x0302, 0x0302, 0x0302,
                               0x0302, 0x0302, 0x0302, 0x0302);
    }
    static __m256i pick_step() { return _mm256_set1_epi16(0x0404); }

    static void load(const std::int8_t *b, std::size_t step, bool both,
                     __m256i &low, __m256i &high) {
      const __m256i first = rows(b, both ? b + 2 * step : nullptr);
      const __m256i second = rows(b + step, both ? b + 3 * step : nullptr);
      low = _mm256_unpacklo_epi8(first, second);
      if constexpr (kHigh)
        high = _mm256_unpackhi_epi8(first, second);
    }
    static void widen_into(std::int32_t *sums, __m256i low, __m256i high) {
      add_to(sums, _mm256_castsi256_si128(low));
      add_to(sums, _mm256_extracti128_si256(low, 1));
      if constexpr (kHigh) {
        add_to(sums + 8, _mm256_castsi256_si128(high));
        add_to(sums + 8, _mm256_extracti128_si256(high, 1));
      }
    }

  private:
    // A row's Columns bytes at `low` and at `high` (zeros if null) in the
    // two halves.
    static __m256i rows(const std::int8_t *low, const std::int8_t *high) {
      const __m256i first = _mm256_castsi128_si256(load_low<Columns>(low));
      return _mm256_inserti128_si256(
          first, high ? load_low<Columns>(high) : _mm_setzero_si128(), 1);
    }
  };

  // Eight 16-bit sums sign-extended and added into eight 32-bit ones.
  static void add_to(std::int32_t *sums, __m128i words) {
    auto *at = reinterpret_cast<__m256i *>(sums);
    _mm256_store_si256(at, _mm256_add_epi32(_mm256_load_si256(at),
                                            _mm256_cvtepi16_epi32(words)));
  }

  // A chunk's sums of R rows in a tile, in 16 bits, widened into `sums`.
  template <std::size_t R, class Tile>
  static void add_chunk(const Product &p, const Span &chunk,
                        std::int32_t (&sums)[R][kColumns]) {
    const std::size_t count = chunk.k1 - chunk.k0;
    const BRows<Tile::kBytes> b_rows(p, chunk.k0, count, chunk.c0);
    RowCodes codes[R];
    each_row<R>(
        [&](auto r) { codes[r].read(p, chunk.r0 + r, chunk.k0, count); });
    __m256i low[R], high[R];
    each_row<R>([&](auto r) { low[r] = high[r] = _mm256_setzero_si256(); });
    const std::size_t pairs = (count + 1) / 2;
    const __m256i three = _mm256_set1_epi8(3);
    const std::int8_t *b = b_rows.first;
    const std::size_t b_step = Tile::kPairs * 2 * b_rows.step;
    for (std::size_t q0 = 0; q0 < pairs; q0 += 8) {
      // Eight pairs of each row's codes, in both halves, to 2 bits.
      __m256i a[R];
      each_row<R>([&](auto r) {
        a[r] = _mm256_and_si256(
            _mm256_broadcastsi128_si256(_mm_loadu_si128(
                reinterpret_cast<const __m128i *>(codes[r].codes + 2 * q0))),
            three);
      });
      // Bytes 2q and 2q + 1 of a half, repeated: pair q's codes.
      __m256i pick = Tile::first_pick();
      const std::size_t q1 = pairs - q0 < 8 ? pairs : q0 + 8;
      for (std::size_t q = q0; q < q1; q += Tile::kPairs, b += b_step) {
        __m256i b_low, b_high;
        Tile::load(b, b_rows.step, q + 1 < q1, b_low, b_high);
        each_row<R>([&](auto r) {
          const __m256i pair = _mm256_shuffle_epi8(a[r], pick);
          low[r] = _mm256_add_epi16(low[r], _mm256_maddubs_epi16(pair, b_low));
          if constexpr (Tile::kHigh)
            high[r] =
                _mm256_add_epi16(high[r], _mm256_maddubs_epi16(pair, b_high));
        });
        pick = _mm256_add_epi16(pick, Tile::pick_step());
      }
    }
    each_row<R>([&](auto r) { Tile::widen_into(sums[r], low[r], high[r]); });
  }

  // to[0 .. width) = from[0 .. width) + sums; the additions wrap.
  static void add_row(const std::int32_t *from, const std::int32_t *sums,
                      std::int32_t *to, std::size_t width) {
    if (width < kColumns) {
      for (std::size_t c = 0; c < width; ++c)
        to[c] = wrapping_add(from[c], sums[c]);
      return;
    }
    for (std::size_t c = 0; c < kColumns; c += 8)
      _mm256_storeu_si256(
          reinterpret_cast<__m256i *>(to + c),
          _mm256_add_epi32(
              _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from + c)),
              _mm256_load_si256(reinterpret_cast<const __m256i *>(sums + c))));
  }
};

} // namespace VESK_TARGET
} // namespace vesk
