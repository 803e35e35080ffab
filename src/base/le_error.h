// The exported interface's error convention: one per-thread error text per
// function family, cleared on entry, set to "<function>: <message>" on failure.
#pragma once

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

}  // namespace le::api
