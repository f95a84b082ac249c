// KorvelPostgres: the PostgreSQL backend, through libpq.
//
// Private to the module: applications reach the class through
// Korvel::create({.backend = "Postgres", ...}). No libpq header is included
// here; the engine handles are forward-declared.
//
// Connection. The database setting is name, name@host or name@host:port; a
// host starting with a digit is a numeric address (hostaddr). User, password
// and client name (application_name) are passed when set, and setOptions
// may add "sslmode" = "require". Every connection reported as connected has
// client encoding UTF-8, standard_conforming_strings on and
// escape_string_warning off. No message ever shows the password: the shown
// form of the connection string has '******' in its place.
//
// Lost connections. A statement that finds the connection gone raises
// SQLConnectionException with the client disconnected; the next statement
// connects again. A listening client whose connection drops while it idles
// in its loop connects again by itself, retrying (0.1 s, doubling up to 5 s)
// while the server does not answer, until it is connected, has no names
// left, or is disconnected on purpose.
//
// Notifications. listen() sends LISTEN and registers the client as a
// watcher of its socket in the calling thread's event loop; while that loop
// runs, notifications arrive without any statement. Each is posted through
// the draining thread's notification queue (or handed to the main thread
// when the draining thread's loop is not running) with the name of the
// channel, the client as sender and the user information "Payload" (text),
// "Local" (true when this connection sent it) and "Async" (true when the
// watcher drained it, false after a statement). Duplicates within one drain
// are dropped.
//
// Invariants:
//   - `extra` exists from the first backendConnect or setOptions until the
//     client is destroyed; it outlives every disconnection, so options stay
//     in force.
//   - extra->connection is set exactly while the client is connected or a
//     connection is being set up; a watcher is registered (descriptor >= 0,
//     eventLoop set) only while extra->connection is set.
//   - All listening of one client happens in one event loop.
//
// Thread-safety: hooks run under the client's lock (the host takes it);
// receivedEvent takes the same lock itself. The module statics are made once
// and read-only afterwards.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "korvel/korvel.h"
#include "korvel/notification.h"
#include "korvel/runloop.h"

struct pg_conn;
struct pg_result;

namespace korvel {

namespace pg {
struct DecodeContext;
}

namespace postgres {
// Owners of libpq handles: a connection is finished, a result cleared,
// exactly once, on every way out.
struct ConnectionFinisher {
  void operator()(pg_conn* connection) const noexcept;
};
struct ResultClearer {
  void operator()(pg_result* result) const noexcept;
};
using PGConnection = std::unique_ptr<pg_conn, ConnectionFinisher>;
using PGResult = std::unique_ptr<pg_result, ResultClearer>;

}  // namespace postgres

class KorvelPostgres final : public Korvel, public RunLoopEvents {
 public:
  // The per-connection state, kept in `extra`. Fields in this order.
  struct ConnectionRecord {
    // The libpq connection, or empty when none is open.
    postgres::PGConnection connection;
    // The server process serving the connection (PQbackendPID), stored on
    // each successful connection; tells our own notifications from others'.
    std::int32_t backendPID = 0;
    // The socket watched in eventLoop, or -1 when no watcher is registered.
    std::int32_t descriptor = -1;
    // The loop of the thread in which listening was first set up, or empty.
    Ref<RunLoop> eventLoop;
    // The caller's options (an owned copy), read at every connection.
    Ref<Dictionary> options;
  };

  explicit KorvelPostgres(KorvelConfig config);
  // Disconnects when connected, then frees the record.
  ~KorvelPostgres() override;

  // ---- Host hooks ---------------------------------------------------------
  bool backendConnect() override;
  void backendDisconnect() override;
  std::int64_t backendExecute(const StatementList& info) override;
  // Runs a query; every field decoded by its column type (newParseField),
  // SQL NULL as the null marker, short repeated texts of a column sharing
  // one value. Raises SQLException ("query produced no result" for a
  // command), SQLConnectionException after disconnecting when the connection
  // went bad. Drains notifications after a successful query.
  Ref<List> backendQuery(const Value& statement, const RecordType& recordType,
                         const ListType& listType) override;
  // E'...' with the bytea escape format: printable ASCII as it is, a
  // backslash as four backslashes, every other byte as two backslashes and
  // three octal digits. Raises InvalidArgumentException for a buffer whose
  // escaped form would not fit a 32-bit count.
  std::uint32_t lengthOfEscapedBLOB(const Bytes& blob) override;
  std::uint32_t copyEscapedBLOB(const Bytes& blob, char* into) override;
  Value dbToDateFromBuffer(const char* buffer, std::int32_t length) override;
  // LISTEN, then one more watcher registration in the calling thread's loop.
  // Raises InternalInconsistencyException when another thread's loop holds
  // the watcher already (the LISTEN is in force all the same), and the
  // statement's exceptions.
  void backendListen(const std::string& name) override;
  // One registration less (all of them when no name is left), then UNLISTEN.
  void backendUnlisten(const std::string& name) override;
  // NOTIFY name[,'payload']. Raises InvalidArgumentException for a payload
  // that is not UTF-8, and the statement's exceptions.
  void backendNotify(const std::string& name, const std::optional<std::string>& payload) override;
  // Keeps a copy of the options for the next connection; an open connection
  // is not touched. Recognised key: "sslmode" = "require".
  void setOptions(Ref<Dictionary> options) override;

  // ---- Values -------------------------------------------------------------
  // A byte buffer from a bytea text (hex or escape form), or nothing.
  Value dataFromBLOB(const char* text);
  // A date from a timestamp text as the server writes it, or nothing.
  Value newDateFromBuffer(const char* text, std::size_t length);
  // A field's value by its type OID (texts, literal texts for numbers,
  // "YES"/"NO", byte buffers, dates, lists), or nothing.
  Value newParseField(const char* text, std::uint32_t typeOid, std::size_t length);
  // A list as ARRAY[...] with typed casts, appended to `into`. Raises
  // InternalInconsistencyException when `list` is not a list.
  std::string& quoteArray(const Value& list, std::string& into, bool quotingStrings = true);
  std::string quoteArray(const Value& list, bool quotingStrings = true);

  // ---- The watcher ----------------------------------------------------------
  // The socket is readable: in the watching loop's thread, under the client's
  // lock, reads the input and drains it; a lost connection is closed and
  // made again while names are listened for (the host then listens again),
  // retried from the loop's timers while the server does not answer.
  // Raises nothing.
  void receivedEvent(void* data, RunLoopEventType type, void* extra, std::string_view mode) override;

  // ---- Notification delivery ------------------------------------------------
  using NotificationBuffer = std::vector<Ref<Notification>>;
  // Drains what libpq has collected and posts it; raises nothing.
  void _checkNotifications(bool async);
  // Hands the buffer to the posting thread and empties it; raises nothing.
  void _post(NotificationBuffer& buffer);
  // Queues each notification on the calling thread's queue; raises nothing.
  void _postNotifications(const NotificationBuffer& notifications);
  void _postNotification(const Ref<Notification>& notification);

  // Closes the connection and removes the watcher; `connected` false after.
  void _backendDisconnected();

 private:
  // Everything that may call into the client from another thread or later
  // (the socket watcher, the main-thread hand-over, the reconnection timer)
  // reaches it only through this token, which the destructor empties first
  // under the exclusive lock: a client being destroyed is never touched. The
  // token is the watcher that loops hold, since a loop may be calling it
  // already when the registration is removed; it outlives the client until
  // that loop has finished its current callout.
  struct Liveness final : RunLoopEvents {
    std::shared_mutex mutex;
    KorvelPostgres* client = nullptr;
    void receivedEvent(void* data, RunLoopEventType type, void* extra, std::string_view mode) override;
  };

  struct Column;
  Value fieldValue(pg_result* res, int row, int col, Column& column, const pg::DecodeContext& context,
                   unsigned level);
  ConnectionRecord& ensureRecord();
  pg_conn* connection() const noexcept;
  // The error of a failed statement as SQLConnectionException (after
  // disconnecting) when the connection has gone bad, else SQLException.
  [[noreturn]] void raiseStatementError(const Value& statement, const std::string& errorText);
  bool finishConnectionSetup(const std::string& shown);
  void forgetConnection() noexcept;
  void removeWatcher() noexcept;

  // Reconnection after the watcher lost the connection and the first attempt
  // failed (a server restarting): retried from the loop's timers.
  void scheduleReconnect(RunLoop& loop);
  void reconnectFromTimer();
  void cancelReconnect() noexcept;

  std::unique_ptr<ConnectionRecord> extra;
  std::shared_ptr<Liveness> liveness_;
  // The last loop that held a watcher of this client.
  Ref<RunLoop> watcherLoop_;
  // The pending reconnection timer and the loop it is in, or none.
  Ref<RunLoop> reconnectLoop_;
  RunLoop::TimerId reconnectTimer_ = 0;
  double reconnectDelay_ = 0;
};

}  // namespace korvel
