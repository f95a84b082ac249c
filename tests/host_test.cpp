// The host client: quoting, BLOB insertion, transactions, module loading and
// the pool, on real SQLite files.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "korvel/date.h"
#include "korvel/korvel.h"
#include "korvel/pool.h"
#include "support/test_support.h"

namespace korvel {
namespace {

class Host : public ::testing::Test {
 protected:
  test::TempDir dir;
  std::unique_ptr<Korvel> db = Korvel::create({.backend = "SQLite", .database = dir.file("host.db")});
};

TEST_F(Host, QuoteWritesEachKindAsAnSQLLiteral) {
  Ref<Date> date = Date::fromCivil({.year = 2024, .month = 1, .day = 2, .hour = 3, .minute = 4, .second = 5,
                                    .fraction = 0.123},
                                   TimeZone::fixed(3600));
  ASSERT_TRUE(date);
  struct Case { Value value; std::string want; } cases[] = {
      {Value(), "NULL"},
      {Value::null(), "NULL"},
      {Value::text("it's"), "'it''s'"},
      {Value::text(""), "''"},
      {Value::literal("now()"), "now()"},
      {Value::boolean(false), "FALSE"},
      {Value::int32(-12), "-12"},
      {Value::int64(4294967297LL), "4294967297"},
      {Value::float64(0.1), "0.1"},
      {Value::float64(1.0 / 3), "0.3333333333333333"},
      {Value::float32(0.1f), "0.1"},
      {Value::float64(std::numeric_limits<double>::quiet_NaN()), "'NaN'"},
      {Value::float64(-std::numeric_limits<double>::infinity()), "'-Infinity'"},
      {Value::bytes("\x00\xab\xff", 3), "X'00ABFF'"},
  };
  for (const auto& c : cases) EXPECT_EQ(db->quote(c.value), c.want) << c.value.description();
  // The base writes dates as text with milliseconds and offset; SQLite
  // overrides that with the number of seconds since 2001.
  EXPECT_EQ(db->Korvel::quote(Value(date)), "'2024-01-02 03:04:05.123 +0100'");
  EXPECT_EQ(db->quote(Value(Date::make(90))), db->quote(Value::float64(90)));
  EXPECT_THROW(db->quote(Value(makeRef<List>())), InvalidArgumentException);
  EXPECT_EQ(db->quoteString("a'b''c"), "'a''b''''c'");
}

TEST_F(Host, InsertBLOBsReplacesMarkersInOrder) {
  const std::string marker = "'?'''?'";
  StatementList two = {Value::text("x"), Value::bytes("\x01", 1), Value::bytes("\x02\x03", 2)};
  std::string stmt = "INSERT INTO t VALUES (" + marker + ", " + marker + ")";
  std::uint32_t length = 0;
  std::string out = db->insertBLOBs(two, stmt.data(), static_cast<std::uint32_t>(stmt.size()), marker.data(), 7, length);
  EXPECT_EQ(out, "INSERT INTO t VALUES (X'01', X'0203')");
  EXPECT_EQ(length, out.size());
  EXPECT_EQ(out.c_str()[out.size()], '\0');

  // No buffers: the text goes through byte for byte, markers and all.
  StatementList none = {Value::text("x")};
  EXPECT_EQ(db->insertBLOBs(none, stmt.data(), static_cast<std::uint32_t>(stmt.size()), marker.data(), 7, length), stmt);

  // More buffers than markers would silently lose data: refused.
  StatementList three = two;
  three.push_back(Value::bytes("\x04", 1));
  EXPECT_THROW(db->insertBLOBs(three, stmt.data(), static_cast<std::uint32_t>(stmt.size()), marker.data(), 7, length),
               InvalidArgumentException);
  StatementList wrong = {Value::text("x"), Value::text("not bytes")};
  EXPECT_THROW(db->insertBLOBs(wrong, stmt.data(), static_cast<std::uint32_t>(stmt.size()), marker.data(), 7, length),
               InvalidArgumentException);
}

TEST_F(Host, ExecuteJoinsFragmentsAndPassesBuffersAlongside) {
  db->execute("CREATE TABLE t (a INTEGER, b BLOB, c TEXT)");
  std::string everyByte;
  for (int i = 0; i < 256; ++i) everyByte.push_back(static_cast<char>(i));
  db->execute("INSERT INTO t VALUES (", 7, ", ", Value::bytes(everyByte), ", ", db->quote(Value::text("x'y")), ")");
  auto rows = db->query("SELECT a, b, c FROM t");
  ASSERT_EQ(rows->size(), 1u);
  const Record& r = *(*rows)[0].asRecord();
  EXPECT_EQ(r["a"], Value::int32(7));
  EXPECT_EQ(r["b"].asBytes()->view(), everyByte);
  EXPECT_EQ(r["c"].text(), "x'y");
}

TEST_F(Host, TransactionsCommitAndRollBack) {
  db->execute("CREATE TABLE t (a INTEGER)");
  db->begin();
  EXPECT_TRUE(db->isInTransaction());
  EXPECT_THROW(db->begin(), InternalInconsistencyException);
  db->execute("INSERT INTO t VALUES (1)");
  db->rollback();
  EXPECT_FALSE(db->isInTransaction());
  EXPECT_EQ(db->query("SELECT * FROM t")->size(), 0u);

  db->begin();
  db->execute("INSERT INTO t VALUES (2)");
  db->commit();
  EXPECT_EQ(db->query("SELECT * FROM t")->size(), 1u);
  EXPECT_THROW(db->commit(), InternalInconsistencyException);
  db->rollback();  // outside a transaction: nothing

  // Disconnecting inside a transaction rolls it back first.
  db->begin();
  db->execute("INSERT INTO t VALUES (3)");
  db->disconnect();
  EXPECT_FALSE(db->isInTransaction());
  EXPECT_EQ(db->query("SELECT * FROM t")->size(), 1u);
}

TEST(ModuleLoading, ErrorsNameTheBackendAndEveryPathTried) {
  test::TempDir dir;
  // A file that is no shared object, and a shared object that is no module.
  std::ofstream(dir.file("Broken.so")) << "not an ELF file";
  std::filesystem::copy_file(KORVEL_HOST_LIBRARY_PATH, dir.file("NotAModule.so"));

  struct Case { std::string backend; std::vector<std::string> fragments; } cases[] = {
      {"Nonexistent", {"backend 'Nonexistent'", dir.file("Nonexistent.so") + ": not found", "korvel/modules/Nonexistent.so"}},
      {"Broken", {"backend 'Broken'", dir.file("Broken.so") + ": "}},
      {"NotAModule", {"not a Korvel module"}},
      {"../etc", {"Invalid backend name '../etc'"}},
  };
  for (const auto& c : cases) {
    try {
      Korvel::create({.backend = c.backend, .moduleDirectory = dir.path().string()});
      ADD_FAILURE() << c.backend << " loaded";
    } catch (const InvalidArgumentException& e) {
      for (const auto& f : c.fragments) EXPECT_NE(e.reason().find(f), std::string::npos) << c.backend << ": " << e.reason();
    }
  }
}

TEST(ModuleLoading, HooksABackendLacksFailClearly) {
  test::TempDir dir;
  auto db = Korvel::create({.backend = "SQLite", .database = dir.file("x.db")});
  try {
    db->listen("jobs");
    ADD_FAILURE();
  } catch (const InternalInconsistencyException& e) {
    EXPECT_EQ(e.reason(), "The SQLite backend does not implement backendListen");
  }
  EXPECT_TRUE(db->listenedNames().empty()) << "nothing listens for it; a reconnection must not try again";
}

TEST(Pool, LeasesAreExclusiveAcrossThreads) {
  test::TempDir dir;
  {
    auto setup = Korvel::create({.backend = "SQLite", .database = dir.file("pool.db")});
    setup->execute("CREATE TABLE hits (thread INTEGER, n INTEGER)");
  }
  KorvelPool pool({.backend = "SQLite", .database = dir.file("pool.db")}, 3);
  std::atomic<int> inUse{0}, maxInUse{0}, timeouts{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        auto lease = pool.acquire(10.0);
        if (!lease) { ++timeouts; continue; }
        int now = ++inUse;
        int seen = maxInUse.load();
        while (now > seen && !maxInUse.compare_exchange_weak(seen, now)) {}
        // SQLite allows one writer at a time; a busy file is a failure that
        // the test tolerates, since the point is the lease bookkeeping.
        try { lease->execute("INSERT INTO hits VALUES (", t, ", ", i, ")"); } catch (const SQLException&) {}
        --inUse;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(timeouts.load(), 0);
  EXPECT_LE(maxInUse.load(), 3);
  EXPECT_EQ(pool.idleCount(), 3u);
}

TEST(Pool, AcquireTimesOutAndPurgeDisconnectsIdleClients) {
  test::TempDir dir;
  KorvelPool pool({.backend = "SQLite", .database = dir.file("p.db")}, 1, /*idleTimeout=*/3600);
  {
    auto lease = pool.acquire(1);
    ASSERT_TRUE(lease);
    lease->execute("CREATE TABLE t (a)");
    EXPECT_FALSE(pool.acquire(0.05)) << "the only client is leased";
  }
  auto lease = pool.acquire(1);
  Korvel& client = *lease;
  lease.release();
  EXPECT_TRUE(client.connected());
  Korvel::purgeConnections();  // idle for less than the time-out: kept
  EXPECT_TRUE(client.connected());
  Korvel::purgeConnections(Date::now()->timeIntervalSinceReferenceDate() + 1);
  EXPECT_FALSE(client.connected());
}

TEST(Quickstart, ExampleProgramRuns) {
  test::TempDir dir;
  auto result = test::run(std::string(KORVEL_EXAMPLE_PATH) + " " + dir.file("q.db"));
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "1 pear 1.25 4\n");
}

}  // namespace
}  // namespace korvel
