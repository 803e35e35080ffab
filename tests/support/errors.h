// The text of an expected failure.
#pragma once

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <stdexcept>
#include <string>

namespace le::test {

// The message of the std::runtime_error that fn throws; fails the test when it
// throws nothing or something else.
inline std::string errorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::runtime_error& e) {
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "unexpected exception type: " << e.what();
    return "<wrong exception type>";
  }
  ADD_FAILURE() << "expected a std::runtime_error, nothing was thrown";
  return "<no exception>";
}

inline bool startsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

}  // namespace le::test
