// Statements of KorvelPostgres: execution, the one place that tells a
// statement error from a lost connection, and the bytea literals that byte
// buffers are written in.
#include <libpq-fe.h>

#include <cstdint>

#include "../common/timestamp_text.h"
#include "KorvelPostgres.h"

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

Ref<List> KorvelPostgres::backendQuery(const Value&, const RecordType&, const ListType&) {
  throw InternalInconsistencyException("KorvelPostgres backendQuery is not implemented yet");
}

// ---- bytea literals ----------------------------------------------------------

namespace {

// Bytes written for one byte of a buffer inside E'...': printable ASCII but
// the apostrophe and the backslash as they are, the backslash as four
// backslashes (an escaped backslash in the string, which bytea reads as one
// backslash), everything else as \\ and three octal digits.
inline bool isPlain(std::uint8_t b) { return b >= 32 && b <= 126 && b != '\'' && b != '\\'; }

}  // namespace

std::uint32_t KorvelPostgres::lengthOfEscapedBLOB(const Bytes& blob) {
  std::uint64_t length = 3;
  const std::uint8_t* bytes = blob.data();
  for (std::size_t i = 0; i < blob.length(); ++i) {
    const std::uint8_t b = bytes[i];
    length += isPlain(b) ? 1 : (b == '\\' ? 4 : 5);
  }
  // The host sizes its buffer from this count: a wrapped count would make
  // copyEscapedBLOB write past the end.
  if (length > UINT32_MAX)
    throw InvalidArgumentException(format("Byte buffer of %u bytes is too long for a bytea literal",
                                          static_cast<unsigned long long>(blob.length())));
  return static_cast<std::uint32_t>(length);
}

std::uint32_t KorvelPostgres::copyEscapedBLOB(const Bytes& blob, char* into) {
  char* out = into;
  *out++ = 'E';
  *out++ = '\'';
  const std::uint8_t* bytes = blob.data();
  for (std::size_t i = 0; i < blob.length(); ++i) {
    const std::uint8_t b = bytes[i];
    if (isPlain(b)) {
      *out++ = static_cast<char>(b);
    } else if (b == '\\') {
      for (int k = 0; k < 4; ++k) *out++ = '\\';
    } else {
      *out++ = '\\';
      *out++ = '\\';
      *out++ = static_cast<char>('0' + (b >> 6));
      *out++ = static_cast<char>('0' + ((b >> 3) & 7));
      *out++ = static_cast<char>('0' + (b & 7));
    }
  }
  *out++ = '\'';
  return static_cast<std::uint32_t>(out - into);
}

Value KorvelPostgres::dbToDateFromBuffer(const char* buffer, std::int32_t length) {
  return common::dbToDateFromBuffer(buffer, length);
}

}  // namespace korvel
