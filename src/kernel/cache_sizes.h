// The data caches of the core the kernel runs on, which size its plan.
#pragma once

#include <cstddef>

namespace vesk {

// Per-core first- and second-level data cache sizes, in bytes.
struct CacheSizes {
  std::size_t l1d;
  std::size_t l2;
};

// What the plan assumes where the machine cannot be read: a core with
// 32 KiB and 1 MiB.
constexpr CacheSizes kFallbackCaches{std::size_t{32} << 10,
                                     std::size_t{1} << 20};

// Sizes outside what any current core has are taken for a misreading.
constexpr bool plausible(const CacheSizes &caches) {
  return caches.l1d >= (std::size_t{4} << 10) &&
         caches.l1d <= (std::size_t{1} << 20) && caches.l2 > caches.l1d &&
         caches.l2 <= (std::size_t{64} << 20);
}

// As the processor reports them (CPUID), or zero where it cannot say.
CacheSizes processor_caches();

// As the operating system reports them, or zero where it cannot say.
CacheSizes system_caches();

// The sizes of this machine, read once per process: the processor's, else
// the operating system's, else kFallbackCaches, whichever first is
// plausible.
const CacheSizes &machine_caches();

} // namespace vesk
