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
  s.nextExecTime = { seconds, micros };
  return s;
}

TEST(ServiceRecordTest, DefaultsAndWeights)
{
  service s;
  EXPECT_TRUE(s.serviceName.empty() && s.parameter.empty() && s.arguments.empty() && s.alertingArguments.empty());
  EXPECT_EQ(s.returnCode, 0);
  EXPECT_EQ(s.storedState, 0);
  EXPECT_FALSE(s.responseOk || s.responseUnknown || s.responseWarning || s.responseCritical);
  EXPECT_FLOAT_EQ(s.execWeight, 1.0f);

  s.setIntervalExecTime(0);
  EXPECT_EQ(s.intervalExecTime, 0);
  EXPECT_FLOAT_EQ(s.execWeight, 1.0f);
  s.setIntervalExecTime(300);
  EXPECT_FLOAT_EQ(s.execWeight, 1000.0f);
  s.setIntervalExecTime(7);
  EXPECT_FLOAT_EQ(s.execWeight, 42857.0f);
  s.setIntervalExecTime(0);
  EXPECT_EQ(s.intervalExecTime, 0);
  EXPECT_FLOAT_EQ(s.execWeight, 42857.0f);
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
  s.setParameter("-a 1 -b '2 3'");
  s.setParameter("-c  4");
  EXPECT_EQ(s.parameter, "-c  4");
  EXPECT_EQ(s.arguments, (std::vector<std::string> { "-c", "4" }));

  s.setAlertingParameter("--error $ERROR");
  s.setAlertingParameter("\"to ops\"");
  EXPECT_EQ(s.alertingArguments, (std::vector<std::string> { "--error", "$ERROR", "to ops" }));
}

TEST(ServiceRecordTest, CopyKeepsValuesAndGetsItsOwnLock)
{
  SyslogService original;
  original.serviceName = "disk";
  original.setParameter("-w 80");
  original.setReturnCode(2);

  std::lock_guard<std::mutex> held(original.returnCodeLock);
  SyslogService copy(original);
  EXPECT_EQ(copy.serviceName, "disk");
  EXPECT_EQ(copy.arguments, original.arguments);
  EXPECT_EQ(copy.returnCode, 2);
  // The original's lock is held here: the copy's own lock must be free.
  ASSERT_TRUE(copy.returnCodeLock.try_lock());
  copy.returnCodeLock.unlock();

  copy.arguments.push_back("extra");
  EXPECT_EQ(original.arguments.size(), 2u);
}

} // namespace
