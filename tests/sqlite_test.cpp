// The SQLite backend on real database files.
#include <gtest/gtest.h>

#include <filesystem>

#include "korvel/date.h"
#include "korvel/korvel.h"
#include "support/test_support.h"

namespace korvel {
namespace {

class SQLite : public ::testing::Test {
 protected:
  std::unique_ptr<Korvel> client(std::optional<std::string> database, unsigned debugging = 0) {
    auto c = Korvel::create({.backend = "SQLite", .database = std::move(database), .name = "tester",
                             .debugging = debugging});
    log.attach(*c);
    return c;
  }
  test::TempDir dir;
  test::CapturedLog log;
};

TEST_F(SQLite, ConnectsOnDemandAndOnlyOnce) {
  auto db = client(dir.file("a.db"), 1);
  EXPECT_FALSE(db->connected());
  EXPECT_EQ(db->execute("CREATE TABLE t (a)"), -1);
  EXPECT_TRUE(db->connected());
  EXPECT_TRUE(log.contains("Connect to '" + dir.file("a.db") + "' as tester"));
  EXPECT_TRUE(log.contains("Connected to 'tester'"));
  log.clear();
  EXPECT_TRUE(db->backendConnect());
  EXPECT_TRUE(log.lines().empty()) << "a second connect neither opens nor logs";
  db->disconnect();
  EXPECT_FALSE(db->connected());
  log.clear();
  db->disconnect();
  EXPECT_TRUE(log.lines().empty()) << "disconnecting a closed client does nothing";
}

TEST_F(SQLite, ConnectFailuresAreLoggedWhateverTheLevel) {
  auto none = client(std::nullopt);
  EXPECT_FALSE(none->connect());
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Connect to 'tester' with no database configured"});

  log.clear();
  std::string bad = dir.file("missing/dir/x.db");
  auto db = client(bad);
  EXPECT_FALSE(db->connect());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0], "Error connecting to 'tester' (" + bad + ") - unable to open database file");
  try {
    db->execute("SELECT 1");
    ADD_FAILURE();
  } catch (const SQLException& e) {
    EXPECT_EQ(e.reason(), "Unable to connect to 'tester' to execute statement SELECT 1");
  }
  try {
    db->query("SELECT 1");
    ADD_FAILURE();
  } catch (const SQLException& e) {
    EXPECT_EQ(e.reason(), "Unable to connect to 'tester' to run query SELECT 1");
  }
}

// How many of this process's descriptors are open on `path`.
int descriptorsOpenOn(const std::string& path) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path) ++count;
  }
  return count;
}

TEST_F(SQLite, DisconnectNeverRaisesAndClosesTheFileWhenLoggingFails) {
  const std::string path = dir.file("dn.db");
  std::vector<std::string> lines;  // outlives the client, which logs as it goes
  auto db = Korvel::create({.backend = "SQLite", .database = path, .clientName = "cli", .debugging = 1});
  db->setDebugSink([&](std::string_view line) {
    if (line.starts_with("Disconnecting client")) throw 42;  // not even a std::exception
    lines.emplace_back(line);
  });
  db->begin();
  db->execute("CREATE TABLE t (a)");
  ASSERT_EQ(descriptorsOpenOn(path), 1);
  EXPECT_NO_THROW(db->disconnect());
  EXPECT_FALSE(db->connected());
  EXPECT_FALSE(db->isInTransaction());
  EXPECT_EQ(descriptorsOpenOn(path), 0) << "the handle was dropped unclosed";
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "Error disconnecting from database (cli): unknown exception");
  EXPECT_EQ(db->query("SELECT count(*) AS n FROM sqlite_master")->size(), 1u) << "reconnects";
}

TEST_F(SQLite, ErrorsOfTheCallersRecordTypeAreLoggedAndPassUnchanged) {
  struct FailingRecordType final : RecordType {
    Value newWithValues(Value*, const Value*, std::uint32_t) const override {
      throw std::runtime_error("no record for you");
    }
  } failing;
  auto db = client(dir.file("rt.db"), 1);
  try {
    db->query(Value::text("SELECT 1 AS one"), failing, defaultListType());
    ADD_FAILURE();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "no record for you");
  }
  EXPECT_TRUE(log.contains("Error executing statement:\nSELECT 1 AS one\nno record for you"));
  EXPECT_TRUE(db->connected());
  EXPECT_EQ(db->query("SELECT 1 AS one")->size(), 1u);
}

TEST_F(SQLite, EmptyStatementsAreRefusedBeforeConnecting) {
  auto db = client(dir.file("e.db"));
  for (auto run : {+[](Korvel& k) { k.execute(""); }, +[](Korvel& k) { k.query(""); }}) {
    try {
      run(*db);
      ADD_FAILURE();
    } catch (const InternalInconsistencyException& e) {
      EXPECT_EQ(e.reason(), "Statement produced null string");
    }
  }
  EXPECT_FALSE(db->connected());
  EXPECT_FALSE(std::filesystem::exists(dir.file("e.db")));
}

TEST_F(SQLite, StatementErrorsCarryTheEngineMessageAndKeepTheConnection) {
  auto db = client(dir.file("s.db"), 1);
  try {
    db->execute("CREATE TABLE t (a); INSERT INTO nowhere VALUES (1)");
    ADD_FAILURE();
  } catch (const SQLException& e) {
    EXPECT_EQ(e.name(), "SQLException");
    EXPECT_EQ(e.reason(), "no such table: nowhere");
  }
  EXPECT_TRUE(db->connected());
  EXPECT_TRUE(log.contains("Error executing statement:\nCREATE TABLE t (a); INSERT INTO nowhere VALUES (1)\n"
                           "SQLException: no such table: nowhere"));
  // Statements before the failing one ran.
  EXPECT_EQ(db->query("SELECT name FROM sqlite_master")->size(), 1u);
}

TEST_F(SQLite, QueryGivesEachStoredValueItsOwnKind) {
  auto db = client(dir.file("q.db"));
  db->execute("CREATE TABLE v (x)");
  db->execute("INSERT INTO v VALUES (42), (4294967297), (-2147483648), (2147483648), (1.5), ('text'), (x'00abff'),"
              " (NULL), (x'')");
  auto rows = db->query("SELECT x FROM v");
  std::vector<Value> want = {Value::int32(42),
                             Value::int64(4294967297LL),
                             Value::int32(INT32_MIN),
                             Value::int64(2147483648LL),
                             Value::float64(1.5),
                             Value::text("text"),
                             Value::bytes("\x00\xab\xff", 3),
                             Value(),
                             Value::bytes("", 0)};
  ASSERT_EQ(rows->size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i)
    EXPECT_EQ((*(*rows)[i].asRecord())["x"], want[i]) << i << ": " << (*rows)[i].description();
  EXPECT_TRUE((*(*rows)[7].asRecord())["x"].isEmpty()) << "NULL leaves the slot empty, not the null marker";
}

TEST_F(SQLite, QueryEdgeCases) {
  auto db = client(dir.file("edge.db"));
  db->execute("CREATE TABLE t (a, b)");
  EXPECT_TRUE(db->query("SELECT * FROM t")->empty());
  db->execute("INSERT INTO t VALUES (1, 'one'), (2, 'two')");
  // Only the first statement of the text is run as a query.
  auto rows = db->query("SELECT a FROM t WHERE a = 1; SELECT a FROM t");
  ASSERT_EQ(rows->size(), 1u);
  // Keys come from the column names, shared by all rows.
  auto all = db->query("SELECT a AS first, b AS second FROM t ORDER BY a");
  ASSERT_EQ(all->size(), 2u);
  const Record& r0 = *(*all)[0].asRecord();
  const Record& r1 = *(*all)[1].asRecord();
  EXPECT_EQ(r0.keys()->names(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(r0.keys().get(), r1.keys().get());
  // A text cut at its embedded NUL; a BLOB keeps every byte.
  auto nul = db->query("SELECT 'ab' || char(0) || 'cd' AS t, CAST('ab' || char(0) || 'cd' AS BLOB) AS b");
  const Record& n = *(*nul)[0].asRecord();
  EXPECT_EQ(n["t"].text(), "ab");
  EXPECT_EQ(n["b"].asBytes()->view(), std::string_view("ab\0cd", 5));
  // A comment alone prepares to nothing: an empty result, not an error.
  EXPECT_TRUE(db->query("-- nothing here")->empty());
}

TEST_F(SQLite, QueryErrors) {
  auto db = client(dir.file("qe.db"));
  try {
    db->query("SELEKT 1");
    ADD_FAILURE();
  } catch (const SQLException& e) {
    EXPECT_EQ(e.reason(), "Unable to prepare 'SELEKT 1'");
  }
  // A failure while stepping gives the engine's message.
  try {
    db->query("SELECT abs(-9223372036854775807 - 1)");
    ADD_FAILURE();
  } catch (const SQLException& e) {
    EXPECT_EQ(e.reason(), "integer overflow");
  }
  EXPECT_TRUE(db->connected());
}

TEST_F(SQLite, BLOBLiteralsAndBufferSplicing) {
  auto db = client(dir.file("b.db"));
  struct Case { std::string bytes; std::string literal; } cases[] = {
      {std::string("\x00\xab\xff", 3), "X'00ABFF'"},
      {"", "X''"},
      {"\x10", "X'10'"},
  };
  for (const auto& c : cases) {
    Ref<Bytes> b = Bytes::make(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(db->lengthOfEscapedBLOB(*b), c.literal.size());
    std::string out(c.literal.size() + 1, '#');
    EXPECT_EQ(db->copyEscapedBLOB(*b, out.data()), c.literal.size());
    EXPECT_EQ(out, c.literal + "#") << "no NUL or other byte written past the literal";
  }
  db->execute("CREATE TABLE t (a BLOB, b BLOB)");
  StatementList list = {Value::text("INSERT INTO t VALUES ('?'''?', '?'''?')"), Value::bytes("\x01", 1),
                        Value::bytes("\x02", 1)};
  db->executeStatement(list);
  auto rows = db->query("SELECT hex(a) AS a, hex(b) AS b FROM t");
  EXPECT_EQ((*(*rows)[0].asRecord())["a"].text(), "01");
  EXPECT_EQ((*(*rows)[0].asRecord())["b"].text(), "02");
  // The engine stops at a NUL: a marker after it would swallow its buffer.
  StatementList hidden = {Value::text(std::string_view("INSERT INTO t VALUES (1, 2);\0'?'''?'", 36)),
                          Value::bytes("\x03", 1)};
  EXPECT_THROW(db->executeStatement(hidden), InvalidArgumentException);
}

TEST_F(SQLite, DatesAreStoredAsSecondsSince2001) {
  auto db = client(dir.file("d.db"));
  db->execute("CREATE TABLE t (d)");
  db->execute("INSERT INTO t VALUES (", db->quote(Value(Date::make(90.5))), ")");
  auto rows = db->query("SELECT d FROM t");
  EXPECT_EQ((*(*rows)[0].asRecord())["d"], Value::float64(90.5));
}

TEST_F(SQLite, EmptyDatabaseSettingIsHandedToTheEngine) {
  // The engine takes "" as a private temporary database.
  auto db = client(std::string());
  EXPECT_TRUE(db->connect());
  EXPECT_EQ(db->query("SELECT 1 AS one")->size(), 1u);
}

}  // namespace
}  // namespace korvel
