#include "korvel/pool.h"

#include <algorithm>
#include <chrono>
#include <set>

namespace korvel {

namespace {

double nowSinceReference() {
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count() - kReferenceDateFromUnix;
}

// Every live pool, so that Korvel::purgeConnections reaches them all.
std::mutex& poolsMutex() {
  static std::mutex m;
  return m;
}
std::set<KorvelPool*>& pools() {
  static std::set<KorvelPool*> all;
  return all;
}

}  // namespace

KorvelPool::KorvelPool(const KorvelConfig& config, std::size_t size, double idleTimeout)
    : idleTimeout_(idleTimeout) {
  if (size == 0) throw InvalidArgumentException("A pool needs at least one client");
  slots_.resize(size);
  for (Slot& slot : slots_) slot.client = Korvel::create(config);
  std::lock_guard<std::mutex> guard(poolsMutex());
  pools().insert(this);
}

KorvelPool::~KorvelPool() {
  {
    std::lock_guard<std::mutex> guard(poolsMutex());
    pools().erase(this);
  }
  for (Slot& slot : slots_) slot.client->disconnect();
}

KorvelPool::Lease& KorvelPool::Lease::operator=(Lease&& o) noexcept {
  if (this != &o) {
    release();
    pool_ = std::exchange(o.pool_, nullptr);
    slot_ = o.slot_;
  }
  return *this;
}

Korvel& KorvelPool::Lease::operator*() const {
  if (!pool_) throw InternalInconsistencyException("Use of an empty pool lease");
  return *pool_->slots_[slot_].client;
}

void KorvelPool::Lease::release() noexcept {
  if (pool_) std::exchange(pool_, nullptr)->giveBack(slot_);
}

KorvelPool::Lease KorvelPool::acquire(double timeoutSeconds) {
  std::unique_lock<std::mutex> guard(mutex_);
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(std::max(0.0, timeoutSeconds)));
  for (;;) {
    // Prefer a connected client, and among those the one used last, so that
    // a lightly used pool keeps few connections warm.
    std::size_t best = slots_.size();
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      const Slot& s = slots_[i];
      if (s.leased) continue;
      if (best == slots_.size()) { best = i; continue; }
      const Slot& b = slots_[best];
      bool better = (s.client->connected() && !b.client->connected()) ||
                    (s.client->connected() == b.client->connected() && s.releasedAt > b.releasedAt);
      if (better) best = i;
    }
    if (best < slots_.size()) {
      slots_[best].leased = true;
      return Lease(this, best);
    }
    if (available_.wait_until(guard, deadline) == std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline) {
      // One last look: a release may have raced with the time-out.
      bool any = std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.leased; });
      if (!any) return Lease();
    }
  }
}

void KorvelPool::giveBack(std::size_t slot) noexcept {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    slots_[slot].leased = false;
    slots_[slot].releasedAt = nowSinceReference();
  }
  available_.notify_one();
}

std::size_t KorvelPool::idleCount() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<std::size_t>(std::count_if(slots_.begin(), slots_.end(), [](const Slot& s) { return !s.leased; }));
}

void KorvelPool::purge(std::optional<double> before) {
  double cutoff = before ? *before : nowSinceReference() - idleTimeout_;
  std::vector<std::size_t> chosen;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      Slot& s = slots_[i];
      if (!s.leased && s.client->connected() && s.releasedAt < cutoff) {
        s.leased = true;  // nobody may take it while it is being closed
        chosen.push_back(i);
      }
    }
  }
  // Disconnect outside the pool's mutex: closing may wait on the network.
  // A client whose lock is held elsewhere (an event-loop watcher) is skipped
  // rather than waited for, so that purging never deadlocks a connecting
  // client against another.
  for (std::size_t i : chosen) {
    Korvel& client = *slots_[i].client;
    std::unique_lock<std::recursive_mutex> clientLock(client.mutex_, std::try_to_lock);
    if (clientLock.owns_lock()) client.disconnect();
  }
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (std::size_t i : chosen) slots_[i].leased = false;
  }
  if (!chosen.empty()) available_.notify_all();
}

void Korvel::purgeConnections(std::optional<double> before) {
  // Held throughout, so that no pool is destroyed while it is purged.
  std::lock_guard<std::mutex> guard(poolsMutex());
  for (KorvelPool* pool : pools()) pool->purge(before);
}

}  // namespace korvel

