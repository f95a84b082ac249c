// Notification throughput: a second connection sends NOTIFYs with distinct
// payloads while the receiver idles in its event loop. The receiver is once
// a Korvel Postgres client (watcher, draining, observers through the
// notification queue) and once a raw libpq loop (select on the socket,
// PQconsumeInput, PQnotifies), in the same run against the same server,
// alternating rounds. Prints the delivered counts, notifications per second
// and, last, "ratio pg_notify_vs_raw <korvel time / raw time>".
//
//   bench_pg_notify [--count N] [--rounds N]
// Server settings come from the KORVEL_PG_* variables (scripts/bench starts
// a throwaway server when none is given).
#include <libpq-fe.h>
#include <sys/select.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "pg_bench_support.h"
#include "korvel/korvel.h"
#include "korvel/notification.h"
#include "korvel/runloop.h"

namespace {

using bench::seconds;
using bench::median;
using bench::env;
using bench::exec;

// Sends `count` notifications in batches of 1000, one transaction each, with
// payloads distinct across the whole run (the round number is in them).
void send(const char* channel, int round, long count) {
  bench::Connection connection;
  for (long first = 0; first < count; first += 1000) {
    long last = std::min(count, first + 1000) - 1;
    exec(connection.c, std::string("SELECT pg_notify('") + channel + "', '" + std::to_string(round) + "-' || g) FROM generate_series(" +
                std::to_string(first) + ", " + std::to_string(last) + ") g");
  }
}

long rawReceive(PGconn* c, int round, long count, double& elapsed) {
  long delivered = 0;
  auto start = std::chrono::steady_clock::now();
  std::thread sender(send, "bench_raw", round, count);
  int fd = PQsocket(c);
  while (delivered < count) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval timeout{10, 0};
    if (select(fd + 1, &set, nullptr, nullptr, &timeout) <= 0) break;
    if (!PQconsumeInput(c)) break;
    while (PGnotify* n = PQnotifies(c)) {
      ++delivered;
      PQfreemem(n);
    }
  }
  elapsed = seconds(start);
  sender.join();
  return delivered;
}

long korvelReceive(korvel::Korvel& client, int round, long count, double& elapsed) {
  std::atomic<long> delivered{0};
  auto loop = korvel::RunLoop::current();
  auto observer = korvel::NotificationCenter::defaultCenter().observe(
      "bench_korvel", static_cast<const korvel::Korvel*>(&client), [&](const korvel::Notification&) {
        if (++delivered == count) loop->stop();
      });
  auto start = std::chrono::steady_clock::now();
  std::thread sender(send, "bench_korvel", round, count);
  // A minute without all of them means something was lost.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (delivered < count && std::chrono::steady_clock::now() < deadline)
    loop->runUntil(std::min(deadline, std::chrono::steady_clock::now() + std::chrono::seconds(10)));
  elapsed = seconds(start);
  sender.join();
  return delivered;
}

}  // namespace

int main(int argc, char** argv) {
  long count = 100000;
  // Rounds are short and share two cores with the server: five keep the
  // median steady.
  long rounds = 5;
  if (!bench::readOptions(argc, argv, {{"--count", &count}, {"--rounds", &rounds}})) return 2;
  if (env("KORVEL_PG_PORT").empty()) {
    std::fprintf(stderr, "bench_pg_notify: no server (set KORVEL_PG_*; scripts/bench starts one)\n");
    return 1;
  }
  korvel::RunLoop::setMainThread();
  bench::Connection raw;
  // Separate channels, so that neither receiver collects the other's traffic.
  exec(raw.c, "LISTEN bench_raw");
  auto client = korvel::Korvel::create(bench::korvelConfig("bench"));
  client->listen("bench_korvel");

  std::vector<double> rawTimes, korvelTimes;
  long rawDelivered = 0, korvelDelivered = 0;
  int round = 0;
  for (long r = 0; r < rounds; ++r) {
    double t = 0;
    rawDelivered = rawReceive(raw.c, round++, count, t);
    rawTimes.push_back(t);
    korvelDelivered = korvelReceive(*client, round++, count, t);
    korvelTimes.push_back(t);
    if (rawDelivered != count || korvelDelivered != count) break;
  }
  client->disconnect();

  double rawMedian = median(rawTimes), korvelMedian = median(korvelTimes);
  std::printf("notifications %ld, rounds %ld\n", count, rounds);
  std::printf("raw libpq loop   delivered %ld  median %.3f s  %.0f notifications/s\n", rawDelivered, rawMedian,
              static_cast<double>(count) / rawMedian);
  std::printf("korvel client    delivered %ld  median %.3f s  %.0f notifications/s\n", korvelDelivered, korvelMedian,
              static_cast<double>(count) / korvelMedian);
  if (rawDelivered != count || korvelDelivered != count) {
    std::printf("LOST notifications\n");
    return 1;
  }
  std::printf("ratio pg_notify_vs_raw %.3f\n", korvelMedian / rawMedian);
  return 0;
}
