// Times the kernel on each target against oneDNN's 8-bit integer product
// (dnnl_gemm_u8s8s32), both on one thread and on the same data, checks that
// every result is exact, and measures the least time the method can take on
// this machine beside them.
//
// The kernel is called as the module calls it: C and the workspace it lends
// share one allocation of 8*n*m bytes, C first. oneDNN gets the same codes
// (already 0..3) as unsigned bytes. Contenders alternate within each
// repetition after one warm-up run each, each repetition starting one
// contender later than the one before, and medians are reported; the ratio
// oneDNN/ours above 1 means the kernel is faster.
//
// The bound of a kernel contender is the larger of two times measured in the
// same rotation, so under the same cache conditions: reading A's n*k bytes
// once, and the kernel's own lookups alone at the plan it makes for the
// shape (its loops over stand-ins for the tables and indices, which neither
// builds the one nor reads A for the other). ours/bound is at least 1.
//
// A shape with rows longer than the sweep's and the same work as one of it
// (long-row8 and long-row16) also times each kernel contender on that square
// shape in its own rotation, and prints the ratio long rows / square rows.
//
// --sweep times the kernel alone at every m of the sweep in one rotation
// instead, so that whether time ever falls as m rises is not a matter of
// which shape ran when.
//
// Usage: kernel_bench [--quick] [--repetitions N] [--shapes LIST]
//                     [--targets LIST] [--block-sizes LIST] [--cap-avx2]
//                     [--sweep]
#include "cache_sizes.h"
#include "kernel_targets.h"
#include "rsr_kernel.h"

#include <cpuid.h>
#include <dnnl.h>
#include <emmintrin.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

struct Shape {
  std::string name;
  std::int32_t n, k, m;
};

// The m sweep runs at n = k = 4096; A and B are its m = 1 and m = 16.
constexpr std::int32_t kSweepSide = 4096;
constexpr std::int32_t kSweepWidths[] = {1, 2, 4, 8, 16, 32, 64};

const Shape kShapes[] = {
    {"A", 4096, 4096, 1},
    {"B", 4096, 4096, 16},
    {"C", 4096, 4096, 256},
    {"D", 2048, 2048, 2048},
    {"E", 65536, 512, 64},
    {"m2", 4096, 4096, 2},
    {"m4", 4096, 4096, 4},
    {"m8", 4096, 4096, 8},
    {"m32", 4096, 4096, 32},
    {"m64", 4096, 4096, 64},
    {"long-k", 3, 1000000, 17},
    {"long-row8", 1024, 16384, 8},
    {"long-row16", 1024, 16384, 16},
    // A with rows a line longer than 4 KiB, so that rows read side by side
    // do not share sets of the first-level cache.
    {"A-pad", 4096, 4160, 1},
};

// A contender that takes longer than this on one run is not repeated.
constexpr double kSlowSeconds = 3.0;

struct Options {
  bool quick = false;
  int repetitions = 0; // 0: the mode's default
  bool cap_avx2 = false;
  bool sweep = false;
  std::vector<std::string> shapes;  // empty: all
  std::vector<std::string> targets; // empty: the default choice
  std::vector<int> block_sizes{4, 6, 8};
};

void print_usage(std::FILE *stream) {
  std::fprintf(
      stream,
      "usage: kernel_bench [--quick] [--repetitions N] [--shapes LIST]\n"
      "                    [--targets LIST] [--block-sizes LIST] "
      "[--cap-avx2] [--sweep]\n"
      "  LIST is comma-separated. Shapes: A B C D E long-k long-row8\n"
      "  long-row16 A-pad, mM for (4096, 4096, M) with M in 1 2 4 8 16\n"
      "  32 64, or NxKxM for any other (n, k, m), e.g. 1024x4096x16.\n"
      "  Targets: kernel target names (default: every supported one but\n"
      "  the portable reference kernel). --cap-avx2 limits oneDNN and the\n"
      "  kernel to AVX2.\n"
      "  --quick: 2 repetitions instead of 5. --sweep: the kernel alone at\n"
      "  each m of the sweep, all in one rotation.\n");
}

[[noreturn]] void usage_error(const char *message) {
  std::fprintf(stderr, "kernel_bench: %s\n", message);
  print_usage(stderr);
  std::exit(2);
}

std::vector<std::string> split_list(const char *list) {
  std::vector<std::string> items;
  std::string item;
  for (const char *p = list;; ++p) {
    if (*p != ',' && *p != '\0') {
      item += *p;
      continue;
    }
    if (!item.empty())
      items.push_back(item);
    item.clear();
    if (*p == '\0')
      return items;
  }
}

int positive_number(const std::string &text) {
  char *end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value <= 0 || value > 1000000)
    usage_error(("not a positive number: " + text).c_str());
  return static_cast<int>(value);
}

Options parse_options(int argc, char **argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help") {
      print_usage(stdout);
      std::exit(0);
    }
    if (flag == "--quick") {
      options.quick = true;
      continue;
    }
    if (flag == "--cap-avx2") {
      options.cap_avx2 = true;
      continue;
    }
    if (flag == "--sweep") {
      options.sweep = true;
      continue;
    }
    if (i + 1 == argc)
      usage_error(("unknown option or missing value: " + flag).c_str());
    const char *value = argv[++i];
    if (flag == "--repetitions") {
      options.repetitions = positive_number(value);
    } else if (flag == "--shapes") {
      options.shapes = split_list(value);
    } else if (flag == "--targets") {
      options.targets = split_list(value);
    } else if (flag == "--block-sizes") {
      options.block_sizes.clear();
      for (const std::string &item : split_list(value))
        options.block_sizes.push_back(positive_number(item));
    } else {
      usage_error(("unknown option: " + flag).c_str());
    }
  }
  return options;
}

bool contains(const std::vector<std::string> &list, const std::string &item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

bool shape_named(const Shape &shape, const std::string &name) {
  const bool in_sweep = shape.n == kSweepSide && shape.k == kSweepSide;
  return name == shape.name ||
         (in_sweep && name == "m" + std::to_string(shape.m));
}

// A shape written NxKxM (1024x4096x16), each at least 1; none otherwise.
std::optional<Shape> written_shape(const std::string &text) {
  long long n = 0, k = 0, m = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%lldx%lldx%lld%n", &n, &k, &m, &used) != 3 ||
      std::size_t(used) != text.size())
    return std::nullopt;
  for (long long side : {n, k, m})
    if (side < 1 || side > INT32_MAX)
      return std::nullopt;
  return Shape{text, std::int32_t(n), std::int32_t(k), std::int32_t(m)};
}

// The named shapes in the table's order, then the written ones as given.
std::vector<Shape> chosen_shapes(const Options &options) {
  std::vector<Shape> shapes;
  for (const Shape &shape : kShapes) {
    bool named = options.shapes.empty();
    for (const std::string &name : options.shapes)
      named = named || shape_named(shape, name);
    if (named)
      shapes.push_back(shape);
  }
  for (const std::string &name : options.shapes) {
    const bool known = std::any_of(
        std::begin(kShapes), std::end(kShapes),
        [&](const Shape &shape) { return shape_named(shape, name); });
    if (known)
      continue;
    const std::optional<Shape> written = written_shape(name);
    if (!written)
      usage_error(("unknown shape: " + name).c_str());
    shapes.push_back(*written);
  }
  return shapes;
}

// Targets above AVX2 in the priority table, which --cap-avx2 leaves out.
bool above_avx2(const vesk::KernelTarget &target) {
  const vesk::KernelTarget *avx2 = vesk::find_target("avx2");
  return avx2 != nullptr && &target < avx2;
}

// The named targets, or by default every supported one except the portable
// reference kernel (the last in the table), which is the tests' oracle
// rather than a fast path and takes minutes on the larger shapes.
std::vector<const vesk::KernelTarget *> chosen_targets(const Options &options) {
  for (const std::string &name : options.targets)
    if (vesk::find_target(name.c_str()) == nullptr)
      usage_error(("unknown target: " + name).c_str());
  std::vector<const vesk::KernelTarget *> targets;
  for (const vesk::KernelTarget &target : vesk::kernel_targets()) {
    const bool wanted = options.targets.empty()
                            ? &target != &vesk::kernel_targets().end()[-1]
                            : contains(options.targets, target.name);
    if (!wanted)
      continue;
    if (!target.supported())
      std::printf("skipping target %s: this processor lacks it\n", target.name);
    else if (options.cap_avx2 && above_avx2(target))
      std::printf("skipping target %s: above AVX2\n", target.name);
    else
      targets.push_back(&target);
  }
  if (targets.empty() && !options.targets.empty())
    usage_error("none of the named targets can run here");
  if (targets.empty()) // a build or processor with the portable kernel only
    targets.push_back(&vesk::kernel_targets().end()[-1]);
  return targets;
}

const char *isa_name(dnnl_cpu_isa_t isa) {
  switch (isa) {
  case dnnl_cpu_isa_all:
    return "all (no limit)";
  case dnnl_cpu_isa_sse41:
    return "sse41";
  case dnnl_cpu_isa_avx:
    return "avx";
  case dnnl_cpu_isa_avx2:
    return "avx2";
  case dnnl_cpu_isa_avx2_vnni:
    return "avx2_vnni";
  case dnnl_cpu_isa_avx512_mic:
    return "avx512_mic";
  case dnnl_cpu_isa_avx512_mic_4ops:
    return "avx512_mic_4ops";
  case dnnl_cpu_isa_avx512_core:
    return "avx512_core";
  case dnnl_cpu_isa_avx512_core_vnni:
    return "avx512_core_vnni";
  case dnnl_cpu_isa_avx512_core_bf16:
    return "avx512_core_bf16";
  case dnnl_cpu_isa_avx512_core_amx:
    return "avx512_core_amx";
  }
  return "unknown";
}

// One thread for oneDNN, and the AVX2 cap, before its first use (the cap is
// fixed from then on). OMP_NUM_THREADS cannot do it from here: the OpenMP
// runtime reads it when it is loaded, before main.
void set_up_onednn(const Options &options) {
  omp_set_num_threads(1);
  if (options.cap_avx2 &&
      dnnl_set_max_cpu_isa(dnnl_cpu_isa_avx2) != dnnl_success) {
    std::fprintf(stderr, "kernel_bench: oneDNN refused the AVX2 cap\n");
    std::exit(1);
  }
}

// The processor's brand string (CPUID leaves 0x80000002 to 0x80000004).
std::string processor_name() {
  unsigned words[12] = {};
  for (unsigned leaf = 0; leaf < 3; ++leaf)
    if (!__get_cpuid(0x80000002 + leaf, &words[4 * leaf], &words[4 * leaf + 1],
                     &words[4 * leaf + 2], &words[4 * leaf + 3]))
      return "unknown processor";
  std::string name(reinterpret_cast<const char *>(words), sizeof words);
  name = name.c_str(); // up to its terminating zero
  const std::size_t first = name.find_first_not_of(' ');
  return first == std::string::npos ? name : name.substr(first);
}

void print_setup(const Options &options, int repetitions,
                 const std::vector<const vesk::KernelTarget *> &targets) {
  const vesk::CacheSizes &caches = vesk::machine_caches();
  std::printf("%s: %zu KiB first-level and %zu KiB second-level data cache "
              "per core, as the kernel reads them\n",
              processor_name().c_str(), caches.l1d >> 10, caches.l2 >> 10);
  const dnnl_version_t *version = dnnl_version();
  for (const char *variable : {"ONEDNN_MAX_CPU_ISA", "DNNL_MAX_CPU_ISA"})
    if (const char *value = std::getenv(variable))
      std::printf("%s=%s\n", variable, value);
  std::printf("oneDNN %d.%d.%d (%s): effective ISA %s%s, %d OpenMP thread(s)\n",
              version->major, version->minor, version->patch, version->hash,
              isa_name(dnnl_get_effective_cpu_isa()),
              options.cap_avx2 ? " (capped at AVX2)" : "",
              omp_get_max_threads());
  std::printf("kernel targets timed:");
  for (const vesk::KernelTarget *target : targets)
    std::printf(" %s", target->name);
  std::printf(" (built:");
  for (const vesk::KernelTarget &target : vesk::kernel_targets())
    std::printf(" %s", target.name);
  std::printf(")\n%d repetition(s) after a warm-up run; a contender over "
              "%.0f s is run once\n\n",
              repetitions, kSlowSeconds);
}

struct Problem {
  Shape shape;
  std::vector<std::uint8_t> a; // codes 0..3
  std::vector<std::int8_t> b;
  std::size_t cells() const { return std::size_t(shape.n) * shape.m; }
};

Problem make_problem(const Shape &shape) {
  std::mt19937 rng(20261207);
  Problem problem{shape, {}, {}};
  problem.a.resize(std::size_t(shape.n) * shape.k);
  problem.b.resize(std::size_t(shape.k) * shape.m);
  for (std::uint8_t &code : problem.a)
    code = static_cast<std::uint8_t>(rng() & 3);
  for (std::int8_t &value : problem.b)
    value = static_cast<std::int8_t>(static_cast<int>(rng() & 255) - 128);
  return problem;
}

// Whether the sweep has a shape of the same work and columns as `shape`,
// with shorter rows: what long rows cost is the time beyond that one's.
bool has_square(const Shape &shape) {
  return shape.k > kSweepSide && std::int64_t(shape.n) * shape.k ==
                                     std::int64_t(kSweepSide) * kSweepSide;
}

// `square` is the kernel run on the square shape's problem.
enum class Kind { kernel, lookups, square, onednn, read_a };

struct Contender {
  std::string label;
  Kind kind;
  const Problem *problem;
  const vesk::KernelTarget *target; // kernel, lookups and square
  int block_size;
  std::vector<std::int32_t> storage; // C; for the kernel, then its workspace
  std::vector<double> seconds;
};

// A contender running the kernel (or its lookups) on `problem`.
Contender kernel_contender(std::string label, Kind kind, const Problem &problem,
                           const vesk::KernelTarget *target, int block_size) {
  return {std::move(label),
          kind,
          &problem,
          target,
          block_size,
          std::vector<std::int32_t>(2 * problem.cells()),
          {}};
}

// Per target and block size: the kernel, its lookups alone, and given a
// square problem the kernel on that; then reading A, then oneDNN.
std::vector<Contender>
make_contenders(const Problem &problem, const Problem *square,
                const std::vector<const vesk::KernelTarget *> &targets,
                const std::vector<int> &block_sizes) {
  std::vector<Contender> contenders;
  for (const vesk::KernelTarget *target : targets)
    for (int block_size : block_sizes) {
      const std::string label =
          std::string(target->name) + " b=" + std::to_string(block_size);
      contenders.push_back(
          kernel_contender(label, Kind::kernel, problem, target, block_size));
      if (target->lookups != nullptr)
        contenders.push_back(kernel_contender(label + " lookups", Kind::lookups,
                                              problem, target, block_size));
      if (square != nullptr)
        contenders.push_back(kernel_contender(label + " square", Kind::square,
                                              *square, target, block_size));
    }
  contenders.push_back({"read A", Kind::read_a, &problem, nullptr, 0, {}, {}});
  contenders.push_back({"oneDNN u8s8s32",
                        Kind::onednn,
                        &problem,
                        nullptr,
                        0,
                        std::vector<std::int32_t>(problem.cells()),
                        {}});
  return contenders;
}

// The kernel at each m of the sweep, per target and block size.
std::vector<Contender>
make_sweep_contenders(const std::vector<Problem> &problems,
                      const std::vector<const vesk::KernelTarget *> &targets,
                      const std::vector<int> &block_sizes) {
  std::vector<Contender> contenders;
  for (const vesk::KernelTarget *target : targets)
    for (int block_size : block_sizes)
      for (const Problem &problem : problems)
        contenders.push_back(kernel_contender(
            std::string(target->name) + " b=" + std::to_string(block_size) +
                " m" + std::to_string(problem.shape.m),
            Kind::kernel, problem, target, block_size));
  return contenders;
}

void run_kernel(Contender &contender) {
  const Problem &problem = *contender.problem;
  const Shape &s = problem.shape;
  std::int32_t *C = contender.storage.data();
  const vesk::Workspace workspace{C + problem.cells(), 4 * problem.cells()};
  if (contender.kind != Kind::lookups)
    vesk::rsr_gemm_kernel_on(*contender.target, problem.a.data(),
                             problem.b.data(), C, nullptr, s.n, s.k, s.m,
                             contender.block_size, workspace);
  else
    contender.target->lookups(
        problem.a.data(), problem.b.data(), C, nullptr, std::size_t(s.n),
        std::size_t(s.k), std::size_t(s.m),
        vesk::segment_bound(contender.block_size), workspace);
}

void run_onednn(Contender &contender) {
  const Problem &problem = *contender.problem;
  const Shape &s = problem.shape;
  const std::int32_t no_offset = 0;
  const dnnl_status_t status =
      dnnl_gemm_u8s8s32('N', 'N', 'F', s.n, s.m, s.k, 1.0f, problem.a.data(),
                        s.k, 0, problem.b.data(), s.m, 0, 0.0f,
                        contender.storage.data(), s.m, &no_offset);
  if (status != dnnl_success) {
    std::fprintf(stderr, "kernel_bench: dnnl_gemm_u8s8s32 failed (%d)\n",
                 static_cast<int>(status));
    std::exit(1);
  }
}

// Where read_a leaves what it read, so that the reads cannot be dropped.
volatile int read_sink;

// Every byte of A read once, front to back, 64 bytes a step in four
// registers: faster than any cache level delivers them.
void read_a(const Problem &problem) {
  const auto *at = reinterpret_cast<const __m128i *>(problem.a.data());
  const std::size_t lines = problem.a.size() / 64;
  __m128i x[4] = {_mm_setzero_si128(), _mm_setzero_si128(), _mm_setzero_si128(),
                  _mm_setzero_si128()};
  for (std::size_t i = 0; i < lines; ++i, at += 4)
    for (int j = 0; j < 4; ++j)
      x[j] = _mm_xor_si128(x[j], _mm_loadu_si128(at + j));
  read_sink = _mm_cvtsi128_si32(
      _mm_xor_si128(_mm_xor_si128(x[0], x[1]), _mm_xor_si128(x[2], x[3])));
}

double timed_run(Contender &contender) {
  const auto start = std::chrono::steady_clock::now();
  switch (contender.kind) {
  case Kind::kernel:
  case Kind::lookups:
  case Kind::square:
    run_kernel(contender);
    break;
  case Kind::onednn:
    run_onednn(contender);
    break;
  case Kind::read_a:
    read_a(*contender.problem);
    break;
  }
  const std::chrono::duration<double> elapsed =
      std::chrono::steady_clock::now() - start;
  return elapsed.count();
}

// Up to eight rows spread over A, first and last included.
std::vector<std::int32_t> sample_rows(std::int32_t n) {
  std::vector<std::int32_t> rows;
  for (std::int64_t i = 0; i < 8; ++i)
    rows.push_back(static_cast<std::int32_t>(i * (n - 1) / 7));
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  return rows;
}

bool matches_plain_product(const Problem &problem, const std::int32_t *C) {
  const Shape &s = problem.shape;
  std::vector<std::int64_t> row(s.m);
  for (std::int32_t r : sample_rows(s.n)) {
    std::fill(row.begin(), row.end(), 0);
    for (std::int32_t t = 0; t < s.k; ++t) {
      const int code = problem.a[std::size_t(r) * s.k + t];
      const std::int8_t *b = &problem.b[std::size_t(t) * s.m];
      for (std::int32_t c = 0; c < s.m; ++c)
        row[c] += code * b[c];
    }
    for (std::int32_t c = 0; c < s.m; ++c)
      if (row[c] != C[std::size_t(r) * s.m + c])
        return false;
  }
  return true;
}

const Contender &onednn_of(const std::vector<Contender> &contenders) {
  return contenders.back();
}

// Every product against the plain product on sample rows, and where oneDNN
// ran on the same problem, the kernel's whole C against oneDNN's.
bool results_exact(const std::vector<Contender> &contenders) {
  const Contender &onednn = onednn_of(contenders);
  bool exact = true;
  for (const Contender &contender : contenders) {
    if (contender.kind == Kind::lookups || contender.kind == Kind::read_a)
      continue;
    const Problem &problem = *contender.problem;
    const std::int32_t *C = contender.storage.data();
    if (!matches_plain_product(problem, C)) {
      std::printf("WRONG: %s differs from the plain product\n",
                  contender.label.c_str());
      exact = false;
    }
    if (onednn.kind == Kind::onednn && onednn.problem == &problem &&
        !std::equal(C, C + problem.cells(), onednn.storage.data())) {
      std::printf("WRONG: %s differs from oneDNN\n", contender.label.c_str());
      exact = false;
    }
  }
  return exact;
}

// A warm-up run of each contender, whose results are checked; a contender
// too slow to repeat keeps its warm-up as its one timed run. Then the
// repetitions, alternating between contenders. Each repetition starts one
// contender later: whoever runs first follows a different contender's data
// and cache state each time, so that no contender always pays for the same
// predecessor (in a fixed order, the first block size measured up to a
// fifth slower than the others on the same plan).
bool measure(std::vector<Contender> &contenders, int repetitions) {
  for (Contender &contender : contenders) {
    const double seconds = timed_run(contender);
    if (seconds > kSlowSeconds)
      contender.seconds.push_back(seconds);
  }
  if (!results_exact(contenders))
    return false;
  const std::size_t count = contenders.size();
  for (int rep = 0; rep < repetitions; ++rep)
    for (std::size_t i = 0; i < count; ++i) {
      Contender &contender = contenders[(std::size_t(rep) + i) % count];
      if (contender.seconds.empty() || contender.seconds[0] <= kSlowSeconds)
        contender.seconds.push_back(timed_run(contender));
    }
  return true;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t half = values.size() / 2;
  return values.size() % 2 ? values[half]
                           : (values[half - 1] + values[half]) / 2;
}

void print_header() {
  std::printf("%-26s %-24s %10s %5s %12s %11s\n", "shape (n, k, m)",
              "contender", "median ms", "runs", "oneDNN/ours", "ours/bound");
  std::printf("%s\n", std::string(93, '-').c_str());
}

// The median of kernel contender i's contender of the given kind (those
// follow it, up to the next kernel contender), or 0 if it has none.
double median_with(const std::vector<Contender> &contenders, std::size_t i,
                   Kind kind) {
  for (std::size_t j = i + 1;
       j < contenders.size() && contenders[j].kind != Kind::kernel; ++j)
    if (contenders[j].kind == kind)
      return median(contenders[j].seconds);
  return 0.0;
}

// Each kernel contender's median over its own on the square shape.
void print_long_rows(const std::vector<Contender> &contenders) {
  std::printf("%-26s long rows / square rows, same rotation:", "");
  for (std::size_t i = 0; i < contenders.size(); ++i)
    if (contenders[i].kind == Kind::kernel)
      std::printf(" %s %.3g", contenders[i].label.c_str(),
                  median(contenders[i].seconds) /
                      median_with(contenders, i, Kind::square));
  std::printf("\n");
}

void print_shape(const Shape &shape, const std::vector<Contender> &contenders) {
  const double onednn = median(onednn_of(contenders).seconds);
  const double read = median(contenders[contenders.size() - 2].seconds);
  std::string label = shape.name + " (" + std::to_string(shape.n) + ", " +
                      std::to_string(shape.k) + ", " + std::to_string(shape.m) +
                      ")";
  for (std::size_t i = 0; i < contenders.size(); ++i) {
    const Contender &contender = contenders[i];
    const double seconds = median(contender.seconds);
    char ratio[16] = "", bound[16] = "";
    if (contender.kind == Kind::kernel) {
      std::snprintf(ratio, sizeof ratio, "%.3gx", onednn / seconds);
      std::snprintf(
          bound, sizeof bound, "%.3g",
          seconds / std::max(read, median_with(contenders, i, Kind::lookups)));
    }
    std::printf("%-26s %-24s %10.2f %5zu %12s %11s\n", label.c_str(),
                contender.label.c_str(), seconds * 1e3,
                contender.seconds.size(), ratio, bound);
    label.clear();
  }
  if (has_square(shape))
    print_long_rows(contenders);
  std::fflush(stdout);
}

// Each m's median beside its time over the next m's: above 1, time falls as
// m rises there.
void print_sweep(const std::vector<Contender> &contenders) {
  std::printf("%-26s %10s %5s %14s\n", "contender", "median ms", "runs",
              "over next m");
  std::printf("%s\n", std::string(58, '-').c_str());
  const std::size_t widths = std::size(kSweepWidths);
  for (std::size_t i = 0; i < contenders.size(); ++i) {
    const double seconds = median(contenders[i].seconds);
    char ratio[24] = "";
    if ((i + 1) % widths != 0) {
      const double over = seconds / median(contenders[i + 1].seconds);
      std::snprintf(ratio, sizeof ratio, "%.3g%s", over,
                    over > 1 ? " falls" : "");
    }
    std::printf("%-26s %10.2f %5zu %14s\n", contenders[i].label.c_str(),
                seconds * 1e3, contenders[i].seconds.size(), ratio);
  }
}

int run_sweep(const std::vector<const vesk::KernelTarget *> &targets,
              const std::vector<int> &block_sizes, int repetitions) {
  std::vector<Problem> problems;
  for (std::int32_t m : kSweepWidths)
    problems.push_back(make_problem({"sweep", kSweepSide, kSweepSide, m}));
  std::vector<Contender> contenders =
      make_sweep_contenders(problems, targets, block_sizes);
  if (!measure(contenders, repetitions))
    return 1;
  print_sweep(contenders);
  return 0;
}

} // namespace

int main(int argc, char **argv) {
  const Options options = parse_options(argc, argv);
  set_up_onednn(options);
  const std::vector<Shape> shapes = chosen_shapes(options);
  const std::vector<const vesk::KernelTarget *> targets =
      chosen_targets(options);
  const int repetitions = options.repetitions ? options.repetitions
                          : options.quick     ? 2
                                              : 5;
  print_setup(options, repetitions, targets);
  if (options.sweep)
    return run_sweep(targets, options.block_sizes, repetitions);
  print_header();
  for (const Shape &shape : shapes) {
    const Problem problem = make_problem(shape);
    std::optional<Problem> square;
    if (has_square(shape))
      square = make_problem({"square", kSweepSide, kSweepSide, shape.m});
    const Problem *square_or_none = square ? &*square : nullptr;
    std::vector<Contender> contenders =
        make_contenders(problem, square_or_none, targets, options.block_sizes);
    if (!measure(contenders, repetitions))
      return 1;
    print_shape(shape, contenders);
  }
  return 0;
}
