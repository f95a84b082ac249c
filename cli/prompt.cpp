#include "prompt.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>

// readline's header needs stdio's FILE declared first.
#include <readline/history.h>
#include <readline/readline.h>

namespace korvel::cli {

namespace {

constexpr int kHistoryLength = 1000;

constexpr std::string_view kMetaHelp =
    "\\q               quit (end of input does too)\n"
    "\\?               this list\n"
    "\\format NAME     switch the output format: table, csv or json\n"
    "Statements end at a ';' outside quotes and comments.\n";

std::string_view trimmedView(std::string_view text) {
  std::size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string_view::npos) return {};
  std::size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end + 1 - begin);
}

// One line from readline, freed with free() as readline asks.
using Line = std::unique_ptr<char, decltype(&std::free)>;

Line readLine(const char* prompt) { return Line(readline(prompt), &std::free); }

// Runs a meta command; false when it asks to quit.
bool runMetaCommand(Session& session, std::string_view line) {
  MetaCommand command = parseMetaCommand(line);
  switch (command.kind) {
    case MetaCommand::Kind::Quit: return false;
    case MetaCommand::Kind::Help: std::cout << kMetaHelp << std::flush; break;
    case MetaCommand::Kind::Format:
      if (auto format = outputFormatNamed(command.argument))
        session.setFormat(*format);
      else
        std::cerr << "\\format takes table, csv or json\n";
      break;
    case MetaCommand::Kind::Unknown:
      std::cerr << "unknown command " << command.argument << "; \\? lists the commands\n";
      break;
  }
  return true;
}

void runReported(Session& session, const std::string& statement) {
  try {
    session.runClassified(statement);
  } catch (const std::exception& error) {
    std::cout.flush();
    std::cerr << errorLine(error) << '\n';
  }
}

}  // namespace

MetaCommand parseMetaCommand(std::string_view line) {
  line = trimmedView(line);
  std::size_t space = line.find_first_of(" \t");
  std::string_view name = line.substr(0, space);
  std::string_view argument = space == std::string_view::npos ? std::string_view() : trimmedView(line.substr(space));
  if (name == "\\q" || name == "\\quit") return {MetaCommand::Kind::Quit, {}};
  if (name == "\\?" || name == "\\h" || name == "\\help") return {MetaCommand::Kind::Help, {}};
  if (name == "\\format") return {MetaCommand::Kind::Format, std::string(argument)};
  return {MetaCommand::Kind::Unknown, std::string(name)};
}

std::optional<std::string> historyPath() {
  const char* home = std::getenv("HOME");
  if (!home || !*home) return std::nullopt;
  return std::string(home) + "/.korvel_history";
}

int runPrompt(Session& session) {
  const std::optional<std::string> history = historyPath();
  using_history();
  stifle_history(kHistoryLength);
  if (history) read_history(history->c_str());

  StatementScanner scanner = session.newScanner();
  // The lines of the statement being typed, kept as one history entry so
  // that recalling it brings the whole statement back.
  std::string entry;
  for (;;) {
    Line line = readLine(scanner.pending() ? "korvel-> " : "korvel=> ");
    if (!line) {
      std::cout << '\n';
      break;
    }
    std::string_view text(line.get());
    if (!scanner.pending() && trimmedView(text).substr(0, 1) == "\\") {
      add_history(line.get());
      if (!runMetaCommand(session, text)) break;
      continue;
    }
    if (!entry.empty()) entry.push_back('\n');
    entry += text;
    scanner.feed(text);
    scanner.feed("\n");
    while (auto statement = scanner.next()) runReported(session, *statement);
    if (!scanner.pending()) {
      if (!isBlankSQL(entry)) add_history(entry.c_str());
      entry.clear();
    }
  }
  // A statement still open at end of input is dropped, not run: it may be
  // half typed (a DELETE before its WHERE).
  if (history) write_history(history->c_str());
  return 0;
}

}  // namespace korvel::cli
