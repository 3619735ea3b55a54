// The instruction sets the kernel is compiled for, in one priority-ordered
// table, and the choice among them. Not part of the public interface; the
// kernel tests, fuzzer and benchmark use it to run every target.
#pragma once

#include "rsr_kernel.h"
#include "target_config.h"

#include <cstddef>
#include <cstdint>

namespace vesk {

// Sets C to the bias rows (or zero) plus A x B; n, k and m are all positive
// and the segment bound 4, 6 or 8 (see segment_bound). The kernel may place
// its tables in `workspace`.
using GemmFunction = void (*)(const std::uint8_t *A, const std::int8_t *B,
                              std::int32_t *C, const std::int32_t *bias,
                              std::size_t n, std::size_t k, std::size_t m,
                              int segment_bound, Workspace workspace);

struct KernelTarget {
  const char *name; // as VESK_KERNEL names it
  GemmFunction gemm;
  bool (*supported)(); // this processor and its operating system run it
  // What its plan relies on; null for the portable kernel, which keeps one
  // whole table and plans nothing.
  const TargetConfig *config;
  // For tools that measure the method's bound: the plan's lookups alone,
  // over stand-ins for the tables and indices, with meaningless sums in C;
  // null where nothing plans.
  GemmFunction lookups;
};

struct KernelTargets {
  const KernelTarget *first;
  const KernelTarget *last;
  const KernelTarget *begin() const { return first; }
  const KernelTarget *end() const { return last; }
};

// Every target of this build, best first. The last one is the portable
// kernel, supported everywhere.
KernelTargets kernel_targets();

// The target of that name, or null.
const KernelTarget *find_target(const char *name);

// The request itself when supported, else the best supported target after it
// in the table.
const KernelTarget &usable_target(const KernelTarget &requested);

// The target of every call in this process, chosen at first use: the one
// VESK_KERNEL names, made usable, or the best supported one. An unknown name
// is reported once on standard error.
const KernelTarget &selected_target();

// Sets each of the n rows of C (m values) to the bias row, or to zero.
void initialise_output(std::int32_t *C, const std::int32_t *bias, std::size_t n,
                       std::size_t m);

// rsr_gemm_kernel on the given target (made usable), for tests and tools.
void rsr_gemm_kernel_on(const KernelTarget &target, const std::uint8_t *A,
                        const std::int8_t *B, std::int32_t *C,
                        const std::int32_t *bias, std::int32_t n,
                        std::int32_t k, std::int32_t m, std::int32_t block_size,
                        Workspace workspace = {});

} // namespace vesk
