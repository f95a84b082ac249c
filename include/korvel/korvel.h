// Korvel: the database client.
//
//   auto db = korvel::Korvel::create({.backend = "SQLite", .database = "app.db"});
//   db->execute("CREATE TABLE t (id INTEGER, name TEXT, data BLOB)");
//   db->execute("INSERT INTO t VALUES (1, ", db->quote(korvel::Value::text("ann")),
//               ", ", korvel::Value::bytes("\x00\x01", 2), ")");
//   for (const korvel::Value& row : db->query("SELECT * FROM t"))
//     std::cout << row.asRecord()->at("name").text() << "\n";
//
// A client is made for a backend by name ("SQLite", "Postgres", "MySQL",
// "ECPG"). The backend lives in a plug-in module that the host loads on first
// use (see "Modules" below). Every connection is made on demand: statements
// and queries connect when the client is not connected.
//
// Ownership: a query returns a new list that the caller owns; the list owns
// its records, and records share their values. Nothing outlives its client
// except values, which live as long as anyone holds them.
//
// Thread-safety: one client may be used from several threads; the host runs
// one client's operations one at a time under the client's re-entrant lock
// (`lock`). For work in parallel, use one client per thread or a KorvelPool.
//
// Errors: operations raise korvel::Exception subclasses (exception.h):
// SQLException for statement and engine errors, SQLConnectionException when
// the connection failed or was lost (the client is then disconnected),
// InternalInconsistencyException for misuse (an empty statement).
//
// Modules: the shared object of backend NAME is NAME.so in the module
// directory. The directories searched, in order: the configuration's
// moduleDirectory; each entry of the colon-separated environment variable
// KORVEL_MODULE_PATH; and the korvel/modules directory beside the host
// library itself (lib/korvel/modules in both the build tree and an installed
// tree). A loaded module is never unloaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "korvel/date.h"
#include "korvel/exception.h"
#include "korvel/format.h"
#include "korvel/log.h"
#include "korvel/value.h"

namespace korvel {

// What a client is made from. Settings left out are "nothing".
// Posted by the host after it re-listened on a new connection (see listen).
inline constexpr std::string_view kKorvelReconnectedNotification = "KorvelReconnectedNotification";

struct KorvelConfig {
  std::string backend = "SQLite";
  // Postgres and MySQL: name, name@host or name@host:port. SQLite: a file
  // path. ECPG: the libecpg connection target.
  std::optional<std::string> database = std::nullopt;
  std::optional<std::string> user = std::nullopt;
  std::optional<std::string> password = std::nullopt;
  // Shown to the server where it supports it (application_name).
  std::optional<std::string> clientName = std::nullopt;
  // The client's own name, used in messages.
  std::optional<std::string> name = std::nullopt;
  // 0 quiet; 1 progress lines; 2 per-field lines; 3 parsed arrays.
  unsigned debugging = 0;
  // Trim white space from text results (backends that support it).
  bool trim = false;
  // Searched for modules before KORVEL_MODULE_PATH and the default.
  std::optional<std::string> moduleDirectory = std::nullopt;
};

// The statement handed to backendExecute: element 0 is the statement (a text
// or literal text); elements 1 and on are byte buffers that replace, in
// order, the BLOB markers of the statement.
using StatementList = std::vector<Value>;

class KorvelPool;

class Korvel {
 public:
  // Makes a client of the configured backend, loading its module when
  // needed. Raises InvalidArgumentException naming the backend and every
  // path tried when no module can be loaded.
  static std::unique_ptr<Korvel> create(const KorvelConfig& config);

  Korvel(const Korvel&) = delete;
  Korvel& operator=(const Korvel&) = delete;
  // Backends disconnect in their own destructor; the base only checks.
  virtual ~Korvel();

  // ---- Settings -------------------------------------------------------
  const std::string& backendName() const noexcept { return config_.backend; }
  const std::optional<std::string>& database() const noexcept { return config_.database; }
  const std::optional<std::string>& user() const noexcept { return config_.user; }
  const std::optional<std::string>& password() const noexcept { return config_.password; }
  const std::optional<std::string>& clientName() const noexcept { return config_.clientName; }
  // The name used in messages, as configured (nothing when not set).
  const std::optional<std::string>& name() const noexcept { return config_.name; }
  unsigned debugging() const noexcept { return debugging_.load(std::memory_order_relaxed); }
  void setDebugging(unsigned level) noexcept { debugging_.store(level, std::memory_order_relaxed); }
  bool shouldTrim() const noexcept { return _shouldTrim; }
  // Settings changes take effect at the next connection.
  void setDatabase(std::optional<std::string> v);
  void setUser(std::optional<std::string> v);
  void setPassword(std::optional<std::string> v);
  void setClientName(std::optional<std::string> v);
  void setName(std::optional<std::string> v);
  const KorvelConfig& config() const noexcept { return config_; }

  // ---- Debug log ------------------------------------------------------
  // Writes a formatted line (format.h) to the client's debug sink, whatever
  // the debugging level: callers test debugging() for lines that are gated.
  template <class... A>
  void debug(std::string_view fmt, const A&... args) const {
    debugMessage(format(fmt, args...));
  }
  void debugMessage(std::string_view message) const;
  // Replaces this client's debug sink; an empty sink means the process log.
  void setDebugSink(LogSink sink);

  // ---- Connection -----------------------------------------------------
  // Connects if not connected; true when connected afterwards. Failures are
  // logged through debug, never raised.
  bool connect();
  // Closes the connection (rolling back an open transaction); never raises.
  void disconnect();
  bool connected() const noexcept { return connected_.load(std::memory_order_acquire); }

  // ---- Statements -----------------------------------------------------
  // Runs one statement made of the fragments joined in order. A fragment is
  // a text (string, string_view, C string), a Value (texts and literals as
  // they are, numbers in their text form), or a byte buffer Value, which
  // puts this backend's BLOB marker in the statement and passes the buffer
  // alongside, escaped by the backend. Quote values with quote() first.
  // Returns the backend's count of affected rows (SQLite: always -1).
  template <class... F>
  std::int64_t execute(const F&... fragments) {
    StatementList list(1);
    std::string text;
    (appendFragment(text, list, fragments), ...);
    list[0] = Value::text(text);
    if (list[0].isEmpty() && !text.empty())
      throw InvalidArgumentException("Statement is not valid UTF-8");
    return executeStatement(std::move(list));
  }
  // Runs a ready statement list (see StatementList).
  std::int64_t executeStatement(StatementList statement);

  // ---- Queries --------------------------------------------------------
  // Runs a query and returns its rows as a list of Records.
  Ref<List> query(std::string_view sql);
  Ref<List> query(const Value& sql);
  // Runs a query with the caller's record type and list type.
  Ref<List> query(const Value& sql, const RecordType& recordType, const ListType& listType);

  // ---- Quoting --------------------------------------------------------
  // An SQL literal for a value:
  //   null marker, nothing         NULL
  //   text                         quoteString(text)
  //   literal text                 as it stands
  //   boolean                      TRUE / FALSE
  //   integers                     decimal digits
  //   float, double                shortest decimal that reads back exactly;
  //                                NaN and infinities as 'NaN', 'Infinity',
  //                                '-Infinity'
  //   date                         '2024-01-02 03:04:05.123 +0100' in its zone
  //                                (in UTC when the offset has seconds)
  //   byte buffer                  the backend's escaped form
  //                                (lengthOfEscapedBLOB / copyEscapedBLOB)
  // Lists, dictionaries and records raise InvalidArgumentException.
  // Backends may override (SQLite writes dates as numbers).
  virtual std::string quote(const Value& value);
  // The text between apostrophes, each apostrophe doubled.
  std::string quoteString(std::string_view text) const;

  // Replaces each BLOB marker of the statement, in order, by the escaped
  // form of the next byte buffer of `blobs` (elements 1 and on), and gives
  // the new length in `giving`. Markers beyond the buffers stay as they are;
  // buffers beyond the markers raise InvalidArgumentException, since their
  // data would be lost. Elements that are not byte buffers raise too.
  std::string insertBLOBs(const StatementList& blobs, const char* statement, std::uint32_t length,
                          const char* marker, std::uint32_t markerLength, std::uint32_t& giving);
  // This backend's BLOB marker.
  virtual std::string_view blobMarker() const noexcept { return "'?'''?'"; }

  // ---- Transactions ---------------------------------------------------
  bool isInTransaction() const noexcept { return inTransaction_; }
  // BEGIN; raises InternalInconsistencyException inside a transaction.
  void begin();
  // COMMIT; raises InternalInconsistencyException outside a transaction.
  void commit();
  // ROLLBACK when in a transaction, else nothing.
  void rollback();

  // ---- Notifications (backends that support them) -------------------------
  // Database notifications reach observers of the NotificationCenter
  // (notification.h) under the channel's name, with the client as sender.
  //
  // When a client that listens is connected again after its connection was
  // closed (the server restarted, the connection was lost, or disconnect was
  // called), the host listens again for every name in listenedNames, so that
  // notifications keep coming with no work by the application. It then posts
  // one notification of its own, kKorvelReconnectedNotification, with the
  // client as sender and the user information {"Names": list of the channel
  // names listened for again}: notifications sent while the client was not
  // connected are lost, and an observer of this one may catch up.
  //
  // The names this client listens for.
  const std::set<std::string>& listenedNames() const noexcept { return _names; }
  // Connects when needed, then starts listening for the channel. A name the
  // server refuses is not kept; after a lost connection it is, and the
  // reconnection listens for it.
  void listen(const std::string& name);
  void unlisten(const std::string& name);
  void notify(const std::string& name, const std::optional<std::string>& payload = std::nullopt);

  // ---- Pool -----------------------------------------------------------
  // Disconnects the idle clients of every pool that were released before
  // `before` (or, when nothing is given, longer ago than their pool's idle
  // time-out). Clients that are busy at that moment are left alone.
  static void purgeConnections(std::optional<double> beforeSecondsSinceReference = std::nullopt);

  // ---- Lock -----------------------------------------------------------
  // The client's re-entrant lock; held by every host operation.
  [[nodiscard]] std::unique_lock<std::recursive_mutex> lock() const {
    return std::unique_lock<std::recursive_mutex>(mutex_);
  }

  // ---- Hooks ------------------------------------------------------------
  // What a backend implements. Applications call the host operations above;
  // these run under the client's lock. A hook a backend does not implement
  // raises InternalInconsistencyException naming the hook and the backend.
  virtual bool backendConnect();
  virtual void backendDisconnect();
  virtual std::int64_t backendExecute(const StatementList& info);
  virtual Ref<List> backendQuery(const Value& statement, const RecordType& recordType,
                                 const ListType& listType);
  virtual std::uint32_t lengthOfEscapedBLOB(const Bytes& blob);
  // Writes the escaped form into `into` (at least lengthOfEscapedBLOB bytes);
  // returns the bytes written.
  virtual std::uint32_t copyEscapedBLOB(const Bytes& blob, char* into);
  // A date from a PostgreSQL-style date or timestamp text, or nothing. The
  // base reads "%Y-%m-%d %H:%M:%S %z" and, failing that, "%Y-%m-%d".
  virtual Value dbToDateFromBuffer(const char* buffer, std::int32_t length);
  virtual void backendListen(const std::string& name);
  virtual void backendUnlisten(const std::string& name);
  virtual void backendNotify(const std::string& name, const std::optional<std::string>& payload);
  virtual void setOptions(Ref<Dictionary> options);

 protected:
  explicit Korvel(KorvelConfig config);
  void setConnected(bool c) noexcept { connected_.store(c, std::memory_order_release); }
  [[noreturn]] void unsupported(std::string_view hook) const;

  // Names listened for; the host removes a name before backendUnlisten.
  std::set<std::string> _names;
  bool _shouldTrim = false;

 private:
  friend class KorvelPool;
  template <class F>
  void appendFragment(std::string& text, StatementList& list, const F& fragment) {
    if constexpr (std::is_same_v<F, Value>) {
      if (fragment.asBytes()) {
        text.append(blobMarker());
        list.push_back(fragment);
      } else if (fragment.isText()) {
        text.append(fragment.text());
      } else {
        text.append(fragment.description());
      }
    } else if constexpr (std::is_integral_v<F>) {
      text.append(std::to_string(fragment));
    } else {
      text.append(std::string_view(fragment));
    }
  }

  KorvelConfig config_;
  std::atomic<unsigned> debugging_{0};
  std::atomic<bool> connected_{false};
  bool inTransaction_ = false;
  // Set once a connection was made: a later connection with names in _names
  // is a reconnection, after which the host listens again.
  bool hadConnection_ = false;
  bool relistening_ = false;
  void relisten();
  mutable std::recursive_mutex mutex_;
  mutable std::mutex sinkMutex_;
  LogSink debugSink_;
};

}  // namespace korvel
