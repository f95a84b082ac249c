// The per-thread event loop on epoll.
//
// One epoll instance per loop holds three kinds of descriptors: the eventfd
// that other threads write to wake the loop, a timerfd armed at the next
// timer of the watched mode, and the watched descriptors of that mode. Having
// timers and wake-ups inside the same epoll set is what lets a foreign event
// loop drive ours by watching the one descriptor.
//
// Lock discipline: State::mutex guards all bookkeeping and is never held
// while a callout or an observer hook runs, so callouts may freely call back
// into their loop. Before each callout the loop checks, under the lock, that
// what it is about to call is still registered; that is what keeps a watcher
// removed earlier in the same pass from being called.
#include "korvel/runloop.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>
#if defined(__FreeBSD__) || defined(__APPLE__)
#include <pthread.h>
#include <pthread_np.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <deque>
#include <mutex>
#include <set>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "korvel/exception.h"
#include "korvel/log.h"

namespace korvel {
namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { if (fd_ >= 0) ::close(fd_); }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

std::string errnoText(int error) { return std::generic_category().message(error); }

int checkedDescriptor(int fd, const char* what) {
  if (fd < 0) {
    throw InternalInconsistencyException(format("Event loop: cannot make its %s: %s", what, errnoText(errno)));
  }
  return fd;
}

// The process's initial thread, asked of the system rather than remembered,
// so that it is right even when this library is loaded from another thread.
bool isInitialThread() {
#if defined(__linux__)
  return static_cast<pid_t>(::syscall(SYS_gettid)) == ::getpid();
#elif defined(__FreeBSD__) || defined(__APPLE__)
  return pthread_main_np() != 0;
#else
  static const std::thread::id loadingThread = std::this_thread::get_id();
  return std::this_thread::get_id() == loadingThread;
#endif
}

void* descriptorAsData(int fd) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)); }

std::uint32_t interestFor(RunLoopEventType type) {
  return type == RunLoopEventReadable ? EPOLLIN : EPOLLOUT;
}

// Hang-ups and errors go to every watcher of the descriptor: a reader sees
// them as end of file or a failed read, a writer as a failed write, and
// either way the watcher learns that it has to act.
bool firesFor(RunLoopEventType type, std::uint32_t events) {
  const std::uint32_t failures = EPOLLHUP | EPOLLERR;
  if (type == RunLoopEventReadable) return (events & (EPOLLIN | EPOLLRDHUP | failures)) != 0;
  return (events & (EPOLLOUT | failures)) != 0;
}

template <class F>
void guarded(const char* what, F&& callout) {
  try {
    callout();
  } catch (const Exception& e) {
    processLog("Exception raised in event-loop %s: %@", what, e);
  } catch (const std::exception& e) {
    processLog("Exception raised in event-loop %s: %s", what, e.what());
  } catch (...) {
    processLog("Unknown exception raised in event-loop %s", what);
  }
}

RunLoop::Clock::duration secondsToDuration(double seconds) {
  if (!(seconds > 0)) return RunLoop::Clock::duration::zero();  // also NaN
  seconds = std::min(seconds, 1e9);
  return std::chrono::duration_cast<RunLoop::Clock::duration>(std::chrono::duration<double>(seconds));
}

// epoll_wait's timeout for a wait until `until`: rounded up, so that the
// loop never wakes just before a timer is due and spins until it is.
int millisecondsUntil(RunLoop::Clock::time_point until) {
  if (until == RunLoop::Clock::time_point::max()) return -1;
  auto now = RunLoop::Clock::now();
  if (until <= now) return 0;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(until - now).count();
  long long ms = (ns + 999999) / 1000000;
  return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

}  // namespace

struct RunLoop::State {
  struct Registration {
    RunLoopEventType type;
    std::string mode;
    RunLoopEvents* watcher;
    std::uint32_t count;
    std::uint64_t serial;  // tells a registration from a later one of the same key
  };
  struct Descriptor {
    std::vector<Registration> registrations;
    std::uint32_t epollMask = 0;  // what the epoll set holds for it now
  };
  struct Timer {
    Clock::time_point due;
    std::uint64_t order;
    Clock::duration interval;
    bool repeats;
    std::string mode;
    std::shared_ptr<std::function<void()>> callout;
  };
  using TimerKey = std::tuple<Clock::time_point, std::uint64_t, TimerId>;

  State()
      : epoll(checkedDescriptor(::epoll_create1(EPOLL_CLOEXEC), "epoll set")),
        wake(checkedDescriptor(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC), "wake-up eventfd")),
        timer(checkedDescriptor(::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC), "timerfd")) {
    static_assert(std::is_same_v<Clock, std::chrono::steady_clock>,
                  "the timerfd runs on CLOCK_MONOTONIC, which is what steady_clock reads");
    for (int fd : {wake.get(), timer.get()}) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = fd;
      if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd, &ev) != 0) checkedDescriptor(-1, "epoll set");
    }
  }

  UniqueFd epoll;
  UniqueFd wake;
  UniqueFd timer;
  std::atomic<bool> wakePending{false};

  mutable std::mutex mutex;
  bool ended = false;
  std::unordered_map<int, Descriptor> descriptors;
  std::string interestMode{kDefaultRunLoopMode};  // the mode the epoll set is built for
  std::uint64_t nextSerial = 1;
  std::unordered_map<TimerId, Timer> timers;
  std::set<TimerKey> timerOrder;
  TimerId nextTimerId = 1;
  std::uint64_t nextTimerOrder = 1;
  std::deque<std::function<void()>> operations;
  std::vector<RunLoopObserver*> observers;
  std::vector<std::string> modes;  // innermost run last
  unsigned runUntilDepth = 0;
  unsigned stopTarget = 0;  // the runUntil level that stop() ended, 0 for none
  std::uint64_t stopCount = 0;  // stop() calls while running, for single passes

  // ---- under `mutex` -----------------------------------------------------

  Registration* find(Descriptor& d, RunLoopEventType type, std::string_view mode) {
    for (auto& r : d.registrations)
      if (r.type == type && r.mode == mode) return &r;
    return nullptr;
  }

  bool isRegistered(int fd, std::uint64_t serial) const {
    auto it = descriptors.find(fd);
    if (it == descriptors.end()) return false;
    for (const auto& r : it->second.registrations)
      if (r.serial == serial) return true;
    return false;
  }

  std::uint32_t wantedMask(const Descriptor& d) const {
    std::uint32_t mask = 0;
    for (const auto& r : d.registrations)
      if (r.mode == interestMode) mask |= interestFor(r.type);
    return mask;
  }

  // Brings the epoll set in line with the registrations of `fd` in
  // interestMode; 0 or the errno of the failure. `force` re-submits an
  // unchanged mask: when a descriptor number was closed and reused without
  // its watchers being removed, the epoll set has silently dropped the old
  // file and must learn the new one.
  int applyInterest(int fd, Descriptor& d, bool force) {
    const std::uint32_t wanted = wantedMask(d);
    if (wanted == d.epollMask && !force) return 0;
    if (wanted == 0) {
      ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);  // a closed descriptor is gone already
      d.epollMask = 0;
      return 0;
    }
    epoll_event ev{};
    ev.events = wanted;
    ev.data.fd = fd;
    int op = d.epollMask == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (::epoll_ctl(epoll.get(), op, fd, &ev) != 0) {
      if (errno == EEXIST) op = EPOLL_CTL_MOD;
      else if (errno == ENOENT) op = EPOLL_CTL_ADD;
      else return errno;
      if (::epoll_ctl(epoll.get(), op, fd, &ev) != 0) return errno;
    }
    d.epollMask = wanted;
    return 0;
  }

  // Whether epoll accepts the descriptor at all (it refuses regular files);
  // 0 or the errno. Leaves the epoll set as it was.
  int probe(int fd) {
    epoll_event ev{};
    ev.data.fd = fd;
    if (::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd, &ev) == 0) {
      ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
      return 0;
    }
    return errno == EEXIST ? 0 : errno;
  }

  void dropIfUnused(int fd) {
    auto it = descriptors.find(fd);
    if (it == descriptors.end() || !it->second.registrations.empty()) return;
    if (it->second.epollMask != 0) ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
    descriptors.erase(it);
  }

  // Rebuilds the epoll set for another mode. Gives the messages to log once
  // the lock is released.
  std::vector<std::string> setInterestMode(std::string_view mode) {
    std::vector<std::string> problems;
    if (mode == interestMode) return problems;
    interestMode = std::string(mode);
    for (auto& [fd, d] : descriptors) {
      if (int error = applyInterest(fd, d, false))
        problems.push_back(format("Event loop: cannot watch descriptor %d in mode %@: %s", fd,
                                  interestMode, errnoText(error)));
    }
    armTimer();
    return problems;
  }

  std::optional<Clock::time_point> nextDue(std::string_view mode) const {
    for (const auto& key : timerOrder) {
      const Timer& t = timers.at(std::get<2>(key));
      if (t.mode == mode) return t.due;
    }
    return std::nullopt;
  }

  // Arms the timerfd at the next timer of interestMode, or disarms it.
  void armTimer() {
    itimerspec expiry{};
    if (auto due = nextDue(interestMode)) {
      auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(due->time_since_epoch()).count();
      ns = std::max<long long>(ns, 1);  // an all-zero value would disarm it
      expiry.it_value.tv_sec = static_cast<time_t>(ns / 1000000000);
      expiry.it_value.tv_nsec = static_cast<long>(ns % 1000000000);
    }
    ::timerfd_settime(timer.get(), TFD_TIMER_ABSTIME, &expiry, nullptr);
  }

  void scheduleTimer(TimerId id, Timer& t) { timerOrder.emplace(t.due, t.order, id); }
  void unscheduleTimer(TimerId id, const Timer& t) { timerOrder.erase(TimerKey(t.due, t.order, id)); }

  bool hasReadyWork(std::string_view mode) const {
    if (!operations.empty() || stopTarget != 0) return true;
    auto due = nextDue(mode);
    return due && *due <= Clock::now();
  }

  bool observersHaveWork(std::string_view mode) const {
    for (const RunLoopObserver* o : observers)
      if (o->hasPendingWork(mode)) return true;
    return false;
  }

  // ---- without `mutex` ---------------------------------------------------

  // Marks a run in progress for currentMode() and points the epoll set at
  // its mode; a nested run gives the set back to the enclosing mode when it
  // ends. dispatchReady keeps its mode, since the foreign loop goes on
  // watching pollDescriptor() for that mode between the calls.
  class ModeScope {
   public:
    ModeScope(State& s, std::string_view mode, bool keepInterest) : s_(s), keep_(keepInterest) {
      std::vector<std::string> problems;
      {
        std::lock_guard<std::mutex> guard(s_.mutex);
        previous_ = s_.interestMode;
        s_.modes.emplace_back(mode);
        problems = s_.setInterestMode(mode);
      }
      for (const auto& p : problems) processLogMessage(p);
    }
    ~ModeScope() {
      std::vector<std::string> problems;
      {
        std::lock_guard<std::mutex> guard(s_.mutex);
        s_.modes.pop_back();
        if (!keep_) problems = s_.setInterestMode(previous_);
      }
      for (const auto& p : problems) processLogMessage(p);
    }
    ModeScope(const ModeScope&) = delete;
    ModeScope& operator=(const ModeScope&) = delete;

   private:
    State& s_;
    bool keep_;
    std::string previous_;
  };

  void drain(int fd) {
    std::uint64_t value;
    while (::read(fd, &value, sizeof value) > 0) {
    }
  }
};

// Holds the calling thread's loop until the thread exits, then tells the
// loop so: work handed to a loop whose thread is gone would never run.
struct RunLoopThreadSlot {
  Ref<RunLoop> loop;
  ~RunLoopThreadSlot();
};

namespace {

// Trivially destructible, so it can still be read while the thread's other
// thread-locals are being destroyed.
thread_local bool threadSlotGone = false;
thread_local RunLoopThreadSlot threadSlot;

struct MainThreadRecord {
  std::mutex mutex;
  Ref<RunLoop> loop;
  bool claimed = false;  // some thread has made `loop` its own
  std::thread::id claimer;
  std::optional<std::thread::id> designated;
};

// Never destroyed: loops may be handed work while the process shuts down.
MainThreadRecord& mainRecord() {
  static MainThreadRecord* record = new MainThreadRecord;
  return *record;
}

bool isDesignatedMain(const MainThreadRecord& m) {
  return m.designated ? *m.designated == std::this_thread::get_id() : isInitialThread();
}

}  // namespace

RunLoopThreadSlot::~RunLoopThreadSlot() {
  threadSlotGone = true;
  if (loop) loop->threadEnded();
  loop = Ref<RunLoop>();
}

// ---- Loops of threads ---------------------------------------------------------

RunLoop::RunLoop() : state_(std::make_unique<State>()), epollFd_(state_->epoll.get()) {}

RunLoop::~RunLoop() = default;

Ref<RunLoop> RunLoop::current() {
  if (threadSlotGone) return {};
  if (threadSlot.loop) return threadSlot.loop;
  MainThreadRecord& m = mainRecord();
  {
    std::lock_guard<std::mutex> guard(m.mutex);
    if (!m.claimed && isDesignatedMain(m)) {
      if (!m.loop) m.loop = Ref<RunLoop>::adopt(new RunLoop);
      m.claimed = true;
      m.claimer = std::this_thread::get_id();
      threadSlot.loop = m.loop;
      return threadSlot.loop;
    }
  }
  threadSlot.loop = Ref<RunLoop>::adopt(new RunLoop);
  return threadSlot.loop;
}

Ref<RunLoop> RunLoop::main() {
  MainThreadRecord& m = mainRecord();
  std::lock_guard<std::mutex> guard(m.mutex);
  if (!m.loop) m.loop = Ref<RunLoop>::adopt(new RunLoop);
  return m.loop;
}

bool RunLoop::setMainThread() {
  if (threadSlotGone) return false;
  MainThreadRecord& m = mainRecord();
  std::lock_guard<std::mutex> guard(m.mutex);
  const auto self = std::this_thread::get_id();
  if (m.claimed) return m.claimer == self;
  if (threadSlot.loop) {
    if (m.loop && m.loop.get() != threadSlot.loop.get()) return false;
    m.loop = threadSlot.loop;
  } else {
    if (!m.loop) m.loop = Ref<RunLoop>::adopt(new RunLoop);
    threadSlot.loop = m.loop;
  }
  m.claimed = true;
  m.claimer = self;
  m.designated = self;
  return true;
}

bool RunLoop::isMainThread() {
  MainThreadRecord& m = mainRecord();
  std::lock_guard<std::mutex> guard(m.mutex);
  if (m.claimed) return m.claimer == std::this_thread::get_id();
  return isDesignatedMain(m);
}

void RunLoop::threadEnded() {
  std::deque<std::function<void()>> operations;
  std::unordered_map<TimerId, State::Timer> timers;
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->ended = true;
    operations.swap(state_->operations);
    timers.swap(state_->timers);
    state_->timerOrder.clear();
    state_->observers.clear();
  }
  // Destroyed here, outside the lock: their captures may reach this loop.
}

void RunLoop::requireOwnThread(const char* operation) const {
  Ref<RunLoop> mine = current();
  if (mine.get() != this) {
    throw InternalInconsistencyException(
        format("RunLoop::%s called from a thread that does not own the loop", operation));
  }
}

// ---- Watchers -------------------------------------------------------------------

void RunLoop::addEvent(int descriptor, RunLoopEventType type, RunLoopEvents* watcher, std::string_view mode) {
  if (descriptor < 0 || ::fcntl(descriptor, F_GETFD) == -1)
    throw InvalidArgumentException(format("Cannot watch descriptor %d: not an open descriptor", descriptor));
  if (!watcher) throw InvalidArgumentException(format("Cannot watch descriptor %d: no watcher", descriptor));
  if (type != RunLoopEventReadable && type != RunLoopEventWritable)
    throw InvalidArgumentException(format("Cannot watch descriptor %d: unknown event type %d", descriptor,
                                          static_cast<int>(type)));

  std::lock_guard<std::mutex> guard(state_->mutex);
  State::Descriptor& d = state_->descriptors[descriptor];
  if (State::Registration* r = state_->find(d, type, mode)) {
    if (r->watcher != watcher) {
      throw InternalInconsistencyException(format(
          "Descriptor %d already has another watcher for event type %d in mode %@", descriptor,
          static_cast<int>(type), mode));
    }
    if (mode == state_->interestMode) state_->applyInterest(descriptor, d, true);
    if (r->count < UINT32_MAX) ++r->count;
    return;
  }
  if (mode != state_->interestMode) {
    // Not watched until a run in that mode; find out now whether it can be.
    if (int error = state_->probe(descriptor)) {
      state_->dropIfUnused(descriptor);
      throw InternalInconsistencyException(
          format("Cannot watch descriptor %d: %s", descriptor, errnoText(error)));
    }
    d.registrations.push_back({type, std::string(mode), watcher, 1, state_->nextSerial++});
    return;
  }
  d.registrations.push_back({type, std::string(mode), watcher, 1, state_->nextSerial++});
  if (int error = state_->applyInterest(descriptor, d, true)) {
    d.registrations.pop_back();
    state_->applyInterest(descriptor, d, false);
    state_->dropIfUnused(descriptor);
    throw InternalInconsistencyException(
        format("Cannot watch descriptor %d: %s", descriptor, errnoText(error)));
  }
}

void RunLoop::removeEvent(int descriptor, RunLoopEventType type, std::string_view mode, bool all) {
  std::lock_guard<std::mutex> guard(state_->mutex);
  auto it = state_->descriptors.find(descriptor);
  if (it == state_->descriptors.end()) return;
  State::Descriptor& d = it->second;
  State::Registration* r = state_->find(d, type, mode);
  if (!r) return;
  if (all || r->count <= 1) {
    d.registrations.erase(d.registrations.begin() + (r - d.registrations.data()));
  } else {
    --r->count;
    return;
  }
  state_->applyInterest(descriptor, d, false);
  state_->dropIfUnused(descriptor);
}

std::uint32_t RunLoop::eventRegistrations(int descriptor, RunLoopEventType type, std::string_view mode) const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  auto it = state_->descriptors.find(descriptor);
  if (it == state_->descriptors.end()) return 0;
  const State::Registration* r = state_->find(it->second, type, mode);
  return r ? r->count : 0;
}

// ---- Timers ---------------------------------------------------------------------

RunLoop::TimerId RunLoop::addTimer(double interval, bool repeats, std::function<void()> callout,
                                   std::string_view mode) {
  if (!callout) throw InvalidArgumentException("A timer needs a callout");
  const Clock::duration step = secondsToDuration(interval);
  if (repeats && step <= Clock::duration::zero())
    throw InvalidArgumentException("A repeating timer needs a positive interval");
  std::lock_guard<std::mutex> guard(state_->mutex);
  if (state_->ended) return 0;
  const TimerId id = state_->nextTimerId++;
  State::Timer t{Clock::now() + step, state_->nextTimerOrder++, step, repeats, std::string(mode),
                 std::make_shared<std::function<void()>>(std::move(callout))};
  auto [entry, inserted] = state_->timers.emplace(id, std::move(t));
  state_->scheduleTimer(id, entry->second);
  state_->armTimer();  // wakes a loop waiting in another thread when this one is sooner
  return id;
}

bool RunLoop::cancelTimer(TimerId id) {
  std::shared_ptr<std::function<void()>> callout;  // destroyed after the lock is released
  std::lock_guard<std::mutex> guard(state_->mutex);
  auto it = state_->timers.find(id);
  if (it == state_->timers.end()) return false;
  callout = std::move(it->second.callout);
  state_->unscheduleTimer(id, it->second);
  state_->timers.erase(it);
  state_->armTimer();
  return true;
}

// ---- Operations and waking --------------------------------------------------------

bool RunLoop::performLater(std::function<void()> operation) {
  if (!operation) throw InvalidArgumentException("performLater needs an operation");
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (state_->ended) return false;
    state_->operations.push_back(std::move(operation));
  }
  wakeUp();
  return true;
}

// The flag spares a write for every wake-up while one is still unread. It is
// cleared before the eventfd is read and work is always queued before
// wakeUp, so a wake-up is never lost between the two.
void RunLoop::wakeUp() noexcept {
  if (state_->wakePending.exchange(true, std::memory_order_acq_rel)) return;
  const std::uint64_t one = 1;
  ssize_t written = ::write(state_->wake.get(), &one, sizeof one);
  (void)written;  // EAGAIN means the counter is already non-zero: awake anyway
}

void RunLoop::stop() {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (state_->modes.empty()) return;
    ++state_->stopCount;
    if (state_->runUntilDepth > 0) state_->stopTarget = state_->runUntilDepth;
  }
  wakeUp();
}

void RunLoop::addObserver(RunLoopObserver* observer) {
  if (!observer) return;
  std::lock_guard<std::mutex> guard(state_->mutex);
  if (state_->ended) return;
  if (std::find(state_->observers.begin(), state_->observers.end(), observer) == state_->observers.end())
    state_->observers.push_back(observer);
}

void RunLoop::removeObserver(RunLoopObserver* observer) {
  std::lock_guard<std::mutex> guard(state_->mutex);
  auto& list = state_->observers;
  list.erase(std::remove(list.begin(), list.end(), observer), list.end());
}

// ---- Running ----------------------------------------------------------------------

bool RunLoop::pass(std::string_view mode, Clock::time_point before, bool mayWait) {
  State& s = *state_;
  Ref<RunLoop> keepAlive = Ref<RunLoop>::share(this);  // a callout may drop the last other reference
  const std::string passMode(mode);
  State::ModeScope scope(s, passMode, /*keepInterest=*/!mayWait);

  auto observersSnapshot = [&s] {
    std::lock_guard<std::mutex> guard(s.mutex);
    return s.observers;
  };
  auto stillObserving = [&s](RunLoopObserver* o) {
    std::lock_guard<std::mutex> guard(s.mutex);
    return std::find(s.observers.begin(), s.observers.end(), o) != s.observers.end();
  };
  auto runHooks = [&](bool (RunLoopObserver::*hook)(std::string_view)) {
    bool did = false;
    for (RunLoopObserver* o : observersSnapshot()) {
      if (!stillObserving(o)) continue;
      guarded("observer", [&] { did = (o->*hook)(passMode) || did; });
    }
    return did;
  };
  auto afterCallout = [&] { runHooks(&RunLoopObserver::afterCallout); };

  bool handled = false;

  // 1. About to wait with nothing ready: the idle moment.
  bool ready;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    ready = s.hasReadyWork(passMode);
  }
  if (!ready) handled = runHooks(&RunLoopObserver::beforeWaiting);

  // 2. Wait.
  int timeout = 0;
  if (mayWait && !handled) {
    std::lock_guard<std::mutex> guard(s.mutex);
    if (!s.hasReadyWork(passMode) && !s.observersHaveWork(passMode)) {
      Clock::time_point until = before;
      if (auto due = s.nextDue(passMode)) until = std::min(until, *due);
      timeout = millisecondsUntil(until);
    }
  }
  epoll_event events[64];
  int count = ::epoll_wait(s.epoll.get(), events, 64, timeout);
  if (count < 0) {
    if (errno != EINTR)
      throw InternalInconsistencyException(format("Event loop: epoll_wait failed: %s", errnoText(errno)));
    count = 0;
  }

  // 3. Callouts: watchers, due timers, handed-over operations.
  for (int i = 0; i < count; ++i) {
    const int fd = events[i].data.fd;
    if (fd == s.wake.get()) {
      s.wakePending.store(false, std::memory_order_release);
      s.drain(fd);
    } else if (fd == s.timer.get()) {
      s.drain(fd);
    }
  }
  for (int i = 0; i < count; ++i) {
    const int fd = events[i].data.fd;
    if (fd == s.wake.get() || fd == s.timer.get()) continue;
    struct Due {
      RunLoopEventType type;
      RunLoopEvents* watcher;
      std::uint64_t serial;
    };
    std::vector<Due> due;
    {
      std::lock_guard<std::mutex> guard(s.mutex);
      auto it = s.descriptors.find(fd);
      if (it == s.descriptors.end()) continue;
      for (const auto& r : it->second.registrations)
        if (r.mode == passMode && firesFor(r.type, events[i].events)) due.push_back({r.type, r.watcher, r.serial});
    }
    for (const Due& d : due) {
      {
        std::lock_guard<std::mutex> guard(s.mutex);
        if (!s.isRegistered(fd, d.serial)) continue;
      }
      guarded("watcher", [&] { d.watcher->receivedEvent(descriptorAsData(fd), d.type, nullptr, passMode); });
      handled = true;
      afterCallout();
    }
  }

  std::vector<TimerId> dueTimers;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    const auto now = Clock::now();
    for (const auto& key : s.timerOrder) {
      if (std::get<0>(key) > now) break;
      if (s.timers.at(std::get<2>(key)).mode == passMode) dueTimers.push_back(std::get<2>(key));
    }
  }
  for (TimerId id : dueTimers) {
    std::shared_ptr<std::function<void()>> callout;
    {
      std::lock_guard<std::mutex> guard(s.mutex);
      auto it = s.timers.find(id);
      if (it == s.timers.end()) continue;  // cancelled by an earlier callout
      State::Timer& t = it->second;
      callout = t.callout;
      s.unscheduleTimer(id, t);
      if (t.repeats) {
        const auto now = Clock::now();
        t.due += t.interval;
        if (t.due <= now) t.due = now + t.interval;
        s.scheduleTimer(id, t);
      } else {
        s.timers.erase(it);
      }
    }
    guarded("timer", [&] { (*callout)(); });
    handled = true;
    afterCallout();
  }
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    s.armTimer();
  }

  std::deque<std::function<void()>> operations;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    operations.swap(s.operations);
  }
  while (!operations.empty()) {
    std::function<void()> operation = std::move(operations.front());
    operations.pop_front();
    guarded("operation", operation);
    operation = nullptr;  // its captures go now, not at the end of the pass
    handled = true;
    afterCallout();
  }

  // The end of the pass counts as the end of a callout: work queued outside
  // any callout (before the run, or by the idle hooks) is posted now.
  if (runHooks(&RunLoopObserver::afterCallout)) handled = true;
  return handled;
}

// A wake-up can find nothing to do (a wake-up already served, a timer of
// another mode): such a pass goes back to waiting, so that a run returns
// only for work, its date or stop().
bool RunLoop::waitForWork(std::string_view mode, Clock::time_point before) {
  std::uint64_t stops;
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    stops = state_->stopCount;
  }
  for (;;) {
    if (pass(mode, before, true)) return true;
    if (Clock::now() >= before) return false;
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (state_->stopCount != stops) return false;
  }
}

bool RunLoop::runMode(std::string_view mode, Clock::time_point before) {
  requireOwnThread("runMode");
  return waitForWork(mode, before);
}

bool RunLoop::runOnce(double timeout) {
  requireOwnThread("runOnce");
  return waitForWork(kDefaultRunLoopMode, Clock::now() + secondsToDuration(timeout));
}

void RunLoop::runUntil(Clock::time_point date) {
  requireOwnThread("runUntil");
  State& s = *state_;
  unsigned level;
  {
    std::lock_guard<std::mutex> guard(s.mutex);
    level = ++s.runUntilDepth;
  }
  // currentMode() stays present between the passes of this run.
  State::ModeScope scope(s, kDefaultRunLoopMode, /*keepInterest=*/false);
  struct LevelGuard {
    State& s;
    unsigned level;
    ~LevelGuard() {
      std::lock_guard<std::mutex> guard(s.mutex);
      --s.runUntilDepth;
      if (s.stopTarget >= level) s.stopTarget = 0;
    }
  } levelGuard{s, level};
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(s.mutex);
      if (s.stopTarget == level) break;
    }
    if (Clock::now() >= date) break;
    pass(kDefaultRunLoopMode, date, true);
  }
}

void RunLoop::runFor(double seconds) {
  const auto now = Clock::now();
  runUntil(now + secondsToDuration(seconds));
}

void RunLoop::run() { runUntil(Clock::time_point::max()); }

bool RunLoop::dispatchReady(std::string_view mode) {
  requireOwnThread("dispatchReady");
  return pass(mode, Clock::now(), false);
}

std::optional<std::string> RunLoop::currentMode() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  if (state_->modes.empty()) return std::nullopt;
  return state_->modes.back();
}

bool RunLoop::isRunning() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  return !state_->modes.empty();
}

double RunLoop::nextTimeout() const {
  const State& s = *state_;
  std::lock_guard<std::mutex> guard(s.mutex);
  if (s.ended) return -1;
  if (s.hasReadyWork(s.interestMode) || s.observersHaveWork(s.interestMode)) return 0;
  auto due = s.nextDue(s.interestMode);
  if (!due) return -1;
  const auto left = *due - Clock::now();
  return left <= Clock::duration::zero() ? 0 : std::chrono::duration<double>(left).count();
}

std::string RunLoop::description() const {
  std::optional<std::string> mode = currentMode();
  return format("<RunLoop 0x%x mode %@>", reinterpret_cast<std::uintptr_t>(this), mode);
}

bool performOnMainThread(std::function<void()> operation) {
  return RunLoop::main()->performLater(std::move(operation));
}

}  // namespace korvel
