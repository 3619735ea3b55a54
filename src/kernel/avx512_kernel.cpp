// The kernel for processors with AVX-512 (F, BW, VL): 32 lanes of 16 bits
// per register, and masks for tiles narrower than a register. Compiled with
// AVX-512 enabled; called only where the processor has it.
#include "kernel_targets.h"
#include "tiled_kernel.h"

#include <immintrin.h>

namespace vesk {
namespace {

// Tiles of at most 16 values: one 256-bit register of sums, widened into
// one 512-bit register of C.
struct Avx512Half {
  using Vec = __m256i;
  static constexpr std::size_t kLanes = 16;
  static constexpr bool kHasHalf = false;

  static Vec zero() { return _mm256_setzero_si256(); }
  static Vec add(Vec a, Vec b) { return _mm256_add_epi16(a, b); }
  static Vec load(const std::int16_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  }
  static Vec load_partial(const std::int16_t *p, int lanes) {
    return _mm256_maskz_loadu_epi16(first_lanes(lanes), p);
  }
  static void add_widened(std::int32_t *out, Vec v) {
    _mm512_storeu_si512(out,
                        _mm512_add_epi32(_mm512_loadu_si512(out), widen(v)));
  }
  static void add_widened_partial(std::int32_t *out, Vec v, int lanes) {
    const __mmask16 mask = first_lanes(lanes);
    _mm512_mask_storeu_epi32(
        out, mask,
        _mm512_add_epi32(_mm512_maskz_loadu_epi32(mask, out), widen(v)));
  }

private:
  // The masked form with every lane set: the plain one trips GCC's
  // may-be-uninitialised warning inside its own headers.
  static __m512i widen(Vec v) { return _mm512_maskz_cvtepi16_epi32(0xFFFF, v); }
  static __mmask16 first_lanes(int lanes) {
    return static_cast<__mmask16>((1u << lanes) - 1);
  }
};

// Segments of 4 codes, 16 at a time: their pattern indices formed in one
// register, and for a matrix-vector product their table entries gathered.
struct Avx512Patterns {
  using Acc = __m512i;
  static constexpr std::size_t kSegments = 16;

  // The indices of the 16 segments whose codes start at `codes`, one per
  // 32-bit lane: the digits masked out, d0 + 4 d1 formed in each 16-bit half
  // and the halves weighted 1 and 16.
  static __m512i indices(const std::uint8_t *codes) {
    const __m512i digits =
        _mm512_and_si512(_mm512_loadu_si512(codes), _mm512_set1_epi8(3));
    const __m512i pairs =
        _mm512_maddubs_epi16(digits, _mm512_set1_epi16(0x0401));
    return _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00100001));
  }
  static void store_indices(const std::uint8_t *codes, std::uint16_t *out) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out),
                        _mm512_maskz_cvtepi32_epi16(0xFFFF, indices(codes)));
  }

  static Acc zero() { return _mm512_setzero_si512(); }
  // acc plus the entries of the 16 segments whose codes start at `codes`;
  // segment j's table starts at tables + j * 256, and 2 bytes past the last
  // table must be readable.
  static Acc add_chunk(Acc acc, const std::uint8_t *codes,
                       const std::int16_t *tables) {
    const __m512i index = _mm512_add_epi32(
        indices(codes),
        _mm512_setr_epi32(0, 256, 512, 768, 1024, 1280, 1536, 1792, 2048, 2304,
                          2560, 2816, 3072, 3328, 3584, 3840));
    // Each lane reads 32 bits at its 16-bit entry; the upper half is the
    // next entry's, shifted out with sign extension. (Masked forms with every
    // lane set, as in widen_low below.)
    const __m512i pairs_read = _mm512_mask_i32gather_epi32(
        _mm512_setzero_si512(), 0xFFFF, index, tables, 2);
    return _mm512_add_epi32(
        acc, _mm512_maskz_srai_epi32(
                 0xFFFF, _mm512_maskz_slli_epi32(0xFFFF, pairs_read, 16), 16));
  }
  static std::int32_t sum(Acc acc) {
    const __m256i half =
        _mm256_add_epi32(_mm512_maskz_extracti64x4_epi64(0xFF, acc, 0),
                         _mm512_maskz_extracti64x4_epi64(0xFF, acc, 1));
    const __m128i quarter = _mm_add_epi32(_mm256_castsi256_si128(half),
                                          _mm256_extracti128_si256(half, 1));
    const __m128i eighth = _mm_add_epi32(quarter, _mm_srli_si128(quarter, 8));
    return _mm_cvtsi128_si32(_mm_add_epi32(eighth, _mm_srli_si128(eighth, 4)));
  }
};

struct Avx512 {
  using Vec = __m512i;
  using Half = Avx512Half;
  using Patterns = Avx512Patterns;
  static constexpr std::size_t kLanes = 32;
  static constexpr bool kHasHalf = true;

  static Vec zero() { return _mm512_setzero_si512(); }
  static Vec add(Vec a, Vec b) { return _mm512_add_epi16(a, b); }
  static Vec load(const std::int16_t *p) { return _mm512_loadu_si512(p); }
  static Vec load_partial(const std::int16_t *p, int lanes) {
    return _mm512_maskz_loadu_epi16(first_lanes32(lanes), p);
  }
  // out[0 .. 32) += sign-extended lanes; the 32-bit additions wrap, so no
  // (caller-excluded) overflow is undefined.
  static void add_widened(std::int32_t *out, Vec v) {
    const __m512i low = widen_low(v);
    const __m512i high = widen_high(v);
    _mm512_storeu_si512(out, _mm512_add_epi32(_mm512_loadu_si512(out), low));
    _mm512_storeu_si512(out + 16,
                        _mm512_add_epi32(_mm512_loadu_si512(out + 16), high));
  }
  static void add_widened_partial(std::int32_t *out, Vec v, int lanes) {
    const __mmask16 low_mask = first_lanes16(lanes);
    const __mmask16 high_mask = first_lanes16(lanes - 16);
    const __m512i low = widen_low(v);
    const __m512i high = widen_high(v);
    _mm512_mask_storeu_epi32(
        out, low_mask,
        _mm512_add_epi32(_mm512_maskz_loadu_epi32(low_mask, out), low));
    _mm512_mask_storeu_epi32(
        out + 16, high_mask,
        _mm512_add_epi32(_mm512_maskz_loadu_epi32(high_mask, out + 16), high));
  }

private:
  // The masked forms with every lane set: the plain ones trip GCC's
  // may-be-uninitialised warning inside its own headers.
  static __m512i widen_low(Vec v) {
    return _mm512_maskz_cvtepi16_epi32(
        0xFFFF, _mm512_maskz_extracti64x4_epi64(0xFF, v, 0));
  }
  static __m512i widen_high(Vec v) {
    return _mm512_maskz_cvtepi16_epi32(
        0xFFFF, _mm512_maskz_extracti64x4_epi64(0xFF, v, 1));
  }
  static __mmask32 first_lanes32(int lanes) {
    return static_cast<__mmask32>((std::uint64_t{1} << lanes) - 1);
  }
  static __mmask16 first_lanes16(int lanes) {
    if (lanes <= 0)
      return 0;
    return static_cast<__mmask16>(lanes >= 16 ? 0xFFFF : (1u << lanes) - 1);
  }
};

} // namespace

namespace avx512 {
void accumulate(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,
              std::size_t n, std::size_t k, std::size_t m, int b,
              Workspace workspace) {
  tiled::accumulate<Avx512>(A, B, C, n, k, m, b, workspace);
}
} // namespace avx512
} // namespace vesk
