// The straightforward segment lookup-table kernel: the path for every
// processor and the plainest statement of the method.
//
// For each segment of b consecutive positions of k, every combination of b
// codes (4^b patterns) is multiplied against the b rows of B once into a table
// of 16-bit partial sums; each row of A then reads its b codes as one base-4
// number and adds that table row into its row of C. The segment is no longer
// than the rows sharing its table repay (see shared_segment_length).
#include "kernel_targets.h"
#include "memory_plan.h"
#include "wrapping_add.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace vesk {
namespace portable {
namespace {

// Fills the first 4^L rows of T for the segment of B starting at row s.
// Pattern j pairs its lowest base-4 digit with the segment's first row.
// Every entry sums at most 4 terms of 3 * 128 in magnitude, so 16 bits
// never wrap.
void build_table(std::int16_t *T, const std::int8_t *B, std::size_t s, int L,
                 std::size_t m) {
  const std::size_t patterns = std::size_t{1} << (2 * L);
  for (std::size_t j = 0; j < patterns; ++j) {
    std::int16_t *row = T + j * m;
    for (std::size_t c = 0; c < m; ++c) {
      int sum = 0;
      for (int l = 0; l < L; ++l) {
        const int digit = static_cast<int>((j >> (2 * l)) & 3);
        sum += digit * B[(s + l) * m + c];
      }
      row[c] = static_cast<std::int16_t>(sum);
    }
  }
}

// The pattern index of L codes starting at `codes`, first code lowest.
std::size_t pattern_index(const std::uint8_t *codes, int L) {
  std::size_t f = 0;
  for (int l = 0; l < L; ++l)
    f |= static_cast<std::size_t>(codes[l] & 3) << (2 * l);
  return f;
}

// Adds a table row into a row of C.
void add_row(std::int32_t *c_row, const std::int16_t *t_row, std::size_t m) {
  for (std::size_t c = 0; c < m; ++c)
    c_row[c] = wrapping_add(c_row[c], t_row[c]);
}

// A table of `entries` entries in the workspace where it has room, else
// null.
std::int16_t *lent_table(Workspace workspace, std::size_t entries) {
  void *start = workspace.data;
  std::size_t room = workspace.bytes;
  return static_cast<std::int16_t *>(std::align(
      alignof(std::int16_t), entries * sizeof(std::int16_t), start, room));
}

void accumulate_segments(const std::uint8_t *A, const std::int8_t *B,
                         std::int32_t *C, std::size_t n, std::size_t k,
                         std::size_t m, int b, Workspace workspace) {
  const std::size_t entries = (std::size_t{1} << (2 * b)) * m;
  std::vector<std::int16_t> own;
  std::int16_t *T = lent_table(workspace, entries);
  if (T == nullptr) {
    own.resize(entries);
    T = own.data();
  }
  for (std::size_t s = 0; s < k; s += b) {
    const int L = static_cast<int>(std::min<std::size_t>(b, k - s));
    build_table(T, B, s, L, m);
    for (std::size_t r = 0; r < n; ++r) {
      const std::size_t f = pattern_index(A + r * k + s, L);
      add_row(C + r * m, T + f * m, m);
    }
  }
}

} // namespace

// The plain layout keeps one whole table, in the workspace where it fits.
void gemm(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,
          const std::int32_t *bias, std::size_t n, std::size_t k, std::size_t m,
          int segment_bound, Workspace workspace) {
  initialise_output(C, bias, n, m);
  accumulate_segments(A, B, C, n, k, m, shared_segment_length(n, segment_bound),
                      workspace);
}

} // namespace portable
} // namespace vesk
