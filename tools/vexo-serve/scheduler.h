// The device pool of a language model: its requests wait in arrival order
// in a bounded queue and each gets a device to itself. The request at the
// head of the queue takes the free device whose caches its prompt extends,
// else any free device. Every model on a device takes turns with the
// others there (DeviceTurns).
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

#include "device.h"

namespace vexo::serve {

class ModelMetrics;

// The queue is full (the request is refused, not queued).
class QueueFull : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// The server is shutting down or has no device.
class Unavailable : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The devices that run a model now, for every model of the server: one
// model at a time runs on a device. Its lock and wake-up are those of every
// pool that waits for a device.
class DeviceTurns {
 public:
  std::mutex& mutex() { return mutex_; }
  std::condition_variable& changed() { return changed_; }
  // Call these two with mutex() held.
  bool busy(int device) const { return busy_.count(device) != 0; }
  void take(int device) { busy_.insert(device); }
  // Locks, frees the device and wakes every waiting request.
  void give_back(int device);
  // Wakes every waiting request (after a pool closed).
  void wake();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<int> busy_;
};

class DevicePool;

// A device held by one request; handed back when destroyed.
class Lease {
 public:
  Lease(DevicePool& pool, Device& device) : pool_(pool), device_(device) {}
  ~Lease();
  Lease(const Lease&) = delete;
  Lease& operator=(const Lease&) = delete;
  Device& device() { return device_; }

 private:
  DevicePool& pool_;
  Device& device_;
};

class DevicePool {
 public:
  DevicePool(size_t queue_limit, DeviceTurns& turns, ModelMetrics& metrics)
      : queue_limit_(queue_limit), turns_(turns), metrics_(metrics) {}

  // Called while loading, before any request is served.
  void add(std::unique_ptr<Device> device);
  // Positions the caches hold (every device runs the same model).
  size_t capacity() const;
  int head_kind() const;
  size_t vocab_size() const;

  // Waits for a device for this prompt. Throws QueueFull when queue_limit
  // requests already wait, Unavailable once closed.
  std::unique_ptr<Lease> acquire(const std::vector<int>& prompt);
  // Refuses new requests and wakes those waiting with Unavailable.
  void close();

 private:
  friend class Lease;
  struct Slot {
    std::unique_ptr<Device> device;
    uint64_t last_used = 0;
  };
  void release(Device& device);
  Slot* choose(const std::vector<int>& prompt);

  const size_t queue_limit_;
  DeviceTurns& turns_;
  ModelMetrics& metrics_;
  std::vector<Slot> slots_;
  std::deque<uint64_t> waiting_;  // tickets in arrival order
  uint64_t next_ticket_ = 0;
  uint64_t uses_ = 0;
  bool closed_ = false;
};

}  // namespace vexo::serve
