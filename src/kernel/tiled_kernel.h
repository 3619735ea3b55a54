// The fast segment lookup-table kernel, written once over a small set of
// vector operations and instantiated by each instruction-set file under its
// own compile flags.
//
// Work is cut into row blocks, column tiles of at most 64 values and groups
// of segments. For each (row block, tile, group) the tables of the group's
// segments are built for the tile only, each entry from an earlier one plus
// one row of B times a digit; then every row of the block sums its group's
// table rows in 16-bit lanes held in registers and widens them into C once.
//
// Everything here has internal linkage: each instruction-set file gets its
// own copy, so the linker can never hand one file's code to another. For the
// same reason no standard-library template with an out-of-line body is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

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
// A row block's tile of C, likewise.
constexpr std::size_t kOutputCacheBytes = std::size_t{1} << 20;

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

// A buffer of 16-bit table entries, deliberately left uninitialised: every
// entry read is written first.
class TableBuffer {
public:
  explicit TableBuffer(std::size_t count) : data_(new std::int16_t[count]) {}
  TableBuffer(const TableBuffer &) = delete;
  TableBuffer &operator=(const TableBuffer &) = delete;
  ~TableBuffer() { delete[] data_; }
  std::int16_t *get() const { return data_; }

private:
  std::int16_t *data_;
};

// Fills the 4^L rows (each w wide) of a segment's table for one tile, whose
// first row of B is `b_row` (rows m apart). The patterns below 4^l already
// hold every combination of the first l rows, so pattern d * 4^l + j is
// pattern j plus d times row l: one addition per entry.
inline void build_table_tile(std::int16_t *__restrict table,
                             const std::int8_t *__restrict b_row, std::size_t m,
                             int L, std::size_t w) {
  for (std::size_t c = 0; c < w; ++c)
    table[c] = 0;
  std::size_t filled = 1;
  std::int16_t step[kMaxTileWidth];
  for (int l = 0; l < L; ++l, b_row += m) {
    for (int d = 1; d <= 3; ++d) {
      for (std::size_t c = 0; c < w; ++c)
        step[c] = static_cast<std::int16_t>(d * b_row[c]);
      std::int16_t *__restrict out = table + d * filled * w;
      for (std::size_t j = 0; j < filled; ++j)
        for (std::size_t c = 0; c < w; ++c)
          out[j * w + c] =
              static_cast<std::int16_t>(table[j * w + c] + step[c]);
    }
    filled *= 4;
  }
}

// One group of segments over one tile: `full` segments of b rows, then
// possibly the short last segment of `short_rows` rows.
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

// Sums a row's table rows for the group into 16-bit registers and adds them,
// widened, into its tile of C. `vectors` registers cover the tile; the last
// one holds `last_lanes` lanes.
template <class Isa, int b, int vectors, bool partial>
void accumulate_rows(const std::uint8_t *A, std::size_t k,
                     const std::int16_t *tables, std::size_t table_stride,
                     const Group &group, const Tile &tile, std::int32_t *C,
                     std::size_t m, std::size_t row_begin, std::size_t row_end,
                     int last_lanes) {
  using Vec = typename Isa::Vec;
  const std::size_t w = tile.width;
  for (std::size_t r = row_begin; r < row_end; ++r) {
    const std::uint8_t *codes = A + r * k + group.first_code;
    Vec acc[vectors];
    for (int v = 0; v < vectors; ++v)
      acc[v] = Isa::zero();
    const std::int16_t *table = tables;
    for (int g = 0; g < group.count(); ++g, table += table_stride) {
      const std::uint32_t f =
          g < group.full ? full_segment_index<b>(codes + g * b)
                         : short_segment_index(codes + g * b, group.short_rows);
      const std::int16_t *entry = table + f * w;
      for (int v = 0; v < vectors; ++v) {
        const bool cut = partial && v == vectors - 1;
        acc[v] = Isa::add(
            acc[v], cut ? Isa::load_partial(entry + v * Isa::kLanes, last_lanes)
                        : Isa::load(entry + v * Isa::kLanes));
      }
    }
    std::int32_t *out = C + r * m + tile.column;
    for (int v = 0; v < vectors; ++v) {
      if (partial && v == vectors - 1)
        Isa::add_widened_partial(out + v * Isa::kLanes, acc[v], last_lanes);
      else
        Isa::add_widened(out + v * Isa::kLanes, acc[v]);
    }
  }
}

// Picks the instance of accumulate_rows for a tile's width.
template <class Isa, int b, int vectors>
void accumulate_tile(const std::uint8_t *A, std::size_t k,
                     const std::int16_t *tables, std::size_t table_stride,
                     const Group &group, const Tile &tile, std::int32_t *C,
                     std::size_t m, std::size_t row_begin,
                     std::size_t row_end) {
  constexpr std::size_t lanes = Isa::kLanes;
  if constexpr (vectors > 1) {
    if (tile.width <= (vectors - 1) * lanes)
      return accumulate_tile<Isa, b, vectors - 1>(
          A, k, tables, table_stride, group, tile, C, m, row_begin, row_end);
  }
  const int last_lanes = static_cast<int>(tile.width - (vectors - 1) * lanes);
  if (last_lanes == static_cast<int>(lanes))
    accumulate_rows<Isa, b, vectors, false>(A, k, tables, table_stride, group,
                                            tile, C, m, row_begin, row_end,
                                            last_lanes);
  else
    accumulate_rows<Isa, b, vectors, true>(A, k, tables, table_stride, group,
                                           tile, C, m, row_begin, row_end,
                                           last_lanes);
}

// How the work is cut, sized so that the group's tables stay within one
// full-width table of 2 * 4^b * m bytes (the kernel's only buffer) and,
// where possible, in the second-level cache together with C's tile.
struct Plan {
  std::size_t tile_width;
  int group_segments;
  std::size_t block_rows;
};

template <int b> Plan make_plan(std::size_t n, std::size_t m) {
  constexpr std::size_t patterns = std::size_t{1} << (2 * b);
  // Wide tables of long segments would leave the cache: narrower tiles.
  constexpr std::size_t widest = b == 4 ? 64 : b == 6 ? 32 : 16;
  const std::size_t tile_width = m < widest ? m : widest;
  const std::size_t table_bytes = 2 * patterns * tile_width;
  std::size_t group = m / tile_width;
  if (group * table_bytes > kTableCacheBytes)
    group = kTableCacheBytes / table_bytes;
  if (group > static_cast<std::size_t>(group_limit(b)))
    group = group_limit(b);
  if (group == 0)
    group = 1;
  // Rebuilding the tables for each block costs 4^b entries per row block:
  // keep blocks at least 16 times that.
  std::size_t block_rows = kOutputCacheBytes / (4 * tile_width);
  if (block_rows < 16 * patterns)
    block_rows = 16 * patterns;
  if (block_rows > n)
    block_rows = n;
  return {tile_width, static_cast<int>(group), block_rows};
}

template <class Isa, int b>
void multiply_segments(const std::uint8_t *A, const std::int8_t *B,
                       std::int32_t *C, std::size_t n, std::size_t k,
                       std::size_t m) {
  constexpr std::size_t patterns = std::size_t{1} << (2 * b);
  const Plan plan = make_plan<b>(n, m);
  const std::size_t table_stride = patterns * plan.tile_width;
  TableBuffer tables(table_stride * plan.group_segments);
  const std::size_t group_codes = std::size_t{b} * plan.group_segments;
  constexpr int vectors = kMaxTileWidth / Isa::kLanes;
  for (std::size_t r0 = 0; r0 < n; r0 += plan.block_rows) {
    const std::size_t r1 = n - r0 < plan.block_rows ? n : r0 + plan.block_rows;
    for (std::size_t c0 = 0; c0 < m; c0 += plan.tile_width) {
      const Tile tile{c0, m - c0 < plan.tile_width ? m - c0 : plan.tile_width};
      for (std::size_t s0 = 0; s0 < k; s0 += group_codes) {
        const std::size_t codes = k - s0 < group_codes ? k - s0 : group_codes;
        const Group group{s0, static_cast<int>(codes / b),
                          static_cast<int>(codes % b)};
        for (int g = 0; g < group.count(); ++g) {
          const int L = g < group.full ? b : group.short_rows;
          build_table_tile(tables.get() + g * table_stride,
                           B + (s0 + std::size_t{b} * g) * m + c0, m, L,
                           tile.width);
        }
        accumulate_tile<Isa, b, vectors>(A, k, tables.get(), table_stride,
                                         group, tile, C, m, r0, r1);
      }
    }
  }
}

// Matrix-vector products: a table row is one value, so the work is a gather
// across rows. Rows go in blocks whose codes stay in the first-level cache
// while the block runs through every segment.
template <int b>
void multiply_vector(const std::uint8_t *A, const std::int8_t *B,
                     std::int32_t *C, std::size_t n, std::size_t k) {
  constexpr std::size_t patterns = std::size_t{1} << (2 * b);
  TableBuffer table(patterns);
  std::size_t block_rows = 16 * patterns < 1024 ? 1024 : 16 * patterns;
  for (std::size_t r0 = 0; r0 < n; r0 += block_rows) {
    const std::size_t r1 = n - r0 < block_rows ? n : r0 + block_rows;
    for (std::size_t s = 0; s < k; s += b) {
      const int L = k - s < b ? static_cast<int>(k - s) : b;
      build_table_tile(table.get(), B + s, 1, L, 1);
      const std::uint8_t *codes = A + r0 * k + s;
      for (std::size_t r = r0; r < r1; ++r, codes += k) {
        const std::uint32_t f = L == b ? full_segment_index<b>(codes)
                                       : short_segment_index(codes, L);
        // Unsigned addition: a caller-excluded overflow stays defined.
        C[r] = static_cast<std::int32_t>(
            static_cast<std::uint32_t>(C[r]) +
            static_cast<std::uint32_t>(table.get()[f]));
      }
    }
  }
}

template <class Isa, int b>
void multiply_blocks(const std::uint8_t *A, const std::int8_t *B,
                     std::int32_t *C, std::size_t n, std::size_t k,
                     std::size_t m) {
  if (m == 1)
    return multiply_vector<b>(A, B, C, n, k);
  multiply_segments<Isa, b>(A, B, C, n, k, m);
}

template <class Isa>
void multiply(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,
              std::size_t n, std::size_t k, std::size_t m, int b) {
  switch (b) {
  case 6:
    return multiply_blocks<Isa, 6>(A, B, C, n, k, m);
  case 8:
    return multiply_blocks<Isa, 8>(A, B, C, n, k, m);
  default:
    return multiply_blocks<Isa, 4>(A, B, C, n, k, m);
  }
}

} // namespace tiled
} // namespace
} // namespace vesk
