// Summing a group's table rows for each row of A and adding the sums into C.
//
// Part of the fast kernels, compiled once per instruction set (see
// simd_tables.h). `V` is a vector of 16-bit lanes with kLanes, zero, add,
// load, add_widened (adds its lanes, sign-extended, into 32-bit values) and
// add_widened_partial (the first few lanes only).
#pragma once

#include "simd_tables.h"

#include <immintrin.h>

namespace vesk {
namespace VESK_TARGET {

// out[0 .. lanes) += sums[0 .. lanes), four at a time, then one by one.
// Every access spans exactly the values it changes: a masked or wider one
// would overlap the next row of a narrow C, and the load there would wait
// for this store to retire. The 32-bit additions wrap, so no
// (caller-excluded) overflow is undefined.
inline void add_widened_tail(std::int32_t *out, const std::int16_t *sums,
                             int lanes) {
  int i = 0;
  for (; i + 4 <= lanes; i += 4) {
    __m128i *p = reinterpret_cast<__m128i *>(out + i);
    const __m128i wide = _mm_cvtepi16_epi32(
        _mm_loadl_epi64(reinterpret_cast<const __m128i *>(sums + i)));
    _mm_storeu_si128(p, _mm_add_epi32(_mm_loadu_si128(p), wide));
  }
  for (; i < lanes; ++i)
    out[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(out[i]) +
                                       static_cast<std::uint32_t>(sums[i]));
}

// For each of `rows` rows: the sum of its table rows, one per segment of the
// group, formed in `Count` registers of 16-bit lanes (a group never exceeds
// 16 bits, see group_limit), then added into the first `width` values of its
// row of `out`.
template <class V, int Count>
void accumulate_rows(const std::uint8_t *indices, std::size_t index_stride,
                     int segments, const std::int16_t *tables,
                     std::size_t table_stride, std::size_t width,
                     std::int32_t *out, std::size_t out_stride,
                     std::size_t rows) {
  constexpr std::size_t kRowStride = Count * V::kLanes;
  for (std::size_t r = 0; r < rows;
       ++r, indices += index_stride, out += out_stride) {
    // Two sums per register, of even and odd segments, so that the
    // additions do not wait for each other.
    typename V::Vec sum[Count], odd[Count];
    for (int v = 0; v < Count; ++v)
      sum[v] = odd[v] = V::zero();
    const std::int16_t *table = tables;
    int g = 0;
    for (; g + 1 < segments; g += 2, table += 2 * table_stride) {
      const std::int16_t *entry = table + std::size_t(indices[g]) * kRowStride;
      const std::int16_t *next =
          table + table_stride + std::size_t(indices[g + 1]) * kRowStride;
      for (int v = 0; v < Count; ++v) {
        sum[v] = V::add(sum[v], V::load(entry + v * V::kLanes));
        odd[v] = V::add(odd[v], V::load(next + v * V::kLanes));
      }
    }
    if (g < segments) {
      const std::int16_t *entry = table + std::size_t(indices[g]) * kRowStride;
      for (int v = 0; v < Count; ++v)
        sum[v] = V::add(sum[v], V::load(entry + v * V::kLanes));
    }
    for (int v = 0; v < Count; ++v)
      sum[v] = V::add(sum[v], odd[v]);
    for (int v = 0; v < Count; ++v) {
      const std::size_t first = std::size_t(v) * V::kLanes;
      if (first + V::kLanes <= width)
        V::add_widened(out + first, sum[v]);
      else if (first < width)
        V::add_widened_partial(out + first, sum[v], int(width - first));
    }
  }
}

// Tile rows of 16 entries go in the instruction set's 16-lane vector, wider
// ones in as many of its widest vectors as they need.
template <class Isa, std::size_t Stride> struct RowVectors {
  using V = typename Isa::Wide;
  static constexpr int kCount = int(Stride / V::kLanes);
  static_assert(Stride % V::kLanes == 0, "rows span whole vectors");
};
template <class Isa> struct RowVectors<Isa, 16> {
  using V = typename Isa::Narrow;
  static constexpr int kCount = 1;
};

template <class Isa, std::size_t Stride>
void accumulate_tile(const std::uint8_t *indices, std::size_t index_stride,
                     int segments, const std::int16_t *tables,
                     std::size_t table_stride, std::size_t width,
                     std::int32_t *out, std::size_t out_stride,
                     std::size_t rows) {
  using Row = RowVectors<Isa, Stride>;
  accumulate_rows<typename Row::V, Row::kCount>(
      indices, index_stride, segments, tables, table_stride, width, out,
      out_stride, rows);
}

} // namespace VESK_TARGET
} // namespace vesk
