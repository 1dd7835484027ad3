// The message of the exception a call throws, for comparing messages exactly.
#pragma once

#include <exception>
#include <string>

namespace qen::testing {

// what() of the std::exception that f throws, or "" when f returns.
template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

}  // namespace qen::testing
