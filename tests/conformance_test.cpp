// Behaviour that every backend shares, run once per backend. Each backend
// supplies only how to reach it and the few answers in which engines differ;
// engine-only cases live in that backend's own test file.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "korvel/korvel.h"
#include "support/test_support.h"

namespace korvel {
namespace {

struct Backend {
  std::string name;
  // The configuration of a client, or nothing when the engine is not there.
  std::function<std::optional<KorvelConfig>(const test::TempDir&)> config;
  std::string blobType;     // column type for byte buffers
  bool countsRows;          // execute returns affected rows (else -1)
  bool nullIsMarker;        // SQL NULL comes back as the null marker (else empty)
};

void PrintTo(const Backend& b, std::ostream* os) { *os << b.name; }

class Conformance : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    auto config = GetParam().config(dir);
    if (!config) {
      if (test::underCI()) FAIL() << GetParam().name << " server settings missing under CI";
      GTEST_SKIP() << GetParam().name << " server not configured (run scripts/test)";
    }
    db = Korvel::create(*config);
    db->execute("DROP TABLE IF EXISTS conformance");
    db->execute("CREATE TABLE conformance (id INTEGER, name VARCHAR(40), data ", GetParam().blobType, ")");
  }
  void TearDown() override {
    if (db) {
      try { db->execute("DROP TABLE IF EXISTS conformance"); } catch (const Exception&) {}
    }
  }
  test::TempDir dir;
  std::unique_ptr<Korvel> db;
};

TEST_P(Conformance, ConnectDisconnectReconnect) {
  EXPECT_TRUE(db->connected());
  db->disconnect();
  EXPECT_FALSE(db->connected());
  EXPECT_TRUE(db->connect());
  EXPECT_EQ(db->query("SELECT 1 AS one")->size(), 1u);
}

TEST_P(Conformance, StatementsAndQueriesRoundTripValues) {
  std::int64_t n = db->execute("INSERT INTO conformance VALUES (1, ", db->quote(Value::text("o'neil \\ x")), ", NULL), (2, ",
                               db->quote(Value::text("\xc3\xa9t\xc3\xa9")), ", NULL)");
  EXPECT_EQ(n, GetParam().countsRows ? 2 : -1);
  auto rows = db->query("SELECT id, name, data FROM conformance ORDER BY id");
  ASSERT_EQ(rows->size(), 2u);
  const Record& r0 = *(*rows)[0].asRecord();
  EXPECT_EQ(r0["id"].description(), "1");
  EXPECT_EQ(r0["name"].text(), "o'neil \\ x");
  EXPECT_EQ((*(*rows)[1].asRecord())["name"].text(), "\xc3\xa9t\xc3\xa9");
  EXPECT_EQ(r0["data"].isNull(), GetParam().nullIsMarker);
  EXPECT_EQ(r0["data"].isEmpty(), !GetParam().nullIsMarker);
}

TEST_P(Conformance, BLOBMarkersCarryEveryByte) {
  std::string everyByte;
  for (int i = 0; i < 256; ++i) everyByte.push_back(static_cast<char>(i));
  db->execute("INSERT INTO conformance VALUES (1, 'a', ", Value::bytes(everyByte), "), (2, 'b', ",
              Value::bytes("", 0), ")");
  auto rows = db->query("SELECT data FROM conformance ORDER BY id");
  ASSERT_EQ(rows->size(), 2u);
  const Bytes* first = (*(*rows)[0].asRecord())["data"].asBytes();
  const Bytes* second = (*(*rows)[1].asRecord())["data"].asBytes();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->view(), everyByte);
  EXPECT_EQ(second->length(), 0u);
}

TEST_P(Conformance, ErrorsAreSQLExceptionsAndKeepTheConnection) {
  EXPECT_THROW(db->execute("INSERT INTO no_such_table VALUES (1)"), SQLException);
  EXPECT_THROW(db->query("SELECT * FROM no_such_table"), SQLException);
  EXPECT_TRUE(db->connected());
  EXPECT_EQ(db->query("SELECT 1 AS one")->size(), 1u);
  EXPECT_THROW(db->execute(""), InternalInconsistencyException);
}

TEST_P(Conformance, TransactionsCommitAndRollBack) {
  db->begin();
  db->execute("INSERT INTO conformance VALUES (1, 'gone', NULL)");
  db->rollback();
  db->begin();
  db->execute("INSERT INTO conformance VALUES (2, 'kept', NULL)");
  db->commit();
  auto rows = db->query("SELECT name FROM conformance");
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_EQ((*(*rows)[0].asRecord())["name"].text(), "kept");
}

INSTANTIATE_TEST_SUITE_P(
    Backends, Conformance,
    ::testing::Values(Backend{"SQLite",
                              [](const test::TempDir& dir) -> std::optional<KorvelConfig> {
                                return KorvelConfig{.backend = "SQLite", .database = dir.file("conformance.db")};
                              },
                              "BLOB", false, false},
                      Backend{"Postgres",
                              [](const test::TempDir&) -> std::optional<KorvelConfig> {
                                auto server = test::pgServer();
                                if (!server) return std::nullopt;
                                return KorvelConfig{.backend = "Postgres",
                                                    .database = server->tcpDatabase(server->database),
                                                    .user = server->userPw,
                                                    .password = server->password,
                                                    .clientName = "conformance"};
                              },
                              "bytea", true, true}),
    [](const ::testing::TestParamInfo<Backend>& info) { return info.param.name; });

}  // namespace
}  // namespace korvel
