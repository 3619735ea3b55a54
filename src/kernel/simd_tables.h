// Groups of segments and the building of their tables, for one column tile.
//
// Part of the fast kernels, compiled once per instruction set: each kernel
// file defines VESK_TARGET, the namespace of its copy, before including it.
// No standard-library template with an out-of-line body is used, so that the
// linker can never hand one copy's code to another.
#pragma once

#include "memory_plan.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <immintrin.h>

#ifndef VESK_TARGET
#error "define VESK_TARGET, the instruction set's namespace, first"
#endif

namespace vesk {
namespace VESK_TARGET {

// Consecutive segments sharing a pass: `full` segments of the plan's length,
// then possibly the short last segment of k, of `short_codes` codes.
struct Group {
  std::size_t first_code; // in a row of A
  int full;
  int short_codes;
  int count() const { return full + (short_codes > 0); }
};

// Columns [column, column + width) of C and B.
struct Tile {
  std::size_t column;
  std::size_t width;
};

// How the plan's groups and tiles lie along k and m.
struct Grid {
  int segment;
  std::size_t group_codes; // codes per whole group
  std::size_t tile;        // columns per whole tile
  explicit Grid(const MemoryPlan &plan)
      : segment(plan.segment),
        group_codes(std::size_t(plan.segment) * plan.group), tile(plan.tile) {}

  // Entries of a table whose rows hold `stride` entries.
  std::size_t table_entries(std::size_t stride) const {
    return (std::size_t{1} << (2 * segment)) * stride;
  }

  Group group_at(std::size_t s0, std::size_t k) const {
    const std::size_t codes = k - s0 < group_codes ? k - s0 : group_codes;
    const std::size_t b = std::size_t(segment);
    return Group{s0, int(codes / b), int(codes % b)};
  }
  Tile tile_at(std::size_t c0, std::size_t m) const {
    return Tile{c0, m - c0 < tile ? m - c0 : tile};
  }
};

inline std::size_t block_end(std::size_t r0, std::size_t n,
                             std::size_t block_rows) {
  return n - r0 < block_rows ? n : r0 + block_rows;
}

// One call's operands and plan. The first group of every row adds to the
// bias row, or to zero, rather than to C, so C is never read before it is
// written.
struct Product {
  const std::uint8_t *A;
  const std::int8_t *B;
  std::int32_t *C;
  const std::int32_t *bias; // null: rows start at zero
  std::size_t n, k, m;
  const MemoryPlan &plan;
  Grid grid;

  // What row values start from, for the columns from c0 on (stride 0).
  const std::int32_t *start(std::size_t c0) const {
    alignas(64) static const std::int32_t zeros[32] = {};
    return bias != nullptr ? bias + c0 : zeros;
  }
};

// A row of B as `Stride` 16-bit values, those past the tile's width zero.
// Where the whole stride lies within B (`may_overread`), it is read in full
// and the excess cleared, which vectorises; else only the width is read.
template <std::size_t Stride>
void load_step(std::int16_t *__restrict step,
               const std::int8_t *__restrict b_row, std::size_t width,
               bool may_overread) {
  if (width == Stride) {
    for (std::size_t c = 0; c < Stride; ++c)
      step[c] = b_row[c];
  } else if (may_overread) {
    for (std::size_t c = 0; c < Stride; ++c) {
      const std::int16_t value = b_row[c];
      step[c] = c < width ? value : 0;
    }
  } else {
    for (std::size_t c = 0; c < Stride; ++c)
      step[c] = c < width ? b_row[c] : 0;
  }
}

// Fills the 4^L rows of a segment's table for one tile; `b_row` is the
// segment's first row of B at the tile's first column, rows m apart. Rows
// are `Stride` entries, those past the tile's width zero. The patterns below
// 4^l already hold every combination of the first l rows, so pattern
// d * 4^l + j is pattern j plus d times row l: one addition per entry. Every
// entry lies within 3 * 128 * L, so 16 bits never wrap.
template <std::size_t Stride>
void build_table(std::int16_t *__restrict table,
                 const std::int8_t *__restrict b_row, std::size_t m, int L,
                 std::size_t width, bool may_overread) {
  for (std::size_t c = 0; c < Stride; ++c)
    table[c] = 0;
  std::size_t filled = 1;
  for (int l = 0; l < L; ++l, b_row += m) {
    std::int16_t step[Stride];
    load_step<Stride>(step, b_row, width, may_overread);
    std::int16_t *__restrict once = table + filled * Stride;
    std::int16_t *__restrict twice = once + filled * Stride;
    std::int16_t *__restrict thrice = twice + filled * Stride;
    for (std::size_t j = 0; j < filled * Stride; j += Stride)
      for (std::size_t c = 0; c < Stride; ++c) {
        const int entry = table[j + c], value = step[c];
        once[j + c] = static_cast<std::int16_t>(entry + value);
        twice[j + c] = static_cast<std::int16_t>(entry + 2 * value);
        thrice[j + c] = static_cast<std::int16_t>(entry + 3 * value);
      }
    filled *= 4;
  }
}

template <std::size_t Stride>
void build_group_tables(const Product &p, const Group &group, const Tile &tile,
                        std::int16_t *tables) {
  const Grid &grid = p.grid;
  const std::int8_t *const b_end = p.B + p.k * p.m;
  for (int g = 0; g < group.count(); ++g) {
    const int L = g < group.full ? grid.segment : group.short_codes;
    const std::int8_t *b_rows =
        p.B +
        (group.first_code + std::size_t(grid.segment) * std::size_t(g)) * p.m +
        tile.column;
    // The next segment's rows of B are m apart: fetch them while this
    // table is built.
    if (g + 1 < group.count())
      for (int l = 0; l < grid.segment; ++l)
        _mm_prefetch(reinterpret_cast<const char *>(
                         b_rows + (std::size_t(grid.segment) + l) * p.m),
                     _MM_HINT_T0);
    const std::int8_t *last_row = b_rows + std::size_t(L - 1) * p.m;
    const bool may_overread = std::size_t(b_end - last_row) >= Stride;
    build_table<Stride>(tables + std::size_t(g) * grid.table_entries(Stride),
                        b_rows, p.m, L, tile.width, may_overread);
  }
}

} // namespace VESK_TARGET
} // namespace vesk
