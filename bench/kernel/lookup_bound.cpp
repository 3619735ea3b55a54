// How fast the table method can go on this machine: the kernel's inner loop
// alone, with its tables already built and its indices already formed.
//
// For wide products the kernel spends most of its time summing table rows:
// per row of A and group of 16 segments (4 codes each), 16 rows of the
// group's tables, found by the row's byte indices, summed in 16-bit lanes
// in two chains and widened into the row's 32-bit column of C. This program
// runs exactly that loop on tables of the kernel's size (16 tables of 256
// rows of 32 entries, 256 KiB, or of 16 entries for m = 16, 128 KiB; in the
// second-level cache) over a block of 2048 rows, and prints the time of one
// lookup and the multiply-adds a nanosecond it stands for (4 codes times the
// row's columns). Whatever the kernel does besides (building tables, forming
// indices, reading A) only adds to it, so no product of the kernel's
// geometry can run faster than its lookups times this time; kernel_bench
// prints oneDNN's time for comparison.
//
// Usage: lookup_bound [--shapes]  (--shapes: also each shape's lookups)
#include <immintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr int kSegmentCodes = 4;
constexpr int kGroup = 16;
constexpr int kPatterns = 256;
constexpr int kRows = 2048;

struct Shape {
  const char *name;
  long long n, k, m;
  long long lookups(int columns) const {
    return n * ((k + kSegmentCodes - 1) / kSegmentCodes) *
           ((m + columns - 1) / columns);
  }
};

// The shapes whose tiles have rows of 32 entries, and of 16.
const Shape kWideShapes[] = {{"C", 4096, 4096, 256},
                             {"D", 2048, 2048, 2048},
                             {"E", 65536, 512, 64},
                             {"m64", 4096, 4096, 64}};
const Shape kNarrowShapes[] = {{"B", 4096, 4096, 16}};

template <int Columns> struct Block {
  static constexpr std::size_t kTableBytes =
      std::size_t(kPatterns) * Columns * sizeof(std::int16_t);
  std::vector<std::int16_t> tables;
  std::vector<std::uint8_t> indices; // pattern indices: rows of the tables
  std::vector<std::int32_t> column;  // kRows x Columns
  Block()
      : tables(std::size_t(kGroup) * kPatterns * Columns + 32),
        indices(std::size_t(kRows) * kGroup),
        column(std::size_t(kRows) * Columns) {
    std::mt19937 rng(7);
    for (auto &entry : tables)
      entry = static_cast<std::int16_t>(rng() % 3000) - 1500;
    for (auto &index : indices)
      index = static_cast<std::uint8_t>(rng() % kPatterns);
  }
  // The tables from a 64-byte boundary.
  const char *first_table() const {
    const auto at = reinterpret_cast<std::uintptr_t>(tables.data());
    return reinterpret_cast<const char *>((at + 63) / 64 * 64);
  }
  // The table row of segment g for a row whose indices start at `row`.
  static const char *entry(const char *tables, const std::uint8_t *row, int g) {
    constexpr int kRowShift = Columns == 32 ? 6 : 5;
    return tables + std::size_t(g) * kTableBytes +
           (std::size_t{row[g]} << kRowShift);
  }
};

// One pass of the block with rows of 32 entries in a 512-bit register.
__attribute__((target("avx512f,avx512bw"))) void
pass_avx512(const Block<32> &block, std::int32_t *column) {
  const char *tables = block.first_table();
  const std::uint8_t *indices = block.indices.data();
  for (int r = 0; r < kRows; ++r, indices += kGroup, column += 32) {
    __m512i sum = _mm512_setzero_si512(), odd = _mm512_setzero_si512();
    for (int g = 0; g < kGroup; g += 2) {
      sum = _mm512_add_epi16(
          sum, _mm512_loadu_si512(Block<32>::entry(tables, indices, g)));
      odd = _mm512_add_epi16(
          odd, _mm512_loadu_si512(Block<32>::entry(tables, indices, g + 1)));
    }
    sum = _mm512_add_epi16(sum, odd);
    // (Masked forms with every lane set: the plain ones trip GCC's
    // may-be-uninitialised warning inside its own headers.)
    const __m512i low = _mm512_maskz_cvtepi16_epi32(
        0xFFFF, _mm512_maskz_extracti64x4_epi64(0xFF, sum, 0));
    const __m512i high = _mm512_maskz_cvtepi16_epi32(
        0xFFFF, _mm512_maskz_extracti64x4_epi64(0xFF, sum, 1));
    _mm512_storeu_si512(column,
                        _mm512_add_epi32(_mm512_loadu_si512(column), low));
    _mm512_storeu_si512(
        column + 16, _mm512_add_epi32(_mm512_loadu_si512(column + 16), high));
  }
}

#define VESK_AVX2 __attribute__((target("avx2")))

VESK_AVX2 __m256i half_row(const char *at, int half) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(at) + half);
}

VESK_AVX2 void widen_into(std::int32_t *to, __m128i sums) {
  auto *out = reinterpret_cast<__m256i *>(to);
  _mm256_storeu_si256(out, _mm256_add_epi32(_mm256_loadu_si256(out),
                                            _mm256_cvtepi16_epi32(sums)));
}

// One pass of the block with rows in 256-bit registers, as both kernels
// hold rows of 16 entries and the AVX2 kernel rows of 32.
template <int Columns>
VESK_AVX2 void pass_avx2(const Block<Columns> &block, std::int32_t *column) {
  constexpr int kHalves = Columns / 16;
  const char *tables = block.first_table();
  const std::uint8_t *indices = block.indices.data();
  for (int r = 0; r < kRows; ++r, indices += kGroup, column += Columns) {
    __m256i sum[kHalves], odd[kHalves];
    for (int h = 0; h < kHalves; ++h)
      sum[h] = odd[h] = _mm256_setzero_si256();
    for (int g = 0; g < kGroup; g += 2) {
      const char *even_row = Block<Columns>::entry(tables, indices, g);
      const char *odd_row = Block<Columns>::entry(tables, indices, g + 1);
      for (int h = 0; h < kHalves; ++h) {
        sum[h] = _mm256_add_epi16(sum[h], half_row(even_row, h));
        odd[h] = _mm256_add_epi16(odd[h], half_row(odd_row, h));
      }
    }
    for (int h = 0; h < kHalves; ++h) {
      const __m256i total = _mm256_add_epi16(sum[h], odd[h]);
      widen_into(column + 16 * h, _mm256_castsi256_si128(total));
      widen_into(column + 16 * h + 8, _mm256_extracti128_si256(total, 1));
    }
  }
}

// Nanoseconds per lookup: the fastest of several timings of many passes.
template <int Columns>
double ns_per_lookup(void (*pass)(const Block<Columns> &, std::int32_t *)) {
  Block<Columns> block;
  std::vector<std::int32_t> column = block.column;
  const int passes = 200;
  double best = 1e30;
  for (int trial = 0; trial < 7; ++trial) {
    const auto start = std::chrono::steady_clock::now();
    for (int p = 0; p < passes; ++p)
      pass(block, column.data());
    const std::chrono::duration<double, std::nano> took =
        std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count() / (double(passes) * kRows * kGroup));
  }
  // The sums must stay observable, or the loop could be dropped.
  static volatile std::int64_t sink;
  for (std::int32_t value : column)
    sink = sink + value;
  return best;
}

template <std::size_t Count>
void report(const char *what, int columns, double ns,
            const Shape (&shapes)[Count], bool with_shapes) {
  std::printf("%-24s %.3f ns a lookup, %.0f multiply-adds a ns\n", what, ns,
              double(kSegmentCodes) * columns / ns);
  if (!with_shapes)
    return;
  for (const Shape &shape : shapes)
    std::printf("    %-4s (%lld, %lld, %lld): %lld lookups, %.1f ms at "
                "least\n",
                shape.name, shape.n, shape.k, shape.m, shape.lookups(columns),
                double(shape.lookups(columns)) * ns * 1e-6);
}

} // namespace

int main(int argc, char **argv) {
  const bool shapes = argc > 1 && std::strcmp(argv[1], "--shapes") == 0;
  std::printf("lookups of table rows of 4 codes, groups of 16 tables, %d "
              "rows a block\n",
              kRows);
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512bw"))
    report("avx512, 32 columns", 32, ns_per_lookup<32>(pass_avx512),
           kWideShapes, shapes);
  if (__builtin_cpu_supports("avx2")) {
    report("avx2, 32 columns", 32, ns_per_lookup<32>(pass_avx2<32>),
           kWideShapes, shapes);
    report("both, 16 columns", 16, ns_per_lookup<16>(pass_avx2<16>),
           kNarrowShapes, shapes);
  }
  return 0;
}
