// The per-thread event loop: watchers and their registration counts, modes,
// timers, runs, hand-overs between threads and driving from a foreign loop.
#include "korvel/runloop.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "korvel/exception.h"
#include "korvel/log.h"

namespace korvel {
namespace {

using namespace std::chrono_literals;
using Clock = RunLoop::Clock;

constexpr std::string_view kModal = "KorvelTestModalMode";

class Pipe {
 public:
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
    read_ = fds[0];
    write_ = fds[1];
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    closeWrite();
    if (read_ >= 0) ::close(read_);
  }
  int readEnd() const { return read_; }
  int writeEnd() const { return write_; }
  void put() const { ASSERT_EQ(::write(write_, "x", 1), 1); }
  void drain() const {
    char buffer[64];
    while (::read(read_, buffer, sizeof buffer) > 0) {
    }
  }
  void closeWrite() {
    if (write_ >= 0) ::close(write_);
    write_ = -1;
  }

 private:
  int read_ = -1;
  int write_ = -1;
};

struct Call {
  int descriptor;
  RunLoopEventType type;
  void* extra;
  std::string mode;
  std::optional<std::string> currentMode;
};

// Records its calls; `then` runs inside the callout.
class Recorder : public RunLoopEvents {
 public:
  void receivedEvent(void* data, RunLoopEventType type, void* extra, std::string_view mode) override {
    const int fd = static_cast<int>(reinterpret_cast<std::intptr_t>(data));
    calls.push_back({fd, type, extra, std::string(mode), RunLoop::current()->currentMode()});
    if (then) then(fd, type);
  }
  int callsFor(int fd) const {
    int n = 0;
    for (const auto& c : calls) n += c.descriptor == fd;
    return n;
  }
  std::vector<Call> calls;
  std::function<void(int, RunLoopEventType)> then;
};

// Runs passes of the calling thread's loop until `done` or a generous limit.
template <class Predicate>
bool spinUntil(Predicate done, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    RunLoop::current()->runOnce(0.05);
  }
  return true;
}

// Takes the process log for the life of the object.
class LogCapture {
 public:
  LogCapture() {
    previous_ = setProcessLogSink([this](std::string_view m) {
      std::lock_guard<std::mutex> guard(mutex_);
      lines_.emplace_back(m);
    });
  }
  ~LogCapture() { setProcessLogSink(previous_); }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lines_;
  }

 private:
  LogSink previous_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// ---- Loops of threads ------------------------------------------------------------

TEST(RunLoopThreads, EachThreadHasItsOwnLoop) {
  Ref<RunLoop> here = RunLoop::current();
  ASSERT_TRUE(here);
  EXPECT_EQ(here.get(), RunLoop::current().get());
  RunLoop* there = nullptr;
  std::thread([&] { there = RunLoop::current().get(); }).join();
  EXPECT_NE(there, nullptr);
  EXPECT_NE(there, here.get());
}

TEST(RunLoopThreads, TheInitialThreadIsTheMainThread) {
  // GoogleTest runs the tests in the process's initial thread.
  EXPECT_TRUE(RunLoop::isMainThread());
  EXPECT_EQ(RunLoop::main().get(), RunLoop::current().get());
  EXPECT_TRUE(RunLoop::setMainThread());  // already the main thread
  bool workerIsMain = true, workerTook = true;
  RunLoop* workerSeesMain = nullptr;
  std::thread([&] {
    workerIsMain = RunLoop::isMainThread();
    workerTook = RunLoop::setMainThread();
    workerSeesMain = RunLoop::main().get();
  }).join();
  EXPECT_FALSE(workerIsMain);
  EXPECT_FALSE(workerTook);
  EXPECT_EQ(workerSeesMain, RunLoop::current().get());
}

TEST(RunLoopThreads, RunningAnotherThreadsLoopIsRefused) {
  Ref<RunLoop> other;
  std::thread([&] { other = RunLoop::current(); }).join();
  EXPECT_THROW(other->runOnce(0), InternalInconsistencyException);
  EXPECT_THROW(other->dispatchReady(), InternalInconsistencyException);
}

// ---- Watchers ---------------------------------------------------------------------

TEST(RunLoopWatchers, ReadableDescriptorCallsWatcherWithDescriptorAndMode) {
  Ref<RunLoop> loop = RunLoop::current();
  Pipe pipe;
  Recorder watcher;
  watcher.then = [&](int, RunLoopEventType) { pipe.drain(); };
  loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &watcher, kDefaultRunLoopMode);
  pipe.put();
  EXPECT_TRUE(spinUntil([&] { return !watcher.calls.empty(); }));
  loop->removeEvent(pipe.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, true);

  ASSERT_EQ(watcher.calls.size(), 1u);
  const Call& call = watcher.calls[0];
  EXPECT_EQ(call.descriptor, pipe.readEnd());
  EXPECT_EQ(call.type, RunLoopEventReadable);
  EXPECT_EQ(call.extra, nullptr);
  EXPECT_EQ(call.mode, kDefaultRunLoopMode);
  EXPECT_EQ(call.currentMode, std::optional<std::string>(kDefaultRunLoopMode));
}

TEST(RunLoopWatchers, CurrentModeIsPresentOnlyWhileRunning) {
  Ref<RunLoop> loop = RunLoop::current();
  EXPECT_EQ(loop->currentMode(), std::nullopt);
  EXPECT_FALSE(loop->isRunning());
  std::optional<std::string> inTimer;
  loop->addTimer(0, false, [&] { inTimer = loop->currentMode(); });
  EXPECT_TRUE(spinUntil([&] { return inTimer.has_value(); }));
  EXPECT_EQ(inTimer, std::optional<std::string>(kDefaultRunLoopMode));
  EXPECT_EQ(loop->currentMode(), std::nullopt);

  // Another thread asking about this loop sees the same.
  std::optional<std::string> seenFromWorker = std::string("unset");
  std::thread([&] { seenFromWorker = loop->currentMode(); }).join();
  EXPECT_EQ(seenFromWorker, std::nullopt);
}

TEST(RunLoopWatchers, WatcherIsNotCalledWithoutData) {
  Ref<RunLoop> loop = RunLoop::current();
  Pipe pipe;
  Recorder watcher;
  loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &watcher);
  loop->runOnce(0.02);
  EXPECT_TRUE(watcher.calls.empty());
  loop->removeEvent(pipe.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, true);
}

// Registration counting: each add is one registration, a remove without
// `all` takes one away, a remove with `all` takes them all.
TEST(RunLoopWatchers, RegistrationsAreCounted) {
  struct Case {
    const char* name;
    int adds;
    std::vector<bool> removes;  // the all flag of each removeEvent
    std::uint32_t countLeft;
  };
  const Case cases[] = {
      {"two adds, one remove", 2, {false}, 1},
      {"two adds, two removes", 2, {false, false}, 0},
      {"three adds, remove all", 3, {true}, 0},
      {"more removes than adds", 1, {false, false, false}, 0},
      {"remove what was never added", 0, {false, true}, 0},
      {"three adds, one remove", 3, {false}, 2},
  };
  Ref<RunLoop> loop = RunLoop::current();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipe pipe;
    Recorder watcher;
    watcher.then = [&](int, RunLoopEventType) { pipe.drain(); };
    for (int i = 0; i < c.adds; ++i) loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &watcher);
    for (bool all : c.removes) loop->removeEvent(pipe.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, all);
    EXPECT_EQ(loop->eventRegistrations(pipe.readEnd(), RunLoopEventReadable), c.countLeft);

    pipe.put();
    if (c.countLeft > 0) {
      EXPECT_TRUE(spinUntil([&] { return !watcher.calls.empty(); }));
      EXPECT_EQ(watcher.calls.size(), 1u);  // one call however many registrations
    } else {
      loop->runOnce(0.02);
      EXPECT_TRUE(watcher.calls.empty());
    }
    loop->removeEvent(pipe.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, true);
  }
}

TEST(RunLoopWatchers, CountsAreKeptPerTypeAndMode) {
  Ref<RunLoop> loop = RunLoop::current();
  Pipe pipe;
  Recorder watcher;
  loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &watcher);
  loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &watcher, kModal);
  loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &watcher, kModal);
  loop->removeEvent(pipe.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, true);
  EXPECT_EQ(loop->eventRegistrations(pipe.readEnd(), RunLoopEventReadable), 0u);
  EXPECT_EQ(loop->eventRegistrations(pipe.readEnd(), RunLoopEventReadable, kModal), 2u);
  EXPECT_EQ(loop->eventRegistrations(pipe.readEnd(), RunLoopEventWritable, kModal), 0u);
  loop->removeEvent(pipe.readEnd(), RunLoopEventReadable, kModal, true);
  EXPECT_EQ(loop->eventRegistrations(pipe.readEnd(), RunLoopEventReadable, kModal), 0u);
}

TEST(RunLoopWatchers, BadRegistrationsAreRefused) {
  Ref<RunLoop> loop = RunLoop::current();
  Pipe pipe;
  Recorder first, second;
  loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &first);

  char path[] = "/tmp/korvel-runloop-XXXXXX";
  const int file = ::mkstemp(path);
  ASSERT_GE(file, 0);
  ::unlink(path);
  int closed = ::dup(pipe.writeEnd());
  ::close(closed);

  EXPECT_THROW(loop->addEvent(-1, RunLoopEventReadable, &first), InvalidArgumentException);
  EXPECT_THROW(loop->addEvent(closed, RunLoopEventReadable, &first), InvalidArgumentException);
  EXPECT_THROW(loop->addEvent(pipe.writeEnd(), RunLoopEventReadable, nullptr), InvalidArgumentException);
  EXPECT_THROW(loop->addEvent(pipe.writeEnd(), static_cast<RunLoopEventType>(7), &first),
               InvalidArgumentException);
  EXPECT_THROW(loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &second), InternalInconsistencyException);
  EXPECT_THROW(loop->addEvent(file, RunLoopEventReadable, &first), InternalInconsistencyException);
  EXPECT_THROW(loop->addEvent(file, RunLoopEventReadable, &first, kModal), InternalInconsistencyException);
  EXPECT_EQ(loop->eventRegistrations(file, RunLoopEventReadable, kModal), 0u);
  ::close(file);

  // The refusals left the first registration alone and added none.
  EXPECT_EQ(loop->eventRegistrations(pipe.readEnd(), RunLoopEventReadable), 1u);
  EXPECT_EQ(loop->eventRegistrations(file, RunLoopEventReadable), 0u);
  pipe.put();
  EXPECT_TRUE(spinUntil([&] { return !first.calls.empty(); }));
  EXPECT_TRUE(second.calls.empty());
  loop->removeEvent(pipe.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, true);
}

TEST(RunLoopWatchers, WritableAndHangUp) {
  Ref<RunLoop> loop = RunLoop::current();
  Pipe pipe;
  Recorder writer, reader;
  loop->addEvent(pipe.writeEnd(), RunLoopEventWritable, &writer);
  EXPECT_TRUE(spinUntil([&] { return !writer.calls.empty(); }));
  EXPECT_EQ(writer.calls[0].type, RunLoopEventWritable);
  loop->removeEvent(pipe.writeEnd(), RunLoopEventWritable, kDefaultRunLoopMode, true);

  // The writer going away is end of file for the reader: it is called.
  loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &reader);
  pipe.closeWrite();
  EXPECT_TRUE(spinUntil([&] { return !reader.calls.empty(); }));
  char byte;
  EXPECT_EQ(::read(pipe.readEnd(), &byte, 1), 0);
  loop->removeEvent(pipe.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, true);
}

// One watcher on two readable pipes: whichever is called first removes the
// other, which must then not be called in that pass, nor later.
TEST(RunLoopWatchers, RegistrationRemovedInsideCalloutIsNotCalledAgain) {
  Ref<RunLoop> loop = RunLoop::current();
  Pipe a, b;
  Recorder watcher;
  watcher.then = [&](int fd, RunLoopEventType) {
    const int other = fd == a.readEnd() ? b.readEnd() : a.readEnd();
    loop->removeEvent(other, RunLoopEventReadable, kDefaultRunLoopMode, true);
  };
  loop->addEvent(a.readEnd(), RunLoopEventReadable, &watcher);
  loop->addEvent(b.readEnd(), RunLoopEventReadable, &watcher);
  a.put();
  b.put();
  EXPECT_TRUE(loop->runOnce(1));
  ASSERT_EQ(watcher.calls.size(), 1u);
  const int kept = watcher.calls[0].descriptor;
  const int removed = kept == a.readEnd() ? b.readEnd() : a.readEnd();
  (kept == a.readEnd() ? a : b).drain();
  loop->runOnce(0.02);
  EXPECT_EQ(watcher.callsFor(removed), 0);
  loop->removeEvent(kept, RunLoopEventReadable, kDefaultRunLoopMode, true);
}

// The same on one descriptor that is readable and writable at once: the
// first event type called removes the other.
TEST(RunLoopWatchers, OtherEventTypeRemovedInsideCalloutIsNotCalled) {
  Ref<RunLoop> loop = RunLoop::current();
  int ends[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
  ASSERT_EQ(::write(ends[1], "x", 1), 1);  // ends[0] is now readable, and writable anyway
  Recorder watcher;
  watcher.then = [&](int fd, RunLoopEventType type) {
    const auto other = type == RunLoopEventReadable ? RunLoopEventWritable : RunLoopEventReadable;
    loop->removeEvent(fd, other, kDefaultRunLoopMode, true);
  };
  loop->addEvent(ends[0], RunLoopEventReadable, &watcher);
  loop->addEvent(ends[0], RunLoopEventWritable, &watcher);
  EXPECT_TRUE(loop->runOnce(1));
  ASSERT_EQ(watcher.calls.size(), 1u);
  const RunLoopEventType kept = watcher.calls[0].type;
  loop->removeEvent(ends[0], kept, kDefaultRunLoopMode, true);
  ::close(ends[0]);
  ::close(ends[1]);
}

TEST(RunLoopWatchers, WatcherThatRemovesAndReaddsItselfIsCalledOncePerPass) {
  Ref<RunLoop> loop = RunLoop::current();
  Pipe pipe;
  Recorder watcher;
  watcher.then = [&](int fd, RunLoopEventType) {
    loop->removeEvent(fd, RunLoopEventReadable, kDefaultRunLoopMode, true);
    if (watcher.calls.size() < 3) loop->addEvent(fd, RunLoopEventReadable, &watcher);
  };
  loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &watcher);
  pipe.put();  // stays readable: the watcher never drains it
  for (int pass = 1; pass <= 5; ++pass) {
    loop->runOnce(0.02);
    EXPECT_EQ(watcher.calls.size(), static_cast<std::size_t>(std::min(pass, 3)));
  }
  EXPECT_EQ(loop->eventRegistrations(pipe.readEnd(), RunLoopEventReadable), 0u);
}

TEST(RunLoopWatchers, WatcherAddedInsideCalloutFiresLater) {
  Ref<RunLoop> loop = RunLoop::current();
  Pipe first, second;
  Recorder watcher;
  watcher.then = [&](int fd, RunLoopEventType) {
    if (fd == first.readEnd()) {
      first.drain();
      loop->addEvent(second.readEnd(), RunLoopEventReadable, &watcher);
    } else {
      second.drain();
    }
  };
  loop->addEvent(first.readEnd(), RunLoopEventReadable, &watcher);
  first.put();
  second.put();
  EXPECT_TRUE(spinUntil([&] { return watcher.callsFor(second.readEnd()) == 1; }));
  EXPECT_EQ(watcher.callsFor(first.readEnd()), 1);
  loop->removeEvent(first.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, true);
  loop->removeEvent(second.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, true);
}

TEST(RunLoopWatchers, WatchersServeOnlyTheirMode) {
  Ref<RunLoop> loop = RunLoop::current();
  Pipe ordinary, modal;
  Recorder watcher;
  loop->addEvent(ordinary.readEnd(), RunLoopEventReadable, &watcher);
  loop->addEvent(modal.readEnd(), RunLoopEventReadable, &watcher, kModal);
  modal.put();
  loop->runOnce(0.02);
  EXPECT_TRUE(watcher.calls.empty());

  // A nested run in the modal mode, from inside a callout of the default one.
  std::optional<std::string> modeAfterNestedRun;
  watcher.then = [&](int fd, RunLoopEventType) {
    if (fd == ordinary.readEnd()) {
      ordinary.drain();
      loop->runMode(kModal, Clock::now() + 1s);
      modeAfterNestedRun = loop->currentMode();
    } else {
      modal.drain();
    }
  };
  ordinary.put();
  EXPECT_TRUE(spinUntil([&] { return watcher.calls.size() == 2; }));
  ASSERT_EQ(watcher.calls.size(), 2u);
  EXPECT_EQ(watcher.calls[0].descriptor, ordinary.readEnd());
  EXPECT_EQ(watcher.calls[1].descriptor, modal.readEnd());
  EXPECT_EQ(watcher.calls[1].mode, kModal);
  EXPECT_EQ(watcher.calls[1].currentMode, std::optional<std::string>(kModal));
  EXPECT_EQ(modeAfterNestedRun, std::optional<std::string>(kDefaultRunLoopMode));

  // And the default-mode watcher is left alone by a modal run.
  watcher.then = [&](int fd, RunLoopEventType) { (fd == ordinary.readEnd() ? ordinary : modal).drain(); };
  ordinary.put();
  loop->runMode(kModal, Clock::now() + 20ms);
  EXPECT_EQ(watcher.calls.size(), 2u);
  EXPECT_TRUE(spinUntil([&] { return watcher.calls.size() == 3; }));
  loop->removeEvent(ordinary.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, true);
  loop->removeEvent(modal.readEnd(), RunLoopEventReadable, kModal, true);
}

// ---- Timers ------------------------------------------------------------------------

TEST(RunLoopTimers, OneShotTimersFireOnceInDeadlineOrder) {
  Ref<RunLoop> loop = RunLoop::current();
  std::vector<std::string> fired;
  loop->addTimer(0.03, false, [&] { fired.push_back("30ms"); });
  loop->addTimer(0.01, false, [&] { fired.push_back("10ms"); });
  loop->addTimer(0.02, false, [&] { fired.push_back("20ms"); });
  loop->addTimer(0, false, [&] { fired.push_back("now-1"); });
  loop->addTimer(-5, false, [&] { fired.push_back("now-2"); });  // a negative interval counts as 0
  EXPECT_TRUE(spinUntil([&] { return fired.size() == 5; }));
  loop->runOnce(0.05);
  EXPECT_EQ(fired, (std::vector<std::string>{"now-1", "now-2", "10ms", "20ms", "30ms"}));
}

TEST(RunLoopTimers, RepeatingTimerRepeatsUntilCancelled) {
  Ref<RunLoop> loop = RunLoop::current();
  int ticks = 0;
  RunLoop::TimerId id = 0;
  id = loop->addTimer(0.005, true, [&] {
    if (++ticks == 3) {
      EXPECT_TRUE(loop->cancelTimer(id));  // a timer may cancel itself
    }
  });
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(spinUntil([&] { return ticks == 3; }));
  loop->runOnce(0.03);
  EXPECT_EQ(ticks, 3);
  EXPECT_FALSE(loop->cancelTimer(id));
  EXPECT_FALSE(loop->cancelTimer(0));
}

TEST(RunLoopTimers, CancelledTimerDoesNotFire) {
  Ref<RunLoop> loop = RunLoop::current();
  bool firstFired = false, secondFired = false;
  RunLoop::TimerId second = 0;
  loop->addTimer(0, false, [&] {
    firstFired = true;
    loop->cancelTimer(second);  // due in the same pass, cancelled before its turn
  });
  second = loop->addTimer(0, false, [&] { secondFired = true; });
  EXPECT_TRUE(spinUntil([&] { return firstFired; }));
  loop->runOnce(0.02);
  EXPECT_FALSE(secondFired);
}

TEST(RunLoopTimers, BadTimersAreRefused) {
  Ref<RunLoop> loop = RunLoop::current();
  EXPECT_THROW(loop->addTimer(0, true, [] {}), InvalidArgumentException);
  EXPECT_THROW(loop->addTimer(-1, true, [] {}), InvalidArgumentException);
  EXPECT_THROW(loop->addTimer(1, false, nullptr), InvalidArgumentException);
}

TEST(RunLoopTimers, TimersServeOnlyTheirMode) {
  Ref<RunLoop> loop = RunLoop::current();
  bool modalFired = false;
  loop->addTimer(0, false, [&] { modalFired = true; }, kModal);
  loop->runOnce(0.02);
  EXPECT_FALSE(modalFired);
  loop->runMode(kModal, Clock::now() + 1s);
  EXPECT_TRUE(modalFired);
}

TEST(RunLoopTimers, CalloutExceptionsAreLoggedAndTheLoopGoesOn) {
  Ref<RunLoop> loop = RunLoop::current();
  LogCapture log;
  bool after = false;
  loop->addTimer(0, false, [] { throw SQLException("boom"); });
  loop->addTimer(0, false, [&] { after = true; });
  EXPECT_TRUE(spinUntil([&] { return after; }));
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("boom"), std::string::npos) << lines[0];
}

// ---- Runs ----------------------------------------------------------------------------

TEST(RunLoopRuns, RunUntilReturnsAtItsDate) {
  Ref<RunLoop> loop = RunLoop::current();
  const auto start = Clock::now();
  loop->runUntil(start + 50ms);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 50ms);
  EXPECT_LT(took, 5s);

  const auto again = Clock::now();
  loop->runFor(0.03);
  EXPECT_GE(Clock::now() - again, 30ms);
}

TEST(RunLoopRuns, RunModeReturnsAfterOnePassOrAtItsDate) {
  Ref<RunLoop> loop = RunLoop::current();
  const auto start = Clock::now();
  EXPECT_FALSE(loop->runMode(kDefaultRunLoopMode, start + 30ms));
  EXPECT_GE(Clock::now() - start, 30ms);

  loop->performLater([] {});
  const auto busy = Clock::now();
  EXPECT_TRUE(loop->runMode(kDefaultRunLoopMode, busy + 10s));
  EXPECT_LT(Clock::now() - busy, 5s);
}

TEST(RunLoopRuns, StopEndsTheInnermostRun) {
  Ref<RunLoop> loop = RunLoop::current();
  std::vector<std::string> steps;
  loop->addTimer(0, false, [&] {
    steps.push_back("outer callout");
    loop->addTimer(0, false, [&] {
      steps.push_back("inner callout");
      loop->stop();
    });
    loop->runUntil(Clock::now() + 10s);  // ended by the inner stop
    steps.push_back("inner run ended");
    loop->stop();
  });
  const auto start = Clock::now();
  loop->runUntil(start + 10s);
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(steps, (std::vector<std::string>{"outer callout", "inner callout", "inner run ended"}));

  loop->stop();  // not running: no effect on the next run
  const auto later = Clock::now();
  loop->runUntil(later + 30ms);
  EXPECT_GE(Clock::now() - later, 30ms);
}

// ---- Hand-overs between threads ---------------------------------------------------

TEST(RunLoopHandOver, PerformLaterFromAnotherThreadWakesABlockedLoop) {
  Ref<RunLoop> loop = RunLoop::current();
  std::atomic<bool> ran{false};
  std::thread::id ranIn;
  std::thread worker([&] {
    std::this_thread::sleep_for(20ms);  // let the loop block first
    EXPECT_TRUE(loop->performLater([&] {
      ranIn = std::this_thread::get_id();
      ran = true;
      loop->stop();
    }));
  });
  const auto start = Clock::now();
  loop->runUntil(start + 30s);
  worker.join();
  EXPECT_TRUE(ran);
  EXPECT_EQ(ranIn, std::this_thread::get_id());
  EXPECT_LT(Clock::now() - start, 10s);
}

TEST(RunLoopHandOver, PerformLaterNeverWaitsForALoopThatIsNotRunning) {
  std::promise<Ref<RunLoop>> made;
  std::promise<void> handedOver;
  std::vector<int> order;
  std::thread::id ranIn;
  std::thread worker([&] {
    made.set_value(RunLoop::current());
    handedOver.get_future().wait();
    RunLoop::current()->runOnce(0);
    ranIn = std::this_thread::get_id();
  });
  Ref<RunLoop> workerLoop = made.get_future().get();
  const auto start = Clock::now();
  for (int i = 0; i < 10000; ++i) {
    ASSERT_TRUE(workerLoop->performLater([&order, i] { order.push_back(i); }));
  }
  EXPECT_LT(Clock::now() - start, 10s);
  EXPECT_TRUE(order.empty());
  const std::thread::id workerId = worker.get_id();
  handedOver.set_value();
  worker.join();
  ASSERT_EQ(order.size(), 10000u);
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(order[i], i);
  EXPECT_EQ(ranIn, workerId);
}

TEST(RunLoopHandOver, PerformLaterFromTheLoopsOwnThreadRunsLater) {
  Ref<RunLoop> loop = RunLoop::current();
  std::vector<std::string> steps;
  loop->performLater([&] { steps.push_back("operation"); });
  steps.push_back("after performLater");
  EXPECT_TRUE(spinUntil([&] { return steps.size() == 2; }));
  EXPECT_EQ(steps, (std::vector<std::string>{"after performLater", "operation"}));
}

TEST(RunLoopHandOver, PerformLaterOnALoopWhoseThreadEndedGivesFalse) {
  Ref<RunLoop> gone;
  std::thread([&] {
    gone = RunLoop::current();
    gone->performLater([] {});  // dropped with the thread
  }).join();
  auto captured = std::make_shared<int>(0);
  EXPECT_FALSE(gone->performLater([captured] {}));
  EXPECT_EQ(captured.use_count(), 1);  // the operation was not kept
  EXPECT_EQ(gone->addTimer(1, false, [captured] {}), 0u);
  EXPECT_EQ(captured.use_count(), 1);
}

TEST(RunLoopHandOver, PerformOnMainThreadRunsInTheMainLoop) {
  ASSERT_TRUE(RunLoop::isMainThread());
  std::atomic<int> ran{0};
  std::thread::id ranIn;
  std::thread worker([&] {
    // The worker's own loop is not running; the hand-over must not wait.
    EXPECT_TRUE(performOnMainThread([&] {
      ranIn = std::this_thread::get_id();
      ++ran;
    }));
  });
  worker.join();  // finished before the main loop ran anything
  EXPECT_EQ(ran, 0);
  EXPECT_TRUE(spinUntil([&] { return ran == 1; }));
  EXPECT_EQ(ranIn, std::this_thread::get_id());
}

// ---- Driving the loop from a foreign loop ---------------------------------------------

TEST(RunLoopForeign, PollOnThePollDescriptorThenDispatchReady) {
  Ref<RunLoop> loop = RunLoop::current();
  EXPECT_EQ(loop->nextTimeout(), -1);  // nothing to do until a descriptor or a thread says so

  Pipe pipe;
  Recorder watcher;
  watcher.then = [&](int, RunLoopEventType) { pipe.drain(); };
  loop->addEvent(pipe.readEnd(), RunLoopEventReadable, &watcher);
  bool timerFired = false;
  std::optional<std::string> modeInTimer;
  loop->addTimer(0.02, false, [&] {
    timerFired = true;
    modeInTimer = loop->currentMode();
  });
  const double timeout = loop->nextTimeout();
  EXPECT_GT(timeout, 0);
  EXPECT_LE(timeout, 0.02);

  std::atomic<bool> operationRan{false};
  std::thread worker([&] {
    std::this_thread::sleep_for(10ms);
    loop->performLater([&] { operationRan = true; });
    pipe.put();
  });

  // The foreign loop: poll() on our descriptor and whatever else it has.
  const auto deadline = Clock::now() + 5s;
  int dispatches = 0;
  while (!(timerFired && operationRan && !watcher.calls.empty()) && Clock::now() < deadline) {
    EXPECT_EQ(loop->currentMode(), std::nullopt);
    const double next = loop->nextTimeout();
    pollfd fds[1] = {{loop->pollDescriptor(), POLLIN, 0}};
    const int ms = next < 0 ? 1000 : static_cast<int>(next * 1000) + 1;
    if (::poll(fds, 1, ms) > 0 || next >= 0) {
      loop->dispatchReady();
      ++dispatches;
    }
  }
  worker.join();
  EXPECT_TRUE(timerFired);
  EXPECT_TRUE(operationRan);
  ASSERT_FALSE(watcher.calls.empty());
  EXPECT_EQ(watcher.calls[0].currentMode, std::optional<std::string>(kDefaultRunLoopMode));
  EXPECT_EQ(modeInTimer, std::optional<std::string>(kDefaultRunLoopMode));
  EXPECT_LT(dispatches, 1000);  // woken by readiness, not spinning

  // Handed-over work shows as a readable descriptor and a zero timeout.
  loop->performLater([] {});
  EXPECT_EQ(loop->nextTimeout(), 0);
  pollfd fds[1] = {{loop->pollDescriptor(), POLLIN, 0}};
  EXPECT_EQ(::poll(fds, 1, 0), 1);
  EXPECT_TRUE(loop->dispatchReady());
  EXPECT_EQ(loop->nextTimeout(), -1);
  EXPECT_EQ(::poll(fds, 1, 0), 0);
  loop->removeEvent(pipe.readEnd(), RunLoopEventReadable, kDefaultRunLoopMode, true);
}

}  // namespace
}  // namespace korvel
