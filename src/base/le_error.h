// The exported interface's error convention: one per-thread error text per
// function family, cleared on entry, set to "<function>: <message>" on failure.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <utility>

namespace le::api {

// One thread-local text per family tag; its c_str() stays valid until the next
// call on the same thread that clears or sets it.
template <class Family>
std::string& errorText() {
  thread_local std::string text;
  return text;
}

template <class Family>
void setErr(const char* fn, const std::string& msg) {
  std::string& t = errorText<Family>();
  t.assign(fn);
  t.append(": ");
  t.append(msg);
}

// Runs body() with the family's error text cleared; any exception becomes the
// family's error text and the call returns `failure` instead.
template <class Family, class R, class Body>
R guarded(const char* fn, R failure, Body&& body) noexcept {
  errorText<Family>().clear();
  try {
    return std::forward<Body>(body)();
  } catch (const std::exception& e) {
    try { setErr<Family>(fn, e.what()); } catch (...) {}
  } catch (...) {
    try { setErr<Family>(fn, "unknown failure"); } catch (...) {}
  }
  return failure;
}

// The convention of the calls that report into a caller's buffer instead of
// a per-thread text: at most cap - 1 bytes and a terminating NUL; nothing
// when the buffer is null or cap <= 0.
inline void copyToBuffer(const char* msg, char* buf, int cap) noexcept {
  if (!buf || cap <= 0) return;
  std::size_t n = 0;
  if (msg)
    while (msg[n] != '\0' && n < static_cast<std::size_t>(cap) - 1) ++n;
  for (std::size_t i = 0; i < n; ++i) buf[i] = msg[i];
  buf[n] = '\0';
}

}  // namespace le::api
