// Summing a group's table rows for each row of A and adding the sums into C.
//
// Part of the fast kernels, compiled once per instruction set (see
// simd_tables.h). `V` is a vector of 16-bit lanes with kLanes, zero, add,
// load, add_widened (to = from plus its lanes, sign-extended to 32 bits) and
// add_widened_partial (the first few lanes only).
#pragma once

#include "simd_indices.h"
#include "simd_tables.h"

#include <immintrin.h>

namespace vesk {
namespace VESK_TARGET {

// to[0 .. lanes) = from[0 .. lanes) + the first `lanes` (1 to 8) 16-bit
// lanes of v, sign-extended: four at a time, then two, then one, in
// registers throughout. Every access spans exactly the values it reads or
// writes: a masked or wider one would overlap the next row of a narrow C,
// and the load there would wait for this store to retire. The 32-bit
// additions wrap, so no (caller-excluded) overflow is undefined.
inline void add_widened_tail(const std::int32_t *from, std::int32_t *to,
                             __m128i v, int lanes) {
  int i = 0;
  for (; i + 4 <= lanes; i += 4, v = _mm_srli_si128(v, 8))
    _mm_storeu_si128(
        reinterpret_cast<__m128i *>(to + i),
        _mm_add_epi32(
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i)),
            _mm_cvtepi16_epi32(v)));
  __m128i wide = _mm_cvtepi16_epi32(v);
  if (i + 2 <= lanes) {
    store_low<8>(to + i, _mm_add_epi32(load_low<8>(from + i), wide));
    wide = _mm_srli_si128(wide, 8);
    i += 2;
  }
  if (i < lanes)
    store_low<4>(to + i, _mm_add_epi32(load_low<4>(from + i), wide));
}

// Compiler barriers for the lookup loop (GCC and Clang; elsewhere they do
// nothing). Each makes the compiler take a value as computed where it
// stands, so that it moves no work across:
// - on the tables' base, once per row: each table's place, a constant
//   offset from it, then folds into that row's loads, rather than being
//   hoisted out of the loop as one address per table, which spill;
// - on a sum, after each table row is added to it: the additions stay in
//   order rather than being regrouped into a tree that holds every row
//   loaded in a register at once, which spill too.
// Measured on an AMD Zen 3 core, with AVX2: the lookups of (4096, 4096, m)
// for m = 16 to 256 6-23% faster, and the whole products of those,
// (2048, 2048, 2048) and (65536, 512, 64) 9-33% faster.
VESK_ALWAYS_INLINE void keep_address(std::size_t &address) {
#if defined(__GNUC__)
  asm("" : "+r"(address));
#else
  (void)address;
#endif
}
template <class Vec> VESK_ALWAYS_INLINE void keep_vector(Vec &v) {
#if defined(__GNUC__)
  asm("" : "+v"(v));
#else
  (void)v;
#endif
}

// Where the sums of a group go: row r's values are read at from + r *
// from_stride and written, increased by the sums, at to + r * to_stride.
// Usually both are the same; going by tiles, the first group reads C and
// writes its column copy and the last one reads the copy and writes C.
struct Rows {
  const std::int32_t *from;
  std::size_t from_stride;
  std::int32_t *to;
  std::size_t to_stride;
  std::size_t count;
};

inline Rows rows_in_place(std::int32_t *out, std::size_t stride,
                          std::size_t count) {
  return Rows{out, stride, out, stride, count};
}

// Table rows of Stride 16-bit entries are 2^row_shift(Stride) bytes.
constexpr int row_shift(std::size_t stride) {
  return stride <= 1 ? 1 : 1 + row_shift(stride / 2);
}

// For each row: the sum of its table rows, one per segment of the group
// (row `index` of a table at its byte offset index << RowShift), formed in
// `Count` registers of 16-bit lanes (a group never exceeds 16 bits, see
// group_limit), then added to the first `width` values of the row; first,
// the row's indices ahead are formed, if any.
// KnownTableBytes is the size of one table and KnownSegments the group's
// segments where known when compiling (0: table_stride entries, and
// runtime_segments).
template <class V, int Count, int RowShift, std::size_t KnownTableBytes,
          int KnownSegments = 0, class Ahead>
void accumulate_rows(const std::uint8_t *indices, std::size_t index_stride,
                     int runtime_segments, const std::int16_t *tables,
                     std::size_t table_stride, std::size_t width,
                     const Rows &rows, const Ahead &ahead) {
  const std::int32_t *from = rows.from;
  std::int32_t *to = rows.to;
  const int segments = KnownSegments != 0 ? KnownSegments : runtime_segments;
  for (std::size_t r = 0; r < rows.count; ++r, indices += index_stride,
                   from += rows.from_stride, to += rows.to_stride) {
    ahead.form(r);
    // Two sums per register, of even and odd segments, so that the
    // additions do not wait for each other; four segments a step.
    typename V::Vec sum[Count], odd[Count];
    for (int v = 0; v < Count; ++v)
      sum[v] = odd[v] = V::zero();
    const char *table = reinterpret_cast<const char *>(tables);
    const std::size_t table_bytes = KnownTableBytes != 0
                                        ? KnownTableBytes
                                        : table_stride * sizeof(std::int16_t);
    const auto add_entry = [&](typename V::Vec *into, std::size_t at) {
      const auto *entry = reinterpret_cast<const std::int16_t *>(at);
      for (int v = 0; v < Count; ++v) {
        into[v] = V::add(into[v], V::load(entry + v * V::kLanes));
        keep_vector(into[v]);
      }
    };
    auto base = reinterpret_cast<std::size_t>(table);
    keep_address(base);
    const auto row = [&](int g) {
      return base + std::size_t(g) * table_bytes +
             (std::size_t{indices[g]} << RowShift);
    };
    int g = 0;
    for (; g + 4 <= segments; g += 4) {
      add_entry(sum, row(g));
      add_entry(odd, row(g + 1));
      add_entry(sum, row(g + 2));
      add_entry(odd, row(g + 3));
    }
    for (; g < segments; ++g)
      add_entry(sum, row(g));
    for (int v = 0; v < Count; ++v)
      sum[v] = V::add(sum[v], odd[v]);
    for (int v = 0; v < Count; ++v) {
      const std::size_t first = std::size_t(v) * V::kLanes;
      if (first + V::kLanes <= width)
        V::add_widened(from + first, to + first, sum[v]);
      else if (first < width)
        V::add_widened_partial(from + first, to + first, sum[v],
                               int(width - first));
    }
  }
}

// Rows of 2, 4 or 8 entries (narrow tiles): the low 32 or 64 bits or the
// whole of a 128-bit register, so that a row's load reads just its entries.
template <int Lanes> struct NarrowRow {
  using Vec = __m128i;
  static constexpr std::size_t kLanes = Lanes;

  static Vec zero() { return _mm_setzero_si128(); }
  static Vec add(Vec a, Vec b) { return _mm_add_epi16(a, b); }
  static Vec load(const std::int16_t *p) { return load_low<2 * Lanes>(p); }
  // Exactly the row's Lanes values of C are read and written.
  static void add_widened(const std::int32_t *from, std::int32_t *to, Vec v) {
    if constexpr (Lanes == 8) {
      _mm256_storeu_si256(
          reinterpret_cast<__m256i *>(to),
          _mm256_add_epi32(
              _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from)),
              _mm256_cvtepi16_epi32(v)));
    } else {
      store_low<4 * Lanes>(
          to, _mm_add_epi32(load_low<4 * Lanes>(from), _mm_cvtepi16_epi32(v)));
    }
  }
  static void add_widened_partial(const std::int32_t *from, std::int32_t *to,
                                  Vec v, int lanes) {
    add_widened_tail(from, to, v, lanes);
  }
};

// A 256-bit register of 16 lanes, as every fast target has it; each target
// adds its own widening of the sums into C (add_widened).
struct YmmLanes {
  using Vec = __m256i;
  static constexpr std::size_t kLanes = 16;

  static Vec zero() { return _mm256_setzero_si256(); }
  static Vec add(Vec a, Vec b) { return _mm256_add_epi16(a, b); }
  static Vec load(const std::int16_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  }
  static void add_widened_partial(const std::int32_t *from, std::int32_t *to,
                                  Vec v, int lanes) {
    const __m128i low = _mm256_castsi256_si128(v);
    if (lanes < 8)
      return add_widened_tail(from, to, low, lanes);
    _mm256_storeu_si256(
        reinterpret_cast<__m256i *>(to),
        _mm256_add_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from)),
            _mm256_cvtepi16_epi32(low)));
    if (lanes > 8)
      add_widened_tail(from + 8, to + 8, _mm256_extracti128_si256(v, 1),
                       lanes - 8);
  }
};

// The vectors holding a table row of Stride entries: narrow rows as above,
// rows of 16 in the instruction set's 16-lane vector, wider ones in as many
// of its widest vectors as they need.
template <class Isa, std::size_t Stride> struct RowVectors {
  using V = typename Isa::Wide;
  static constexpr int kCount = int(Stride / V::kLanes);
  static_assert(Stride % V::kLanes == 0, "rows span whole vectors");
};
template <class Isa> struct RowVectors<Isa, 2> {
  using V = NarrowRow<2>;
  static constexpr int kCount = 1;
};
template <class Isa> struct RowVectors<Isa, 4> {
  using V = NarrowRow<4>;
  static constexpr int kCount = 1;
};
template <class Isa> struct RowVectors<Isa, 8> {
  using V = NarrowRow<8>;
  static constexpr int kCount = 1;
};
template <class Isa> struct RowVectors<Isa, 16> {
  using V = typename Isa::Narrow;
  static constexpr int kCount = 1;
};

template <class Isa, std::size_t Stride>
void accumulate_tile(const std::uint8_t *indices, std::size_t index_stride,
                     int segments, const std::int16_t *tables,
                     std::size_t table_stride, std::size_t width,
                     const Rows &rows,
                     const IndicesAhead<typename Isa::Patterns> &ahead) {
  using Row = RowVectors<Isa, Stride>;
  // Tables of whole 4-code segments, the common case, have a fixed size:
  // each table's place then folds into its loads' displacements, which keeps
  // scaling the byte indices free (without it, (2048, 2048, 2048) measured
  // 4% slower with AVX2).
  constexpr std::size_t whole = std::size_t{256} * Stride;
  // The common whole group, 16 such segments, is summed fully unrolled:
  // (4096, 4096, 32) measured a sixth faster so with AVX2.
  constexpr int kUnrolled = 16;
  if (table_stride == whole && segments == kUnrolled)
    return accumulate_rows<typename Row::V, Row::kCount, row_shift(Stride),
                           whole * sizeof(std::int16_t), kUnrolled>(
        indices, index_stride, segments, tables, table_stride, width, rows,
        ahead);
  if (table_stride == whole)
    return accumulate_rows<typename Row::V, Row::kCount, row_shift(Stride),
                           whole * sizeof(std::int16_t)>(
        indices, index_stride, segments, tables, table_stride, width, rows,
        ahead);
  accumulate_rows<typename Row::V, Row::kCount, row_shift(Stride), 0>(
      indices, index_stride, segments, tables, table_stride, width, rows,
      ahead);
}

} // namespace VESK_TARGET
} // namespace vesk
