// Connection lifecycle of KorvelPostgres: the module statics, connecting
// with the set-up every connection gets, disconnecting, options, teardown.
#include <libpq-fe.h>

#include "KorvelPostgres.h"
#include "pg_values.h"
#include "connection_string.h"
#include "korvel/module.h"

namespace korvel {

namespace postgres {

void ConnectionFinisher::operator()(pg_conn* connection) const noexcept { PQfinish(connection); }
void ResultClearer::operator()(pg_result* result) const noexcept { PQclear(result); }

}  // namespace postgres

KorvelPostgres::KorvelPostgres(KorvelConfig config)
    : Korvel(std::move(config)), liveness_(std::make_shared<Liveness>()) {
  liveness_->client = this;
  // The class-wide values (null marker, the 47 whole-hour zones, the
  // distant future) are made once, by the first client.
  (void)pg::nullMarker();
  (void)pg::zones();
  (void)pg::future();
}

KorvelPostgres::~KorvelPostgres() {
  {
    // Waits for a watcher call, hand-over or timer using the client now.
    std::unique_lock<std::shared_mutex> guard(liveness_->mutex);
    liveness_->client = nullptr;
  }
  cancelReconnect();
  if (extra) {
    if (connected()) disconnect();
    // disconnect() clears `connected` even when a failed set-up left a
    // handle behind; make sure no handle or watcher outlives the client.
    _backendDisconnected();
    extra.reset();
  }
  // A loop of another thread may be about to call the watcher whose
  // registration just went: the token lives until that loop's current pass
  // is over (operations handed over run after its watchers).
  if (watcherLoop_ && watcherLoop_.get() != RunLoop::current().get())
    watcherLoop_->performLater([token = liveness_]() {});
}

void KorvelPostgres::Liveness::receivedEvent(void* data, RunLoopEventType type, void* extra,
                                             std::string_view mode) {
  std::shared_lock<std::shared_mutex> guard(mutex);
  if (client) client->receivedEvent(data, type, extra, mode);
}

KorvelPostgres::ConnectionRecord& KorvelPostgres::ensureRecord() {
  if (!extra) extra = std::make_unique<ConnectionRecord>();
  return *extra;
}

pg_conn* KorvelPostgres::connection() const noexcept { return extra ? extra->connection.get() : nullptr; }

void KorvelPostgres::setOptions(Ref<Dictionary> options) {
  auto guard = lock();
  Ref<Dictionary> copy;
  if (options) {
    copy = makeRef<Dictionary>(options->size());
    for (const auto& [key, value] : options->entries()) copy->set(key, value);
  }
  ensureRecord().options = std::move(copy);
}

namespace {

bool optionsRequireSSL(const Ref<Dictionary>& options) {
  if (!options) return false;
  const Value& mode = options->get("sslmode");
  return mode.isText() && mode.text() == "require";
}

}  // namespace

bool KorvelPostgres::backendConnect() {
  ConnectionRecord& record = ensureRecord();
  if (record.connection) return connected();
  setConnected(false);
  if (!database()) {
    debug("Connect to '%@' with no user/password/database configured", name());
    return false;
  }
  postgres::ConnectionSettings settings;
  settings.requireSSL = optionsRequireSSL(record.options);
  purgeConnections();
  settings.database = *database();
  settings.user = user();
  settings.password = password();
  settings.clientName = clientName();
  const postgres::ConnectionString string = postgres::buildConnectionString(settings);

  if (debugging()) debug("Connect to '%@' as %@ (%@)", string.shown, name(), clientName());
  record.connection.reset(PQconnectdb(string.sent.c_str()));
  if (PQstatus(record.connection.get()) != CONNECTION_OK) {
    debug("Error connecting to '%@' (%@) - %s", name(), string.shown, PQerrorMessage(record.connection.get()));
    _backendDisconnected();
    return false;
  }
  if (PQsetClientEncoding(record.connection.get(), "UTF-8") < 0) {
    debug("Error setting UTF-8 with '%@' (%@) - %s", name(), string.shown, PQerrorMessage(record.connection.get()));
    _backendDisconnected();
    return false;
  }
  record.backendPID = PQbackendPID(record.connection.get());
  setConnected(true);
  finishConnectionSetup(string.shown);
  if (debugging()) {
    if (connected()) debug("Connected to '%@'", name());
    else debug("Disconnected '%@'", name());
  }
  return connected();
}

// Makes the server read backslashes in ordinary string literals as plain
// characters (the quoting of every client relies on it) and keeps it from
// warning about the E'' literals that byte buffers are written in. Closes
// the connection when that cannot be had.
bool KorvelPostgres::finishConnectionSetup(const std::string& shown) {
  pg_conn* handle = extra->connection.get();
  const char* conforming = PQparameterStatus(handle, "standard_conforming_strings");
  if (!conforming) {
    _backendDisconnected();
    debug("Postgres without standard conforming strings");
    return false;
  }
  const char* setting = std::string_view(conforming) == "on"
                            ? "SET escape_string_warning=off"
                            : "SET standard_conforming_strings=on;SET escape_string_warning=off";
  postgres::PGResult result(PQexec(handle, setting));
  if (result && PQresultStatus(result.get()) == PGRES_COMMAND_OK) return true;
  debug("Error setting string handling with '%@' (%@) - %s", name(), shown, PQerrorMessage(handle));
  result.reset();
  _backendDisconnected();
  return false;
}

void KorvelPostgres::_backendDisconnected() {
  if (!extra || !extra->connection) return;
  // The watcher goes before the socket closes: the loop must never watch a
  // descriptor that may be reused by the next connection.
  removeWatcher();
  extra->connection.reset();
  setConnected(false);
}

// Removes every registration of the watcher from the loop that holds it,
// which may belong to another thread, and forgets the loop.
void KorvelPostgres::removeWatcher() noexcept {
  ConnectionRecord& record = *extra;
  if (!record.eventLoop) return;
  if (record.descriptor >= 0) {
    record.eventLoop->removeEvent(record.descriptor, RunLoopEventReadable, kDefaultRunLoopMode, true);
    record.descriptor = -1;
  }
  record.eventLoop = Ref<RunLoop>();
}

// After a failure half-way through closing: whatever step failed, the handle
// was not finished yet (finishing empties it), so finishing it now releases
// it exactly once instead of leaking it.
void KorvelPostgres::forgetConnection() noexcept {
  removeWatcher();
  extra->connection.reset();
}

void KorvelPostgres::backendDisconnect() {
  // A disconnection asked for ends any reconnection still pending.
  cancelReconnect();
  if (extra && extra->connection) {
    try {
      if (debugging()) debug("Disconnecting client %@", clientName());
      _backendDisconnected();
      if (debugging()) debug("Disconnected client %@", clientName());
    } catch (const Exception& e) {
      forgetConnection();
      debug("Error disconnecting from database (%@): %@", clientName(), e);
    } catch (const std::exception& e) {
      forgetConnection();
      debug("Error disconnecting from database (%@): %s", clientName(), e.what());
    }
  }
  setConnected(false);
}

}  // namespace korvel

KORVEL_MODULE(korvel::KorvelPostgres)
