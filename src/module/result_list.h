// The returned list, which also serves as the output buffer of the kernel.
#pragma once

#include "py_ref.h"
#include "rsr_kernel.h"

#include <cstddef>
#include <cstdint>

namespace vesk {

// A list of `count` ints built in place. Its item storage (one pointer per
// element) first holds the 32-bit results in its lower half while its upper
// half is the kernel's workspace; `finish` then turns the values into int
// objects from the back, so each value is read before its bytes are
// overwritten. Until then the list is hidden from the garbage collector, and if
// it is dropped unfinished its unconverted slots are cleared first.
class ResultList {
public:
  // An empty handle with MemoryError pending if the storage cannot be had.
  explicit ResultList(std::size_t count);
  ResultList(const ResultList &) = delete;
  ResultList &operator=(const ResultList &) = delete;
  ~ResultList();

  explicit operator bool() const { return static_cast<bool>(list_); }
  std::int32_t *values() const;
  Workspace workspace() const;

  // The list of ints, values() having been filled. Object creation can fail
  // only when memory runs out; that is an internal failure.
  PyRef finish();

private:
  unsigned char *storage() const;

  PyRef list_;
  std::size_t count_;
  std::size_t unconverted_; // slots [0, unconverted_) hold no object yet
};

} // namespace vesk
