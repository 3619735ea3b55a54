// The kernel for processors with AVX-512 (F, BW, VL) but without VBMI and
// VNNI: a few columns go transposed in bytes (simd_byte_pairs.h), as on
// AVX2, which in bytes measured a quarter to a third faster for m = 1 to 4
// than 16-bit tables looked up with vpermt2w (on an AMD Zen 4 core).
// Compiled with AVX-512 enabled; called only where the processor has it.
#define VESK_TARGET avx512
#include "simd_avx512.h"
#include "simd_byte_pairs.h"

namespace vesk {
namespace avx512 {

// The facts the plan relies on; the target table's row leads here.
extern const TargetConfig config;
constexpr TargetConfig config =
    avx512_config<SixteenRows>(ThirtyTwoRows::kColumns);

namespace {

struct Avx512 {
  using Narrow = Ymm;
  using Wide = Zmm;
  using Patterns = avx512::Patterns;
  using Transposed = BytePairProduct;
  static constexpr const TargetConfig &kConfig = config;
};

} // namespace

VESK_DEFINE_ENTRIES(Avx512)

} // namespace avx512
} // namespace vesk
