// Running statements against one client and printing what they give.
//
// Errors are not caught here: a Korvel exception from the client, or a
// std::runtime_error for a file that cannot be read, goes to the caller,
// which decides whether to stop (a command line) or carry on (the prompt).
//
// Thread-safety: a session belongs to one thread.
#pragma once

#include <exception>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "korvel/korvel.h"
#include "options.h"
#include "output.h"
#include "statements.h"

namespace korvel::cli {

// The line that reports an error: "NAME: REASON" for Korvel exceptions,
// "korvel: WHAT" for anything else.
std::string errorLine(const std::exception& error);

class Session {
 public:
  // Uses the client and the stream; both must outlive the session.
  Session(Korvel& client, OutputFormat format, std::ostream& out);

  // Runs a statement through execute and writes its count.
  void execute(std::string_view sql);
  // Runs a query and writes its records.
  void query(std::string_view sql);
  // Runs one statement as a query or as a statement, by its first word.
  void runClassified(std::string_view sql);
  // Runs every statement of an SQL text, in order; stops at the first error.
  void runScript(std::string_view text);
  // Runs the statements read from a stream as they complete, so that a
  // long input need not fit in memory and its output starts at once.
  void runStream(std::istream& in);
  // Runs one action of the command line.
  void run(const Action& action);

  void setFormat(OutputFormat format);
  // A scanner that reads quotes the way this client's backend does.
  StatementScanner newScanner() const;

 private:
  Korvel& client_;
  std::unique_ptr<Formatter> formatter_;
  std::ostream& out_;
};

}  // namespace korvel::cli
