// The fast segment lookup-table kernel, written once over a few vector
// operations and compiled by each instruction-set file under its own flags
// and namespace (see simd_tables.h).
//
// The plan (memory_plan.h) cuts the work into row blocks, groups of
// segments and column tiles. For each group the rows' pattern indices are
// formed; for each tile the group's tables are built for that tile only;
// then every row sums its group's table rows in 16-bit lanes held in
// registers and widens them into C once per group. Going by groups, the
// indices of a few rows at a time are formed right before their use; going
// by tiles, a block's indices are formed once and serve every tile, whose
// column of C is summed into in a contiguous copy. A matrix-vector product
// gathers its table entries instead.
//
// An instruction set provides `Narrow` (16 lanes) and `Wide` (its widest
// vector) for simd_accumulate.h, `Patterns` for simd_indices.h and
// simd_gather.h, and `kTraits` for the plan.
#pragma once

#include "simd_accumulate.h"
#include "simd_gather.h"
#include "simd_indices.h"

namespace vesk {
namespace VESK_TARGET {

inline std::size_t block_end(std::size_t r0, std::size_t n,
                             std::size_t block_rows) {
  return n - r0 < block_rows ? n : r0 + block_rows;
}

template <class Isa, std::size_t Stride>
void multiply_by_groups(const std::uint8_t *A, const std::int8_t *B,
                        std::int32_t *C, std::size_t n, std::size_t k,
                        std::size_t m, const MemoryPlan &plan,
                        std::int16_t *tables, std::uint8_t *indices) {
  const Grid grid(plan);
  const bool one_tile = m <= plan.tile;
  const std::size_t group = std::size_t(plan.group);
  for (std::size_t r0 = 0; r0 < n; r0 += plan.block_rows) {
    const std::size_t r1 = block_end(r0, n, plan.block_rows);
    for (std::size_t s0 = 0; s0 < k; s0 += grid.group_codes) {
      const Group segments = grid.group_at(s0, k);
      if (one_tile)
        build_group_tables<Stride>(B, m, grid, segments, Tile{0, m}, tables);
      for (std::size_t i0 = r0; i0 < r1; i0 += plan.index_rows) {
        const std::size_t i1 = block_end(i0, r1, plan.index_rows);
        form_indices<typename Isa::Patterns>(A, k, plan.segment, segments, i0,
                                             i1, r1, indices, group);
        for (std::size_t c0 = 0; c0 < m; c0 += plan.tile) {
          const Tile tile = grid.tile_at(c0, m);
          if (!one_tile)
            build_group_tables<Stride>(B, m, grid, segments, tile, tables);
          accumulate_tile<Isa, Stride>(indices, group, segments.count(),
                                       tables, grid.table_stride, tile.width,
                                       C + i0 * m + c0, m, i1 - i0);
        }
      }
    }
  }
}

template <class Isa, std::size_t Stride>
void multiply_by_tiles(const std::uint8_t *A, const std::int8_t *B,
                       std::int32_t *C, std::size_t n, std::size_t k,
                       std::size_t m, const MemoryPlan &plan,
                       std::int16_t *tables, std::uint8_t *indices,
                       std::int32_t *column) {
  const Grid grid(plan);
  const std::size_t group = std::size_t(plan.group);
  for (std::size_t r0 = 0; r0 < n; r0 += plan.block_rows) {
    const std::size_t r1 = block_end(r0, n, plan.block_rows);
    const std::size_t rows = r1 - r0;
    // Each group's indices, rows after rows.
    const auto group_indices = [&](std::size_t s0) {
      return indices + s0 / grid.group_codes * rows * group;
    };
    for (std::size_t s0 = 0; s0 < k; s0 += grid.group_codes)
      form_indices<typename Isa::Patterns>(A, k, plan.segment,
                                           grid.group_at(s0, k), r0, r1, r1,
                                           group_indices(s0), group);
    for (std::size_t c0 = 0; c0 < m; c0 += plan.tile) {
      const Tile tile = grid.tile_at(c0, m);
      const std::size_t w = tile.width;
      std::int32_t *c_tile = C + r0 * m + c0;
      // Rows of a wide C lie thousands of bytes apart and would share a few
      // cache sets; the copy's rows are adjacent.
      for (std::size_t r = 0; r < rows; ++r)
        std::memcpy(column + r * w, c_tile + r * m, w * sizeof(std::int32_t));
      for (std::size_t s0 = 0; s0 < k; s0 += grid.group_codes) {
        const Group segments = grid.group_at(s0, k);
        build_group_tables<Stride>(B, m, grid, segments, tile, tables);
        accumulate_tile<Isa, Stride>(group_indices(s0), group,
                                     segments.count(), tables,
                                     grid.table_stride, w, column, w, rows);
      }
      for (std::size_t r = 0; r < rows; ++r)
        std::memcpy(c_tile + r * m, column + r * w, w * sizeof(std::int32_t));
    }
  }
}

template <class Isa, std::size_t Stride>
void multiply_tiled(const std::uint8_t *A, const std::int8_t *B,
                    std::int32_t *C, std::size_t n, std::size_t k,
                    std::size_t m, const MemoryPlan &plan,
                    const CallMemory &memory) {
  auto *tables = static_cast<std::int16_t *>(memory.at(plan.tables));
  auto *indices = static_cast<std::uint8_t *>(memory.at(plan.indices));
  if (plan.order == LoopOrder::by_tiles)
    multiply_by_tiles<Isa, Stride>(
        A, B, C, n, k, m, plan, tables, indices,
        static_cast<std::int32_t *>(memory.at(plan.column)));
  else
    multiply_by_groups<Isa, Stride>(A, B, C, n, k, m, plan, tables, indices);
}

// Adds A x B into C as the plan for this instruction set says.
template <class Isa>
void accumulate_product(const std::uint8_t *A, const std::int8_t *B,
                        std::int32_t *C, std::size_t n, std::size_t k,
                        std::size_t m, int caller_segment,
                        Workspace workspace) {
  const MemoryPlan plan =
      plan_memory(n, k, m, caller_segment, workspace, Isa::kTraits);
  const CallMemory memory(plan, workspace);
  if (plan.order == LoopOrder::gather)
    return multiply_by_gathers<typename Isa::Patterns>(
        A, B, C, n, k, plan, static_cast<std::int16_t *>(memory.at(plan.tables)));
  static_assert(Isa::kTraits.widest_tile == 32, "strides 16 and 32 only");
  if (plan.row_stride == 16)
    return multiply_tiled<Isa, 16>(A, B, C, n, k, m, plan, memory);
  multiply_tiled<Isa, 32>(A, B, C, n, k, m, plan, memory);
}

} // namespace VESK_TARGET
} // namespace vesk
