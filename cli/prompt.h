// The interactive prompt: line editing and history through readline.
//
// Statements end at a ';' outside quotes and comments and may span lines. A
// line that starts with a backslash, when no statement is pending, is a
// meta command: \q quits, \? lists the commands, \format NAME switches the
// output format. History lives in ~/.korvel_history. An error is reported
// and the prompt carries on.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "session.h"

namespace korvel::cli {

// Reads and runs statements until \q or end of input. Returns the exit
// status: 0.
int runPrompt(Session& session);

// What a meta command line asks for.
struct MetaCommand {
  enum class Kind { Quit, Help, Format, Unknown } kind;
  std::string argument;
};
// Reads a line that starts with a backslash.
MetaCommand parseMetaCommand(std::string_view line);

// The history file: ~/.korvel_history, or nothing without a home directory.
std::optional<std::string> historyPath();

}  // namespace korvel::cli
