// The fast segment lookup-table kernel, written once over a few vector
// operations and compiled by each instruction-set file under its own flags
// and namespace (see simd_tables.h).
//
// The plan (memory_plan.h) cuts the work into row blocks, groups of
// segments and column tiles. For each group the rows' pattern indices are
// formed; for each tile the group's tables are built for that tile only;
// then every row sums its group's table rows in 16-bit lanes held in
// registers and widens them into C once per group. Indices are formed for a
// run of groups at once where rows lie pages apart, so that each row is read
// in runs of a few lines, and, with segments of 4 codes, by the first tile's
// lookups of the rows a chunk before, so that waiting on A overlaps waiting
// on the tables. Going by groups, a few rows' indices are kept at a time, or
// with several tiles a block's; going by tiles, a block's indices of every
// run are kept and serve every tile, whose column of C is summed into in a
// copy with adjacent rows. A single tile goes by tiles where a block's
// indices fit: they are formed before its lookups, each row read whole, so
// that A streams in order. A product of a few columns transposes rows
// instead (simd_transposed.h).
//
// An instruction set provides `Narrow` (16 lanes) and `Wide` (its widest
// vector) for simd_accumulate.h, `Patterns` for simd_indices.h,
// `Transposed` for simd_transposed.h and `kConfig`, its target config.
#pragma once

#include "simd_accumulate.h"
#include "simd_direct.h"
#include "simd_indices.h"
#include "simd_transposed.h"

#include <memory>
#include <type_traits>

namespace vesk {
namespace VESK_TARGET {

// A group's tables for one tile, rows of Own entries, summed into its rows.
template <class Isa, std::size_t Own>
void multiply_tile_as(const Product &p, const Group &segments, const Tile &tile,
                      bool build, std::int16_t *tables,
                      const std::uint8_t *indices, std::size_t index_stride,
                      const Rows &into,
                      const IndicesAhead<typename Isa::Patterns> &ahead) {
  if (build)
    build_group_tables<Own>(p, segments, tile, tables);
  accumulate_tile<Isa, Own>(indices, index_stride, segments.count(), tables,
                            p.grid.table_entries(Own), tile.width, into, ahead);
}

// The same for any tile of a plan whose rows hold Stride entries. The last
// tile of a wide product may be much narrower than the others: its tables
// get rows only as wide as it needs, so that its lookups and its tables'
// building do not cost a whole tile's.
template <class Isa, std::size_t Stride>
void multiply_tile(const Product &p, const Group &segments, const Tile &tile,
                   bool build, std::int16_t *tables,
                   const std::uint8_t *indices, std::size_t index_stride,
                   const Rows &into,
                   const IndicesAhead<typename Isa::Patterns> &ahead) {
  const auto as = [&](auto own) {
    multiply_tile_as<Isa, decltype(own)::value>(
        p, segments, tile, build, tables, indices, index_stride, into, ahead);
  };
  using std::integral_constant;
  if constexpr (Stride > Isa::kConfig.lanes) {
    switch (table_row_stride(tile.width, Isa::kConfig.lanes)) {
    case 2:
      return as(integral_constant<std::size_t, 2>());
    case 4:
      return as(integral_constant<std::size_t, 4>());
    case 8:
      return as(integral_constant<std::size_t, 8>());
    case Isa::kConfig.lanes:
      return as(integral_constant<std::size_t, Isa::kConfig.lanes>());
    default:
      break;
    }
  }
  as(integral_constant<std::size_t, Stride>());
}

template <class Isa, std::size_t Stride>
void multiply_by_groups(const Product &p, std::int16_t *tables,
                        std::uint8_t *indices) {
  const MemoryPlan &plan = p.plan;
  const Grid &grid = p.grid;
  const bool one_tile = p.m <= plan.tile;
  const std::size_t group = std::size_t(plan.group);
  // A row's indices of a run: `width` bytes; kept for the whole block when
  // the run spans several groups, else for two chunks of rows in turn.
  const std::size_t width = std::size_t(plan.run) * group;
  const bool kept = plan.run > 1;
  const auto indices_at = [&](std::size_t r0, std::size_t row) {
    const std::size_t i = row - r0, rows = plan.index_rows;
    return indices + (kept ? i : i / rows % 2 * rows + i % rows) * width;
  };
  // Only the first rows' indices of a run are formed before its lookups:
  // each row looked up in its first group and first tile forms those of the
  // row `lead_rows` rows on, so that the waits on A and on the tables
  // overlap. With one tile that is the next chunk of rows. Measured against
  // forming all of a chunk's before its lookups (on an AMD Zen 3 core):
  // (4096, 4096, m) for m = 12 to 64, (1024, 16384, 16), (65536, 512, 16)
  // and (16384, 1024, 16) 2-16% faster.
  using Ahead = IndicesAhead<typename Isa::Patterns>;
  const bool ahead = p.builds() && plan.segment == Ahead::kSegment;
  const std::size_t lead_rows =
      one_tile || plan.index_rows < kRowsAhead ? plan.index_rows : kRowsAhead;
  for (std::size_t r0 = 0; r0 < p.n; r0 += plan.block_rows) {
    const std::size_t r1 = block_end(r0, p.n, plan.block_rows);
    for (std::size_t run0 = 0; run0 < p.k;) {
      const std::size_t run1 = grid.run_end(run0, plan.run, p.k);
      const Group span = grid.span(run0, run1);
      for (std::size_t s0 = run0; s0 < run1; s0 = grid.next_group(s0)) {
        const Group segments = grid.group_at(s0, p.k);
        const std::size_t first = (s0 - run0) / std::size_t(plan.segment);
        if (one_tile && p.builds())
          build_group_tables<Stride>(p, segments, Tile{0, p.m}, tables);
        for (std::size_t i0 = r0; i0 < r1; i0 += plan.index_rows) {
          const std::size_t i1 = block_end(i0, r1, plan.index_rows);
          std::uint8_t *chunk = indices_at(r0, i0);
          const bool forms = p.builds() && s0 == run0;
          if (forms && (!ahead || i0 == r0))
            form_indices<typename Isa::Patterns>(
                p.A, p.k, plan.segment, span, i0,
                ahead ? block_end(i0, r1, lead_rows) : i1, r1, chunk, width);
          Ahead next;
          if (forms && ahead && i0 + lead_rows < r1)
            next = Ahead(p.A, p.k, span, i0 + lead_rows,
                         block_end(i1, r1, lead_rows), r1,
                         indices_at(r0, i0 + lead_rows), width);
          const std::uint8_t *row_indices =
              p.stand_in_indices ? p.stand_in_indices + (i0 - r0) * group
                                 : chunk + first;
          const std::size_t stride = p.stand_in_indices ? group : width;
          for (std::size_t c0 = 0; c0 < p.m; c0 += plan.tile) {
            const Tile tile = grid.tile_at(c0, p.m);
            std::int32_t *c_rows = p.C + i0 * p.m + c0;
            const Rows into{s0 == 0 ? p.start(c0) : c_rows, s0 == 0 ? 0 : p.m,
                            c_rows, p.m, i1 - i0};
            multiply_tile<Isa, Stride>(
                p, segments, tile, !one_tile && p.builds(), tables, row_indices,
                stride, into, c0 == 0 ? next : Ahead());
          }
        }
      }
      run0 = run1;
    }
  }
}

template <class Isa, std::size_t Stride>
void multiply_by_tiles(const Product &p, std::int16_t *tables,
                       std::uint8_t *indices, std::int32_t *column) {
  const MemoryPlan &plan = p.plan;
  const Grid &grid = p.grid;
  const std::size_t group = std::size_t(plan.group);
  const std::size_t width = std::size_t(plan.run) * group;
  // With several tiles the first forms each run's indices as by groups: the
  // first rows' before its lookups, the others during them, `kRowsAhead`
  // rows on. With one tile (no column copy) a block's run is its whole rows,
  // formed before any lookup, the rows read in order.
  const bool one_tile = column == nullptr;
  using Ahead = IndicesAhead<typename Isa::Patterns>;
  const bool ahead = p.builds() && plan.segment == Ahead::kSegment && !one_tile;
  for (std::size_t r0 = 0; r0 < p.n; r0 += plan.block_rows) {
    const std::size_t r1 = block_end(r0, p.n, plan.block_rows);
    const std::size_t rows = r1 - r0;
    const std::size_t formed = ahead ? block_end(r0, r1, kRowsAhead) : r1;
    // Each run's indices, rows after rows, a row's `width` bytes apart.
    const auto run_indices = [&](std::size_t run) {
      return indices + run * rows * width;
    };
    for (std::size_t c0 = 0; c0 < p.m; c0 += plan.tile) {
      const Tile tile = grid.tile_at(c0, p.m);
      std::int32_t *c_rows = p.C + r0 * p.m + c0;
      for (std::size_t run0 = 0, run = 0; run0 < p.k; ++run) {
        const std::size_t run1 = grid.run_end(run0, plan.run, p.k);
        const Group span = grid.span(run0, run1);
        Ahead next;
        if (p.builds() && c0 == 0) {
          form_indices<typename Isa::Patterns>(p.A, p.k, plan.segment, span, r0,
                                               formed, r1, run_indices(run),
                                               width);
          if (formed < r1)
            next = Ahead(p.A, p.k, span, formed, r1, r1,
                         run_indices(run) + (formed - r0) * width, width);
        }
        for (std::size_t s0 = run0; s0 < run1; s0 = grid.next_group(s0)) {
          // Rows of a wide C lie thousands of bytes apart and would share a
          // few cache sets: between the first group and the last, the tile
          // is summed into in the column copy, whose rows are adjacent.
          const bool first = s0 == 0, last = grid.next_group(s0) >= p.k;
          std::int32_t *sums = one_tile ? c_rows : column;
          const std::size_t stride = one_tile ? p.m : tile.width;
          const Rows into{first ? p.start(c0) : sums, first ? 0 : stride,
                          last ? c_rows : sums, last ? p.m : stride, rows};
          multiply_tile<Isa, Stride>(
              p, grid.group_at(s0, p.k), tile, p.builds(), tables,
              run_indices(run) + (s0 - run0) / std::size_t(plan.segment), width,
              into, s0 == run0 ? next : Ahead());
        }
        run0 = run1;
      }
    }
  }
}

template <class Isa, std::size_t Stride>
void multiply_tiled(const Product &p, const CallMemory &memory) {
  auto *tables = static_cast<std::int16_t *>(memory.at(p.plan.tables));
  auto *indices = static_cast<std::uint8_t *>(memory.at(p.plan.indices));
  if (p.plan.order == LoopOrder::by_tiles)
    multiply_by_tiles<Isa, Stride>(
        p, tables, indices,
        p.plan.column.place == Place::nowhere
            ? nullptr
            : static_cast<std::int32_t *>(memory.at(p.plan.column)));
  else
    multiply_by_groups<Isa, Stride>(p, tables, indices);
}

// Sets C to the bias rows (or zero) plus A x B, as the plan for this
// instruction set and this machine's caches says; or does its lookups
// alone.
template <class Isa>
void multiply(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,
              const std::int32_t *bias, std::size_t n, std::size_t k,
              std::size_t m, int segment_bound, Workspace workspace,
              Work work) {
  const PlanRequest request{
      n,         k,
      m,         segment_bound,
      workspace, reinterpret_cast<std::uintptr_t>(A) % kRegionAlignment};
  const CallMemory memory(request, Isa::kConfig, machine_caches());
  const MemoryPlan &plan = memory.plan();
  std::unique_ptr<StandIns> stand_ins;
  if (work == Work::lookups)
    stand_ins.reset(new StandIns(plan, memory));
  const Product p{A,
                  B,
                  C,
                  bias,
                  n,
                  k,
                  m,
                  plan,
                  Grid(plan),
                  work,
                  stand_ins ? stand_ins->block_indices() : nullptr};
  static_assert(Isa::kConfig.direct_rows == DirectProduct::kMaxRows,
                "the plan sends the direct product the rows it serves");
  if (plan.order == LoopOrder::direct)
    return DirectProduct::multiply(p);
  if constexpr (Isa::kConfig.transposed_rows > 0)
    if (plan.order == LoopOrder::transposed)
      return Isa::Transposed::multiply(
          p, static_cast<std::int16_t *>(memory.at(plan.tables)));
  static_assert(Isa::kConfig.widest_tile == 32, "rows of at most 32");
  switch (plan.row_stride) {
  case 2:
    return multiply_tiled<Isa, 2>(p, memory);
  case 4:
    return multiply_tiled<Isa, 4>(p, memory);
  case 8:
    return multiply_tiled<Isa, 8>(p, memory);
  case 16:
    return multiply_tiled<Isa, 16>(p, memory);
  default:
    return multiply_tiled<Isa, 32>(p, memory);
  }
}

} // namespace VESK_TARGET
} // namespace vesk

// Defines the target's entries that its row in the target table names (see
// kernel_targets.cpp): the product, and for tools its lookups alone, both by
// multiply<Isa>. Used once, in the target's namespace.
#define VESK_DEFINE_ENTRIES(Isa)                                               \
  void gemm(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,      \
            const std::int32_t *bias, std::size_t n, std::size_t k,            \
            std::size_t m, int segment_bound, Workspace workspace) {           \
    multiply<Isa>(A, B, C, bias, n, k, m, segment_bound, workspace,            \
                  Work::product);                                              \
  }                                                                            \
  void lookups(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,   \
               const std::int32_t *bias, std::size_t n, std::size_t k,         \
               std::size_t m, int segment_bound, Workspace workspace) {        \
    multiply<Isa>(A, B, C, bias, n, k, m, segment_bound, workspace,            \
                  Work::lookups);                                              \
  }
