#include "KorvelSQLite.h"

#include <sqlite3.h>

#include <climits>
#include <cstring>

#include "korvel/module.h"

namespace korvel {

namespace {

constexpr char kBlobMarker[] = "'?'''?'";
constexpr std::uint32_t kBlobMarkerLength = 7;

// A prepared statement, finalised on every way out of a query.
struct StatementHandle {
  sqlite3_stmt* stmt = nullptr;
  ~StatementHandle() { if (stmt) sqlite3_finalize(stmt); }
};

// The value of one column of the current row, by the stored value's own type.
Value columnValue(sqlite3_stmt* stmt, int column) {
  switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_INTEGER: {
      // Read all 64 bits: the 32-bit reader would silently drop the high bits.
      sqlite3_int64 v = sqlite3_column_int64(stmt, column);
      if (v >= INT32_MIN && v <= INT32_MAX) return Value::int32(static_cast<std::int32_t>(v));
      return Value::int64(v);
    }
    case SQLITE_FLOAT:
      return Value::float64(sqlite3_column_double(stmt, column));
    case SQLITE_TEXT: {
      const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
      if (!text) return {};
      // The text ends at its first NUL, as a C string does.
      int bytes = sqlite3_column_bytes(stmt, column);
      const void* nul = std::memchr(text, 0, static_cast<std::size_t>(bytes));
      std::size_t length = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text)
                               : static_cast<std::size_t>(bytes);
      return Value::text(std::string_view(text, length));
    }
    case SQLITE_BLOB: {
      const void* data = sqlite3_column_blob(stmt, column);
      int bytes = sqlite3_column_bytes(stmt, column);
      return Value::bytes(data, static_cast<std::size_t>(bytes));
    }
    default:  // SQLITE_NULL: the slot stays empty
      return {};
  }
}

}  // namespace

void KorvelSQLite::Closer::operator()(sqlite3* db) const noexcept { sqlite3_close(db); }

KorvelSQLite::KorvelSQLite(KorvelConfig config) : Korvel(std::move(config)) {}

KorvelSQLite::~KorvelSQLite() { disconnect(); }

bool KorvelSQLite::backendConnect() {
  if (connected()) return true;
  if (!database()) {
    debug("Connect to '%@' with no database configured", name());
    return false;
  }
  purgeConnections();
  if (debugging()) debug("Connect to '%@' as %@", database(), name());
  sqlite3* handle = nullptr;
  // The host already runs one client's hooks one at a time under the client's
  // lock, so the engine's own per-call mutex (the serialized default) would
  // only add a lock round trip to every column read; the connection is opened
  // in multi-thread mode instead. Everything else is the engine's default.
  int rc = sqlite3_open_v2(database()->c_str(), &handle,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  // sqlite3_open hands back a handle even on failure; it must be closed too.
  std::unique_ptr<sqlite3, Closer> owned(handle);
  if (rc != SQLITE_OK) {
    debug("Error connecting to '%@' (%@) - %s", name(), database(),
          handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc));
    extra.reset();
    return false;
  }
  extra = std::move(owned);
  setConnected(true);
  if (debugging()) debug("Connected to '%@'", name());
  return true;
}

void KorvelSQLite::backendDisconnect() {
  if (!connected()) return;
  try {
    if (isInTransaction()) rollback();
    if (debugging()) debug("Disconnecting client %@", clientName());
    extra.reset();
    if (debugging()) debug("Disconnected client %@", clientName());
  } catch (...) {
    // When the rollback or a log line failed, the handle is still open:
    // closing it here keeps the file and its descriptor from leaking. After
    // the close, the reset finds nothing to close again.
    extra.reset();
    logDisconnectError(std::current_exception());
  }
  setConnected(false);
}

// Disconnecting never raises: not even when the debug sink that takes this
// line does.
void KorvelSQLite::logDisconnectError(std::exception_ptr error) noexcept {
  try {
    try {
      std::rethrow_exception(error);
    } catch (const Exception& e) {
      debug("Error disconnecting from database (%@): %@", clientName(), e);
    } catch (const std::exception& e) {
      debug("Error disconnecting from database (%@): %s", clientName(), e.what());
    } catch (...) {
      debug("Error disconnecting from database (%@): %s", clientName(), "unknown exception");
    }
  } catch (...) {
  }
}

std::int64_t KorvelSQLite::backendExecute(const StatementList& info) {
  const Value statement = info.empty() ? Value() : KorvelUnProxyLiteral(info[0]);
  if (statement.text().empty()) throw InternalInconsistencyException("Statement produced null string");
  try {
    if (!connect())
      throw SQLException(format("Unable to connect to '%@' to execute statement %@", name(), statement));
    // The engine reads the statement up to its first NUL; markers after it
    // must not take byte buffers that would never reach the engine.
    std::string_view text = statement.text();
    text = text.substr(0, text.find('\0'));
    std::uint32_t length = 0;
    std::string sql = insertBLOBs(info, text.data(), static_cast<std::uint32_t>(text.size()), kBlobMarker,
                                  kBlobMarkerLength, length);
    char* error = nullptr;
    int rc = sqlite3_exec(extra.get(), sql.c_str(), nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
      std::string reason = error ? error : sqlite3_errstr(rc);
      sqlite3_free(error);
      throw SQLException(format("%s", reason));
    }
    return -1;
  } catch (const Exception& e) {
    if (e.name() == kSQLConnectionException) disconnect();
    if (debugging()) debug("Error executing statement:\n%@\n%@", statement, e);
    throw;
  } catch (const std::exception& e) {
    if (debugging()) debug("Error executing statement:\n%@\n%s", statement, e.what());
    throw;
  }
}

Ref<List> KorvelSQLite::backendQuery(const Value& statementValue, const RecordType& recordType,
                                     const ListType& listType) {
  Ref<List> list = listType.newList(2);
  const Value statement = KorvelUnProxyLiteral(statementValue);
  if (statement.text().empty()) throw InternalInconsistencyException("Statement produced null string");
  StatementHandle prepared;
  try {
    if (!connect()) throw SQLException(format("Unable to connect to '%@' to run query %@", name(), statement));
    std::string_view text = statement.text();
    if (text.size() > static_cast<std::size_t>(INT_MAX)) throw SQLException(format("Unable to prepare '%@'", statement));
    const char* rest = nullptr;
    if (sqlite3_prepare_v2(extra.get(), text.data(), static_cast<int>(text.size()), &prepared.stmt, &rest) !=
        SQLITE_OK)
      throw SQLException(format("Unable to prepare '%@'", statement));
    int rc = prepared.stmt ? sqlite3_step(prepared.stmt) : SQLITE_DONE;
    if (rc == SQLITE_ROW) {
      const int n = sqlite3_column_count(prepared.stmt);
      // Column names become keys once per query; after the first record the
      // record type's shared key set serves every later row.
      std::vector<Value> keys(static_cast<std::size_t>(n));
      for (int i = 0; i < n; ++i) {
        const char* columnName = sqlite3_column_name(prepared.stmt, i);
        keys[i] = Value::text(columnName ? columnName : "");
      }
      std::vector<Value> values(static_cast<std::size_t>(n));
      Ref<KeySet> shared;
      bool first = true;
      do {
        for (int i = 0; i < n; ++i) values[i] = columnValue(prepared.stmt, i);
        if (shared) {
          list->append(recordType.newWithValues(values.data(), shared));
        } else {
          Value record = recordType.newWithValues(values.data(), keys.data(), static_cast<std::uint32_t>(n));
          if (first) shared = recordType.keysOf(record);
          list->append(std::move(record));
        }
        first = false;
        rc = sqlite3_step(prepared.stmt);
      } while (rc == SQLITE_ROW);
    }
    if (rc != SQLITE_DONE) throw SQLException(format("%s", sqlite3_errmsg(extra.get())));
    return list;
  } catch (const Exception& e) {
    if (prepared.stmt) {
      sqlite3_finalize(prepared.stmt);
      prepared.stmt = nullptr;
    }
    if (e.name() == kSQLConnectionException) disconnect();
    if (debugging()) debug("Error executing statement:\n%@\n%@", statement, e);
    throw;
  } catch (const std::exception& e) {
    // A caller's record or list type may raise any kind; it is logged the
    // same way and goes on unchanged (the statement is finalised on the way).
    if (debugging()) debug("Error executing statement:\n%@\n%s", statement, e.what());
    throw;
  }
}

std::uint32_t KorvelSQLite::lengthOfEscapedBLOB(const Bytes& blob) {
  // The literal's length must fit the 32-bit count, or the caller would size
  // its buffer from a wrapped-around number and the copy would overrun it.
  if (blob.length() > (UINT32_MAX - 3u) / 2u)
    throw InvalidArgumentException(format("Byte buffer of %u bytes is too long for an SQLite literal",
                                          static_cast<unsigned long long>(blob.length())));
  return 2u * static_cast<std::uint32_t>(blob.length()) + 3u;
}

std::uint32_t KorvelSQLite::copyEscapedBLOB(const Bytes& blob, char* into) {
  static const char hex[] = "0123456789ABCDEF";
  const std::uint32_t length = static_cast<std::uint32_t>(blob.length());
  const std::uint8_t* bytes = blob.data();
  char* out = into;
  *out++ = 'X';
  *out++ = '\'';
  for (std::uint32_t i = 0; i < length; ++i) {
    *out++ = hex[bytes[i] >> 4];
    *out++ = hex[bytes[i] & 15];
  }
  *out++ = '\'';
  return static_cast<std::uint32_t>(out - into);
}

std::string KorvelSQLite::quote(const Value& value) {
  if (const Date* date = value.asDate()) return Korvel::quote(Value::float64(date->timeIntervalSinceReferenceDate()));
  return Korvel::quote(value);
}

}  // namespace korvel

KORVEL_MODULE(korvel::KorvelSQLite)
