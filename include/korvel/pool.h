// A fixed-size pool of clients for use from several threads.
//
//   korvel::KorvelPool pool({.backend = "SQLite", .database = "app.db"}, 4);
//   if (auto db = pool.acquire(2.0)) db->execute("...");   // lease returns on scope exit
//
// All clients share one configuration and connect on demand. A lease gives
// one thread sole use of one client until the lease ends. Idle clients stay
// connected until Korvel::purgeConnections (or purge) disconnects them: the
// host calls it, with nothing, before each new connection, which drops the
// clients idle for longer than the pool's idle time-out.
//
// Thread-safety: every member may be called from any thread. The pool must
// outlive its leases.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "korvel/korvel.h"

namespace korvel {

class KorvelPool {
 public:
  // Makes `size` clients of the configuration (loading the module once).
  // idleTimeout: seconds after which an idle client is purged.
  KorvelPool(const KorvelConfig& config, std::size_t size, double idleTimeout = 60.0);
  ~KorvelPool();
  KorvelPool(const KorvelPool&) = delete;
  KorvelPool& operator=(const KorvelPool&) = delete;

  class Lease {
   public:
    Lease() = default;
    Lease(Lease&& o) noexcept : pool_(std::exchange(o.pool_, nullptr)), slot_(o.slot_) {}
    Lease& operator=(Lease&& o) noexcept;
    ~Lease() { release(); }
    explicit operator bool() const noexcept { return pool_ != nullptr; }
    Korvel& operator*() const;
    Korvel* operator->() const { return &**this; }
    // Hands the client back early.
    void release() noexcept;

   private:
    friend class KorvelPool;
    Lease(KorvelPool* pool, std::size_t slot) : pool_(pool), slot_(slot) {}
    KorvelPool* pool_ = nullptr;
    std::size_t slot_ = 0;
  };

  // Waits up to timeoutSeconds for an idle client; an empty lease when none
  // became free in time.
  Lease acquire(double timeoutSeconds);
  std::size_t size() const noexcept { return slots_.size(); }
  std::size_t idleCount() const;
  // Disconnects idle clients released before the date (seconds since 2001),
  // or idle for longer than the time-out when nothing is given.
  void purge(std::optional<double> beforeSecondsSinceReference = std::nullopt);

 private:
  struct Slot {
    std::unique_ptr<Korvel> client;
    bool leased = false;
    double releasedAt = 0;  // seconds since 2001
  };
  void giveBack(std::size_t slot) noexcept;

  double idleTimeout_;
  mutable std::mutex mutex_;
  std::condition_variable available_;
  std::vector<Slot> slots_;
};

}  // namespace korvel
