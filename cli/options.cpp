#include "options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

namespace korvel::cli {

namespace {

using Apply = void (*)(Options&, const std::string& value);

struct OptionSpec {
  std::string_view name;       // without the leading "--"
  std::string_view valueName;  // empty for a flag
  std::string_view help;
  Apply apply;
};

unsigned parseDebugLevel(const std::string& value) {
  unsigned level = 0;
  const char* end = value.data() + value.size();
  auto [ptr, error] = std::from_chars(value.data(), end, level);
  if (value.empty() || error != std::errc() || ptr != end)
    throw UsageError(fmt::format("--debug takes a level (0 quiet, 1 to 3 more detail), not '{}'", value));
  return level;
}

OutputFormat parseFormat(const std::string& value) {
  if (auto format = outputFormatNamed(value)) return *format;
  throw UsageError(fmt::format("--format takes table, csv or json, not '{}'", value));
}

double parseWait(const std::string& value) {
  double seconds = 0;
  const char* end = value.data() + value.size();
  auto [ptr, error] = std::from_chars(value.data(), end, seconds);
  if (value.empty() || error != std::errc() || ptr != end || !std::isfinite(seconds) || seconds < 0)
    throw UsageError(fmt::format("--wait takes a number of seconds (0 or more), not '{}'", value));
  return std::min(seconds, kLongestWait);
}

std::uint64_t parseCount(const std::string& value) {
  std::uint64_t count = 0;
  const char* end = value.data() + value.size();
  auto [ptr, error] = std::from_chars(value.data(), end, count);
  if (value.empty() || error != std::errc() || ptr != end || count == 0)
    throw UsageError(fmt::format("--count takes a number of notifications (1 or more), not '{}'", value));
  return count;
}

void addListen(Options& options, const std::string& channel) {
  if (channel.empty()) throw UsageError("--listen needs a channel name");
  // Listening twice for a channel would only register its watcher twice.
  if (std::find(options.listen.begin(), options.listen.end(), channel) == options.listen.end())
    options.listen.push_back(channel);
}

void addNotify(Options& options, const std::string& channel) {
  if (channel.empty()) throw UsageError("--notify needs a channel name");
  options.actions.push_back({ActionKind::Notify, channel});
}

// A payload belongs to the --notify right before it, so that several
// notifications on one command line each keep their own.
void setPayload(Options& options, const std::string& payload) {
  if (options.actions.empty() || options.actions.back().kind != ActionKind::Notify)
    throw UsageError("--payload belongs right after a --notify CHANNEL");
  if (options.actions.back().payload) throw UsageError("--notify takes one --payload");
  options.actions.back().payload = payload;
}

// The order here is the order of --help.
const OptionSpec kOptions[] = {
    {"backend", "NAME", "backend module to use (default SQLite)",
     [](Options& o, const std::string& v) { o.config.backend = v; }},
    {"database", "TEXT",
     "the database: for SQLite a file path (default korvel-demo.db in the current directory); "
     "for Postgres and MySQL name, name@host or name@host:port",
     [](Options& o, const std::string& v) { o.config.database = v; }},
    {"user", "TEXT", "user name", [](Options& o, const std::string& v) { o.config.user = v; }},
    {"password", "TEXT", "password (visible to other users: prefer KORVEL_PASSWORD)",
     [](Options& o, const std::string& v) { o.config.password = v; }},
    {"client-name", "TEXT", "name shown to the server (application_name)",
     [](Options& o, const std::string& v) { o.config.clientName = v; }},
    {"debug", "LEVEL", "debug log level: 0 quiet, 1 progress, 2 fields, 3 arrays",
     [](Options& o, const std::string& v) { o.config.debugging = parseDebugLevel(v); }},
    {"trim", "", "trim white space from text results (backends that support it)",
     [](Options& o, const std::string&) { o.config.trim = true; }},
    {"format", "table|csv|json", "output format (default table)",
     [](Options& o, const std::string& v) { o.format = parseFormat(v); }},
    {"execute", "SQL", "run a statement and print its count (repeatable)",
     [](Options& o, const std::string& v) { o.actions.push_back({ActionKind::Execute, v}); }},
    {"query", "SQL", "run a query and print its records (repeatable)",
     [](Options& o, const std::string& v) { o.actions.push_back({ActionKind::Query, v}); }},
    {"file", "PATH", "run the statements of a file ('-' for standard input)",
     [](Options& o, const std::string& v) { o.actions.push_back({ActionKind::File, v}); }},
    {"listen", "CHANNEL",
     "listen for notifications on a channel (repeatable), then wait for them after the other "
     "actions (see Notifications)",
     addListen},
    {"wait", "SECONDS", "wait at most this long for notifications (default: no limit)",
     [](Options& o, const std::string& v) { o.wait = parseWait(v); }},
    {"count", "N", "stop after N notifications",
     [](Options& o, const std::string& v) { o.count = parseCount(v); }},
    {"notify", "CHANNEL", "send a notification on a channel, in order with the statements (repeatable)",
     addNotify},
    {"payload", "TEXT", "the payload of the --notify just before", setPayload},
    {"help", "", "print this help and exit", [](Options& o, const std::string&) { o.help = true; }},
};

// Option names are lower-case words joined by '-'. An argument that starts
// with "--" but has anything else before its '=' is SQL that opens with a
// comment ("-- note\nSELECT 1"), not a misspelt option.
bool looksLikeOption(std::string_view argument) {
  if (argument.size() < 3 || argument.substr(0, 2) != "--") return false;
  for (char c : argument.substr(2, argument.find('=') - 2))
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
  return true;
}

const OptionSpec* findOption(std::string_view name) {
  for (const OptionSpec& option : kOptions)
    if (option.name == name) return &option;
  return nullptr;
}

// Appends `lead` and the words of `body`, wrapped to fit 79 columns under
// the column where the body starts.
void appendWrapped(std::string& text, const std::string& lead, std::string_view body) {
  constexpr std::size_t kWidth = 79;
  std::string line = lead;
  const std::size_t indent = lead.size();
  bool lineEmpty = true;
  while (!body.empty()) {
    std::size_t space = body.find(' ');
    std::string_view word = body.substr(0, space);
    body = space == std::string_view::npos ? std::string_view() : body.substr(space + 1);
    if (!lineEmpty && line.size() + 1 + word.size() > kWidth) {
      text += line + "\n";
      line = std::string(indent, ' ');
      lineEmpty = true;
    }
    if (!lineEmpty) line += ' ';
    line += word;
    lineEmpty = false;
  }
  text += line + "\n";
}

}  // namespace

std::optional<OutputFormat> outputFormatNamed(std::string_view name) {
  if (name == "table") return OutputFormat::Table;
  if (name == "csv") return OutputFormat::Csv;
  if (name == "json") return OutputFormat::Json;
  return std::nullopt;
}

std::optional<std::string> processEnvironment(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

Options parseArguments(const std::vector<std::string>& arguments, const EnvironmentLookup& env) {
  Options options;
  bool sawSQL = false;
  auto addSQL = [&](const std::string& sql) {
    // Two bare arguments are almost always unquoted SQL (korvel select 1),
    // which would otherwise run as two broken statements.
    if (sawSQL) throw UsageError(fmt::format("unexpected argument '{}' (quote the SQL as one argument)", sql));
    sawSQL = true;
    options.actions.push_back({ActionKind::Script, sql});
  };

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--") {
      for (++i; i < arguments.size(); ++i) addSQL(arguments[i]);
      break;
    }
    if (argument == "-h") {
      options.help = true;
      continue;
    }
    if (!looksLikeOption(argument)) {
      bool shortOption = argument.size() >= 2 && argument[0] == '-' && argument[1] != '-';
      if (shortOption) throw UsageError(fmt::format("unknown option '{}'", argument));
      addSQL(argument);
      continue;
    }
    std::string_view body = std::string_view(argument).substr(2);
    std::optional<std::string> inlineValue;
    if (auto equals = body.find('='); equals != std::string_view::npos) {
      inlineValue = std::string(body.substr(equals + 1));
      body = body.substr(0, equals);
    }
    const OptionSpec* option = findOption(body);
    if (!option) throw UsageError(fmt::format("unknown option '--{}'", body));
    if (option->valueName.empty()) {
      if (inlineValue) throw UsageError(fmt::format("--{} takes no value", body));
      option->apply(options, "");
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= arguments.size()) throw UsageError(fmt::format("--{} needs a value ({})", body, option->valueName));
      inlineValue = arguments[++i];
    }
    option->apply(options, *inlineValue);
  }

  if (options.listen.empty() && (options.wait || options.count))
    throw UsageError(fmt::format("--{} needs --listen CHANNEL", options.wait ? "wait" : "count"));
  if (!options.config.database && options.config.backend == "SQLite")
    options.config.database = std::string(kDemoDatabase);
  if (!options.config.password) options.config.password = env(kPasswordVariable);
  return options;
}

std::string usageText() {
  return "usage: korvel [--backend NAME] [--database TEXT] [--user TEXT] [--password TEXT]\n"
         "              [--client-name TEXT] [--debug LEVEL] [--trim] [--format table|csv|json]\n"
         "              [--execute SQL]... [--query SQL]... [--file PATH]\n"
         "              [--listen CHANNEL]... [--wait SECONDS] [--count N]\n"
         "              [--notify CHANNEL [--payload TEXT]]... [SQL]\n";
}

std::string helpText() {
  std::string text = usageText();
  text +=
      "\n"
      "Runs SQL through a Korvel backend and prints the results.\n"
      "\n"
      "Options:\n";
  for (const OptionSpec& option : kOptions) {
    std::string left = fmt::format("--{}", option.name);
    if (!option.valueName.empty()) left += fmt::format(" {}", option.valueName);
    appendWrapped(text, fmt::format("  {:<24} ", left), option.help);
  }
  text +=
      "\n"
      "Statements:\n"
      "  --execute, --query, --file, --notify and SQL run in the order given; the\n"
      "  first error stops the run. SQL and --file may hold several statements\n"
      "  separated by ';' (a ';' inside quotes or comments does not count). Each\n"
      "  statement runs as a query when it begins with SELECT, WITH, VALUES, SHOW,\n"
      "  EXPLAIN, PRAGMA or TABLE, else as a statement. Without any of them (and\n"
      "  without --listen), korvel reads statements from an interactive prompt when\n"
      "  standard input is a terminal (\\? lists the commands, \\q quits; history in\n"
      "  ~/.korvel_history), else from standard input.\n"
      "\n"
      "Notifications (backends that have them, such as Postgres):\n"
      "  korvel listens for every --listen channel before the actions run, so that\n"
      "  it also sees what they send, and after them prints each notification as it\n"
      "  arrives, until --count N of them arrived or --wait SECONDS ran out. Without\n"
      "  --wait there is no time limit; without either, korvel waits until it is\n"
      "  interrupted. When the connection is lost, korvel connects again, listens\n"
      "  again and says so on standard error; notifications sent meanwhile are lost.\n"
      "  A channel is an SQL name as in LISTEN: unquoted, the server folds it to\n"
      "  lower case. A payload is text.\n"
      "\n"
      "Output formats:\n"
      "  table  aligned columns under a header, then \"(N rows)\"; NULL is blank,\n"
      "         byte buffers \\x-hex, dates YYYY-MM-DD HH:MM:SS.mmm+HH:MM.\n"
      "         A statement prints \"OK\", or \"OK, N rows affected\" when the\n"
      "         backend reports a count. A notification prints a line\n"
      "         \"CHANNEL: PAYLOAD (local, async)\": local when this client sent\n"
      "         it, async when it came while korvel waited rather than with a\n"
      "         statement's reply; no \": PAYLOAD\" for an empty payload.\n"
      "  csv    RFC 4180: a header line, CRLF line ends, quoted fields where\n"
      "         needed; NULL is an empty field, an empty text \"\". Statements\n"
      "         print nothing, so the output holds results only.\n"
      "         Notifications print a header line name,payload,local,async\n"
      "         before the first, then a line each; local and async are\n"
      "         true or false.\n"
      "  json   JSON Lines: one object per record, keys in column order; byte\n"
      "         buffers {\"$bytes\":\"hex\"}, dates {\"$date\":\"YYYY-MM-DDTHH:MM:SS.mmm+HH:MM\"}.\n"
      "         A statement prints {\"count\":N}, or {\"count\":null} when the\n"
      "         backend reports no count. A notification prints\n"
      "         {\"name\":\"CHANNEL\",\"payload\":\"TEXT\",\"local\":BOOL,\"async\":BOOL}\n"
      "         (\"payload\":null when the payload was not valid text).\n"
      "  Each notification is written out at once, also into a pipe.\n"
      "\n"
      "Environment:\n"
      "  KORVEL_PASSWORD     the password when --password is not given\n"
      "  KORVEL_MODULE_PATH  colon-separated directories searched for backend modules\n"
      "\n"
      "Exit status: 0 success, 1 an error (reported as NAME: REASON), 2 a usage error,\n"
      "  3 when --wait ran out before --count notifications arrived.\n";
  return text;
}

}  // namespace korvel::cli
