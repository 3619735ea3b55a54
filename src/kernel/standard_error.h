// Reports on the process's standard error, written as they stand: no C
// stdio between them and the operating system.
#pragma once

#include <charconv>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace vesk {

// One report, gathered in a fixed buffer (no allocation, so it can be made
// while memory runs out) and written with `send` in one piece where it fits,
// so that reports from several threads do not interleave. The bytes reach
// the process's standard error as it is at the time of `send`, LF line ends
// included, on Windows too.
class StandardErrorReport {
public:
  StandardErrorReport &operator<<(std::string_view text) noexcept;

  template <class Integer,
            std::enable_if_t<std::is_integral_v<Integer>, int> = 0>
  StandardErrorReport &operator<<(Integer value) noexcept {
    char digits[24];
    const std::to_chars_result end =
        std::to_chars(digits, digits + sizeof digits, value);
    return *this << std::string_view(
               digits, static_cast<std::size_t>(end.ptr - digits));
  }

  // Writes what was gathered; the report is then empty.
  void send() noexcept;

private:
  char buffer_[1024];
  std::size_t used_ = 0;
};

} // namespace vesk
