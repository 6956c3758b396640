#pragma once
// Helpers shared by the C++ tests: the text of an expected exception, and readable names
// for the cases of parameterised suites.
#include <cctype>
#include <exception>
#include <string>
#include <string_view>
#include <typeinfo>

#include <gtest/gtest.h>

namespace morla::test {

// The message of the exception of type E that `call` throws; "<no error>" when it
// returns, and the other exception's type and message when it throws something else.
template <typename E = std::exception, typename Call>
std::string error_text(Call&& call) {
  try {
    call();
  } catch (const E& error) {
    return error.what();
  } catch (const std::exception& other) {
    return std::string("<other exception ") + typeid(other).name() + ": " + other.what() + ">";
  }
  return "<no error>";
}

// A GoogleTest case name from free text: every run of characters other than letters and
// digits becomes one '_'.
inline std::string case_name(std::string_view text) {
  std::string name;
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)))
      name += c;
    else if (!name.empty() && name.back() != '_')
      name += '_';
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name.empty() ? "empty" : name;
}

// The name generator of INSTANTIATE_TEST_SUITE_P from a label of each parameter.
template <typename Label>
auto names_by(Label label) {
  return [label](const auto& info) { return case_name(label(info.param)); };
}

}  // namespace morla::test
