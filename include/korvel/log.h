// The process log.
//
// One process-wide log for messages that belong to no single client
// (notification problems, engine warnings). By default each message becomes
// one line on standard error: a UTC time stamp with milliseconds, the
// program name and process id in brackets, and the message:
//   2026-12-10 14:25:03.123 korvel[4711] message
// A sink replaces that: it receives the bare message and decides what to do
// with it. Clients' debug lines go to the process log too, unless the client
// has a debug sink of its own (Korvel::setDebugSink).
//
// Thread-safety: every function here may be called from any thread; a sink
// is called with a lock held, one message at a time.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "korvel/format.h"

namespace korvel {

using LogSink = std::function<void(std::string_view message)>;

// Replaces the process log's sink; an empty sink restores standard error.
// Gives the previous sink back (empty when it was standard error).
LogSink setProcessLogSink(LogSink sink);

// Writes one message to the process log.
void processLogMessage(std::string_view message);

// Formats a message (see format.h) and writes it to the process log.
template <class... A>
void processLog(std::string_view fmt, const A&... args) {
  processLogMessage(format(fmt, args...));
}

// The line that the default sink writes for a message, without its newline.
std::string processLogLine(std::string_view message);

}  // namespace korvel
