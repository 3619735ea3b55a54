// Checks the kernel against a plain triple loop, with and without a bias row,
// through the public entry and on every target this machine can run, with and
// without a lent workspace.
// Prints the targets, one line per failed case and a closing
// "N passed, N failed" line; exits non-zero on any failure.
#include "kernel_targets.h"
#include "rsr_kernel.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <random>
#include <vector>

// Every allocation is counted, so that the kernel's peak use of memory of its
// own can be checked. Each block carries its size in a header as large as
// the alignment operator new promises.
namespace {
constexpr std::size_t kHeader = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
std::size_t live_bytes = 0;
std::size_t peak_bytes = 0;

void *counted_alloc(std::size_t bytes) {
  auto *block = static_cast<unsigned char *>(std::malloc(bytes + kHeader));
  if (block == nullptr)
    throw std::bad_alloc();
  *reinterpret_cast<std::size_t *>(block) = bytes;
  live_bytes += bytes;
  if (live_bytes > peak_bytes)
    peak_bytes = live_bytes;
  return block + kHeader;
}

void counted_free(void *memory) {
  if (memory == nullptr)
    return;
  auto *block = static_cast<unsigned char *>(memory) - kHeader;
  live_bytes -= *reinterpret_cast<std::size_t *>(block);
  std::free(block);
}
} // namespace

void *operator new(std::size_t bytes) { return counted_alloc(bytes); }
void *operator new[](std::size_t bytes) { return counted_alloc(bytes); }
void operator delete(void *memory) noexcept { counted_free(memory); }
void operator delete[](void *memory) noexcept { counted_free(memory); }
void operator delete(void *memory, std::size_t) noexcept {
  counted_free(memory);
}
void operator delete[](void *memory, std::size_t) noexcept {
  counted_free(memory);
}

namespace {

struct Case {
  int n, k, m, block_size;
};

struct Inputs {
  std::vector<std::uint8_t> a;
  std::vector<std::int8_t> b;
  std::vector<std::int32_t> bias;
};

Inputs random_inputs(const Case &c, std::mt19937 &rng) {
  std::uniform_int_distribution<int> byte(0, 255);
  Inputs in;
  in.a.resize(std::size_t(c.n) * c.k);
  in.b.resize(std::size_t(c.k) * c.m);
  in.bias.resize(std::size_t(c.m));
  for (auto &x : in.a)
    x = static_cast<std::uint8_t>(byte(rng));
  for (auto &x : in.b)
    x = static_cast<std::int8_t>(byte(rng) - 128);
  std::uniform_int_distribution<std::int32_t> bias(-1000000, 1000000);
  for (auto &x : in.bias)
    x = bias(rng);
  return in;
}

std::vector<std::int32_t> reference(const Case &c, const Inputs &in,
                                    bool with_bias) {
  std::vector<std::int32_t> out(std::size_t(c.n) * c.m);
  for (int r = 0; r < c.n; ++r)
    for (int col = 0; col < c.m; ++col) {
      std::int64_t sum = with_bias ? in.bias[col] : 0;
      for (int t = 0; t < c.k; ++t)
        sum += (in.a[std::size_t(r) * c.k + t] & 3) *
               in.b[std::size_t(t) * c.m + col];
      out[std::size_t(r) * c.m + col] = static_cast<std::int32_t>(sum);
    }
  return out;
}

int passed = 0, failed = 0;

std::vector<const vesk::KernelTarget *> supported_targets() {
  std::vector<const vesk::KernelTarget *> targets;
  for (const vesk::KernelTarget &target : vesk::kernel_targets())
    if (target.supported())
      targets.push_back(&target);
  return targets;
}

const std::vector<const vesk::KernelTarget *> targets = supported_targets();

// Workspace sizes to lend: none, what the module lends (the spare half of
// its result list's storage) and more than the kernel takes.
std::size_t loan_bytes(int loan, const Case &c) {
  const std::size_t sizes[] = {0, 4 * std::size_t(c.n) * c.m,
                               (std::size_t{1} << 20) + 4096};
  return sizes[loan];
}
constexpr int kLoans = 3;

// One whole table: what a call may allocate when lent 4 * n * m bytes.
std::size_t table_bytes(const Case &c) {
  return (std::size_t{2} << (2 * vesk::segment_length(c.block_size))) *
         std::size_t(c.m);
}
constexpr std::size_t kAlignmentSlack = 64;

// Runs one target (null: the public entry) on an output full of garbage: the
// kernel must initialise every element itself. The workspace, uninitialised,
// is exactly as long as lent, so a reach past it is caught by the sanitizer.
std::vector<std::int32_t> run(const vesk::KernelTarget *target, const Case &c,
                              const Inputs &in, bool with_bias, int loan) {
  std::vector<std::int32_t> out(std::size_t(c.n) * c.m, 0x5a5a5a5a);
  const std::size_t lent_bytes = loan_bytes(loan, c);
  const std::unique_ptr<unsigned char[]> lent(new unsigned char[lent_bytes]);
  const vesk::Workspace workspace{lent.get(), lent_bytes};
  const std::int32_t *bias = with_bias ? in.bias.data() : nullptr;
  const std::size_t before = live_bytes;
  peak_bytes = before;
  if (target == nullptr)
    vesk::rsr_gemm_kernel(in.a.data(), in.b.data(), out.data(), bias, c.n, c.k,
                          c.m, c.block_size, workspace);
  else
    vesk::rsr_gemm_kernel_on(*target, in.a.data(), in.b.data(), out.data(),
                             bias, c.n, c.k, c.m, c.block_size, workspace);
  if (loan > 0 && peak_bytes - before > table_bytes(c) + kAlignmentSlack) {
    std::printf("MEMORY %zu bytes allocated beside a %zu-byte table\n",
                peak_bytes - before, table_bytes(c));
    out.clear();
  }
  return out;
}

void check(const char *what, const Case &c, const Inputs &in, bool with_bias) {
  const std::vector<std::int32_t> expected = reference(c, in, with_bias);
  for (std::size_t i = 0; i <= targets.size(); ++i)
    for (int loan = 0; loan < kLoans; ++loan) {
      const vesk::KernelTarget *target =
          i < targets.size() ? targets[i] : nullptr;
      // The plain kernel keeps its one whole table and ignores any loan.
      if (loan > 0 && target != nullptr &&
          std::strcmp(target->name, "portable") == 0)
        continue;
      if (run(target, c, in, with_bias, loan) == expected) {
        ++passed;
        continue;
      }
      ++failed;
      std::printf("FAILED %s on %s: n=%d k=%d m=%d block_size=%d bias=%d "
                  "workspace=%zu\n",
                  what, target ? target->name : "public entry",
                  c.n, c.k, c.m, c.block_size, with_bias, loan_bytes(loan, c));
    }
}

void random_shapes(std::mt19937 &rng) {
  const int block_sizes[] = {4, 6, 8, 0, 5, 7, -1, 1000};
  std::uniform_int_distribution<int> dim(1, 70);
  for (int block_size : block_sizes)
    for (int i = 0; i < 12; ++i) {
      const Case c{dim(rng), dim(rng), dim(rng), block_size};
      const Inputs in = random_inputs(c, rng);
      check("random", c, in, false);
      check("random", c, in, true);
    }
}

// Shapes that cross the fast paths' boundaries: column tiles of 16, 32 and
// 64 values with ragged ends, the matrix-vector paths (gathering whole chunks
// of segments once the loan holds their tables), several row blocks, groups
// of segments ending in a short segment.
void tiling_shapes(std::mt19937 &rng) {
  const Case cases[] = {
      {7, 13, 1, 4},        {1030, 16400, 1, 4}, {3, 23, 1, 6},
      {5, 30, 1, 8},        {9, 21, 15, 4},      {6, 33, 16, 4},
      {5, 17, 17, 4},       {4, 45, 31, 6},      {3, 27, 33, 8},
      {11, 18, 63, 4},      {2, 35, 64, 6},      {3, 19, 65, 8},
      {4, 50, 100, 4},      {3, 29, 130, 6},     {2, 13, 200, 8},
      {1025, 16390, 65, 4}, {2, 171, 1349, 4},   {3, 97, 1400, 6},
      {2, 25, 70, 8},       {1, 1, 1, 4},        {4100, 200, 1, 4},
      {2500, 1027, 1, 4},
  };
  for (const Case &c : cases) {
    const Inputs in = random_inputs(c, rng);
    check("tiling", c, in, false);
    check("tiling", c, in, true);
  }
}

// Code 3 everywhere with B at -128 and 127: table entries reach their
// extremes (-3072, 3048) and must not wrap.
void extreme_values() {
  for (int block_size : {4, 6, 8})
    for (std::int8_t value : {std::int8_t(-128), std::int8_t(127)}) {
      // The wide case fills whole groups of 16-bit sums at their bound
      // (kept to b = 4, whose tables are cheap for the plain kernel too).
      const Case wide{3, 171, 1349, 4};
      for (const Case &c : {Case{5, 19, 9, block_size}, wide}) {
        const std::size_t am = std::size_t(c.n) * c.k;
        const std::size_t bm = std::size_t(c.k) * c.m;
        Inputs in{std::vector<std::uint8_t>(am, 0xFF),
                  std::vector<std::int8_t>(bm, value),
                  std::vector<std::int32_t>(c.m, -7)};
        check("extreme", c, in, false);
        check("extreme", c, in, true);
      }
    }
}

// k = 0 leaves C at its initial rows; n or m of 0 touch nothing.
void degenerate_shapes(std::mt19937 &rng) {
  for (int block_size : {4, 6, 8}) {
    const Case c{3, 0, 4, block_size};
    const Inputs in = random_inputs(c, rng);
    check("k=0", c, in, false);
    check("k=0", c, in, true);
  }
  std::int32_t untouched = 42;
  vesk::rsr_gemm_kernel(nullptr, nullptr, &untouched, nullptr, 0, 5, 1, 4);
  vesk::rsr_gemm_kernel(nullptr, nullptr, &untouched, nullptr, 1, 5, 0, 4);
  ++(untouched == 42 ? passed : failed);
}

// --targets: every target of the build, best first, and whether this machine
// runs it. --selected: the target this process uses (VESK_KERNEL applied).
bool answer_query(const char *query) {
  if (std::strcmp(query, "--targets") == 0) {
    for (const vesk::KernelTarget &target : vesk::kernel_targets())
      std::printf("%s %s\n", target.name,
                  target.supported() ? "supported" : "unsupported");
    return true;
  }
  if (std::strcmp(query, "--selected") == 0) {
    std::printf("%s\n", vesk::selected_target().name);
    return true;
  }
  return false;
}

} // namespace

int main(int argc, char **argv) {
  if (argc > 1)
    return answer_query(argv[1]) ? 0 : 2;
  std::mt19937 rng(20261207);
  std::printf("targets:");
  for (const vesk::KernelTarget *target : targets)
    std::printf(" %s", target->name);
  std::printf("\n");
  random_shapes(rng);
  tiling_shapes(rng);
  extreme_values();
  degenerate_shapes(rng);
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
