// Notifications: named messages from a sender to whoever observes them.
//
//   auto& centre = korvel::NotificationCenter::defaultCenter();
//   korvel::ScopedObserver jobs = centre.observe("jobs", client, [](const korvel::Notification& n) {
//     std::cout << n.userInfo()->get("Payload").text() << "\n";
//   });
//
// A NotificationCenter calls its observers at once, in the posting thread.
// A NotificationQueue belongs to one thread and its event loop: it holds
// notifications back until a moment of that loop (the end of the current
// callout, or the loop going idle) and then posts them to its centre, so that
// observers never run inside the code that produced the notification.
//
// The PostgreSQL backend posts the server's LISTEN/NOTIFY messages this way:
// name = the channel, sender = the client, userInfo = {"Payload", "Local",
// "Async"}.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "korvel/runloop.h"
#include "korvel/value.h"

namespace korvel {

// An immutable notification.
class Notification final : public Object {
 public:
  // `sender` is an identity only: it is compared, printed and handed to
  // observers, never dereferenced or owned; whoever posts keeps it valid for
  // as long as observers may use it. `userInfo` may be empty.
  Notification(std::string name, const void* sender, Ref<Dictionary> userInfo = {});
  static Ref<Notification> make(std::string name, const void* sender, Ref<Dictionary> userInfo = {}) {
    return makeRef<Notification>(std::move(name), sender, std::move(userInfo));
  }

  const std::string& name() const noexcept { return name_; }
  const void* sender() const noexcept { return sender_; }
  // The user information, or an empty Ref.
  const Ref<Dictionary>& userInfo() const noexcept { return userInfo_; }

  // "<Notification jobs sender 0x55d0c0 {Payload = done; ...}>"; "(nil)" for
  // no sender or no user information.
  std::string description() const override;
  // Equal names, the same sender, and equal user information (no user
  // information equals an empty dictionary).
  bool equals(const Object& other) const override;

 private:
  std::string name_;
  const void* sender_;
  Ref<Dictionary> userInfo_;
};

using NotificationObserver = std::function<void(const Notification&)>;
// Names one observer of one centre; 0 names none.
using ObserverToken = std::uint64_t;

class NotificationCenter;

// Removes its observer when it goes out of scope. Move-only.
class ScopedObserver {
 public:
  ScopedObserver() = default;
  ScopedObserver(NotificationCenter& centre, ObserverToken token) : centre_(&centre), token_(token) {}
  ScopedObserver(ScopedObserver&& other) noexcept;
  ScopedObserver& operator=(ScopedObserver&& other) noexcept;
  ~ScopedObserver() { reset(); }

  // Removes the observer now.
  void reset() noexcept;
  // Gives up ownership: the observer stays until removed by token.
  ObserverToken release() noexcept;
  ObserverToken token() const noexcept { return token_; }

 private:
  NotificationCenter* centre_ = nullptr;
  ObserverToken token_ = 0;
};

// Observers by name and sender.
//
// Thread-safety: every member may be called from any thread, observers
// included (an observer may add and remove observers and post). Observers
// are called without the centre's lock. An observer removed while a post is
// under way is not called by that post from then on; a call that another
// thread has already started may still be running when removeObserver
// returns, so an observer that captures state shared with other threads must
// protect it.
class NotificationCenter {
 public:
  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // The process's centre; lives until the process ends.
  static NotificationCenter& defaultCenter();

  // Calls `observer` for each notification posted with `name` (an empty name:
  // every name) from `sender` (nullptr: any sender). Gives the token that
  // removes it. Raises InvalidArgumentException for an empty observer.
  ObserverToken addObserver(std::string name, const void* sender, NotificationObserver observer);
  // addObserver with a handle that removes the observer when destroyed.
  [[nodiscard]] ScopedObserver observe(std::string name, const void* sender, NotificationObserver observer);
  // True when the token named an observer of this centre.
  bool removeObserver(ObserverToken token) noexcept;

  // Calls every matching observer, in the order they were added, in the
  // calling thread, before returning. An exception from an observer goes on
  // to the caller and the observers after it are not called. An empty Ref
  // posts nothing.
  void post(const Ref<Notification>& notification);
  void post(std::string name, const void* sender, Ref<Dictionary> userInfo = {});

 private:
  struct Entry;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Entry>> entries_;
  ObserverToken nextToken_ = 1;
};

// When a queued notification is posted.
enum PostingStyle {
  PostWhenIdle = 1,  // when the loop is about to wait with nothing else to do
  PostASAP = 2,      // when the current callout of the loop ends
  PostNow = 3,       // at once, in enqueueNotification
};

// Which queued notifications count as the same one (bits of a mask).
enum NotificationCoalescing : unsigned {
  NotificationNoCoalescing = 0,
  NotificationCoalescingOnName = 1,
  NotificationCoalescingOnSender = 2,
};

// A thread's queue of notifications waiting for a moment of its event loop.
//
// Notifications queued as soon as possible are posted after the callout of
// the loop in which they were queued (a watcher, timer or handed-over
// operation) returns, or at the end of the loop's next pass when they were
// queued outside any callout; those queued for when idle are posted when the
// loop is about to wait with nothing else to do. Both are posted only while
// the loop runs in one of their modes. Nothing queued is posted while the
// loop is not running: it waits for the next run.
//
// Thread-safety: the queue belongs to the thread whose loop it rides on and
// is made and destroyed there. enqueueNotification and
// dequeueNotificationsMatching may be called from any thread (a queued
// notification wakes the loop); PostNow then posts in the calling thread.
class NotificationQueue : private RunLoopObserver {
 public:
  // A queue on the calling thread's loop, posting to `centre`. The centre
  // must outlive the queue.
  explicit NotificationQueue(NotificationCenter& centre = NotificationCenter::defaultCenter());
  ~NotificationQueue() override;
  NotificationQueue(const NotificationQueue&) = delete;
  NotificationQueue& operator=(const NotificationQueue&) = delete;

  // The calling thread's queue on the default centre, made on first use;
  // lives until the thread exits.
  static NotificationQueue& defaultQueue();

  // Queues or posts `notification`. With a coalescing mask, a notification
  // that matches one already queued (same name, same sender, or both, as the
  // mask says) is dropped for PostASAP and PostWhenIdle; PostNow removes the
  // matching queued ones and posts. `modes` are the loop modes it may be
  // posted in; none means the default mode (PostNow ignores them). An empty
  // Ref does nothing. PostNow lets an observer's exception through; an
  // exception from an observer of a queued notification is written to the
  // process log and the remaining notifications are posted all the same.
  // Raises InvalidArgumentException for an unknown style.
  void enqueueNotification(Ref<Notification> notification, PostingStyle style,
                           unsigned coalesceMask = NotificationNoCoalescing,
                           std::vector<std::string> modes = {});
  // Removes the queued notifications that match `notification` by `mask`
  // (mask 0 matches nothing).
  void dequeueNotificationsMatching(const Notification& notification, unsigned coalesceMask);
  // Queued notifications not posted yet.
  std::size_t pendingCount() const;

  const Ref<RunLoop>& runLoop() const noexcept { return loop_; }

 private:
  struct Entry;
  bool afterCallout(std::string_view mode) override;
  bool beforeWaiting(std::string_view mode) override;
  bool hasPendingWork(std::string_view mode) const override;
  bool postQueued(PostingStyle style, std::string_view mode);

  NotificationCenter& centre_;
  Ref<RunLoop> loop_;
  mutable std::mutex mutex_;
  std::vector<Entry> asap_;
  std::vector<Entry> idle_;
};

}  // namespace korvel
