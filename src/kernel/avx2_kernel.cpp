// The kernel for processors with AVX2: 16 lanes of 16 bits per register.
// Compiled with AVX2 enabled; called only where the processor has it.
#define VESK_TARGET avx2
#include "simd_kernel.h"

#include <immintrin.h>

namespace vesk {
namespace avx2 {
namespace {

struct Ymm {
  using Vec = __m256i;
  static constexpr std::size_t kLanes = 16;

  static Vec zero() { return _mm256_setzero_si256(); }
  static Vec add(Vec a, Vec b) { return _mm256_add_epi16(a, b); }
  static Vec load(const std::int16_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  }
  // to[0 .. 16) = from[0 .. 16) + sign-extended lanes; the 32-bit additions
  // wrap, so no (caller-excluded) overflow is undefined.
  static void add_widened(const std::int32_t *from, std::int32_t *to, Vec v) {
    add_to(from, to, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(v)));
    add_to(from + 8, to + 8,
           _mm256_cvtepi16_epi32(_mm256_extracti128_si256(v, 1)));
  }
  static void add_widened_partial(const std::int32_t *from, std::int32_t *to,
                                  Vec v, int lanes) {
    alignas(32) std::int16_t sums[kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i *>(sums), v);
    add_widened_tail(from, to, sums, lanes);
  }

private:
  static void add_to(const std::int32_t *from, std::int32_t *to,
                     __m256i wide) {
    _mm256_storeu_si256(
        reinterpret_cast<__m256i *>(to),
        _mm256_add_epi32(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(from)), wide));
  }
};

// Pattern indices of whole registers of codes, and for a matrix-vector
// product the gathering of table entries of 8 segments of 4 codes at a time.
struct Patterns {
  static constexpr std::size_t kSegments = 8;
  using Acc = __m256i;

  static constexpr int kIndexBytes = 32;

  // The table-row offsets (indices shifted left by Shift) of the segments
  // of Segment (1, 2 or 4) codes among the kIndexBytes codes at `codes`.
  template <int Segment, int Shift>
  static void store_offsets(const std::uint8_t *codes, std::uint16_t *out) {
    const __m256i d = digits(codes);
    if constexpr (Segment == 1) {
      store_words(out, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(d)), Shift);
      store_words(out + 16, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(d, 1)),
                  Shift);
    } else if constexpr (Segment == 2) {
      store_words(out, pair_indices(d), Shift);
    } else {
      // Packing works within 128-bit halves: bring the halves together.
      const __m256i words = _mm256_permute4x64_epi64(
          _mm256_packus_epi32(_mm256_slli_epi32(quad_indices(d), Shift),
                              _mm256_setzero_si256()),
          0x08);
      _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                       _mm256_castsi256_si128(words));
    }
  }

  static Acc zero() { return _mm256_setzero_si256(); }
  // acc plus the entries of the 8 segments of 4 codes at `codes`; segment j's
  // table starts at tables + j * 256, and 2 bytes past the last table must be
  // readable.
  static Acc add_chunk(Acc acc, const std::uint8_t *codes,
                       const std::int16_t *tables) {
    const __m256i index = _mm256_add_epi32(
        quad_indices(digits(codes)),
        _mm256_setr_epi32(0, 256, 512, 768, 1024, 1280, 1536, 1792));
    // Each lane reads 32 bits at its 16-bit entry; the upper half is the
    // next entry's, shifted out with sign extension.
    const __m256i read =
        _mm256_i32gather_epi32(reinterpret_cast<const int *>(tables), index, 2);
    return _mm256_add_epi32(acc,
                            _mm256_srai_epi32(_mm256_slli_epi32(read, 16), 16));
  }
  static std::int32_t sum(Acc acc) {
    const __m128i half = _mm_add_epi32(_mm256_castsi256_si128(acc),
                                       _mm256_extracti128_si256(acc, 1));
    const __m128i quarter = _mm_add_epi32(half, _mm_srli_si128(half, 8));
    return _mm_cvtsi128_si32(
        _mm_add_epi32(quarter, _mm_srli_si128(quarter, 4)));
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
  static void store_words(std::uint16_t *out, __m256i words, int shift) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out),
                        _mm256_slli_epi16(words, shift));
  }
};

struct Avx2 {
  using Narrow = Ymm;
  using Wide = Ymm;
  using Patterns = avx2::Patterns;
  static constexpr TargetTraits kTraits{16, 32, Patterns::kSegments,
                                        Patterns::kIndexBytes, 0};
};

} // namespace

void gemm(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,
          const std::int32_t *bias, std::size_t n, std::size_t k,
          std::size_t m, int b, Workspace workspace) {
  multiply<Avx2>(A, B, C, bias, n, k, m, b, workspace);
}

} // namespace avx2
} // namespace vesk
