// Shared helpers of the test programs: temporary directories, captured log
// lines, and the settings of the test servers that scripts/test starts.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "korvel/korvel.h"

namespace korvel::test {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Collects the lines written to a client's debug sink or to the process log
// while it lives.
class CapturedLog {
 public:
  CapturedLog() = default;
  // Captures the process log until destroyed.
  static std::unique_ptr<CapturedLog> processLog();
  // Captures one client's debug lines.
  void attach(Korvel& client);
  std::vector<std::string> lines() const;
  bool contains(const std::string& fragment) const;
  void clear();
  void add(std::string_view line);
  ~CapturedLog();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  bool ownsProcessLog_ = false;
};

// The value of an environment variable, or nothing.
std::optional<std::string> env(const char* name);

// True when running under CI (CI=true): tests that need a server then fail
// instead of skipping when the server is not there.
bool underCI();

// Runs a command through the shell; gives its exit status and standard output.
struct CommandResult {
  int status = -1;
  std::string out;
  std::string err;
};
CommandResult run(const std::string& command, const std::string& input = "");
// The text as one shell word, in apostrophes.
std::string shellQuote(const std::string& text);

// The throwaway PostgreSQL server of scripts/pg-server, from its KORVEL_PG_*
// variables; nothing when they are not set.
struct PgServer {
  std::string host, port, socketDir, database, userPw, password, userTrust, data, ctl, bin;
  // name@host:port over TCP, or over the socket directory.
  std::string tcpDatabase(const std::string& db) const { return db + "@" + host + ":" + port; }
  std::string socketDatabase(const std::string& db) const { return db + "@" + socketDir + ":" + port; }
  // The server's own psql, or the one on the PATH.
  std::string psqlPath() const { return bin.empty() ? std::string("psql") : bin + "/psql"; }
};
std::optional<PgServer> pgServer();

// A name no other test process uses at the same time (channels and
// application names are server-wide).
std::string uniqueName(const std::string& stem);

// Runs the calling thread's event loop until `done` holds or the time is up.
bool pumpUntil(const std::function<bool()>& done, double seconds = 10);

}  // namespace korvel::test

// Declares `var`, the test server, in a test body or SetUp; without a server
// the test is skipped, or fails under CI, where the server must be there.
#define KORVEL_REQUIRE_PG_SERVER(var)                                                                 \
  const std::optional<::korvel::test::PgServer> var##_opt = ::korvel::test::pgServer();               \
  if (!var##_opt) {                                                                                  \
    if (::korvel::test::underCI()) FAIL() << "KORVEL_PG_* not set: start a server with scripts/pg-server"; \
    GTEST_SKIP() << "no PostgreSQL server: eval \"$(scripts/pg-server start DIR)\" to run this test"; \
  }                                                                                                  \
  const ::korvel::test::PgServer& var = *var##_opt
