// The per-thread event loop.
//
// Every thread has at most one RunLoop, made on first use by
// RunLoop::current(). A loop waits for three kinds of things and runs a
// callout for each as it becomes ready:
//   - descriptor watchers (addEvent / removeEvent): a RunLoopEvents object is
//     called when a descriptor is readable (or writable);
//   - timers (addTimer / cancelTimer);
//   - operations handed to the loop by any thread (performLater), including
//     the hand-over to the main thread (performOnMainThread).
//
// Modes. A loop always runs in one mode, a name; kDefaultRunLoopMode is the
// ordinary one. Watchers and timers belong to a mode and are served only
// while the loop runs in that mode, so that a nested run in a private mode
// (a modal wait) is not disturbed by everything else. Operations handed over
// with performLater run in whatever mode the loop runs in. currentMode() gives
// the mode while the loop is running and nothing otherwise; code that must
// know whether "its" loop will come back to it soon asks exactly that.
//
// One pass of the loop:
//   1. If nothing is ready at once, the observers' beforeWaiting hooks run
//      (this is when notifications queued "when idle" are posted).
//   2. The loop waits, unless something is ready or a hook did something,
//      until a descriptor is ready, a timer is due, an operation is handed
//      over, or the run's date passes.
//   3. Ready watchers run, then due timers, then the operations handed over
//      before this point. After every one of those callouts, and once more at
//      the end of the pass, the observers' afterCallout hooks run (this is when
//      notifications queued "as soon as possible" are posted).
// An exception that escapes a callout or a hook is written to the process log
// and the pass goes on; it never unwinds through the loop.
//
// Watchers are level-triggered: a watcher that leaves its descriptor readable
// is called again on the next pass.
//
// Registration counting. A registration is (descriptor, event type, mode,
// watcher). Each addEvent adds one to its count; removeEvent with all=false
// takes one away and drops the registration when none is left; with all=true
// it drops the registration at once. The watcher is called as long as the
// count is above zero. One descriptor, event type and mode has at most one
// watcher.
//
// Main thread. RunLoop::main() is the loop of the main thread: the thread
// that called RunLoop::setMainThread() first or, when no thread did, the
// process's initial thread (the one that ran main()). The main loop can be
// asked for, and handed operations, from any thread before the main thread
// has touched its own loop; the operations wait for it.
//
// Thread-safety. RunLoop is a counted Object, so other objects (a client's
// connection record) may hold it. Running a loop (runMode, runUntil, runFor,
// run, runOnce, dispatchReady) is for its own thread only and raises
// InternalInconsistencyException from any other; addObserver and
// removeObserver are for its own thread too (not checked). Everything else
// may be called from any thread: addEvent,
// removeEvent, addTimer, cancelTimer, performLater and stop are serialised by
// the loop's lock, which is never held while a callout runs, so a callout may
// call any of them on its own loop.
// One limit: removing a watcher or cancelling a timer from another thread
// stops calls that have not started yet, but cannot stop one that the loop's
// thread is already making; the owner of a watcher must keep it alive until
// it knows that no call is running (for instance by taking, inside the
// callout, the same lock that the remover holds).
//
// Descriptors. A descriptor must stay open while any watcher is registered
// for it: remove the watchers first, then close it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "korvel/value.h"

namespace korvel {

// The mode a loop runs in unless told otherwise.
inline constexpr std::string_view kDefaultRunLoopMode = "NSDefaultRunLoopMode";

// What a watcher waits for on a descriptor.
enum RunLoopEventType : int {
  RunLoopEventReadable = 0,  // data to read, end of file, or an error
  RunLoopEventWritable = 1,  // room to write, or an error
};

// A descriptor watcher. The loop never owns it.
class RunLoopEvents {
 public:
  virtual ~RunLoopEvents() = default;
  // Called in the loop's thread when the descriptor is ready. `data` is the
  // descriptor number as a pointer-sized value
  // (static_cast<int>(reinterpret_cast<std::intptr_t>(data))), `type` the
  // event that is ready, `extra` is always nullptr for descriptors, `mode` the
  // mode the loop runs in. The callout may add and remove registrations of
  // any descriptor, its own included; a registration it removes is not called
  // again, not even later in the same pass.
  virtual void receivedEvent(void* data, RunLoopEventType type, void* extra,
                             std::string_view mode) = 0;
};

// Work that rides on a loop's passes: the notification queue is one. Hooks
// run in the loop's thread with the mode of the pass and return whether they
// did anything (a pass in which a hook did something does not wait).
class RunLoopObserver {
 public:
  virtual ~RunLoopObserver() = default;
  // After every callout, and at the end of every pass.
  virtual bool afterCallout(std::string_view mode) = 0;
  // When the loop is about to wait with nothing ready.
  virtual bool beforeWaiting(std::string_view mode) = 0;
  // Whether the observer has work for `mode` now; the loop does not wait
  // while it has. May be called with the loop's lock held: it must not call
  // back into the loop.
  virtual bool hasPendingWork(std::string_view mode) const = 0;
};

class RunLoop final : public Object {
 public:
  using Clock = std::chrono::steady_clock;
  using TimerId = std::uint64_t;  // 0 is never a timer

  // The calling thread's loop, made on first use. Empty only while the
  // thread is exiting (its loop is already gone). Never raises except when
  // the system refuses the loop's descriptors (InternalInconsistencyException).
  static Ref<RunLoop> current();
  // The main thread's loop (see "Main thread" above), from any thread.
  static Ref<RunLoop> main();
  // Makes the calling thread the main thread. Call it early: it succeeds
  // (true) when no thread has taken the main loop as its own yet and the
  // calling thread has no loop of its own, or has one and no main loop exists
  // yet; it also gives true when the calling thread already is the main
  // thread. Otherwise it changes nothing and gives false.
  static bool setMainThread();
  // Whether the calling thread is the main thread.
  static bool isMainThread();

  ~RunLoop() override;

  // ---- Descriptor watchers --------------------------------------------------
  // Adds one registration of `watcher` for `descriptor` and `type` in `mode`.
  // Raises InvalidArgumentException for a negative or closed descriptor, a
  // null watcher or an unknown type; InternalInconsistencyException when
  // another watcher already holds that descriptor, type and mode, or when the
  // system cannot watch the descriptor (a regular file, for instance).
  void addEvent(int descriptor, RunLoopEventType type, RunLoopEvents* watcher,
                std::string_view mode = kDefaultRunLoopMode);
  // Takes one registration away (all=false) or all of them (all=true).
  // Removing what is not registered does nothing. Never raises.
  void removeEvent(int descriptor, RunLoopEventType type,
                   std::string_view mode = kDefaultRunLoopMode, bool all = false);
  // The registration count of a descriptor, type and mode (0 when none).
  std::uint32_t eventRegistrations(int descriptor, RunLoopEventType type,
                                   std::string_view mode = kDefaultRunLoopMode) const;

  // ---- Timers ---------------------------------------------------------------
  // Calls `callout` once after `interval` seconds, or every `interval` seconds
  // when `repeats`, while the loop runs in `mode`. A repeating timer that falls
  // behind skips the firings it missed. Timers due at the same moment fire in
  // the order they were added. A negative interval counts as 0, one above
  // 1e9 seconds as 1e9. Raises InvalidArgumentException for an empty callout
  // or a repeating timer without a positive interval. Gives 0, and destroys
  // the callout, when the loop's thread has ended.
  TimerId addTimer(double interval, bool repeats, std::function<void()> callout,
                   std::string_view mode = kDefaultRunLoopMode);
  // Cancels a timer; true when it was still scheduled. A timer may cancel
  // itself from its own callout.
  bool cancelTimer(TimerId id);

  // ---- Operations from any thread ---------------------------------------------
  // Queues `operation` to run in this loop's thread in a later pass, in any
  // mode, and wakes the loop. Never waits for the loop, never runs the
  // operation in the calling thread, also not when called from the loop's own
  // thread. Gives false, and destroys the operation in the calling thread,
  // when the loop's thread has ended. Operations run in the order queued.
  // Raises InvalidArgumentException for an empty operation.
  bool performLater(std::function<void()> operation);
  // Ends the innermost runUntil, runFor or run in progress after its current
  // pass, and wakes the loop (a single pass waiting in runMode or runOnce
  // returns early). Has no effect when no such run is in progress. From any
  // thread.
  void stop();

  // ---- Running (the loop's own thread only) ---------------------------------------
  // Waits in `mode`, at most until `before`, for a pass that does something,
  // and returns after that pass. True when it ran any callout or posted
  // anything; false when the date came first or stop() was called. A run
  // inside a callout (a nested run) is allowed.
  bool runMode(std::string_view mode, Clock::time_point before);
  // Passes in the default mode until `date` has passed or stop() is called.
  void runUntil(Clock::time_point date);
  // runUntil(now + seconds).
  void runFor(double seconds);
  // Passes in the default mode until stop() is called.
  void run();
  // One pass in the default mode waiting at most `timeout` seconds (0: do
  // not wait). Same result as runMode.
  bool runOnce(double timeout = 0);

  // The mode of the innermost run while the loop is running; nothing at any
  // other time (also between the passes of a foreign loop that drives this
  // one). Safe from any thread.
  std::optional<std::string> currentMode() const;
  bool isRunning() const;

  // ---- Driving this loop from another event loop --------------------------------
  // An application with an event loop of its own (GLib, libuv, Qt, a poll()
  // loop) runs ours from it instead of calling run():
  //   1. Watch pollDescriptor() for readability in the other loop.
  //   2. Wait no longer than nextTimeout() seconds (a negative value: no limit).
  //   3. Whenever the descriptor is readable or the timeout has passed, call
  //      dispatchReady() in this loop's thread, then ask nextTimeout() again.
  // The descriptor becomes readable when a watcher of the mode given to the
  // last dispatchReady (the default mode at first) is ready, when a timer of
  // that mode is due, and whenever work is handed to the loop (performLater,
  // queued notifications, stop). currentMode() is present only while
  // dispatchReady runs. The README shows an example.

  // An epoll descriptor, owned by the loop (do not close it or read from it).
  int pollDescriptor() const noexcept { return epollFd_; }
  // Seconds until this loop next has something to do without any descriptor
  // becoming ready: 0 when something is ready now, the time to the next timer
  // otherwise, or -1 when only a descriptor or another thread can give it work.
  double nextTimeout() const;
  // One pass in `mode` that never waits, with currentMode() set while it runs.
  // True when it ran anything. The loop's own thread only.
  bool dispatchReady(std::string_view mode = kDefaultRunLoopMode);

  // ---- Observers ------------------------------------------------------------------
  // Adds or removes an observer; the loop does not own it. From the loop's
  // own thread (hooks are called without the loop's lock, so a removal from
  // another thread could not know that no hook is running). Remove it before
  // it is destroyed.
  void addObserver(RunLoopObserver* observer);
  void removeObserver(RunLoopObserver* observer);
  // Makes the loop's next wait return at once, and pollDescriptor() readable.
  // For observers that got work outside a callout. From any thread; cheap
  // when the loop has already been woken.
  void wakeUp() noexcept;

  std::string description() const override;

 private:
  struct State;
  friend struct RunLoopThreadSlot;
  RunLoop();
  void requireOwnThread(const char* operation) const;
  bool pass(std::string_view mode, Clock::time_point before, bool mayWait);
  bool waitForWork(std::string_view mode, Clock::time_point before);
  void threadEnded();

  std::unique_ptr<State> state_;
  int epollFd_ = -1;
};

// Hands `operation` to the main thread's loop (RunLoop::main()->performLater):
// it runs later in the main thread, never in the calling thread, and the
// caller never waits. Gives false when the main thread has ended.
bool performOnMainThread(std::function<void()> operation);

}  // namespace korvel
