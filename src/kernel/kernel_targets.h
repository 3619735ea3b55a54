// Internal entry points of the kernel: one implementation per instruction
// set and the choice among them. Not part of the public interface; the
// kernel tests use it to run every target the machine has.
#pragma once

#include "rsr_kernel.h"

#include <cstddef>
#include <cstdint>

namespace vesk {

enum class KernelTarget { portable, avx2, avx512 };

// Adds A x B into C (already initialised) with segments of `b` rows, b being
// 4, 6 or 8; n, k and m are all positive. Tables may be placed in `spare`.
using MultiplyFunction = void (*)(const std::uint8_t *A, const std::int8_t *B,
                                  std::int32_t *C, std::size_t n, std::size_t k,
                                  std::size_t m, int b, Workspace spare);

namespace portable {
void multiply(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,
              std::size_t n, std::size_t k, std::size_t m, int b,
              Workspace spare);
} // namespace portable

#if defined(VESK_X86_TARGETS)
namespace avx2 {
void multiply(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,
              std::size_t n, std::size_t k, std::size_t m, int b,
              Workspace spare);
} // namespace avx2
namespace avx512 {
void multiply(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,
              std::size_t n, std::size_t k, std::size_t m, int b,
              Workspace spare);
} // namespace avx512
#endif

// Whether this build has the target and this processor (and its operating
// system) can run it.
bool target_available(KernelTarget target);

// The target a request falls back to: itself when available, else the best
// available one below it, ending at the portable path.
KernelTarget usable_target(KernelTarget requested);

// The target of every call in this process, chosen at first use: the best
// available one, or the one VESK_KERNEL (portable, avx2 or avx512) names,
// made usable.
KernelTarget selected_target();

const char *target_name(KernelTarget target);

// rsr_gemm_kernel on the given target (made usable), for tests and tools.
void rsr_gemm_kernel_on(KernelTarget target, const std::uint8_t *A,
                        const std::int8_t *B, std::int32_t *C,
                        const std::int32_t *bias, std::int32_t n,
                        std::int32_t k, std::int32_t m, std::int32_t block_size,
                        Workspace spare = {});

} // namespace vesk
