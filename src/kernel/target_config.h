// What the plan must know of an instruction set's kernel: one config per
// target, defined in the target's own file from the constants its code uses,
// and reached from the target's row in the target table.
#pragma once

#include "cache_sizes.h"

#include <cstddef>

namespace vesk {

// A share of one of the core's data caches, in eighths of it.
struct CacheShare {
  int level; // 1 or 2
  std::size_t eighths;

  constexpr std::size_t of(const CacheSizes &caches) const {
    return (level == 1 ? caches.l1d : caches.l2) / 8 * eighths;
  }
};

struct TargetConfig {
  // Tiles: 16-bit lanes of the narrowest full vector, and the most columns
  // one table row holds.
  std::size_t lanes;
  std::size_t widest_tile;
  // Indices: codes whose indices one register forms, and the segment
  // lengths it forms them for (bit L set: segments of L codes); indices of
  // other lengths are formed one by one.
  std::size_t index_codes;
  unsigned vector_segments;
  // The transposed path for few columns: rows looked up at once (0: none),
  // codes of a chunk, bytes of a chunk's tables for one column, and the
  // most columns it serves.
  std::size_t transposed_rows;
  std::size_t transposed_codes;
  std::size_t transposed_chunk_bytes;
  std::size_t transposed_columns;
  // The direct product for rows too few to repay a table: the rows it always
  // serves (0: none), the columns of its tiles, the codes whose sums it
  // keeps in 16 bits, and the rows per column below which a product of at
  // most one tile's columns repays no table either.
  std::size_t direct_rows;
  std::size_t direct_columns;
  std::size_t direct_codes;
  std::size_t direct_rows_per_column;
  // Budgets: a group's tables, kept in the cache beside the part of C being
  // summed into; a tile's column of C going by tiles; a transposed block's
  // tables.
  CacheShare tables;
  CacheShare column;
  CacheShare transposed_tables;
};

constexpr bool forms_vector_indices(const TargetConfig &config, int segment) {
  return (config.vector_segments >> segment) & 1u;
}

} // namespace vesk
