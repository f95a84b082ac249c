#include "korvel/log.h"

#include <errno.h>  // program_invocation_short_name (glibc)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace korvel {

namespace {

std::mutex& logMutex() {
  static std::mutex m;
  return m;
}

LogSink& currentSink() {
  static LogSink sink;
  return sink;
}

const char* programName() {
  return program_invocation_short_name ? program_invocation_short_name : "korvel";
}

}  // namespace

std::string processLogLine(std::string_view message) {
  using namespace std::chrono;
  auto now = system_clock::now();
  std::time_t secs = system_clock::to_time_t(now);
  auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&secs, &tm);
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d:%02d:%02d.%03d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(millis));
  std::string line = stamp;
  line += ' ';
  line += programName();
  line += '[' + std::to_string(::getpid()) + "] ";
  line += message;
  return line;
}

LogSink setProcessLogSink(LogSink sink) {
  std::lock_guard<std::mutex> guard(logMutex());
  LogSink previous = std::move(currentSink());
  currentSink() = std::move(sink);
  return previous;
}

void processLogMessage(std::string_view message) {
  std::lock_guard<std::mutex> guard(logMutex());
  if (currentSink()) {
    currentSink()(message);
    return;
  }
  std::string line = processLogLine(message);
  // Messages that end with a newline (some engine texts do) get no second one.
  if (line.empty() || line.back() != '\n') line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace korvel
