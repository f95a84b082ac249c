// The libpq connection string of a Postgres client, and the form of it that
// messages show.
//
// Kept apart from the rest of the module (no libpq, no client) so that the
// tests can compile it in and check the string table directly.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvel::postgres {

// The mask that stands in shown strings where the quoted password was.
inline constexpr std::string_view kPasswordMask = "'******'";

// A libpq keyword value between apostrophes: every backslash doubled first,
// then every apostrophe preceded by a backslash (a'b\c gives 'a\'b\\c').
std::string quoteConnectionValue(std::string_view value);

// The parts of a database setting name[@host[:port]]: the name is what
// precedes the first "@", the host what follows it up to the first ":" after
// it, the port the rest after that ":". No "@" means no host and no port.
struct DatabaseSetting {
  std::string name;
  std::optional<std::string> host;
  std::optional<std::string> port;
};
DatabaseSetting splitDatabaseSetting(std::string_view setting);

struct ConnectionSettings {
  std::string database;  // the name[@host[:port]] setting
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::optional<std::string> clientName;
  bool requireSSL = false;  // the options map "sslmode" to "require"
};

// Invariant: `shown` equals `sent` except that the quoted password, from its
// opening to its closing apostrophe, reads '******'. Only `sent` may reach
// libpq; only `shown` may reach a message.
struct ConnectionString {
  std::string sent;
  std::string shown;
};

// Builds the string: dbname, then hostaddr (a host starting with a digit) or
// host, port, user, password, application_name and sslmode='require', each
// only when the settings give it. Pure; thread-safe; raises nothing but
// std::bad_alloc.
ConnectionString buildConnectionString(const ConnectionSettings& settings);

}  // namespace korvel::postgres
