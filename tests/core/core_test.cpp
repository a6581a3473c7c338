#include "core/backoff.h"
#include "core/conversions.h"
#include "core/ini_config.h"
#include "core/log.h"

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <regex>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Lookups as stored configurations rely on them: the first line of the section's first block that contains the key
// text, the value unchanged after the first "=".
TEST(ConfigTest, LookupRulesThatStoredFilesRelyOn)
{
  // File, section, key, value.
  const std::tuple<const char*, const char*, const char*, const char*> cases[]
      = { { "[S]\nport=8080\n", "S", "port", "8080" }, { "[S]\nspaced = 8080\n", "S", "spaced", " 8080" },
          { "[S]\nurl=a=b \n", "S", "url", "a=b " }, { "[S]\ntransport=x\nport=1\n", "S", "port", "x" },
          { "[S]\n#port=1\n   #port=2\n\t\tport=3\n", "S", "port", "3" },
          { "[S]\n\t #port=1\nport=2\n", "S", "port", "1" },
          { "port=0\n[L]\nport=1\n[S]\nthread=2\n[O]\nport=9\n[S]\nport=5\n", "S", "port", "" },
          { "[S] \nport=1\n", "S", "port", "" }, { "[s]\nport=1\n", "S", "port", "" },
          { "[S]\r\nport=1\r\n", "S", "port", "" }, { "[S]\nport=1\r\n", "S", "port", "1\r" },
          { "[S]\nport=1\n", "NONE", "port", "" } };
  TempDir dir;
  for (const auto& [file, section, key, value] : cases)
    EXPECT_EQ(IniConfig(dir.write("receiver.conf", file)).getKey(section, key), value) << file;
  IniConfig missing(dir.path() + "/absent.conf");
  try {
    missing.getKey("S", "port");
    ADD_FAILURE() << "no exception for a missing file";
  } catch (const ConfigFileError& error) {
    EXPECT_STREQ(error.what(), "error: can't open file");
  }
}

TEST(ConversionsTest, TextToNumberReadsLikeAStreamAndNeverThrows)
{
  const std::pair<const char*, int> cases[] = { { "", 0 }, { "abc", 0 }, { "12abc", 12 }, { " 8080", 8080 },
    { "-5", -5 }, { "99999999999", 2147483647 }, { "-99999999999", -2147483647 - 1 }, { "1.9", 1 } };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(stringToInt(text), expected) << '"' << text << '"';
  EXPECT_EQ(stringToLongInt("99999999999999999999"), 18446744073709551615ul);
  EXPECT_EQ(unsignedLongLongIntToString(18446744073709551615ull), "18446744073709551615");
  EXPECT_EQ(ipFromNumber(192ul * 16777216 + 168ul * 65536 + 256 + 1), "192.168.1.1");
  EXPECT_EQ(ipFromNumber(4294967295ul), "255.255.255.255");
}

// Pauses grow from base by growth up to cap and start again after a reset; an attempt paced by earliest() may come
// at once first, then a pause after the one before, on a clock of the test's own.
TEST(BackoffTest, PausesGrowToTheCapAndStartAgainAfterAReset)
{
  using std::chrono::milliseconds;
  // Base, cap, growth, steps (n: next(), r: reset(), a: attempted() at earliest() or 1 ms after the last one) and what
  // they give. An attempt's time: the first at once, then each pause (the first being base) after the one before.
  const std::tuple<int, int, int, const char*, const char*> cases[]
      = { { 500, 5000, 2, "nnnnnnn", "500 1000 2000 4000 5000 5000 5000" },
          { 500, 5000, 2, "nnrnn", "500 1000 500 1000" }, { 1000, 1000, 1, "nnn", "1000 1000 1000" },
          { 100, 250, 3, "nnn", "100 250 250" }, { 500, 5000, 2, "aaaara", "1 501 1501 3501 4001" } };
  for (const auto& [base, cap, growth, steps, expected] : cases) {
    WaitClock::Clock::time_point now {};
    const WaitClock clock { [&] { return now; }, [&](WaitClock::Clock::duration pause) { now += pause; } };
    Backoff backoff(milliseconds(base), milliseconds(cap), growth, clock);
    std::string seen;
    for (const char* step = steps; *step != '\0'; ++step) {
      if (*step == 'n')
        seen += std::to_string(backoff.next().count()) + " ";
      if (*step == 'r')
        backoff.reset();
      if (*step == 'a') {
        backoff.sleep(std::max(backoff.earliest(), now + milliseconds(1)) - now);
        backoff.attempted(now);
        seen += std::to_string(std::chrono::duration_cast<milliseconds>(now.time_since_epoch()).count()) + " ";
      }
    }
    EXPECT_EQ(seen, std::string(expected) + " ") << steps;
  }
}

// Lines from many threads come out whole, each "<asctime>#LEVEL#message"; trace lines only in debug mode.
TEST(LogTest, LinesAreWholeAndTraceFollowsTheSwitch)
{
  LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i)
        writeLog("INFO", "thread " + std::to_string(t) + " line " + std::to_string(i));
    });
  for (auto& thread : threads)
    thread.join();
  setTraceEnabled(false);
  trace("hidden");
  setTraceEnabled(true);
  trace("shown");
  setTraceEnabled(false);
  writeRaw("raw line");
  const std::regex line(R"(\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4}#(INFO#thread \d line \d+|DEBUG#shown)|raw line)");
  std::istringstream in(capture.text());
  int count = 0;
  for (std::string text; std::getline(in, text); ++count)
    EXPECT_TRUE(std::regex_match(text, line)) << text;
  EXPECT_EQ(count, 802);
  // What a sender sent cannot end a line or start one of its own; other bytes stay.
  const std::pair<std::string, std::string> outside[]
      = { { "fw01", "fw01" }, { "x\nThu Jan  1 00:00:00 2026#INFO#FINISH", "x\\nThu Jan  1 00:00:00 2026#INFO#FINISH" },
          { std::string("a\r\t\x1b[31m\x7f\0b", 11), "a\\r\\t\\x1b[31m\\x7f\\x00b" },
          { "caf\xc3\xa9 \\n \xff", "caf\xc3\xa9 \\n \xff" } };
  for (const auto& [text, safe] : outside)
    EXPECT_EQ(logSafe(text), safe);

  // In a file, as the daemon logs, while another thread writes to std::cerr as the WebSocket library's error log
  // does: every line comes out once.
  TempDir dir;
  std::filebuf file;
  ASSERT_NE(file.open(dir.path() + "/log", std::ios::out), nullptr);
  struct Discard : std::streambuf {
    int overflow(int c) override { return traits_type::not_eof(c); }
  } discard;
  std::streambuf* const errors = std::cerr.rdbuf(&discard);
  std::ostream* const errorsTie = std::cerr.tie();
  std::streambuf* const before = redirectLog(&file);
  std::atomic<bool> written { false };
  std::thread library([&] {
    while (!written)
      std::cerr << "library error\n";
  });
  for (int i = 0; i < 20000; ++i)
    writeRaw("line " + std::to_string(i));
  written = true;
  library.join();
  redirectLog(before);
  std::cerr.rdbuf(errors);
  std::cerr.tie(errorsTie);
  file.close();
  const std::string lines = readFile(dir.path() + "/log");
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 20000);
  EXPECT_EQ(countOf(lines, "line 19999\n"), 1u);
}

} // namespace
