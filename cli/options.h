// The command line of the korvel client.
//
// Options are described by one table (options.cpp), so that adding an option
// means adding one entry: its name, the name of its value (none for a flag),
// its help line and the function that applies it. Statements given by
// --execute, --query, --file and the bare SQL argument become `Action`s kept
// in command-line order.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "korvel/korvel.h"

namespace korvel::cli {

// The SQLite database used when none is given, so that `korvel "select 1"`
// works out of the box. Relative: it lands in the current directory.
inline constexpr std::string_view kDemoDatabase = "korvel-demo.db";
// Read for the password when --password is not given, so that the password
// need not show in the process list.
inline constexpr const char* kPasswordVariable = "KORVEL_PASSWORD";

enum class OutputFormat { Table, Csv, Json };

// The format of that name ("table", "csv", "json"), or nothing.
std::optional<OutputFormat> outputFormatNamed(std::string_view name);

enum class ActionKind {
  Execute,  // one statement through Korvel::execute; prints the count
  Query,    // one query through Korvel::query; prints the records
  Script,   // SQL text split into statements, each classified (see statements.h)
  File,     // a file of SQL (the text is its path; "-" is standard input)
  Notify,   // a notification sent through Korvel::notify (the text is the channel)
};

struct Action {
  ActionKind kind;
  std::string text;
  // Notify only: the payload given by --payload.
  std::optional<std::string> payload = std::nullopt;
  friend bool operator==(const Action&, const Action&) = default;
};

struct Options {
  KorvelConfig config;
  OutputFormat format = OutputFormat::Table;
  std::vector<Action> actions;
  // Channels to listen for, each once, in the order first given.
  std::vector<std::string> listen;
  // How long to wait for notifications after the actions; nothing: no limit.
  std::optional<double> wait;
  // Stop waiting after this many notifications (never 0); nothing: no limit.
  std::optional<std::uint64_t> count;
  bool help = false;
};

// The longest --wait honoured, about 31 years: beyond it a deadline would
// overflow the clock, and nobody can tell the difference.
inline constexpr double kLongestWait = 1e9;

// A command line that cannot be run; main reports it with the usage line and
// exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Looks up an environment variable; nothing when unset.
using EnvironmentLookup = std::function<std::optional<std::string>(const char* name)>;
// The process environment.
std::optional<std::string> processEnvironment(const char* name);

// Parses the arguments after the program name. Options take their value as
// the next argument or after '=' (--format=json); "--" ends the options.
// Fills in the defaults: the demo database for SQLite, the password from
// KORVEL_PASSWORD. Throws UsageError for unknown options, missing or bad
// values, a second SQL argument, --payload without a --notify just before it,
// and --wait or --count without --listen. Thread-safe (pure apart from `env`).
Options parseArguments(const std::vector<std::string>& arguments,
                       const EnvironmentLookup& env = processEnvironment);

// The one-paragraph synopsis printed with usage errors.
std::string usageText();
// The full --help text: synopsis, options, how statements run, the output
// formats, environment and exit status.
std::string helpText();

}  // namespace korvel::cli
