// How the fast kernels cut a product into work and where its memory lives:
// one plan per call, made here once for every instruction set, so that the
// kernels only carve what it says.
#pragma once

#include "cache_sizes.h"
#include "rsr_kernel.h"
#include "target_config.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vesk {

enum class LoopOrder {
  // Rows too few to repay building a table: each pair of codes multiplied
  // by its rows of B in registers, chunks of `group` codes summed in 16 bits
  // for tiles of `tile` columns and all rows. Nothing is kept but C.
  direct,
  // A few columns (tile = m), a few rows at a time: their codes transposed
  // so that one register holds the same segments of each row, looked up in
  // tables of pairs of codes held in registers. The tables of a block of
  // `group` chunks of codes, 1 KiB a column each, are kept in the cache.
  transposed,
  // Per row block, group by group: the group's tables are built for each
  // column tile in turn and its rows' indices formed a few rows at a time,
  // for a run of `run` groups at once, kept for the block's later groups.
  by_groups,
  // Per row block, tile by tile: all of the block's indices are kept. With
  // several tiles the first forms them, each tile's column of C is copied
  // out, summed into group by group, and copied back. With one tile they
  // are formed first, a whole row at a time (`run` is every group), and C
  // is summed into in place.
  by_tiles,
};

enum class Place { nowhere, workspace, own };

// One array of the plan: where it lives and at which offset from the start
// of its region (the workspace or the kernel's own memory, each taken from
// its first 64-byte boundary).
struct Piece {
  Place place = Place::nowhere;
  std::size_t offset = 0;
  std::size_t bytes = 0;
};

struct MemoryPlan {
  LoopOrder order;
  int segment;            // codes per segment (pattern index < 4^segment)
  int group;              // segments whose tables are kept at once
  std::size_t tile;       // columns per tile
  std::size_t row_stride; // entries per table row: 2, 4, 8 or whole vectors
  std::size_t block_rows; // rows of A per row block
  std::size_t index_rows; // rows whose indices are formed at a time
  int run;                // tiled: groups whose indices a row forms at once
  bool fetch_rows_ahead;  // transposed: the next rows' chunks fetched early
  std::size_t lead;       // codes of a shorter first group; 0: none
  Piece tables;           // group * 4^segment * row_stride 16-bit entries
  Piece indices;          // a byte per row and segment kept
  Piece column;           // by_tiles: block_rows * tile 32-bit values
  std::size_t own_bytes;  // the kernel's own allocation, before alignment
};

constexpr std::size_t kRegionAlignment = 64;

// What a call asks of the plan: n x k codes times k x m values (all
// positive), the caller's segment bound (4, 6 or 8: the longest segment,
// and through one table of that length the kernel's own memory), the
// workspace lent, and where the codes start within a 64-byte line. Results
// never depend on the line offset; it decides speed only.
struct PlanRequest {
  std::size_t n, k, m;
  int segment_bound;
  Workspace workspace;
  std::size_t line_offset;
};

// The most memory of its own a call may take, besides the alignment of its
// region: one table of the segment bound (2 * 4^b * m bytes), or, widened,
// the larger of that and the second-level cache, so that products of few
// columns can keep more tables.
enum class OwnMemory { one_table, widened };
std::size_t own_memory_limit(std::size_t m, int segment_bound,
                             const CacheSizes &caches, OwnMemory own);

// Entries per table row for a tile of `tile` columns: a tile narrower than
// a vector of `lanes` rounded up to a power of two (at least 2), so that its
// lookups read no more than they use and its tables take little memory; a
// wider one to whole vectors.
std::size_t table_row_stride(std::size_t tile, std::size_t lanes);

// A segment of L codes sums at most L terms of 3 * 128, so this many
// segments keep a 16-bit sum exact.
constexpr int group_limit(int segment) { return 32767 / (3 * 128 * segment); }

// The plan of a request on a target and a core with these caches, within
// the own memory allowed: a pure function of its arguments.
MemoryPlan plan_memory(const PlanRequest &request, const TargetConfig &target,
                       const CacheSizes &caches, OwnMemory own);

// Groups of a row's codes: the plan's lead, if any, then whole groups of
// segment * group codes, the last one possibly shorter.
std::size_t group_count(const MemoryPlan &plan, std::size_t k);

// How the transposed path lays a row's codes in chunks: the plan's lead, if
// any, then whole chunks, the last one possibly shorter. A chunk's codes are
// read as the `codes` codes of its window, which starts where the chunk
// does or, for a short last chunk, that many codes before the row's end;
// the window's codes outside the chunk get tables of zeros. So every read
// is whole wherever k has a chunk's codes.
struct ChunkGrid {
  std::size_t k;
  std::size_t codes; // per whole chunk
  std::size_t lead;  // codes of a shorter first chunk; 0: none

  std::size_t count() const {
    return (lead > 0) + (k - lead + codes - 1) / codes;
  }
  std::size_t start(std::size_t i) const {
    return i == 0 ? 0 : lead > 0 ? lead + (i - 1) * codes : i * codes;
  }
  std::size_t end(std::size_t i) const {
    const std::size_t next = start(i + 1);
    return next < k ? next : k;
  }
  std::size_t window(std::size_t i) const {
    return k >= codes && start(i) + codes > k ? k - codes : start(i);
  }
  // Codes of chunk i's window within the row: `codes` unless k is shorter.
  std::size_t window_codes(std::size_t i) const {
    return k - window(i) < codes ? k - window(i) : codes;
  }
};

// The segment length for tables shared by `rows` rows, at most the segment
// bound: building a table of 4^L rows must pay for itself against the
// lookups it saves.
int shared_segment_length(std::size_t rows, int segment_bound);

} // namespace vesk

namespace vesk {

// A call's plan and its memory: the workspace and the kernel's own
// allocation, handed out as the plan placed them. The plan is made within the
// widened own memory; where that cannot be had, again within one table, and
// only if that too cannot be had does the call fail (std::bad_alloc).
class CallMemory {
public:
  CallMemory(const PlanRequest &request, const TargetConfig &target,
             const CacheSizes &caches);
  CallMemory(const CallMemory &) = delete;
  CallMemory &operator=(const CallMemory &) = delete;

  const MemoryPlan &plan() const { return plan_; }

  // The start of a piece; ends the process if the piece leaves its region,
  // which would be a planning error, never a caller's.
  void *at(const Piece &piece) const;

private:
  MemoryPlan plan_;
  std::unique_ptr<unsigned char[]> own_allocation_;
  unsigned char *workspace_;
  std::size_t workspace_bytes_;
  unsigned char *own_;
};

// For timing the lookups alone: stand-ins for a call's tables (any entries)
// and its indices (rows of the tables, at random). Going by groups the plan
// keeps the indices of a few rows at a time; the stand-ins then cover a
// whole row block, so that, as in the product, each row looks up rows of
// its own. Throws std::bad_alloc.
class StandIns {
public:
  StandIns(const MemoryPlan &plan, const CallMemory &memory);

  // By groups: row r of a block's indices (`group` bytes a row); else null.
  const std::uint8_t *block_indices() const { return block_indices_.get(); }

private:
  std::unique_ptr<std::uint8_t[]> block_indices_;
};

} // namespace vesk
