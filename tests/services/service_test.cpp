#include "services/service.h"

#include <gtest/gtest.h>

namespace {

struct TokenCase {
  const char* label;
  std::string text;
  std::vector<std::string> tokens;
};

TEST(TokenizerTest, SplitsLikeTheStoredParametersExpect)
{
  const std::vector<TokenCase> cases = {
    { "quoted pairs of both kinds", "-H host -p \"two words\" -x 'more words'",
        { "-H", "host", "-p", "two words", "-x", "more words" } },
    { "runs of spaces", "   one     two  ", { "one", "two" } },
    { "empty text", "", {} },
    { "empty double quotes", "\"\"", {} },
    { "empty single quotes between words", "a '' b", { "a", "b" } },
    { "quotes inside a word join", "pre\"mid dle\"post", { "premid dlepost" } },
    { "quotes around a word", "\"word\" 'other'", { "word", "other" } },
    { "unterminated quote keeps the rest", "-m \"abc  def ghi", { "-m", "abc  def ghi" } },
    { "one kind closes the other", "\"it's fine\"", { "its", "fine" } },
    { "adjacent quoted parts", "\"a b\"'c d'", { "a bc d" } },
    { "backslash is ordinary", "a\\ b c\\\"d e\"", { "a\\", "b", "c\\d e" } },
    { "tab does not separate", "a\tb c", { "a\tb", "c" } },
    { "newline does not separate", "a\nb", { "a\nb" } },
  };
  for (const TokenCase& c : cases)
    EXPECT_EQ(tokenizeParameter(c.text), c.tokens) << c.label;
}

service dueAt(long seconds, long micros)
{
  service s;
  s.next_exec_time = { seconds, micros };
  return s;
}

TEST(ServiceRecordTest, DefaultsAndWeights)
{
  service s;
  EXPECT_TRUE(s.service_name.empty() && s.parameter.empty() && s.arguments.empty() && s.alerting_arguments.empty());
  EXPECT_EQ(s.return_code, 0);
  EXPECT_EQ(s.stored_state, 0);
  EXPECT_FALSE(s.response_ok || s.response_unknown || s.response_warning || s.response_critical);
  EXPECT_FLOAT_EQ(s.exec_weight, 1.0f);

  s.Setinterval_exec_time(0);
  EXPECT_EQ(s.interval_exec_time, 0);
  EXPECT_FLOAT_EQ(s.exec_weight, 1.0f);
  s.Setinterval_exec_time(300);
  EXPECT_FLOAT_EQ(s.exec_weight, 1000.0f);
  s.Setinterval_exec_time(7);
  EXPECT_FLOAT_EQ(s.exec_weight, 42857.0f);
  s.Setinterval_exec_time(0);
  EXPECT_EQ(s.interval_exec_time, 0);
  EXPECT_FLOAT_EQ(s.exec_weight, 42857.0f);
}

TEST(ServiceRecordTest, OrdersBySecondsThenMicroseconds)
{
  EXPECT_TRUE(dueAt(100, 5) < dueAt(100, 7));
  EXPECT_TRUE(dueAt(100, 7) > dueAt(100, 5));
  EXPECT_FALSE(dueAt(100, 5) < dueAt(100, 5));
  EXPECT_FALSE(dueAt(100, 5) > dueAt(100, 5));
  EXPECT_TRUE(dueAt(99, 999999) < dueAt(100, 0));
  EXPECT_FALSE(dueAt(101, 0) < dueAt(100, 999999));
}

TEST(ServiceRecordTest, ParameterReplacesAndAlertingParameterAppends)
{
  service s;
  s.Setparameter("-a 1 -b '2 3'");
  s.Setparameter("-c  4");
  EXPECT_EQ(s.parameter, "-c  4");
  EXPECT_EQ(s.arguments, (std::vector<std::string> { "-c", "4" }));

  s.SetAlertingParameter("--error $ERROR");
  s.SetAlertingParameter("\"to ops\"");
  EXPECT_EQ(s.alerting_arguments, (std::vector<std::string> { "--error", "$ERROR", "to ops" }));
}

TEST(ServiceRecordTest, CopyKeepsValuesAndGetsItsOwnLock)
{
  serviceSyslog original;
  original.service_name = "disk";
  original.Setparameter("-w 80");
  original.SetReturnCode(2);

  std::lock_guard<std::mutex> held(original.return_code_lock);
  serviceSyslog copy(original);
  EXPECT_EQ(copy.service_name, "disk");
  EXPECT_EQ(copy.arguments, original.arguments);
  EXPECT_EQ(copy.return_code, 2);
  // The original's lock is held here: the copy's own lock must be free.
  ASSERT_TRUE(copy.return_code_lock.try_lock());
  copy.return_code_lock.unlock();

  copy.arguments.push_back("extra");
  EXPECT_EQ(original.arguments.size(), 2u);
}

} // namespace
