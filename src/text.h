// The library's two text forms: a bounded copy into a fixed character array, and plain decimal.
#ifndef KAVRO_TEXT_H
#define KAVRO_TEXT_H

#include <charconv>
#include <cstddef>
#include <cstring>
#include <string>

namespace kavro::detail {

// Replaces target with the text at source, cut to fit and NUL-terminated. At most
// source_size bytes of source are read, so it need not be terminated within them (D2XX
// strings of a full buffer are not).
template <std::size_t N>
void CopyText(char (&target)[N], const char* source, std::size_t source_size = N) {
  const std::size_t n = strnlen(source, source_size < N - 1 ? source_size : N - 1);
  std::memcpy(target, source, n);
  target[n] = '\0';
}

// Plain decimal text of a signed value.
inline std::string Decimal(long long value) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof(buf), value);
  return std::string(buf, r.ptr);
}

}  // namespace kavro::detail

#endif  // KAVRO_TEXT_H
