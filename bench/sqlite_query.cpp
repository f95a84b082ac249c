// Times Korvel's SQLite query of a whole table into records against a raw
// libsqlite3 loop that reads the same columns into a vector of plain structs,
// in the same run and on the same file. Prints the median of several rounds
// of each (the two alternate, so that drift of the machine hits both) and,
// last, the ratio line "ratio sqlite_query_vs_raw <korvel / raw>".
//
//   bench_sqlite [--rows N] [--rounds N]
#include <malloc.h>
#include <sys/wait.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_support.h"
#include "korvel/korvel.h"

namespace {

using bench::timeVariant;
using bench::median;
using bench::settleAllocator;
using bench::peakBytesPerRow;

struct Row {
  std::int64_t id;
  std::string name;
  double value;
  std::vector<unsigned char> data;
  std::int64_t category;
};

constexpr const char* kQuery = "SELECT id, name, value, data, category FROM items";

void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

void fill(const std::string& path, long rows) {
  sqlite3* db = nullptr;
  check(sqlite3_open(path.c_str(), &db), db, "open");
  check(sqlite3_exec(db,
                     "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                     "CREATE TABLE items (id INTEGER PRIMARY KEY, name TEXT, value REAL, data BLOB, category INTEGER);"
                     "BEGIN",
                     nullptr, nullptr, nullptr),
        db, "create");
  sqlite3_stmt* insert = nullptr;
  check(sqlite3_prepare_v2(db, "INSERT INTO items VALUES (?, ?, ?, ?, ?)", -1, &insert, nullptr), db, "prepare");
  unsigned char blob[16];
  char name[32];
  for (long i = 0; i < rows; ++i) {
    for (int b = 0; b < 16; ++b) blob[b] = static_cast<unsigned char>(i * 31 + b);
    int n = std::snprintf(name, sizeof name, "item-%ld", i % 5000);
    sqlite3_bind_int64(insert, 1, i);
    sqlite3_bind_text(insert, 2, name, n, SQLITE_STATIC);
    sqlite3_bind_double(insert, 3, static_cast<double>(i) * 0.25);
    sqlite3_bind_blob(insert, 4, blob, 16, SQLITE_STATIC);
    sqlite3_bind_int64(insert, 5, i % 7);
    check(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_close(db);
}

std::vector<Row> rawQuery(sqlite3* db) {
  std::vector<Row> rows;
  sqlite3_stmt* stmt = nullptr;
  check(sqlite3_prepare_v2(db, kQuery, -1, &stmt, nullptr), db, "prepare");
  while (sqlite3_step(stmt) == SQLITE_ROW) {
    Row r;
    r.id = sqlite3_column_int64(stmt, 0);
    const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1));
    r.name.assign(text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, 1)));
    r.value = sqlite3_column_double(stmt, 2);
    const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, 3));
    r.data.assign(blob, blob + sqlite3_column_bytes(stmt, 3));
    r.category = sqlite3_column_int64(stmt, 4);
    rows.push_back(std::move(r));
  }
  sqlite3_finalize(stmt);
  return rows;
}

}  // namespace

int main(int argc, char** argv) {
  long rows = 1000000;
  long rounds = 7;
  if (!bench::readOptions(argc, argv, {{"--rows", &rows}, {"--rounds", &rounds}})) return 2;
  std::string dir = (std::filesystem::temp_directory_path() / ("korvel-bench-" + std::to_string(getpid()))).string();
  std::filesystem::create_directories(dir);
  std::string path = dir + "/items.db";
  fill(path, rows);

  sqlite3* raw = nullptr;
  check(sqlite3_open(path.c_str(), &raw), raw, "open");
  auto client = korvel::Korvel::create({.backend = "SQLite", .database = path});
  client->connect();

  double rawBytes = peakBytesPerRow(rows, [&] { rawQuery(raw); });
  double korvelBytes = peakBytesPerRow(rows, [&] { client->query(kQuery); });

  // Warm the page cache and both code paths once before measuring.
  rawQuery(raw);
  client->query(kQuery);
  settleAllocator();

  std::vector<double> rawTimes, korvelTimes;
  for (long round = 0; round < rounds; ++round) {
    if (!timeVariant("raw", rows, rawTimes, [&] { return rawQuery(raw); },
                     [](const std::vector<Row>& result) { return result.size(); }) ||
        !timeVariant("korvel", rows, korvelTimes, [&] { return client->query(kQuery); },
                     [](const korvel::Ref<korvel::List>& result) { return result->size(); }))
      return 1;
  }
  client->disconnect();
  sqlite3_close(raw);
  std::filesystem::remove_all(dir);

  double rawMedian = median(rawTimes), korvelMedian = median(korvelTimes);
  std::printf("rows %ld, rounds %ld\n", rows, rounds);
  std::printf("raw libsqlite3 loop   median %.3f s  (%.0f ns/row)  peak memory %.1f bytes/row\n", rawMedian,
              rawMedian * 1e9 / static_cast<double>(rows), rawBytes);
  std::printf("korvel query          median %.3f s  (%.0f ns/row)  peak memory %.1f bytes/row\n", korvelMedian,
              korvelMedian * 1e9 / static_cast<double>(rows), korvelBytes);
  std::printf("ratio sqlite_query_vs_raw %.3f\n", korvelMedian / rawMedian);
  return 0;
}
