// The kernel for processors with AVX2: 16 lanes of 16 bits per register.
// Compiled with AVX2 enabled; called only where the processor has it.
#include "kernel_targets.h"
#include "tiled_kernel.h"

#include <immintrin.h>

namespace vesk {
namespace {

// Segments of 4 codes, 8 at a time: their pattern indices formed in one
// register, and for a matrix-vector product their table entries gathered.
struct Avx2Patterns {
  using Acc = __m256i;
  static constexpr std::size_t kSegments = 8;

  // The indices of the 8 segments whose codes start at `codes`, one per
  // 32-bit lane: the digits masked out, d0 + 4 d1 formed in each 16-bit half
  // and the halves weighted 1 and 16.
  static __m256i indices(const std::uint8_t *codes) {
    const __m256i digits = _mm256_and_si256(
        _mm256_loadu_si256(reinterpret_cast<const __m256i *>(codes)),
        _mm256_set1_epi8(3));
    const __m256i pairs =
        _mm256_maddubs_epi16(digits, _mm256_set1_epi16(0x0401));
    return _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00100001));
  }
  static void store_indices(const std::uint8_t *codes, std::uint16_t *out) {
    // Packing works within 128-bit halves: bring the halves' results together.
    const __m256i packed = _mm256_permute4x64_epi64(
        _mm256_packus_epi32(indices(codes), _mm256_setzero_si256()), 0x08);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(out),
                     _mm256_castsi256_si128(packed));
  }

  static Acc zero() { return _mm256_setzero_si256(); }
  // acc plus the entries of the 8 segments whose codes start at `codes`;
  // segment j's table starts at tables + j * 256, and 2 bytes past the last
  // table must be readable.
  static Acc add_chunk(Acc acc, const std::uint8_t *codes,
                       const std::int16_t *tables) {
    const __m256i index = _mm256_add_epi32(
        indices(codes),
        _mm256_setr_epi32(0, 256, 512, 768, 1024, 1280, 1536, 1792));
    // Each lane reads 32 bits at its 16-bit entry; the upper half is the
    // next entry's, shifted out with sign extension.
    const __m256i pairs_read =
        _mm256_i32gather_epi32(reinterpret_cast<const int *>(tables), index, 2);
    return _mm256_add_epi32(
        acc, _mm256_srai_epi32(_mm256_slli_epi32(pairs_read, 16), 16));
  }
  static std::int32_t sum(Acc acc) {
    const __m128i half = _mm_add_epi32(_mm256_castsi256_si128(acc),
                                       _mm256_extracti128_si256(acc, 1));
    const __m128i quarter = _mm_add_epi32(half, _mm_srli_si128(half, 8));
    return _mm_cvtsi128_si32(
        _mm_add_epi32(quarter, _mm_srli_si128(quarter, 4)));
  }
};

struct Avx2 {
  using Vec = __m256i;
  using Patterns = Avx2Patterns;
  static constexpr std::size_t kLanes = 16;
  static constexpr bool kHasHalf = false;

  static Vec zero() { return _mm256_setzero_si256(); }
  static Vec add(Vec a, Vec b) { return _mm256_add_epi16(a, b); }
  static Vec load(const std::int16_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  }
  static Vec load_partial(const std::int16_t *p, int lanes) {
    alignas(32) std::int16_t buffer[kLanes] = {};
    std::memcpy(buffer, p, sizeof(std::int16_t) * lanes);
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(buffer));
  }
  // out[0 .. 16) += sign-extended lanes; the 32-bit additions wrap, so no
  // (caller-excluded) overflow is undefined.
  static void add_widened(std::int32_t *out, Vec v) {
    __m256i *low = reinterpret_cast<__m256i *>(out);
    __m256i *high = reinterpret_cast<__m256i *>(out + 8);
    const __m256i wide_low = _mm256_cvtepi16_epi32(_mm256_castsi256_si128(v));
    const __m256i wide_high =
        _mm256_cvtepi16_epi32(_mm256_extracti128_si256(v, 1));
    _mm256_storeu_si256(low,
                        _mm256_add_epi32(_mm256_loadu_si256(low), wide_low));
    _mm256_storeu_si256(high,
                        _mm256_add_epi32(_mm256_loadu_si256(high), wide_high));
  }
  static void add_widened_partial(std::int32_t *out, Vec v, int lanes) {
    alignas(32) std::int16_t buffer[kLanes];
    _mm256_store_si256(reinterpret_cast<__m256i *>(buffer), v);
    for (int i = 0; i < lanes; ++i)
      out[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(out[i]) +
                                         static_cast<std::uint32_t>(buffer[i]));
  }
};

} // namespace

namespace avx2 {
void accumulate(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,
              std::size_t n, std::size_t k, std::size_t m, int b,
              Workspace workspace) {
  tiled::accumulate<Avx2>(A, B, C, n, k, m, b, workspace);
}
} // namespace avx2
} // namespace vesk
