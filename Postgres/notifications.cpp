// Notification draining and delivery of KorvelPostgres: what libpq has
// collected becomes notifications for the application's observers, posted
// in the draining thread's loop or, when that loop is not running, in the
// main thread's.
#include <libpq-fe.h>

#include <array>

#include "KorvelPostgres.h"

namespace korvel {

namespace {

// A drain hands over at this many notifications, so that one flood of
// NOTIFYs never grows the buffer (or its duplicate search) without bound.
constexpr std::size_t kFlushThreshold = 1000;

struct NotifyFreer {
  void operator()(PGnotify* notify) const noexcept { PQfreemem(notify); }
};
using PGNotification = std::unique_ptr<PGnotify, NotifyFreer>;

std::string describe(const KorvelPostgres::NotificationBuffer& buffer) {
  std::string out = "(";
  for (std::size_t i = 0; i < buffer.size(); ++i) {
    if (i) out += ", ";
    out += buffer[i]->description();
  }
  out += ")";
  return out;
}

// Finds duplicates within the buffer by a hash of what tells notifications
// apart (channel, payload, origin), so that a flood of a thousand distinct
// notifications costs a thousand look-ups instead of half a million full
// comparisons. Equal hashes are still confirmed with a full comparison.
class DuplicateFilter {
 public:
  // True when an equal notification is already in the buffer; otherwise
  // remembers this one at position `index`.
  bool seen(const KorvelPostgres::NotificationBuffer& buffer, const Notification& n, std::size_t index) {
    std::size_t h = hash(n);
    // Open addressing in a table twice the size of the largest buffer: no
    // allocation per notification, and probes stay short.
    for (std::size_t slot = h & kMask;; slot = (slot + 1) & kMask) {
      Entry& e = table_[slot];
      if (e.position == 0) {
        e = {h, static_cast<std::uint32_t>(index + 1)};
        return false;
      }
      if (e.hash == h && buffer[e.position - 1]->equals(n)) return true;
    }
  }

 private:
  struct Entry {
    std::size_t hash = 0;
    std::uint32_t position = 0;  // index + 1; 0 marks a free slot
  };
  static constexpr std::size_t kSize = 2048;
  static constexpr std::size_t kMask = kSize - 1;
  static_assert(kSize > 2 * kFlushThreshold);

  static std::size_t hash(const Notification& n) {
    std::size_t h = std::hash<std::string_view>()(n.name());
    if (const Ref<Dictionary>& info = n.userInfo()) {
      h = h * 31 + std::hash<std::string_view>()(info->get("Payload").text());
      h = h * 31 + (info->get("Local").asBool() ? 1 : 0);
    }
    return h;
  }
  std::array<Entry, kSize> table_{};
};

constexpr std::size_t kDirectComparisons = 16;

bool isDuplicate(const KorvelPostgres::NotificationBuffer& buffer, std::unique_ptr<DuplicateFilter>& filter,
                 const Notification& n) {
  if (!filter && buffer.size() < kDirectComparisons) {
    for (const Ref<Notification>& held : buffer)
      if (held->equals(n)) return true;
    return false;
  }
  if (!filter) {
    filter = std::make_unique<DuplicateFilter>();
    for (std::size_t i = 0; i < buffer.size(); ++i) filter->seen(buffer, *buffer[i], i);
  }
  return filter->seen(buffer, n, buffer.size());
}

Ref<Notification> makeNotification(const PGnotify& notify, const void* sender, std::int32_t backendPID,
                                   bool async) {
  const char* channel = notify.relname ? notify.relname : "";
  if (!isValidUTF8(channel))
    throw InvalidArgumentException(format("Notification channel is not valid UTF-8: %s", channel));
  Ref<Dictionary> userInfo = makeRef<Dictionary>(3);
  if (notify.extra) {
    Value payload = Value::text(notify.extra);
    if (!payload.isEmpty()) userInfo->set("Payload", std::move(payload));
  }
  userInfo->set("Local", Value::boolean(notify.be_pid == backendPID));
  userInfo->set("Async", Value::boolean(async));
  return Notification::make(channel, sender, std::move(userInfo));
}

void enqueueHere(const Ref<Notification>& notification) {
  NotificationQueue::defaultQueue().enqueueNotification(notification, PostASAP, NotificationNoCoalescing, {});
}

}  // namespace

void KorvelPostgres::_checkNotifications(bool async) {
  pg_conn* handle = connection();
  if (!handle) return;
  const char* source = async ? "asynchronous" : "query/execute";
  NotificationBuffer buffer;
  // Small drains (the usual case after a statement) compare directly; the
  // hashed filter is set up only once a drain grows.
  std::unique_ptr<DuplicateFilter> duplicates;
  for (PGNotification notify(PQnotifies(handle)); notify; notify.reset(PQnotifies(handle))) {
    try {
      Ref<Notification> notification = makeNotification(*notify, this, extra->backendPID, async);
      if (buffer.empty()) buffer.reserve(10);
      if (!isDuplicate(buffer, duplicates, *notification)) buffer.push_back(std::move(notification));
    } catch (const Exception& e) {
      processLog("Problem handling %@ notification: %@", source, e);
    } catch (const std::exception& e) {
      processLog("Problem handling %@ notification: %s", source, e.what());
    }
    if (buffer.size() >= kFlushThreshold) {
      processLog("WARNING ... 1000 dbase notifications in buffer (flushing)");
      _post(buffer);
      duplicates.reset();
    }
  }
  _post(buffer);
}

void KorvelPostgres::_post(NotificationBuffer& buffer) {
  if (buffer.empty()) return;
  Ref<RunLoop> loop = RunLoop::current();
  const bool loopRunning = loop && loop->currentMode().has_value();
  if (loopRunning) {
    try {
      if (debugging()) debug("Notifying (receiving thread): %@", describe(buffer));
      _postNotifications(buffer);
    } catch (const std::exception& e) {
      processLog("Problem posting in receiving thread: %@ %s", describe(buffer), e.what());
    }
  } else {
    try {
      if (debugging()) debug("Notifying (main thread): %@", describe(buffer));
      // The main thread gets its own copy and reaches the client only while
      // it lives; a client destroyed before the main thread runs this still
      // has its notifications posted, only without its debug lines.
      std::shared_ptr<Liveness> token = liveness_;
      NotificationBuffer copy = buffer;
      const bool handed = performOnMainThread([token, copy = std::move(copy)]() {
        std::shared_lock<std::shared_mutex> guard(token->mutex);
        if (token->client) {
          token->client->_postNotifications(copy);
        } else {
          for (const Ref<Notification>& n : copy) {
            try {
              enqueueHere(n);
            } catch (const std::exception& e) {
              processLog("Problem posting notification: %@ %s", n, e.what());
            }
          }
        }
      });
      if (!handed) processLog("Problem posting to main thread: %@ %s", describe(buffer), "the main thread has ended");
    } catch (const std::exception& e) {
      processLog("Problem posting to main thread: %@ %s", describe(buffer), e.what());
    }
  }
  buffer.clear();
}

void KorvelPostgres::_postNotifications(const NotificationBuffer& notifications) {
  for (const Ref<Notification>& notification : notifications) {
    try {
      _postNotification(notification);
    } catch (const std::exception& e) {
      processLog("Problem posting notification: %@ %s", notification, e.what());
    }
  }
}

void KorvelPostgres::_postNotification(const Ref<Notification>& notification) {
  if (debugging()) debug("Notified (database): %@", notification);
  enqueueHere(notification);
}

}  // namespace korvel
