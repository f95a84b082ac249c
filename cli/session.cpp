#include "session.h"

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

void Session::run(const Action& action) {
  switch (action.kind) {
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

}  // namespace korvel::cli
