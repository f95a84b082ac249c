// The PostgreSQL backend against a real server: connection strings and their
// masking, connecting and its set-up, statements and their counts, errors
// and lost connections, BLOB markers, notifications and listening.
//
// The server comes from scripts/pg-server (its KORVEL_PG_* settings); the
// server-restart case starts a private one, so that restarting it disturbs
// no test running beside it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <iostream>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include "../Postgres/connection_string.h"
#include "korvel/korvel.h"
#include "korvel/notification.h"
#include "korvel/runloop.h"
#include "support/test_support.h"

namespace korvel {
namespace {

using test::CapturedLog;
using test::env;
using test::run;
using test::TempDir;
using test::pumpUntil;
using test::uniqueName;
using Clock = std::chrono::steady_clock;

// ---- Connection strings (no server) --------------------------------------------

TEST(PostgresConnectionString, QuotesBackslashesFirstThenApostrophes) {
  struct Case {
    const char* value;
    const char* quoted;
  } cases[] = {
      {"", "''"},
      {"plain", "'plain'"},
      {"a'b\\c", "'a\\'b\\\\c'"},
      {"\\'", "'\\\\\\''"},
      {"pa's\\s wd", "'pa\\'s\\\\s wd'"},
      {"two  spaces", "'two  spaces'"},
  };
  for (const auto& c : cases) EXPECT_EQ(postgres::quoteConnectionValue(c.value), c.quoted) << c.value;
}

TEST(PostgresConnectionString, DatabaseSettingTable) {
  struct Case {
    const char* database;
    const char* begins;
  } cases[] = {
      {"sales", "dbname='sales'"},
      {"sales@dbhost:5432", "dbname='sales' host='dbhost' port='5432'"},
      {"sales@192.168.1.9", "dbname='sales' hostaddr='192.168.1.9'"},
      {"sales@9dbhost", "dbname='sales' hostaddr='9dbhost'"},
      {"sales@", "dbname='sales' host=''"},
      {"@dbhost", "dbname='' host='dbhost'"},
      {"sales:5432", "dbname='sales:5432'"},
      {"sales@/tmp/sock:5433", "dbname='sales' host='/tmp/sock' port='5433'"},
      {"sales@h:", "dbname='sales' host='h' port=''"},
      {"o'ne\\il@h", "dbname='o\\'ne\\\\il' host='h'"},
      {"a@b@c:1:2", "dbname='a' host='b@c' port='1:2'"},
  };
  for (const auto& c : cases) {
    postgres::ConnectionSettings settings;
    settings.database = c.database;
    const auto string = postgres::buildConnectionString(settings);
    EXPECT_EQ(string.sent, c.begins) << c.database;
    EXPECT_EQ(string.shown, string.sent) << "no password, nothing masked: " << c.database;
  }
}

TEST(PostgresConnectionString, ParametersInOrderAndPasswordMasked) {
  postgres::ConnectionSettings settings;
  settings.database = "accounts@10.0.0.5:5433";
  settings.user = "o'neil";
  settings.password = "pa's\\s wd";
  settings.clientName = "app\\1";
  settings.requireSSL = true;
  const auto string = postgres::buildConnectionString(settings);
  EXPECT_EQ(string.sent,
            "dbname='accounts' hostaddr='10.0.0.5' port='5433' user='o\\'neil' password='pa\\'s\\\\s wd' "
            "application_name='app\\\\1' sslmode='require'");
  EXPECT_EQ(string.shown,
            "dbname='accounts' hostaddr='10.0.0.5' port='5433' user='o\\'neil' password='******' "
            "application_name='app\\\\1' sslmode='require'");
}

TEST(PostgresConnectionString, EveryPasswordShowsTheSameMask) {
  for (const char* password : {"", "x", "a much longer password than six", "'", "\\", "' password='evil"}) {
    postgres::ConnectionSettings settings;
    settings.database = "db";
    settings.password = password;
    const auto string = postgres::buildConnectionString(settings);
    EXPECT_EQ(string.shown, "dbname='db' password='******'") << password;
    EXPECT_EQ(string.sent, "dbname='db' password=" + postgres::quoteConnectionValue(password));
  }
}

TEST(PostgresConnectionString, EmptyUserAndClientNameArePassedAsEmpty) {
  postgres::ConnectionSettings settings;
  settings.database = "db";
  settings.user = "";
  settings.clientName = "";
  EXPECT_EQ(postgres::buildConnectionString(settings).sent, "dbname='db' user='' application_name=''");
}

// ---- The test server ------------------------------------------------------------------

using Server = test::PgServer;

// Runs one statement through psql as the trust user; gives its output.
std::string psql(const Server& srv, const std::string& db, const std::string& sql) {
  std::string command = srv.psqlPath() + " -X -A -t -q -h '" + srv.socketDir + "' -p " + srv.port + " -U " +
                        srv.userTrust + " -d " + db + " -c \"" + sql + "\"";
  auto result = run(command);
  EXPECT_EQ(result.status, 0) << command << "\n" << result.err;
  std::string out = result.out;
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

std::unique_ptr<Korvel> passwordClient(const Server& srv, const std::string& appName, unsigned debugging = 0,
                                       std::optional<std::string> password = std::nullopt) {
  KorvelConfig config;
  config.backend = "Postgres";
  config.database = srv.tcpDatabase(srv.database);
  config.user = srv.userPw;
  config.password = password ? *password : srv.password;
  config.clientName = appName;
  config.name = "pwclient";
  config.debugging = debugging;
  return Korvel::create(config);
}

std::unique_ptr<Korvel> trustClient(const Server& srv, const std::string& db = "") {
  KorvelConfig config;
  config.backend = "Postgres";
  config.database = srv.socketDatabase(db.empty() ? srv.database : db);
  config.user = srv.userTrust;
  config.clientName = uniqueName("korvel_trust");
  config.name = "trustclient";
  return Korvel::create(config);
}

// How many server sessions carry this application name.
std::int64_t sessionsNamed(Korvel& admin, const std::string& appName) {
  return admin.execute("SELECT 1 FROM pg_stat_activity WHERE application_name = ", admin.quote(Value::text(appName)));
}

// Ends the server sessions that carry this application name; gives how many.
std::int64_t terminateSessions(Korvel& admin, const std::string& appName) {
  return admin.execute("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE application_name = ",
                       admin.quote(Value::text(appName)));
}

// Checks a condition on the server: the statement fails when it does not hold.
std::string assertSQL(const std::string& condition, const std::string& message) {
  return "DO $$ BEGIN IF NOT (" + condition + ") THEN RAISE EXCEPTION '" + message + "'; END IF; END $$";
}

void pumpFor(double seconds) {
  pumpUntil([] { return false; }, seconds);
}

// The readable-descriptor registrations in a loop (the tests give each loop
// no descriptor but the client's socket).
std::uint32_t registrations(RunLoop& loop) {
  std::uint32_t total = 0;
  for (int fd = 0; fd < 1024; ++fd) total += loop.eventRegistrations(fd, RunLoopEventReadable);
  return total;
}

// A client's debug lines, captured until the capture goes; the client may
// outlive it (its destructor writes lines too).
class ClientLog : public CapturedLog {
 public:
  explicit ClientLog(Korvel& client) : client_(client) { attach(client); }
  ~ClientLog() { client_.setDebugSink({}); }

 private:
  Korvel& client_;
};

// ---- Connecting -------------------------------------------------------------------------

TEST(PostgresConnect, PasswordConnectionShowsOnlyTheMaskedString) {
  KORVEL_REQUIRE_PG_SERVER(srv);
  const std::string app = uniqueName("korvel_mask");
  auto client = passwordClient(srv, app, 1);
  ClientLog log(*client);
  ASSERT_TRUE(client->connect());
  EXPECT_TRUE(client->connected());
  const std::string shown = "dbname='" + srv.database + "' hostaddr='" + srv.host + "' port='" + srv.port +
                            "' user='" + srv.userPw + "' password='******' application_name='" + app + "'";
  EXPECT_TRUE(log.contains("Connect to '" + shown + "' as pwclient (" + app + ")")) << ::testing::PrintToString(log.lines());
  EXPECT_TRUE(log.contains("Connected to 'pwclient'"));
  client->disconnect();
  EXPECT_FALSE(client->connected());
  EXPECT_TRUE(log.contains("Disconnecting client " + app));
  EXPECT_TRUE(log.contains("Disconnected client " + app));
  for (const std::string& line : log.lines()) {
    EXPECT_EQ(line.find(srv.password), std::string::npos) << line;
    EXPECT_EQ(line.find(postgres::quoteConnectionValue(srv.password)), std::string::npos) << line;
  }
}

TEST(PostgresConnect, FailuresShowTheMaskedStringAndAReconnectWorks) {
  KORVEL_REQUIRE_PG_SERVER(srv);
  auto client = passwordClient(srv, uniqueName("korvel_fail"), 0, std::string("wrong 'pass\\word"));
  ClientLog log(*client);
  EXPECT_FALSE(client->connect());
  EXPECT_FALSE(client->connected());
  EXPECT_TRUE(log.contains("Error connecting to 'pwclient' (dbname='" + srv.database + "'"));
  EXPECT_TRUE(log.contains("password='******'"));
  EXPECT_TRUE(log.contains("password authentication failed"));
  for (const std::string& line : log.lines()) EXPECT_EQ(line.find("pass\\"), std::string::npos) << line;

  // The failed attempt left the client idle: the right password connects.
  client->setPassword(srv.password);
  EXPECT_TRUE(client->connect());
  EXPECT_EQ(client->execute("SELECT 1"), 1);
}

TEST(PostgresConnect, SSLModeRequireFailsAgainstAServerWithoutSSL) {
  KORVEL_REQUIRE_PG_SERVER(srv);
  auto client = passwordClient(srv, uniqueName("korvel_ssl"));
  ClientLog log(*client);
  auto options = makeRef<Dictionary>();
  options->set("sslmode", Value::text("require"));
  client->setOptions(options);
  // The copy is the client's: changing the caller's dictionary changes nothing.
  options->set("sslmode", Value::text("disable"));
  EXPECT_FALSE(client->connect());
  EXPECT_TRUE(log.contains("sslmode='require'")) << ::testing::PrintToString(log.lines());
  EXPECT_TRUE(log.contains("password='******'"));
  EXPECT_TRUE(log.contains("Error connecting to 'pwclient'"));
  for (const std::string& line : log.lines()) EXPECT_EQ(line.find(srv.password), std::string::npos) << line;
  // The options stay in force for the next attempt...
  log.clear();
  EXPECT_FALSE(client->connect());
  EXPECT_TRUE(log.contains("sslmode='require'"));

  // ...until replaced: any other mode adds no parameter at all.
  auto other = makeRef<Dictionary>();
  other->set("sslmode", Value::text("verify-full"));
  client->setOptions(other);
  client->setDebugging(1);
  log.clear();
  EXPECT_TRUE(client->connect());
  EXPECT_FALSE(log.contains("sslmode")) << ::testing::PrintToString(log.lines());
}

TEST(PostgresConnect, NoDatabaseSettingMakesNoAttempt) {
  KorvelConfig config;
  config.backend = "Postgres";
  config.name = "nodb";
  auto client = Korvel::create(config);
  ClientLog log(*client);
  EXPECT_FALSE(client->connect());
  EXPECT_EQ(log.lines(), std::vector<std::string>{"Connect to 'nodb' with no user/password/database configured"});
}

TEST(PostgresConnect, DisconnectOfANeverConnectedClientWritesNothing) {
  KORVEL_REQUIRE_PG_SERVER(srv);
  auto client = passwordClient(srv, uniqueName("korvel_never"), 1);
  ClientLog log(*client);
  client->disconnect();
  EXPECT_FALSE(client->connected());
  EXPECT_TRUE(log.lines().empty()) << ::testing::PrintToString(log.lines());
}

TEST(PostgresConnect, ConnectingWhileConnectedMakesNoSecondConnection) {
  KORVEL_REQUIRE_PG_SERVER(srv);
  const std::string app = uniqueName("korvel_once");
  auto client = passwordClient(srv, app);
  auto admin = trustClient(srv);
  ASSERT_TRUE(client->connect());
  EXPECT_TRUE(client->backendConnect());
  EXPECT_TRUE(client->connect());
  EXPECT_EQ(sessionsNamed(*admin, app), 1);
}

TEST(PostgresConnect, EveryConnectionHasConformingStringsAndNoWarning) {
  KORVEL_REQUIRE_PG_SERVER(srv);
  auto admin = trustClient(srv);
  const std::string db = uniqueName("korvel_scs_off");
  admin->execute("CREATE DATABASE ", db, " OWNER ", srv.userPw);
  admin->execute("ALTER DATABASE ", db, " SET standard_conforming_strings = off");
  // The database really defaults to off for a client that sets nothing.
  EXPECT_EQ(psql(srv, db, "SHOW standard_conforming_strings"), "off");

  for (const std::string& database : {db, srv.database}) {
    KorvelConfig config;
    config.backend = "Postgres";
    config.database = srv.tcpDatabase(database);
    config.user = srv.userPw;
    config.password = srv.password;
    auto client = Korvel::create(config);
    ASSERT_TRUE(client->connect()) << database;
    EXPECT_NO_THROW(client->execute(assertSQL(
        "current_setting('standard_conforming_strings') = 'on' AND current_setting('escape_string_warning') = 'off' "
        "AND current_setting('client_encoding') = 'UTF8' AND length('a\\b') = 3",
        "string handling not set up")))
        << database;
  }
  admin->execute("DROP DATABASE ", db);
}

TEST(PostgresConnect, ARefusedClientEncodingClosesTheConnection) {
  KORVEL_REQUIRE_PG_SERVER(srv);
  auto admin = trustClient(srv);
  // The server has no conversion between UTF-8 and MULE_INTERNAL, so it
  // refuses the client encoding of a database in that encoding.
  const std::string db = uniqueName("korvel_mule");
  admin->execute("CREATE DATABASE ", db, " ENCODING 'MULE_INTERNAL' LC_COLLATE 'C' LC_CTYPE 'C' TEMPLATE template0");
  const std::string app = uniqueName("korvel_mule_app");
  KorvelConfig config;
  config.backend = "Postgres";
  config.database = srv.socketDatabase(db);
  config.user = srv.userTrust;
  config.clientName = app;
  config.name = "mule";
  auto client = Korvel::create(config);
  ClientLog log(*client);
  EXPECT_FALSE(client->connect());
  EXPECT_FALSE(client->connected());
  EXPECT_TRUE(log.contains("Error setting UTF-8 with 'mule' (dbname='" + db + "'")) << ::testing::PrintToString(log.lines());
  // The server session ends a moment after the client closed it.
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (sessionsNamed(*admin, app) != 0 && Clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(sessionsNamed(*admin, app), 0);
  admin->execute("DROP DATABASE ", db);
}

// ---- Statements -------------------------------------------------------------------------

class PostgresStatements : public ::testing::Test {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_PG_SERVER(srv);
    srv_ = srv;
    app_ = uniqueName("korvel_stmt");
    client_ = passwordClient(*srv_, app_);
    table_ = uniqueName("korvel_t");
  }
  void TearDown() override {
    if (client_) {
      try {
        client_->execute("DROP TABLE IF EXISTS ", table_);
      } catch (const std::exception&) {
      }
    }
  }
  std::optional<Server> srv_;
  std::string app_, table_;
  std::unique_ptr<Korvel> client_;
};

TEST_F(PostgresStatements, CountsFromTheCommandTag) {
  // Statements connect on demand.
  EXPECT_FALSE(client_->connected());
  struct Case {
    std::string sql;
    std::int64_t count;
  } cases[] = {
      {"CREATE TABLE " + table_ + " (id integer, name text)", 0},
      {"INSERT INTO " + table_ + " VALUES (1, 'a'), (2, 'b'), (3, 'c')", 3},
      {"UPDATE " + table_ + " SET name = 'x'", 3},
      {"DELETE FROM " + table_ + " WHERE id > 10", 0},
      {"SELECT * FROM " + table_ + " WHERE id < 3", 2},
      {"DELETE FROM " + table_ + " WHERE id = 3", 1},
  };
  for (const auto& c : cases) EXPECT_EQ(client_->execute(c.sql), c.count) << c.sql;
  EXPECT_TRUE(client_->connected());

  // A literal statement behaves exactly like plain text.
  const std::string sql = "UPDATE " + table_ + " SET name = 'y'";
  EXPECT_EQ(client_->executeStatement({KorvelNewLiteral(sql.data(), sql.size())}), 2);
}

TEST_F(PostgresStatements, EmptyStatementIsRefusedBeforeAnythingIsSent) {
  try {
    client_->execute("");
    FAIL() << "no exception";
  } catch (const InternalInconsistencyException& e) {
    EXPECT_EQ(e.reason(), "Statement produced null string");
  }
  EXPECT_FALSE(client_->connected());
}

TEST_F(PostgresStatements, ErrorsKeepTheConnectionOpen) {
  ASSERT_TRUE(client_->connect());
  struct Case {
    std::string sql;
    std::string reasonHas;
  } cases[] = {
      {"SELEC 1", "syntax error"},
      {"   ", "Error executing    : "},
      {"-- only a comment", "Error executing -- only a comment: "},
      {"SELECT * FROM " + table_ + "_missing", "does not exist"},
  };
  for (const auto& c : cases) {
    try {
      client_->execute(c.sql);
      ADD_FAILURE() << "no exception for " << c.sql;
    } catch (const SQLConnectionException& e) {
      ADD_FAILURE() << "connection exception for " << c.sql << ": " << e.what();
    } catch (const SQLException& e) {
      EXPECT_EQ(e.name(), kSQLException);
      EXPECT_EQ(e.reason().rfind("Error executing " + c.sql + ": ", 0), 0u) << e.reason();
      EXPECT_NE(e.reason().find(c.reasonHas), std::string::npos) << e.reason();
    }
    EXPECT_TRUE(client_->connected()) << c.sql;
  }
  EXPECT_EQ(client_->execute("SELECT 1"), 1);
}

TEST_F(PostgresStatements, AKilledBackendGivesAConnectionExceptionAtOnce) {
  ASSERT_TRUE(client_->connect());
  auto admin = trustClient(*srv_);
  ASSERT_EQ(terminateSessions(*admin, app_), 1);
  const auto killed = Clock::now();
  try {
    client_->execute("SELECT 1");
    FAIL() << "no exception";
  } catch (const SQLConnectionException& e) {
    EXPECT_EQ(e.name(), kSQLConnectionException);
    EXPECT_EQ(e.reason().rfind("Error executing SELECT 1: ", 0), 0u) << e.reason();
  }
  EXPECT_LT(std::chrono::duration<double>(Clock::now() - killed).count(), 0.5);
  EXPECT_FALSE(client_->connected());
  // The next statement connects again.
  EXPECT_EQ(client_->execute("SELECT 1"), 1);
  EXPECT_TRUE(client_->connected());
}

TEST_F(PostgresStatements, ByteBuffersReplaceTheMarkersInOrder) {
  client_->execute("CREATE TABLE ", table_, " (id integer, data bytea)");
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const std::string tricky = "x\\'y'''?'\\\\";  // backslashes, apostrophes and a marker's text
  EXPECT_EQ(client_->execute("INSERT INTO ", table_, " VALUES (1, ", Value::bytes(all), "), (2, ",
                             Value::bytes(tricky), "), (3, ", Value::bytes("", 0), ")"),
            3);
  // The server compares what it stored with the same bytes written in hex,
  // which does not go through the escaping under test.
  auto hex = [](const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 15]);
    }
    return out;
  };
  const std::string check = "(SELECT data FROM " + table_ + " WHERE id = 1) = decode('" + hex(all) +
                            "', 'hex') AND (SELECT data FROM " + table_ + " WHERE id = 2) = decode('" + hex(tricky) +
                            "', 'hex') AND (SELECT data FROM " + table_ + " WHERE id = 3) = ''::bytea";
  EXPECT_NO_THROW(client_->execute(assertSQL(check, "stored bytes differ")));
  EXPECT_EQ(psql(*srv_, srv_->database, "SELECT encode(data, 'hex') FROM " + table_ + " WHERE id = 2"), hex(tricky));

  // A byte buffer in a failed statement never shows in the reason.
  try {
    client_->execute("INSERT INTO ", table_, " VALUES ('not a number', ", Value::bytes("secret"), ")");
    FAIL() << "no exception";
  } catch (const SQLException& e) {
    EXPECT_NE(e.reason().find("'?'''?'"), std::string::npos) << e.reason();
    EXPECT_EQ(e.reason().find("secret"), std::string::npos) << e.reason();
  }
}

TEST_F(PostgresStatements, EscapedFormOfByteBuffers) {
  struct Case {
    std::string bytes;
    std::string escaped;
  } cases[] = {
      {"", "E''"},
      {std::string("\x00", 1), "E'\\\\000'"},
      {"'", "E'\\\\047'"},
      {"\\", "E'\\\\\\\\'"},
      {"\x7f", "E'\\\\177'"},
      {"\xff", "E'\\\\377'"},
      {" ~", "E' ~'"},
      {std::string("a\x00" "b\n", 4), "E'a\\\\000b\\\\012'"},
  };
  for (const auto& c : cases) {
    const Ref<Bytes> blob = Bytes::make(c.bytes.data(), c.bytes.size());
    std::string out(client_->lengthOfEscapedBLOB(*blob), '?');
    EXPECT_EQ(client_->copyEscapedBLOB(*blob, out.data()), out.size());
    EXPECT_EQ(out, c.escaped);
  }
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  const Ref<Bytes> blob = Bytes::make(all.data(), all.size());
  std::string out(client_->lengthOfEscapedBLOB(*blob) + 8, '#');
  const std::uint32_t written = client_->copyEscapedBLOB(*blob, out.data());
  EXPECT_EQ(written, client_->lengthOfEscapedBLOB(*blob));
  EXPECT_EQ(out.substr(written), std::string(8, '#')) << "wrote past its length";
}

TEST_F(PostgresStatements, ACommandRunAsAQueryProducesNoResult) {
  try {
    client_->query("SET search_path = public");
    FAIL() << "no exception";
  } catch (const SQLException& e) {
    EXPECT_EQ(e.reason(), "Error executing SET search_path = public: query produced no result");
  }
  EXPECT_TRUE(client_->connected());
}

// ---- Notifications ------------------------------------------------------------------------

// Collects the notifications an observer receives, with the thread each
// arrived in.
struct Received {
  mutable std::mutex mutex;
  std::vector<Ref<Notification>> notifications;
  std::vector<std::thread::id> threads;

  NotificationObserver observer() {
    return [this](const Notification& n) {
      std::lock_guard<std::mutex> guard(mutex);
      notifications.push_back(Ref<Notification>::share(const_cast<Notification*>(&n)));
      threads.push_back(std::this_thread::get_id());
    };
  }
  std::size_t size() const {
    std::lock_guard<std::mutex> guard(mutex);
    return notifications.size();
  }
  Ref<Notification> at(std::size_t i) const {
    std::lock_guard<std::mutex> guard(mutex);
    return notifications.at(i);
  }
};

const Value& info(const Ref<Notification>& n, const char* key) { return n->userInfo()->get(key); }

class PostgresNotifications : public ::testing::Test {
 protected:
  void SetUp() override {
    KORVEL_REQUIRE_PG_SERVER(srv);
    srv_ = srv;
    app_ = uniqueName("korvel_listener");
    listener_ = passwordClient(*srv_, app_);
    sender_ = trustClient(*srv_);
    channel_ = uniqueName("korvel_ch");
    observer_ = NotificationCenter::defaultCenter().observe(channel_, listener_.get(), received_.observer());
  }
  void TearDown() override {
    observer_.reset();
    // Whatever is still queued for the main thread goes before the clients.
    pumpFor(0.05);
  }
  std::optional<Server> srv_;
  std::string app_, channel_;
  std::unique_ptr<Korvel> listener_, sender_;
  Received received_;
  ScopedObserver observer_;
};

TEST_F(PostgresNotifications, OwnNotifyIsLocalAndDrainedAfterTheStatement) {
  listener_->listen(channel_);
  listener_->setDebugging(1);
  ClientLog log(*listener_);
  listener_->notify(channel_, std::string("it's done"));
  // The main thread's loop was not running while the statement drained: the
  // notification waits for it.
  EXPECT_EQ(received_.size(), 0u);
  EXPECT_TRUE(log.contains("Notifying (main thread): "));
  ASSERT_TRUE(pumpUntil([&] { return received_.size() == 1; }));
  const auto n = received_.at(0);
  EXPECT_EQ(n->name(), channel_);
  EXPECT_EQ(n->sender(), listener_.get());
  EXPECT_EQ(info(n, "Payload"), Value::text("it's done"));
  EXPECT_EQ(info(n, "Local"), Value::boolean(true));
  EXPECT_EQ(info(n, "Async"), Value::boolean(false));
  EXPECT_EQ(received_.threads.at(0), std::this_thread::get_id());
  EXPECT_TRUE(log.contains("Notified (database): "));
}

TEST_F(PostgresNotifications, DuplicatesInOneDrainAreDropped) {
  listener_->listen(channel_);
  // Separate statements, so that the server does not fold them itself.
  for (const char* payload : {"a", "a", "b", "a", "b"})
    sender_->execute("NOTIFY ", channel_, ", ", sender_->quote(Value::text(payload)));
  sender_->execute("NOTIFY ", channel_);
  sender_->execute("NOTIFY ", channel_);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  listener_->execute("SELECT 1");
  pumpFor(0.3);
  ASSERT_EQ(received_.size(), 3u);
  EXPECT_EQ(info(received_.at(0), "Payload"), Value::text("a"));
  EXPECT_EQ(info(received_.at(1), "Payload"), Value::text("b"));
  // No payload: an empty text, not a missing key.
  EXPECT_EQ(info(received_.at(2), "Payload"), Value::text(""));
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(info(received_.at(i), "Local"), Value::boolean(false));
    EXPECT_EQ(info(received_.at(i), "Async"), Value::boolean(false));
  }
}

TEST_F(PostgresNotifications, TheWatcherDrainsWhileTheClientIdles) {
  listener_->listen(channel_);
  listener_->setDebugging(1);
  ClientLog log(*listener_);
  pumpFor(0.05);
  sender_->notify(channel_, std::string("from afar"));
  ASSERT_TRUE(pumpUntil([&] { return received_.size() == 1; }, 5));
  const auto n = received_.at(0);
  EXPECT_EQ(info(n, "Payload"), Value::text("from afar"));
  EXPECT_EQ(info(n, "Local"), Value::boolean(false));
  EXPECT_EQ(info(n, "Async"), Value::boolean(true));
  EXPECT_TRUE(log.contains("Notifying (receiving thread): "));
}

TEST_F(PostgresNotifications, AFloodIsHandedOverInThousands) {
  listener_->listen(channel_);
  sender_->execute("SELECT pg_notify(", sender_->quote(Value::text(channel_)),
                   ", g::text) FROM generate_series(1, 2500) g");
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  auto processLog = CapturedLog::processLog();
  listener_->setDebugging(1);
  ClientLog log(*listener_);
  listener_->execute("SELECT 1");
  listener_->setDebugging(0);

  std::vector<std::size_t> handOvers;
  for (const std::string& line : log.lines()) {
    if (line.rfind("Notifying (main thread): ", 0) != 0) continue;
    std::size_t count = 0;
    for (auto at = line.find("<Notification"); at != std::string::npos; at = line.find("<Notification", at + 1))
      ++count;
    handOvers.push_back(count);
  }
  EXPECT_EQ(handOvers, (std::vector<std::size_t>{1000, 1000, 500}));
  std::size_t warnings = 0;
  for (const std::string& line : processLog->lines())
    if (line == "WARNING ... 1000 dbase notifications in buffer (flushing)") ++warnings;
  EXPECT_EQ(warnings, 2u);

  ASSERT_TRUE(pumpUntil([&] { return received_.size() == 2500; }));
  for (std::size_t i = 0; i < 2500; ++i)
    ASSERT_EQ(info(received_.at(i), "Payload"), Value::text(std::to_string(i + 1))) << "out of order at " << i;
}

TEST_F(PostgresNotifications, ADrainingThreadWithoutARunningLoopHandsOverToTheMainThread) {
  listener_->listen(channel_);
  sender_->notify(channel_, std::string("p"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  std::thread worker([&] { listener_->execute("SELECT 1"); });
  worker.join();
  EXPECT_EQ(received_.size(), 0u);
  ASSERT_TRUE(pumpUntil([&] { return received_.size() == 1; }));
  EXPECT_EQ(received_.threads.at(0), std::this_thread::get_id());
  EXPECT_EQ(info(received_.at(0), "Async"), Value::boolean(false));
}

TEST_F(PostgresNotifications, AWatcherInAnotherThreadPostsThere) {
  std::promise<void> listening;
  std::atomic<bool> stop{false};
  std::thread::id workerId;
  std::thread worker([&] {
    workerId = std::this_thread::get_id();
    listener_->listen(channel_);
    listening.set_value();
    pumpUntil([&] { return stop.load(); }, 10);
  });
  listening.get_future().wait();
  sender_->notify(channel_, std::string("to the worker"));
  const bool arrived = [&] {
    const auto until = Clock::now() + std::chrono::seconds(5);
    while (received_.size() == 0 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return received_.size() == 1;
  }();
  // Listening from this thread's loop is refused while the worker's holds
  // the watcher; the server-side LISTEN is in force all the same.
  const std::string second = uniqueName("korvel_ch2");
  Received secondReceived;
  ScopedObserver secondObserver =
      NotificationCenter::defaultCenter().observe(second, listener_.get(), secondReceived.observer());
  try {
    listener_->listen(second);
    ADD_FAILURE() << "no exception";
  } catch (const InternalInconsistencyException& e) {
    EXPECT_EQ(e.reason(), "Observer added to the same client from another runloop");
  }
  sender_->notify(second, std::string("second"));
  const auto until = Clock::now() + std::chrono::seconds(5);
  while (secondReceived.size() == 0 && Clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  stop = true;
  worker.join();
  ASSERT_TRUE(arrived);
  EXPECT_EQ(received_.threads.at(0), workerId);
  EXPECT_EQ(info(received_.at(0), "Async"), Value::boolean(true));
  ASSERT_EQ(secondReceived.size(), 1u) << "the second LISTEN was not in force";
  EXPECT_EQ(secondReceived.threads.at(0), workerId);
  listener_->disconnect();
}

TEST_F(PostgresNotifications, RegistrationsFollowListenAndUnlisten) {
  Ref<RunLoop> loop = RunLoop::current();
  ASSERT_EQ(registrations(*loop), 0u);
  const std::string other = uniqueName("korvel_other");
  listener_->listen(channel_);
  listener_->listen(other);
  EXPECT_EQ(registrations(*loop), 2u);
  listener_->listen(channel_);  // again: one more registration
  EXPECT_EQ(registrations(*loop), 3u);
  listener_->unlisten(other);
  EXPECT_EQ(registrations(*loop), 2u);
  listener_->unlisten(channel_);  // the last name: every registration goes
  EXPECT_EQ(registrations(*loop), 0u);

  // UNLISTEN ran: nothing arrives for the channel any more.
  sender_->notify(channel_, std::string("late"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  listener_->execute("SELECT 1");
  pumpFor(0.2);
  EXPECT_EQ(received_.size(), 0u);

  // Disconnecting removes the watcher too.
  listener_->listen(channel_);
  EXPECT_EQ(registrations(*loop), 1u);
  listener_->disconnect();
  EXPECT_EQ(registrations(*loop), 0u);
}

TEST_F(PostgresNotifications, ANameTheServerRefusesIsNotKept) {
  EXPECT_THROW(listener_->listen("not one name"), SQLException);
  EXPECT_EQ(listener_->listenedNames().count("not one name"), 0u) << "it would be refused at every reconnection";
  EXPECT_TRUE(listener_->connected());
}

TEST_F(PostgresNotifications, AKilledIdleListenerReconnectsAndListensAgain) {
  listener_->listen(channel_);
  ClientLog log(*listener_);
  pumpFor(0.05);
  ASSERT_EQ(terminateSessions(*sender_, app_), 1);
  ASSERT_TRUE(pumpUntil([&] { return log.contains("Error consuming input for 'pwclient' - "); }, 5))
      << ::testing::PrintToString(log.lines());
  ASSERT_TRUE(pumpUntil([&] { return listener_->connected(); }, 5));
  EXPECT_EQ(sessionsNamed(*sender_, app_), 1);
  sender_->notify(channel_, std::string("after the kill"));
  ASSERT_TRUE(pumpUntil([&] { return received_.size() == 1; }, 5)) << "not listening again after reconnecting";
  EXPECT_EQ(info(received_.at(0), "Payload"), Value::text("after the kill"));
  EXPECT_EQ(info(received_.at(0), "Async"), Value::boolean(true));
}

TEST_F(PostgresNotifications, DestroyingAClientWhileAnotherThreadsLoopWatchesIt) {
  // A third thread starts destroying the client and waits for the lock this
  // thread holds; then the worker's watcher fires and waits for it too. The
  // waiting call must never reach the destroyed client.
  for (int round = 0; round < 3; ++round) {
    const std::string channel = uniqueName("korvel_gone");
    auto listener = passwordClient(*srv_, uniqueName("korvel_gone_app"));
    std::promise<void> listening;
    std::atomic<bool> stop{false};
    std::thread worker([&] {
      listener->listen(channel);
      listening.set_value();
      pumpUntil([&] { return stop.load(); }, 10);
    });
    listening.get_future().wait();
    auto held = listener->lock();
    std::thread destroyer([&] { listener.reset(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sender_->notify(channel, std::string("while held"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    held.unlock();
    destroyer.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop = true;
    worker.join();
  }
}

// The restart case runs its own server: restarting the shared one would
// break every test running beside it.
TEST(PostgresRestart, NotificationsArriveAgainAfterAServerRestart) {
  KORVEL_REQUIRE_PG_SERVER(shared);
  (void)shared;
  TempDir dir;
  const std::string script = std::string(KORVEL_SOURCE_DIR) + "/scripts/pg-server";
  auto started = run(script + " start '" + dir.file("pg") + "'");
  ASSERT_EQ(started.status, 0) << started.err;
  struct Stopper {
    std::string command;
    ~Stopper() { run(command); }
  } stopper{script + " stop '" + dir.file("pg") + "'"};
  // The settings are paths and words; only the pg_ctl prefix holds escaped
  // spaces.
  std::map<std::string, std::string> settings;
  std::istringstream lines(started.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("export ", 0) != 0) continue;
    const auto eq = line.find('=');
    std::string value;
    for (std::size_t i = eq + 1; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) ++i;
      value.push_back(line[i]);
    }
    settings[line.substr(7, eq - 7)] = value;
  }
  Server own{"127.0.0.1", settings["KORVEL_PG_PORT"], settings["KORVEL_PG_SOCKET_DIR"], settings["KORVEL_PG_DATABASE"],
             settings["KORVEL_PG_USER_PW"], settings["KORVEL_PG_PASSWORD"], settings["KORVEL_PG_USER_TRUST"],
             settings["KORVEL_PG_DATA"], settings["KORVEL_PG_CTL"], settings["KORVEL_PG_BIN"]};
  ASSERT_FALSE(own.port.empty()) << started.out;

  auto listener = trustClient(own);
  ClientLog log(*listener);
  const std::string channel = uniqueName("korvel_restart");
  Received received;
  ScopedObserver observer = NotificationCenter::defaultCenter().observe(channel, listener.get(), received.observer());
  listener->listen(channel);

  auto restart = std::async(std::launch::async, [&] {
    return run(own.ctl + " restart -D '" + own.data + "' -m fast -w -t 60 -l '" + dir.file("pg") + "/server.log'");
  });
  ASSERT_TRUE(pumpUntil([&] { return restart.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 60));
  const auto restarted = restart.get();
  ASSERT_EQ(restarted.status, 0) << restarted.out << restarted.err;
  EXPECT_TRUE(log.contains("Error consuming input for 'trustclient' - ")) << ::testing::PrintToString(log.lines());
  // The listener comes back by itself while its loop runs.
  ASSERT_TRUE(pumpUntil([&] { return listener->connected(); }, 20)) << ::testing::PrintToString(log.lines());

  auto sender = trustClient(own);
  sender->notify(channel, std::string("after restart"));
  ASSERT_TRUE(pumpUntil([&] { return received.size() == 1; }, 10)) << "not listening again after the restart";
  if (env("KORVEL_TEST_VERBOSE"))
    for (const std::string& line : log.lines()) std::cerr << line << "\n";
  EXPECT_EQ(info(received.at(0), "Payload"), Value::text("after restart"));
  EXPECT_EQ(info(received.at(0), "Async"), Value::boolean(true));
}

}  // namespace
}  // namespace korvel
