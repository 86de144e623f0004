// The device pool: requests wait in arrival order in a bounded queue and
// each gets a device to itself. The request at the head of the queue takes
// the free device whose caches its prompt extends, else any free device.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "device.h"

namespace vexo::serve {

class Metrics;

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
  DevicePool(size_t queue_limit, Metrics& metrics) : queue_limit_(queue_limit), metrics_(metrics) {}

  // Called while loading, before any request is served.
  void add(std::unique_ptr<Device> device);
  size_t size() const;
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
    bool busy = false;
    uint64_t last_used = 0;
  };
  void release(Device& device);
  Slot* choose(const std::vector<int>& prompt);

  const size_t queue_limit_;
  Metrics& metrics_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Slot> slots_;
  std::deque<uint64_t> waiting_;  // tickets in arrival order
  uint64_t next_ticket_ = 0;
  uint64_t uses_ = 0;
  bool closed_ = false;
};

}  // namespace vexo::serve
