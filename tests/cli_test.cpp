// The korvel command-line client: its parts (argument parser, statement
// splitter, formatters) directly, and the built program end to end against
// real SQLite files and the PostgreSQL server that scripts/test starts.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <map>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "korvel/korvel.h"
#include "options.h"
#include "output.h"
#include "prompt.h"
#include "statements.h"
#include "support/test_support.h"

namespace korvel::cli {
namespace {

using korvel::test::CommandResult;
using korvel::test::TempDir;
using korvel::test::shellQuote;
using korvel::test::uniqueName;

// ---- Argument parser ----------------------------------------------------

EnvironmentLookup environment(std::map<std::string, std::string> variables) {
  return [variables](const char* name) -> std::optional<std::string> {
    auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
  };
}

Options parse(std::vector<std::string> arguments, std::map<std::string, std::string> variables = {}) {
  return parseArguments(arguments, environment(std::move(variables)));
}

TEST(cliArguments, DefaultsGiveTheSQLiteDemoDatabaseAndTables) {
  Options options = parse({});
  EXPECT_EQ(options.config.backend, "SQLite");
  EXPECT_EQ(options.config.database, "korvel-demo.db");
  EXPECT_EQ(options.format, OutputFormat::Table);
  EXPECT_TRUE(options.actions.empty());
  EXPECT_FALSE(options.config.password.has_value());
  EXPECT_FALSE(options.help);
}

TEST(cliArguments, OtherBackendsGetNoDemoDatabase) {
  EXPECT_FALSE(parse({"--backend", "Postgres"}).config.database.has_value());
  EXPECT_EQ(parse({"--backend", "Postgres", "--database", "app@db:5433"}).config.database, "app@db:5433");
}

TEST(cliArguments, SettingsReachTheConfiguration) {
  Options options = parse({"--backend=MySQL", "--database", "shop", "--user", "ann", "--password", "pw",
                           "--client-name", "report", "--debug", "2", "--trim", "--format", "json"});
  EXPECT_EQ(options.config.backend, "MySQL");
  EXPECT_EQ(options.config.database, "shop");
  EXPECT_EQ(options.config.user, "ann");
  EXPECT_EQ(options.config.password, "pw");
  EXPECT_EQ(options.config.clientName, "report");
  EXPECT_EQ(options.config.debugging, 2u);
  EXPECT_TRUE(options.config.trim);
  EXPECT_EQ(options.format, OutputFormat::Json);
}

TEST(cliArguments, PasswordComesFromTheEnvironmentUnlessGiven) {
  EXPECT_EQ(parse({}, {{"KORVEL_PASSWORD", "secret"}}).config.password, "secret");
  EXPECT_EQ(parse({"--password", "given"}, {{"KORVEL_PASSWORD", "secret"}}).config.password, "given");
  EXPECT_FALSE(parse({}, {{"OTHER", "x"}}).config.password.has_value());
}

TEST(cliArguments, ActionsKeepCommandLineOrder) {
  Options options = parse({"--execute", "CREATE TABLE t (a)", "--query", "SELECT 1", "--execute=INSERT INTO t VALUES (1)",
                           "--file", "setup.sql", "SELECT 2; SELECT 3", "--query", "SELECT 4"});
  std::vector<Action> expected = {
      {ActionKind::Execute, "CREATE TABLE t (a)"}, {ActionKind::Query, "SELECT 1"},
      {ActionKind::Execute, "INSERT INTO t VALUES (1)"}, {ActionKind::File, "setup.sql"},
      {ActionKind::Script, "SELECT 2; SELECT 3"}, {ActionKind::Query, "SELECT 4"}};
  EXPECT_EQ(options.actions, expected);
}

TEST(cliArguments, SQLThatLooksLikeAnOptionStaysSQL) {
  EXPECT_EQ(parse({"-- note\nSELECT 1"}).actions, (std::vector<Action>{{ActionKind::Script, "-- note\nSELECT 1"}}));
  EXPECT_EQ(parse({"--", "--format"}).actions, (std::vector<Action>{{ActionKind::Script, "--format"}}));
  // An option's value is taken as it is, even when it starts with dashes.
  EXPECT_EQ(parse({"--query", "--help"}).actions, (std::vector<Action>{{ActionKind::Query, "--help"}}));
}

TEST(cliArguments, HelpIsRecognised) {
  EXPECT_TRUE(parse({"--help"}).help);
  EXPECT_TRUE(parse({"-h"}).help);
  EXPECT_NE(helpText().find(usageText()), std::string::npos);
}

TEST(cliArguments, UsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},            // unknown option
      {"-x"},                 // unknown short option
      {"--format", "xml"},    // bad format
      {"--format"},           // missing value
      {"--debug", "loud"},    // not a number
      {"--debug", "-1"},      // not an unsigned level
      {"--debug", "2x"},      // trailing garbage
      {"--trim=yes"},         // a flag with a value
      {"select", "1"},        // unquoted SQL: two bare arguments
      {"SELECT 1", "--", "SELECT 2"},
      {"--listen", "jobs", "--wait", "-1"},     // a negative wait
      {"--listen", "jobs", "--wait", "soon"},   // not a number
      {"--listen", "jobs", "--wait", "nan"},    // not a number of seconds
      {"--listen", "jobs", "--wait", "inf"},    // no deadline can hold it
      {"--listen", "jobs", "--wait", "1s"},     // trailing garbage
      {"--listen", "jobs", "--count", "0"},     // would exit before listening
      {"--listen", "jobs", "--count", "-1"},
      {"--listen", "jobs", "--count", "1.5"},
      {"--wait", "1"},                          // nothing to wait for
      {"--count", "1", "SELECT 1"},
      {"--listen", ""},                         // no channel
      {"--notify", ""},
      {"--payload", "x"},                       // no --notify to belong to
      {"--notify", "a", "--payload", "x", "--payload", "y"},
      {"--notify", "a", "--execute", "SELECT 1", "--payload", "x"},
  };
  for (const auto& arguments : cases) {
    std::string shown;
    for (const auto& a : arguments) shown += "[" + a + "]";
    EXPECT_THROW(parse(arguments), UsageError) << shown;
  }
}

TEST(cliArguments, ListeningSettings) {
  Options options = parse({"--listen", "jobs", "--listen=other", "--listen", "jobs", "--wait", "2.5", "--count=3"});
  EXPECT_EQ(options.listen, (std::vector<std::string>{"jobs", "other"}));
  EXPECT_EQ(options.wait, 2.5);
  EXPECT_EQ(options.count, 3u);
  EXPECT_TRUE(options.actions.empty());

  Options plain = parse({"--listen", "jobs"});
  EXPECT_FALSE(plain.wait.has_value());
  EXPECT_FALSE(plain.count.has_value());
  EXPECT_EQ(parse({"--listen", "jobs", "--wait", "0"}).wait, 0.0);
  // A wait too long for any clock is cut to one that still fits.
  EXPECT_EQ(parse({"--listen", "jobs", "--wait", "1e300"}).wait, kLongestWait);
}

TEST(cliArguments, NotifyKeepsCommandLineOrderAndItsOwnPayload) {
  Options options = parse({"--notify", "a", "--payload", "first", "--execute", "SELECT 1", "--notify=b",
                           "--notify", "c", "--payload=", "--listen", "a"});
  std::vector<Action> expected = {{ActionKind::Notify, "a", "first"},
                                  {ActionKind::Execute, "SELECT 1"},
                                  {ActionKind::Notify, "b"},
                                  {ActionKind::Notify, "c", ""}};
  EXPECT_EQ(options.actions, expected);
  EXPECT_EQ(options.listen, (std::vector<std::string>{"a"}));
}

// ---- Statement splitting ------------------------------------------------

struct SplitCase {
  std::string text;
  std::vector<std::string> statements;
};

const std::vector<SplitCase>& splitCases() {
  static const std::vector<SplitCase> cases = {
      {"", {}},
      {"  \n ;; ; ", {}},
      {"SELECT 1", {"SELECT 1"}},
      {"SELECT 1;SELECT 2;", {"SELECT 1", "SELECT 2"}},
      {"  SELECT 1 ;\n\n  SELECT 2  ", {"SELECT 1", "SELECT 2"}},
      {"INSERT INTO t VALUES ('a;b'); SELECT 2", {"INSERT INTO t VALUES ('a;b')", "SELECT 2"}},
      {"SELECT 'it''s; here'; SELECT 2", {"SELECT 'it''s; here'", "SELECT 2"}},
      {"SELECT \"odd;name\" FROM t; SELECT 2", {"SELECT \"odd;name\" FROM t", "SELECT 2"}},
      {"SELECT `a;b` FROM t; SELECT 2", {"SELECT `a;b` FROM t", "SELECT 2"}},
      {"SELECT 1 -- a comment; still the comment\n; SELECT 2", {"SELECT 1 -- a comment; still the comment", "SELECT 2"}},
      {"SELECT /* ; */ 1; SELECT 2", {"SELECT /* ; */ 1", "SELECT 2"}},
      {"/* only a comment; */ ; -- and another\n", {}},
      {"SELECT 1; -- trailing comment", {"SELECT 1"}},
      {"SELECT 1 - 2; SELECT 6/3", {"SELECT 1 - 2", "SELECT 6/3"}},
      {"SELECT 'not closed; SELECT 2", {"SELECT 'not closed; SELECT 2"}},
      {"SELECT $$a;b$$; SELECT $tag$ $$; $tag$; SELECT 3",
       {"SELECT $$a;b$$", "SELECT $tag$ $$; $tag$", "SELECT 3"}},
      {"SELECT $1; SELECT a$b$c FROM t; SELECT 3", {"SELECT $1", "SELECT a$b$c FROM t", "SELECT 3"}},
      {"SELECT E'a\\';b'; SELECT 'c:\\'; SELECT 3", {"SELECT E'a\\';b'", "SELECT 'c:\\'", "SELECT 3"}},
      {"CREATE TRIGGER tr AFTER INSERT ON t BEGIN INSERT INTO u VALUES (1); "
       "UPDATE u SET a = CASE WHEN a > 1 THEN 0 END; END; SELECT 2",
       {"CREATE TRIGGER tr AFTER INSERT ON t BEGIN INSERT INTO u VALUES (1); "
        "UPDATE u SET a = CASE WHEN a > 1 THEN 0 END; END",
        "SELECT 2"}},
      {"create temp trigger tr after delete on t begin delete from u; end ; select 2",
       {"create temp trigger tr after delete on t begin delete from u; end", "select 2"}},
      // Without BEGIN (PostgreSQL's form) a trigger ends at its first ';'.
      {"CREATE TRIGGER tr BEFORE INSERT ON t FOR EACH ROW EXECUTE FUNCTION f(); SELECT 2",
       {"CREATE TRIGGER tr BEFORE INSERT ON t FOR EACH ROW EXECUTE FUNCTION f()", "SELECT 2"}},
      {"BEGIN; SELECT 1; END;", {"BEGIN", "SELECT 1", "END"}},
      {"SELECT 'Zoë;日本'; SELECT 2", {"SELECT 'Zoë;日本'", "SELECT 2"}},
  };
  return cases;
}

TEST(cliStatements, SplitsAtSemicolonsOutsideQuotesAndComments) {
  for (const SplitCase& c : splitCases()) EXPECT_EQ(splitStatements(c.text), c.statements) << c.text;
}

TEST(cliStatements, PiecemealInputSplitsAsTheWhole) {
  // A prompt or a file read in chunks may break the text anywhere, even
  // between the two characters of "--", "/*", "*/" or a dollar tag.
  for (const SplitCase& c : splitCases()) {
    StatementScanner scanner;
    std::vector<std::string> statements;
    for (char ch : c.text) {
      scanner.feed(std::string_view(&ch, 1));
      while (auto s = scanner.next()) statements.push_back(*s);
    }
    scanner.finish();
    while (auto s = scanner.next()) statements.push_back(*s);
    EXPECT_EQ(statements, c.statements) << c.text;
  }
}

TEST(cliStatements, BackslashEscapesWhenTheBackendReadsThem) {
  EXPECT_EQ(splitStatements("SELECT 'a\\';b'; SELECT 2", true),
            (std::vector<std::string>{"SELECT 'a\\';b'", "SELECT 2"}));
  EXPECT_EQ(splitStatements("SELECT 'a\\';b'; SELECT 2", false),
            (std::vector<std::string>{"SELECT 'a\\'", "b'; SELECT 2"}));
}

TEST(cliStatements, PendingWhileAStatementIsOpen) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"", false},          {"SELECT 1;\n", false}, {"-- note\n", false}, {"SELECT 1\n", true},
      {"SELECT 'a;\n", true}, {"/* open\n", true},    {"SELECT 1; SELECT\n", true},
  };
  for (const auto& [text, pending] : cases) {
    StatementScanner scanner;
    scanner.feed(text);
    EXPECT_EQ(scanner.pending(), pending) << text;
  }
}

TEST(cliStatements, QueriesAreToldByTheirFirstWord) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"SELECT 1", true},
      {"  select 1", true},
      {"-- note\n/* more */ WITH x AS (SELECT 1) SELECT * FROM x", true},
      {"values (1)", true},
      {"Show tables", true},
      {"EXPLAIN SELECT 1", true},
      {"pragma table_info(t)", true},
      {"TABLE t", true},
      {"(SELECT 1) UNION (SELECT 2)", true},
      {"INSERT INTO t SELECT 1", false},
      {"UPDATE t SET a = 1", false},
      {"CREATE TABLE selected (a)", false},
      {"SELECTED", false},
      {"-- SELECT\nDELETE FROM t", false},
      {"", false},
  };
  for (const auto& [sql, query] : cases) EXPECT_EQ(isQueryStatement(sql), query) << sql;
}

// ---- Formatter pieces ---------------------------------------------------

Value record(std::vector<std::string> names, std::vector<Value> values) {
  Ref<Record> r = Record::make(values.data(), values.size(), makeRef<KeySet>(std::move(names)));
  return Value(r);
}

Value dateAt(std::int64_t year, int month, int day, int hour, int minute, int second, double fraction,
             std::int32_t offset) {
  CivilTime civil{year, month, day, hour, minute, second, fraction};
  Ref<Date> date = Date::fromCivil(civil, TimeZone::fixed(offset));
  EXPECT_TRUE(date);
  return Value(date);
}

Value listOf(std::vector<Value> items) { return Value(makeRef<List>(std::move(items))); }

TEST(cliJson, NumberGrammar) {
  for (std::string_view good : {"0", "-0", "7", "12.50", "-3.25e-10", "1E+9", "4294967297", "0.5"})
    EXPECT_TRUE(isJSONNumber(good)) << good;
  for (std::string_view bad :
       {"", "-", "01", "+1", ".5", "5.", "1e", "1e+", "NaN", "Infinity", "0x1F", "1 ", " 1", "1.2.3", "--1"})
    EXPECT_FALSE(isJSONNumber(bad)) << bad;
}

TEST(cliJson, StringsAreEscaped) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "\"plain\""},
      {"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
      {"tab\tnl\ncr\r\x01\x1f", "\"tab\\u0009nl\\u000acr\\u000d\\u0001\\u001f\""},
      {"Zoë 日本 🎉", "\"Zoë 日本 🎉\""},
      {"bad\xff\xc3", "\"bad\\ufffd\\ufffd\""},
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},  // overlong '/'
      {"/", "\"/\""},
  };
  for (const auto& [text, json] : cases) {
    std::string out;
    appendJSONString(out, text);
    EXPECT_EQ(out, json) << text;
  }
}

TEST(cliJson, ValuesMapToJSON) {
  auto dictionary = makeRef<Dictionary>();
  dictionary->set("k", Value::int32(1));
  dictionary->set("n", Value::null());
  const std::vector<std::pair<Value, std::string>> cases = {
      {Value(), "null"},
      {Value::null(), "null"},
      {Value::boolean(true), "true"},
      {Value::boolean(false), "false"},
      {Value::int32(-7), "-7"},
      {Value::int64(4294967297), "4294967297"},
      {Value::float64(2.5), "2.5"},
      {Value::float64(1e100), "1e+100"},
      {Value::float32(0.1f), "0.1"},
      {Value::float64(std::nan("")), "null"},
      {Value::float64(std::numeric_limits<double>::infinity()), "null"},
      {Value::float64(-std::numeric_limits<double>::infinity()), "null"},
      {Value::text("a \"b\""), "\"a \\\"b\\\"\""},
      {Value::text("12"), "\"12\""},  // a text stays a text even when it reads as a number
      {Value::literal("12.50"), "12.50"},
      {Value::literal("-1e5"), "-1e5"},
      {Value::literal("NaN"), "\"NaN\""},
      {Value::literal("007"), "\"007\""},
      {Value::bytes("\x00\xab\xff", 3), "{\"$bytes\":\"00abff\"}"},
      {Value::bytes("", 0), "{\"$bytes\":\"\"}"},
      {dateAt(2024, 1, 2, 3, 4, 5, 0.123, 5 * 3600 + 30 * 60), "{\"$date\":\"2024-01-02T03:04:05.123+05:30\"}"},
      {dateAt(1999, 12, 31, 23, 59, 59, 0, -8 * 3600), "{\"$date\":\"1999-12-31T23:59:59.000-08:00\"}"},
      {listOf({Value::int32(1), listOf({Value::text("x"), Value::null()}), listOf({})}), "[1,[\"x\",null],[]]"},
      {Value(dictionary), "{\"k\":1,\"n\":null}"},
      {record({"a", "b"}, {Value::int32(1), Value()}), "{\"a\":1,\"b\":null}"},
  };
  for (const auto& [value, json] : cases) {
    std::string out;
    appendJSONValue(out, value);
    EXPECT_EQ(out, json) << value.description();
  }
}

TEST(cliCells, TextFormsForTableAndCsv) {
  const std::vector<std::pair<Value, std::string>> cases = {
      {Value(), ""},
      {Value::null(), ""},
      {Value::text("Zoë"), "Zoë"},
      {Value::literal("12.50"), "12.50"},
      {Value::int64(-42), "-42"},
      {Value::boolean(true), "true"},
      {Value::float64(std::nan("")), "NaN"},
      {Value::bytes("\x00\xab\xff", 3), "\\x00abff"},
      {dateAt(2024, 1, 2, 3, 4, 5, 0.123, 5 * 3600 + 30 * 60), "2024-01-02 03:04:05.123+05:30"},
      {dateAt(2024, 6, 1, 0, 0, 0, 0, 0), "2024-06-01 00:00:00.000+00:00"},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(cellText(value), text) << value.description();
}

TEST(cliCells, DisplayWidthCountsCodePoints) {
  EXPECT_EQ(displayWidth(""), 0u);
  EXPECT_EQ(displayWidth("abc"), 3u);
  EXPECT_EQ(displayWidth("Zoë"), 3u);
  EXPECT_EQ(displayWidth("日本語"), 3u);
  EXPECT_EQ(displayWidth("🎉!"), 2u);
  EXPECT_EQ(displayWidth("a\xff\xfe"), 3u);
}

TEST(cliCsv, FieldsAreQuotedWhenNeeded) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "plain"},        {"", ""},
      {"a,b", "\"a,b\""},        {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"l1\nl2", "\"l1\nl2\""},  {"cr\r", "\"cr\r\""},
      {" spaced ", " spaced "},  {"Zoë", "Zoë"},
  };
  for (const auto& [text, field] : cases) EXPECT_EQ(csvField(text), field) << text;
}

std::string render(OutputFormat format, const std::vector<Value>& rows) {
  auto formatter = makeFormatter(format);
  std::ostringstream out;
  auto list = makeRef<List>(rows);
  formatter->writeRecords(*list, out);
  return out.str();
}

TEST(cliTable, MultiLineValuesAndEmptyResults) {
  EXPECT_EQ(render(OutputFormat::Table, {record({"note", "n"}, {Value::text("one\ntwo"), Value::int32(5)}),
                                         record({"note", "n"}, {Value(), Value::int32(10)})}),
            " note | n\n"
            "------+----\n"
            " one +|  5\n"
            " two  |\n"
            "      | 10\n"
            "(2 rows)\n");
  EXPECT_EQ(render(OutputFormat::Table, {}), "(0 rows)\n");
  EXPECT_EQ(render(OutputFormat::Csv, {}), "");
  EXPECT_EQ(render(OutputFormat::Json, {}), "");
}

TEST(cliTable, RecordsWithUnnamedSlots) {
  Value values[3] = {Value::int32(1), Value::int32(2), Value::int32(3)};
  Value wide(Record::make(values, 3, makeRef<KeySet>(std::vector<std::string>{"a"})));
  EXPECT_EQ(render(OutputFormat::Json, {wide}), "{\"a\":1,\"?column?\":2,\"?column?\":3}\n");
  EXPECT_EQ(render(OutputFormat::Csv, {wide}), "a,?column?,?column?\r\n1,2,3\r\n");
}

TEST(cliCounts, EachFormatReportsStatements) {
  struct Case {
    OutputFormat format;
    std::int64_t count;
    std::string text;
  };
  const std::vector<Case> cases = {
      {OutputFormat::Table, -1, "OK\n"},
      {OutputFormat::Table, 0, "OK, 0 rows affected\n"},
      {OutputFormat::Table, 1, "OK, 1 row affected\n"},
      {OutputFormat::Table, 3, "OK, 3 rows affected\n"},
      {OutputFormat::Json, -1, "{\"count\":null}\n"},
      {OutputFormat::Json, 3, "{\"count\":3}\n"},
      {OutputFormat::Csv, 3, ""},
  };
  for (const Case& c : cases) {
    std::ostringstream out;
    makeFormatter(c.format)->writeCount(c.count, out);
    EXPECT_EQ(out.str(), c.text) << c.count;
  }
}

TEST(cliTable, ResultsAreSeparatedByABlankLine) {
  auto formatter = makeFormatter(OutputFormat::Table);
  std::ostringstream out;
  auto rows = makeRef<List>(std::vector<Value>{record({"a"}, {Value::int32(1)})});
  formatter->writeCount(-1, out);
  formatter->writeRecords(*rows, out);
  formatter->writeRecords(*rows, out);
  formatter->writeCount(-1, out);
  formatter->writeCount(-1, out);
  EXPECT_EQ(out.str(), "OK\n\n a\n---\n 1\n(1 row)\n\n a\n---\n 1\n(1 row)\n\nOK\nOK\n");
}

TEST(cliPrompt, MetaCommands) {
  EXPECT_EQ(parseMetaCommand("\\q").kind, MetaCommand::Kind::Quit);
  EXPECT_EQ(parseMetaCommand("  \\quit  ").kind, MetaCommand::Kind::Quit);
  EXPECT_EQ(parseMetaCommand("\\?").kind, MetaCommand::Kind::Help);
  MetaCommand format = parseMetaCommand("\\format  csv ");
  EXPECT_EQ(format.kind, MetaCommand::Kind::Format);
  EXPECT_EQ(format.argument, "csv");
  MetaCommand unknown = parseMetaCommand("\\dt");
  EXPECT_EQ(unknown.kind, MetaCommand::Kind::Unknown);
  EXPECT_EQ(unknown.argument, "\\dt");
}

// ---- Notifications in each format ---------------------------------------

Ref<Notification> notification(const std::string& name, std::optional<std::string> payload, bool local,
                               bool async) {
  auto info = makeRef<Dictionary>();
  if (payload) info->set("Payload", Value::text(*payload));
  info->set("Local", Value::boolean(local));
  info->set("Async", Value::boolean(async));
  return Notification::make(name, nullptr, info);
}

TEST(cliNotifications, TheBackendsUserInformationIsRead) {
  EXPECT_EQ(receivedNotification(*notification("jobs", "done", true, false)),
            (ReceivedNotification{"jobs", "done", true, false}));
  EXPECT_EQ(receivedNotification(*notification("jobs", "", false, true)),
            (ReceivedNotification{"jobs", "", false, true}));
  // No user information at all, or keys left out: no payload, both false.
  EXPECT_EQ(receivedNotification(*Notification::make("bare", nullptr)), (ReceivedNotification{"bare", std::nullopt}));
  EXPECT_EQ(receivedNotification(*notification("jobs", std::nullopt, false, true)),
            (ReceivedNotification{"jobs", std::nullopt, false, true}));
}

TEST(cliNotifications, EachFormatWritesALinePerNotification) {
  const std::vector<ReceivedNotification> received = {
      {"jobs", "done", false, true},
      {"jobs", "", true, false},
      {"odd,name", "say \"hi\", then\nbye", false, false},
      {"jobs", std::nullopt, true, true},
  };
  struct Case {
    OutputFormat format;
    std::string text;
  };
  const std::vector<Case> cases = {
      {OutputFormat::Table,
       "jobs: done (async)\n"
       "jobs (local)\n"
       "odd,name: say \"hi\", then\nbye\n"
       "jobs (local, async)\n"},
      {OutputFormat::Csv,
       "name,payload,local,async\r\n"
       "jobs,done,false,true\r\n"
       "jobs,\"\",true,false\r\n"
       "\"odd,name\",\"say \"\"hi\"\", then\nbye\",false,false\r\n"
       "jobs,,true,true\r\n"},
      {OutputFormat::Json,
       "{\"name\":\"jobs\",\"payload\":\"done\",\"local\":false,\"async\":true}\n"
       "{\"name\":\"jobs\",\"payload\":\"\",\"local\":true,\"async\":false}\n"
       "{\"name\":\"odd,name\",\"payload\":\"say \\\"hi\\\", then\\u000abye\",\"local\":false,\"async\":false}\n"
       "{\"name\":\"jobs\",\"payload\":null,\"local\":true,\"async\":true}\n"},
  };
  for (const Case& c : cases) {
    auto formatter = makeFormatter(c.format);
    std::ostringstream out;
    for (const ReceivedNotification& n : received) formatter->writeNotification(n, out);
    EXPECT_EQ(out.str(), c.text);
  }
}

TEST(cliNotifications, TableSetsThemApartFromAResultBefore) {
  auto formatter = makeFormatter(OutputFormat::Table);
  std::ostringstream out;
  auto rows = makeRef<List>(std::vector<Value>{record({"a"}, {Value::int32(1)})});
  formatter->writeRecords(*rows, out);
  formatter->writeNotification({"jobs", "x", false, true}, out);
  formatter->writeNotification({"jobs", "y", false, true}, out);
  formatter->writeRecords(*rows, out);
  EXPECT_EQ(out.str(), " a\n---\n 1\n(1 row)\n\njobs: x (async)\njobs: y (async)\n\n a\n---\n 1\n(1 row)\n");
}

// ---- The program, end to end --------------------------------------------

// Runs korvel in `dir` with the arguments; `environment` is put before it.
CommandResult korvel(const TempDir& dir, const std::vector<std::string>& arguments, const std::string& input = "",
                     const std::string& environment = "") {
  std::string command = "cd " + shellQuote(dir.path().string()) + " && env -u KORVEL_PASSWORD " + environment + " " +
                        shellQuote(KORVEL_CLI_PATH);
  for (const std::string& argument : arguments) command += " " + shellQuote(argument);
  return korvel::test::run(command, input);
}

std::string writeFile(const TempDir& dir, const std::string& name, const std::string& text) {
  std::string path = dir.file(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

TEST(cliProgram, DoneWhenLine) {
  TempDir dir;
  CommandResult r = korvel(dir, {"--format", "json", "select 4294967297 as big, x'00abff' as b"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"big\":4294967297,\"b\":{\"$bytes\":\"00abff\"}}\n");
  EXPECT_EQ(r.err, "");
}

TEST(cliProgram, JsonOfSQLiteValues) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"select 1 as a", "{\"a\":1}\n"},
      {"select -9223372036854775808 as m", "{\"m\":-9223372036854775808}\n"},
      {"select 2.5 as d, 1e300 * 1e300 as inf", "{\"d\":2.5,\"inf\":null}\n"},
      {"select null as n, '' as e, x'' as z", "{\"n\":null,\"e\":\"\",\"z\":{\"$bytes\":\"\"}}\n"},
      {"select 'Zoë \"q\" \\ ' || char(10) || char(1) as t", "{\"t\":\"Zoë \\\"q\\\" \\\\ \\u000a\\u0001\"}\n"},
      {"select '12' as digits", "{\"digits\":\"12\"}\n"},
      {"values (1, 'a'), (2, 'b')", "{\"column1\":1,\"column2\":\"a\"}\n{\"column1\":2,\"column2\":\"b\"}\n"},
      {"select 1 as x where 0", ""},
      {"create table t (a); insert into t values (1), (2); select sum(a) as s from t",
       "{\"count\":null}\n{\"count\":null}\n{\"s\":3}\n"},
  };
  for (const auto& [sql, expected] : cases) {
    CommandResult r = korvel(dir, {"--database", dir.file("json.db"), "--format", "json", sql});
    EXPECT_EQ(r.status, 0) << sql << "\n" << r.err;
    EXPECT_EQ(r.out, expected) << sql;
  }
}

TEST(cliProgram, CsvQuoting) {
  TempDir dir;
  CommandResult r = korvel(dir, {"--format", "csv",
                                 "select 'plain' as \"a\", 'x,y' as \"b,c\", 'say \"hi\"' as q, "
                                 "'l1' || char(10) || 'l2' as lf, 'cr' || char(13) as cr, null as n, '' as e, "
                                 "x'00ff' as bin, 3 as num"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "a,\"b,c\",q,lf,cr,n,e,bin,num\r\n"
            "plain,\"x,y\",\"say \"\"hi\"\"\",\"l1\nl2\",\"cr\r\",,\"\",\\x00ff,3\r\n");
}

TEST(cliProgram, TableAlignsMultiByteText) {
  TempDir dir;
  CommandResult r = korvel(dir, {"select 1 as id, 'Zoë' as name, 'x' as note "
                                 "union all select 22, 'Ann', '日本語テキスト' "
                                 "union all select 333, null, x'00abff' order by id"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            " id  | name |   note\n"
            "-----+------+----------\n"
            "   1 | Zoë  | x\n"
            "  22 | Ann  | 日本語テキスト\n"
            " 333 |      | \\x00abff\n"
            "(3 rows)\n");
}

TEST(cliProgram, ExecuteAndQueryRunInCommandLineOrder) {
  TempDir dir;
  std::string db = dir.file("order.db");
  CommandResult r = korvel(dir, {"--database", db, "--execute", "create table t (a integer)", "--query",
                                 "select count(*) as n from t", "--execute", "insert into t values (7)",
                                 "--query", "select count(*) as n from t"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "OK\n\n n\n---\n 0\n(1 row)\n\nOK\n\n n\n---\n 1\n(1 row)\n");

  r = korvel(dir, {"--database", db, "--format", "json", "--execute", "update t set a = a + 1", "--query",
                   "select a from t"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"count\":null}\n{\"a\":8}\n");
}

TEST(cliProgram, QueryAndExecuteAreNotReclassified) {
  TempDir dir;
  // --query runs through query whatever the first word: an INSERT ... RETURNING gives rows.
  CommandResult r = korvel(dir, {"--format", "json", "--execute", "create table t (a)", "--query",
                                 "insert into t values (5) returning a"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"count\":null}\n{\"a\":5}\n");
}

TEST(cliProgram, FileWithSemicolonsInStringsAndComments) {
  TempDir dir;
  std::string file = writeFile(dir, "script.sql",
                               "-- set up; nothing to run here\n"
                               "CREATE TABLE notes (id INTEGER, body TEXT);\n"
                               "/* a; block; comment */\n"
                               "INSERT INTO notes VALUES (1, 'first; with a semicolon');\n"
                               "INSERT INTO notes VALUES (2, 'it''s -- not a comment');\n"
                               "CREATE TRIGGER stamp AFTER INSERT ON notes BEGIN\n"
                               "  UPDATE notes SET body = body || '!' WHERE id = new.id;\n"
                               "END;\n"
                               "INSERT INTO notes VALUES (3, 'third');\n"
                               "SELECT id, body FROM notes ORDER BY id -- no final semicolon");
  CommandResult r = korvel(dir, {"--format", "json", "--database", dir.file("file.db"), "--file", file});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "{\"count\":null}\n{\"count\":null}\n{\"count\":null}\n{\"count\":null}\n{\"count\":null}\n"
            "{\"id\":1,\"body\":\"first; with a semicolon\"}\n"
            "{\"id\":2,\"body\":\"it's -- not a comment\"}\n"
            "{\"id\":3,\"body\":\"third!\"}\n");
}

TEST(cliProgram, StatementsFromStandardInput) {
  TempDir dir;
  const std::string input = "create table t (a text);\ninsert into t values ('x;y');\nselect a from t;\n";
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"--format", "csv"}, std::vector<std::string>{"--format", "csv", "--file", "-"}}) {
    std::filesystem::remove(dir.file("korvel-demo.db"));
    CommandResult r = korvel(dir, arguments, input);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a\r\nx;y\r\n");
  }
}

TEST(cliProgram, DemoDatabaseInTheCurrentDirectory) {
  TempDir dir;
  CommandResult r = korvel(dir, {"select 1"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, " 1\n---\n 1\n(1 row)\n");
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "korvel-demo.db"));

  // The same file the next time: what one run made, the next one sees.
  EXPECT_EQ(korvel(dir, {"create table kept (a)"}).status, 0);
  r = korvel(dir, {"--format", "csv", "select name from sqlite_master"});
  EXPECT_EQ(r.out, "name\r\nkept\r\n");
}

TEST(cliProgram, PasswordFromTheEnvironmentIsAccepted) {
  TempDir dir;
  CommandResult r = korvel(dir, {"--debug", "1", "--format", "json", "select 1 as a"}, "",
                           "KORVEL_PASSWORD=" + shellQuote("not in the process list"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "{\"a\":1}\n");
}

TEST(cliProgram, Errors) {
  TempDir dir;
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string errStart;  // what standard error begins with
    std::string errHas;    // and what it holds
  };
  const std::vector<Case> cases = {
      {{"selec 1"}, 1, "SQLException: ", "syntax error"},
      {{"--query", "select * from missing"}, 1, "SQLException: ", "select * from missing"},
      {{"--bogus"}, 2, "korvel: unknown option '--bogus'", "usage: korvel"},
      {{"--format", "xml", "select 1"}, 2, "korvel: ", "usage: korvel"},
      {{"select", "1"}, 2, "korvel: unexpected argument", "usage: korvel"},
      {{"--backend", "NoSuchBackend", "select 1"}, 1, "NSInvalidArgumentException: ", "NoSuchBackend.so"},
      {{"--file", dir.file("absent.sql")}, 1, "korvel: cannot open", "absent.sql"},
      // SQLite has no notifications.
      {{"--listen", "jobs"}, 1, "NSInternalInconsistencyException: ", "backendListen"},
      {{"--listen", "jobs", "--wait", "5", "--count", "1"}, 1, "NSInternalInconsistencyException: ", "backendListen"},
      {{"--notify", "jobs", "--payload", "x"}, 1, "NSInternalInconsistencyException: ", "backendNotify"},
  };
  for (const Case& c : cases) {
    CommandResult r = korvel(dir, c.arguments);
    EXPECT_EQ(r.status, c.status) << c.arguments[0] << "\n" << r.err;
    EXPECT_EQ(r.err.substr(0, c.errStart.size()), c.errStart) << r.err;
    EXPECT_NE(r.err.find(c.errHas), std::string::npos) << r.err;
  }
}

TEST(cliProgram, FirstErrorStopsTheRun) {
  TempDir dir;
  CommandResult r = korvel(dir, {"--format", "json", "create table t (a); insert into nowhere values (1); "
                                 "insert into t values (1)"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "{\"count\":null}\n");
  EXPECT_NE(r.err.find("no such table: nowhere"), std::string::npos) << r.err;
  EXPECT_EQ(korvel(dir, {"--format", "csv", "select count(*) as n from t"}).out, "n\r\n0\r\n");
}

TEST(cliProgram, HelpExitsZero) {
  TempDir dir;
  CommandResult r = korvel(dir, {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("usage: korvel [--backend NAME]", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("KORVEL_PASSWORD"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "korvel-demo.db"));
}

// The prompt needs a terminal on standard input; script(1) gives it one.
TEST(cliProgram, InteractivePromptOnATerminal) {
  if (korvel::test::run("command -v script").status != 0) GTEST_SKIP() << "script(1) is not installed";
  TempDir dir;
  std::string command = "cd " + shellQuote(dir.path().string()) + " && HOME=" + shellQuote(dir.path().string()) +
                        " TERM=dumb INPUTRC=/dev/null script -qec " + shellQuote(shellQuote(KORVEL_CLI_PATH)) +
                        " /dev/null";
  CommandResult r = korvel::test::run(command,
                                      "create table t (a);\n"
                                      "insert into t values ('x;\n"
                                      "y');\n"
                                      "selec;\n"
                                      "\\format json\n"
                                      "select a from t;\n"
                                      "\\q\n"
                                      "select 'after quit';\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("OK"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("SQLException: "), std::string::npos) << r.out;  // reported, and the prompt went on
  EXPECT_NE(r.out.find("{\"a\":\"x;\\u000ay\"}"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("after quit\""), std::string::npos) << r.out;

  std::stringstream history;
  history << std::ifstream(dir.file(".korvel_history")).rdbuf();
  EXPECT_NE(history.str().find("insert into t values ('x;\ny');"), std::string::npos) << history.str();
}

// ---- Notifications and passwords against PostgreSQL -----------------------

class cliPostgres : public ::testing::Test {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_PG_SERVER(server);
    pg_ = server;
  }

  // The client settings for the server, over TCP as name@host:port.
  std::vector<std::string> connection(const std::string& user) const {
    return {"--backend", "Postgres", "--database", pg_.tcpDatabase(pg_.database), "--user", user};
  }

  // Runs korvel with the connection settings (the trust user unless `user`
  // is given), then `arguments`. A hung client is killed after a minute
  // rather than hanging the test run.
  CommandResult korvelPg(std::vector<std::string> arguments, const std::string& environment = "",
                         std::optional<std::string> user = std::nullopt) const {
    return test::run(korvelPgCommand(arguments, environment, user));
  }
  std::string korvelPgCommand(const std::vector<std::string>& arguments, const std::string& environment = "",
                              std::optional<std::string> user = std::nullopt) const {
    std::vector<std::string> all = connection(user.value_or(pg_.userTrust));
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::string command = "cd " + shellQuote(dir_.path().string()) + " && env -u KORVEL_PASSWORD " + environment +
                          " timeout 60 " + shellQuote(KORVEL_CLI_PATH);
    for (const std::string& argument : all) command += " " + shellQuote(argument);
    return command;
  }

  // Starts korvel in the background; get() gives its result once it ended.
  std::future<CommandResult> startKorvelPg(std::vector<std::string> arguments) const {
    return std::async(std::launch::async, [this, arguments] { return korvelPg(arguments); });
  }

  // Runs SQL in psql as the trust user; gives its unaligned output.
  CommandResult psql(const std::string& sql) const { return test::run(psqlCommand({sql}, true)); }
  // Runs each text as a -c command of its own (each its own transaction).
  CommandResult psqlCommands(const std::vector<std::string>& commands, bool stopOnError) const {
    return test::run(psqlCommand(commands, stopOnError));
  }
  std::string psqlCommand(const std::vector<std::string>& commands, bool stopOnError) const {
    std::string line = shellQuote(pg_.psqlPath()) + " -X -q -A -t -h " + shellQuote(pg_.host) + " -p " +
                       shellQuote(pg_.port) + " -U " + shellQuote(pg_.userTrust) + " -d " + shellQuote(pg_.database);
    if (stopOnError) line += " -v ON_ERROR_STOP=1";
    for (const std::string& command : commands) line += " -c " + shellQuote(command);
    return line;
  }

  // Polls until `sql` gives a row; gives its first line, or nothing when no
  // row came within 30 seconds.
  std::optional<std::string> firstRowWithin30s(const std::string& sql, const std::future<CommandResult>* client) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < giveUp) {
      if (client && client->wait_for(std::chrono::seconds(0)) == std::future_status::ready) return std::nullopt;
      CommandResult r = psql(sql);
      if (r.status != 0) {
        ADD_FAILURE() << "psql failed: " << r.err;
        return std::nullopt;
      }
      if (!r.out.empty()) return r.out.substr(0, r.out.find('\n'));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return std::nullopt;
  }

  // The process ID of the session named `clientName` once it idles after
  // `LISTEN lastChannel` (its last statement before waiting), other than
  // `notPid`; nothing when that did not happen within 30 seconds or the
  // client ended first.
  std::optional<std::string> waitUntilListening(const std::string& clientName, const std::string& lastChannel,
                                                std::future<CommandResult>& client, const std::string& notPid = "") {
    const std::string sql = fmt::format(
        "SELECT pid FROM pg_stat_activity WHERE application_name = '{}' AND state = 'idle' "
        "AND query = 'LISTEN {}' AND pid::text <> '{}'",
        clientName, lastChannel, notPid);
    return firstRowWithin30s(sql, &client);
  }

  void expectListening(const std::string& clientName, const std::string& lastChannel,
                       std::future<CommandResult>& client) {
    if (!waitUntilListening(clientName, lastChannel, client)) {
      CommandResult r = client.get();
      FAIL() << "korvel never listened (status " << r.status << "): " << r.err;
    }
  }

  void notifyFromPsql(const std::string& sql) {
    CommandResult r = psql(sql);
    ASSERT_EQ(r.status, 0) << r.err;
  }

  test::PgServer pg_;
  TempDir dir_;
};

std::string jsonLine(const std::string& name, const std::string& payload, bool local, bool async) {
  return fmt::format("{{\"name\":\"{}\",\"payload\":\"{}\",\"local\":{},\"async\":{}}}\n", name, payload, local,
                     async);
}

// The issue's own check: no --wait, so only --count ends the run.
TEST_F(cliPostgres, ListenPrintsANotificationSentFromPsql) {
  const std::string channel = uniqueName("jobs"), clientName = uniqueName("listener");
  auto listener = startKorvelPg({"--client-name", clientName, "--format", "json", "--listen", channel, "--count", "1"});
  ASSERT_NO_FATAL_FAILURE(expectListening(clientName, channel, listener));
  notifyFromPsql(fmt::format("NOTIFY {}, 'done: \"42\"'", channel));
  CommandResult r = listener.get();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, jsonLine(channel, "done: \\\"42\\\"", false, true));
  EXPECT_EQ(r.err, "");
}

// Two channels, one transaction: both notifications come in one drain, in
// the order sent, and each format prints them as documented.
TEST_F(cliPostgres, TwoChannelsInEachFormat) {
  struct Case {
    std::string format;
    std::string expected;  // with A and B for the channel names
  };
  const std::vector<Case> cases = {
      {"table", "A: one (async)\nB (async)\n"},
      {"csv", "name,payload,local,async\r\nA,one,false,true\r\nB,\"\",false,true\r\n"},
      {"json", "{\"name\":\"A\",\"payload\":\"one\",\"local\":false,\"async\":true}\n"
               "{\"name\":\"B\",\"payload\":\"\",\"local\":false,\"async\":true}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const std::string a = uniqueName("a"), b = uniqueName("b"), clientName = uniqueName("listener");
    auto listener = startKorvelPg({"--client-name", clientName, "--format", c.format, "--listen", a, "--listen", b,
                                   "--count", "2", "--wait", "30"});
    ASSERT_NO_FATAL_FAILURE(expectListening(clientName, b, listener));
    notifyFromPsql(fmt::format("BEGIN; NOTIFY {}, 'one'; NOTIFY {}; COMMIT", a, b));
    CommandResult r = listener.get();
    EXPECT_EQ(r.status, 0) << r.err;
    std::string expected = c.expected;
    for (auto [from, to] : {std::pair{'A', a}, std::pair{'B', b}})
      for (std::size_t at; (at = expected.find(from)) != std::string::npos;) expected.replace(at, 1, to);
    EXPECT_EQ(r.out, expected);
  }
}

// Each notification reaches a pipe as it arrives: the reader sends the
// second notification only once it has read the first line, so output held
// back in a buffer would leave both waiting until the time-out kills korvel.
TEST_F(cliPostgres, EachNotificationIsFlushedIntoAPipe) {
  const std::string channel = uniqueName("jobs"), clientName = uniqueName("listener");
  const std::string command =
      korvelPgCommand({"--client-name", clientName, "--listen", channel, "--count", "2", "--wait", "20"}) +
      " | { IFS= read -r first; printf '%s\\n' \"$first\"; " +
      psqlCommand({fmt::format("NOTIFY {}, 'second'", channel)}, true) + "; cat; }";
  auto listener = std::async(std::launch::async, [&] { return test::run(command); });
  ASSERT_NO_FATAL_FAILURE(expectListening(clientName, channel, listener));
  notifyFromPsql(fmt::format("NOTIFY {}, 'first'", channel));
  CommandResult r = listener.get();
  EXPECT_EQ(r.out, fmt::format("{0}: first (async)\n{0}: second (async)\n", channel)) << r.err;
}

// Only --count notifications print, though more arrive in the same drain.
TEST_F(cliPostgres, CountStopsAtItsNumber) {
  const std::string channel = uniqueName("jobs"), clientName = uniqueName("listener");
  auto listener = startKorvelPg({"--client-name", clientName, "--listen", channel, "--count", "2", "--wait", "30"});
  ASSERT_NO_FATAL_FAILURE(expectListening(clientName, channel, listener));
  notifyFromPsql(fmt::format("BEGIN; NOTIFY {0}, '1'; NOTIFY {0}, '2'; NOTIFY {0}, '3'; COMMIT", channel));
  CommandResult r = listener.get();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, fmt::format("{0}: 1 (async)\n{0}: 2 (async)\n", channel));
}

TEST_F(cliPostgres, WaitRunsOut) {
  struct Case {
    std::vector<std::string> limits;
    int status;
  };
  // Without --count the wait is the whole point: its end is success. With
  // one, fewer notifications than asked for is a status of its own.
  const std::vector<Case> cases = {{{"--wait", "0.5"}, 0}, {{"--wait", "0.5", "--count", "1"}, 3}};
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"--listen", uniqueName("quiet")};
    arguments.insert(arguments.end(), c.limits.begin(), c.limits.end());
    const auto start = std::chrono::steady_clock::now();
    CommandResult r = korvelPg(arguments);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_GE(seconds, 0.5);
    EXPECT_LT(seconds, 10.0);
  }
}

// --notify from one korvel, heard by another: with a payload and without
// one, in command-line order. (An empty payload is the same as none on the
// wire, and the backend drops repeats within one drain, so every one differs.)
TEST_F(cliPostgres, NotifyReachesAnotherListener) {
  const std::string channel = uniqueName("jobs"), clientName = uniqueName("listener");
  auto listener = startKorvelPg(
      {"--client-name", clientName, "--format", "json", "--listen", channel, "--count", "3", "--wait", "30"});
  ASSERT_NO_FATAL_FAILURE(expectListening(clientName, channel, listener));
  CommandResult sender = korvelPg({"--notify", channel, "--payload", "it's Zoë; \"done\"", "--notify", channel,
                                   "--notify", channel, "--payload", "last"});
  EXPECT_EQ(sender.status, 0) << sender.err;
  EXPECT_EQ(sender.out, "");
  CommandResult r = listener.get();
  EXPECT_EQ(r.status, 0) << r.err;
  // The server gives "no payload" as an empty one.
  EXPECT_EQ(r.out, jsonLine(channel, "it's Zoë; \\\"done\\\"", false, true) + jsonLine(channel, "", false, true) +
                       jsonLine(channel, "last", false, true));
}

TEST_F(cliPostgres, NotifyIsReceivedByPsql) {
  // psql shows a notification after the statement during which it came: it
  // listens, then sleeps until korvel has notified and the sleep is cancelled.
  const std::string channel = uniqueName("jobs"), sleep = "SELECT pg_sleep(30) AS " + uniqueName("sleeper");
  auto receiver = std::async(std::launch::async, [&] {
    return psqlCommands({"LISTEN " + channel, sleep, "SELECT 1"}, false);
  });
  std::optional<std::string> sleeper = firstRowWithin30s(
      "SELECT pid FROM pg_stat_activity WHERE state = 'active' AND query = '" + sleep + "'", &receiver);
  ASSERT_TRUE(sleeper) << receiver.get().err;
  CommandResult sent = korvelPg({"--notify", channel, "--payload", "from korvel"});
  EXPECT_EQ(sent.status, 0) << sent.err;
  notifyFromPsql("SELECT pg_cancel_backend(" + *sleeper + ")");
  CommandResult r = receiver.get();
  EXPECT_NE(r.out.find(fmt::format("Asynchronous notification \"{}\" with payload \"from korvel\"", channel)),
            std::string::npos)
      << r.out << r.err;
}

// Listening comes before the actions, so korvel hears its own --notify; it
// comes with the NOTIFY's reply (not async) from its own connection (local).
TEST_F(cliPostgres, ListenHearsItsOwnNotify) {
  const std::string channel = uniqueName("self");
  CommandResult r = korvelPg({"--format", "json", "--listen", channel, "--notify", channel, "--payload", "me",
                              "--count", "1", "--wait", "30"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, jsonLine(channel, "me", true, false));
}

// The server ends the listener's session: korvel connects again, listens
// again, says so, and prints what comes after.
TEST_F(cliPostgres, ListeningGoesOnAfterTheConnectionIsLost) {
  const std::string channel = uniqueName("jobs"), clientName = uniqueName("listener");
  auto listener =
      startKorvelPg({"--client-name", clientName, "--listen", channel, "--count", "1", "--wait", "30"});
  std::optional<std::string> pid = waitUntilListening(clientName, channel, listener);
  ASSERT_TRUE(pid) << listener.get().err;
  notifyFromPsql("SELECT pg_terminate_backend(" + *pid + ")");
  ASSERT_TRUE(waitUntilListening(clientName, channel, listener, *pid)) << listener.get().err;
  notifyFromPsql(fmt::format("NOTIFY {}, 'after'", channel));
  CommandResult r = listener.get();
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, channel + ": after (async)\n");
  EXPECT_NE(r.err.find("korvel: reconnected; listening again for " + channel + "\n"), std::string::npos) << r.err;
}

// KORVEL_PASSWORD really is the password: the right one connects, a wrong
// one is refused, and --password wins over it.
TEST_F(cliPostgres, PasswordFromTheEnvironment) {
  struct Case {
    std::string environment;
    std::vector<std::string> extra;
    int status;
  };
  const std::string right = "KORVEL_PASSWORD=" + shellQuote(pg_.password);
  const std::string wrong = "KORVEL_PASSWORD=" + shellQuote(pg_.password + "x");
  const std::vector<Case> cases = {
      {right, {}, 0},
      {wrong, {}, 1},
      {"", {}, 1},
      {wrong, {"--password", pg_.password}, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.extra;
    arguments.insert(arguments.end(), {"--format", "json", "--query", "SELECT current_user AS u"});
    CommandResult r = korvelPg(arguments, c.environment, pg_.userPw);
    EXPECT_EQ(r.status, c.status) << c.environment << "\n" << r.err;
    if (c.status == 0)
      EXPECT_EQ(r.out, "{\"u\":\"" + pg_.userPw + "\"}\n");
    else
      EXPECT_NE(r.err.find("password"), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace korvel::cli
