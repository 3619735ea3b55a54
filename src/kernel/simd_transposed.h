// A product with few columns, a few rows at a time: the rows' codes of a
// chunk are transposed so that one register holds the same pairs of codes of
// every row, and each column's tables of pairs (16 patterns each) are looked
// up with shuffles of registers. The transposition, and each index's
// preparation, is shared by the columns. Chunks lie as the ChunkGrid
// (memory_plan.h) lays them; where the plan says so (rows shorter than a
// page), the next rows' chunks are fetched while these are looked up.
//
// Part of the fast kernels, compiled once per instruction set (see
// simd_tables.h). `Ops` provides kRows, kColumns (the most it serves),
// kPassColumns (columns looked up in one pass over a chunk), kSumChains
// (chunk sums a pass of one column spreads its lookups over), kChunkCodes,
// kChunkEntries (a column's tables for a chunk, in 16-bit units), kLookups
// (lookups of a chunk) and kLookupEntries (one lookup's tables, likewise);
// Lanes, load (a chunk of the rows' codes, transposed), lookups_for (the
// first lookups that hold a chunk's first codes), stand_in (lanes of
// valid indices, varied by a seed, for the lookups alone), index (lookup q's
// index, prepared), Chunk and chunk_start (a column's chunk sums before a
// number of lookups), add_lookup (a lookup's entries added to them), Sums,
// zero, add_chunk (a chunk's sums widened into a column's), row_sums and
// build_chunk (a column's tables from its values).
#pragma once

#include "simd_indices.h"
#include "simd_tables.h"
#include "wrapping_add.h"

#include <utility>

namespace vesk {
namespace VESK_TARGET {

// For rows whose lookup q holds codes q p .. q p + p - 1 of a chunk (p =
// `per_lookup`): the first lookups that hold its first `codes` codes.
constexpr std::size_t lookups_in_order(std::size_t codes,
                                       std::size_t per_lookup) {
  return (codes + per_lookup - 1) / per_lookup;
}

template <class Ops> struct TransposedProduct {
  // Blocks of the plan's number of chunks, each chunk's tables built once
  // for every row.
  static void multiply(const Product &p, std::int16_t *tables) {
    const ChunkGrid chunks{p.k, Ops::kChunkCodes, p.plan.lead};
    const std::size_t count = chunks.count();
    for (std::size_t i0 = 0; i0 < count; i0 += std::size_t(p.plan.group)) {
      const std::size_t i1 = block_end(i0, count, std::size_t(p.plan.group));
      if (p.builds())
        build_block(p, chunks, i0, i1, tables);
      add_block_sums_to(p, chunks, i0, i1, tables,
                        std::make_index_sequence<Ops::kColumns>());
    }
  }

private:
  // Every column's tables for chunks i0 .. i1, chunk after chunk: the
  // values of a window's codes outside its chunk count as zero.
  static void build_block(const Product &p, const ChunkGrid &chunks,
                          std::size_t i0, std::size_t i1,
                          std::int16_t *tables) {
    for (std::size_t i = i0; i < i1; ++i) {
      const std::size_t window = chunks.window(i);
      const std::size_t from = chunks.start(i) - window;
      const std::size_t to = chunks.end(i) - window;
      for (std::size_t column = 0; column < p.m; ++column) {
        int values[Ops::kChunkCodes] = {};
        const std::int8_t *b = p.B + window * p.m + column;
        for (std::size_t t = from; t < to; ++t)
          values[t] = b[t * p.m];
        Ops::build_chunk(values, tables + ((i - i0) * p.m + column) *
                                              Ops::kChunkEntries);
      }
    }
  }

  // add_block_sums for every row, with the number of columns known at
  // compile time so that their sums stay in registers.
  template <std::size_t... Less>
  static void add_block_sums_to(const Product &p, const ChunkGrid &chunks,
                                std::size_t i0, std::size_t i1,
                                const std::int16_t *tables,
                                std::index_sequence<Less...>) {
    using Rows = void (*)(const Product &, std::size_t, const ChunkGrid &,
                          std::size_t, std::size_t, const std::int16_t *);
    static constexpr Rows kByColumns[] = {&add_block_sums<Less + 1>...};
    const Rows add = kByColumns[p.m - 1];
    for (std::size_t r0 = 0; r0 < p.n; r0 += Ops::kRows)
      add(p, r0, chunks, i0, i1, tables);
  }

  // C of rows r0 .. r0 + kRows (fewer at the end) plus the sums of their
  // chunks i0 .. i1; the first block adds to the bias, or to zero. Each
  // index serves every column before the next is prepared.
  template <std::size_t M>
  static void add_block_sums(const Product &p, std::size_t r0,
                             const ChunkGrid &chunks, std::size_t i0,
                             std::size_t i1, const std::int16_t *tables) {
    const std::size_t rows = p.n - r0 < Ops::kRows ? p.n - r0 : Ops::kRows;
    const std::uint8_t *first = p.A + r0 * p.k;
    typename Ops::Sums sums[M];
    for (std::size_t column = 0; column < M; ++column)
      sums[column] = Ops::zero();
    const std::int16_t *table = tables;
    const std::size_t table_entries = M * Ops::kChunkEntries;
    // Rows shorter than a chunk have one chunk, of which only the lookups
    // that hold their codes run.
    const std::size_t short_lookups = Ops::lookups_for(p.k);
    if (!p.builds()) {
      // The lookups alone: one set of stand-ins serves every chunk, as the
      // shuffles' cost does not depend on the indices they get.
      const typename Ops::Lanes lanes = Ops::stand_in(r0);
      if (p.k < Ops::kChunkCodes)
        add_chunk_sums<M>(lanes, table, sums, short_lookups);
      else
        for (std::size_t i = i0; i < i1; ++i, table += table_entries)
          add_chunk_sums<M>(lanes, table, sums);
    } else if (p.k < Ops::kChunkCodes) {
      // Read whole wherever A goes on past the last of these rows: the next
      // rows' codes meet tables of zeros.
      const bool whole = (r0 + rows - 1) * p.k + Ops::kChunkCodes <= p.n * p.k;
      add_chunk_sums<M>(load(first, p.k, rows, whole ? Ops::kChunkCodes : p.k),
                        table, sums, short_lookups);
    } else {
      const bool ahead = p.plan.fetch_rows_ahead && r0 + 2 * Ops::kRows <= p.n;
      for (std::size_t i = i0; i < i1; ++i, table += table_entries) {
        if (ahead)
          prefetch_window(first + Ops::kRows * p.k + chunks.window(i), p.k);
        add_chunk_sums<M>(
            load(first + chunks.window(i), p.k, rows, chunks.window_codes(i)),
            table, sums);
      }
    }
    add_row_sums<M>(p, r0, rows, i0 == 0, sums);
  }

  // A chunk's first `lookups` lookups for M columns, its tables at `table`,
  // widened into their sums: kPassColumns columns at a time, so that their
  // chunk sums stay in registers, each pass going over the lookups anew.
  // A pass of c columns deals its lookups out in turn to kSumChains / c
  // chunk sums of each column (where that is more than one), so that where
  // a lookup's last step adds into its sum with a long latency, one
  // column's lookups do not wait on each other.
  template <std::size_t M, std::size_t First = 0>
  static void add_chunk_sums(const typename Ops::Lanes &lanes,
                             const std::int16_t *table,
                             typename Ops::Sums *sums,
                             std::size_t lookups = Ops::kLookups) {
    constexpr std::size_t kPass =
        M - First < Ops::kPassColumns ? M - First : Ops::kPassColumns;
    constexpr std::size_t kChains =
        kPass < Ops::kSumChains ? Ops::kSumChains / kPass : 1;
    typename Ops::Chunk chunk[kChains][kPass];
    for (std::size_t c = 0; c < kChains; ++c)
      for (std::size_t column = 0; column < kPass; ++column)
        chunk[c][column] =
            Ops::chunk_start((lookups + kChains - 1 - c) / kChains);
    const std::int16_t *pass_table = table + First * Ops::kChunkEntries;
    for (std::size_t q = 0; q < lookups; ++q) {
      const typename Ops::Index index = Ops::index(lanes, q);
      typename Ops::Chunk *chain = chunk[q % kChains];
      for (std::size_t column = 0; column < kPass; ++column)
        chain[column] = Ops::add_lookup(
            chain[column], index,
            pass_table + column * Ops::kChunkEntries + q * Ops::kLookupEntries);
    }
    for (std::size_t c = 0; c < kChains; ++c)
      for (std::size_t column = 0; column < kPass; ++column)
        Ops::add_chunk(sums[First + column], chunk[c][column]);
    if constexpr (First + kPass < M)
      add_chunk_sums<M, First + kPass>(lanes, table, sums, lookups);
  }

  // Ops::load, its whole windows apart so that they take the shortest path.
  static typename Ops::Lanes load(const std::uint8_t *window, std::size_t k,
                                  std::size_t rows, std::size_t codes) {
    if (rows == Ops::kRows && codes == Ops::kChunkCodes)
      return Ops::load(window, k, Ops::kRows, Ops::kChunkCodes);
    return Ops::load(window, k, rows, codes);
  }

  // The next rows' window of a chunk, into the second-level cache: into the
  // first, calls alternating in one process on an AMD Zen 4 core,
  // (16384, 1024, m) for m = 1, 4 and 8 and (32768, 512, 2) measured
  // 1.03-1.13 times as slow, m = 10 and 14 the same, and only m = 12
  // faster.
  VESK_ALWAYS_INLINE static void prefetch_window(const std::uint8_t *window,
                                                 std::size_t k) {
    for (std::size_t i = 0; i < Ops::kRows; ++i, window += k) {
      prefetch_codes_l2(window);
      prefetch_codes_l2(window + Ops::kChunkCodes - 1);
    }
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

} // namespace VESK_TARGET
} // namespace vesk
