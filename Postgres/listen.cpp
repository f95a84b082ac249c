// Listening of KorvelPostgres: LISTEN, UNLISTEN and NOTIFY, and the watcher
// that drains notifications while the client idles in its event loop.
#include <libpq-fe.h>

#include <algorithm>
#include <cstring>

#include "KorvelPostgres.h"

namespace korvel {

namespace {

constexpr double kFirstReconnectDelay = 0.1;
constexpr double kLastReconnectDelay = 5.0;
constexpr std::size_t kErrorCopySize = 1000;

int descriptorOf(void* data) { return static_cast<int>(reinterpret_cast<std::intptr_t>(data)); }

}  // namespace

void KorvelPostgres::backendListen(const std::string& name) {
  execute("LISTEN ", name);
  if (!extra || !extra->connection) return;
  ConnectionRecord& record = *extra;
  Ref<RunLoop> loop = RunLoop::current();
  if (record.eventLoop && record.eventLoop.get() != loop.get())
    throw InternalInconsistencyException("Observer added to the same client from another runloop");
  const bool firstRegistration = !record.eventLoop;
  if (!record.eventLoop) {
    if (!loop) throw InternalInconsistencyException("Observer can't be set up ... no runloop in thread");
    record.eventLoop = loop;
  }
  if (record.descriptor < 0) {
    const int socket = PQsocket(record.connection.get());
    if (socket < 0) {
      record.eventLoop = Ref<RunLoop>();
      throw InternalInconsistencyException("Observer can't be set up ... bad file descriptor");
    }
    record.descriptor = socket;
  }
  try {
    record.eventLoop->addEvent(record.descriptor, RunLoopEventReadable, liveness_.get(), kDefaultRunLoopMode);
  } catch (...) {
    // No watcher stands behind a loop and descriptor that a failed first
    // registration would leave set.
    if (firstRegistration) {
      record.descriptor = -1;
      record.eventLoop = Ref<RunLoop>();
    }
    throw;
  }
  watcherLoop_ = record.eventLoop;
}

void KorvelPostgres::backendUnlisten(const std::string& name) {
  if (extra && extra->eventLoop && extra->descriptor >= 0) {
    ConnectionRecord& record = *extra;
    // The host has taken the name out already: no names left means this was
    // the last, and every registration goes (a name listened for twice holds
    // two).
    const bool last = _names.empty();
    record.eventLoop->removeEvent(record.descriptor, RunLoopEventReadable, kDefaultRunLoopMode, last);
    if (last) {
      record.descriptor = -1;
      record.eventLoop = Ref<RunLoop>();
    }
  }
  if (_names.empty()) cancelReconnect();
  execute("UNLISTEN ", name);
}

void KorvelPostgres::backendNotify(const std::string& name, const std::optional<std::string>& payload) {
  if (!payload) {
    execute("NOTIFY ", name);
    return;
  }
  const Value text = Value::text(*payload);
  // quote() would turn a payload it cannot read into NULL, which the server
  // rejects with a misleading syntax error.
  if (text.isEmpty()) throw InvalidArgumentException("Notification payload is not valid UTF-8");
  execute("NOTIFY ", name, ",", quote(text));
}

void KorvelPostgres::receivedEvent(void* data, RunLoopEventType, void*, std::string_view) {
  auto guard = lock();
  const int descriptor = descriptorOf(data);
  const bool wasConnected = connected();
  pg_conn* handle = connection();
  if (!handle) {
    if (Ref<RunLoop> loop = RunLoop::current())
      loop->removeEvent(descriptor, RunLoopEventReadable, kDefaultRunLoopMode, true);
    debug("Listen event on disconnected client, desc: %d", descriptor);
  } else if (PQconsumeInput(handle)) {
    _checkNotifications(true);
  } else {
    // Copies first: disconnecting frees the library's message.
    const std::optional<std::string> clientName = name();
    const char* message = PQerrorMessage(handle);
    const std::string error(message ? message : "",
                            message ? std::min(std::strlen(message), kErrorCopySize - 1) : 0);
    if (PQstatus(handle) != CONNECTION_OK || PQsocket(handle) != descriptor) disconnect();
    debug("Error consuming input for '%@' - %s", clientName, error);
  }
  if (wasConnected && !connected() && !_names.empty()) {
    // The host's connect listens again for every name; when the server is
    // not back yet (a restart), the loop keeps trying.
    if (!connect()) {
      if (Ref<RunLoop> loop = RunLoop::current()) scheduleReconnect(*loop);
    }
  }
}

void KorvelPostgres::scheduleReconnect(RunLoop& loop) {
  cancelReconnect();
  reconnectDelay_ = reconnectDelay_ <= 0 ? kFirstReconnectDelay
                                         : std::min(reconnectDelay_ * 2, kLastReconnectDelay);
  std::shared_ptr<Liveness> token = liveness_;
  reconnectLoop_ = Ref<RunLoop>::share(&loop);
  reconnectTimer_ = loop.addTimer(reconnectDelay_, false, [token]() {
    std::shared_lock<std::shared_mutex> guard(token->mutex);
    if (token->client) token->client->reconnectFromTimer();
  });
  if (debugging()) debug("Reconnecting '%@' in %g seconds", name(), reconnectDelay_);
}

void KorvelPostgres::reconnectFromTimer() {
  auto guard = lock();
  reconnectTimer_ = 0;
  Ref<RunLoop> loop = std::move(reconnectLoop_);
  // Someone else connected meanwhile, or nothing is listened for any more.
  if (connected() || _names.empty()) {
    reconnectDelay_ = 0;
    return;
  }
  if (connect()) {
    reconnectDelay_ = 0;
    return;
  }
  if (loop) scheduleReconnect(*loop);
}

void KorvelPostgres::cancelReconnect() noexcept {
  if (reconnectTimer_ && reconnectLoop_) reconnectLoop_->cancelTimer(reconnectTimer_);
  reconnectTimer_ = 0;
  reconnectLoop_ = Ref<RunLoop>();
}

}  // namespace korvel
