// A product with few columns, a few rows at a time: the rows' codes of a
// chunk are transposed so that one register holds the same pairs of codes of
// every row, and each column's tables of pairs (16 patterns each) are looked
// up with shuffles of registers. The transposition, and each index's
// preparation, is shared by the columns.
//
// Part of the fast kernels, compiled once per instruction set (see
// simd_tables.h). `Ops` provides kRows, kColumns (the most it serves),
// kChunkCodes, kChunkEntries (16-bit entries of a column's tables for a
// chunk), kLookups (index registers of a chunk) and kLookupEntries (entries
// of one lookup's tables); Lanes, load (a chunk of the rows' codes,
// transposed), stand_in (lanes of valid indices, varied by a seed, for the
// lookups alone), index (lookup q's index, prepared), Chunk and
// chunk_zero, add_lookup (a lookup's entries added to a column's chunk
// sums), Sums, zero, add_chunk (a chunk's sums widened into a column's),
// row_sums and build_chunk (a column's tables from its values).
#pragma once

#include "simd_tables.h"
#include "wrapping_add.h"

#include <utility>

namespace vesk {
namespace VESK_TARGET {

template <class Ops> struct TransposedProduct {
  // Blocks of the plan's chunks of codes, after the plan's lead, if any:
  // a first block of one short chunk.
  static void multiply(const Product &p, std::int16_t *tables) {
    const std::size_t block_codes =
        std::size_t(p.plan.group) * Ops::kChunkCodes;
    for (std::size_t c0 = 0, codes = 0; c0 < p.k; c0 += codes) {
      codes = c0 == 0 && p.plan.lead > 0 ? p.plan.lead : block_codes;
      if (codes > p.k - c0)
        codes = p.k - c0;
      if (p.builds())
        build_block(p, c0, codes, tables);
      add_block_sums_to(p, c0, codes, tables,
                        std::make_index_sequence<Ops::kColumns>());
    }
  }

private:
  // Every column's tables for codes c0 .. c0 + codes, chunk after chunk;
  // codes past k count as zero.
  static void build_block(const Product &p, std::size_t c0, std::size_t codes,
                          std::int16_t *tables) {
    for (std::size_t c = 0; c < codes; c += Ops::kChunkCodes)
      for (std::size_t column = 0; column < p.m; ++column) {
        int values[Ops::kChunkCodes] = {};
        const std::int8_t *b = p.B + (c0 + c) * p.m + column;
        for (std::size_t t = 0; t < Ops::kChunkCodes && c + t < codes; ++t)
          values[t] = b[t * p.m];
        Ops::build_chunk(values,
                         tables + (c / Ops::kChunkCodes * p.m + column) *
                                      Ops::kChunkEntries);
      }
  }

  // add_block_sums for every row, with the number of columns known at
  // compile time so that their sums stay in registers.
  template <std::size_t... Less>
  static void add_block_sums_to(const Product &p, std::size_t c0,
                                std::size_t codes, const std::int16_t *tables,
                                std::index_sequence<Less...>) {
    using Rows = void (*)(const Product &, std::size_t, std::size_t,
                          std::size_t, const std::int16_t *);
    static constexpr Rows kByColumns[] = {&add_block_sums<Less + 1>...};
    const Rows add = kByColumns[p.m - 1];
    for (std::size_t r0 = 0; r0 < p.n; r0 += Ops::kRows)
      add(p, r0, c0, codes, tables);
  }

  // C of rows r0 .. r0 + kRows (fewer at the end) plus the sums of their
  // codes c0 .. c0 + codes; the first block adds to the bias, or to zero.
  // Each index serves every column before the next is prepared.
  template <std::size_t M>
  static void add_block_sums(const Product &p, std::size_t r0, std::size_t c0,
                             std::size_t codes, const std::int16_t *tables) {
    const std::size_t rows = p.n - r0 < Ops::kRows ? p.n - r0 : Ops::kRows;
    const std::uint8_t *first = p.A + r0 * p.k + c0;
    typename Ops::Sums sums[M];
    for (std::size_t column = 0; column < M; ++column)
      sums[column] = Ops::zero();
    for (std::size_t c = 0; c < codes; c += Ops::kChunkCodes) {
      const std::size_t left = codes - c;
      const typename Ops::Lanes lanes =
          p.builds()
              ? Ops::load(first + c, p.k, rows,
                          left < Ops::kChunkCodes ? left : Ops::kChunkCodes)
              : Ops::stand_in(r0 + c);
      const std::int16_t *table =
          tables + c / Ops::kChunkCodes * M * Ops::kChunkEntries;
      typename Ops::Chunk chunk[M];
      for (std::size_t column = 0; column < M; ++column)
        chunk[column] = Ops::chunk_zero();
      for (std::size_t q = 0; q < Ops::kLookups; ++q) {
        const typename Ops::Index index = Ops::index(lanes, q);
        for (std::size_t column = 0; column < M; ++column)
          chunk[column] = Ops::add_lookup(chunk[column], index,
                                          table + column * Ops::kChunkEntries +
                                              q * Ops::kLookupEntries);
      }
      for (std::size_t column = 0; column < M; ++column)
        Ops::add_chunk(sums[column], chunk[column]);
    }
    add_row_sums<M>(p, r0, rows, c0 == 0, sums);
  }

  template <std::size_t M>
  static void add_row_sums(const Product &p, std::size_t r0, std::size_t rows,
                           bool first_block, const typename Ops::Sums *sums) {
    alignas(64) std::int32_t by_column[M][Ops::kRows];
    for (std::size_t column = 0; column < M; ++column)
      Ops::row_sums(sums[column], by_column[column]);
    for (std::size_t i = 0; i < rows; ++i) {
      std::int32_t *out = p.C + (r0 + i) * M;
      const std::int32_t *before = first_block ? p.start(0) : out;
      for (std::size_t column = 0; column < M; ++column)
        out[column] = wrapping_add(before[column], by_column[column][i]);
    }
  }
};

// The table entry of pattern i (d0 + 4 d1) for a pair of codes whose values
// are v0 and v1.
inline int pair_entry(int i, int v0, int v1) {
  return (i & 3) * v0 + (i >> 2) * v1;
}

} // namespace VESK_TARGET
} // namespace vesk
