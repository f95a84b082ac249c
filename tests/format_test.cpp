// The message formatter: every message must come out exactly as its quoted
// text, filled in.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <optional>

#include "korvel/exception.h"
#include "korvel/format.h"
#include "korvel/log.h"
#include "support/test_support.h"

namespace korvel {
namespace {

TEST(Format, FillsEachDirective) {
  std::optional<std::string> none;
  std::optional<std::string> some = "db";
  const char bytes[] = {'a', 'b', 'c', 'd'};  // not NUL-terminated
  struct Case { std::string got, want; } cases[] = {
      {format("Connect to '%@' as %@", some, Value::text("me")), "Connect to 'db' as me"},
      {format("name %@", none), "name (nil)"},
      {format("%s - %d", "engine text", -42), "engine text - -42"},
      {format("%u rows", 7u), "7 rows"},
      {format("%ld/%lld/%zu", 1L, 2LL, std::size_t{3}), "1/2/3"},
      {format("[%*.*s]", 6, 3, bytes), "[   abc]"},
      {format("[%-5s]", "ab"), "[ab   ]"},
      {format("%.2f", 3.14159), "3.14"},
      {format("%05d|%x|%X", 42, 255, 255), "00042|ff|FF"},
      {format("100%%"), "100%"},
      {format("%@", SQLException("bad")), "SQLException: bad"},
      {format("%@ type:%d mod:%d size: %d\n", std::string("col"), 23, -1, 4), "col type:23 mod:-1 size: 4\n"},
      {format("missing %@ and %d"), "missing  and "},
      {format("%@", Value::null()), "<null>"},
      {format("%d", std::string("text where a number was asked")), "text where a number was asked"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(Format, PrecisionNeverReadsPastTheGivenLength) {
  // Eight bytes with no NUL: a precision must bound the read (ASan checks).
  char* raw = new char[8];
  std::memcpy(raw, "12345678", 8);
  EXPECT_EQ(format("%.*s", 8, raw), "12345678");
  EXPECT_EQ(format("%.3s", raw), "123");
  delete[] raw;
}

TEST(ProcessLog, DefaultLineHasTimeStampAndProcessId) {
  std::string line = processLogLine("hello");
  // 2026-12-10 14:25:03.123 name[pid] hello
  ASSERT_GT(line.size(), 24u);
  EXPECT_EQ(line[4], '-');
  EXPECT_EQ(line[10], ' ');
  EXPECT_EQ(line[19], '.');
  EXPECT_NE(line.find("[" + std::to_string(getpid()) + "] hello"), std::string::npos) << line;
}

TEST(ProcessLog, SinkReceivesFormattedMessages) {
  auto log = test::CapturedLog::processLog();
  processLog("Problem posting notification: %@ %@", Value::text("n"), SQLException("x"));
  ASSERT_EQ(log->lines().size(), 1u);
  EXPECT_EQ(log->lines()[0], "Problem posting notification: n SQLException: x");
}

}  // namespace
}  // namespace korvel
