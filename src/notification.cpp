// Notifications, the notification centre and the per-thread queue.
#include "korvel/notification.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <utility>

#include "korvel/exception.h"
#include "korvel/format.h"
#include "korvel/log.h"

namespace korvel {

// ---- Notification ---------------------------------------------------------------

Notification::Notification(std::string name, const void* sender, Ref<Dictionary> userInfo)
    : name_(std::move(name)), sender_(sender), userInfo_(std::move(userInfo)) {}

std::string Notification::description() const {
  const std::string sender =
      sender_ ? format("0x%x", reinterpret_cast<std::uintptr_t>(sender_)) : std::string("(nil)");
  return format("<Notification %@ sender %s %@>", name_, sender, userInfo_);
}

bool Notification::equals(const Object& other) const {
  const auto* that = dynamic_cast<const Notification*>(&other);
  if (!that) return false;
  if (that == this) return true;
  if (name_ != that->name_ || sender_ != that->sender_) return false;
  const bool mineEmpty = !userInfo_ || userInfo_->size() == 0;
  const bool theirsEmpty = !that->userInfo_ || that->userInfo_->size() == 0;
  if (mineEmpty || theirsEmpty) return mineEmpty == theirsEmpty;
  return userInfo_->equals(*that->userInfo_);
}

// ---- ScopedObserver ---------------------------------------------------------------

ScopedObserver::ScopedObserver(ScopedObserver&& other) noexcept
    : centre_(std::exchange(other.centre_, nullptr)), token_(std::exchange(other.token_, 0)) {}

ScopedObserver& ScopedObserver::operator=(ScopedObserver&& other) noexcept {
  if (this != &other) {
    reset();
    centre_ = std::exchange(other.centre_, nullptr);
    token_ = std::exchange(other.token_, 0);
  }
  return *this;
}

void ScopedObserver::reset() noexcept {
  if (centre_ && token_) centre_->removeObserver(token_);
  centre_ = nullptr;
  token_ = 0;
}

ObserverToken ScopedObserver::release() noexcept {
  centre_ = nullptr;
  return std::exchange(token_, 0);
}

// ---- NotificationCenter -------------------------------------------------------------

struct NotificationCenter::Entry {
  ObserverToken token;
  std::string name;
  const void* sender;
  NotificationObserver observer;
  // Cleared by removeObserver; a post that took this entry before the removal
  // looks at it before each call.
  std::atomic<bool> active{true};

  bool wants(const Notification& n) const {
    return (name.empty() || name == n.name()) && (!sender || sender == n.sender());
  }
};

NotificationCenter::NotificationCenter() = default;
NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
  // Never destroyed: notifications may be posted while statics are torn down.
  static NotificationCenter* centre = new NotificationCenter;
  return *centre;
}

ObserverToken NotificationCenter::addObserver(std::string name, const void* sender, NotificationObserver observer) {
  if (!observer) throw InvalidArgumentException("A notification observer needs a function");
  auto entry = std::make_shared<Entry>();
  entry->name = std::move(name);
  entry->sender = sender;
  entry->observer = std::move(observer);
  std::lock_guard<std::mutex> guard(mutex_);
  entry->token = nextToken_++;
  entries_.push_back(entry);
  return entry->token;
}

ScopedObserver NotificationCenter::observe(std::string name, const void* sender, NotificationObserver observer) {
  return ScopedObserver(*this, addObserver(std::move(name), sender, std::move(observer)));
}

bool NotificationCenter::removeObserver(ObserverToken token) noexcept {
  std::shared_ptr<Entry> removed;  // its function is destroyed outside the lock
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [token](const std::shared_ptr<Entry>& e) { return e->token == token; });
    if (it == entries_.end()) return false;
    removed = std::move(*it);
    removed->active.store(false, std::memory_order_release);
    entries_.erase(it);
  }
  return true;
}

void NotificationCenter::post(const Ref<Notification>& notification) {
  if (!notification) return;
  // A name rarely has more than a few observers: they are taken into an
  // array on the stack, so that a flood of notifications costs no allocation
  // here. The rest, in order, go to the vector.
  constexpr std::size_t kFew = 4;
  std::array<std::shared_ptr<Entry>, kFew> few;
  std::size_t fewCount = 0;
  std::vector<std::shared_ptr<Entry>> more;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& e : entries_) {
      if (!e->wants(*notification)) continue;
      if (fewCount < kFew) few[fewCount++] = e;
      else more.push_back(e);
    }
  }
  auto call = [&](const std::shared_ptr<Entry>& e) {
    if (e->active.load(std::memory_order_acquire)) e->observer(*notification);
  };
  for (std::size_t i = 0; i < fewCount; ++i) call(few[i]);
  for (const auto& e : more) call(e);
}

void NotificationCenter::post(std::string name, const void* sender, Ref<Dictionary> userInfo) {
  post(Notification::make(std::move(name), sender, std::move(userInfo)));
}

// ---- NotificationQueue ----------------------------------------------------------------

namespace {

bool coalesces(const Notification& a, const Notification& b, unsigned mask) {
  if ((mask & (NotificationCoalescingOnName | NotificationCoalescingOnSender)) == 0) return false;
  if ((mask & NotificationCoalescingOnName) && a.name() != b.name()) return false;
  if ((mask & NotificationCoalescingOnSender) && a.sender() != b.sender()) return false;
  return true;
}

}  // namespace

struct NotificationQueue::Entry {
  Ref<Notification> notification;
  // Empty for the default mode alone, the usual case, which so costs no
  // allocation per queued notification.
  std::vector<std::string> modes;

  bool postsIn(std::string_view mode) const {
    if (modes.empty()) return mode == kDefaultRunLoopMode;
    return std::find(modes.begin(), modes.end(), mode) != modes.end();
  }
};

NotificationQueue::NotificationQueue(NotificationCenter& centre) : centre_(centre), loop_(RunLoop::current()) {
  if (!loop_) throw InternalInconsistencyException("A notification queue needs an event loop: this thread is exiting");
  loop_->addObserver(this);
}

NotificationQueue::~NotificationQueue() { loop_->removeObserver(this); }

NotificationQueue& NotificationQueue::defaultQueue() {
  thread_local std::unique_ptr<NotificationQueue> queue;
  if (!queue) queue = std::make_unique<NotificationQueue>();
  return *queue;
}

void NotificationQueue::enqueueNotification(Ref<Notification> notification, PostingStyle style,
                                            unsigned coalesceMask, std::vector<std::string> modes) {
  if (style != PostWhenIdle && style != PostASAP && style != PostNow)
    throw InvalidArgumentException(format("Unknown notification posting style %d", static_cast<int>(style)));
  if (!notification) return;
  if (style == PostNow) {
    dequeueNotificationsMatching(*notification, coalesceMask);
    centre_.post(notification);
    return;
  }
  if (modes.size() == 1 && modes.front() == kDefaultRunLoopMode) modes.clear();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto same = [&](const Entry& e) { return coalesces(*e.notification, *notification, coalesceMask); };
    if (std::any_of(asap_.begin(), asap_.end(), same) || std::any_of(idle_.begin(), idle_.end(), same)) return;
    (style == PostASAP ? asap_ : idle_).push_back({std::move(notification), std::move(modes)});
  }
  // Inside a callout of this thread the loop would see the work anyway; the
  // wake-up is for other threads and for a foreign loop watching the loop's
  // descriptor.
  loop_->wakeUp();
}

void NotificationQueue::dequeueNotificationsMatching(const Notification& notification, unsigned coalesceMask) {
  std::vector<Entry> removed;  // released outside the lock
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto* list : {&asap_, &idle_}) {
    auto keep = std::stable_partition(list->begin(), list->end(), [&](const Entry& e) {
      return !coalesces(*e.notification, notification, coalesceMask);
    });
    std::move(keep, list->end(), std::back_inserter(removed));
    list->erase(keep, list->end());
  }
}

std::size_t NotificationQueue::pendingCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return asap_.size() + idle_.size();
}

// Posts, in queue order, the notifications of one style that may be posted
// in `mode`. Only those queued before the call are posted: an observer that
// queues another one has it posted at the next moment, so that observers
// that keep queueing cannot hold the loop in one callout for ever.
bool NotificationQueue::postQueued(PostingStyle style, std::string_view mode) {
  std::vector<Entry> due;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    std::vector<Entry>& list = style == PostASAP ? asap_ : idle_;
    auto later = std::stable_partition(list.begin(), list.end(), [&](const Entry& e) { return e.postsIn(mode); });
    std::move(list.begin(), later, std::back_inserter(due));
    list.erase(list.begin(), later);
  }
  for (const Entry& e : due) {
    try {
      centre_.post(e.notification);
    } catch (const Exception& ex) {
      processLog("Exception raised by an observer of %@: %@", e.notification, ex);
    } catch (const std::exception& ex) {
      processLog("Exception raised by an observer of %@: %s", e.notification, ex.what());
    } catch (...) {
      processLog("Unknown exception raised by an observer of %@", e.notification);
    }
  }
  return !due.empty();
}

bool NotificationQueue::afterCallout(std::string_view mode) { return postQueued(PostASAP, mode); }

// As-soon-as-possible notifications still waiting mean the loop is not idle
// yet; the idle ones wait for the next time it is about to wait.
bool NotificationQueue::beforeWaiting(std::string_view mode) {
  if (postQueued(PostASAP, mode)) return true;
  return postQueued(PostWhenIdle, mode);
}

bool NotificationQueue::hasPendingWork(std::string_view mode) const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto in = [&](const Entry& e) { return e.postsIn(mode); };
  return std::any_of(asap_.begin(), asap_.end(), in) || std::any_of(idle_.begin(), idle_.end(), in);
}

}  // namespace korvel
