// A matrix-vector product (m = 1) with segments of 4 codes: the tables of a
// group of segments lie back to back, 256 entries each, and every row forms
// the pattern indices of a chunk of segments in registers and gathers their
// entries; the group's segments past its last whole chunk are looked up one
// by one.
//
// Part of the fast kernels, compiled once per instruction set (see
// simd_tables.h). `Patterns` gathers chunks of kSegments segments: zero,
// add_chunk and sum.
#pragma once

#include "simd_indices.h"
#include "wrapping_add.h"

namespace vesk {
namespace VESK_TARGET {

constexpr std::size_t kGatherPatterns = 256;

template <class Patterns>
std::int32_t gathered_row_sum(const std::uint8_t *codes, const Group &group,
                              const std::int16_t *tables) {
  constexpr int chunk = int(Patterns::kSegments);
  const int chunked = group.full / chunk * chunk;
  typename Patterns::Acc acc = Patterns::zero();
  for (int g = 0; g < chunked; g += chunk)
    acc = Patterns::add_chunk(acc, codes + 4 * g,
                              tables + std::size_t(g) * kGatherPatterns);
  std::int32_t sum = Patterns::sum(acc);
  for (int g = chunked; g < group.full; ++g)
    sum += tables[std::size_t(g) * kGatherPatterns +
                  segment_index(codes + 4 * g, 4)];
  if (group.short_codes > 0)
    sum += tables[std::size_t(group.full) * kGatherPatterns +
                  segment_index(codes + 4 * group.full, group.short_codes)];
  return sum;
}

template <class Patterns>
void multiply_by_gathers(const Product &p, std::int16_t *tables) {
  const Grid &grid = p.grid;
  const std::size_t k = p.k;
  const std::int32_t start = p.bias != nullptr ? p.bias[0] : 0;
  // The last gather reads 16 bits past the last table.
  tables[std::size_t(p.plan.group) * kGatherPatterns] = 0;
  for (std::size_t r0 = 0; r0 < p.n; r0 += p.plan.block_rows) {
    const std::size_t r1 = block_end(r0, p.n, p.plan.block_rows);
    for (std::size_t s0 = 0; s0 < k; s0 += grid.group_codes) {
      const Group group = grid.group_at(s0, k);
      const std::size_t codes = 4 * std::size_t(group.full) + group.short_codes;
      build_group_tables<1>(p.B, 1, grid, group, Tile{0, 1}, tables);
      const std::uint8_t *row = p.A + r0 * k + s0;
      for (std::size_t r = r0; r < r1; ++r, row += k) {
        if (r + kPrefetchRows < r1) {
          prefetch_codes(row + kPrefetchRows * k);
          prefetch_codes(row + kPrefetchRows * k + codes - 1);
        }
        p.C[r] = wrapping_add(s0 == 0 ? start : p.C[r],
                              gathered_row_sum<Patterns>(row, group, tables));
      }
    }
  }
}

} // namespace VESK_TARGET
} // namespace vesk
