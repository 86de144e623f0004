#include "streaming.h"

#include "common/tool.h"
#include "metrics.h"

namespace vexo::serve {

namespace {

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

Generation::~Generation() { end(true); }

bool Generation::step(std::string& text) {
  // A stream's steps run later, on the connection's thread.
  const vexo::tool::ScopedLogPrefix request_tag("[" + head_.id + "] ");
  const bool more = lease_->device().step(text);
  if (first_token_seconds_ < 0) first_token_seconds_ = since(arrival_);
  return more;
}

void Generation::end(bool cancelled) {
  if (!lease_) return;
  const Stats stats = lease_->device().stats();
  GenerationRecord record;
  record.prompt_tokens = stats.prompt_tokens;
  record.generated_tokens = stats.generated_tokens;
  record.reused = stats.reused_tokens > 0;
  record.cancelled = cancelled;
  record.first_token_seconds = stats.generated_tokens ? first_token_seconds_ : -1;
  record.total_seconds = since(arrival_);
  lease_.reset();
  metrics_.record(record);
}

nlohmann::json Generation::run() {
  std::string text;
  try {
    while (step(text)) {
    }
  } catch (...) {
    end(true);
    throw;
  }
  Device& device = lease_->device();
  nlohmann::json answer = completion(head_, text, device.finish_reason(), device.stats());
  end(false);
  return answer;
}

bool Generation::stream(const std::function<bool(const std::string&)>& write,
                        const std::function<bool()>& connected) {
  if (head_.chat && !write(event(role_chunk(head_)))) return false;
  for (bool more = true; more;) {
    if (!connected()) return false;  // the destructor records the cancellation
    std::string text;
    more = step(text);
    if (!text.empty() && !write(event(text_chunk(head_, text)))) return false;
  }
  Device& device = lease_->device();
  const Stats stats = device.stats();
  bool sent = write(event(finish_chunk(head_, device.finish_reason())));
  if (sent && include_usage_) sent = write(event(usage_chunk(head_, stats)));
  end(false);
  return sent && write(kStreamEnd);
}

}  // namespace vexo::serve
