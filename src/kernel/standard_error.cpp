#include "standard_error.h"

#include <algorithm>
#include <cstring>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <cerrno>
#include <unistd.h>
#endif

namespace vesk {
namespace {

#ifdef _WIN32
// Straight to the process's standard-error handle. The C runtime this code
// links may not be the interpreter's (MinGW's msvcrt beside CPython's ucrt):
// each keeps a descriptor table of its own, so a redirect made by the
// interpreter (os.dup2, which also sets the process's handle) would not reach
// this runtime's descriptor 2; and its text mode would write LF as CRLF.
void write_all(const char *data, std::size_t size) noexcept {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE)
    return;
  while (size > 0) {
    DWORD written = 0;
    const auto chunk = static_cast<DWORD>(std::min<std::size_t>(size, 1 << 30));
    if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0)
      return;
    data += written;
    size -= written;
  }
}
#else
void write_all(const char *data, std::size_t size) noexcept {
  while (size > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, size);
    if (written < 0 && errno == EINTR)
      continue;
    if (written <= 0)
      return;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}
#endif

} // namespace

StandardErrorReport &
StandardErrorReport::operator<<(std::string_view text) noexcept {
  while (!text.empty()) {
    if (used_ == sizeof buffer_)
      send();
    const std::size_t part = std::min(text.size(), sizeof buffer_ - used_);
    std::memcpy(buffer_ + used_, text.data(), part);
    used_ += part;
    text.remove_prefix(part);
  }
  return *this;
}

void StandardErrorReport::send() noexcept {
  write_all(buffer_, used_);
  used_ = 0;
}

} // namespace vesk
