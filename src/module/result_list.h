// Conversion of the output buffer into the returned list.
#pragma once

#include "py_ref.h"

#include <cstddef>
#include <cstdint>

namespace vesk {

// A new list of `count` ints holding values[0 .. count). Object creation can
// fail only when memory runs out; that is an internal failure.
PyRef build_result_list(const std::int32_t *values, std::size_t count);

} // namespace vesk
