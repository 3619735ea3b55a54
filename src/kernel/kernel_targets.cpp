// The table of kernel targets and the choice of one per process, from what
// the processor and its operating system support or from VESK_KERNEL.
//
// Adding an instruction set: compile its kernel file with the set's flags
// (CMakeLists.txt), declare its entry and config below and add its row to
// kTargets.
#include "kernel_targets.h"
#include "standard_error.h"

#include <cstdlib>
#include <cstring>

#if defined(VESK_X86_TARGETS) && defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#endif

namespace vesk {

#define VESK_DECLARE_GEMM                                                      \
  void gemm(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,      \
            const std::int32_t *bias, std::size_t n, std::size_t k,            \
            std::size_t m, int segment_bound, Workspace workspace);
#define VESK_DECLARE_LOOKUPS                                                   \
  void lookups(const std::uint8_t *A, const std::int8_t *B, std::int32_t *C,   \
               const std::int32_t *bias, std::size_t n, std::size_t k,         \
               std::size_t m, int segment_bound, Workspace workspace);
namespace portable {
VESK_DECLARE_GEMM
}
#if defined(VESK_X86_TARGETS)
namespace avx2 {
VESK_DECLARE_GEMM
VESK_DECLARE_LOOKUPS
extern const TargetConfig config;
} // namespace avx2
namespace avx512 {
VESK_DECLARE_GEMM
VESK_DECLARE_LOOKUPS
extern const TargetConfig config;
} // namespace avx512
namespace avx512vbmi {
VESK_DECLARE_GEMM
VESK_DECLARE_LOOKUPS
extern const TargetConfig config;
} // namespace avx512vbmi
#endif
#undef VESK_DECLARE_GEMM
#undef VESK_DECLARE_LOOKUPS

namespace {

#if defined(VESK_X86_TARGETS) && defined(_MSC_VER)
bool has_cpuid_bits(int leaf, int subleaf, int reg, unsigned bits) {
  int info[4];
  __cpuidex(info, leaf, subleaf);
  return (static_cast<unsigned>(info[reg]) & bits) == bits;
}

// The operating system saves the register state the target needs.
bool os_saves(unsigned long long xcr0_bits) {
  constexpr unsigned kOsxsave = 1u << 27;
  return has_cpuid_bits(1, 0, 2, kOsxsave) &&
         (_xgetbv(0) & xcr0_bits) == xcr0_bits;
}

bool detect_avx2() {
  constexpr unsigned kFma = 1u << 12, kAvx = 1u << 28, kAvx2 = 1u << 5;
  return has_cpuid_bits(1, 0, 2, kFma | kAvx) && os_saves(0x6) &&
         has_cpuid_bits(7, 0, 1, kAvx2);
}

bool detect_avx512() {
  constexpr unsigned kF = 1u << 16, kBw = 1u << 30, kVl = 1u << 31;
  return detect_avx2() && os_saves(0xe6) &&
         has_cpuid_bits(7, 0, 1, kF | kBw | kVl);
}

bool detect_avx512vbmi() {
  constexpr unsigned kVbmi = 1u << 1, kVnni = 1u << 11;
  return detect_avx512() && has_cpuid_bits(7, 0, 2, kVbmi | kVnni);
}
#elif defined(VESK_X86_TARGETS)
// GCC and Clang check the operating system's register support as well.
// The first query may come from another translation unit's static
// initialisation, before the compiler's own: initialise first.
bool detect_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool detect_avx512() {
  return detect_avx2() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl");
}

bool detect_avx512vbmi() {
  return detect_avx512() && __builtin_cpu_supports("avx512vbmi") &&
         __builtin_cpu_supports("avx512vnni");
}
#endif

#if defined(VESK_X86_TARGETS)
bool has_avx2() {
  static const bool supported = detect_avx2();
  return supported;
}

bool has_avx512() {
  static const bool supported = detect_avx512();
  return supported;
}

bool has_avx512vbmi() {
  static const bool supported = detect_avx512vbmi();
  return supported;
}
#endif

bool everywhere() { return true; }

constexpr KernelTarget kTargets[] = {
#if defined(VESK_X86_TARGETS)
    {"avx512vbmi", avx512vbmi::gemm, has_avx512vbmi, &avx512vbmi::config,
     avx512vbmi::lookups},
    {"avx512", avx512::gemm, has_avx512, &avx512::config, avx512::lookups},
    {"avx2", avx2::gemm, has_avx2, &avx2::config, avx2::lookups},
#endif
    {"portable", portable::gemm, everywhere, nullptr, nullptr},
};

const KernelTarget &best_target() { return usable_target(kTargets[0]); }

void report_unknown_target(const char *name) {
  StandardErrorReport report;
  report << "vesk: VESK_KERNEL=" << name << " names no kernel target (one of";
  for (const KernelTarget &target : kernel_targets())
    report << " " << target.name;
  report << "); using " << best_target().name << "\n";
  report.send();
}

const KernelTarget &choose_target() {
  const char *name = std::getenv("VESK_KERNEL");
  if (name == nullptr || *name == '\0')
    return best_target();
  if (const KernelTarget *named = find_target(name))
    return usable_target(*named);
  report_unknown_target(name);
  return best_target();
}

} // namespace

KernelTargets kernel_targets() {
  return {kTargets, kTargets + sizeof kTargets / sizeof kTargets[0]};
}

const KernelTarget *find_target(const char *name) {
  for (const KernelTarget &target : kernel_targets())
    if (std::strcmp(target.name, name) == 0)
      return &target;
  return nullptr;
}

const KernelTarget &usable_target(const KernelTarget &requested) {
  const KernelTargets all = kernel_targets();
  for (const KernelTarget *target = &requested; target != all.end(); ++target)
    if (target->supported())
      return *target;
  return all.end()[-1];
}

const KernelTarget &selected_target() {
  static const KernelTarget &target = choose_target();
  return target;
}

} // namespace vesk
