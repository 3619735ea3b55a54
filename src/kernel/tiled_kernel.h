// The fast segment lookup-table kernel, written once over a small set of
// vector operations and instantiated by each instruction-set file under its
// own compile flags.
//
// Work is cut into row blocks, groups of segments and column tiles of at most
// 64 values. For each group the rows' pattern indices are formed into a small
// row-major block; for each tile the group's tables are built for that tile
// only, each entry from an earlier one plus one row of B times a digit; then
// every row sums its group's table rows in 16-bit lanes held in registers and
// widens them into C once per group. Groups go outermost unless the caller's
// loan can keep a row block's indices, in which case tiles do; a
// matrix-vector product with segments of 4 gathers its table entries instead.
//
// Everything here has internal linkage: each instruction-set file gets its
// own copy, so the linker can never hand one file's code to another. For the
// same reason no standard-library template with an out-of-line body is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

#include "rsr_kernel.h"

#include <immintrin.h>

namespace vesk {
namespace {
namespace tiled {

constexpr std::size_t kMaxTileWidth = 64;

// A table entry of a segment of L rows is at most 3 * 128 * L in magnitude,
// so the sum of this many segments of up to b rows stays within 16 bits.
constexpr int group_limit(int b) { return 32767 / (3 * 128 * b); }
static_assert(group_limit(4) * 3 * 128 * 4 <= 32767, "16-bit sums wrap");
static_assert(group_limit(8) * 3 * 128 * 8 <= 32767, "16-bit sums wrap");

// Pattern tables of a group are meant to stay in the second-level cache.
constexpr std::size_t kTableCacheBytes = std::size_t{1} << 20;

// The base-4 number of the low 2 bits of four bytes, first byte lowest: the
// multiplier gathers the weighted digits into the top byte without carries
// from below (every partial byte sum stays under 256).
inline std::uint32_t digits4(std::uint32_t bytes) {
  return ((bytes & 0x03030303u) * 0x01041040u) >> 24;
}

// The pattern index of a full segment of b codes (x86 is little-endian).
template <int b> std::uint32_t full_segment_index(const std::uint8_t *codes) {
  std::uint32_t low;
  std::memcpy(&low, codes, 4);
  if constexpr (b == 4) {
    return digits4(low);
  } else if constexpr (b == 6) {
    std::uint16_t high;
    std::memcpy(&high, codes + 4, 2);
    return digits4(low) | digits4(high) << 8;
  } else {
    std::uint32_t high;
    std::memcpy(&high, codes + 4, 4);
    return digits4(low) | digits4(high) << 8;
  }
}

// The pattern index of the short last segment of L < b codes.
inline std::uint32_t short_segment_index(const std::uint8_t *codes, int L) {
  std::uint32_t f = 0;
  for (int l = 0; l < L; ++l)
    f |= static_cast<std::uint32_t>(codes[l] & 3) << (2 * l);
  return f;
}

// Fills the 4^L rows (each w wide) of a segment's table for one tile, whose
// first row of B is `b_row` (rows m apart). The patterns below 4^l already
// hold every combination of the first l rows, so pattern d * 4^l + j is
// pattern j plus d times row l: one addition per entry. A nonzero
// `FixedWidth` is w known at compile time, for fully vectorised rows.
template <std::size_t FixedWidth>
void build_table_tile(std::int16_t *__restrict table,
                      const std::int8_t *__restrict b_row, std::size_t m, int L,
                      std::size_t width) {
  const std::size_t w = FixedWidth != 0 ? FixedWidth : width;
  for (std::size_t c = 0; c < w; ++c)
    table[c] = 0;
  std::size_t filled = 1;
  std::int16_t step[kMaxTileWidth];
  for (int l = 0; l < L; ++l, b_row += m) {
    for (int d = 1; d <= 3; ++d) {
      for (std::size_t c = 0; c < w; ++c)
        step[c] = static_cast<std::int16_t>(d * b_row[c]);
      std::int16_t *__restrict out = table + d * filled * w;
      if (w == 1) { // a matrix-vector product: rows are single values
        for (std::size_t j = 0; j < filled; ++j)
          out[j] = static_cast<std::int16_t>(table[j] + step[0]);
        continue;
      }
      for (std::size_t j = 0; j < filled; ++j)
        for (std::size_t c = 0; c < w; ++c)
          out[j * w + c] =
              static_cast<std::int16_t>(table[j * w + c] + step[c]);
    }
    filled *= 4;
  }
}

inline void build_table_tile(std::int16_t *table, const std::int8_t *b_row,
                             std::size_t m, int L, std::size_t w) {
  switch (w) {
  case 16:
    return build_table_tile<16>(table, b_row, m, L, w);
  case 32:
    return build_table_tile<32>(table, b_row, m, L, w);
  case 64:
    return build_table_tile<64>(table, b_row, m, L, w);
  default:
    return build_table_tile<0>(table, b_row, m, L, w);
  }
}

// Rows of A are k bytes apart, each on its own pages for large k, so the
// processor does not fetch ahead by itself: fetch a later row's codes (the
// first and last line of the group) while this one is indexed. Fetching
// into the second-level cache rather than the first was measured faster when
// A has to come from memory (a quarter for a matrix-vector product) and no
// slower otherwise.
constexpr std::size_t kPrefetchRows = 24;

inline void prefetch_codes(const std::uint8_t *codes) {
  _mm_prefetch(reinterpret_cast<const char *>(codes), _MM_HINT_T1);
}

// One group of segments: `full` segments of b rows, then possibly the short
// last segment of `short_rows` rows.
struct Group {
  std::size_t first_code; // offset of the group's first code in a row of A
  int full;
  int short_rows;
  int count() const { return full + (short_rows > 0); }
};

struct Tile {
  std::size_t column; // first column
  std::size_t width;
};

// The group's pattern indices of each row of a block, row-major. Formed once
// per group and shared by every column tile, so each row of A is read once
// per group, front to back.
template <class Isa, int b>
void form_indices(const std::uint8_t *A, std::size_t k, const Group &group,
                  std::size_t row_begin, std::size_t row_end,
                  std::size_t block_end, std::uint16_t *indices) {
  const int count = group.count();
  const std::size_t last_code = std::size_t{b} * group.full +
                                static_cast<std::size_t>(group.short_rows) - 1;
  const std::uint8_t *codes = A + row_begin * k + group.first_code;
  for (std::size_t r = row_begin; r < row_end; ++r, codes += k) {
    if (r + kPrefetchRows < block_end) {
      prefetch_codes(codes + kPrefetchRows * k);
      prefetch_codes(codes + kPrefetchRows * k + last_code);
    }
    int g = 0;
    if constexpr (b == 4) {
      constexpr int chunk = static_cast<int>(Isa::Patterns::kSegments);
      for (; g + chunk <= group.full; g += chunk)
        Isa::Patterns::store_indices(codes + 4 * g, indices + g);
    }
    for (; g < group.full; ++g)
      indices[g] =
          static_cast<std::uint16_t>(full_segment_index<b>(codes + g * b));
    if (group.short_rows > 0)
      indices[group.full] = static_cast<std::uint16_t>(
          short_segment_index(codes + group.full * b, group.short_rows));
    indices += count;
  }
}

// Sums a row's table rows for the group into 16-bit registers and adds them,
// widened, into its tile of C. `vectors` registers cover the tile; the last
// one holds `last_lanes` lanes.
template <class Isa, int vectors, bool partial>
void accumulate_rows(const std::uint16_t *indices, int count,
                     const std::int16_t *tables, std::size_t table_stride,
                     const Tile &tile, std::int32_t *C, std::size_t m,
                     std::size_t rows, int last_lanes) {
  using Vec = typename Isa::Vec;
  const std::size_t w = tile.width;
  std::int32_t *out = C + tile.column;
  for (std::size_t r = 0; r < rows; ++r, indices += count, out += m) {
    Vec acc[vectors];
    for (int v = 0; v < vectors; ++v)
      acc[v] = Isa::zero();
    const std::int16_t *table = tables;
    for (int g = 0; g < count; ++g, table += table_stride) {
      const std::int16_t *entry = table + indices[g] * w;
      for (int v = 0; v < vectors; ++v) {
        const bool cut = partial && v == vectors - 1;
        acc[v] = Isa::add(
            acc[v], cut ? Isa::load_partial(entry + v * Isa::kLanes, last_lanes)
                        : Isa::load(entry + v * Isa::kLanes));
      }
    }
    for (int v = 0; v < vectors; ++v) {
      if (partial && v == vectors - 1)
        Isa::add_widened_partial(out + v * Isa::kLanes, acc[v], last_lanes);
      else
        Isa::add_widened(out + v * Isa::kLanes, acc[v]);
    }
  }
}

// Tiles narrower than a few values (m = 1 is a matrix-vector product): a
// row's table rows are single values, gathered and summed in a scalar.
inline void accumulate_narrow_rows(const std::uint16_t *indices, int count,
                                   const std::int16_t *tables,
                                   std::size_t table_stride, const Tile &tile,
                                   std::int32_t *C, std::size_t m,
                                   std::size_t rows) {
  const std::size_t w = tile.width;
  std::int32_t *out = C + tile.column;
  for (std::size_t r = 0; r < rows; ++r, indices += count, out += m) {
    for (std::size_t c = 0; c < w; ++c) {
      std::int32_t sum = 0; // at most 32767 in magnitude
      const std::int16_t *table = tables + c;
      for (int g = 0; g < count; ++g, table += table_stride)
        sum += table[indices[g] * w];
      // Unsigned addition: a caller-excluded overflow stays defined.
      out[c] = static_cast<std::int32_t>(static_cast<std::uint32_t>(out[c]) +
                                         static_cast<std::uint32_t>(sum));
    }
  }
}

constexpr std::size_t kNarrowTileWidth = 4;

// Picks the instance of accumulate_rows for a tile's width.
template <class Isa, int vectors>
void accumulate_tile(const std::uint16_t *indices, int count,
                     const std::int16_t *tables, std::size_t table_stride,
                     const Tile &tile, std::int32_t *C, std::size_t m,
                     std::size_t rows) {
  constexpr std::size_t lanes = Isa::kLanes;
  if (tile.width < kNarrowTileWidth)
    return accumulate_narrow_rows(indices, count, tables, table_stride, tile, C,
                                  m, rows);
  // Narrow tiles on wide registers: the instruction set's half-width form.
  if constexpr (Isa::kHasHalf) {
    if (tile.width <= lanes / 2)
      return accumulate_tile<typename Isa::Half, 1>(
          indices, count, tables, table_stride, tile, C, m, rows);
  }
  if constexpr (vectors > 1) {
    if (tile.width <= (vectors - 1) * lanes)
      return accumulate_tile<Isa, vectors - 1>(indices, count, tables,
                                               table_stride, tile, C, m, rows);
  }
  const int last_lanes = static_cast<int>(tile.width - (vectors - 1) * lanes);
  if (last_lanes == static_cast<int>(lanes))
    accumulate_rows<Isa, vectors, false>(indices, count, tables, table_stride,
                                         tile, C, m, rows, last_lanes);
  else
    accumulate_rows<Isa, vectors, true>(indices, count, tables, table_stride,
                                        tile, C, m, rows, last_lanes);
}

// How the work is cut. Row blocks bound the rows of A in flight (their
// pages and cache lines); each block rebuilds the tables, so it spans at
// least 4 * 4^b rows. A group's tables and index block take at most one
// full-width table (2 * 4^b * m bytes) of memory of the kernel's own or, where
// the caller lends more, up to 1 MiB of the loan (plus, going by tiles, the
// block's indices): several tables per group are what lets 16-bit sums reach
// C only once a group, and with one table the narrow shapes (m = 1 to 64) run
// two to ten times slower.
struct Plan {
  // Several tiles whose block's indices for every segment fit in the loan:
  // they are formed once and kept, and the tiles go outermost.
  bool by_tiles;
  std::size_t tile_width;
  std::size_t block_rows;
  std::size_t index_rows; // rows whose indices are formed at a time
  int group_segments;
};

// With a single tile, indices are used once: form them for a few rows at a
// time, right before their use.
constexpr std::size_t kIndexChunkRows = 64;

constexpr std::size_t kLineBytes = 64;
constexpr std::size_t kLentScratchBytes = std::size_t{1024} << 10;
constexpr std::size_t kCodeBlockBytes = std::size_t{16} << 20;

// A tile's column of C copied out of C's wide rows, going by tiles: rows of
// C thousands of bytes apart would share a few cache sets and evict each
// other.
inline std::size_t column_bytes(std::size_t rows, std::size_t tile_width) {
  return rows * tile_width * sizeof(std::int32_t);
}

// The segments whose indices a block keeps going by tiles: whole groups,
// the last one counted full.
inline std::size_t kept_segments(std::size_t k, int b, std::size_t group) {
  const std::size_t group_codes = static_cast<std::size_t>(b) * group;
  return (k + group_codes - 1) / group_codes * group;
}

template <int b>
Plan make_plan(std::size_t n, std::size_t k, std::size_t m,
               std::size_t lent_bytes) {
  constexpr std::size_t patterns = std::size_t{1} << (2 * b);
  // Wide tables of long segments would leave the cache: narrower tiles.
  constexpr std::size_t widest = b == 4 ? 64 : b == 6 ? 32 : 16;
  const std::size_t tile_width = m < widest ? m : widest;
  std::size_t block_rows = kCodeBlockBytes / k;
  // Building a table entry is one vector addition; with narrow tiles a row's
  // lookup is scalar, so fewer rows repay the tables.
  const std::size_t min_rows =
      tile_width < kNarrowTileWidth ? patterns : 4 * patterns;
  if (block_rows < min_rows)
    block_rows = min_rows;
  if (block_rows > n)
    block_rows = n;
  const std::size_t table_bytes = 2 * patterns * tile_width;
  // Room for the alignment of the tables carved from the loan.
  const std::size_t usable =
      lent_bytes > kLineBytes ? lent_bytes - kLineBytes : 0;
  std::size_t scratch = usable < kLentScratchBytes ? usable : kLentScratchBytes;
  if (scratch < 2 * patterns * m)
    scratch = 2 * patterns * m;
  const std::size_t index_rows = m <= tile_width && kIndexChunkRows < block_rows
                                     ? kIndexChunkRows
                                     : block_rows;
  std::size_t group = scratch / (table_bytes + 2 * index_rows);
  if (group * table_bytes > kTableCacheBytes)
    group = kTableCacheBytes / table_bytes;
  if (group > static_cast<std::size_t>(group_limit(b)))
    group = group_limit(b);
  if (group == 0)
    group = 1;
  // Going by groups, every group adds into the block's whole C, which for a
  // wide C leaves the cache between groups; going by tiles, the tile's column
  // of C stays in cache and the kept indices are streamed once per tile.
  // (Shrinking blocks to fit the indices in the loan was measured slower
  // than going by groups: the tables are rebuilt per block.)
  const std::size_t kept_bytes = 2 * block_rows * kept_segments(k, b, group) +
                                 group * table_bytes +
                                 column_bytes(block_rows, tile_width);
  if (m > tile_width && usable >= kept_bytes + 2 * kLineBytes)
    return {true, tile_width, block_rows, block_rows, static_cast<int>(group)};
  return {false, tile_width, block_rows, index_rows, static_cast<int>(group)};
}

// Hands out arrays from a region of memory, front to back. Tables start on
// a cache line, so that a 64-byte table row never straddles two lines.
class Arena {
public:
  Arena(void *data, std::size_t bytes)
      : next_(static_cast<unsigned char *>(data)), left_(bytes) {}

  // The bytes an array of `count` T takes wherever the region starts.
  template <class T, std::size_t Align = alignof(T)>
  static std::size_t footprint(std::size_t count) {
    return count * sizeof(T) + Align - 1;
  }

  // An uninitialised array, or null when the rest of the region is too
  // small.
  template <class T, std::size_t Align = alignof(T)>
  T *take(std::size_t count) {
    if (next_ == nullptr)
      return nullptr;
    const std::size_t skip =
        (Align - reinterpret_cast<std::uintptr_t>(next_) % Align) % Align;
    const std::size_t bytes = count * sizeof(T);
    if (skip > left_ || bytes > left_ - skip)
      return nullptr;
    T *array = reinterpret_cast<T *>(next_ + skip);
    next_ += skip + bytes;
    left_ -= skip + bytes;
    return array;
  }

private:
  unsigned char *next_;
  std::size_t left_;
};

// The kernel's own memory for whatever the loan cannot hold.
class OwnMemory {
public:
  explicit OwnMemory(std::size_t bytes)
      : memory_(bytes == 0 ? nullptr : new unsigned char[bytes]),
        bytes_(bytes) {}
  OwnMemory(const OwnMemory &) = delete;
  OwnMemory &operator=(const OwnMemory &) = delete;
  ~OwnMemory() { delete[] memory_; }
  Arena arena() const { return Arena(memory_, bytes_); }

private:
  unsigned char *memory_;
  std::size_t bytes_;
};

template <int b>
void build_group_tables(const std::int8_t *B, std::size_t m, const Group &group,
                        const Tile &tile, std::int16_t *tables,
                        std::size_t table_stride) {
  for (int g = 0; g < group.count(); ++g) {
    const int L = g < group.full ? b : group.short_rows;
    build_table_tile(tables + g * table_stride,
                     B + (group.first_code + std::size_t{b} * g) * m +
                         tile.column,
                     m, L, tile.width);
  }
}

// The group of segments that starts at code s0: whole segments of b codes up
// to `group_codes` codes, the last one short where k ends.
template <int b>
Group group_at(std::size_t s0, std::size_t k, std::size_t group_codes) {
  const std::size_t codes = k - s0 < group_codes ? k - s0 : group_codes;
  return Group{s0, static_cast<int>(codes / b), static_cast<int>(codes % b)};
}

template <int b> struct TileLayout {
  std::size_t table_stride; // entries between a group's tables
  std::size_t group_codes;
  explicit TileLayout(const Plan &plan)
      : table_stride((std::size_t{1} << (2 * b)) * plan.tile_width),
        group_codes(std::size_t{b} * plan.group_segments) {}
  Tile tile_at(std::size_t c0, std::size_t m, const Plan &plan) const {
    return {c0, m - c0 < plan.tile_width ? m - c0 : plan.tile_width};
  }
};

// Rows r0 .. r1 of C, one group of segments at a time. Tables are built per
// group and tile; with a single tile they serve the whole block, else the
// whole block's indices are formed first and serve every tile.
template <class Isa, int b>
void multiply_block_by_groups(const std::uint8_t *A, const std::int8_t *B,
                              std::int32_t *C, std::size_t k, std::size_t m,
                              const Plan &plan, std::size_t r0, std::size_t r1,
                              std::int16_t *tables, std::uint16_t *indices) {
  constexpr int vectors = kMaxTileWidth / Isa::kLanes;
  const TileLayout<b> layout(plan);
  const bool one_tile = m <= plan.tile_width;
  for (std::size_t s0 = 0; s0 < k; s0 += layout.group_codes) {
    const Group group = group_at<b>(s0, k, layout.group_codes);
    if (one_tile)
      build_group_tables<b>(B, m, group, Tile{0, m}, tables,
                            layout.table_stride);
    for (std::size_t i0 = r0; i0 < r1; i0 += plan.index_rows) {
      const std::size_t i1 =
          r1 - i0 < plan.index_rows ? r1 : i0 + plan.index_rows;
      form_indices<Isa, b>(A, k, group, i0, i1, r1, indices);
      for (std::size_t c0 = 0; c0 < m; c0 += plan.tile_width) {
        const Tile tile = layout.tile_at(c0, m, plan);
        if (!one_tile)
          build_group_tables<b>(B, m, group, tile, tables, layout.table_stride);
        accumulate_tile<Isa, vectors>(indices, group.count(), tables,
                                      layout.table_stride, tile, C + i0 * m, m,
                                      i1 - i0);
      }
    }
  }
}

// Rows r0 .. r1 of C, one column tile at a time: the block's indices are
// formed first, each group's rows after the previous group's, then each
// tile's column of C is copied out to `column`, every group adds into it
// there, and it is copied back.
template <class Isa, int b>
void multiply_block_by_tiles(const std::uint8_t *A, const std::int8_t *B,
                             std::int32_t *C, std::size_t k, std::size_t m,
                             const Plan &plan, std::size_t r0, std::size_t r1,
                             std::int16_t *tables, std::uint16_t *indices,
                             std::int32_t *column) {
  constexpr int vectors = kMaxTileWidth / Isa::kLanes;
  const TileLayout<b> layout(plan);
  const std::size_t rows = r1 - r0;
  const auto group_indices = [&](std::size_t s0) {
    return indices + s0 / layout.group_codes * rows * plan.group_segments;
  };
  for (std::size_t s0 = 0; s0 < k; s0 += layout.group_codes)
    form_indices<Isa, b>(A, k, group_at<b>(s0, k, layout.group_codes), r0, r1,
                         r1, group_indices(s0));
  for (std::size_t c0 = 0; c0 < m; c0 += plan.tile_width) {
    const Tile tile = layout.tile_at(c0, m, plan);
    const std::size_t w = tile.width;
    std::int32_t *c_tile = C + r0 * m + c0;
    for (std::size_t r = 0; r < rows; ++r)
      std::memcpy(column + r * w, c_tile + r * m, w * sizeof(std::int32_t));
    for (std::size_t s0 = 0; s0 < k; s0 += layout.group_codes) {
      const Group group = group_at<b>(s0, k, layout.group_codes);
      build_group_tables<b>(B, m, group, tile, tables, layout.table_stride);
      accumulate_tile<Isa, vectors>(group_indices(s0), group.count(), tables,
                                    layout.table_stride, Tile{0, w}, column, w,
                                    rows);
    }
    for (std::size_t r = 0; r < rows; ++r)
      std::memcpy(c_tile + r * m, column + r * w, w * sizeof(std::int32_t));
  }
}

// A matrix-vector product (m = 1) with segments of 4, lent room for the
// tables of at least one chunk of segments. The tables of a group of chunks
// lie back to back, 256 entries each; each row forms the pattern indices of
// a chunk in registers and gathers its entries, and the group's segments
// past its last whole chunk are looked up one by one.
template <class Patterns> struct MatrixVector {
  static constexpr std::size_t kPatterns = 256;
  static constexpr std::size_t kChunkCodes = 4 * Patterns::kSegments;
  // The last gather reads one entry past the tables.
  static constexpr std::size_t kPadding = 1;

  // Segments per group that the loan holds, in whole chunks; 0 if not one.
  static std::size_t group_segments(std::size_t lent_bytes, std::size_t k) {
    const std::size_t usable = lent_bytes > kLineBytes + 2 * kPadding
                                   ? lent_bytes - kLineBytes - 2 * kPadding
                                   : 0;
    std::size_t segments = usable / (2 * kPatterns);
    if (segments * 2 * kPatterns > kTableCacheBytes)
      segments = kTableCacheBytes / (2 * kPatterns);
    const std::size_t needed = (k + kChunkCodes - 1) / kChunkCodes;
    std::size_t chunks = segments / Patterns::kSegments;
    if (chunks > needed)
      chunks = needed;
    return chunks * Patterns::kSegments;
  }

  static std::int32_t row_sum(const std::uint8_t *codes, const Group &group,
                              const std::int16_t *tables) {
    const int vector_segments = group.full /
                                static_cast<int>(Patterns::kSegments) *
                                static_cast<int>(Patterns::kSegments);
    typename Patterns::Acc acc = Patterns::zero();
    for (int g = 0; g < vector_segments; g += Patterns::kSegments)
      acc = Patterns::add_chunk(acc, codes + 4 * g, tables + g * kPatterns);
    std::int32_t sum = Patterns::sum(acc);
    for (int g = vector_segments; g < group.full; ++g)
      sum += tables[g * kPatterns + full_segment_index<4>(codes + 4 * g)];
    if (group.short_rows > 0)
      sum +=
          tables[group.full * kPatterns +
                 short_segment_index(codes + 4 * group.full, group.short_rows)];
    return sum;
  }

  static void multiply(const std::uint8_t *A, const std::int8_t *B,
                       std::int32_t *C, std::size_t n, std::size_t k,
                       std::size_t group_size, std::int16_t *tables) {
    const std::size_t group_codes = 4 * group_size;
    for (std::size_t s0 = 0; s0 < k; s0 += group_codes) {
      const Group group = group_at<4>(s0, k, group_codes);
      const std::size_t codes = 4 * std::size_t(group.full) + group.short_rows;
      build_group_tables<4>(B, 1, group, Tile{0, 1}, tables, kPatterns);
      const std::uint8_t *row = A + s0;
      for (std::size_t r = 0; r < n; ++r, row += k) {
        if (r + kPrefetchRows < n) {
          prefetch_codes(row + kPrefetchRows * k);
          prefetch_codes(row + kPrefetchRows * k + codes - 1);
        }
        // Unsigned addition: a caller-excluded overflow stays defined.
        C[r] = static_cast<std::int32_t>(
            static_cast<std::uint32_t>(C[r]) +
            static_cast<std::uint32_t>(row_sum(row, group, tables)));
      }
    }
  }
};

template <class Isa, int b>
void multiply_blocks(const std::uint8_t *A, const std::int8_t *B,
                     std::int32_t *C, std::size_t n, std::size_t k,
                     std::size_t m, Workspace workspace) {
  constexpr std::size_t patterns = std::size_t{1} << (2 * b);
  if constexpr (b == 4) {
    using Product = MatrixVector<typename Isa::Patterns>;
    const std::size_t group_size =
        m == 1 ? Product::group_segments(workspace.bytes, k) : 0;
    if (group_size > 0) {
      Arena lent(workspace.data, workspace.bytes);
      std::int16_t *tables = lent.take<std::int16_t, kLineBytes>(
          group_size * Product::kPatterns + Product::kPadding);
      tables[group_size * Product::kPatterns] = 0;
      return Product::multiply(A, B, C, n, k, group_size, tables);
    }
  }
  const Plan plan = make_plan<b>(n, k, m, workspace.bytes);
  const std::size_t table_count =
      patterns * plan.tile_width * plan.group_segments;
  const std::size_t index_count =
      plan.index_rows * (plan.by_tiles
                             ? kept_segments(k, b, plan.group_segments)
                             : static_cast<std::size_t>(plan.group_segments));
  // Whatever does not fit in the loan, indices first, comes from own memory.
  Arena lent(workspace.data, workspace.bytes);
  std::uint16_t *indices = lent.take<std::uint16_t>(index_count);
  std::int16_t *tables = lent.take<std::int16_t, kLineBytes>(table_count);
  const OwnMemory own(
      (indices ? 0 : Arena::footprint<std::uint16_t>(index_count)) +
      (tables ? 0 : Arena::footprint<std::int16_t, kLineBytes>(table_count)));
  Arena owned = own.arena();
  if (indices == nullptr)
    indices = owned.take<std::uint16_t>(index_count);
  if (tables == nullptr)
    tables = owned.take<std::int16_t, kLineBytes>(table_count);
  // Going by tiles, the plan made sure that all three fit in the loan.
  std::int32_t *column = plan.by_tiles ? lent.take<std::int32_t, kLineBytes>(
                                             plan.block_rows * plan.tile_width)
                                       : nullptr;
  for (std::size_t r0 = 0; r0 < n; r0 += plan.block_rows) {
    const std::size_t r1 = n - r0 < plan.block_rows ? n : r0 + plan.block_rows;
    if (plan.by_tiles)
      multiply_block_by_tiles<Isa, b>(A, B, C, k, m, plan, r0, r1, tables,
                                      indices, column);
    else
      multiply_block_by_groups<Isa, b>(A, B, C, k, m, plan, r0, r1, tables,
                                       indices);
  }
}

template <class Isa>
void accumulate(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,
              std::size_t n, std::size_t k, std::size_t m, int b,
              Workspace workspace) {
  switch (b) {
  case 6:
    return multiply_blocks<Isa, 6>(A, B, C, n, k, m, workspace);
  case 8:
    return multiply_blocks<Isa, 8>(A, B, C, n, k, m, workspace);
  default:
    return multiply_blocks<Isa, 4>(A, B, C, n, k, m, workspace);
  }
}

} // namespace tiled
} // namespace
} // namespace vesk
