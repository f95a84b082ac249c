// Queries of the PostgreSQL backend against a real server: every field type
// decoded from what the server writes, the per-column cache of decoded
// values, record types with and without shared keys, query errors and a
// connection lost mid-query, notifications drained after a query, arrays as
// the server writes them, and the round trips of byte buffers, timestamps
// and array literals through the server. Also the CLI's JSON form of the
// values a PostgreSQL query gives.
//
// The server comes from the KORVEL_PG_* settings (scripts/pg-server).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "korvel/date.h"
#include "korvel/korvel.h"
#include "korvel/notification.h"
#include "korvel/runloop.h"
#include "pg_values.h"
#include "support/test_support.h"

namespace korvel {

// Failure messages show a value's kind with its text form: a literal text
// and a text of the same digits differ.
void PrintTo(const Value& value, std::ostream* os) { *os << kindName(value.kind()) << " " << value.description(); }

namespace {

using test::env;
using test::pumpUntil;
using test::uniqueName;
using test::shellQuote;
using Clock = std::chrono::steady_clock;

// ---- The server and its clients ------------------------------------------------

using Server = test::PgServer;

class PostgresQuery : public ::testing::Test {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_PG_SERVER(srv);
    srv_ = srv;
    client_ = passwordClient();
  }

  // A client of the password user, the kind applications use.
  std::unique_ptr<Korvel> passwordClient(bool trim = false, const std::string& app = uniqueName("korvel_query")) const {
    return Korvel::create({.backend = "Postgres",
                           .database = srv_->tcpDatabase(srv_->database),
                           .user = srv_->userPw,
                           .password = srv_->password,
                           .clientName = app,
                           .trim = trim});
  }
  // A superuser client, for ending other sessions.
  std::unique_ptr<Korvel> trustClient() const {
    return Korvel::create({.backend = "Postgres",
                           .database = srv_->tcpDatabase(srv_->database),
                           .user = srv_->userTrust,
                           .clientName = uniqueName("korvel_query_admin")});
  }

  Ref<List> query(const std::string& sql) { return client_->query(sql); }
  // The one row of a query.
  Ref<Record> only(const std::string& sql) {
    Ref<List> rows = query(sql);
    EXPECT_EQ(rows->size(), 1u) << sql;
    if (rows->empty()) return {};
    return Ref<Record>::share(const_cast<Record*>((*rows)[0].asRecord()));
  }
  void setTimeZone(const std::string& zone) { client_->execute("SET TimeZone = ", client_->quote(Value::text(zone))); }

  std::optional<Server> srv_;
  std::unique_ptr<Korvel> client_;
};

const Record& recordAt(const Ref<List>& rows, std::size_t i) { return *(*rows)[i].asRecord(); }

// ---- Expected values ----------------------------------------------------------------

Value txt(std::string_view text) { return Value::text(text); }
Value lit(std::string_view digits) { return Value::literal(digits); }
Value bytes(std::string_view data) { return Value::bytes(data); }
Value null() { return Value::null(); }
Value list(std::initializer_list<Value> items) { return Value(makeRef<List>(std::vector<Value>(items))); }

Value utc(const char* text) { return Value(Date::parse(text, "%Y-%m-%d %H:%M:%S %z")); }
// A wall-clock time in the process's local zone, as a timestamp without
// zone stands for.
Value local(std::int64_t year, int month, int day, int hour, int minute, int second, double fraction = 0) {
  return Value(Date::fromCivil({year, month, day, hour, minute, second, fraction}, TimeZone::local()));
}

std::string everyByte() {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  return all;
}

std::string hexOf(std::string_view data) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : data) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

// "SELECT e0 AS c0, e1 AS c1, ..." over the expressions.
template <class Cases, class Expression>
std::string selectEach(const Cases& cases, Expression expression) {
  std::string sql = "SELECT ";
  std::size_t i = 0;
  for (const auto& c : cases) {
    if (i) sql += ", ";
    sql += expression(c) + " AS c" + std::to_string(i++);
  }
  return sql;
}

// ---- Field decoding ---------------------------------------------------------------------

struct FieldCase {
  std::string expression;
  std::uint32_t oid;  // the type the expression has, checked on the server
  Value expected;
};

// One of each type that decodes to something other than a plain text, the
// texts around them, and NULLs of several types.
std::vector<FieldCase> fieldCases() {
  return {
      {"true", 16, txt("YES")},
      {"false", 16, txt("NO")},
      {"'\\x00ff27'::bytea", 17, bytes(std::string("\x00\xff'", 3))},
      {"''::bytea", 17, bytes("")},
      {"'q'::\"char\"", 18, txt("q")},
      {"' '::\"char\"", 18, txt(" ")},
      {"9223372036854775807::int8", 20, lit("9223372036854775807")},
      {"(-32768)::int2", 21, lit("-32768")},
      {"42::int4", 23, lit("42")},
      {"'1.5'::float4", 700, lit("1.5")},
      {"'-1e-300'::float8", 701, lit("-1e-300")},
      {"'NaN'::float8", 701, lit("NaN")},
      {"'-Infinity'::float8", 701, lit("-Infinity")},
      {"'2024-02-29'::date", 1082, txt("2024-02-29")},
      {"'13:45:07.25'::time", 1083, txt("13:45:07.25")},
      {"'2024-02-29 13:45:07.5'::timestamp", 1114, local(2024, 2, 29, 13, 45, 7, 0.5)},
      {"'2024-02-29 13:45:07+02'::timestamptz", 1184, utc("2024-02-29 11:45:07 +0000")},
      {"ARRAY[true, false, NULL]", 1000, list({txt("YES"), txt("NO"), null()})},
      {"ARRAY['\\x00'::bytea, '\\x4142'::bytea]", 1001, list({bytes(std::string(1, '\0')), bytes("AB")})},
      {"'{q,r}'::\"char\"[]", 1002, list({txt("q"), txt("r")})},
      {"ARRAY[1, -2]::int2[]", 1005, list({lit("1"), lit("-2")})},
      {"ARRAY[3, 4]", 1007, list({lit("3"), lit("4")})},
      {"'{a,\"b c\"}'::text[]", 1009, list({txt("a"), txt("b c")})},
      {"ARRAY['ab'::char(3)]", 1014, list({txt("ab ")})},
      {"ARRAY['v'::varchar]", 1015, list({txt("v")})},
      {"ARRAY[5000000000]", 1016, list({lit("5000000000")})},
      {"ARRAY[0.5]::float4[]", 1021, list({lit("0.5")})},
      {"ARRAY[0.25, 'Infinity']::float8[]", 1022, list({lit("0.25"), lit("Infinity")})},
      {"ARRAY['2024-02-29 13:45:07'::timestamp]", 1115, list({local(2024, 2, 29, 13, 45, 7)})},
      {"ARRAY['2024-02-29 13:45:07+00'::timestamptz]", 1185, list({utc("2024-02-29 13:45:07 +0000")})},
      {"ARRAY['2024-02-29'::date]", 1182, list({txt("2024-02-29")})},
      {"ARRAY['13:45'::time]", 1183, list({txt("13:45:00")})},
      {"'{a,b}'::cstring[]", 1263, list({txt("a"), txt("b")})},
      {"'{}'::int4[]", 1007, list({})},
      // Types with no decoder of their own, and arrays that stay texts.
      {"'ab'::char(5)", 1042, txt("ab   ")},
      {"'abc  '::varchar", 1043, txt("abc  ")},
      {"'Zoë ☃'::text", 25, txt("Zoë ☃")},
      {"''::text", 25, txt("")},
      {"12.50::numeric", 1700, txt("12.50")},
      {"ARRAY[1.5, 2.5]::numeric[]", 1231, txt("{1.5,2.5}")},
      {"'[0:1]={1,2}'::int4[]", 1007, txt("[0:1]={1,2}")},
      {"'{\"k\": [1, 2]}'::json", 114, txt("{\"k\": [1, 2]}")},
      {"'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11'::uuid", 2950, txt("a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11")},
      {"'1 day 02:00'::interval", 1186, txt("1 day 02:00:00")},
      {"NULL::bool", 16, null()},
      {"NULL::bytea", 17, null()},
      {"NULL::int4", 23, null()},
      {"NULL::timestamptz", 1184, null()},
      {"NULL::int4[]", 1007, null()},
      {"NULL::text", 25, null()},
  };
}

TEST_F(PostgresQuery, EachTypeDecodesByItsOidInOneQuery) {
  setTimeZone("UTC");
  const std::vector<FieldCase> cases = fieldCases();
  // The table is only worth its OIDs: a case whose expression has another
  // type would test another decoder.
  Ref<Record> types =
      only(selectEach(cases, [](const FieldCase& c) { return "pg_typeof(" + c.expression + ")::oid::int4"; }));
  Ref<Record> values = only(selectEach(cases, [](const FieldCase& c) { return c.expression; }));
  ASSERT_TRUE(types && values);
  ASSERT_EQ(values->size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].expression);
    EXPECT_EQ((*types)[i], lit(std::to_string(cases[i].oid)));
    EXPECT_EQ((*values)[i], cases[i].expected);
    EXPECT_EQ(values->keys()->names()[i], "c" + std::to_string(i));
  }
}

TEST_F(PostgresQuery, TrimmingDropsTrailingSpaceOfTextsOnly) {
  const struct {
    const char* expression;
    Value untrimmed, trimmed;
  } cases[] = {
      {"'ab'::char(5)", txt("ab   "), txt("ab")},
      {"'abc  '::varchar", txt("abc  "), txt("abc")},
      {"'x' || E'\\t\\n\\r\\f' || chr(11) || ' '", txt("x\t\n\r\f\v "), txt("x")},
      {"'é  '::text", txt("é  "), txt("é")},
      {"'  lead'::text", txt("  lead"), txt("  lead")},
      // The one-byte char type is never shortened, and array elements keep
      // what the server wrote.
      {"' '::\"char\"", txt(" "), txt(" ")},
      {"ARRAY['ab'::char(3), 'c  '::varchar]", list({txt("ab "), txt("c  ")}), list({txt("ab "), txt("c  ")})},
      {"7::int4", lit("7"), lit("7")},
  };
  auto trimming = passwordClient(true);
  const std::string sql = selectEach(cases, [](const auto& c) { return std::string(c.expression); });
  Ref<List> plain = client_->query(sql), trimmed = trimming->query(sql);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].expression);
    EXPECT_EQ(recordAt(plain, 0)[i], cases[i].untrimmed);
    EXPECT_EQ(recordAt(trimmed, 0)[i], cases[i].trimmed);
  }
}

// ---- The per-column cache -----------------------------------------------------------------

const void* objectOf(const Value& value) { return value.asObject(); }

TEST_F(PostgresQuery, RepeatedShortTextsShareOneValueAndLongOnesAreDecodedAfresh) {
  Ref<List> rows = query(
      "SELECT CASE WHEN g = 3 THEN NULL ELSE '{1,2}'::int4[] END AS short_list,"
      "       '{1,2,3,4,5,6,7,8,9,10}'::int4[] AS long_list,"
      "       repeat('s', 20) AS text20,"
      "       repeat('l', 21) AS text21,"
      "       CASE WHEN g % 2 = 0 THEN repeat('a', 16) ELSE repeat('b', 16) END AS alternating,"
      "       CASE WHEN g < 2 THEN '{1,2}'::int4[] ELSE '{1,3}'::int4[] END AS same_length "
      "FROM generate_series(0, 5) AS g ORDER BY g");
  ASSERT_EQ(rows->size(), 6u);
  auto at = [&](std::size_t row, const char* column) -> const Value& { return recordAt(rows, row)[column]; };

  // A NULL leaves the cache alone: the rows after it still share the value.
  ASSERT_NE(objectOf(at(0, "short_list")), nullptr);
  for (std::size_t r : {1, 2, 4, 5}) EXPECT_EQ(objectOf(at(r, "short_list")), objectOf(at(0, "short_list"))) << r;
  EXPECT_TRUE(at(3, "short_list").isNull());
  EXPECT_EQ(at(0, "short_list"), list({lit("1"), lit("2")}));

  // Texts of 15 bytes and more live on the heap, so sharing shows in where
  // their bytes are. Twenty bytes is the longest text the cache takes.
  for (std::size_t r = 1; r < 6; ++r) {
    SCOPED_TRACE(r);
    EXPECT_EQ(at(r, "text20").text().data(), at(0, "text20").text().data());
    EXPECT_NE(at(r, "text21").text().data(), at(r - 1, "text21").text().data());
    EXPECT_EQ(at(r, "text21"), txt(std::string(21, 'l')));
    EXPECT_NE(objectOf(at(r, "long_list")), objectOf(at(r - 1, "long_list")));
    EXPECT_EQ(at(r, "long_list"), at(0, "long_list"));
  }
  // The cache keeps the column's last text only.
  EXPECT_NE(at(2, "alternating").text().data(), at(0, "alternating").text().data());
  EXPECT_EQ(at(2, "alternating"), txt(std::string(16, 'a')));
  EXPECT_EQ(at(3, "alternating"), txt(std::string(16, 'b')));
  // Equal lengths are not equal texts.
  EXPECT_EQ(objectOf(at(1, "same_length")), objectOf(at(0, "same_length")));
  EXPECT_NE(objectOf(at(2, "same_length")), objectOf(at(1, "same_length")));
  EXPECT_EQ(at(2, "same_length"), list({lit("1"), lit("3")}));
  EXPECT_EQ(objectOf(at(5, "same_length")), objectOf(at(2, "same_length")));
}

// ---- Record and list types --------------------------------------------------------------

// Counts how the backend makes its records; shares keys when asked to.
class CountingRecordType final : public RecordType {
 public:
  explicit CountingRecordType(bool sharesKeys) : sharesKeys_(sharesKeys) {}
  Value newWithValues(Value* values, const Value* keys, std::uint32_t count) const override {
    ++withNames;
    names.clear();
    for (std::uint32_t i = 0; i < count; ++i) names.emplace_back(keys[i].text());
    return defaultRecordType().newWithValues(values, keys, count);
  }
  Value newWithValues(Value* values, const Ref<KeySet>& keys) const override {
    ++withKeySet;
    return defaultRecordType().newWithValues(values, keys);
  }
  Ref<KeySet> keysOf(const Value& record) const override {
    ++keysAsked;
    return sharesKeys_ ? defaultRecordType().keysOf(record) : Ref<KeySet>();
  }
  mutable int withNames = 0, withKeySet = 0, keysAsked = 0;
  mutable std::vector<std::string> names;

 private:
  bool sharesKeys_;
};

class HintedListType final : public ListType {
 public:
  Ref<List> newList(std::size_t capacityHint) const override {
    hints.push_back(capacityHint);
    return ListType::newList(capacityHint);
  }
  mutable std::vector<std::size_t> hints;
};

TEST_F(PostgresQuery, ARecordTypeWithKeysMakesTheNamesOnce) {
  const Value sql = txt("SELECT g AS n, g * 2 AS n, 'x' AS label FROM generate_series(1, 4) AS g ORDER BY g");
  for (bool sharesKeys : {true, false}) {
    SCOPED_TRACE(sharesKeys ? "shares keys" : "no keys");
    CountingRecordType recordType(sharesKeys);
    HintedListType listType;
    Ref<List> rows = client_->query(sql, recordType, listType);
    ASSERT_EQ(rows->size(), 4u);
    EXPECT_EQ(listType.hints, std::vector<std::size_t>{4});
    EXPECT_EQ(recordType.names, (std::vector<std::string>{"n", "n", "label"}));
    // The first record is asked for its keys, no other.
    EXPECT_EQ(recordType.keysAsked, 1);
    EXPECT_EQ(recordType.withNames, sharesKeys ? 1 : 4);
    EXPECT_EQ(recordType.withKeySet, sharesKeys ? 3 : 0);
    for (std::size_t r = 0; r < 4; ++r) {
      const Record& record = recordAt(rows, r);
      EXPECT_EQ(record[0], lit(std::to_string(r + 1)));
      EXPECT_EQ(record[1], lit(std::to_string(2 * (r + 1))));
      EXPECT_EQ(record["label"], txt("x"));
      if (sharesKeys) {
        EXPECT_EQ(record.keys().get(), recordAt(rows, 0).keys().get()) << r;
      }
    }
  }
  CountingRecordType recordType(true);
  HintedListType listType;
  EXPECT_TRUE(client_->query(txt("SELECT 1 AS a WHERE false"), recordType, listType)->empty());
  EXPECT_EQ(listType.hints, std::vector<std::size_t>{0});
  EXPECT_EQ(recordType.withNames + recordType.withKeySet + recordType.keysAsked, 0);
}

// ---- Errors -------------------------------------------------------------------------------

template <class E>
std::string reasonOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const E& e) {
    return e.reason();
  } catch (const std::exception& e) {
    return std::string("other exception: ") + e.what();
  }
  return "no exception";
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

TEST_F(PostgresQuery, AnEmptyStatementIsRefusedBeforeAnythingIsSent) {
  EXPECT_EQ(reasonOf<InternalInconsistencyException>([&] { query(""); }), "Statement produced null string");
  EXPECT_FALSE(client_->connected());
}

TEST_F(PostgresQuery, StatementErrorsKeepTheConnection) {
  const struct {
    const char* sql;
    const char* reasonBegins;
  } cases[] = {
      {"SELEC 1", "Error executing SELEC 1: ERROR:  syntax error at or near \"SELEC\""},
      {"SELECT 1/0", "Error executing SELECT 1/0: ERROR:  division by zero"},
      {"SELECT * FROM korvel_no_such_table", "Error executing SELECT * FROM korvel_no_such_table: ERROR:  relation"},
      {"SELECT 'Zoë'::int4", "Error executing SELECT 'Zoë'::int4: ERROR:  invalid input syntax for type integer: \"Zoë\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    std::string reason;
    try {
      query(c.sql);
      reason = "no exception";
    } catch (const SQLConnectionException& e) {
      reason = "connection exception: " + e.reason();
    } catch (const SQLException& e) {
      reason = e.reason();
    }
    EXPECT_TRUE(startsWith(reason, c.reasonBegins)) << reason;
    EXPECT_TRUE(client_->connected());
    EXPECT_EQ(recordAt(query("SELECT 1 AS one"), 0)["one"], lit("1"));
  }
}

TEST_F(PostgresQuery, ACommandRanButProducesNoResult) {
  client_->execute("CREATE TEMP TABLE commands (a int4)");
  for (const char* sql : {"INSERT INTO commands VALUES (1)", "UPDATE commands SET a = a + 1"})
    EXPECT_EQ(reasonOf<SQLException>([&] { query(sql); }),
              std::string("Error executing ") + sql + ": query produced no result");
  // Both ran: the error only says there are no rows to return.
  EXPECT_EQ(recordAt(query("SELECT a FROM commands"), 0)["a"], lit("2"));
  EXPECT_TRUE(query("SELECT a FROM commands WHERE a > 2")->empty());
  EXPECT_TRUE(client_->connected());
}

TEST_F(PostgresQuery, AConnectionKilledMidQueryGivesAConnectionException) {
  const std::string app = uniqueName("korvel_killed");
  auto victim = passwordClient(false, app);
  auto admin = trustClient();
  ASSERT_TRUE(victim->connect());
  std::future<std::string> outcome = std::async(std::launch::async, [&] {
    return reasonOf<SQLConnectionException>([&] { victim->query("SELECT pg_sleep(5)"); });
  });
  const std::string running = "SELECT pid FROM pg_stat_activity WHERE application_name = " +
                              admin->quote(txt(app)) + " AND state = 'active' AND query LIKE 'SELECT pg_sleep%'";
  ASSERT_TRUE(pumpUntil([&] { return admin->query(running)->size() == 1; }, 5));
  const auto killedAt = Clock::now();
  admin->query("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = " +
               admin->quote(txt(app)));
  const std::string reason = outcome.get();
  EXPECT_LT(Clock::now() - killedAt, std::chrono::seconds(3)) << "the query waited for the sleep to end";
  EXPECT_TRUE(startsWith(reason, "Error executing SELECT pg_sleep(5): ")) << reason;
  EXPECT_FALSE(victim->connected());
  // The next query connects again.
  EXPECT_EQ(recordAt(victim->query("SELECT 1 AS one"), 0)["one"], lit("1"));
  EXPECT_TRUE(victim->connected());
}

TEST_F(PostgresQuery, AConnectionKilledWhileIdleIsFoundByTheNextQuery) {
  const std::string app = uniqueName("korvel_idle");
  auto victim = passwordClient(false, app);
  auto admin = trustClient();
  ASSERT_TRUE(victim->connect());
  admin->query("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = " +
               admin->quote(txt(app)));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(startsWith(reasonOf<SQLConnectionException>([&] { victim->query("SELECT 1"); }),
                         "Error executing SELECT 1: "));
  EXPECT_FALSE(victim->connected());
  EXPECT_EQ(victim->query("SELECT 1 AS one")->size(), 1u);
}

// ---- Notifications after a query -------------------------------------------------------

TEST_F(PostgresQuery, NotificationsThatCameWithAQueryArePostedAfterIt) {
  struct Seen {
    std::string payload;
    Value local, async;
  };
  std::mutex mutex;
  std::vector<Seen> seen;
  const std::string channel = uniqueName("korvel_qch");
  ScopedObserver observer = NotificationCenter::defaultCenter().observe(
      channel, client_.get(), [&](const Notification& n) {
        std::lock_guard<std::mutex> guard(mutex);
        seen.push_back({std::string(n.userInfo()->get("Payload").text()), n.userInfo()->get("Local"),
                        n.userInfo()->get("Async")});
      });
  auto count = [&] {
    std::lock_guard<std::mutex> guard(mutex);
    return seen.size();
  };
  client_->listen(channel);
  auto sender = trustClient();
  sender->execute("NOTIFY ", channel, ", 'from another session'");
  // The notification reaches the socket while this thread's loop stands
  // still, so nothing but the query reads it.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(query("SELECT 1 AS one")->size(), 1u);
  ASSERT_TRUE(pumpUntil([&] { return count() == 1; }));
  // A query that notifies its own channel gets its own notification back.
  EXPECT_EQ(recordAt(query("SELECT pg_notify(" + client_->quote(txt(channel)) + ", 'own') AS sent"), 0)["sent"],
            txt(""));
  ASSERT_TRUE(pumpUntil([&] { return count() == 2; }));
  std::lock_guard<std::mutex> guard(mutex);
  EXPECT_EQ(seen[0].payload, "from another session");
  EXPECT_EQ(seen[0].local, Value::boolean(false));
  EXPECT_EQ(seen[0].async, Value::boolean(false));
  EXPECT_EQ(seen[1].payload, "own");
  EXPECT_EQ(seen[1].local, Value::boolean(true));
  EXPECT_EQ(seen[1].async, Value::boolean(false));
}

// ---- Arrays as the server writes them ------------------------------------------------

TEST_F(PostgresQuery, ArraysParseAsTheServerWritesThem) {
  setTimeZone("UTC");
  const struct {
    const char* expression;
    Value expected;
  } cases[] = {
      {"ARRAY[[1,2],[3,4]]", list({list({lit("1"), lit("2")}), list({lit("3"), lit("4")})})},
      {"ARRAY[[[1]],[[2]]]", list({list({list({lit("1")})}), list({list({lit("2")})})})},
      {"ARRAY[1, NULL, 3]", list({lit("1"), null(), lit("3")})},
      {"ARRAY[-9223372036854775808]", list({lit("-9223372036854775808")})},
      {"ARRAY['a\"b', 'c\\d', 'NULL', NULL, '', ' sp ', 'x,y', '{br}', 'Zoë', E'tab\\there']",
       list({txt("a\"b"), txt("c\\d"), txt("NULL"), null(), txt(""), txt(" sp "), txt("x,y"), txt("{br}"),
             txt("Zoë"), txt("tab\there")})},
      {"ARRAY[ARRAY['a b', 'c'], ARRAY['d}', 'e{\\\"']]",
       list({list({txt("a b"), txt("c")}), list({txt("d}"), txt("e{\\\"")})})},
      {"ARRAY[repeat('\"', 300)]", list({txt(std::string(300, '"'))})},
      {"ARRAY[[true], [false]]", list({list({txt("YES")}), list({txt("NO")})})},
      {"ARRAY['NaN', '-Infinity', 1e-5]::float8[]", list({lit("NaN"), lit("-Infinity"), lit("1e-05")})},
      {"ARRAY['a'::\"char\", ' '::\"char\"]", list({txt("a"), txt(" ")})},
      {"ARRAY[['2024-02-29', '2024-03-01']]::date[]", list({list({txt("2024-02-29"), txt("2024-03-01")})})},
      {"ARRAY['2024-01-02 03:04:05.25+00'::timestamptz, NULL, '1800-01-01 00:00:00+00']",
       list({Value(Date::make(utc("2024-01-02 03:04:05 +0000").asDate()->timeIntervalSinceReferenceDate() + 0.25)),
             null(), utc("1800-01-01 00:00:00 +0000")})},
      {"ARRAY['2024-01-02 03:04:05'::timestamp]", list({local(2024, 1, 2, 3, 4, 5)})},
  };
  Ref<Record> row = only(selectEach(cases, [](const auto& c) { return std::string(c.expression); }));
  ASSERT_TRUE(row);
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ((*row)[i], cases[i].expected) << cases[i].expression;
}

// ---- Byte buffers through the server ------------------------------------------------

TEST_F(PostgresQuery, ByteBuffersRoundTripInBothOutputForms) {
  std::string reversed = everyByte();
  std::reverse(reversed.begin(), reversed.end());
  std::string noise(4096, '\0');
  std::uint32_t state = 12345;
  for (char& c : noise) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
  const std::vector<std::string> buffers = {
      everyByte(), reversed, "", "\\", "'", "\"", "\\x41", std::string(3, '\0'), "{a,\"b\"}", noise,
  };
  client_->execute("CREATE TEMP TABLE blobs (id int4, b bytea)");
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    // Once through a BLOB marker, once quoted into the statement text.
    client_->execute("INSERT INTO blobs VALUES (", static_cast<int>(i), ", ", Value::bytes(buffers[i]), ")");
    client_->execute("INSERT INTO blobs VALUES (", static_cast<int>(1000 + i), ", ",
                     client_->quote(Value::bytes(buffers[i])), ")");
  }
  // What the server stored, read in a form that does not go through the
  // decoder under test.
  Ref<List> stored = query("SELECT encode(b, 'hex') AS hex FROM blobs ORDER BY id");
  ASSERT_EQ(stored->size(), 2 * buffers.size());
  for (std::size_t i = 0; i < stored->size(); ++i)
    EXPECT_EQ(std::string(recordAt(stored, i)["hex"].text()), hexOf(buffers[i % buffers.size()])) << i;

  for (const char* form : {"hex", "escape"}) {
    SCOPED_TRACE(form);
    client_->execute("SET bytea_output = ", form);
    Ref<List> rows = query("SELECT id, b, ARRAY[b, NULL] AS a, ARRAY[[b]] AS n FROM blobs ORDER BY id");
    ASSERT_EQ(rows->size(), 2 * buffers.size());
    for (std::size_t i = 0; i < rows->size(); ++i) {
      SCOPED_TRACE(i);
      const Value expected = bytes(buffers[i % buffers.size()]);
      EXPECT_EQ(recordAt(rows, i)["b"], expected);
      EXPECT_EQ(recordAt(rows, i)["a"], list({expected, null()}));
      EXPECT_EQ(recordAt(rows, i)["n"], list({list({expected})}));
    }
  }
}

// ---- Timestamps through the server ---------------------------------------------------

struct ServerInstant {
  Value date;
  double since2001 = 0;  // the server's instant
  std::int32_t offset = 0;  // the server's offset from UTC, seconds east
  std::string shown;
};

class PostgresTimestamps : public PostgresQuery {
 protected:
  // The decoded value of the timestamp text in `zone`, with the server's own
  // account of the instant: whole seconds and microseconds apart, so that no
  // double rounding on the server's side muddies the comparison.
  ServerInstant read(const std::string& zone, const std::string& literal, const char* type = "timestamptz") {
    setTimeZone(zone);
    const std::string ts = client_->quote(txt(literal)) + "::" + type;
    Ref<Record> row = only("SELECT " + ts + " AS ts, " + ts + "::text AS shown, " +
                           "extract(epoch FROM date_trunc('second', " + ts + "))::int8 AS seconds, " +
                           "(extract(microseconds FROM " + ts + ")::int8 % 1000000) AS micros, " +
                           "extract(timezone FROM " + ts + "::timestamptz)::int4 AS zone");
    ServerInstant out;
    if (!row) return out;
    out.date = (*row)["ts"];
    out.shown = std::string((*row)["shown"].text());
    out.since2001 = (std::strtod(std::string((*row)["seconds"].text()).c_str(), nullptr) - kReferenceDateFromUnix) +
                    std::strtod(std::string((*row)["micros"].text()).c_str(), nullptr) / 1e6;
    out.offset = std::atoi(std::string((*row)["zone"].text()).c_str());
    return out;
  }
};

// A date's seconds since 2001 are a double: a microsecond is exact to within
// a few units of its last place, which for year 4000 is about 15 µs.
double tolerance(double seconds) { return 2e-6 + std::fabs(seconds) * 4 * std::numeric_limits<double>::epsilon(); }

TEST_F(PostgresTimestamps, EveryOffsetFormGivesTheServersInstant) {
  const struct {
    const char* zone;
    const char* literal;
  } cases[] = {
      {"UTC", "2024-02-29 13:45:07+00"},
      {"UTC", "1970-01-01 00:00:00+00"},
      {"UTC", "1969-12-31 23:59:59.5+00"},
      {"UTC", "2001-01-01 00:00:00+00"},
      {"Asia/Kolkata", "2024-02-29 13:45:07+00"},          // +05:30
      {"Asia/Kathmandu", "2024-02-29 13:45:07+00"},        // +05:45
      {"America/St_Johns", "2024-01-15 12:00:00+00"},      // -03:30
      {"America/St_Johns", "2024-07-15 12:00:00+00"},      // -02:30
      {"Pacific/Chatham", "2024-01-15 12:00:00+00"},       // +13:45
      {"America/Los_Angeles", "2024-01-15 12:00:00+00"},   // -08
      {"America/Los_Angeles", "2024-07-15 12:00:00+00"},   // -07
      {"Pacific/Kiritimati", "2024-07-15 12:00:00+00"},    // +14
      {"Etc/GMT+12", "2024-07-15 12:00:00+00"},            // -12
      {"UTC", "2024-02-29 13:45:07.1+00"},
      {"UTC", "2024-02-29 13:45:07.12+00"},
      {"UTC", "2024-02-29 13:45:07.123+00"},
      {"UTC", "2024-02-29 13:45:07.1234+00"},
      {"UTC", "2024-02-29 13:45:07.12345+00"},
      {"UTC", "2024-02-29 13:45:07.123456+00"},
      {"Asia/Kolkata", "2024-02-29 13:45:07.000001+00"},
      {"America/St_Johns", "2024-02-29 13:45:07.999999+00"},
      // Local mean time: the server writes offsets with seconds.
      {"Asia/Kolkata", "1800-01-01 00:00:00+00"},          // +05:53:28
      {"America/St_Johns", "1800-06-01 00:00:00.5+00"},    // -03:30:52
      {"Europe/Amsterdam", "1900-01-01 00:00:00+00"},      // +00:19:32
      {"America/New_York", "1850-01-01 00:00:00+00"},      // -04:56:02
      // The ordinary years at either end.
      {"UTC", "0002-01-01 00:00:00+00"},
      {"Asia/Kolkata", "0002-03-01 12:00:00+00"},
      {"UTC", "4000-12-31 23:59:59.999999+00"},
      {"America/St_Johns", "4000-06-30 12:00:00+00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + c.literal);
    const ServerInstant server = read(c.zone, c.literal);
    SCOPED_TRACE("server wrote " + server.shown);
    const Date* date = server.date.asDate();
    ASSERT_NE(date, nullptr);
    EXPECT_NEAR(date->timeIntervalSinceReferenceDate(), server.since2001, tolerance(server.since2001));
    // The date carries the offset the text gave, shown in the server's layout.
    EXPECT_EQ(date->timeZone()->secondsFromGMT(date->timeIntervalSinceReferenceDate()), server.offset);
    EXPECT_EQ(date->calendarFormat(), "%Y-%m-%d %H:%M:%S %z");
  }
}

TEST_F(PostgresTimestamps, TimestampsWithoutZoneKeepTheirWallClock) {
  for (const char* literal :
       {"2024-02-29 13:45:07.123456", "2001-01-01 00:00:00", "1800-01-01 00:00:00", "4000-12-31 23:59:59.5"}) {
    SCOPED_TRACE(literal);
    const ServerInstant server = read("UTC", literal, "timestamp");
    const Date* date = server.date.asDate();
    ASSERT_NE(date, nullptr);
    // The server's UTC reading of a zone-less timestamp is its wall clock.
    EXPECT_EQ(date->format("%Y-%m-%d %H:%M:%S"),
              Date::make(std::floor(server.since2001))->format("%Y-%m-%d %H:%M:%S", *TimeZone::utc()));
    const double fraction = server.since2001 - std::floor(server.since2001);
    EXPECT_NEAR(date->civil().fraction, fraction, tolerance(server.since2001));
  }
}

TEST_F(PostgresTimestamps, YearsOutsideTheCalendarRangeAndInfinitiesAreTheDistantDates) {
  const double past = Date::distantPast()->timeIntervalSinceReferenceDate();
  const double future = Date::distantFuture()->timeIntervalSinceReferenceDate();
  const struct {
    const char* zone;
    const char* literal;
    const char* type;
    double expected;
  } cases[] = {
      {"UTC", "0001-01-01 00:00:00+00", "timestamptz", past},
      {"Asia/Kolkata", "0001-06-01 00:00:00+00", "timestamptz", past},
      {"UTC", "0044-03-15 12:00:00+00 BC", "timestamptz", past},
      {"UTC", "-infinity", "timestamptz", past},
      {"UTC", "0001-01-01 00:00:00", "timestamp", past},
      {"UTC", "4001-01-01 00:00:00+00", "timestamptz", future},
      {"America/St_Johns", "9999-12-31 23:59:59+00", "timestamptz", future},
      {"UTC", "10000-01-01 00:00:00+00", "timestamptz", future},
      {"UTC", "infinity", "timestamptz", future},
      {"UTC", "infinity", "timestamp", future},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + c.literal + "::" + c.type);
    setTimeZone(c.zone);
    Ref<Record> row = only("SELECT " + client_->quote(txt(c.literal)) + "::" + c.type + " AS ts, ARRAY[" +
                           client_->quote(txt(c.literal)) + "::" + c.type + "] AS a");
    ASSERT_TRUE(row);
    const Date* date = (*row)["ts"].asDate();
    ASSERT_NE(date, nullptr) << (*row)["ts"].description();
    EXPECT_EQ(date->timeIntervalSinceReferenceDate(), c.expected);
    const List* elements = (*row)["a"].asList();
    ASSERT_TRUE(elements && elements->size() == 1 && (*elements)[0].asDate()) << (*row)["a"].description();
    EXPECT_EQ((*elements)[0].asDate()->timeIntervalSinceReferenceDate(), c.expected);
  }
}

// ---- Array literals through the server ---------------------------------------------------

TEST_F(PostgresQuery, QuotedArraysComeBackEqual) {
  setTimeZone("UTC");
  const Value kolkata = Value(Date::make(1709214307.125 - kReferenceDateFromUnix, TimeZone::fixed(19800)));
  const Value old = Value(Date::make(-6626841600.0 - kReferenceDateFromUnix, TimeZone::fixed(-12600)));
  const Value texts = list({txt("it's"), txt("back\\slash"), txt("quote\"d"), txt("{br}"), txt("a,b"), txt("NULL"),
                            txt(""), txt(" lead and trail "), txt("Zoë ☃"), txt("tab\there"), txt("''")});
  const std::string all = everyByte();
  const struct {
    const char* what;
    Value written;
    bool quotingStrings;
    const char* cast;
    Value expected;
  } cases[] = {
      {"texts", texts, true, "", texts},
      {"nested texts", list({list({txt("a"), txt("b\\")}), list({txt("c\""), null()})}), true, "",
       list({list({txt("a"), txt("b\\")}), list({txt("c\""), null()})})},
      {"texts with NULL", list({txt("x"), null()}), true, "", list({txt("x"), null()})},
      {"nested int32", list({list({Value::int32(1), Value::int32(2)}), list({Value::int32(3), Value::int32(-4)})}),
       true, "", list({list({lit("1"), lit("2")}), list({lit("3"), lit("-4")})})},
      {"int64", list({Value::int64(std::numeric_limits<std::int64_t>::max()), Value::int64(-5)}), true, "",
       list({lit("9223372036854775807"), lit("-5")})},
      {"doubles", list({Value::float64(1.5), Value::float64(-0.25), Value::float64(1e300),
                        Value::float64(std::nan("")), Value::float64(-INFINITY)}),
       true, "::float8[]", list({lit("1.5"), lit("-0.25"), lit("1e+300"), lit("NaN"), lit("-Infinity")})},
      {"literal texts", list({lit("7"), lit("8")}), true, "", list({lit("7"), lit("8")})},
      {"booleans", list({Value::boolean(true), Value::boolean(false), null()}), true, "",
       list({txt("YES"), txt("NO"), null()})},
      {"unquoted texts", list({txt("1+1"), txt("2*3")}), false, "", list({lit("2"), lit("6")})},
      {"nested unquoted texts", list({list({txt("1+1")}), list({txt("2*3")})}), false, "",
       list({list({lit("2")}), list({lit("6")})})},
      {"empty", list({}), true, "::int4[]", list({})},
      {"dates", list({kolkata, old, utc("2024-02-29 13:45:07 +0000")}), true, "",
       list({kolkata, old, utc("2024-02-29 13:45:07 +0000")})},
      {"nested dates", list({list({kolkata}), list({old})}), true, "", list({list({kolkata}), list({old})})},
      {"byte buffers", list({bytes(all), bytes(""), bytes("'\\\"{},"), bytes("\\x41")}), true, "",
       list({bytes(all), bytes(""), bytes("'\\\"{},"), bytes("\\x41")})},
      {"nested byte buffers", list({list({bytes("a")}), list({bytes(std::string(1, '\0'))})}), true, "",
       list({list({bytes("a")}), list({bytes(std::string(1, '\0'))})})},
  };
  for (const char* form : {"hex", "escape"}) {
    client_->execute("SET bytea_output = ", form);
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + ", bytea_output " + form);
      const std::string sql = "SELECT " + pg::quoteArray(c.written, c.quotingStrings, *client_) + c.cast + " AS a";
      SCOPED_TRACE(sql.size() < 400 ? sql : sql.substr(0, 400) + "...");
      Value back;
      try {
        back = (*only(sql))["a"];
      } catch (const Exception& e) {
        ADD_FAILURE() << "the server refused it: " << e.reason();
        continue;
      }
      EXPECT_EQ(back, c.expected);
    }
  }
}

TEST_F(PostgresQuery, DatesReadFromTheServerAreQuotedBackToTheSameInstant) {
  // Old timestamps come with local-mean-time offsets that have seconds
  // (+05:53:28); a literal written with the offset cut to minutes would name
  // another instant.
  const struct {
    const char* zone;
    const char* literal;
  } cases[] = {
      {"Asia/Kolkata", "2024-02-29 13:45:07.125+00"},
      {"America/St_Johns", "2024-01-15 12:00:00+00"},
      {"Asia/Kolkata", "1800-01-01 00:00:00+00"},
      {"America/St_Johns", "1800-06-01 00:00:00+00"},
      {"Europe/Amsterdam", "1900-01-01 00:00:00+00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + c.literal);
    setTimeZone(c.zone);
    const std::string original = client_->quote(txt(c.literal)) + "::timestamptz";
    Ref<Record> read = only("SELECT " + original + " AS ts");
    ASSERT_TRUE(read);
    const Value date = (*read)["ts"];
    ASSERT_TRUE(date.asDate());
    const std::string quoted = client_->quote(date);
    const std::string array = pg::quoteArray(list({date}), true, *client_);
    Ref<Record> back = only("SELECT extract(epoch FROM " + quoted + "::timestamptz - " + original +
                            ")::float8 AS apart, extract(epoch FROM (" + array + ")[1] - " + original +
                            ")::float8 AS array_apart");
    ASSERT_TRUE(back);
    EXPECT_EQ((*back)["apart"], lit("0")) << "quoted as " << quoted;
    EXPECT_EQ((*back)["array_apart"], lit("0")) << "quoted as " << array;
  }
}

// ---- The CLI's JSON form of PostgreSQL values ---------------------------------------------

TEST_F(PostgresQuery, TheCLIWritesListsBytesAndDatesAsJSON) {
  const struct {
    const char* sql;
    const char* json;
  } cases[] = {
      {"SELECT ARRAY[1,2] AS l, ARRAY[[1,2],[3,4]] AS n, ARRAY['a','b\"c',NULL] AS t, '{}'::int4[] AS e",
       "{\"l\":[1,2],\"n\":[[1,2],[3,4]],\"t\":[\"a\",\"b\\\"c\",null],\"e\":[]}"},
      {"SELECT '\\x00ff'::bytea AS b, ARRAY['\\x01'::bytea, ''::bytea] AS ba",
       "{\"b\":{\"$bytes\":\"00ff\"},\"ba\":[{\"$bytes\":\"01\"},{\"$bytes\":\"\"}]}"},
      {"SELECT '2024-02-29 13:45:07.123+00'::timestamptz AS d, ARRAY['2024-02-29 13:45:07+00'::timestamptz] AS da",
       "{\"d\":{\"$date\":\"2024-02-29T19:15:07.123+05:30\"},\"da\":[{\"$date\":\"2024-02-29T19:15:07.000+05:30\"}]}"},
      {"SELECT true AS f, NULL::int4 AS z, 12.50::numeric AS num, ARRAY[1.5]::float8[] AS fl, 7::int8 AS i",
       "{\"f\":\"YES\",\"z\":null,\"num\":\"12.50\",\"fl\":[1.5],\"i\":7}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    // PGTZ sets the session's TimeZone, so the dates carry +05:30.
    const std::string command = "env PGTZ=Asia/Kolkata KORVEL_PASSWORD=" + shellQuote(srv_->password) + " " +
                                shellQuote(KORVEL_CLI_PATH) + " --backend Postgres --database " +
                                shellQuote(srv_->tcpDatabase(srv_->database)) + " --user " + shellQuote(srv_->userPw) +
                                " --format json " + shellQuote(c.sql);
    const test::CommandResult result = test::run(command);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, std::string(c.json) + "\n");
  }
}

// What instant a JSON date text of the CLI names: YYYY-MM-DDTHH:MM:SS.mmm+HH:MM,
// in seconds since 1970.
std::optional<double> jsonDateInstant(const std::string& text) {
  int year, month, day, hour, minute, second, millis, offsetHours, offsetMinutes;
  char sign;
  if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%d%c%d:%d", &year, &month, &day, &hour, &minute, &second,
                  &millis, &sign, &offsetHours, &offsetMinutes) != 10)
    return std::nullopt;
  const double offset = (sign == '-' ? -1 : 1) * (offsetHours * 3600.0 + offsetMinutes * 60.0);
  const double wall = static_cast<double>(daysFromCivil(year, month, day)) * 86400 + hour * 3600 + minute * 60 +
                      second + millis / 1000.0;
  return wall - offset;
}

TEST_F(PostgresQuery, TheCLIsJSONDatesNameTheServersInstant) {
  for (const char* zone : {"Asia/Kolkata", "America/St_Johns", "Europe/Amsterdam"}) {
    for (const char* literal : {"2024-02-29 13:45:07.125+00", "1800-06-01 00:00:00+00", "1900-01-01 00:00:00+00"}) {
      SCOPED_TRACE(std::string(zone) + " " + literal);
      const std::string sql = "SELECT '" + std::string(literal) + "'::timestamptz AS d";
      const std::string command = "env PGTZ=" + std::string(zone) + " KORVEL_PASSWORD=" + shellQuote(srv_->password) +
                                  " " + shellQuote(KORVEL_CLI_PATH) + " --backend Postgres --database " +
                                  shellQuote(srv_->tcpDatabase(srv_->database)) + " --user " + shellQuote(srv_->userPw) +
                                  " --format json " + shellQuote(sql);
      const test::CommandResult result = test::run(command);
      ASSERT_EQ(result.status, 0) << result.err;
      const std::string prefix = "{\"d\":{\"$date\":\"";
      ASSERT_TRUE(startsWith(result.out, prefix)) << result.out;
      const std::string text = result.out.substr(prefix.size(), result.out.find('"', prefix.size()) - prefix.size());
      const std::optional<double> instant = jsonDateInstant(text);
      ASSERT_TRUE(instant) << text;
      const double expected =
          Date::parse(std::string(literal).substr(0, 19) + " +0000", "%Y-%m-%d %H:%M:%S %z")->timeIntervalSince1970() +
          (std::string(literal).find(".125") != std::string::npos ? 0.125 : 0);
      EXPECT_NEAR(*instant, expected, 1e-6) << "the CLI wrote " << text;
    }
  }
}

}  // namespace
}  // namespace korvel
