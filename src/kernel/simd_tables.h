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

// For a function whose registers must meet its caller's: a call would pass
// them through memory. Also for every function that only prefetches: GCC
// counts a prefetch as no effect at all, so where such a function is not
// inlined it deletes the calls, and the fetches with them.
#if defined(_MSC_VER)
#define VESK_ALWAYS_INLINE __forceinline
#else
#define VESK_ALWAYS_INLINE inline __attribute__((always_inline))
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

// How the plan's groups and tiles lie along k and m: the plan's lead, if
// any, then whole groups; whole tiles, the last one possibly narrower.
struct Grid {
  int segment;
  std::size_t group_codes; // codes per whole group
  std::size_t lead;        // codes of a shorter first group; 0: none
  std::size_t tile;        // columns per whole tile
  explicit Grid(const MemoryPlan &plan)
      : segment(plan.segment),
        group_codes(std::size_t(plan.segment) * plan.group), lead(plan.lead),
        tile(plan.tile) {}

  // Entries of a table whose rows hold `stride` entries.
  std::size_t table_entries(std::size_t stride) const {
    return (std::size_t{1} << (2 * segment)) * stride;
  }

  // The first code of the group after the one starting at s0.
  std::size_t next_group(std::size_t s0) const {
    return s0 == 0 && lead > 0 ? lead : s0 + group_codes;
  }
  Group group_at(std::size_t s0, std::size_t k) const {
    return span(s0, next_group(s0) < k ? next_group(s0) : k);
  }
  // The first code after `groups` groups from s0, or k.
  std::size_t run_end(std::size_t s0, int groups, std::size_t k) const {
    for (int g = 0; g < groups && s0 < k; ++g)
      s0 = next_group(s0);
    return s0 < k ? s0 : k;
  }
  // Codes [s0, end) as segments of the plan's length and a short one.
  Group span(std::size_t s0, std::size_t end) const {
    const std::size_t b = std::size_t(segment);
    return Group{s0, int((end - s0) / b), int((end - s0) % b)};
  }
  Tile tile_at(std::size_t c0, std::size_t m) const {
    return Tile{c0, m - c0 < tile ? m - c0 : tile};
  }
};

inline std::size_t block_end(std::size_t r0, std::size_t n,
                             std::size_t block_rows) {
  return n - r0 < block_rows ? n : r0 + block_rows;
}

// What a call does: the product, or, for tools that measure the method's
// bound, its lookups alone. Those run the product's loops over stand-ins
// for its tables and indices, neither building the one nor reading A for
// the other, and leave meaningless sums in C.
enum class Work { product, lookups };

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
  Work work;
  // Going by groups, for the lookups alone: a row block's stand-in indices.
  const std::uint8_t *stand_in_indices;

  bool builds() const { return work == Work::product; }

  // What row values start from, for the columns from c0 on (stride 0).
  const std::int32_t *start(std::size_t c0) const {
    alignas(64) static const std::int32_t zeros[32] = {};
    return bias != nullptr ? bias + c0 : zeros;
  }
};

// The Bytes (2, 4, 8 or 16) bytes at p in the low bytes of a 128-bit
// register, and back: exactly those bytes are read or written.
template <std::size_t Bytes> __m128i load_low(const void *p) {
  static_assert(Bytes == 2 || Bytes == 4 || Bytes == 8 || Bytes == 16,
                "a narrow row");
  if constexpr (Bytes <= 4) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, p, Bytes);
    return _mm_cvtsi32_si128(static_cast<int>(bits));
  } else if constexpr (Bytes == 8) {
    return _mm_loadl_epi64(static_cast<const __m128i *>(p));
  } else {
    return _mm_loadu_si128(static_cast<const __m128i *>(p));
  }
}

template <std::size_t Bytes> void store_low(void *p, __m128i v) {
  if constexpr (Bytes <= 4) {
    const auto bits = static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    std::memcpy(p, &bits, Bytes);
  } else if constexpr (Bytes == 8) {
    _mm_storel_epi64(static_cast<__m128i *>(p), v);
  } else {
    _mm_storeu_si128(static_cast<__m128i *>(p), v);
  }
}

// The register of a table row's vectors (wide: 256 bits).
template <bool Wide> struct RowRegister { using type = __m128i; };
template <> struct RowRegister<true> { using type = __m256i; };

// A table row of Stride 16-bit entries in registers while tables are built:
// 256-bit vectors for rows of 16 entries or more, the low entries of one
// 128-bit vector for narrower ones. Kept in registers, a row never goes
// through memory between its computation and its use.
template <std::size_t Stride> struct TableRow {
  static constexpr bool kWide = Stride >= 16;
  static constexpr std::size_t kVectors = kWide ? Stride / 16 : 1;
  using Vec = typename RowRegister<kWide>::type;
  Vec v[kVectors];

  static TableRow zero() {
    TableRow row;
    for (std::size_t i = 0; i < kVectors; ++i)
      if constexpr (kWide)
        row.v[i] = _mm256_setzero_si256();
      else
        row.v[i] = _mm_setzero_si128();
    return row;
  }
  static TableRow load(const std::int16_t *p) {
    TableRow row;
    for (std::size_t i = 0; i < kVectors; ++i)
      if constexpr (kWide)
        row.v[i] =
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 16 * i));
      else
        row.v[i] = load_low<2 * Stride>(p);
    return row;
  }
  // The Stride values of B at `values`, sign-extended.
  static TableRow of_values(const std::int8_t *values) {
    TableRow row;
    for (std::size_t i = 0; i < kVectors; ++i)
      if constexpr (kWide)
        row.v[i] = _mm256_cvtepi8_epi16(_mm_loadu_si128(
            reinterpret_cast<const __m128i *>(values + 16 * i)));
      else
        row.v[i] = _mm_cvtepi8_epi16(load_low<Stride>(values));
    return row;
  }
  void store(std::int16_t *p) const {
    for (std::size_t i = 0; i < kVectors; ++i)
      if constexpr (kWide)
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(p + 16 * i), v[i]);
      else
        store_low<2 * Stride>(p, v[i]);
  }
  TableRow operator+(const TableRow &other) const {
    return combine(
        other, [](__m256i a, __m256i b) { return _mm256_add_epi16(a, b); },
        [](__m128i a, __m128i b) { return _mm_add_epi16(a, b); });
  }
  TableRow operator&(const TableRow &mask) const {
    return combine(
        mask, [](__m256i a, __m256i b) { return _mm256_and_si256(a, b); },
        [](__m128i a, __m128i b) { return _mm_and_si128(a, b); });
  }

private:
  // Lane by lane with the other row's vectors: `wide` for 256-bit ones,
  // `narrow` for 128-bit ones.
  template <class Wide, class Narrow>
  TableRow combine(const TableRow &other, Wide wide, Narrow narrow) const {
    TableRow out;
    for (std::size_t i = 0; i < kVectors; ++i)
      if constexpr (kWide)
        out.v[i] = wide(v[i], other.v[i]);
      else
        out.v[i] = narrow(v[i], other.v[i]);
    return out;
  }
};

// How a tile's rows of B are read: all bits set in the lanes of its
// columns, none past its width; and whether a row's whole stride lies
// within B (always so for a full-width tile), so that it may be read in
// full and the excess cleared. Rows at B's very end are copied into a
// zero-padded row first, so that no read ever leaves B.
template <std::size_t Stride> struct TileValues {
  TableRow<Stride> keep;
  std::size_t width;

  explicit TileValues(std::size_t tile_width) : width(tile_width) {
    alignas(64) std::int16_t lanes[Stride];
    for (std::size_t c = 0; c < Stride; ++c)
      lanes[c] = c < width ? -1 : 0;
    keep = TableRow<Stride>::load(lanes);
  }
  TableRow<Stride> row(const std::int8_t *b_row, bool may_overread) const {
    if (may_overread)
      return TableRow<Stride>::of_values(b_row) & keep;
    std::int8_t padded[Stride] = {};
    std::memcpy(padded, b_row, width);
    return TableRow<Stride>::of_values(padded);
  }
};

// A narrow row's Stride entries (in a vector's low lanes) repeated through
// all 8 lanes.
template <std::size_t Stride> __m128i repeated(__m128i row) {
  static_assert(Stride == 2 || Stride == 4 || Stride == 8, "a narrow row");
  if constexpr (Stride == 2)
    return _mm_shuffle_epi32(row, 0);
  else if constexpr (Stride == 4)
    return _mm_unpacklo_epi64(row, row);
  else
    return row;
}

// The pattern of each entry of the 8 at entry 8 t of a narrow table, whose
// rows hold Stride entries.
template <std::size_t Stride> __m128i patterns_at(std::size_t t) {
  alignas(16) std::int16_t pattern[8];
  for (std::size_t e = 0; e < 8; ++e)
    pattern[e] = static_cast<std::int16_t>((8 * t + e) / Stride);
  return _mm_load_si128(reinterpret_cast<const __m128i *>(pattern));
}

// Patterns 0-3 of a table: the first row of B times each pattern. Narrow
// rows are built in vectors of 8 entries that hold 8 / Stride rows each.
template <std::size_t Stride>
inline void build_first_level(std::int16_t *table,
                              const TableRow<Stride> &step) {
  using Row = TableRow<Stride>;
  if constexpr (Row::kWide) {
    const Row twice = step + step;
    Row::zero().store(table);
    step.store(table + Stride);
    twice.store(table + 2 * Stride);
    (twice + step).store(table + 3 * Stride);
  } else {
    const __m128i repeat = repeated<Stride>(step.v[0]);
    for (std::size_t t = 0; t < Stride / 2; ++t)
      _mm_storeu_si128(reinterpret_cast<__m128i *>(table + 8 * t),
                       _mm_mullo_epi16(repeat, patterns_at<Stride>(t)));
  }
}

// Patterns filled to 4 * filled of a table whose patterns below `filled`
// (4^l) are built, from row l of B: pattern d * 4^l + j is pattern j plus d
// times that row, one addition per entry. Narrow rows add the repeated row
// to whole vectors of 8 entries, each loaded as it was stored.
template <std::size_t Stride>
void add_level(std::int16_t *__restrict table, std::size_t filled,
               const TableRow<Stride> &step) {
  std::int16_t *__restrict once = table + filled * Stride;
  std::int16_t *__restrict two = once + filled * Stride;
  std::int16_t *__restrict three = two + filled * Stride;
  if constexpr (TableRow<Stride>::kWide) {
    const TableRow<Stride> twice = step + step, thrice = twice + step;
    for (std::size_t j = 0; j < filled * Stride; j += Stride) {
      const TableRow<Stride> entry = TableRow<Stride>::load(table + j);
      (entry + step).store(once + j);
      (entry + twice).store(two + j);
      (entry + thrice).store(three + j);
    }
  } else {
    const auto at = [](std::int16_t *entry) {
      return reinterpret_cast<__m128i *>(entry);
    };
    const __m128i one = repeated<Stride>(step.v[0]);
    const __m128i twice = _mm_add_epi16(one, one);
    const __m128i thrice = _mm_add_epi16(twice, one);
    for (std::size_t j = 0; j < filled * Stride; j += 8) {
      const __m128i entry = _mm_loadu_si128(at(table + j));
      _mm_storeu_si128(at(once + j), _mm_add_epi16(entry, one));
      _mm_storeu_si128(at(two + j), _mm_add_epi16(entry, twice));
      _mm_storeu_si128(at(three + j), _mm_add_epi16(entry, thrice));
    }
  }
}

// Fills the 4^L rows of a segment's table for one tile; `b_row` is the
// segment's first row of B at the tile's first column, rows m apart. Rows
// are `Stride` entries, those past the tile's width zero. Pattern d (one
// code) is d times the first row; the patterns below 4^l then hold every
// combination of the first l rows. Every entry lies within 3 * 128 * L, so
// 16 bits never wrap. Declared inline, as is its first level: a table of
// one code is a few instructions, which a call per table would outweigh.
template <std::size_t Stride>
inline void build_table(std::int16_t *table, const std::int8_t *b_row,
                        std::size_t m, int L, const TileValues<Stride> &tile,
                        bool may_overread) {
  build_first_level<Stride>(table, tile.row(b_row, may_overread));
  std::size_t filled = 4;
  for (int l = 1; l < L; ++l, filled *= 4)
    add_level<Stride>(table, filled,
                      tile.row(b_row + std::size_t(l) * m, may_overread));
}

constexpr std::size_t kLineBytes = 64;

template <std::size_t Stride>
void build_group_tables(const Product &p, const Group &group, const Tile &tile,
                        std::int16_t *tables) {
  // Copies: the tables' stores might otherwise be taken to change them.
  const std::size_t m = p.m, segment = std::size_t(p.grid.segment);
  const std::size_t entries = p.grid.table_entries(Stride);
  const int full = group.full, count = group.count();
  // The next segment's rows of B, where they lie lines apart: fetched while
  // this table is built. Closer rows are one stream, which the processor
  // fetches ahead by itself.
  const bool fetch_next = m >= kLineBytes;
  const TileValues<Stride> values(tile.width);
  // Offsets into B, so that no pointer is formed past its end.
  const std::size_t b_size = p.k * m;
  std::size_t at = group.first_code * m + tile.column;
  for (int g = 0; g < count; ++g, at += segment * m, tables += entries) {
    const int L = g < full ? int(segment) : group.short_codes;
    if (fetch_next && g + 1 < count)
      for (std::size_t l = 0, next = at + segment * m; l < segment; ++l)
        if (next + l * m < b_size)
          _mm_prefetch(reinterpret_cast<const char *>(p.B + next + l * m),
                       _MM_HINT_T0);
    const std::size_t last_row = at + std::size_t(L - 1) * m;
    const bool may_overread = b_size - last_row >= Stride;
    build_table<Stride>(tables, p.B + at, m, L, values, may_overread);
  }
}

} // namespace VESK_TARGET
} // namespace vesk
