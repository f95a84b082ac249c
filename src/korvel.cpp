#include "korvel/korvel.h"

#include <charconv>
#include <cmath>
#include <cstring>

#include "korvel/notification.h"
#include "korvel/runloop.h"

namespace korvel {

Korvel::Korvel(KorvelConfig config) : config_(std::move(config)) {
  debugging_.store(config_.debugging, std::memory_order_relaxed);
  _shouldTrim = config_.trim;
}

Korvel::~Korvel() = default;

void Korvel::setDatabase(std::optional<std::string> v) { auto g = lock(); config_.database = std::move(v); }
void Korvel::setUser(std::optional<std::string> v) { auto g = lock(); config_.user = std::move(v); }
void Korvel::setPassword(std::optional<std::string> v) { auto g = lock(); config_.password = std::move(v); }
void Korvel::setClientName(std::optional<std::string> v) { auto g = lock(); config_.clientName = std::move(v); }
void Korvel::setName(std::optional<std::string> v) { auto g = lock(); config_.name = std::move(v); }

void Korvel::debugMessage(std::string_view message) const {
  LogSink sink;
  {
    std::lock_guard<std::mutex> guard(sinkMutex_);
    sink = debugSink_;
  }
  if (sink) sink(message);
  else processLogMessage(message);
}

void Korvel::setDebugSink(LogSink sink) {
  std::lock_guard<std::mutex> guard(sinkMutex_);
  debugSink_ = std::move(sink);
}

// ---- Connection ---------------------------------------------------------------

bool Korvel::connect() {
  auto guard = lock();
  if (connected()) return true;
  bool reconnecting = hadConnection_ && !_names.empty() && !relistening_;
  if (!backendConnect()) return false;
  hadConnection_ = true;
  if (reconnecting) relisten();
  return connected();
}

void Korvel::relisten() {
  relistening_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{relistening_};
  auto names = makeRef<List>(_names.size());
  for (const std::string& channel : std::set<std::string>(_names)) {
    try {
      backendListen(channel);
      names->append(Value::text(channel));
    } catch (const Exception& e) {
      debug("Error listening again for %@ on '%@': %@", channel, name(), e);
    } catch (const std::exception& e) {
      debug("Error listening again for %@ on '%@': %s", channel, name(), e.what());
    }
  }
  auto info = makeRef<Dictionary>(1);
  info->set("Names", Value(names));
  auto note = Notification::make(std::string(kKorvelReconnectedNotification), this, info);
  // Like database notifications: observers run after the current callout of
  // this thread's loop when it runs, else later in the main thread.
  // A thread that is exiting has no loop any more.
  Ref<RunLoop> loop = RunLoop::current();
  if (loop && loop->currentMode()) {
    NotificationQueue::defaultQueue().enqueueNotification(note, PostASAP, 0, {});
  } else {
    performOnMainThread([note] { NotificationCenter::defaultCenter().post(note); });
  }
}

void Korvel::disconnect() {
  auto guard = lock();
  try {
    backendDisconnect();
  } catch (const std::exception& e) {
    // Backends swallow their own failures; this only guards against one that
    // does not, since disconnect runs on error paths and in destructors.
    debug("Error disconnecting from database (%@): %s", clientName(), e.what());
  }
  // Whatever the backend did, a closed connection has no transaction left.
  inTransaction_ = false;
  setConnected(false);
}

// ---- Statements and queries -----------------------------------------------------

std::int64_t Korvel::executeStatement(StatementList statement) {
  auto guard = lock();
  if (statement.empty()) statement.emplace_back(Value::text(""));
  return backendExecute(statement);
}

Ref<List> Korvel::query(std::string_view sql) {
  Value text = Value::text(sql);
  if (text.isEmpty() && !sql.empty()) throw InvalidArgumentException("Query is not valid UTF-8");
  return query(text);
}

Ref<List> Korvel::query(const Value& sql) { return query(sql, defaultRecordType(), defaultListType()); }

Ref<List> Korvel::query(const Value& sql, const RecordType& recordType, const ListType& listType) {
  auto guard = lock();
  return backendQuery(sql.isEmpty() ? Value::text("") : sql, recordType, listType);
}

// ---- Quoting ------------------------------------------------------------------

std::string Korvel::quoteString(std::string_view text) const {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('\'');
  for (char c : text) {
    if (c == '\'') out.push_back('\'');
    out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

namespace {

template <class T>
std::string quoteFloating(T v) {
  if (std::isnan(v)) return "'NaN'";
  if (std::isinf(v)) return v < 0 ? "'-Infinity'" : "'Infinity'";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

}  // namespace

std::string Korvel::quote(const Value& value) {
  switch (value.kind()) {
    case Kind::Empty:
    case Kind::Null: return "NULL";
    case Kind::Text: return quoteString(value.text());
    case Kind::Literal: return std::string(value.text());
    case Kind::Boolean: return value.asBool() ? "TRUE" : "FALSE";
    case Kind::Int32:
    case Kind::Int64: return std::to_string(value.asInt64());
    case Kind::Float: return quoteFloating(static_cast<float>(value.asDouble()));
    case Kind::Double: return quoteFloating(value.asDouble());
    case Kind::Date: {
      const Date& date = *value.asDate();
      return quoteString(date.format("%Y-%m-%d %H:%M:%S.%F %z", date.zoneForOffsetText()));
    }
    case Kind::Bytes: {
      const Bytes& blob = *value.asBytes();
      std::string out(lengthOfEscapedBLOB(blob), '\0');
      out.resize(copyEscapedBLOB(blob, out.data()));
      return out;
    }
    default:
      throw InvalidArgumentException(
          format("Cannot quote a value of kind %s: %@", kindName(value.kind()), value));
  }
}

std::string Korvel::insertBLOBs(const StatementList& blobs, const char* statement, std::uint32_t length,
                                const char* marker, std::uint32_t markerLength, std::uint32_t& giving) {
  std::string_view text(statement, length);
  std::string_view mark(marker, markerLength);
  std::size_t next = 1;
  if (blobs.size() <= 1 || mark.empty()) {
    giving = length;
    return std::string(text);
  }
  // First pass sizes the result so the copy below never reallocates.
  std::size_t total = text.size();
  for (std::size_t i = 1; i < blobs.size(); ++i) {
    const Bytes* blob = blobs[i].asBytes();
    if (!blob)
      throw InvalidArgumentException(format("Statement element %u is not a byte buffer: %@",
                                            static_cast<unsigned>(i), blobs[i]));
    total += lengthOfEscapedBLOB(*blob);
  }
  std::string out;
  out.reserve(total);
  std::size_t pos = 0;
  while (next < blobs.size()) {
    std::size_t at = text.find(mark, pos);
    if (at == std::string_view::npos) break;
    out.append(text.substr(pos, at - pos));
    const Bytes& blob = *blobs[next++].asBytes();
    std::size_t start = out.size();
    out.resize(start + lengthOfEscapedBLOB(blob));
    std::uint32_t written = copyEscapedBLOB(blob, out.data() + start);
    out.resize(start + written);
    pos = at + mark.size();
  }
  if (next < blobs.size())
    throw InvalidArgumentException(format("Statement has %u byte buffers but only %u BLOB markers",
                                          static_cast<unsigned>(blobs.size() - 1),
                                          static_cast<unsigned>(next - 1)));
  out.append(text.substr(pos));
  giving = static_cast<std::uint32_t>(out.size());
  return out;
}

// ---- Transactions ---------------------------------------------------------------

void Korvel::begin() {
  auto guard = lock();
  if (inTransaction_) throw InternalInconsistencyException("Begin a transaction while already in a transaction");
  execute("BEGIN");
  inTransaction_ = true;
}

void Korvel::commit() {
  auto guard = lock();
  if (!inTransaction_) throw InternalInconsistencyException("Commit while not in a transaction");
  // The transaction is over whatever COMMIT answers: engines end a
  // transaction whose commit fails.
  inTransaction_ = false;
  execute("COMMIT");
}

void Korvel::rollback() {
  auto guard = lock();
  if (!inTransaction_) return;
  inTransaction_ = false;
  execute("ROLLBACK");
}

// ---- Notifications ------------------------------------------------------------

void Korvel::listen(const std::string& name) {
  auto guard = lock();
  // Connect before the name joins _names, so that a reconnection made here
  // listens again only for the names that were there before.
  connect();
  const bool added = _names.insert(name).second;
  try {
    backendListen(name);
  } catch (const SQLConnectionException&) {
    throw;  // the name stays: the reconnection listens for it
  } catch (const SQLException&) {
    // The server refused the name; kept, it would be refused again at every
    // reconnection.
    if (added) _names.erase(name);
    throw;
  }
}

void Korvel::unlisten(const std::string& name) {
  auto guard = lock();
  if (_names.erase(name) == 0) return;
  backendUnlisten(name);
}

void Korvel::notify(const std::string& name, const std::optional<std::string>& payload) {
  auto guard = lock();
  backendNotify(name, payload);
}

// ---- Default hooks --------------------------------------------------------------

void Korvel::unsupported(std::string_view hook) const {
  throw InternalInconsistencyException(
      format("The %@ backend does not implement %@", backendName(), hook));
}

bool Korvel::backendConnect() { unsupported("backendConnect"); }
void Korvel::backendDisconnect() { setConnected(false); }
std::int64_t Korvel::backendExecute(const StatementList&) { unsupported("backendExecute"); }
Ref<List> Korvel::backendQuery(const Value&, const RecordType&, const ListType&) { unsupported("backendQuery"); }
std::uint32_t Korvel::lengthOfEscapedBLOB(const Bytes&) { unsupported("lengthOfEscapedBLOB"); }
std::uint32_t Korvel::copyEscapedBLOB(const Bytes&, char*) { unsupported("copyEscapedBLOB"); }
void Korvel::backendListen(const std::string& name) {
  _names.erase(name);  // nothing listens for it
  unsupported("backendListen");
}
void Korvel::backendUnlisten(const std::string&) { unsupported("backendUnlisten"); }
void Korvel::backendNotify(const std::string&, const std::optional<std::string>&) { unsupported("backendNotify"); }
void Korvel::setOptions(Ref<Dictionary>) { unsupported("setOptions"); }

Value Korvel::dbToDateFromBuffer(const char* buffer, std::int32_t length) {
  if (!buffer || length <= 0) return {};
  std::string_view text(buffer, static_cast<std::size_t>(length));
  if (auto nul = text.find('\0'); nul != std::string_view::npos) text = text.substr(0, nul);
  while (!text.empty() && std::strchr(" \t\n\v\f\r", text.back())) text.remove_suffix(1);
  for (std::string_view fmt : {"%Y-%m-%d %H:%M:%S %z", "%Y-%m-%d %H:%M:%S.%F %z", "%Y-%m-%d %H:%M:%S", "%Y-%m-%d"}) {
    if (Ref<Date> d = Date::parse(text, fmt)) return Value(d);
  }
  return {};
}

}  // namespace korvel
