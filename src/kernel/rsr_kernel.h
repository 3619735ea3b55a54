// Segment lookup-table multiplication of 2-bit codes by signed 8-bit values.
//
// Plain C++ with no interpreter dependency: the numeric core of the module.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vesk {

// Memory a caller lends the kernel for its tables, so that it need not
// allocate its own: for example the unused part of the caller's result
// storage. It must not overlap A, B, C or the bias row; its contents on entry
// do not matter and are undefined on return.
struct Workspace {
  void *data = nullptr;
  std::size_t bytes = 0;
};

// Sets C (n x m, row-major) to bias-or-zero plus A x B, where A is n x k bytes
// of which only the low 2 bits count (codes 0..3) and B is k x m signed bytes.
//
// `bias` is null (every row of C starts at zero) or points at m values that
// every row of C starts from. The block size bounds the kernel's memory: its
// segments are at most 6 or 8 codes for those block sizes and 4 for every
// other value, and shorter where the rows sharing a table would not repay
// building it. The segment length changes speed and memory, never the
// result.
//
// With n <= 0 or m <= 0 nothing is touched; with k <= 0 C is only initialised.
// Otherwise the caller guarantees buffers of n*k, k*m and n*m elements and
// results within 32 bits (always so without a bias for k <= kMaxExactDepth;
// beyond that the 32-bit sums wrap). Throws std::bad_alloc if the kernel's
// own memory cannot be allocated; nothing else.
//
// Memory: with or without a workspace, the kernel allocates no more than one
// table of the block size's segment length, 2 * 4^b * m bytes (plus 63 for
// alignment), and uses the workspace for the rest of its tables, indices
// and a copy of a column of C.
void rsr_gemm_kernel(const std::uint8_t *A, const std::int8_t *B,
                     std::int32_t *C, const std::int32_t *bias, std::int32_t n,
                     std::int32_t k, std::int32_t m, std::int32_t block_size,
                     Workspace workspace = {});

// The largest k for which every result fits in 32 bits whatever the inputs:
// each term is at most 3 * 128 = 384 in magnitude.
constexpr std::int64_t kMaxExactDepth = INT32_MAX / 384;

// The segment length used for a caller's block size.
constexpr int segment_length(std::int32_t block_size) {
  return block_size == 6 ? 6 : block_size == 8 ? 8 : 4;
}

} // namespace vesk
