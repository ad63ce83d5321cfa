// SPDX-License-Identifier: MIT
// The status texts against the header's own text: every code of the status
// enum has exactly one case line of the form other languages read
// (`case NAME: return "text";`), the function returns that text, and no two
// codes share a text.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "vkm470fapi.h"

namespace {

std::string header() {
  std::ifstream in(VKM470F_HEADER);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// NAME -> value, from the enum that begins with VKM470F_SUCCESS.
std::map<std::string, int32_t> codes(const std::string& text) {
  const std::size_t begin = text.find("VKM470F_SUCCESS = 0");
  const std::size_t end = text.find("};", begin);
  const std::string block = text.substr(begin, end - begin);
  std::map<std::string, int32_t> found;
  const std::regex entry(R"((VKM470F_\w+) = (-?\d+))");
  for (std::sregex_iterator it(block.begin(), block.end(), entry), last; it != last; ++it) {
    found[(*it)[1]] = std::stoi((*it)[2]);
  }
  return found;
}

TEST(StatusText, EachCodeHasOneLineAndATextOfItsOwn) {
  const std::string text = header();
  const std::map<std::string, int32_t> table = codes(text);
  ASSERT_GE(table.size(), 18u) << "the enum was not found where expected";

  std::multimap<std::string, std::string> lines;  // NAME -> text, one per case line
  const std::regex line(R"re(^    case (VKM470F_\w+): return "([^"]+)";$)re");
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (std::regex_match(l, m, line)) lines.emplace(m[1], m[2]);
  }

  std::set<std::string> texts;
  for (const auto& [name, value] : table) {
    SCOPED_TRACE(name);
    ASSERT_EQ(lines.count(name), 1u) << "not one `case " << name << ": return \"...\";` line";
    const std::string written = lines.find(name)->second;
    EXPECT_EQ(VKM470F_StatusText(value), written);
    EXPECT_TRUE(texts.insert(written).second) << "text shared: " << written;
  }
  EXPECT_EQ(lines.size(), table.size()) << "a case line for a name that is not a code";
  EXPECT_EQ(texts.count("unknown status"), 0u);
}

TEST(StatusText, ValuesOutsideTheTableAreUnknown) {
  for (const int32_t value : {1, -1, -1000, -1013, -2000, -2006, INT32_MIN, INT32_MAX}) {
    EXPECT_STREQ(VKM470F_StatusText(value), "unknown status") << value;
  }
}

}  // namespace
