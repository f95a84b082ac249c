// Times Korvel's PostgreSQL query of a whole table into records against a raw
// libpq loop that reads the same fields into a vector of plain structs, in
// the same run against the same server. The table has one column of each
// common kind: int4, int8, a short text with few distinct values, a long
// text, bool, float8, timestamptz, 32-byte bytea and a 3-element int4[].
//
// Also timed: PQexec alone (the server's work and the transfer, which both
// variants pay), so that what Korvel spends after PQexec, decoding fields and
// making records, shows per field. Peak memory per row is measured in a
// forked child for each variant. The three variants alternate in every
// round, so that drift of the machine hits all of them. The last line is
// "ratio pg_query_vs_raw <korvel / raw>".
//
//   bench_pg_query [--rows N] [--rounds N]
// Server settings come from the KORVEL_PG_* variables (scripts/bench starts
// a throwaway server when none is given).
#include <libpq-fe.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "pg_bench_support.h"
#include "korvel/korvel.h"

namespace {

using bench::timeVariant;
using bench::median;
using bench::settleAllocator;
using bench::peakBytesPerRow;
using bench::Connection;
using bench::Result;
using bench::exec;

const std::string kTable = "korvel_bench_rows_" + std::to_string(getpid());
const std::string kQuery = "SELECT i4, i8, short_text, long_text, flag, f8, ts, data, ints FROM " + kTable;
constexpr int kFields = 9;

// One INSERT ... SELECT on the server: no round trip per row.
void fill(PGconn* c, long rows) {
  exec(c, "SET client_min_messages = warning");  // no notice for the DROP below
  exec(c, "DROP TABLE IF EXISTS " + kTable);
  exec(c, "CREATE UNLOGGED TABLE " + kTable +
              " (i4 int4, i8 int8, short_text text, long_text text, flag bool, f8 float8, ts timestamptz,"
              " data bytea, ints int4[])");
  exec(c, "INSERT INTO " + kTable +
              " SELECT g, g::int8 * 1000003, (ARRAY['alpha','beta','gamma','delta','epsilon'])[g % 5 + 1],"
              " md5(g::text) || md5((g + 1)::text), g % 2 = 0, g * 0.25,"
              " timestamptz '2024-01-01 00:00:00+00' + g * interval '1.001 second',"
              " decode(md5(g::text) || md5((g + 7)::text), 'hex'), ARRAY[g, g + 1, g + 2]"
              " FROM generate_series(1, " +
              std::to_string(rows) + ") AS g");
  exec(c, "ANALYZE " + kTable);
}

// What the raw loop makes of a row: the plain reading of each field.
struct Row {
  std::int32_t i4;
  std::int64_t i8;
  std::string shortText;
  std::string longText;
  bool flag;
  double f8;
  std::string ts;     // the timestamp as the server wrote it
  std::string data;   // the bytea as the server wrote it (hex)
  std::string ints;   // the array as the server wrote it
};

std::string textAt(PGresult* r, int row, int col) {
  return std::string(PQgetvalue(r, row, col), static_cast<std::size_t>(PQgetlength(r, row, col)));
}

std::vector<Row> rawQuery(PGconn* c) {
  Result r(PQexec(c, kQuery.c_str()));
  if (PQresultStatus(r.r) != PGRES_TUPLES_OK) {
    std::fprintf(stderr, "raw query: %s", PQerrorMessage(c));
    std::exit(1);
  }
  const int rows = PQntuples(r.r);
  std::vector<Row> out;
  out.reserve(static_cast<std::size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    Row row;
    row.i4 = static_cast<std::int32_t>(std::strtol(PQgetvalue(r.r, i, 0), nullptr, 10));
    row.i8 = std::strtoll(PQgetvalue(r.r, i, 1), nullptr, 10);
    row.shortText = textAt(r.r, i, 2);
    row.longText = textAt(r.r, i, 3);
    row.flag = PQgetvalue(r.r, i, 4)[0] == 't';
    row.f8 = std::strtod(PQgetvalue(r.r, i, 5), nullptr);
    row.ts = textAt(r.r, i, 6);
    row.data = textAt(r.r, i, 7);
    row.ints = textAt(r.r, i, 8);
    out.push_back(std::move(row));
  }
  return out;
}

// PQexec and nothing else: the part both variants share.
long execOnly(PGconn* c) {
  Result r(PQexec(c, kQuery.c_str()));
  return PQntuples(r.r);
}

}  // namespace

int main(int argc, char** argv) {
  long rows = 1000000;
  long rounds = 5;
  if (!bench::readOptions(argc, argv, {{"--rows", &rows}, {"--rounds", &rounds}})) return 2;
  Connection raw;
  fill(raw.c, rows);

  auto client = korvel::Korvel::create(bench::korvelConfig());
  if (!client->connect()) {
    std::fprintf(stderr, "korvel: cannot connect\n");
    return 1;
  }

  const double execBytes = peakBytesPerRow(rows, [&] { execOnly(raw.c); });
  const double rawBytes = peakBytesPerRow(rows, [&] { rawQuery(raw.c); });
  const double korvelBytes = peakBytesPerRow(rows, [&] { client->query(kQuery); });

  // Warm the server's buffers and every code path once before measuring.
  execOnly(raw.c);
  rawQuery(raw.c);
  client->query(kQuery);
  settleAllocator();

  std::vector<double> execTimes, rawTimes, korvelTimes;
  for (long round = 0; round < rounds; ++round) {
    if (!timeVariant("PQexec", rows, execTimes, [&] { return execOnly(raw.c); }, [](long n) { return n; }) ||
        !timeVariant("raw", rows, rawTimes, [&] { return rawQuery(raw.c); },
                     [](const std::vector<Row>& result) { return result.size(); }) ||
        !timeVariant("korvel", rows, korvelTimes, [&] { return client->query(kQuery); },
                     [](const korvel::Ref<korvel::List>& result) { return result->size(); }))
      return 1;
  }
  client->disconnect();
  exec(raw.c, "DROP TABLE " + kTable);

  const double execMedian = median(execTimes), rawMedian = median(rawTimes), korvelMedian = median(korvelTimes);
  const double fields = static_cast<double>(rows) * kFields;
  std::printf("rows %ld, %d fields per row, rounds %ld\n", rows, kFields, rounds);
  std::printf("PQexec alone          median %.3f s  (%.0f ns/row)  peak memory %.1f bytes/row\n", execMedian,
              execMedian * 1e9 / static_cast<double>(rows), execBytes);
  std::printf("raw libpq loop        median %.3f s  (%.0f ns/row)  peak memory %.1f bytes/row\n", rawMedian,
              rawMedian * 1e9 / static_cast<double>(rows), rawBytes);
  std::printf("korvel query          median %.3f s  (%.0f ns/row)  peak memory %.1f bytes/row\n", korvelMedian,
              korvelMedian * 1e9 / static_cast<double>(rows), korvelBytes);
  // After PQexec: the median of each variant less the median of PQexec alone.
  std::printf("after PQexec, per field: raw %.1f ns, korvel %.1f ns (decoding and records)\n",
              (rawMedian - execMedian) * 1e9 / fields, (korvelMedian - execMedian) * 1e9 / fields);
  std::printf("ratio pg_query_vs_raw %.3f\n", korvelMedian / rawMedian);
  return 0;
}
