// The kernel's one scalar addition into C.
#pragma once

#include <cstdint>

namespace vesk {
namespace {

// a + b modulo 2^32: results beyond 32 bits are excluded by the caller, and
// unsigned arithmetic keeps them defined should they occur. (Internal
// linkage: each instruction set's file keeps its own copy.)
inline std::int32_t wrapping_add(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) +
                                   static_cast<std::uint32_t>(b));
}

} // namespace
} // namespace vesk
