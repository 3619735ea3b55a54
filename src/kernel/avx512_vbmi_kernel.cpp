// The kernel for processors with AVX-512 (F, BW, VL) and its byte permutes
// (VBMI) and 8-bit dot products (VNNI): as the AVX-512 kernel, but a few
// columns go transposed in 32-bit lanes (simd_dword_pairs.h). Compiled with
// those sets enabled; called only where the processor has them.
#define VESK_TARGET avx512vbmi
#include "simd_avx512.h"
#include "simd_dword_pairs.h"

namespace vesk {
namespace avx512vbmi {

// The facts the plan relies on; the target table's row leads here.
extern const TargetConfig config;
constexpr TargetConfig config = avx512_config<DwordPairs>(DwordPairs::kColumns);

namespace {

struct Avx512Vbmi {
  using Narrow = Ymm;
  using Wide = Zmm;
  using Patterns = avx512vbmi::Patterns;
  using Transposed = TransposedProduct<DwordPairs>;
  static constexpr const TargetConfig &kConfig = config;
};

} // namespace

VESK_DEFINE_ENTRIES(Avx512Vbmi)

} // namespace avx512vbmi
} // namespace vesk
