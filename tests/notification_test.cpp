// Notifications, the notification centre, and the per-thread queue with its
// posting moments in the event loop.
#include "korvel/notification.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "korvel/exception.h"
#include "korvel/log.h"
#include "korvel/runloop.h"

namespace korvel {
namespace {

using namespace std::chrono_literals;
using Clock = RunLoop::Clock;

constexpr std::string_view kModal = "KorvelTestModalMode";

const int senderA = 0;
const int senderB = 0;
const void* const kSenderA = &senderA;
const void* const kSenderB = &senderB;

Ref<Dictionary> payload(std::string_view text) {
  auto info = makeRef<Dictionary>();
  info->set("Payload", Value::text(text));
  return info;
}

// A step log shared by callouts and observers.
struct Steps {
  std::vector<std::string> list;
  void operator()(std::string step) { list.push_back(std::move(step)); }
};

template <class Predicate>
bool spinUntil(Predicate done, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    RunLoop::current()->runOnce(0.05);
  }
  return true;
}

// Runs whole passes until nothing is left to do in them.
void settle() {
  for (int i = 0; i < 10 && RunLoop::current()->runOnce(0); ++i) {
  }
}

class Pipe {
 public:
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
    read_ = fds[0];
    write_ = fds[1];
  }
  ~Pipe() {
    ::close(read_);
    ::close(write_);
  }
  int readEnd() const { return read_; }
  void put() const { ASSERT_EQ(::write(write_, "x", 1), 1); }
  void drain() const {
    char buffer[64];
    while (::read(read_, buffer, sizeof buffer) > 0) {
    }
  }

 private:
  int read_, write_;
};

class CalloutWatcher : public RunLoopEvents {
 public:
  explicit CalloutWatcher(std::function<void()> body) : body_(std::move(body)) {}
  void receivedEvent(void*, RunLoopEventType, void*, std::string_view) override { body_(); }

 private:
  std::function<void()> body_;
};

// ---- Notification -----------------------------------------------------------------

TEST(NotificationValue, EqualityComparesNameSenderAndUserInfo) {
  struct Case {
    const char* name;
    Ref<Notification> other;
    bool equal;
  };
  const Ref<Notification> base = Notification::make("jobs", kSenderA, payload("done"));
  const Case cases[] = {
      {"same contents", Notification::make("jobs", kSenderA, payload("done")), true},
      {"another name", Notification::make("tasks", kSenderA, payload("done")), false},
      {"another sender", Notification::make("jobs", kSenderB, payload("done")), false},
      {"no sender", Notification::make("jobs", nullptr, payload("done")), false},
      {"another payload", Notification::make("jobs", kSenderA, payload("later")), false},
      {"no user information", Notification::make("jobs", kSenderA), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(base->equals(*c.other), c.equal);
    EXPECT_EQ(c.other->equals(*base), c.equal);
  }
  // No user information and an empty dictionary carry the same.
  EXPECT_TRUE(Notification::make("n", nullptr)->equals(*Notification::make("n", nullptr, makeRef<Dictionary>())));
  EXPECT_FALSE(base->equals(Dictionary()));
}

TEST(NotificationValue, DescriptionShowsNameSenderAndUserInfo) {
  const std::string text = Notification::make("jobs", kSenderA, payload("done"))->description();
  EXPECT_NE(text.find("jobs"), std::string::npos) << text;
  EXPECT_NE(text.find("Payload"), std::string::npos) << text;
  EXPECT_NE(text.find("done"), std::string::npos) << text;
  EXPECT_NE(text.find("0x"), std::string::npos) << text;
  const std::string bare = Notification::make("jobs", nullptr)->description();
  EXPECT_NE(bare.find("(nil)"), std::string::npos) << bare;
}

// ---- NotificationCenter ------------------------------------------------------------------

TEST(NotificationCentre, ObserversMatchByNameAndSender) {
  struct Case {
    const char* observedName;
    const void* observedSender;
    const char* postedName;
    const void* postedSender;
    bool called;
  };
  const Case cases[] = {
      {"jobs", nullptr, "jobs", kSenderA, true},
      {"jobs", nullptr, "jobs", nullptr, true},
      {"jobs", kSenderA, "jobs", kSenderA, true},
      {"jobs", kSenderA, "jobs", kSenderB, false},
      {"jobs", kSenderA, "jobs", nullptr, false},
      {"jobs", nullptr, "tasks", kSenderA, false},
      {"", nullptr, "tasks", kSenderB, true},
      {"", kSenderA, "tasks", kSenderA, true},
      {"", kSenderA, "tasks", kSenderB, false},
      {"jobs", nullptr, "job", nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.observedName) + " <- " + c.postedName);
    NotificationCenter centre;
    int calls = 0;
    const void* seenSender = nullptr;
    ScopedObserver observer = centre.observe(c.observedName, c.observedSender, [&](const Notification& n) {
      ++calls;
      seenSender = n.sender();
    });
    centre.post(c.postedName, c.postedSender, payload("p"));
    EXPECT_EQ(calls, c.called ? 1 : 0);
    if (c.called) {
      EXPECT_EQ(seenSender, c.postedSender);
    }
  }
}

TEST(NotificationCentre, ObserversRunInOrderInThePostingThreadAndCanBeRemoved) {
  NotificationCenter centre;
  Steps steps;
  std::vector<std::thread::id> threads;
  ObserverToken first = centre.addObserver("n", nullptr, [&](const Notification&) {
    steps("first");
    threads.push_back(std::this_thread::get_id());
  });
  ObserverToken second = centre.addObserver("n", nullptr, [&](const Notification&) { steps("second"); });
  {
    ScopedObserver third = centre.observe("n", nullptr, [&](const Notification&) { steps("third"); });
    centre.post("n", nullptr);
  }
  EXPECT_EQ(steps.list, (std::vector<std::string>{"first", "second", "third"}));

  EXPECT_TRUE(centre.removeObserver(first));
  EXPECT_FALSE(centre.removeObserver(first));
  EXPECT_FALSE(centre.removeObserver(0));
  steps.list.clear();
  std::thread([&] { centre.post("n", nullptr); }).join();
  EXPECT_EQ(steps.list, (std::vector<std::string>{"second"}));
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_EQ(threads[0], std::this_thread::get_id());
  centre.removeObserver(second);
  ScopedObserver released = centre.observe("n", nullptr, [](const Notification&) {});
  EXPECT_TRUE(centre.removeObserver(released.release()));
}

TEST(NotificationCentre, ObserverRemovedDuringAPostIsNotCalledAfterwards) {
  NotificationCenter centre;
  Steps steps;
  ObserverToken victim = 0;
  centre.addObserver("n", nullptr, [&](const Notification&) {
    steps("remover");
    centre.removeObserver(victim);
  });
  victim = centre.addObserver("n", nullptr, [&](const Notification&) { steps("victim"); });
  // An observer added during the post is not part of that post.
  centre.addObserver("n", nullptr, [&](const Notification&) {
    steps("adder");
    centre.addObserver("n", nullptr, [&](const Notification&) { steps("late"); });
  });
  centre.post("n", nullptr);
  EXPECT_EQ(steps.list, (std::vector<std::string>{"remover", "adder"}));
}

TEST(NotificationCentre, ObserverExceptionGoesToThePoster) {
  NotificationCenter centre;
  bool later = false;
  centre.addObserver("n", nullptr, [](const Notification&) { throw SQLException("observer failed"); });
  centre.addObserver("n", nullptr, [&](const Notification&) { later = true; });
  EXPECT_THROW(centre.post("n", nullptr), SQLException);
  EXPECT_FALSE(later);
  EXPECT_THROW(centre.addObserver("n", nullptr, nullptr), InvalidArgumentException);
  centre.post(Ref<Notification>());  // nothing to post: no call, no error
}

TEST(NotificationCentre, ConcurrentPostsAndRemovals) {
  NotificationCenter centre;
  std::atomic<int> calls{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> posters;
  for (int t = 0; t < 3; ++t) {
    posters.emplace_back([&] {
      while (!done) centre.post("n", nullptr);
    });
  }
  for (int i = 0; i < 2000; ++i) {
    ObserverToken token = centre.addObserver("n", nullptr, [&](const Notification&) { ++calls; });
    centre.removeObserver(token);
  }
  done = true;
  for (auto& p : posters) p.join();
  // Every observer is gone: a further post calls none of them.
  const int before = calls.load();
  centre.post("n", nullptr);
  EXPECT_EQ(calls.load(), before);
}

// ---- NotificationQueue: posting moments --------------------------------------------------

// The moments of one posting: now inside the callout, as soon as possible
// right after it, when idle once the loop is about to wait.
TEST(NotificationQueueStyles, NowThenAfterTheCalloutThenWhenIdle) {
  Ref<RunLoop> loop = RunLoop::current();
  NotificationCenter centre;
  NotificationQueue queue(centre);
  Steps steps;
  ScopedObserver observer = centre.observe("", nullptr, [&](const Notification& n) {
    steps("posted " + n.name() + (loop->currentMode() ? " in " + *loop->currentMode() : " outside the loop"));
  });
  Pipe pipe;
  CalloutWatcher watcher([&] {
    pipe.drain();
    steps("callout begins");
    queue.enqueueNotification(Notification::make("idle", nullptr), PostWhenIdle);
    queue.enqueueNotification(Notification::make("asap", nullptr), PostASAP);
    queue.enqueueNotification(Notification::make("now", nullptr), PostNow);
    steps("callout ends");
  });
  loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &watcher);
  pipe.put();
  EXPECT_TRUE(spinUntil([&] { return steps.list.size() == 5; }));
  loop->removeEvent(pipe.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, true);
  const std::string in = std::string(" in ") + std::string(kDefaultRunLoopMode);
  EXPECT_EQ(steps.list, (std::vector<std::string>{"callout begins", "posted now" + in, "callout ends",
                                                   "posted asap" + in, "posted idle" + in}));
}

// As soon as possible means after the callout that queued it, before the
// next callout of the same pass.
TEST(NotificationQueueStyles, ASAPIsPostedBeforeTheNextCallout) {
  Ref<RunLoop> loop = RunLoop::current();
  NotificationCenter centre;
  NotificationQueue queue(centre);
  Steps steps;
  ScopedObserver observer = centre.observe("", nullptr, [&](const Notification& n) { steps("posted " + n.name()); });
  loop->addTimer(0, false, [&] {
    steps("timer 1");
    queue.enqueueNotification(Notification::make("asap", nullptr), PostASAP);
    queue.enqueueNotification(Notification::make("idle", nullptr), PostWhenIdle);
  });
  loop->addTimer(0, false, [&] { steps("timer 2"); });
  EXPECT_TRUE(spinUntil([&] { return steps.list.size() == 4; }));
  EXPECT_EQ(steps.list, (std::vector<std::string>{"timer 1", "posted asap", "timer 2", "posted idle"}));
}

TEST(NotificationQueueStyles, WhenIdleWaitsWhileThereIsWork) {
  Ref<RunLoop> loop = RunLoop::current();
  NotificationCenter centre;
  NotificationQueue queue(centre);
  Steps steps;
  ScopedObserver observer = centre.observe("", nullptr, [&](const Notification& n) { steps("posted " + n.name()); });
  queue.enqueueNotification(Notification::make("idle", nullptr), PostWhenIdle);
  loop->performLater([&] {
    steps("operation 1");
    loop->performLater([&] { steps("operation 2"); });
  });
  EXPECT_TRUE(spinUntil([&] { return steps.list.size() == 3; }));
  EXPECT_EQ(steps.list, (std::vector<std::string>{"operation 1", "operation 2", "posted idle"}));
}

TEST(NotificationQueueStyles, NothingIsPostedUntilTheLoopRuns) {
  Ref<RunLoop> loop = RunLoop::current();
  NotificationCenter centre;
  NotificationQueue queue(centre);
  Steps steps;
  ScopedObserver observer = centre.observe("", nullptr, [&](const Notification& n) { steps("posted " + n.name()); });
  queue.enqueueNotification(Notification::make("asap", nullptr), PostASAP);
  queue.enqueueNotification(Notification::make("idle", nullptr), PostWhenIdle);
  EXPECT_TRUE(steps.list.empty());
  EXPECT_EQ(queue.pendingCount(), 2u);
  EXPECT_EQ(loop->nextTimeout(), 0);  // the loop knows it has work
  settle();
  EXPECT_EQ(steps.list, (std::vector<std::string>{"posted asap", "posted idle"}));
  EXPECT_EQ(queue.pendingCount(), 0u);
}

TEST(NotificationQueueStyles, QueuedNotificationsWaitForOneOfTheirModes) {
  Ref<RunLoop> loop = RunLoop::current();
  NotificationCenter centre;
  NotificationQueue queue(centre);
  Steps steps;
  ScopedObserver observer = centre.observe("", nullptr, [&](const Notification& n) { steps("posted " + n.name()); });
  queue.enqueueNotification(Notification::make("modal", nullptr), PostASAP, NotificationNoCoalescing,
                            {std::string(kModal)});
  queue.enqueueNotification(Notification::make("either", nullptr), PostWhenIdle, NotificationNoCoalescing,
                            {std::string(kModal), std::string(kDefaultRunLoopMode)});
  settle();
  EXPECT_EQ(steps.list, (std::vector<std::string>{"posted either"}));
  loop->runMode(kModal, Clock::now() + 1s);
  EXPECT_EQ(steps.list, (std::vector<std::string>{"posted either", "posted modal"}));
}

TEST(NotificationQueueStyles, OrderIsKeptWithinEachStyle) {
  NotificationCenter centre;
  NotificationQueue queue(centre);
  Steps steps;
  ScopedObserver observer = centre.observe("", nullptr, [&](const Notification& n) { steps(n.name()); });
  for (const char* name : {"i1", "i2"}) queue.enqueueNotification(Notification::make(name, nullptr), PostWhenIdle);
  for (const char* name : {"a1", "a2", "a3"}) queue.enqueueNotification(Notification::make(name, nullptr), PostASAP);
  settle();
  EXPECT_EQ(steps.list, (std::vector<std::string>{"a1", "a2", "a3", "i1", "i2"}));
}

TEST(NotificationQueueStyles, ObserverFailureIsLoggedAndTheRestIsPosted) {
  NotificationCenter centre;
  NotificationQueue queue(centre);
  std::vector<std::string> lines;
  LogSink previous = setProcessLogSink([&](std::string_view m) { lines.emplace_back(m); });
  Steps steps;
  ScopedObserver observer = centre.observe("", nullptr, [&](const Notification& n) {
    steps(n.name());
    if (n.name() == "bad") throw SQLException("observer failed");
  });
  queue.enqueueNotification(Notification::make("bad", nullptr), PostASAP);
  queue.enqueueNotification(Notification::make("good", nullptr), PostASAP);
  settle();
  setProcessLogSink(previous);
  EXPECT_EQ(steps.list, (std::vector<std::string>{"bad", "good"}));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("observer failed"), std::string::npos) << lines[0];
  EXPECT_THROW(queue.enqueueNotification(Notification::make("n", nullptr), static_cast<PostingStyle>(9)),
               InvalidArgumentException);
}

// ---- Coalescing -------------------------------------------------------------------------

TEST(NotificationQueueCoalescing, MasksDecideWhatCountsAsTheSame) {
  struct Case {
    const char* name;
    unsigned mask;
    PostingStyle style;
    std::vector<std::string> posted;
  };
  // Queued in this order: n/A, n/A, n/B, m/A; then each style and mask.
  const Case cases[] = {
      {"no coalescing keeps duplicates", NotificationNoCoalescing, PostASAP, {"n/A", "n/A", "n/B", "m/A"}},
      {"on name", NotificationCoalescingOnName, PostASAP, {"n/A", "m/A"}},
      {"on sender", NotificationCoalescingOnSender, PostASAP, {"n/A", "n/B"}},
      {"on name and sender", NotificationCoalescingOnName | NotificationCoalescingOnSender, PostWhenIdle,
       {"n/A", "n/B", "m/A"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    NotificationCenter centre;
    NotificationQueue queue(centre);
    std::vector<std::string> posted;
    ScopedObserver observer = centre.observe("", nullptr, [&](const Notification& n) {
      posted.push_back(n.name() + (n.sender() == kSenderA ? "/A" : "/B"));
    });
    queue.enqueueNotification(Notification::make("n", kSenderA), c.style, c.mask);
    queue.enqueueNotification(Notification::make("n", kSenderA), c.style, c.mask);
    queue.enqueueNotification(Notification::make("n", kSenderB), c.style, c.mask);
    queue.enqueueNotification(Notification::make("m", kSenderA), c.style, c.mask);
    settle();
    EXPECT_EQ(posted, c.posted);
  }
}

TEST(NotificationQueueCoalescing, PostNowTakesMatchingQueuedOnesAway) {
  NotificationCenter centre;
  NotificationQueue queue(centre);
  Steps steps;
  ScopedObserver observer = centre.observe("", nullptr, [&](const Notification& n) {
    steps(n.name() + std::string(n.userInfo() ? n.userInfo()->get("Payload").text() : ""));
  });
  queue.enqueueNotification(Notification::make("n", kSenderA, payload("-queued")), PostASAP);
  queue.enqueueNotification(Notification::make("other", kSenderA), PostWhenIdle);
  queue.enqueueNotification(Notification::make("n", kSenderB, payload("-now")), PostNow,
                            NotificationCoalescingOnName);
  EXPECT_EQ(steps.list, (std::vector<std::string>{"n-now"}));
  settle();
  EXPECT_EQ(steps.list, (std::vector<std::string>{"n-now", "other"}));

  queue.enqueueNotification(Notification::make("x", kSenderA), PostASAP);
  queue.dequeueNotificationsMatching(*Notification::make("y", kSenderA), NotificationCoalescingOnSender);
  EXPECT_EQ(queue.pendingCount(), 0u);
}

// ---- Queues, threads and loops -------------------------------------------------------------

TEST(NotificationQueueThreads, EachThreadHasItsDefaultQueueOnItsLoop) {
  NotificationQueue& here = NotificationQueue::defaultQueue();
  EXPECT_EQ(&here, &NotificationQueue::defaultQueue());
  EXPECT_EQ(here.runLoop().get(), RunLoop::current().get());
  NotificationQueue* there = nullptr;
  RunLoop* thereLoop = nullptr;
  std::thread([&] {
    there = &NotificationQueue::defaultQueue();
    thereLoop = there->runLoop().get();
  }).join();
  EXPECT_NE(there, &here);
  EXPECT_NE(thereLoop, RunLoop::current().get());
}

// What a database client does when it drains notifications in a thread
// whose loop is not running: hand them to the main thread, which queues
// them as soon as possible and posts them there.
TEST(NotificationQueueThreads, HandedToTheMainThreadAndPostedThere) {
  ASSERT_TRUE(RunLoop::isMainThread());
  Ref<RunLoop> mainLoop = RunLoop::current();
  std::vector<std::string> posted;
  std::thread::id postedIn;
  ScopedObserver observer = NotificationCenter::defaultCenter().observe(
      "handed-over", kSenderA, [&](const Notification& n) {
        posted.push_back(n.userInfo()->get("Payload").description());
        postedIn = std::this_thread::get_id();
        mainLoop->stop();
      });
  std::thread worker([&] {
    EXPECT_EQ(RunLoop::current()->currentMode(), std::nullopt);  // this thread's loop is not running
    std::vector<Ref<Notification>> batch = {Notification::make("handed-over", kSenderA, payload("one")),
                                            Notification::make("handed-over", kSenderA, payload("two"))};
    EXPECT_TRUE(performOnMainThread([batch] {
      for (const auto& n : batch) NotificationQueue::defaultQueue().enqueueNotification(n, PostASAP);
    }));
  });
  worker.join();
  EXPECT_TRUE(posted.empty());
  const auto start = Clock::now();
  mainLoop->runUntil(start + 10s);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(posted, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(postedIn, std::this_thread::get_id());
}

TEST(NotificationQueueThreads, EnqueueFromAnotherThreadWakesTheLoop) {
  Ref<RunLoop> loop = RunLoop::current();
  NotificationCenter centre;
  NotificationQueue queue(centre);
  std::thread::id postedIn;
  ScopedObserver observer = centre.observe("wake", nullptr, [&](const Notification&) {
    postedIn = std::this_thread::get_id();
    loop->stop();
  });
  std::thread worker([&] {
    std::this_thread::sleep_for(20ms);  // let the loop block first
    queue.enqueueNotification(Notification::make("wake", nullptr), PostASAP);
  });
  const auto start = Clock::now();
  loop->runUntil(start + 30s);
  worker.join();
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_EQ(postedIn, std::this_thread::get_id());
}

TEST(NotificationQueueThreads, QueuedNotificationMakesThePollDescriptorReadable) {
  Ref<RunLoop> loop = RunLoop::current();
  NotificationCenter centre;
  NotificationQueue queue(centre);
  int posted = 0;
  ScopedObserver observer = centre.observe("", nullptr, [&](const Notification&) { ++posted; });
  settle();
  pollfd fds[1] = {{loop->pollDescriptor(), POLLIN, 0}};
  EXPECT_EQ(::poll(fds, 1, 0), 0);
  queue.enqueueNotification(Notification::make("n", nullptr), PostWhenIdle);
  EXPECT_EQ(::poll(fds, 1, 0), 1);
  EXPECT_EQ(loop->nextTimeout(), 0);
  EXPECT_TRUE(loop->dispatchReady());
  EXPECT_EQ(posted, 1);
  EXPECT_EQ(::poll(fds, 1, 0), 0);
}

}  // namespace
}  // namespace korvel
