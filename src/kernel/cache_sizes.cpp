// Reading the core's data cache sizes: from CPUID on x86, else from the
// operating system, else the fallback.
#include "cache_sizes.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) ||             \
    defined(_M_IX86)
#define VESK_CPUID 1
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <vector>
#elif defined(__linux__)
#include <unistd.h>
#endif

namespace vesk {
namespace {

#if defined(VESK_CPUID)
struct Registers {
  std::uint32_t eax, ebx, ecx, edx;
};

Registers cpuid(std::uint32_t leaf, std::uint32_t subleaf = 0) {
#if defined(_MSC_VER)
  int r[4];
  __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
  return {std::uint32_t(r[0]), std::uint32_t(r[1]), std::uint32_t(r[2]),
          std::uint32_t(r[3])};
#else
  Registers r{};
  __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
  return r;
#endif
}

// Intel's leaf 4 and AMD's 0x8000001D describe one cache per subleaf, in the
// same layout, until a subleaf of type 0.
CacheSizes walk_cache_leaf(std::uint32_t leaf) {
  CacheSizes caches{0, 0};
  for (std::uint32_t subleaf = 0; subleaf < 16; ++subleaf) {
    const Registers r = cpuid(leaf, subleaf);
    const std::uint32_t type = r.eax & 0x1F; // 1 data, 2 code, 3 unified
    if (type == 0)
      break;
    if (type == 2)
      continue;
    const std::size_t ways = (r.ebx >> 22) + 1;
    const std::size_t partitions = ((r.ebx >> 12) & 0x3FF) + 1;
    const std::size_t line = (r.ebx & 0xFFF) + 1;
    const std::size_t sets = std::size_t(r.ecx) + 1;
    const std::size_t bytes = ways * partitions * line * sets;
    switch ((r.eax >> 5) & 7) { // level
    case 1:
      caches.l1d = bytes;
      break;
    case 2:
      caches.l2 = bytes;
      break;
    default:
      break;
    }
  }
  return caches;
}

// The vendor string of leaf 0: EBX, EDX, ECX.
bool vendor_is(const char *name) {
  const Registers r = cpuid(0);
  char vendor[12];
  std::memcpy(vendor, &r.ebx, 4);
  std::memcpy(vendor + 4, &r.edx, 4);
  std::memcpy(vendor + 8, &r.ecx, 4);
  return std::memcmp(vendor, name, 12) == 0;
}
#endif

} // namespace

CacheSizes processor_caches() {
#if defined(VESK_CPUID)
  if (vendor_is("GenuineIntel") && cpuid(0).eax >= 4)
    return walk_cache_leaf(4);
  if (vendor_is("AuthenticAMD") || vendor_is("HygonGenuine")) {
    const std::uint32_t top = cpuid(0x80000000).eax;
    constexpr std::uint32_t kTopologyExtensions = 1u << 22;
    if (top >= 0x8000001D && (cpuid(0x80000001).ecx & kTopologyExtensions))
      return walk_cache_leaf(0x8000001D);
    // Older AMD cores: sizes in KiB in leaves 0x80000005 and 0x80000006.
    if (top >= 0x80000006)
      return {std::size_t(cpuid(0x80000005).ecx >> 24) << 10,
              std::size_t(cpuid(0x80000006).ecx >> 16) << 10};
  }
#endif
  return {0, 0};
}

CacheSizes system_caches() {
  CacheSizes caches{0, 0};
#if defined(_WIN32)
  DWORD bytes = 0;
  GetLogicalProcessorInformationEx(RelationCache, nullptr, &bytes);
  if (bytes == 0)
    return caches;
  std::vector<unsigned char> buffer(bytes);
  auto *first = reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX *>(
      buffer.data());
  if (!GetLogicalProcessorInformationEx(RelationCache, first, &bytes))
    return caches;
  for (DWORD at = 0; at < bytes;) {
    const auto *entry =
        reinterpret_cast<SYSTEM_LOGICAL_PROCESSOR_INFORMATION_EX *>(
            buffer.data() + at);
    if (entry->Size == 0)
      break;
    const CACHE_RELATIONSHIP &cache = entry->Cache;
    if (entry->Relationship == RelationCache &&
        cache.Type != CacheInstruction) {
      if (cache.Level == 1)
        caches.l1d = cache.CacheSize;
      else if (cache.Level == 2)
        caches.l2 = cache.CacheSize;
    }
    at += entry->Size;
  }
#elif defined(__linux__) && defined(_SC_LEVEL1_DCACHE_SIZE) &&                 \
    defined(_SC_LEVEL2_CACHE_SIZE)
  const long l1d = sysconf(_SC_LEVEL1_DCACHE_SIZE);
  const long l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
  caches.l1d = l1d > 0 ? std::size_t(l1d) : 0;
  caches.l2 = l2 > 0 ? std::size_t(l2) : 0;
#endif
  return caches;
}

namespace {

CacheSizes read_caches() {
  const CacheSizes processor = processor_caches();
  if (plausible(processor))
    return processor;
  const CacheSizes system = system_caches();
  if (plausible(system))
    return system;
  return kFallbackCaches;
}

} // namespace

const CacheSizes &machine_caches() {
  static const CacheSizes caches = read_caches();
  return caches;
}

} // namespace vesk
