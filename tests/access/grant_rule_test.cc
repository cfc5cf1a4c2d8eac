// Which nodes --grant-port grants is one rule, written once (kGrantRule):
// --help prints it, and the README says it in the same words (code spans
// and line breaks aside).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "access/grant_rule.h"
#include "cli/command_line.h"

namespace tevra {
namespace {

// The words of text, one space between each, backticks dropped.
std::string Words(const std::string& text) {
  std::istringstream in(text);
  std::string words;
  std::string word;
  while (in >> word) {
    std::erase(word, '`');
    words += (words.empty() ? "" : " ") + word;
  }
  return words;
}

TEST(GrantRuleTest, HelpAndReadmeSayTheRuleTheStepEnforces) {
  const std::string rule = Words(kGrantRule);
  EXPECT_NE(Words(UsageText()).find(rule), std::string::npos) << UsageText();
  std::ifstream readme(TEVRA_README);
  ASSERT_TRUE(readme) << TEVRA_README;
  std::ostringstream text;
  text << readme.rdbuf();
  EXPECT_NE(Words(text.str()).find(rule), std::string::npos) << "the README does not say: " << rule;
}

}  // namespace
}  // namespace tevra
