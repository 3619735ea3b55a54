#include "result_list.h"

#include "internal_failure.h"

#include <memory>

namespace vesk {
namespace {

// Below this many values a list is built one new int per element: the cache
// would not pay for itself.
constexpr std::size_t kCachedListMinimum = 2048;
constexpr std::size_t kMaxCacheSlots = std::size_t{1} << 16;

// A direct-mapped cache of int objects by value, so equal values within one
// list share one (immutable) object instead of each allocating its own.
// Values of a product cluster in a range of a few thousand, so indexing by
// the low bits of the value almost always hits. The cache holds one
// reference to each object it keeps and releases them all when destroyed.
class IntCache {
public:
  explicit IntCache(std::size_t count) : mask_(slot_count(count) - 1) {
    slots_.reset(new Slot[mask_ + 1]());
  }
  IntCache(const IntCache &) = delete;
  IntCache &operator=(const IntCache &) = delete;
  ~IntCache() {
    for (std::size_t i = 0; i <= mask_; ++i)
      Py_XDECREF(slots_[i].object);
  }

  // A new reference to an int of the given value.
  PyObject *get(std::int32_t value) {
    Slot &slot = slots_[static_cast<std::uint32_t>(value) & mask_];
    if (slot.object == nullptr || slot.value != value) {
      PyObject *fresh =
          expect_object(PyLong_FromLong(value), VESK_HERE).release();
      Py_XDECREF(slot.object);
      slot.object = fresh;
      slot.value = value;
    }
    return Py_NewRef(slot.object);
  }

private:
  struct Slot {
    PyObject *object;
    std::int32_t value;
  };

  // A power of two near an eighth of the values: few slots for short lists.
  static std::size_t slot_count(std::size_t count) {
    std::size_t slots = 256;
    while (slots < kMaxCacheSlots && slots * 8 < count)
      slots *= 2;
    return slots;
  }

  std::size_t mask_;
  std::unique_ptr<Slot[]> slots_;
};

void fill_with_new_ints(PyObject *list, const std::int32_t *values,
                        std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    PyObject *item =
        expect_object(PyLong_FromLong(values[i]), VESK_HERE).release();
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
  }
}

void fill_with_shared_ints(PyObject *list, const std::int32_t *values,
                           std::size_t count) {
  IntCache cache(count);
  for (std::size_t i = 0; i < count; ++i)
    PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), cache.get(values[i]));
}

} // namespace

PyRef build_result_list(const std::int32_t *values, std::size_t count) {
  PyRef list =
      expect_object(PyList_New(static_cast<Py_ssize_t>(count)), VESK_HERE);
  if (count < kCachedListMinimum)
    fill_with_new_ints(list.get(), values, count);
  else
    fill_with_shared_ints(list.get(), values, count);
  return list;
}

} // namespace vesk
