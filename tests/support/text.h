// Texts as the tests compare them: lines, pieces in order, case labels, and
// whole files of the host.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace test_support {

// The whole lines of a text, without their line feeds; an unfinished last
// line is left out.
inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// How many lines of `text` are exactly `line`.
inline int count_lines(const std::string& text, const std::string& line) {
  int count = 0;
  std::istringstream in(text);
  std::string current;
  while (std::getline(in, current)) {
    if (current == line) ++count;
  }
  return count;
}

// Finds each text in `haystack` in the given order; the first missing one
// is reported.
inline ::testing::AssertionResult contains_in_order(const std::string& haystack,
                                                    const std::vector<std::string>& texts) {
  size_t from = 0;
  for (const auto& text : texts) {
    const size_t at = haystack.find(text, from);
    if (at == std::string::npos) {
      return ::testing::AssertionFailure() << "missing (in order) \"" << text << "\" in:\n"
                                           << haystack;
    }
    from = at + text.size();
  }
  return ::testing::AssertionSuccess();
}

// A text as a test-case label: line ends and other control characters
// escaped, long texts shortened, so that case names stay on one line.
inline std::string printable(const std::string& text) {
  constexpr size_t LABEL_MAX = 48;
  if (text.size() > LABEL_MAX) return "<" + std::to_string(text.size()) + " chars>";
  std::string label;
  for (char c : text) {
    if (c == '\n') {
      label += "\\n";
    } else if (c == '\r') {
      label += "\\r";
    } else if (c == '\t') {
      label += "\\t";
    } else if (static_cast<unsigned char>(c) < 0x20) {
      label += "\\x" + std::to_string(static_cast<unsigned char>(c));
    } else {
      label += c;
    }
  }
  return label;
}

// The whole content of a file of the host ("" when it cannot be read).
inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace test_support
