#include "connection_string.h"

namespace korvel::postgres {

std::string quoteConnectionValue(std::string_view value) {
  std::string out;
  out.reserve(value.size() + 2);
  out.push_back('\'');
  // Doubling backslashes and escaping apostrophes in one pass gives the same
  // text as the two replacements done in turn: neither adds the other's
  // character.
  for (char c : value) {
    if (c == '\\' || c == '\'') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

DatabaseSetting splitDatabaseSetting(std::string_view setting) {
  DatabaseSetting parts;
  const auto at = setting.find('@');
  if (at == std::string_view::npos) {
    parts.name = std::string(setting);
    return parts;
  }
  parts.name = std::string(setting.substr(0, at));
  std::string_view rest = setting.substr(at + 1);
  const auto colon = rest.find(':');
  if (colon == std::string_view::npos) {
    parts.host = std::string(rest);
  } else {
    parts.host = std::string(rest.substr(0, colon));
    parts.port = std::string(rest.substr(colon + 1));
  }
  return parts;
}

namespace {

// Appends one parameter to both forms; `masked` puts the mask in the shown
// form instead of the value.
void appendParameter(ConnectionString& out, std::string_view keyword, std::string_view value,
                     bool masked = false) {
  const std::string quoted = quoteConnectionValue(value);
  out.sent.append(keyword).append(quoted);
  out.shown.append(keyword).append(masked ? std::string(kPasswordMask) : quoted);
}

bool startsWithDigit(std::string_view s) { return !s.empty() && s.front() >= '0' && s.front() <= '9'; }

}  // namespace

ConnectionString buildConnectionString(const ConnectionSettings& settings) {
  const DatabaseSetting parts = splitDatabaseSetting(settings.database);
  ConnectionString out;
  appendParameter(out, "dbname=", parts.name);
  // A numeric address goes to hostaddr, so that libpq does no name lookup.
  if (parts.host) appendParameter(out, startsWithDigit(*parts.host) ? " hostaddr=" : " host=", *parts.host);
  if (parts.port) appendParameter(out, " port=", *parts.port);
  if (settings.user) appendParameter(out, " user=", *settings.user);
  if (settings.password) appendParameter(out, " password=", *settings.password, true);
  if (settings.clientName) appendParameter(out, " application_name=", *settings.clientName);
  if (settings.requireSSL) appendParameter(out, " sslmode=", "require");
  return out;
}

}  // namespace korvel::postgres
