// What the AVX-512 kernels (F, BW, VL) share: 32 lanes of 16 bits per
// register, masks for tiles narrower than a register, index forming and the
// target config. Each kernel file defines VESK_TARGET and includes this with
// its own flags (see simd_tables.h).
#pragma once

#include "simd_kernel.h"
#include "target_config.h"

#include <immintrin.h>

namespace vesk {
namespace VESK_TARGET {

// Half of a 512-bit register. (Masked forms with every lane set, here and
// below: the plain ones trip GCC's may-be-uninitialised warning inside its
// own headers.)
inline __m256i half(__m512i v, int which) {
  return which == 0 ? _mm512_maskz_extracti64x4_epi64(0xFF, v, 0)
                    : _mm512_maskz_extracti64x4_epi64(0xFF, v, 1);
}

// Tile rows of 16 entries: one 256-bit register of sums, widened into one
// 512-bit register of C.
struct Ymm : YmmLanes {
  static void add_widened(const std::int32_t *from, std::int32_t *to, Vec v) {
    _mm512_storeu_si512(to,
                        _mm512_add_epi32(_mm512_loadu_si512(from), widen(v)));
  }

private:
  static __m512i widen(Vec v) { return _mm512_maskz_cvtepi16_epi32(0xFFFF, v); }
};

struct Zmm {
  using Vec = __m512i;
  static constexpr std::size_t kLanes = 32;

  static Vec zero() { return _mm512_setzero_si512(); }
  static Vec add(Vec a, Vec b) { return _mm512_add_epi16(a, b); }
  static Vec load(const std::int16_t *p) { return _mm512_loadu_si512(p); }
  // to[0 .. 32) = from[0 .. 32) + sign-extended lanes; the 32-bit additions
  // wrap, so no (caller-excluded) overflow is undefined.
  static void add_widened(const std::int32_t *from, std::int32_t *to, Vec v) {
    Ymm::add_widened(from, to, half(v, 0));
    Ymm::add_widened(from + 16, to + 16, half(v, 1));
  }
  static void add_widened_partial(const std::int32_t *from, std::int32_t *to,
                                  Vec v, int lanes) {
    if (lanes <= 16)
      return Ymm::add_widened_partial(from, to, half(v, 0), lanes);
    Ymm::add_widened(from, to, half(v, 0));
    Ymm::add_widened_partial(from + 16, to + 16, half(v, 1), lanes - 16);
  }
};

// Pattern indices of whole registers of codes.
struct Patterns {
  static constexpr int kIndexBytes = 64;
  static constexpr unsigned kVectorSegments = 1u << 1 | 1u << 2 | 1u << 4;

  // The indices of the segments of Segment (1, 2 or 4) codes among the
  // kIndexBytes codes at `codes`.
  template <int Segment>
  static void store_indices(const std::uint8_t *codes, std::uint8_t *out) {
    const __m512i d = digits(codes);
    if constexpr (Segment == 1) {
      _mm512_storeu_si512(out, d);
    } else if constexpr (Segment == 2) {
      _mm256_storeu_si256(
          reinterpret_cast<__m256i *>(out),
          _mm512_maskz_cvtepi16_epi8(0xFFFFFFFF, pair_indices(d)));
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                       _mm512_maskz_cvtepi32_epi8(0xFFFF, quad_indices(d)));
    }
  }

private:
  static __m512i digits(const std::uint8_t *codes) {
    return _mm512_and_si512(_mm512_loadu_si512(codes), _mm512_set1_epi8(3));
  }
  // d0 + 4 d1 in each 16-bit lane.
  static __m512i pair_indices(__m512i digits) {
    return _mm512_maddubs_epi16(digits, _mm512_set1_epi16(0x0401));
  }
  // The pairs weighted 1 and 16 in each 32-bit lane.
  static __m512i quad_indices(__m512i digits) {
    return _mm512_madd_epi16(pair_indices(digits),
                             _mm512_set1_epi32(0x00100001));
  }
};

// The facts the plan relies on, for a target whose transposed path looks
// rows up as `Rows` does and serves up to `transposed_columns` columns. The
// budgets were measured on an AMD Zen 4 core (32 KiB / 1 MiB): a group's
// tables and a tile's column of C take half the second-level cache each (3/8
// and a quarter measured up to a tenth slower on (65536, 512, 64)), and a
// transposed block keeps the tables of as much of k as half of it holds
// (twice the first-level cache measured a fifth slower at (4096, 4096, 8)).
template <class Rows>
constexpr TargetConfig avx512_config(std::size_t transposed_columns) {
  return {YmmLanes::kLanes,
          32,
          Patterns::kIndexBytes,
          Patterns::kVectorSegments,
          Rows::kRows,
          Rows::kChunkCodes,
          Rows::kChunkEntries * sizeof(std::int16_t),
          transposed_columns,
          DirectProduct::kMaxRows,
          DirectProduct::kColumns,
          DirectProduct::kChunkCodes,
          DirectProduct::kRowsPerColumn,
          /*tables=*/{2, 4},
          /*column=*/{2, 4},
          /*transposed_tables=*/{2, 4}};
}

} // namespace VESK_TARGET
} // namespace vesk
