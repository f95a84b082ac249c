// What the PostgreSQL benchmarks share: the server that the KORVEL_PG_*
// variables name (scripts/bench starts a throwaway one), raw libpq
// connections and results that end on every way out, and the settings of a
// Korvel client of the same server. Both sides connect as the trust user.
#pragma once

#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>

#include "korvel/korvel.h"

namespace bench {

inline std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

// A raw connection; the benchmark stops when it cannot be made.
struct Connection {
  PGconn* c = nullptr;
  Connection() {
    const std::string info = "host=" + env("KORVEL_PG_HOST") + " port=" + env("KORVEL_PG_PORT") +
                             " dbname=" + env("KORVEL_PG_DATABASE") + " user=" + env("KORVEL_PG_USER_TRUST");
    c = PQconnectdb(info.c_str());
    if (PQstatus(c) != CONNECTION_OK) {
      std::fprintf(stderr, "connect: %s", PQerrorMessage(c));
      std::exit(1);
    }
  }
  ~Connection() { PQfinish(c); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
};

struct Result {
  PGresult* r;
  explicit Result(PGresult* result) : r(result) {}
  ~Result() { PQclear(r); }
  Result(const Result&) = delete;
  Result& operator=(const Result&) = delete;
};

// Runs a statement; the benchmark stops when it fails.
inline void exec(PGconn* c, const std::string& sql) {
  Result r(PQexec(c, sql.c_str()));
  if (PQresultStatus(r.r) != PGRES_COMMAND_OK && PQresultStatus(r.r) != PGRES_TUPLES_OK) {
    std::fprintf(stderr, "%s: %s", sql.c_str(), PQerrorMessage(c));
    std::exit(1);
  }
}

inline korvel::KorvelConfig korvelConfig(std::optional<std::string> clientName = std::nullopt) {
  return {.backend = "Postgres",
          .database = env("KORVEL_PG_DATABASE") + "@" + env("KORVEL_PG_HOST") + ":" + env("KORVEL_PG_PORT"),
          .user = env("KORVEL_PG_USER_TRUST"),
          .clientName = std::move(clientName)};
}

}  // namespace bench
