#pragma once
#include <exception>
#include <string>

// The text of the exception of type E that f throws, or "<nothing thrown>". An exception of
// another type passes through.
template <typename E = std::exception, typename F>
std::string ThrownText(F&& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<nothing thrown>";
}
