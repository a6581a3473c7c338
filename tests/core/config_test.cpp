#include "core/ini_config.h"

#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

namespace {

class ConfigTest : public ::testing::Test {
protected:
  std::string file(const std::string& content) { return dir.write("receiver.conf", content); }
  TempDir dir;
};

TEST_F(ConfigTest, ReadsValuesAfterTheFirstEqualsSignUnchanged)
{
  IniConfig config(file("[SYSLOG]\nport=8080\nspaced = 8080\nurl=a=b \n"));
  EXPECT_EQ(config.getKey("SYSLOG", "port"), "8080");
  EXPECT_EQ(config.getKey("SYSLOG", "spaced"), " 8080");
  EXPECT_EQ(config.getKeyToInt("SYSLOG", "spaced"), 8080);
  EXPECT_EQ(config.getKey("SYSLOG", "url"), "a=b ");
  EXPECT_EQ(config.getKey("SYSLOG", "absent"), "");
  EXPECT_EQ(config.getKeyToInt("SYSLOG", "absent"), 0);
  EXPECT_EQ(config.getKey("NOSECTION", "port"), "");
}

TEST_F(ConfigTest, KeyIsAPlainSubstringOfTheFirstMatchingLine)
{
  IniConfig config(file("[SYSLOG]\ntransport=x\nport=8080\nname=has port inside\n"));
  EXPECT_EQ(config.getKey("SYSLOG", "port"), "x");
  // A key inside a value still matches that line.
  EXPECT_EQ(config.getKey("SYSLOG", "inside"), "has port inside");
}

TEST_F(ConfigTest, CommentsAndIndentationAreSkipped)
{
  IniConfig config(file("[SYSLOG]\n#port=1\n   #port=2\n\t\tport=3\n"));
  EXPECT_EQ(config.getKey("SYSLOG", "port"), "3");
  // A space after a tab stays, so that line is not a comment.
  IniConfig tabSpace(file("[SYSLOG]\n\t #port=1\nport=2\n"));
  EXPECT_EQ(tabSpace.getKey("SYSLOG", "port"), "1");
}

TEST_F(ConfigTest, OnlyTheFirstBlockOfASectionIsSearched)
{
  IniConfig config(file("port=0\n[LOG]\nport=1\n[SYSLOG]\nthread=2\n[OTHER]\nport=9\n[SYSLOG]\nport=5\n"));
  EXPECT_EQ(config.getKey("SYSLOG", "port"), "");
  EXPECT_EQ(config.getKey("SYSLOG", "thread"), "2");
  EXPECT_EQ(config.getKey("LOG", "port"), "1");
}

TEST_F(ConfigTest, HeaderMustMatchExactly)
{
  EXPECT_EQ(IniConfig(file("[SYSLOG] \nport=1\n")).getKey("SYSLOG", "port"), "");
  EXPECT_EQ(IniConfig(file("[syslog]\nport=1\n")).getKey("SYSLOG", "port"), "");
  // Carriage-return line ends: no header ends in "]", nothing is found.
  EXPECT_EQ(IniConfig(file("[SYSLOG]\r\nport=1\r\n")).getKey("SYSLOG", "port"), "");
  // A value keeps its carriage return when the header line has none.
  EXPECT_EQ(IniConfig(file("[SYSLOG]\nport=1\r\n")).getKey("SYSLOG", "port"), "1\r");
}

TEST_F(ConfigTest, MissingFileThrowsOnEveryLookup)
{
  IniConfig config(dir.path() + "/absent.conf");
  try {
    config.getKey("SYSLOG", "port");
    FAIL() << "no exception";
  } catch (const ConfigFileError& error) {
    EXPECT_STREQ(error.what(), "error: can't open file");
  }
  EXPECT_THROW(config.getKeyToInt("LOG", "x"), ConfigFileError);
  EXPECT_THROW(config.getSection("LOG"), ConfigFileError);
}

TEST_F(ConfigTest, GetSectionCollectsEntriesOfTheFirstBlock)
{
  IniConfig config(file("[A]\nx=1\nnovalue\n#c=3\nx=2\n[B]\ny=1\n"));
  auto& entries = config.getSection("A");
  EXPECT_EQ(entries["x"], "2");
  EXPECT_EQ(entries.count("novalue"), 1u);
  EXPECT_EQ(entries.count("#c"), 0u);
  EXPECT_EQ(entries.count("[A]"), 1u);
  EXPECT_EQ(entries.count("y"), 0u);
  // Entries of earlier calls stay.
  EXPECT_EQ(config.getSection("B").count("x"), 1u);
}

TEST(TrimTest, RemovesEveryKindOfWhiteSpace)
{
  EXPECT_EQ(trim("  inner text \t"), "inner text");
  EXPECT_EQ(rtrim("   "), "");
  EXPECT_EQ(ltrim("\n\r\f\vx "), "x ");
  EXPECT_EQ(rtrim(" x\v\f"), " x");
  EXPECT_EQ(trim(""), "");
}

} // namespace
