// Pattern indices: each segment's codes of a row read as one base-4 number,
// the first code lowest, kept as one byte (segments have at most 4 codes).
// A byte rather than the table row's offset halves the memory a block's
// indices take, so that more rows share each build of the tables.
//
// Part of the fast kernels, compiled once per instruction set (see
// simd_tables.h).
#pragma once

#include "simd_tables.h"

#include <immintrin.h>

namespace vesk {
namespace VESK_TARGET {

// The pattern index of L codes.
inline std::uint8_t segment_index(const std::uint8_t *codes, int L) {
  unsigned f = 0;
  for (int l = 0; l < L; ++l)
    f |= unsigned(codes[l] & 3) << (2 * l);
  return static_cast<std::uint8_t>(f);
}

// The pattern index of a whole segment: the multiplier gathers the low two
// bits of each byte into the top byte without carries from below (every
// partial byte sum stays under 256).
template <int Segment>
std::uint8_t whole_segment_index(const std::uint8_t *codes) {
  if constexpr (Segment == 4) {
    std::uint32_t bytes;
    std::memcpy(&bytes, codes, 4);
    return static_cast<std::uint8_t>(((bytes & 0x03030303u) * 0x01041040u) >>
                                     24);
  } else {
    return segment_index(codes, Segment);
  }
}

// The indices of two whole segments of 4 codes: on 64 bits the same
// multiplier gathers the first into bits 24-31 and the second into bits
// 56-63, and the partial sums below each still stay under 256 of its units.
inline void store_two_indices(const std::uint8_t *codes, std::uint8_t *out) {
  std::uint64_t bytes;
  std::memcpy(&bytes, codes, 8);
  const std::uint64_t both = (bytes & 0x0303030303030303u) * 0x01041040u;
  out[0] = static_cast<std::uint8_t>(both >> 24);
  out[1] = static_cast<std::uint8_t>(both >> 56);
}

// Pattern indices of 32 codes at a time, in 256-bit registers: the AVX2
// kernel's, and the AVX-512 kernel's for groups narrower than its own.
struct YmmPatterns {
  static constexpr int kIndexBytes = 32;
  static constexpr unsigned kVectorSegments = 1u << 1 | 1u << 2 | 1u << 4;

  // The indices of the segments of Segment (1, 2 or 4) codes among the
  // kIndexBytes codes at `codes`.
  template <int Segment>
  static void store_indices(const std::uint8_t *codes, std::uint8_t *out) {
    const __m256i d = digits(codes);
    if constexpr (Segment == 1) {
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), d);
    } else if constexpr (Segment == 2) {
      // Packing works within 128-bit halves: bring the halves together.
      const __m256i bytes = _mm256_permute4x64_epi64(
          _mm256_packus_epi16(pair_indices(d), _mm256_setzero_si256()), 0x08);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                       _mm256_castsi256_si128(bytes));
    } else {
      // The low byte of each 32-bit lane, four to a half, then the halves'
      // first lanes together.
      const __m256i lows = _mm256_shuffle_epi8(
          quad_indices(d),
          _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                           -1, -1, 0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1,
                           -1, -1, -1, -1));
      const __m256i bytes = _mm256_permutevar8x32_epi32(
          lows, _mm256_setr_epi32(0, 4, 0, 0, 0, 0, 0, 0));
      _mm_storel_epi64(reinterpret_cast<__m128i *>(out),
                       _mm256_castsi256_si128(bytes));
    }
  }

private:
  static __m256i digits(const std::uint8_t *codes) {
    return _mm256_and_si256(
        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(codes)),
        _mm256_set1_epi8(3));
  }
  // d0 + 4 d1 in each 16-bit lane.
  static __m256i pair_indices(__m256i digits) {
    return _mm256_maddubs_epi16(digits, _mm256_set1_epi16(0x0401));
  }
  // The pairs weighted 1 and 16 in each 32-bit lane.
  static __m256i quad_indices(__m256i digits) {
    return _mm256_madd_epi16(pair_indices(digits),
                             _mm256_set1_epi32(0x00100001));
  }
};

// Rows of A are k bytes apart, each on its own pages for large k, and a
// group reads only a line or two of each, too little for the processor to
// fetch ahead by itself: a later row's codes of the group (its first and last
// line) are fetched while this one is indexed.
constexpr std::size_t kPrefetchRows = 48;

VESK_ALWAYS_INLINE void prefetch_codes_l1(const std::uint8_t *codes) {
  _mm_prefetch(reinterpret_cast<const char *>(codes), _MM_HINT_T0);
}
VESK_ALWAYS_INLINE void prefetch_codes_l2(const std::uint8_t *codes) {
  _mm_prefetch(reinterpret_cast<const char *>(codes), _MM_HINT_T1);
}

// One row's indices of the group: `codes` is the row's first code of it.
template <class Patterns, int Segment>
void form_row_indices(const std::uint8_t *codes, const Group &group,
                      std::uint8_t *out) {
  // Copies: stores of bytes may alias the group, which would be read again
  // after each one.
  const int full = group.full, short_codes = group.short_codes;
  constexpr int chunk = Patterns::kIndexBytes / Segment;
  constexpr bool vectorised = (Patterns::kVectorSegments >> Segment) & 1u;
  const int chunked = vectorised ? full / chunk * chunk : 0;
  for (int g = 0; g < chunked; g += chunk)
    Patterns::template store_indices<Segment>(codes + Segment * g, out + g);
  int g = chunked;
  if constexpr (vectorised &&
                Patterns::kIndexBytes > YmmPatterns::kIndexBytes) {
    constexpr int half = YmmPatterns::kIndexBytes / Segment;
    for (; g + half <= full; g += half)
      YmmPatterns::store_indices<Segment>(codes + Segment * g, out + g);
  }
  if constexpr (Segment == 4)
    for (; g + 2 <= full; g += 2)
      store_two_indices(codes + 4 * g, out + g);
  for (; g < full; ++g)
    out[g] = whole_segment_index<Segment>(codes + Segment * g);
  if (short_codes > 0)
    out[full] = segment_index(codes + Segment * full, short_codes);
}

// A later row's codes of a group, its first and last line (at `last_code`
// from its first code), fetched while this row's are indexed. They come into
// the first-level cache, where forming that row's indices reads them:
// against fetching into the second, calls alternating in one process on an
// AMD Zen 4 core, (1024, 16384, 16) and (16384, 1024, 16) measured
// 1.15-1.19 times as fast, (65536, 512, 16), (65536, 512, 64) and
// (4096, 4096, m) for m = 16 to 64 1.03-1.08 times, and (4096, 4096, 256)
// and (2048, 2048, 2048) as fast; with A from memory, no slower.
VESK_ALWAYS_INLINE void fetch_row_ahead(const std::uint8_t *codes,
                                        std::size_t k, std::size_t last_code) {
  const std::uint8_t *later = codes + kPrefetchRows * k;
  prefetch_codes_l1(later);
  prefetch_codes_l1(later + last_code);
}

inline std::size_t last_code_of(int segment, const Group &group) {
  return std::size_t(segment) * std::size_t(group.full) +
         std::size_t(group.short_codes) - 1;
}

template <class Patterns, int Segment>
void form_indices_of(const std::uint8_t *A, std::size_t k, const Group &group,
                     std::size_t r0, std::size_t r1, std::size_t prefetch_end,
                     std::uint8_t *out, std::size_t stride) {
  const std::size_t last_code = last_code_of(Segment, group);
  const std::uint8_t *codes = A + r0 * k + group.first_code;
  for (std::size_t r = r0; r < r1; ++r, codes += k, out += stride) {
    if (r + kPrefetchRows < prefetch_end)
      fetch_row_ahead(codes, k, last_code);
    form_row_indices<Patterns, Segment>(codes, group, out);
  }
}

// The group's indices of rows [r0, r1), `stride` bytes apart, a row's in
// segment order. `Patterns` forms those of kIndexBytes codes at a time in
// registers, for the segment lengths in its kVectorSegments.
template <class Patterns>
void form_indices(const std::uint8_t *A, std::size_t k, int segment,
                  const Group &group, std::size_t r0, std::size_t r1,
                  std::size_t prefetch_end, std::uint8_t *out,
                  std::size_t stride) {
  switch (segment) {
  case 1:
    return form_indices_of<Patterns, 1>(A, k, group, r0, r1, prefetch_end, out,
                                        stride);
  case 2:
    return form_indices_of<Patterns, 2>(A, k, group, r0, r1, prefetch_end, out,
                                        stride);
  case 3:
    return form_indices_of<Patterns, 3>(A, k, group, r0, r1, prefetch_end, out,
                                        stride);
  default:
    return form_indices_of<Patterns, 4>(A, k, group, r0, r1, prefetch_end, out,
                                        stride);
  }
}

// How far ahead of the lookups indices are formed, at most: in rows.
constexpr std::size_t kRowsAhead = 64;

// Indices of whole 4-code segments formed ahead, a row at a time, inside
// the lookups of other rows: forming waits on A's lines and the lookups on
// the tables, and only within one loop does the processor overlap the two.
// Row i of the lookups forms row i of these, if there is one. Only for
// segments of 4 codes, those of products of many rows: a former of any
// length, reached through a function pointer, made (4096, 4096, 12) slower
// than forming apart, and forming inlined into the lookups' loop was slower
// than calling it.
template <class Patterns> class IndicesAhead {
public:
  static constexpr int kSegment = 4;

  // None.
  IndicesAhead() = default;
  // Rows [r0, r1) of the group, as form_indices would form them.
  IndicesAhead(const std::uint8_t *A, std::size_t k, const Group &group,
               std::size_t r0, std::size_t r1, std::size_t prefetch_end,
               std::uint8_t *out, std::size_t stride)
      : codes_(A + r0 * k + group.first_code), k_(k), group_(group),
        last_code_(last_code_of(kSegment, group)), rows_(r1 - r0),
        fetched_rows_(prefetch_end - r0), out_(out), stride_(stride) {}

  void form(std::size_t i) const {
    if (i >= rows_)
      return;
    const std::uint8_t *codes = codes_ + i * k_;
    if (i + kPrefetchRows < fetched_rows_)
      fetch_row_ahead(codes, k_, last_code_);
    form_row_indices<Patterns, kSegment>(codes, group_, out_ + i * stride_);
  }

private:
  const std::uint8_t *codes_ = nullptr;
  std::size_t k_ = 0;
  Group group_{};
  std::size_t last_code_ = 0;
  std::size_t rows_ = 0, fetched_rows_ = 0;
  std::uint8_t *out_ = nullptr;
  std::size_t stride_ = 0;
};

} // namespace VESK_TARGET
} // namespace vesk
