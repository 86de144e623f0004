#include "scheduler.h"

#include <algorithm>

#include "metrics.h"

namespace vexo::serve {

namespace {

// The prompt begins with every cached token and adds at least one: the
// device feeds only what it adds.
bool extends(const std::vector<int>& prompt, const std::vector<int>& cached) {
  return !cached.empty() && prompt.size() > cached.size() &&
         std::equal(cached.begin(), cached.end(), prompt.begin());
}

}  // namespace

void DeviceTurns::give_back(int device) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_.erase(device);
  }
  changed_.notify_all();
}

void DeviceTurns::wake() {
  // Taken so that a waiter between its check and its wait sees the change.
  { std::lock_guard<std::mutex> lock(mutex_); }
  changed_.notify_all();
}

Lease::~Lease() { pool_.release(device_); }

// The pool's devices are added while loading, before the model is served:
// the readers below see a finished list.
void DevicePool::add(std::unique_ptr<Device> device) {
  std::lock_guard<std::mutex> lock(turns_.mutex());
  slots_.push_back({std::move(device), 0});
}

size_t DevicePool::capacity() const { return slots_.empty() ? 0 : slots_.front().device->capacity(); }

int DevicePool::head_kind() const { return slots_.empty() ? 0 : slots_.front().device->head_kind(); }

size_t DevicePool::vocab_size() const { return slots_.empty() ? 0 : slots_.front().device->vocab_size(); }

DevicePool::Slot* DevicePool::choose(const std::vector<int>& prompt) {
  Slot* chosen = nullptr;
  for (Slot& slot : slots_) {
    if (turns_.busy(slot.device->id())) continue;
    if (extends(prompt, slot.device->cached())) {
      if (!chosen || !extends(prompt, chosen->device->cached()) ||
          slot.device->cached().size() > chosen->device->cached().size())
        chosen = &slot;
    } else if (!chosen || (!extends(prompt, chosen->device->cached()) && slot.last_used < chosen->last_used)) {
      chosen = &slot;  // the least recently used device keeps the others' caches for their conversations
    }
  }
  return chosen;
}

std::unique_ptr<Lease> DevicePool::acquire(const std::vector<int>& prompt) {
  std::unique_lock<std::mutex> lock(turns_.mutex());
  if (closed_ || slots_.empty()) throw Unavailable("the server is shutting down");
  const bool any_free =
      std::any_of(slots_.begin(), slots_.end(), [this](const Slot& s) { return !turns_.busy(s.device->id()); });
  if (!(waiting_.empty() && any_free) && waiting_.size() >= queue_limit_)
    throw QueueFull("the server is busy: " + std::to_string(waiting_.size()) + " requests are waiting already");

  const uint64_t ticket = next_ticket_++;
  waiting_.push_back(ticket);
  metrics_.set_waiting(waiting_.size());
  Slot* slot = nullptr;
  turns_.changed().wait(lock, [&] { return closed_ || (waiting_.front() == ticket && (slot = choose(prompt))); });
  waiting_.erase(std::find(waiting_.begin(), waiting_.end(), ticket));
  metrics_.set_waiting(waiting_.size());
  if (closed_) {
    turns_.changed().notify_all();
    throw Unavailable("the server is shutting down");
  }
  turns_.take(slot->device->id());
  slot->last_used = ++uses_;
  metrics_.add_running(1);
  // The next request in line may find another free device.
  turns_.changed().notify_all();
  return std::make_unique<Lease>(*this, *slot->device);
}

void DevicePool::release(Device& device) {
  device.end();
  metrics_.add_running(-1);
  turns_.give_back(device.id());
}

void DevicePool::close() {
  {
    std::lock_guard<std::mutex> lock(turns_.mutex());
    closed_ = true;
  }
  turns_.wake();
}

}  // namespace vexo::serve
