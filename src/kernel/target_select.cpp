// Chooses the kernel target once per process from what the processor and
// its operating system support, or from VESK_KERNEL.
#include "kernel_targets.h"

#include <cstdlib>
#include <cstring>

#if defined(VESK_X86_TARGETS) && defined(_MSC_VER)
#include <immintrin.h>
#include <intrin.h>
#endif

namespace vesk {
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

bool cpu_has_avx2() {
  constexpr unsigned kFma = 1u << 12, kAvx = 1u << 28, kAvx2 = 1u << 5;
  return has_cpuid_bits(1, 0, 2, kFma | kAvx) && os_saves(0x6) &&
         has_cpuid_bits(7, 0, 1, kAvx2);
}

bool cpu_has_avx512() {
  constexpr unsigned kF = 1u << 16, kBw = 1u << 30, kVl = 1u << 31;
  return cpu_has_avx2() && os_saves(0xe6) &&
         has_cpuid_bits(7, 0, 1, kF | kBw | kVl);
}
#elif defined(VESK_X86_TARGETS)
// GCC and Clang check the operating system's register support as well.
bool cpu_has_avx2() {
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

bool cpu_has_avx512() {
  return cpu_has_avx2() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl");
}
#endif

KernelTarget requested_target() {
  const char *name = std::getenv("VESK_KERNEL");
  if (name != nullptr && std::strcmp(name, "portable") == 0)
    return KernelTarget::portable;
  if (name != nullptr && std::strcmp(name, "avx2") == 0)
    return KernelTarget::avx2;
  return KernelTarget::avx512;
}

} // namespace

bool target_available(KernelTarget target) {
  switch (target) {
#if defined(VESK_X86_TARGETS)
  case KernelTarget::avx512: {
    static const bool available = cpu_has_avx512();
    return available;
  }
  case KernelTarget::avx2: {
    static const bool available = cpu_has_avx2();
    return available;
  }
#endif
  case KernelTarget::portable:
    return true;
  default:
    return false;
  }
}

KernelTarget usable_target(KernelTarget requested) {
  if (requested == KernelTarget::avx512 &&
      !target_available(KernelTarget::avx512))
    requested = KernelTarget::avx2;
  if (requested == KernelTarget::avx2 && !target_available(KernelTarget::avx2))
    requested = KernelTarget::portable;
  return requested;
}

KernelTarget selected_target() {
  static const KernelTarget target = usable_target(requested_target());
  return target;
}

const char *target_name(KernelTarget target) {
  switch (target) {
  case KernelTarget::avx512:
    return "avx512";
  case KernelTarget::avx2:
    return "avx2";
  default:
    return "portable";
  }
}

} // namespace vesk
