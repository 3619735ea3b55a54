#include "memory_plan.h"
#include "standard_error.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vesk {
namespace {

// Rows of A in flight: their pages and lines. A block of more rows builds
// its tables fewer times, but at k = 4096 twice as many rows (8192 pages
// touched group after group, beyond the 2048 pages of 4 KiB that the
// second-level TLB of current cores maps) measured slower again.
constexpr std::size_t kCodeBlockBytes = std::size_t{8} << 20;
// With a single tile, indices are formed for a few rows at a time, right
// before their first use.
constexpr std::size_t kIndexChunkRows = 64;
// Where each row lies on pages of its own, indices are formed for a run of
// groups at a time: at least two lines of each row, the pair of adjacent
// lines that the second-level prefetchers of current x86 cores fetch
// together, since their streams do not cross from page to page. One line
// per row and group measured 15% slower at (4096, 4096, 16), and runs of
// four lines no faster than two (on an AMD Zen 3 core). Groups of 3-code
// segments (84 codes) end inside lines, so a run of one such group would
// read a line again in the next run: (512, 32768, 16) measured 1.45 times
// as slow so as with runs of two. With rows closer together, as at
// (65536, 512, 16), the processor follows them by itself and runs only
// take cache.
constexpr std::size_t kPageBytes = 4096;
constexpr std::size_t kRunCodes = 2 * kRegionAlignment;

std::size_t ceil_div(std::size_t a, std::size_t b) { return (a + b - 1) / b; }

std::size_t align_up(std::size_t bytes) {
  return ceil_div(bytes, kRegionAlignment) * kRegionAlignment;
}

std::size_t patterns(int segment) { return std::size_t{1} << (2 * segment); }

// At least `low` and at most `high`; `high` wins when they cross.
std::size_t clamp(std::size_t value, std::size_t low, std::size_t high) {
  const std::size_t raised = value < low ? low : value;
  return raised > high ? high : raised;
}

// The bytes from `memory` to its first 64-byte boundary.
std::size_t alignment_skip(const void *memory) {
  return (kRegionAlignment -
          reinterpret_cast<std::uintptr_t>(memory) % kRegionAlignment) %
         kRegionAlignment;
}

// The workspace from its first 64-byte boundary.
std::size_t usable_bytes(Workspace workspace) {
  if (workspace.data == nullptr)
    return 0;
  const std::size_t skip = alignment_skip(workspace.data);
  return workspace.bytes > skip ? workspace.bytes - skip : 0;
}

// Places arrays front to back, each on a 64-byte boundary: in the workspace
// where it has room, else in the kernel's own memory up to its limit.
class Placer {
public:
  Placer(std::size_t workspace_bytes, std::size_t own_limit)
      : room_{workspace_bytes, own_limit} {}

  bool place(Piece &piece, std::size_t bytes, bool workspace_only = false) {
    return place_in(Place::workspace, piece, bytes) ||
           (!workspace_only && place_in(Place::own, piece, bytes));
  }
  std::size_t own_bytes() const { return used_[1]; }

private:
  bool place_in(Place where, Piece &piece, std::size_t bytes) {
    const int i = where == Place::workspace ? 0 : 1;
    const std::size_t offset = align_up(used_[i]);
    if (offset > room_[i] || bytes > room_[i] - offset)
      return false;
    piece = Piece{where, offset, bytes};
    used_[i] = offset + bytes;
    return true;
  }

  std::size_t room_[2];
  std::size_t used_[2] = {0, 0};
};

std::size_t table_bytes(const MemoryPlan &plan) {
  return std::size_t(plan.group) * patterns(plan.segment) * plan.row_stride *
         sizeof(std::int16_t);
}

// The indices a plan keeps: with runs of several groups, those of each
// row's run a row's `run * group` bytes apart, for the whole block; by tiles,
// every run's; by groups, one run's, or with runs of one, those of two
// chunks of `index_rows` rows only, one looked up while the next is formed.
std::size_t index_bytes(const MemoryPlan &plan, std::size_t k) {
  const std::size_t width = std::size_t(plan.run) * std::size_t(plan.group);
  if (plan.order == LoopOrder::by_tiles)
    return plan.block_rows * ceil_div(group_count(plan, k), plan.run) * width;
  return (plan.run > 1 ? plan.block_rows : 2 * plan.index_rows) * width;
}

std::size_t segments_in(std::size_t k, int segment) {
  return ceil_div(k, static_cast<std::size_t>(segment));
}

// Tables of a whole number of chunks of codes, up to the budget; nothing if
// not even one chunk has room.
bool plan_transposed(std::size_t k, std::size_t m, std::size_t line_offset,
                     std::size_t workspace_bytes, std::size_t own_limit,
                     const TargetConfig &target, const CacheSizes &caches,
                     MemoryPlan &plan) {
  plan = MemoryPlan{};
  plan.order = LoopOrder::transposed;
  plan.segment = 2;
  plan.tile = plan.row_stride = m;
  // Where every row starts at the same place in a line, a first chunk that
  // ends at a line boundary makes each later chunk of a row one line
  // rather than two: with A 16 bytes into a line, (4096, 4096, 1) measured
  // 1.41 ms so against 1.79 ms, on an AMD Zen 3 core.
  if (k % kRegionAlignment == 0 && line_offset % kRegionAlignment != 0)
    plan.lead = kRegionAlignment - line_offset % kRegionAlignment;
  // Rows shorter than a page share pages, which the processor's
  // prefetchers, following one stream per page, do not follow across the
  // rows read in turn: the next rows' chunks are fetched in software, which
  // at (16384, 1024, 1) measured twice as fast (on an AMD Zen 3 core). Rows
  // of pages of their own are followed; fetching ahead there only took
  // cache.
  plan.fetch_rows_ahead = k < kPageBytes;
  const std::size_t chunk_bytes = m * target.transposed_chunk_bytes;
  const ChunkGrid grid{k, target.transposed_codes, plan.lead};
  std::size_t chunks =
      clamp(target.transposed_tables.of(caches) / chunk_bytes, 1, grid.count());
  // As many chunks as fit: a workspace a few bytes short of a budget's
  // worth must not lose half of them.
  for (; chunks > 0; --chunks) {
    Placer placer(workspace_bytes, own_limit);
    if (placer.place(plan.tables, chunks * chunk_bytes)) {
      plan.group = static_cast<int>(chunks);
      plan.own_bytes = placer.own_bytes();
      return true;
    }
  }
  return false;
}

// Tables cost their building once per column and save work on every row
// that shares them; the direct product's work is the same for each of its
// tile's columns. So few rows, or few rows per column within one tile,
// repay no table.
bool repays_no_table(std::size_t n, std::size_t m, const TargetConfig &target) {
  return n <= target.direct_rows ||
         (m <= target.direct_columns && n < target.direct_rows_per_column * m);
}

// Chunks of codes summed in 16 bits, in blocks whose rows of B every tile
// and row block reads: as many as the tables' budget holds, so that B is
// read from memory once.
MemoryPlan plan_direct(std::size_t n, std::size_t k, std::size_t m,
                       const TargetConfig &target, const CacheSizes &caches) {
  MemoryPlan plan{};
  plan.order = LoopOrder::direct;
  plan.segment = 1;
  plan.group = static_cast<int>(target.direct_codes);
  plan.tile = plan.row_stride = clamp(m, 1, target.direct_columns);
  plan.block_rows = plan.index_rows = n;
  const std::size_t chunks = ceil_div(k, target.direct_codes);
  const std::size_t budget =
      target.tables.of(caches) / (m * target.direct_codes);
  plan.run = static_cast<int>(clamp(budget, 1, chunks));
  return plan;
}

// A row's codes of a group, or of a run of groups, are read at once. Where
// every row starts at the same place in a line (k a multiple of the line)
// and whole groups span whole lines, a first group that ends at a line
// boundary makes every later read span whole lines rather than one line
// more: with a line read per group, (4096, 4096, 16) measured 13% faster.
// The extra group costs a pass over the rows, which only pays among many:
// at (65536, 512, 64), with 8 groups, it measured 6% slower.
constexpr std::size_t kLeadMinimumGroups = 16;

std::size_t aligning_lead(std::size_t k, std::size_t line_offset,
                          const MemoryPlan &plan) {
  const std::size_t group_codes = std::size_t(plan.segment) * plan.group;
  if (line_offset % kRegionAlignment == 0 || k % kRegionAlignment != 0 ||
      group_codes % kRegionAlignment != 0 ||
      k < kLeadMinimumGroups * group_codes)
    return 0;
  const std::size_t lead = kRegionAlignment - line_offset % kRegionAlignment;
  return lead % std::size_t(plan.segment) == 0 ? lead : 0;
}

// Keeps a block's indices for every segment and, with several tiles, a copy
// of a tile's column of C, all in the workspace; nothing if it has no room
// for them. With one tile, the indices are those of whole rows (one run,
// read in order, so no lead aligns them), kept wherever they fit, and C is
// summed into in place: its rows of the block are adjacent already.
bool place_by_tiles(std::size_t k, std::size_t m, std::size_t line_offset,
                    std::size_t workspace_bytes, std::size_t own_limit,
                    MemoryPlan &plan) {
  const bool one_tile = m <= plan.tile;
  plan.lead = one_tile ? 0 : aligning_lead(k, line_offset, plan);
  plan.order = LoopOrder::by_tiles;
  plan.index_rows = plan.block_rows;
  plan.run =
      static_cast<int>(one_tile ? group_count(plan, k)
                                : clamp(plan.run, 1, group_count(plan, k)));
  plan.column = Piece{};
  Placer placer(workspace_bytes, own_limit);
  if (!placer.place(plan.indices, index_bytes(plan, k), !one_tile) ||
      (!one_tile &&
       !placer.place(plan.column,
                     plan.block_rows * plan.tile * sizeof(std::int32_t),
                     true)) ||
      !placer.place(plan.tables, table_bytes(plan)))
    return false;
  plan.own_bytes = placer.own_bytes();
  return true;
}

bool place_by_groups(std::size_t k, std::size_t line_offset,
                     std::size_t workspace_bytes, std::size_t own_limit,
                     MemoryPlan &plan) {
  plan.lead = aligning_lead(k, line_offset, plan);
  plan.order = LoopOrder::by_groups;
  plan.run = static_cast<int>(clamp(plan.run, 1, group_count(plan, k)));
  Placer placer(workspace_bytes, own_limit);
  plan.column = Piece{};
  if (!placer.place(plan.indices, index_bytes(plan, k)) ||
      !placer.place(plan.tables, table_bytes(plan)))
    return false;
  plan.own_bytes = placer.own_bytes();
  return true;
}

// Segment length, tile, group and row block as the caches would have them,
// before memory is considered.
MemoryPlan ideal_tiled_plan(std::size_t n, std::size_t k, std::size_t m,
                            int segment, const TargetConfig &target,
                            const CacheSizes &caches) {
  MemoryPlan plan{};
  plan.segment = segment;
  plan.tile = m < target.widest_tile ? m : target.widest_tile;
  plan.row_stride = table_row_stride(plan.tile, target.lanes);
  const std::size_t one_table =
      patterns(segment) * plan.row_stride * sizeof(std::int16_t);
  std::size_t group =
      clamp(target.tables.of(caches) / one_table, 1,
            clamp(segments_in(k, segment), 1, group_limit(segment)));
  // Whole registers of indices, where segments of this length have them.
  const std::size_t per_register = target.index_codes / segment;
  if (forms_vector_indices(target, segment) && group > per_register)
    group = group / per_register * per_register;
  plan.group = static_cast<int>(group);
  // Every block rebuilds the tables, so it spans four times their rows.
  const std::size_t min_rows = 4 * patterns(segment);
  std::size_t rows =
      target.column.of(caches) / (plan.tile * sizeof(std::int32_t));
  if (rows > kCodeBlockBytes / k)
    rows = kCodeBlockBytes / k;
  plan.block_rows = clamp(rows, min_rows, n);
  plan.index_rows =
      m > plan.tile ? plan.block_rows : clamp(kIndexChunkRows, 1, n);
  plan.run = k < kPageBytes
                 ? 1
                 : static_cast<int>(
                       clamp(ceil_div(kRunCodes, std::size_t(segment) * group),
                             1, kRunCodes));
  return plan;
}

MemoryPlan plan_tiles(const PlanRequest &request, std::size_t workspace_bytes,
                      std::size_t own_limit, const TargetConfig &target,
                      const CacheSizes &caches) {
  const std::size_t n = request.n, k = request.k, m = request.m;
  const std::size_t line_offset = request.line_offset;
  MemoryPlan plan = ideal_tiled_plan(
      n, k, m, shared_segment_length(n, request.segment_bound), target, caches);
  // Going by tiles, every block rebuilds the tables, so it must still span
  // four times their rows. With one tile its rows are read whole and in
  // order before their lookups: A streams at the memory's rate, and the
  // lookups, which wait on the second-level cache, run with no reads of A
  // among them. Read a line or two per row and group among the lookups, A
  // took a third of (4096, 4096, 16)'s time; read first, calls alternating
  // in one process on an AMD Zen 4 core, (4096, 4096, 16) ran 1.05-1.25
  // times as fast (the more, the busier the memory), (4096, 4096, 32) up
  // to 1.1 times, (65536, 512, 16) and (16384, 1024, 16) 1.05-1.2 times,
  // on each fast target. The indices of whole rows take the kernel's own
  // memory up to the second-level cache, whatever the segment bound, so
  // that every bound cuts alike.
  MemoryPlan by_tiles = plan;
  const std::size_t min_rows =
      clamp(4 * patterns(plan.segment), 1, plan.block_rows);
  const std::size_t tiles_own_limit =
      m > plan.tile ? own_limit : std::min(own_limit, caches.l2);
  for (; by_tiles.block_rows >= min_rows; by_tiles.block_rows /= 2)
    if (place_by_tiles(k, m, line_offset, workspace_bytes, tiles_own_limit,
                       by_tiles))
      return by_tiles;
  // Smaller groups, then fewer rows indexed at once, then shorter segments,
  // until the memory suffices: at the least one table of one-code segments
  // for one tile and one index, well within one table of the caller's.
  while (!place_by_groups(k, line_offset, workspace_bytes, own_limit, plan)) {
    if (plan.run > 1) {
      plan.run = 1;
    } else if (plan.group > 1) {
      plan.group /= 2;
    } else if (plan.index_rows > 1) {
      plan.index_rows /= 2;
    } else {
      const std::size_t index_rows = plan.index_rows;
      plan = ideal_tiled_plan(n, k, m, plan.segment - 1, target, caches);
      plan.group = 1;
      plan.index_rows = index_rows;
      plan.run = 1;
    }
  }
  return plan;
}

} // namespace

std::size_t table_row_stride(std::size_t tile, std::size_t lanes) {
  if (tile >= lanes)
    return ceil_div(tile, lanes) * lanes;
  std::size_t stride = 2;
  while (stride < tile)
    stride *= 2;
  return stride;
}

std::size_t own_memory_limit(std::size_t m, int segment_bound,
                             const CacheSizes &caches, OwnMemory own) {
  const std::size_t one_table = 2 * patterns(segment_bound) * m;
  return own == OwnMemory::widened && caches.l2 > one_table ? caches.l2
                                                            : one_table;
}

int shared_segment_length(std::size_t rows, int segment_bound) {
  // Per code and tile, a segment of L codes costs about (4^L + rows) / L
  // row operations: its table rows built, then one lookup per row.
  int best = 1;
  double best_cost = 0;
  for (int segment = 1; segment <= 4 && segment <= segment_bound; ++segment) {
    const double cost =
        (double(patterns(segment)) + double(rows)) / double(segment);
    if (segment == 1 || cost < best_cost) {
      best = segment;
      best_cost = cost;
    }
  }
  return best;
}

std::size_t group_count(const MemoryPlan &plan, std::size_t k) {
  const std::size_t group_codes = std::size_t(plan.segment) * plan.group;
  return (plan.lead > 0) + ceil_div(k - plan.lead, group_codes);
}

MemoryPlan plan_memory(const PlanRequest &request, const TargetConfig &target,
                       const CacheSizes &caches, OwnMemory own) {
  if (repays_no_table(request.n, request.m, target))
    return plan_direct(request.n, request.k, request.m, target, caches);
  const std::size_t own_limit =
      own_memory_limit(request.m, request.segment_bound, caches, own);
  const std::size_t room = usable_bytes(request.workspace);
  MemoryPlan plan;
  if (request.m <= target.transposed_columns && target.transposed_rows > 0 &&
      request.n >= target.transposed_rows &&
      plan_transposed(request.k, request.m, request.line_offset, room,
                      own_limit, target, caches, plan))
    return plan;
  return plan_tiles(request, room, own_limit, target, caches);
}

} // namespace vesk

namespace vesk {
namespace {

unsigned char *aligned(unsigned char *memory) {
  return memory + alignment_skip(memory);
}

} // namespace

CallMemory::CallMemory(const PlanRequest &request, const TargetConfig &target,
                       const CacheSizes &caches)
    : plan_(plan_memory(request, target, caches, OwnMemory::widened)) {
  const auto allocate = [this] {
    if (plan_.own_bytes > 0)
      own_allocation_.reset(
          new unsigned char[plan_.own_bytes + kRegionAlignment - 1]);
  };
  const std::size_t one_table = own_memory_limit(
      request.m, request.segment_bound, caches, OwnMemory::one_table);
  try {
    allocate();
  } catch (const std::bad_alloc &) {
    if (plan_.own_bytes <= one_table)
      throw;
    plan_ = plan_memory(request, target, caches, OwnMemory::one_table);
    allocate();
  }
  workspace_ =
      request.workspace.data == nullptr
          ? nullptr
          : aligned(static_cast<unsigned char *>(request.workspace.data));
  workspace_bytes_ = usable_bytes(request.workspace);
  own_ = own_allocation_ ? aligned(own_allocation_.get()) : nullptr;
}

void *CallMemory::at(const Piece &piece) const {
  unsigned char *base = piece.place == Place::workspace ? workspace_ : own_;
  const std::size_t bytes =
      piece.place == Place::workspace ? workspace_bytes_ : plan_.own_bytes;
  if (piece.place == Place::nowhere || base == nullptr ||
      piece.offset > bytes || piece.bytes > bytes - piece.offset) {
    StandardErrorReport report;
    report << "vesk: a kernel array left its memory region\n";
    report.send();
    std::abort();
  }
  return base + piece.offset;
}

} // namespace vesk

namespace vesk {
namespace {

// Any valid indices, the same every call: a block of them from a linear
// congruential sequence, repeated, so that making them costs the timed call
// little beside its lookups. The block's length is prime, so that rows of
// any width shorter than it get indices of their own: rows whose indices
// repeated every few rows would look up the same few table rows, which stay
// in the first-level cache, and the lookups alone would take less time
// than the product's.
void fill_indices(std::uint8_t *indices, std::size_t count, int segment) {
  constexpr std::size_t kBlock = 4093;
  std::uint8_t block[kBlock];
  std::uint32_t state = 0x9E3779B9u;
  const unsigned patterns = 1u << (2 * segment);
  for (std::uint8_t &index : block) {
    state = state * 1664525u + 1013904223u;
    index = static_cast<std::uint8_t>((state >> 16) % patterns);
  }
  for (std::size_t i = 0; i < count; i += kBlock)
    std::memcpy(indices + i, block, count - i < kBlock ? count - i : kBlock);
}

} // namespace

StandIns::StandIns(const MemoryPlan &plan, const CallMemory &memory) {
  if (plan.order == LoopOrder::direct)
    return; // its stand-ins are its own
  // The tables' entries do not change how long a lookup takes: zeros, in
  // the cache as if just built.
  std::memset(memory.at(plan.tables), 0, plan.tables.bytes);
  if (plan.order == LoopOrder::by_groups) {
    const std::size_t count = plan.block_rows * std::size_t(plan.group);
    block_indices_.reset(new std::uint8_t[count]);
    fill_indices(block_indices_.get(), count, plan.segment);
  } else if (plan.indices.place != Place::nowhere) {
    fill_indices(static_cast<std::uint8_t *>(memory.at(plan.indices)),
                 plan.indices.bytes, plan.segment);
  }
}

} // namespace vesk
