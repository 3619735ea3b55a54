#include "result_list.h"

#include "internal_failure.h"

#include <cstring>
#include <memory>

#if defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
#include <xmmintrin.h>
#endif

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace vesk {
namespace {

// Below this many values a list is built one new int per element: the cache
// would not pay for itself.
constexpr std::size_t kCachedListMinimum = 2048;
constexpr std::size_t kMaxCacheSlots = std::size_t{1} << 16;

// GCC counts a prefetch as no effect at all: where a function that only
// prefetches is not inlined, it deletes the calls, and the fetches with them.
#if defined(_MSC_VER)
#define VESK_PREFETCHES __forceinline
#else
#define VESK_PREFETCHES inline __attribute__((always_inline))
#endif

// A hint that the line at `address` is about to be written. It never faults,
// whatever the address, so the address may be a guess.
VESK_PREFETCHES void prefetch_for_write(std::uintptr_t address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(reinterpret_cast<const void *>(address), 1);
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(reinterpret_cast<const char *>(address), _MM_HINT_T0);
#else
  (void)address;
#endif
}

// The interpreter hands out a list's worth of new ints mostly 32 to 256
// bytes apart, running down through the blocks the last freed list left
// (or up through fresh ones), and finds each next block by reading the one
// before: a chain of cache misses once the kernel has streamed A through
// the caches. Fetching the lines 1 and 2 KiB either side of each new int
// breaks the chain: (4096, 4096, m) calls for m = 8 and 16 measured 5-10%
// faster end to end on an AMD Zen 4 core, calls alternating in one process.
VESK_PREFETCHES void prefetch_next_ints(const PyObject *fresh) {
  const auto at = reinterpret_cast<std::uintptr_t>(fresh);
  for (std::uintptr_t distance : {1024u, 2048u}) {
    prefetch_for_write(at - distance);
    prefetch_for_write(at + distance);
  }
}

// A direct-mapped cache of int objects by value, so equal values within one
// list share one (immutable) object instead of each allocating its own.
// Values of a product cluster in a range of a few thousand, so indexing by
// the low bits of the value almost always hits. The cache holds one
// reference to each object it keeps. The references it hands out are counted
// in the slot and added to the object's count in one step when the slot is
// reused or the cache destroyed (which releases its own references too):
// that spares a write to a scattered object per element.
class IntCache {
public:
  explicit IntCache(std::size_t count) : mask_(slot_count(count) - 1) {
    slots_.reset(new Slot[mask_ + 1]());
  }
  IntCache(const IntCache &) = delete;
  IntCache &operator=(const IntCache &) = delete;
  ~IntCache() {
    for (std::size_t i = 0; i <= mask_; ++i)
      release(slots_[i]);
  }

  // A reference to an int of the given value, counted on the object by the
  // time the cache is destroyed.
  PyObject *get(std::int32_t value) {
    Slot &slot = slots_[static_cast<std::uint32_t>(value) & mask_];
    if (slot.object == nullptr || slot.value != value) {
      PyObject *fresh = PyLong_FromLong(value);
      if (fresh == nullptr) {
        // Reporting the failure runs Python code, which may use the same
        // (shared small) ints: their counts must be exact by then.
        settle_all();
        fail_python_api(VESK_HERE);
      }
      prefetch_next_ints(fresh);
      release(slot);
      slot = Slot{fresh, value, 0};
    }
    if (++slot.handed == kMaxHanded)
      settle(slot);
    return slot.object;
  }

private:
  struct Slot {
    PyObject *object;
    std::int32_t value;
    std::uint32_t handed; // references handed out, not yet counted
  };
  static constexpr std::uint32_t kMaxHanded = std::uint32_t{1} << 31;

  static void settle(Slot &slot) {
#ifdef Py_REF_DEBUG
    // A debug interpreter keeps a total of all references, which
    // Py_SET_REFCNT bypasses: count each one through the interpreter.
    for (std::uint32_t i = 0; i < slot.handed; ++i)
      Py_INCREF(slot.object);
#else
    Py_SET_REFCNT(slot.object, Py_REFCNT(slot.object) +
                                   static_cast<Py_ssize_t>(slot.handed));
#endif
    slot.handed = 0;
  }
  void settle_all() {
    for (std::size_t i = 0; i <= mask_; ++i)
      if (slots_[i].object != nullptr)
        settle(slots_[i]);
  }
  static void release(Slot &slot) {
    if (slot.object == nullptr)
      return;
    settle(slot);
    Py_DECREF(slot.object);
  }

  // The largest power of two within a quarter of the values (the list is at
  // least kCachedListMinimum long): few slots for short lists, and at most
  // half the bytes of the list's own storage. With about an eighth,
  // (4096, 4096, 16) makes 48,098 ints rather than 35,683 and takes 8%
  // longer; (4096, 4096, 32) takes 17% longer.
  static std::size_t slot_count(std::size_t count) {
    static_assert(256 * 4 <= kCachedListMinimum, "a quarter at the least");
    std::size_t slots = 256;
    while (slots < kMaxCacheSlots && slots * 2 * 4 <= count)
      slots *= 2;
    return slots;
  }

  std::size_t mask_;
  std::unique_ptr<Slot[]> slots_;
};

// Turns the values in the lower half of `storage` into int objects from the
// back: slot i covers the bytes of values 2i and 2i+1, both read by then.
// Bytes are moved with memcpy, as they change type under the compiler's eyes.
// `unconverted` always counts the slots not yet holding an object.
template <class MakeInt>
void convert_from_back(unsigned char *storage, std::size_t &unconverted,
                       MakeInt make_int) {
  while (unconverted > 0) {
    const std::size_t i = unconverted - 1;
    std::int32_t value;
    std::memcpy(&value, storage + i * sizeof value, sizeof value);
    PyObject *item = make_int(value);
    std::memcpy(storage + i * sizeof item, &item, sizeof item);
    unconverted = i;
  }
}

// Fresh storage is faulted in as it is first written, one 4 KiB page at a
// time: for a large result the faults take a third of the call. Where the
// system has transparent huge pages on request, ask for them, so that the
// storage comes in 2 MiB at a time. Only the whole huge pages inside the
// storage are advised; nothing else about the memory changes.
void advise_huge_pages(unsigned char *storage, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(storage);
  const std::uintptr_t first = (begin + kHugePage - 1) / kHugePage * kHugePage;
  const std::uintptr_t last = (begin + bytes) / kHugePage * kHugePage;
  if (last > first)
    madvise(reinterpret_cast<void *>(first), last - first, MADV_HUGEPAGE);
#else
  (void)storage;
  (void)bytes;
#endif
}

} // namespace

ResultList::ResultList(std::size_t count)
    : list_(PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)))),
      count_(count), unconverted_(count) {
  static_assert(sizeof(PyObject *) >= 2 * sizeof(std::int32_t),
                "a slot must hold two values");
  // Slots hold raw values until finished: nothing may traverse them.
  if (list_) {
    PyObject_GC_UnTrack(list_.get());
    advise_huge_pages(storage(), count * sizeof(PyObject *));
  }
}

ResultList::~ResultList() {
  if (list_)
    std::memset(storage(), 0, unconverted_ * sizeof(PyObject *));
}

unsigned char *ResultList::storage() const {
  return reinterpret_cast<unsigned char *>(PySequence_Fast_ITEMS(list_.get()));
}

std::int32_t *ResultList::values() const {
  return reinterpret_cast<std::int32_t *>(storage());
}

Workspace ResultList::workspace() const {
  return {storage() + count_ * sizeof(std::int32_t),
          count_ * (sizeof(PyObject *) - sizeof(std::int32_t))};
}

PyRef ResultList::finish() {
  if (count_ < kCachedListMinimum) {
    convert_from_back(storage(), unconverted_, [](std::int32_t value) {
      return expect_object(PyLong_FromLong(value), VESK_HERE).release();
    });
  } else {
    IntCache cache(count_);
    convert_from_back(storage(), unconverted_, [&cache](std::int32_t value) {
      return cache.get(value);
    });
  }
  PyObject_GC_Track(list_.get());
  return std::move(list_);
}

} // namespace vesk
