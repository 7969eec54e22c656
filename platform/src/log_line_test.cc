// The platform's log: one line per event with its time stamp, libpq's
// messages of several lines joined, control bytes escaped.
#include "log_line.h"

#include <regex>
#include <string>

#include "gtest/gtest.h"

namespace ceplatform {
namespace {

TEST(LogLineTest, OneLineJoinsLinesAndEscapesControlBytes) {
  const struct {
    const char* text;
    const char* line;
  } cases[] = {
      {"plain text", "plain text"},
      {"  kept blanks  ", "  kept blanks  "},
      {"ends with a break\n", "ends with a break"},
      // libpq's unreachable server and an error with its detail and hint.
      {"connection to server on socket \"/run/x/.s.PGSQL.5432\" failed: No such file or "
       "directory\n\tIs the server running locally and accepting connections on that socket?\n",
       "connection to server on socket \"/run/x/.s.PGSQL.5432\" failed: No such file or "
       "directory / Is the server running locally and accepting connections on that socket?"},
      {"ERROR:  duplicate key\nDETAIL:  Key (oid)=(5) exists.\nHINT:  none\n",
       "ERROR:  duplicate key / DETAIL:  Key (oid)=(5) exists. / HINT:  none"},
      {"a \r\n\r\n \n b", "a / b"},
      {"\n\nfirst", "first"},
      {"tab\tinside, bell\a, escape\x1b[2J, delete\x7f",
       "tab\\x09inside, bell\\x07, escape\\x1B[2J, delete\\x7F"},
      {"UTF-8 \xe6\x8e\xb2\xe7\xa4\xba stays", "UTF-8 \xe6\x8e\xb2\xe7\xa4\xba stays"},
      {"\n", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(OneLine(c.text), c.line) << c.text;
}

TEST(LogLineTest, EachEventIsOneStampedLine) {
  std::string long_part(3000, 'x');
  testing::internal::CaptureStderr();
  LogLine("store: %s\n\tsecond line", "first line");
  LogLine("long: %s\nend", long_part.c_str());
  std::string written = testing::internal::GetCapturedStderr();
  const std::regex line(
      "\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\] ceplatform: ([^\n]*)\n");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(written, match, line, std::regex_constants::match_continuous))
      << written;
  EXPECT_EQ(match[1], "store: first line / second line");
  std::string rest = match.suffix();
  // Longer than the first buffer: the whole event, still one line.
  ASSERT_TRUE(std::regex_match(rest, match, line)) << rest.substr(0, 200);
  EXPECT_EQ(match[1], "long: " + long_part + " / end");
}

}  // namespace
}  // namespace ceplatform
