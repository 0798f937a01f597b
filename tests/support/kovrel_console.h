// kovrel's console texts that tests of every kind expect: the banner under
// an 80-column rule, an error report, and the report that ends a failed run.
#pragma once

#include <string>

namespace test_support {

inline const std::string& rule_80() {
  static const std::string rule(80, '-');
  return rule;
}

inline std::string banner(const std::string& title) { return "\n" + rule_80() + "\n" + title; }

// The exact text of one error report of `message`.
inline std::string error_report(const std::string& message) {
  return "\nERROR : " + message + "\n";
}

constexpr const char* FAILED_TITLE = "... FAILED\n\n";

// What a failed job ends with: its FAILED banner as an error report.
inline std::string failed_report() { return error_report(banner(FAILED_TITLE)); }

}  // namespace test_support
