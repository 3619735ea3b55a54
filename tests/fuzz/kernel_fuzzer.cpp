// Differential fuzzer of the kernel (libFuzzer). Each input decodes to a
// shape, a block size, a workspace, an optional bias row and the data; every
// target this machine runs, and the public entry, must then agree with a
// plain triple loop. A difference prints one line naming the case and
// aborts. Every buffer is its own heap allocation of exactly its size, so the
// sanitizers catch any access outside one.
//
// Input layout, little-endian, the fields that matter most first (libFuzzer
// starts with short inputs); bytes past the end of the input read as 0:
//   flags       u8   bit 0: large shapes; bit 1: a bias row; bits 2-3: the
//                    workspace (none, 4*n*m bytes as the module lends,
//                    1 MiB + 4 KiB, or `loan size` bytes); bits 4-5: the
//                    block size (4, 6, 8, or `raw block`)
//   values      u8   how A, B and the bias are filled (see decode_values)
//   n, k, m     u32 each (see decode_dimension)
//   raw block   i32
//   loan size   u32  taken modulo 4 MiB + 1
//   loan shift  u8   % 64: where the loan starts in its allocation
//   seed        u32  of the pseudo-random data
// The bytes after these are written over the start of A, then B, then the
// bias row.
//
// VESK_FUZZ_DESCRIBE=1 in the environment prints each input's decoding
// instead of running it.
#include "kernel_targets.h"
#include "rsr_kernel.h"

#include <algorithm>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// Reads the input front to back; past its end every byte is 0, so every
// input decodes.
class ByteReader {
public:
  ByteReader(const std::uint8_t *data, std::size_t size)
      : data_(data), size_(size) {}

  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }

  std::uint32_t word() {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
      value |= static_cast<std::uint32_t>(byte()) << (8 * i);
    return value;
  }

  const std::uint8_t *rest() const { return data_ + pos_; }
  std::size_t rest_size() const { return pos_ < size_ ? size_ - pos_ : 0; }

private:
  const std::uint8_t *data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// A signed 32-bit value from its two's-complement bits, without relying on
// implementation-defined conversions.
std::int32_t to_int32(std::uint32_t bits) {
  return bits <= INT32_MAX
             ? static_cast<std::int32_t>(bits)
             : static_cast<std::int32_t>(bits - 0x80000000u) + INT32_MIN;
}

enum class Loan { kNone, kModule, kLarge, kAny };
const char *const kLoanNames[] = {"none", "module", "large", "any"};
constexpr std::size_t kLargeLoanBytes = (std::size_t{1} << 20) + 4096;
constexpr std::uint32_t kMaxAnyLoanBytes = std::uint32_t{4} << 20;

enum class AValues { kRandom, kAllThree };
enum class BValues { kRandom, kAllMin, kAllMax, kMinOrMax };
enum class BiasValues { kRandom, kNearMax, kNearMin, kSmall };
const char *const kAValueNames[] = {"random", "all-3"};
const char *const kBValueNames[] = {"random", "all-128", "all127",
                                    "-128-or-127"};
const char *const kBiasValueNames[] = {"random", "near-max", "near-min",
                                       "small"};

struct ValueModes {
  AValues a;
  BValues b;
  BiasValues bias;
};

ValueModes decode_values(std::uint8_t byte) {
  return {static_cast<AValues>(byte & 1), static_cast<BValues>(byte >> 1 & 3),
          static_cast<BiasValues>(byte >> 3 & 3)};
}

struct Case {
  bool large;
  bool with_bias;
  Loan loan;
  std::uint32_t any_loan_bytes;
  unsigned loan_shift;
  std::int32_t block_size;
  std::int32_t n, k, m;
  ValueModes values;
  std::uint32_t seed;
};

// A dimension from a word whose top byte is a width and whose low 24 bits
// are bits: 1 plus the bits below the width, the width being 0 to 7 for small
// shapes and 0 to 23 for large ones, so that every magnitude is as likely as
// any other. A width of 255 instead gives minus the bits, 0 or negative,
// which the kernel must take as an empty product.
std::int32_t decode_dimension(std::uint32_t word, bool large) {
  const std::uint32_t width_byte = word >> 24, bits = word & 0xFFFFFF;
  if (width_byte == 255)
    return -static_cast<std::int32_t>(bits);
  const unsigned width = width_byte % (large ? 24 : 8);
  return static_cast<std::int32_t>(1 + (bits & ((1u << width) - 1)));
}

std::int32_t decode_block_size(unsigned choice, std::uint32_t raw) {
  const std::int32_t common[] = {4, 6, 8};
  return choice < 3 ? common[choice] : to_int32(raw);
}

Case decode_case(ByteReader &in) {
  Case c{};
  const std::uint8_t flags = in.byte();
  c.large = (flags & 1) != 0;
  c.with_bias = (flags & 2) != 0;
  c.loan = static_cast<Loan>(flags >> 2 & 3);
  c.values = decode_values(in.byte());
  for (std::int32_t *dim : {&c.n, &c.k, &c.m})
    *dim = decode_dimension(in.word(), c.large);
  c.block_size = decode_block_size(flags >> 4 & 3, in.word());
  c.any_loan_bytes = in.word() % (kMaxAnyLoanBytes + 1);
  c.loan_shift = in.byte() % 64;
  c.seed = in.word();
  return c;
}

// The count of elements along a dimension: a non-positive one has none.
std::size_t extent(std::int32_t dim) {
  return dim > 0 ? static_cast<std::size_t>(dim) : 0;
}

std::size_t loan_bytes(const Case &c) {
  switch (c.loan) {
  case Loan::kNone:
    return 0;
  case Loan::kModule:
    return 4 * extent(c.n) * extent(c.m);
  case Loan::kLarge:
    return kLargeLoanBytes;
  case Loan::kAny:
    break;
  }
  return c.any_loan_bytes;
}

// Bounds on the work of one input, so that each runs in at most a few
// hundred milliseconds under the sanitizers: multiply-adds of the product,
// table entries built (the plain kernel builds every pattern of every
// segment), rows (each has a cost of its own) and the size of each matrix.
struct WorkBound {
  std::uint64_t products;
  std::uint64_t table_entries;
};
constexpr WorkBound kSmallWork{std::uint64_t{1} << 16, std::uint64_t{1} << 17};
constexpr WorkBound kLargeWork{std::uint64_t{1} << 26, std::uint64_t{1} << 24};
constexpr std::uint64_t kMaxRows = std::uint64_t{1} << 19;    // n
constexpr std::uint64_t kMaxCodes = std::uint64_t{1} << 25;   // n*k
constexpr std::uint64_t kMaxWeights = std::uint64_t{1} << 22; // k*m
constexpr std::uint64_t kMaxResults = std::uint64_t{1} << 22; // n*m

bool within_bounds(const Case &c) {
  const std::uint64_t n = extent(c.n), k = extent(c.k), m = extent(c.m);
  if (n > kMaxRows || n * k > kMaxCodes || k * m > kMaxWeights ||
      n * m > kMaxResults ||
      k > static_cast<std::uint64_t>(vesk::kMaxExactDepth))
    return false;
  const WorkBound bound = c.large ? kLargeWork : kSmallWork;
  const std::uint64_t b = vesk::segment_bound(c.block_size);
  const std::uint64_t table_entries =
      (k + b - 1) / b * (std::uint64_t{1} << (2 * b)) * m;
  return n * k * m <= bound.products && table_entries <= bound.table_entries;
}

// One line naming everything the input decoded to.
void describe(const Case &c, std::FILE *out) {
  std::fprintf(out,
               "n=%" PRId32 " k=%" PRId32 " m=%" PRId32 " block_size=%" PRId32
               " bias=%s workspace=%s:%zu+%u A=%s B=%s bias_values=%s",
               c.n, c.k, c.m, c.block_size, c.with_bias ? "yes" : "no",
               kLoanNames[int(c.loan)], loan_bytes(c), c.loan_shift,
               kAValueNames[int(c.values.a)], kBValueNames[int(c.values.b)],
               kBiasValueNames[int(c.values.bias)]);
}

// splitmix64: fast, and good enough to make every element matter.
class Random {
public:
  explicit Random(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() {
    std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }

private:
  std::uint64_t state_;
};

// The operands, each in its own allocation of exactly its size.
struct Operands {
  std::unique_ptr<std::uint8_t[]> a;
  std::unique_ptr<std::int8_t[]> b;
  std::unique_ptr<std::int32_t[]> bias;
  std::size_t a_size, b_size, bias_size;
};

void fill_random_bytes(void *buffer, std::size_t size, Random &random) {
  auto *bytes = static_cast<unsigned char *>(buffer);
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t word = random.next();
    std::memcpy(bytes + i, &word, size - i < 8 ? size - i : 8);
  }
}

void fill_b(std::int8_t *b, std::size_t size, BValues mode, Random &random) {
  switch (mode) {
  case BValues::kRandom:
    return fill_random_bytes(b, size, random);
  case BValues::kAllMin:
    return std::fill(b, b + size, INT8_MIN);
  case BValues::kAllMax:
    return std::fill(b, b + size, INT8_MAX);
  case BValues::kMinOrMax:
    break;
  }
  for (std::size_t i = 0; i < size; ++i)
    b[i] = random.next() & 1 ? INT8_MIN : INT8_MAX;
}

// Near the ends of the 32-bit range the bias makes the kernel's sums wrap.
std::int32_t bias_value(BiasValues mode, Random &random) {
  const auto offset = static_cast<std::int32_t>(random.next() & 0xFFFF);
  switch (mode) {
  case BiasValues::kNearMax:
    return INT32_MAX - offset;
  case BiasValues::kNearMin:
    return INT32_MIN + offset;
  case BiasValues::kSmall:
    return offset - 0x8000;
  case BiasValues::kRandom:
    break;
  }
  return to_int32(static_cast<std::uint32_t>(random.next()));
}

// Writes the input's remaining bytes over the start of `buffer`, as far as
// they reach; returns how many it took.
std::size_t overlay(void *buffer, std::size_t bytes, const std::uint8_t *data,
                    std::size_t size) {
  const std::size_t taken = size < bytes ? size : bytes;
  if (taken > 0)
    std::memcpy(buffer, data, taken);
  return taken;
}

Operands make_operands(const Case &c, const std::uint8_t *data,
                       std::size_t size) {
  const std::size_t n = extent(c.n), k = extent(c.k), m = extent(c.m);
  Operands ops{std::make_unique<std::uint8_t[]>(n * k),
               std::make_unique<std::int8_t[]>(k * m),
               std::make_unique<std::int32_t[]>(m),
               n * k,
               k * m,
               m};
  Random random(c.seed);
  if (c.values.a == AValues::kAllThree)
    std::memset(ops.a.get(), 0xFF, ops.a_size);
  else
    fill_random_bytes(ops.a.get(), ops.a_size, random);
  fill_b(ops.b.get(), ops.b_size, c.values.b, random);
  for (std::size_t i = 0; i < ops.bias_size; ++i)
    ops.bias[i] = bias_value(c.values.bias, random);
  std::size_t used = overlay(ops.a.get(), ops.a_size, data, size);
  used += overlay(ops.b.get(), ops.b_size, data + used, size - used);
  overlay(ops.bias.get(), ops.bias_size * sizeof(std::int32_t), data + used,
          size - used);
  return ops;
}

// The plain triple loop, in 64 bits, wrapped modulo 2^32 as the kernel's
// additions are (exact without a bias, k being at most kMaxExactDepth).
std::vector<std::uint32_t> reference(const Case &c, const Operands &ops) {
  const std::size_t n = extent(c.n), k = extent(c.k), m = extent(c.m);
  std::vector<std::uint32_t> expected(n * m);
  std::vector<std::int64_t> row(m);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t col = 0; col < m; ++col)
      row[col] = c.with_bias ? ops.bias[col] : 0;
    for (std::size_t t = 0; t < k; ++t) {
      const int code = ops.a[r * k + t] & 3;
      const std::int8_t *b_row = ops.b.get() + t * m;
      for (std::size_t col = 0; col < m; ++col)
        row[col] += code * b_row[col];
    }
    for (std::size_t col = 0; col < m; ++col)
      expected[r * m + col] = static_cast<std::uint32_t>(row[col]);
  }
  return expected;
}

// The output and the loan, refilled with garbage before every run: the
// kernel must initialise all of C and must not depend on the loan's
// contents.
struct Scratch {
  std::unique_ptr<std::int32_t[]> c;
  std::size_t c_size;
  std::unique_ptr<unsigned char[]> loan; // loan_shift bytes, then the loan
  vesk::Workspace workspace;
};

Scratch make_scratch(const Case &c) {
  const std::size_t results = extent(c.n) * extent(c.m);
  Scratch s{std::make_unique<std::int32_t[]>(results), results, nullptr, {}};
  if (c.loan == Loan::kNone)
    return s;
  const std::size_t bytes = loan_bytes(c);
  s.loan = std::make_unique<unsigned char[]>(c.loan_shift + bytes);
  s.workspace = {s.loan.get() + c.loan_shift, bytes};
  return s;
}

void fill_with_garbage(Scratch &s, Random &random) {
  const std::uint64_t garbage = random.next() | 1; // never zero
  for (std::size_t i = 0; i < s.c_size; ++i)
    s.c[i] = to_int32(static_cast<std::uint32_t>(garbage));
  if (s.workspace.data != nullptr)
    std::memset(s.workspace.data, static_cast<int>(garbage >> 32 & 0xFF),
                s.workspace.bytes);
}

// Prints the first difference from the reference, if any, and aborts.
void check(const char *target, const Case &c, const Scratch &s,
           const std::vector<std::uint32_t> &expected) {
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto got = static_cast<std::uint32_t>(s.c[i]);
    if (got == expected[i])
      continue;
    const std::size_t m = extent(c.m);
    std::fprintf(stderr,
                 "kernel_fuzzer: %s differs at row %zu column %zu (got %" PRId32
                 ", expected %" PRId32 "): ",
                 target, i / m, i % m, to_int32(got), to_int32(expected[i]));
    describe(c, stderr);
    std::fprintf(stderr, "\n");
    std::abort();
  }
}

// Runs one target (null: the public entry) on fresh garbage and checks it.
void run_and_check(const vesk::KernelTarget *target, const Case &c,
                   const Operands &ops, Scratch &s,
                   const std::vector<std::uint32_t> &expected, Random &random) {
  fill_with_garbage(s, random);
  const std::int32_t *bias = c.with_bias ? ops.bias.get() : nullptr;
  if (target == nullptr)
    vesk::rsr_gemm_kernel(ops.a.get(), ops.b.get(), s.c.get(), bias, c.n, c.k,
                          c.m, c.block_size, s.workspace);
  else
    vesk::rsr_gemm_kernel_on(*target, ops.a.get(), ops.b.get(), s.c.get(), bias,
                             c.n, c.k, c.m, c.block_size, s.workspace);
  check(target ? target->name : "public entry", c, s, expected);
}

bool describe_only() {
  static const bool only = std::getenv("VESK_FUZZ_DESCRIBE") != nullptr;
  return only;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  ByteReader in(data, size);
  const Case c = decode_case(in);
  const bool runs = within_bounds(c);
  if (describe_only()) {
    describe(c, stdout);
    std::printf(runs ? "\n" : " (over the work bound: skipped)\n");
    return 0;
  }
  if (!runs)
    return -1; // libFuzzer keeps no such input in the corpus
  const Operands ops = make_operands(c, in.rest(), in.rest_size());
  const std::vector<std::uint32_t> expected = reference(c, ops);
  Scratch scratch = make_scratch(c);
  Random garbage(c.seed ^ 0x5a5a5a5au);
  for (const vesk::KernelTarget &target : vesk::kernel_targets())
    if (target.supported())
      run_and_check(&target, c, ops, scratch, expected, garbage);
  run_and_check(nullptr, c, ops, scratch, expected, garbage);
  return 0;
}
