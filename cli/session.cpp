#include "session.h"

#include "korvel/runloop.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include <fmt/format.h>

namespace korvel::cli {

std::string errorLine(const std::exception& error) {
  if (const auto* korvelError = dynamic_cast<const Exception*>(&error))
    return korvelError->name() + ": " + korvelError->reason();
  return std::string("korvel: ") + error.what();
}

Session::Session(Korvel& client, OutputFormat format, std::ostream& out)
    : client_(client), formatter_(makeFormatter(format)), out_(out) {}

void Session::setFormat(OutputFormat format) { formatter_ = makeFormatter(format); }

StatementScanner Session::newScanner() const {
  // MySQL reads a backslash inside quotes as an escape; the others do not.
  return StatementScanner(client_.backendName() == "MySQL");
}

void Session::execute(std::string_view sql) {
  std::int64_t count = client_.execute(sql);
  formatter_->writeCount(count, out_);
  out_.flush();
}

void Session::query(std::string_view sql) {
  Ref<List> rows = client_.query(sql);
  if (!rows) rows = makeRef<List>();
  formatter_->writeRecords(*rows, out_);
  out_.flush();
}

void Session::runClassified(std::string_view sql) {
  if (isQueryStatement(sql))
    query(sql);
  else
    execute(sql);
}

void Session::runScript(std::string_view text) {
  StatementScanner scanner = newScanner();
  scanner.feed(text);
  scanner.finish();
  while (auto statement = scanner.next()) runClassified(*statement);
}

void Session::runStream(std::istream& in) {
  StatementScanner scanner = newScanner();
  std::string line;
  while (std::getline(in, line)) {
    if (!in.eof()) line.push_back('\n');
    scanner.feed(line);
    while (auto statement = scanner.next()) runClassified(*statement);
  }
  if (in.bad()) throw std::runtime_error(fmt::format("cannot read the input: {}", std::strerror(errno)));
  scanner.finish();
  while (auto statement = scanner.next()) runClassified(*statement);
}

void Session::notify(const std::string& channel, const std::optional<std::string>& payload) {
  client_.notify(channel, payload);
}

void Session::run(const Action& action) {
  switch (action.kind) {
    case ActionKind::Notify: notify(action.text, action.payload); return;
    case ActionKind::Execute: execute(action.text); return;
    case ActionKind::Query: query(action.text); return;
    case ActionKind::Script: runScript(action.text); return;
    case ActionKind::File: break;
  }
  if (action.text == "-") {
    runStream(std::cin);
    return;
  }
  std::ifstream file(action.text, std::ios::binary);
  if (!file) throw std::runtime_error(fmt::format("cannot open '{}': {}", action.text, std::strerror(errno)));
  runStream(file);
}

void Session::writeNotification(const Notification& notification) {
  // Notifications already drained when the limit is reached still arrive in
  // the loop's last pass; printing them would overshoot --count.
  if (reachedLimit() || !out_) return;
  formatter_->writeNotification(receivedNotification(notification), out_);
  out_.flush();
  ++notificationsWritten_;
  // A write that failed ends the wait at once: main reports the output error.
  if (reachedLimit() || !out_) {
    if (Ref<RunLoop> loop = RunLoop::current()) loop->stop();
  }
}

namespace {

std::string reconnectionLine(const Notification& notification) {
  std::string names;
  if (const Ref<Dictionary>& info = notification.userInfo()) {
    if (const List* list = info->get("Names").asList()) {
      for (const Value& name : *list) {
        if (!names.empty()) names += ", ";
        names += name.description();
      }
    }
  }
  return "korvel: reconnected; listening again for " + names + "\n";
}

}  // namespace

void Session::listen(const std::vector<std::string>& channels, std::optional<std::uint64_t> limit) {
  notificationLimit_ = limit;
  NotificationCenter& centre = NotificationCenter::defaultCenter();
  const void* sender = static_cast<const Korvel*>(&client_);
  // Every name from this client rather than one observer per channel: the
  // server folds unquoted channel names to lower case, so "--listen Jobs"
  // gets notifications named "jobs". The client only gets what it listens for.
  notificationObserver_ = centre.observe("", sender, [this](const Notification& notification) {
    if (notification.name() == kKorvelReconnectedNotification) return;
    writeNotification(notification);
  });
  reconnectionObserver_ = centre.observe(std::string(kKorvelReconnectedNotification), sender,
                                         [](const Notification& notification) {
                                           std::cerr << reconnectionLine(notification) << std::flush;
                                         });
  for (const std::string& channel : channels) client_.listen(channel);
}

bool Session::waitForNotifications(std::optional<double> seconds) {
  if (reachedLimit() || !out_) return true;
  Ref<RunLoop> loop = RunLoop::current();
  if (seconds)
    loop->runFor(std::min(*seconds, kLongestWait));
  else
    loop->run();
  return !notificationLimit_ || reachedLimit() || !out_;
}

}  // namespace korvel::cli
