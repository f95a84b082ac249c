#include "support/test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "korvel/runloop.h"

namespace korvel::test {

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "korvel-test-XXXXXX").string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::unique_ptr<CapturedLog> CapturedLog::processLog() {
  auto log = std::make_unique<CapturedLog>();
  CapturedLog* raw = log.get();
  setProcessLogSink([raw](std::string_view line) { raw->add(line); });
  log->ownsProcessLog_ = true;
  return log;
}

CapturedLog::~CapturedLog() {
  if (ownsProcessLog_) setProcessLogSink({});
}

void CapturedLog::attach(Korvel& client) {
  client.setDebugSink([this](std::string_view line) { add(line); });
}

void CapturedLog::add(std::string_view line) {
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.emplace_back(line);
}

std::vector<std::string> CapturedLog::lines() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_;
}

bool CapturedLog::contains(const std::string& fragment) const {
  std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& l : lines_)
    if (l.find(fragment) != std::string::npos) return true;
  return false;
}

void CapturedLog::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.clear();
}

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  if (!v || !*v) return std::nullopt;
  return std::string(v);
}

bool underCI() {
  auto ci = env("CI");
  return ci && (*ci == "true" || *ci == "1");
}

std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out.push_back(c);
  }
  return out + "'";
}

std::optional<PgServer> pgServer() {
  auto host = env("KORVEL_PG_HOST"), port = env("KORVEL_PG_PORT"), socketDir = env("KORVEL_PG_SOCKET_DIR"),
       database = env("KORVEL_PG_DATABASE"), userPw = env("KORVEL_PG_USER_PW"), password = env("KORVEL_PG_PASSWORD"),
       userTrust = env("KORVEL_PG_USER_TRUST");
  if (!host || !port || !socketDir || !database || !userPw || !password || !userTrust) return std::nullopt;
  return PgServer{*host, *port, *socketDir, *database, *userPw, *password, *userTrust,
                  env("KORVEL_PG_DATA").value_or(""), env("KORVEL_PG_CTL").value_or(""),
                  env("KORVEL_PG_BIN").value_or("")};
}

std::string uniqueName(const std::string& stem) {
  static std::atomic<int> counter{0};
  return stem + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

bool pumpUntil(const std::function<bool()>& done, double seconds) {
  Ref<RunLoop> loop = RunLoop::current();
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    loop->runOnce(0.02);
  }
  return true;
}

CommandResult run(const std::string& command, const std::string& input) {
  TempDir dir;
  std::string in = dir.file("in"), out = dir.file("out"), err = dir.file("err");
  std::ofstream(in) << input;
  std::string full = "(" + command + ") <" + in + " >" + out + " 2>" + err;
  int status = std::system(full.c_str());
  CommandResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::stringstream o, e;
  o << std::ifstream(out).rdbuf();
  e << std::ifstream(err).rdbuf();
  result.out = o.str();
  result.err = e.str();
  return result;
}

}  // namespace korvel::test
