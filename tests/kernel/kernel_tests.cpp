// Checks the kernel against a plain triple loop, with and without a bias row,
// through the public entry and on every target this machine can run, with and
// without a workspace, and the memory plan of the fast kernels on its own.
// Prints the targets, one line per failed case and a closing
// "N passed, N failed" line; exits non-zero on any failure.
#include "cache_sizes.h"
#include "kernel_targets.h"
#include "memory_plan.h"
#include "rsr_kernel.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <random>
#include <utility>
#include <vector>

// Every allocation is counted, so that the kernel's peak use of memory of its
// own can be checked. Each block carries its size in a header as large as
// the alignment operator new promises.
namespace {
constexpr std::size_t kHeader = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
std::size_t live_bytes = 0;
std::size_t peak_bytes = 0;
// Allocations above this many bytes fail; run() applies the second limit
// to the kernel's own allocations only.
std::size_t refuse_above = SIZE_MAX;
std::size_t refuse_in_kernel_above = SIZE_MAX;
std::size_t last_kernel_peak = 0; // of run()'s kernel call

void *counted_alloc(std::size_t bytes) {
  auto *block =
      bytes > refuse_above
          ? nullptr
          : static_cast<unsigned char *>(std::malloc(bytes + kHeader));
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
  std::size_t a_offset = 0; // of A's codes from a 64-byte boundary
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

// Workspaces: none, what the module gives (the unused half of its result
// list's storage), the same one byte off a 64-byte boundary, and more than
// the kernel takes.
enum WorkspaceKind { kNone, kModules, kMisaligned, kLarge, kWorkspaceKinds };
const char *const kWorkspaceNames[] = {"none", "module's", "misaligned",
                                       "large"};

std::size_t workspace_bytes(int kind, const Case &c) {
  const std::size_t modules = 4 * std::size_t(c.n) * std::size_t(c.m);
  const std::size_t sizes[] = {0, modules, modules,
                               (std::size_t{1} << 20) + 4096};
  return sizes[kind];
}

// One whole table of the segment bound.
std::size_t table_bytes(const Case &c) {
  return (std::size_t{2} << (2 * vesk::segment_bound(c.block_size))) *
         std::size_t(c.m);
}
// The most a call may allocate, with or without a workspace: that table or,
// if larger, the second-level cache, and a line's alignment.
std::size_t own_limit(const Case &c) {
  return std::max(table_bytes(c), vesk::machine_caches().l2) + 63;
}

struct LineAlignedFree {
  void operator()(std::uint8_t *memory) const {
    ::operator delete (memory, std::align_val_t{64});
  }
};

// Runs one target (null: the public entry) on an output full of garbage: the
// kernel must initialise every element itself. The workspace, uninitialised,
// is exactly as long as given, so a reach past it is caught by the
// sanitizer.
std::vector<std::int32_t> run(const vesk::KernelTarget *target, const Case &c,
                              const Inputs &in, bool with_bias, int kind) {
  std::vector<std::int32_t> out(std::size_t(c.n) * c.m, 0x5a5a5a5a);
  const std::size_t bytes = workspace_bytes(kind, c);
  const std::size_t skip = kind == kMisaligned ? 1 : 0;
  const std::unique_ptr<unsigned char[]> memory(
      new unsigned char[bytes + skip]);
  const vesk::Workspace workspace{memory.get() + skip, bytes};
  const std::int32_t *bias = with_bias ? in.bias.data() : nullptr;
  // The codes at the case's offset from a 64-byte boundary, ending where
  // their allocation ends, so that a read past them is caught too.
  const std::unique_ptr<std::uint8_t, LineAlignedFree> codes(
      static_cast<std::uint8_t *>(
          ::operator new (c.a_offset + in.a.size(), std::align_val_t{64})));
  std::uint8_t *a = codes.get() + c.a_offset;
  std::copy(in.a.begin(), in.a.end(), a);
  const std::size_t before = live_bytes;
  peak_bytes = before;
  refuse_above = refuse_in_kernel_above;
  try {
    if (target == nullptr)
      vesk::rsr_gemm_kernel(a, in.b.data(), out.data(), bias, c.n, c.k, c.m,
                            c.block_size, workspace);
    else
      vesk::rsr_gemm_kernel_on(*target, a, in.b.data(), out.data(), bias, c.n,
                               c.k, c.m, c.block_size, workspace);
  } catch (const std::bad_alloc &) {
    std::printf("MEMORY refused\n");
    out.clear();
  }
  refuse_above = SIZE_MAX;
  last_kernel_peak = peak_bytes - before;
  if (peak_bytes - before > own_limit(c)) {
    std::printf("MEMORY %zu bytes allocated, beyond %zu\n", peak_bytes - before,
                own_limit(c));
    out.clear();
  }
  return out;
}

void check(const char *what, const Case &c, const Inputs &in, bool with_bias) {
  const std::vector<std::int32_t> expected = reference(c, in, with_bias);
  for (std::size_t i = 0; i <= targets.size(); ++i)
    for (int kind = kNone; kind < kWorkspaceKinds; ++kind) {
      const vesk::KernelTarget *target =
          i < targets.size() ? targets[i] : nullptr;
      if (run(target, c, in, with_bias, kind) == expected) {
        ++passed;
        continue;
      }
      ++failed;
      std::printf("FAILED %s on %s: n=%d k=%d m=%d block_size=%d bias=%d "
                  "workspace=%s a_offset=%zu\n",
                  what, target ? target->name : "public entry", c.n, c.k, c.m,
                  c.block_size, with_bias, kWorkspaceNames[kind], c.a_offset);
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

// Shapes that cross the fast paths' boundaries: tiles of 32 columns with
// ragged ends (a last tile of 1, 2, 4, 5, 8, 13 or 24 columns gets rows of
// its own width) and narrow tiles of 2, 4, 8 and 16; the matrix-vector paths
// (sixteen or 32 rows at a time with ragged rows and chunks, once the
// memory holds their tables); rows too few for tables, multiplied directly
// (tiles of up to 16 columns or of 32, ragged, odd k, blocks of chunks);
// several row blocks; groups of segments ending in a short segment; a
// single group (which reads the start and writes C at once); the shorter
// segments chosen for fewer rows; rows a page long or
// more, whose indices are formed for runs of groups (by groups and by
// tiles, a last run of one group, a short last segment, groups of 3-code
// segments that end inside lines); few columns of
// rows shorter than a chunk, read whole but for the last rows; and a tall
// product without a workspace, whose kernel must still keep to one table.
void tiling_shapes(std::mt19937 &rng) {
  const Case cases[] = {
      {7, 13, 1, 4},     {1030, 16400, 1, 4},  {3, 23, 1, 6},
      {5, 30, 1, 8},     {9, 65, 1, 8},        {17, 130, 1, 6},
      {15, 1, 1, 8},     {4100, 200, 1, 4},    {2500, 1027, 1, 4},
      {9, 21, 2, 4},     {33, 45, 3, 4},       {70, 70, 5, 4},
      {100, 37, 8, 6},   {120, 21, 9, 4},      {9, 21, 15, 4},
      {6, 33, 16, 4},    {5, 17, 17, 4},       {4, 45, 31, 6},
      {3, 27, 33, 8},    {11, 18, 63, 4},      {2, 35, 64, 6},
      {3, 19, 65, 8},    {4, 50, 100, 4},      {3, 29, 130, 6},
      {2, 13, 200, 8},   {1025, 16390, 65, 4}, {2, 171, 1349, 4},
      {3, 97, 1400, 6},  {2, 25, 70, 8},       {1, 1, 1, 4},
      {2100, 70, 33, 4}, {100, 60, 40, 4},     {70, 300, 70, 4},
      {3, 100, 40, 4},   {16, 100, 40, 4},     {128, 100, 40, 4},
      {128, 100, 5, 4},  {100000, 10, 100, 4}, {5, 70, 45, 4},
      {1500, 90, 76, 4}, {520, 4100, 20, 4},   {5, 4099, 3, 4},
      {80, 37, 6, 6},    {600, 4100, 33, 4},   {100, 21, 3, 4},
      {130, 63, 10, 4},  {150, 4201, 12, 4},   {147, 200, 11, 4},
      {20, 300, 1, 4},   {200, 1000, 12, 4},   {40, 100, 36, 4},
  };
  for (const Case &c : cases) {
    const Inputs in = random_inputs(c, rng);
    check("tiling", c, in, false);
    check("tiling", c, in, true);
  }
}

// Codes starting anywhere in a line. With k a multiple of 64 and many
// groups, groups then begin with a shorter one that ends where a line does
// (whole segments of 1 to 4 codes); otherwise they run as usual. Few
// columns begin with a shorter chunk likewise, in the first of several
// blocks at (130, 16384, 10).
void code_offsets(std::mt19937 &rng) {
  const Case shapes[] = {{600, 1024, 16, 4}, {700, 1152, 40, 4},
                         {5, 1024, 9, 4},    {1100, 4096, 2, 4},
                         {40, 1024, 1, 4},   {9, 640, 100, 6},
                         {520, 4096, 12, 4}, {130, 16384, 10, 4}};
  for (Case c : shapes)
    for (std::size_t offset : {1, 4, 16, 20, 48, 62}) {
      c.a_offset = offset;
      const Inputs in = random_inputs(c, rng);
      check("code offset", c, in, true);
    }
}

// The plan of the fast kernels, checked on its own over many shapes,
// workspaces, instruction sets and cache geometries: the kernel's own memory
// stays within its limit, every array lies inside its region without
// overlapping another and is as large as its loop order uses, and the cuts
// stay within the shape.
struct PlanCase {
  vesk::PlanRequest request;
  const vesk::KernelTarget *target;
  vesk::CacheSizes caches;
  vesk::OwnMemory own;
};

const vesk::CacheSizes kGeometries[] = {
    {std::size_t{32} << 10, std::size_t{1} << 20},
    {std::size_t{48} << 10, std::size_t{2} << 20},
    {std::size_t{32} << 10, std::size_t{256} << 10}};

// The targets that plan: all but the portable kernel.
std::vector<const vesk::KernelTarget *> planning_targets() {
  std::vector<const vesk::KernelTarget *> planning;
  for (const vesk::KernelTarget &target : vesk::kernel_targets())
    if (target.config != nullptr)
      planning.push_back(&target);
  return planning;
}

vesk::MemoryPlan plan_of(const PlanCase &c) {
  return vesk::plan_memory(c.request, *c.target->config, c.caches, c.own);
}

void report_plan(const char *what, const PlanCase &c) {
  const vesk::PlanRequest &r = c.request;
  std::printf("FAILED %s for %s, caches %zu/%zu, own %d: n=%zu k=%zu m=%zu "
              "segment bound %d, workspace %zu bytes at %p, line offset %zu\n",
              what, c.target->name, c.caches.l1d, c.caches.l2, int(c.own), r.n,
              r.k, r.m, r.segment_bound, r.workspace.bytes, r.workspace.data,
              r.line_offset);
}

bool within(const vesk::Piece &piece, std::size_t region) {
  return piece.offset % vesk::kRegionAlignment == 0 && piece.offset <= region &&
         piece.bytes <= region - piece.offset;
}

bool apart(const vesk::Piece &a, const vesk::Piece &b) {
  return a.place != b.place || a.place == vesk::Place::nowhere ||
         a.offset + a.bytes <= b.offset || b.offset + b.bytes <= a.offset;
}

std::size_t usable(vesk::Workspace w) {
  if (w.data == nullptr)
    return 0;
  const std::size_t skip =
      (64 - reinterpret_cast<std::uintptr_t>(w.data) % 64) % 64;
  return w.bytes > skip ? w.bytes - skip : 0;
}

std::size_t ceil_div(std::size_t a, std::size_t b) { return (a + b - 1) / b; }

// A row's groups: the lead, if any, then whole groups.
std::size_t groups(const vesk::MemoryPlan &plan, std::size_t k) {
  const std::size_t group_codes = std::size_t(plan.segment) * plan.group;
  return (plan.lead > 0) + ceil_div(k - plan.lead, group_codes);
}

// What the loops of each order read and write, in bytes, and where.
bool large_enough(const vesk::MemoryPlan &plan, std::size_t k, std::size_t m,
                  const vesk::TargetConfig &target) {
  const std::size_t group = std::size_t(plan.group);
  const std::size_t patterns = std::size_t{1} << (2 * plan.segment);
  switch (plan.order) {
  case vesk::LoopOrder::direct:
    return plan.own_bytes == 0;
  case vesk::LoopOrder::transposed:
    return plan.tables.bytes >=
           group * plan.tile * target.transposed_chunk_bytes;
  case vesk::LoopOrder::by_tiles: {
    // Several tiles keep their indices and a column copy in the workspace;
    // one tile indexes whole rows, kept anywhere, and has no copy.
    const std::size_t kept =
        ceil_div(groups(plan, k), plan.run) * plan.run * group;
    const bool placed =
        m <= plan.tile ? std::size_t(plan.run) == groups(plan, k) &&
                             plan.column.place == vesk::Place::nowhere
                       : plan.column.bytes >= plan.block_rows * plan.tile * 4 &&
                             plan.indices.place == vesk::Place::workspace &&
                             plan.column.place == vesk::Place::workspace;
    return plan.tables.bytes >= group * patterns * plan.row_stride * 2 &&
           plan.indices.bytes >= plan.block_rows * kept && placed;
  }
  case vesk::LoopOrder::by_groups: {
    // Runs of several groups keep the block's indices of the run, runs of
    // one two chunks' of rows.
    const std::size_t rows =
        plan.run > 1 ? plan.block_rows : 2 * plan.index_rows;
    return plan.tables.bytes >= group * patterns * plan.row_stride * 2 &&
           plan.indices.bytes >= rows * std::size_t(plan.run) * group;
  }
  }
  return false;
}

// A lead is whole segments, shorter than a group, and ends where a line
// of A begins.
bool lead_fits(const vesk::MemoryPlan &plan, const vesk::PlanRequest &c) {
  const std::size_t segment = std::size_t(plan.segment);
  return plan.lead == 0 ||
         (plan.lead % segment == 0 && plan.lead < segment * plan.group &&
          plan.lead < c.k && (c.line_offset + plan.lead) % 64 == 0 &&
          groups(plan, c.k) == vesk::group_count(plan, c.k));
}

bool cuts_fit(const vesk::MemoryPlan &plan, const vesk::PlanRequest &c,
              const vesk::TargetConfig &target) {
  if (plan.order == vesk::LoopOrder::direct)
    return (c.n <= target.direct_rows ||
            (c.m <= target.direct_columns &&
             c.n < target.direct_rows_per_column * c.m)) &&
           plan.tile <= target.direct_columns && plan.tile <= c.m &&
           plan.group % 2 == 0 && plan.group <= vesk::group_limit(1) &&
           plan.run >= 1;
  if (plan.order == vesk::LoopOrder::transposed)
    return c.m <= target.transposed_columns && plan.tile == c.m &&
           plan.group >= 1 &&
           std::size_t(plan.group) <=
               vesk::ChunkGrid{c.k, target.transposed_codes, plan.lead}
                   .count() &&
           (plan.lead == 0 ||
            (plan.lead < target.transposed_codes && plan.lead < c.k &&
             (c.line_offset + plan.lead) % 64 == 0));
  return lead_fits(plan, c) && plan.segment >= 1 && plan.segment <= 4 &&
         plan.segment <= c.segment_bound && plan.group >= 1 &&
         plan.group <= vesk::group_limit(plan.segment) && plan.tile >= 1 &&
         plan.tile <= c.m && plan.row_stride >= plan.tile &&
         plan.block_rows >= 1 && plan.block_rows <= c.n &&
         plan.index_rows >= 1 && plan.index_rows <= plan.block_rows &&
         plan.run >= 1 && std::size_t(plan.run) <= groups(plan, c.k);
}

void check_plan(const PlanCase &c) {
  const vesk::MemoryPlan plan = plan_of(c);
  const vesk::PlanRequest &r = c.request;
  const std::size_t room = usable(r.workspace);
  const vesk::Piece *pieces[] = {&plan.tables, &plan.indices, &plan.column};
  bool sound = plan.own_bytes <= vesk::own_memory_limit(r.m, r.segment_bound,
                                                        c.caches, c.own) &&
               large_enough(plan, r.k, r.m, *c.target->config) &&
               cuts_fit(plan, r, *c.target->config);
  for (const vesk::Piece *piece : pieces) {
    if (piece->place != vesk::Place::nowhere)
      sound = sound && within(*piece, piece->place == vesk::Place::workspace
                                          ? room
                                          : plan.own_bytes);
    for (const vesk::Piece *other : pieces)
      sound = sound && (piece == other || apart(*piece, *other));
  }
  ++(sound ? passed : failed);
  if (!sound)
    report_plan("plan", c);
}

// The cuts of a plan, its memory's places aside.
bool same_cuts(const vesk::MemoryPlan &a, const vesk::MemoryPlan &b) {
  return a.order == b.order && a.segment == b.segment && a.group == b.group &&
         a.tile == b.tile && a.row_stride == b.row_stride &&
         a.block_rows == b.block_rows && a.index_rows == b.index_rows &&
         a.run == b.run && a.lead == b.lead;
}

// The block size only bounds the kernel's own memory: where the plan for 4
// is not held back by it, 6 and 8 cut the product the same way, so they run
// as fast. That is so where the plan for 4 fits the workspace alone, and,
// with `always`, for every case given.
void check_block_size_hint(PlanCase c, bool always) {
  c.request.segment_bound = 4;
  const vesk::MemoryPlan four = plan_of(c);
  if (!always && four.own_bytes != 0)
    return;
  for (int segment : {6, 8}) {
    c.request.segment_bound = segment;
    const bool same = same_cuts(four, plan_of(c));
    ++(same ? passed : failed);
    if (!same)
      report_plan("block size alike", c);
  }
}

// Only the address's alignment matters to the plan: nothing is touched.
void *fake_address(std::size_t address) {
  return reinterpret_cast<void *>(address);
}

// The shapes the benchmarks time, with the workspace the module lends (the
// result's spare half, 4 bytes a value), here from a line boundary: every
// block size runs one plan.
void benchmark_plans_alike() {
  const std::size_t shapes[][3] = {
      {4096, 4096, 1},  {4096, 4096, 16}, {4096, 4096, 256}, {2048, 2048, 2048},
      {65536, 512, 64}, {4096, 4096, 2},  {4096, 4096, 4},   {4096, 4096, 8},
      {4096, 4096, 32}, {4096, 4096, 64}};
  for (const vesk::KernelTarget *target : planning_targets())
    for (const vesk::CacheSizes &caches : kGeometries)
      for (const auto &[n, k, m] : shapes) {
        const vesk::Workspace lent{fake_address(0x10000), 4 * n * m};
        check_block_size_hint(
            {{n, k, m, 4, lent, 16}, target, caches, vesk::OwnMemory::widened},
            true);
      }
}

void plan_properties() {
  const std::size_t rows[] = {1, 3, 8, 17, 255, 1024, 4096, 100000};
  const std::size_t depths[] = {1, 5, 64, 65, 1027, 4096, 100000};
  const std::size_t widths[] = {1, 2, 3, 8, 16, 17, 33, 100, 2048, 1 << 20};
  const vesk::OwnMemory owns[] = {vesk::OwnMemory::one_table,
                                  vesk::OwnMemory::widened};
  for (const vesk::KernelTarget *target : planning_targets())
    for (const vesk::CacheSizes &caches : kGeometries)
      for (vesk::OwnMemory own : owns)
        for (std::size_t n : rows)
          for (std::size_t k : depths)
            for (std::size_t m : widths)
              for (int segment : {4, 6, 8}) {
                const std::size_t modules = 4 * n * m;
                const vesk::Workspace workspaces[] = {
                    {},
                    {fake_address(0x10000), 13},
                    {fake_address(0x10000), modules},
                    {fake_address(0x10001), modules},
                    {fake_address(0x10000), std::size_t{8} << 20}};
                for (const vesk::Workspace &w : workspaces)
                  for (std::size_t line_offset : {0, 16, 48}) {
                    const PlanCase c{{n, k, m, segment, w, line_offset},
                                     target,
                                     caches,
                                     own};
                    check_plan(c);
                    if (segment == 4 && w.bytes == (std::size_t{8} << 20))
                      check_block_size_hint(c, false);
                  }
              }
}

// Code 3 everywhere with B at -128 and 127: every table entry and 16-bit
// sum the kernel forms is at its extreme for its length, and none may wrap.
// Tables of 4 codes (-1536 and 1524) come from 513 rows on; fewer rows use
// shorter segments in longer groups, and rows too few for tables sum 42 pairs
// of codes (-32256 .. 32004) directly, all near +-32767. Few columns of many
// rows go transposed, whose byte sums of two pairs' parts reach 0 and 180
// (l, and h plus its bias) and whose 16-bit chunk sums, started below zero
// by the biases, end at -24576 and 24384.
void extreme_values() {
  for (int block_size : {4, 6, 8})
    for (std::int8_t value : {std::int8_t(-128), std::int8_t(127)}) {
      const Case cases[] = {
          {5, 19, 9, block_size},     {40, 300, 20, block_size},
          {600, 200, 40, block_size}, {3, 171, 1349, 4},
          {2200, 300, 1, 4},          {150, 300, 12, 4}};
      for (const Case &c : cases) {
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

// The cache sizes the plan is made for: plausible, and the processor's or
// else the operating system's where either says, else the fallback.
void cache_sizes_read() {
  const vesk::CacheSizes used = vesk::machine_caches();
  const vesk::CacheSizes sources[] = {vesk::processor_caches(),
                                      vesk::system_caches()};
  std::printf("caches: %zu KiB / %zu KiB (processor %zu / %zu, system %zu / "
              "%zu)\n",
              used.l1d >> 10, used.l2 >> 10, sources[0].l1d >> 10,
              sources[0].l2 >> 10, sources[1].l1d >> 10, sources[1].l2 >> 10);
  vesk::CacheSizes expected = vesk::kFallbackCaches;
  for (auto it = std::rbegin(sources); it != std::rend(sources); ++it)
    if (vesk::plausible(*it))
      expected = *it;
  const bool sound = vesk::plausible(used) && used.l1d == expected.l1d &&
                     used.l2 == expected.l2;
  ++(sound ? passed : failed);
  if (!sound)
    std::printf("FAILED cache sizes\n");
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

// Without memory of its own the kernel throws std::bad_alloc, and leaves
// nothing allocated behind.
void refused_memory(std::mt19937 &rng) {
  const Case c{64, 64, 64, 4};
  const Inputs in = random_inputs(c, rng);
  std::vector<std::int32_t> out(std::size_t(c.n) * c.m);
  for (const vesk::KernelTarget *target : targets) {
    const std::size_t before = live_bytes;
    bool thrown = false;
    refuse_above = 0;
    try {
      vesk::rsr_gemm_kernel_on(*target, in.a.data(), in.b.data(), out.data(),
                               nullptr, c.n, c.k, c.m, c.block_size);
    } catch (const std::bad_alloc &) {
      thrown = true;
    }
    refuse_above = SIZE_MAX;
    const bool sound = thrown && live_bytes == before;
    ++(sound ? passed : failed);
    if (!sound)
      std::printf("FAILED refused memory on %s\n", target->name);
  }
}

// Where the memory beyond one table cannot be had, the kernel plans again
// within the one table and still gives the product. (Without a workspace,
// a matrix-vector product wants the tables of many chunks.)
void refused_widened_memory(std::mt19937 &rng) {
  for (const Case &c : {Case{64, 4096, 1, 4}, Case{700, 3000, 8, 4}}) {
    const Inputs in = random_inputs(c, rng);
    refuse_in_kernel_above = table_bytes(c) + 63;
    check("refused widened memory", c, in, true);
    refuse_in_kernel_above = SIZE_MAX;
  }
}

// The lookups alone, which the kernel benchmark times as the method's
// bound, over stand-ins in each loop order (transposed, of whole and of
// short rows; by groups in runs; by tiles): their sums mean nothing, but
// the sanitized build catches any reach past the memory they are given.
void lookups_alone(std::mt19937 &rng) {
  const Case shapes[] = {{100, 300, 3, 4},
                         {64, 20, 5, 4},
                         {520, 4100, 20, 4},
                         {600, 4100, 33, 4},
                         {5, 70, 45, 4}};
  for (const vesk::KernelTarget *target : targets)
    if (target->lookups != nullptr)
      for (const Case &c : shapes) {
        const Inputs in = random_inputs(c, rng);
        const std::size_t values = std::size_t(c.n) * c.m;
        std::vector<std::int32_t> out(values);
        std::vector<unsigned char> lent(4 * values);
        target->lookups(in.a.data(), in.b.data(), out.data(), nullptr, c.n, c.k,
                        c.m, c.block_size, {lent.data(), lent.size()});
        ++passed;
      }
}

// The stand-in indices of one row must differ from those of the rows after
// it, whatever the width of a row: indices repeating every few rows would
// let the lookups find their table rows in the first-level cache and make
// the bound too low. Rows of whole 4-code indices (by tiles) and of one
// group's (by groups), for each planning target.
void stand_ins_vary_by_row() {
  const vesk::CacheSizes caches{32 << 10, 1 << 20};
  const std::size_t shapes[][3] = {{4096, 4096, 16}, {1024, 16384, 16}};
  for (const vesk::KernelTarget *target : planning_targets())
    for (const auto &[n, k, m] : shapes) {
      std::vector<unsigned char> lent(4 * n * m);
      const vesk::CallMemory memory({n, k, m, 4, {lent.data(), lent.size()}, 0},
                                    *target->config, caches);
      const vesk::MemoryPlan &plan = memory.plan();
      const vesk::StandIns stand_ins(plan, memory);
      const bool by_tiles = plan.order == vesk::LoopOrder::by_tiles;
      const auto *rows =
          by_tiles ? static_cast<const std::uint8_t *>(memory.at(plan.indices))
                   : stand_ins.block_indices();
      const std::size_t width =
          std::size_t(plan.group) * (by_tiles ? std::size_t(plan.run) : 1);
      bool differ = rows != nullptr;
      for (std::size_t r = 1; differ && r < 256; ++r)
        differ = std::memcmp(rows, rows + r * width, width) != 0;
      ++(differ ? passed : failed);
      if (!differ)
        std::printf("FAILED stand-in indices of %s for (%zu, %zu, %zu)\n",
                    target->name, n, k, m);
    }
}

// The portable kernel keeps its table in a workspace that holds it, and
// allocates nothing.
void lent_table_used(std::mt19937 &rng) {
  const Case c{50, 30, 20, 4};
  const Inputs in = random_inputs(c, rng);
  const vesk::KernelTarget &portable = vesk::kernel_targets().end()[-1];
  const bool sound =
      run(&portable, c, in, false, kLarge) == reference(c, in, false) &&
      last_kernel_peak == 0;
  ++(sound ? passed : failed);
  if (!sound)
    std::printf("FAILED the portable kernel's table in the workspace\n");
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
  cache_sizes_read();
  plan_properties();
  benchmark_plans_alike();
  random_shapes(rng);
  tiling_shapes(rng);
  code_offsets(rng);
  extreme_values();
  degenerate_shapes(rng);
  refused_memory(rng);
  refused_widened_memory(rng);
  lent_table_used(rng);
  lookups_alone(rng);
  stand_ins_vary_by_row();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
