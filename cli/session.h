// Running statements against one client and printing what they give.
//
// Errors are not caught here: a Korvel exception from the client, or a
// std::runtime_error for a file that cannot be read, goes to the caller,
// which decides whether to stop (a command line) or carry on (the prompt).
//
// Thread-safety: a session belongs to one thread. Listening needs it to be
// the main thread (RunLoop::setMainThread), whose loop gets the notifications
// that arrive with a statement's reply as well as those drained while it runs.
#pragma once

#include <exception>
#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "korvel/korvel.h"
#include "korvel/notification.h"
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
  // Sends a notification on a channel, with a payload or without.
  void notify(const std::string& channel, const std::optional<std::string>& payload);
  // Runs one action of the command line.
  void run(const Action& action);

  // Starts observing this client's notifications, then listens for each
  // channel. Each notification is written and flushed as it arrives, up to
  // `limit` of them (nothing: all). The host's reconnection notice goes to
  // standard error. Raises what Korvel::listen raises (a backend without
  // notifications: InternalInconsistencyException).
  void listen(const std::vector<std::string>& channels, std::optional<std::uint64_t> limit);
  // Runs the calling thread's event loop until `limit` notifications were
  // written, `seconds` have passed (nothing: no time limit), or the output
  // failed. True unless the time ran out before the limit was reached.
  bool waitForNotifications(std::optional<double> seconds);

  void setFormat(OutputFormat format);
  // A scanner that reads quotes the way this client's backend does.
  StatementScanner newScanner() const;

 private:
  Korvel& client_;
  std::unique_ptr<Formatter> formatter_;
  std::ostream& out_;
  std::optional<std::uint64_t> notificationLimit_;
  std::uint64_t notificationsWritten_ = 0;
  ScopedObserver notificationObserver_;
  ScopedObserver reconnectionObserver_;

  void writeNotification(const Notification& notification);
  bool reachedLimit() const noexcept { return notificationLimit_ && notificationsWritten_ >= *notificationLimit_; }
};

}  // namespace korvel::cli
