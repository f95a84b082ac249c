// Statements of KorvelPostgres: execution, the one place that tells a
// statement error from a lost connection, and the bytea literals that byte
// buffers are written in.
#include <libpq-fe.h>

#include <cstring>

#include <cstdint>

#include "../common/timestamp_text.h"
#include "KorvelPostgres.h"
#include "pg_values.h"

namespace korvel {

namespace {

constexpr char kBlobMarker[] = "'?'''?'";
constexpr std::uint32_t kBlobMarkerLength = 7;

// The server's error text; libpq hands over what the server sent, which is
// not UTF-8 when the server's messages are in another encoding.
std::string errorTextOf(pg_result* result, pg_conn* connection) {
  const char* text = result ? PQresultErrorMessage(result) : PQerrorMessage(connection);
  std::string_view bytes(text ? text : "");
  Value value = Value::text(bytes);
  if (value.isEmpty() && !bytes.empty()) value = Value::textFromLatin1(bytes);
  return std::string(value.text());
}

// libpq quotes the statement around an error position ("LINE 1: ..." and a
// caret line). For a statement with byte buffers spliced in, that excerpt
// would show the buffers' bytes in the exception and in every log that
// prints it, so it is left out; the message and its position stay.
std::string withoutStatementExcerpt(const std::string& text) {
  std::string out;
  std::size_t pos = 0;
  bool skipCaret = false;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    std::size_t next = end == std::string::npos ? text.size() : end + 1;
    std::string_view line(text.data() + pos, next - pos);
    bool excerpt = line.substr(0, 5) == "LINE " && line.find(": ") != std::string_view::npos;
    bool caret = skipCaret && line.find_first_not_of(" \t") != std::string_view::npos &&
                 line[line.find_first_not_of(" \t")] == '^';
    if (!excerpt && !caret) out.append(line);
    skipCaret = excerpt;
    pos = next;
  }
  return out;
}

// The command tag's count as a signed 64-bit number: leading blanks and a
// sign allowed, digits up to the first other character, nothing gives 0.
std::int64_t parseCount(const char* text) {
  if (!text) return 0;
  while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\v' || *text == '\f' || *text == '\r')
    ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  std::uint64_t count = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    const std::uint64_t next = count * 10 + static_cast<std::uint64_t>(*text - '0');
    if (next < count) return negative ? INT64_MIN : INT64_MAX;  // saturate rather than wrap
    count = next;
  }
  if (count > static_cast<std::uint64_t>(INT64_MAX)) return negative ? INT64_MIN : INT64_MAX;
  return negative ? -static_cast<std::int64_t>(count) : static_cast<std::int64_t>(count);
}

bool succeeded(pg_result* result) {
  if (!result) return false;
  const ExecStatusType status = PQresultStatus(result);
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

}  // namespace

void KorvelPostgres::raiseStatementError(const Value& statement, const std::string& errorText) {
  std::string reason = format("Error executing %@: %@", statement, errorText);
  if (PQstatus(connection()) != CONNECTION_OK) {
    disconnect();
    throw SQLConnectionException(std::move(reason));
  }
  throw SQLException(std::move(reason));
}

std::int64_t KorvelPostgres::backendExecute(const StatementList& info) {
  const Value statement = info.empty() ? Value() : KorvelUnProxyLiteral(info[0]);
  if (statement.text().empty()) throw InternalInconsistencyException("Statement produced null string");
  // The host promises connection on demand; PQexec on no connection would
  // only report a lost one.
  if (!connection() && !connect())
    throw SQLConnectionException(format("Unable to connect to '%@' to execute statement %@", name(), statement));
  postgres::PGResult result;
  try {
    const std::string_view text = statement.text();
    std::uint32_t length = 0;
    const std::string sql = insertBLOBs(info, text.data(), static_cast<std::uint32_t>(text.size()), kBlobMarker,
                                        kBlobMarkerLength, length);
    result.reset(PQexec(connection(), sql.c_str()));
    if (!succeeded(result.get())) {
      std::string errorText = errorTextOf(result.get(), connection());
      if (info.size() > 1) errorText = withoutStatementExcerpt(errorText);
      result.reset();
      raiseStatementError(statement, errorText);
    }
    const std::int64_t count = parseCount(PQcmdTuples(result.get()));
    result.reset();
    _checkNotifications(false);
    return count;
  } catch (...) {
    result.reset();
    if (connected() && PQstatus(connection()) != CONNECTION_OK) disconnect();
    throw;
  }
}

namespace {

// What a query knows of one result column, and the column's cache of the
// last short value it decoded. Short texts repeat (status words, small numbers,
// booleans), so a text of up to kCachedLength bytes equal to the column's
// previous one takes that value again without decoding.
constexpr int kCachedLength = 20;

}  // namespace

struct KorvelPostgres::Column {
  Value key;
  Oid type = 0;
  int modifier = 0;
  int format = 0;
  int cachedLength = -1;  // -1: nothing cached yet, so nothing matches
  const char* cachedText = nullptr;  // inside the result, valid until it is cleared
  Value cachedValue;
};

Ref<List> KorvelPostgres::backendQuery(const Value& statementValue, const RecordType& recordType,
                                       const ListType& listType) {
  const Value statement = KorvelUnProxyLiteral(statementValue);
  if (statement.text().empty()) throw InternalInconsistencyException("Statement produced null string");
  // Connection on demand, as for statements.
  if (!connection() && !connect())
    throw SQLConnectionException(format("Unable to connect to '%@' to run query %@", name(), statement));
  postgres::PGResult result;
  try {
    result.reset(PQexec(connection(), std::string(statement.text()).c_str()));
    if (!succeeded(result.get())) {
      std::string errorText = errorTextOf(result.get(), connection());
      result.reset();
      raiseStatementError(statement, errorText);
    }
    if (PQresultStatus(result.get()) == PGRES_COMMAND_OK)
      throw SQLException(format("Error executing %@: %s", statement, "query produced no result"));

    pg_result* res = result.get();
    const int rows = PQntuples(res);
    const int fields = PQnfields(res);
    const unsigned level = debugging();
    const pg::DecodeContext context{shouldTrim(), level};
    std::vector<Column> columns(static_cast<std::size_t>(fields));
    std::vector<Value> keys(static_cast<std::size_t>(fields));
    for (int c = 0; c < fields; ++c) {
      Column& column = columns[c];
      const char* fieldName = PQfname(res, c);
      column.key = Value::text(fieldName ? fieldName : "");
      if (column.key.isEmpty()) column.key = Value::textFromLatin1(fieldName ? fieldName : "");
      column.type = PQftype(res, c);
      column.modifier = PQfmod(res, c);
      column.format = PQfformat(res, c);
      keys[c] = column.key;
    }
    Ref<List> list = listType.newList(static_cast<std::size_t>(rows));
    std::vector<Value> values(static_cast<std::size_t>(fields));
    Ref<KeySet> sharedKeys;
    for (int r = 0; r < rows; ++r) {
      for (int c = 0; c < fields; ++c) values[c] = fieldValue(res, r, c, columns[c], context, level);
      if (sharedKeys) {
        list->append(recordType.newWithValues(values.data(), sharedKeys));
      } else {
        Value record = recordType.newWithValues(values.data(), keys.data(), static_cast<std::uint32_t>(fields));
        if (r == 0) sharedKeys = recordType.keysOf(record);
        list->append(std::move(record));
      }
    }
    columns.clear();  // the cached pointers point into the result
    result.reset();
    _checkNotifications(false);
    return list;
  } catch (...) {
    result.reset();
    if (connected() && PQstatus(connection()) != CONNECTION_OK) disconnect();
    throw;
  }
}

Value KorvelPostgres::fieldValue(pg_result* res, int row, int col, Column& column, const pg::DecodeContext& context,
                                 unsigned level) {
  // libpq gives a NULL a length of 0, so only an empty field needs asking.
  const int length = PQgetlength(res, row, col);
  if (length == 0 && PQgetisnull(res, row, col)) return pg::nullMarker();
  const char* text = PQgetvalue(res, row, col);
  if (level >= 2)
    debug("%@ type:%d mod:%d size: %d\n", column.key, column.type, column.modifier, length);
  const bool cacheable = length <= kCachedLength;
  if (cacheable && length == column.cachedLength &&
      std::memcmp(text, column.cachedText, static_cast<std::size_t>(length)) == 0)
    return column.cachedValue;
  if (column.format != 0) {
    processLog("Binary data treated as NSNull in %@ type:%d mod:%d size:%d\n", column.key, column.type,
               column.modifier, length);
    return pg::nullMarker();
  }
  Value value = pg::newParseField(text, column.type, static_cast<std::size_t>(length), context);
  // A longer value could never match, so it does not displace the cached
  // one: holding it would only cost a reference count on every row.
  if (cacheable) {
    column.cachedValue = value;
    column.cachedLength = length;
    column.cachedText = text;
  }
  return value;
}

// ---- Operations offered to callers -------------------------------------------

Value KorvelPostgres::dataFromBLOB(const char* text) { return pg::dataFromBLOB(text); }

Value KorvelPostgres::newDateFromBuffer(const char* text, std::size_t length) {
  return pg::newDateFromBuffer(text, length);
}

Value KorvelPostgres::newParseField(const char* text, std::uint32_t typeOid, std::size_t length) {
  return pg::newParseField(text, typeOid, length, pg::DecodeContext{shouldTrim(), debugging()});
}

std::string& KorvelPostgres::quoteArray(const Value& list, std::string& into, bool quotingStrings) {
  return pg::quoteArray(list, into, quotingStrings, *this);
}

std::string KorvelPostgres::quoteArray(const Value& list, bool quotingStrings) {
  return pg::quoteArray(list, quotingStrings, *this);
}

// ---- bytea literals ----------------------------------------------------------

std::uint32_t KorvelPostgres::lengthOfEscapedBLOB(const Bytes& blob) { return pg::lengthOfEscapedBLOB(blob); }

std::uint32_t KorvelPostgres::copyEscapedBLOB(const Bytes& blob, char* into) { return pg::copyEscapedBLOB(blob, into); }

Value KorvelPostgres::dbToDateFromBuffer(const char* buffer, std::int32_t length) {
  return common::dbToDateFromBuffer(buffer, length);
}

}  // namespace korvel
