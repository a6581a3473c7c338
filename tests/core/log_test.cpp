#include "core/log.h"

#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const std::regex linePattern(R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 123]\d \d\d:\d\d:\d\d \d{4}#([A-Z]*)#(.*))");

std::vector<std::string> linesOf(const std::string& text)
{
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

TEST(LogTest, LineLayoutIsAsctimeLevelMessage)
{
  LogCapture capture;
  writeLog("INFO", "Receiver start....");
  writeLog("", "empty level");
  writeLog("ERR", "two\nlines");
  auto lines = linesOf(capture.text());
  ASSERT_EQ(lines.size(), 4u);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(lines[0], match, linePattern)) << lines[0];
  EXPECT_EQ(match[3], "INFO");
  EXPECT_EQ(match[4], "Receiver start....");
  EXPECT_NE(lines[1].find("##empty level"), std::string::npos);
  EXPECT_NE(lines[2].find("#ERR#two"), std::string::npos);
  EXPECT_EQ(lines[3], "lines");
}

TEST(LogTest, TraceWritesOnlyInDebugMode)
{
  LogCapture capture;
  debug = 0;
  trace("hidden");
  EXPECT_EQ(capture.text(), "");
  debug = 1;
  trace("shown");
  debug = 0;
  EXPECT_NE(capture.text().find("#DEBUG#shown\n"), std::string::npos);
}

TEST(LogTest, ConcurrentLinesNeverMix)
{
  LogCapture capture;
  const int perThread = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      std::string message(50, static_cast<char>('a' + t));
      for (int i = 0; i < perThread; ++i)
        writeLog("INFO", message);
    });
  for (auto& thread : threads)
    thread.join();
  auto lines = linesOf(capture.text());
  ASSERT_EQ(lines.size(), 4u * perThread);
  for (const std::string& line : lines) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, linePattern)) << line;
    std::string message = match[4];
    ASSERT_EQ(message.size(), 50u);
    EXPECT_EQ(message.find_first_not_of(message[0]), std::string::npos) << line;
  }
}

} // namespace
