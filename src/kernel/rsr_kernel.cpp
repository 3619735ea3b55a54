// The public entry: runs the target chosen for this process.
#include "rsr_kernel.h"

#include "kernel_targets.h"

#include <algorithm>
#include <cstddef>

namespace vesk {

void initialise_output(std::int32_t *C, const std::int32_t *bias, std::size_t n,
                       std::size_t m) {
  if (bias == nullptr) {
    std::fill(C, C + n * m, 0);
    return;
  }
  for (std::size_t r = 0; r < n; ++r)
    std::copy(bias, bias + m, C + r * m);
}

void rsr_gemm_kernel_on(const KernelTarget &target, const std::uint8_t *A,
                        const std::int8_t *B, std::int32_t *C,
                        const std::int32_t *bias, std::int32_t n,
                        std::int32_t k, std::int32_t m, std::int32_t block_size,
                        Workspace workspace) {
  if (n <= 0 || m <= 0)
    return;
  const auto rows = static_cast<std::size_t>(n);
  const auto cols = static_cast<std::size_t>(m);
  if (k <= 0)
    return initialise_output(C, bias, rows, cols);
  usable_target(target).gemm(A, B, C, bias, rows, static_cast<std::size_t>(k),
                             cols, segment_bound(block_size), workspace);
}

void rsr_gemm_kernel(const std::uint8_t *A, const std::int8_t *B,
                     std::int32_t *C, const std::int32_t *bias, std::int32_t n,
                     std::int32_t k, std::int32_t m, std::int32_t block_size,
                     Workspace workspace) {
  rsr_gemm_kernel_on(selected_target(), A, B, C, bias, n, k, m, block_size,
                     workspace);
}

} // namespace vesk
