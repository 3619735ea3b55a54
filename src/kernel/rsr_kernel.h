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
// every row of C starts from. The block size is a bound of
// segment_bound(block_size) codes: segments are at most that long (and at
// most 4 codes, shorter where the rows sharing a table would not repay
// building it; the fast kernels multiply rows too few for any table by B
// directly, their one-code tables formed in registers), and the kernel's
// own memory is measured by one table of that length. The segment length
// changes speed and memory, never the result.
//
// With n <= 0 or m <= 0 nothing is touched; with k <= 0 C is only initialised.
// Otherwise the caller guarantees buffers of n*k, k*m and n*m elements and
// results within 32 bits (always so without a bias for k <= kMaxExactDepth;
// beyond that the 32-bit sums wrap). Throws std::bad_alloc if the kernel's
// own memory cannot be allocated; nothing else.
//
// Memory: the kernel places its tables, indices and a copy of a column of C
// in the workspace where they fit, and allocates the rest itself: at most
// the larger of one table of the segment bound, 2 * 4^b * m bytes, and the
// core's second-level data cache, plus up to 63 bytes to start on a 64-byte
// line. Where more than the one table cannot be had, it plans again within
// that one table, and fails only if that cannot be had either.
void rsr_gemm_kernel(const std::uint8_t *A, const std::int8_t *B,
                     std::int32_t *C, const std::int32_t *bias, std::int32_t n,
                     std::int32_t k, std::int32_t m, std::int32_t block_size,
                     Workspace workspace = {});

// The largest k for which every result fits in 32 bits whatever the inputs:
// each term is at most 3 * 128 = 384 in magnitude.
constexpr std::int64_t kMaxExactDepth = INT32_MAX / 384;

// The caller's bound on segment length, b codes, by which the kernel's own
// memory is also measured: 6 and 8 for those block sizes, 4 for any other.
constexpr int segment_bound(std::int32_t block_size) {
  return block_size == 6 ? 6 : block_size == 8 ? 8 : 4;
}

} // namespace vesk
