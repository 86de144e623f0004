#include "streaming.h"

#include "common/tool.h"
#include "metrics.h"
#include "structured.h"

namespace vexo::serve {

namespace {

double since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

}  // namespace

Generation::Generation(ResponseHead head, std::unique_ptr<Lease> lease, Plan plan, const Tokenizer& tokenizer,
                       Clock::time_point arrival, ModelMetrics& metrics)
    : head_(std::move(head)), lease_(std::move(lease)), plan_(std::move(plan)), tokenizer_(tokenizer),
      arrival_(arrival), metrics_(metrics) {}

Generation::~Generation() { end(true); }

void Generation::begin() { start_choice(0); }

void Generation::start_choice(size_t index) {
  if (index == 0 && begun_) return;
  begun_ = true;
  Device& device = lease_->device();
  if (index > 0) stats_.generated_tokens += device.stats().generated_tokens;
  Settings settings = plan_.settings;
  settings.sampling.seed += index;
  device.start(plan_.prompt, settings);
  if (index == 0) {
    const Stats first = device.stats();
    stats_.prompt_tokens = first.prompt_tokens;
    stats_.reused_tokens = first.reused_tokens;
  }
}

bool Generation::step(std::string& text, std::vector<TokenLogprobs>& logprobs, size_t offset) {
  // A stream's steps run later, on the connection's thread.
  const vexo::tool::ScopedLogPrefix request_tag("[" + head_.id + "] ");
  Device& device = lease_->device();
  const size_t before = text.size();
  const bool more = device.step(text);
  if (first_token_seconds_ < 0) first_token_seconds_ = since(arrival_);
  TokenLogprobs token;
  if (device.last_token() >= 0 && device.logprobs(token)) {
    token.text_offset = offset + before;
    logprobs.push_back(std::move(token));
  }
  return more;
}

nlohmann::json Generation::logprobs(const std::vector<TokenLogprobs>& tokens) const {
  if (plan_.settings.sampling.logprobs < 0) return nullptr;
  return logprobs_json(head_.chat, tokens, tokenizer_);
}

void Generation::end(bool cancelled) {
  if (!lease_) return;
  GenerationRecord record;
  record.prompt_tokens = stats_.prompt_tokens;
  record.generated_tokens = stats_.generated_tokens + lease_->device().stats().generated_tokens;
  record.reused = stats_.reused_tokens > 0;
  record.cancelled = cancelled;
  record.first_token_seconds = record.generated_tokens ? first_token_seconds_ : -1;
  record.total_seconds = since(arrival_);
  // Recorded before the device is handed back: once no request runs, every
  // finished one is counted.
  metrics_.record(record);
  lease_.reset();
}

nlohmann::json Generation::run(const std::function<bool()>& connected) {
  std::vector<Choice> choices(plan_.choices);
  try {
    for (size_t i = 0; i < choices.size(); ++i) {
      start_choice(i);
      std::vector<TokenLogprobs> tokens;
      for (bool more = true; more;) {
        if (!connected()) return nullptr;  // the destructor records the cancellation
        more = step(choices[i].text, tokens, 0);
      }
      choices[i].finish_reason = lease_->device().finish_reason();
      choices[i].logprobs = logprobs(tokens);
      if (plan_.tool_style) {
        ToolCalls read = read_tool_calls(choices[i].text, plan_.tool_style, head_, i);
        if (!read.calls.empty()) {
          choices[i].text = std::move(read.content);
          choices[i].tool_calls = std::move(read.calls);
          choices[i].finish_reason = "tool_calls";
        }
      }
    }
  } catch (...) {
    end(true);
    throw;
  }
  Stats stats = stats_;
  stats.generated_tokens += lease_->device().stats().generated_tokens;
  end(false);
  return completion(head_, choices, stats);
}

bool Generation::stream(const std::function<bool(const std::string&)>& write,
                        const std::function<bool()>& connected) {
  for (size_t i = 0; i < plan_.choices; ++i) {
    start_choice(i);
    if (head_.chat && !write(event(role_chunk(head_, i)))) return false;
    size_t offset = 0;
    std::vector<TokenLogprobs> tokens;
    std::string answer;  // with tools: the whole answer, read for calls at its end
    for (bool more = true; more;) {
      if (!connected()) return false;  // the destructor records the cancellation
      std::string text;
      more = step(text, tokens, offset);
      // A token whose text is held back (a partial stop string or
      // character) goes out with the next text.
      if (text.empty()) continue;
      offset += text.size();
      if (plan_.tool_style) {
        answer += text;
        continue;
      }
      if (!write(event(text_chunk(head_, i, text, logprobs(tokens))))) return false;
      tokens.clear();
    }
    if (!tokens.empty() && !write(event(text_chunk(head_, i, "", logprobs(tokens))))) return false;
    const char* finish_reason = lease_->device().finish_reason();
    if (plan_.tool_style) {
      const ToolCalls read = read_tool_calls(answer, plan_.tool_style, head_, i);
      for (const nlohmann::json& chunk : tool_call_chunks(head_, i, read)) {
        if (!write(event(chunk))) return false;
      }
      if (!read.calls.empty()) finish_reason = "tool_calls";
    }
    if (!write(event(finish_chunk(head_, i, finish_reason)))) return false;
  }
  Stats stats = stats_;
  stats.generated_tokens += lease_->device().stats().generated_tokens;
  end(false);
  bool sent = true;
  if (plan_.include_usage) sent = write(event(usage_chunk(head_, stats)));
  return sent && write(kStreamEnd);
}

}  // namespace vexo::serve
