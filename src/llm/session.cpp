#include "src/llm/session.h"

#include <algorithm>
#include <cstdint>

#include "src/llm/heads.h"
#include "src/utils/guard.h"

namespace llmrun {

namespace {

constexpr size_t kUnknown = SIZE_MAX;  // no token count: the caches hold nothing known

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The longest end of `text` that begins `stop` without being all of it.
size_t partial_stop(const std::string& text, const std::string& stop) {
  for (size_t n = std::min(text.size(), stop.size() - 1); n > 0; --n) {
    if (text.compare(text.size() - n, n, stop, 0, n) == 0) return n;
  }
  return 0;
}

}  // namespace

Request copy_request(const llm_request* request) {
  Request copy;
  llm_request defaults;
  llm_request_defaults(&defaults);
  if (!request) request = &defaults;
  copy.sampling = request->sampling;
  copy.max_new = request->max_new;
  if (request->eos_count && !request->eos_ids) minilog::fail_with("The request's end ids are missing");
  if (request->stop_count && !request->stops) minilog::fail_with("The request's stop strings are missing");
  copy.eos_ids.assign(request->eos_ids, request->eos_ids + request->eos_count);
  for (size_t i = 0; i < request->stop_count; ++i) {
    if (!request->stops[i] || !*request->stops[i]) minilog::fail_with("Stop string ", i, " is empty");
    copy.stops.emplace_back(request->stops[i]);
  }
  return copy;
}

Session::Session(LLMBase& llm, const Tokenizer* tokenizer) : llm_(llm), tokenizer_(tokenizer) {
  if (tokenizer_) decoder_.emplace(*tokenizer_);
  sample_limit_ = llm_.logits_head ? llm_get_head_size(&llm_) : 0;
  // Models often pad their vocabulary past the tokenizer's: the padding ids
  // have no text, so the sampler never chooses them.
  // A tokenizer of the caller's may not know its size (0).
  const size_t known = tokenizer_ ? tokenizer_->vocab_size() : 0;
  if (known && sample_limit_ > known) {
    // Usual (Qwen's 151,936 scores for 151,669 ids): no warning.
    minilog::log_at<3>("The model's head scores ", sample_limit_, " ids, its tokenizer has ", known,
                       " (padding): only ids the tokenizer has are generated");
    sample_limit_ = known;
  } else if (known && sample_limit_ && sample_limit_ < known) {
    minilog::log_at<2>("The model's head scores ", sample_limit_, " ids but the tokenizer has ", known,
                       ": the tokenizer's ids past them are never generated");
  }
}

bool Session::logprobs(llm_logprob& chosen, const std::vector<llm_logprob>*& top) const {
  if (!logprobs_ready_) return false;
  chosen = sampler_->chosen();
  top = &sampler_->top();
  return true;
}

const std::vector<int>& Session::cached() const {
  static const std::vector<int> none;
  return llm_.token_len == expected_token_len_ ? cached_ : none;
}

void Session::start(const std::vector<int>& prompt, Request request) {
  started_ = Clock::now();
  ready_ = false;
  logprobs_ready_ = false;
  finish_ = LLM_FINISH_NONE;
  stats_ = llm_session_stats{};
  const size_t n = prompt.size(), s = llm_.seq_len;
  if (n == 0 || n > s) minilog::fail_with("A prompt takes 1 to ", s, " tokens, not ", n);
  // Ids beyond the vocabulary would make the embedding read outside its table.
  const size_t vocab = llm_.logits_head ? llm_get_head_size(&llm_) : tokenizer_ ? tokenizer_->vocab_size() : 0;
  for (const int id : prompt) {
    if (id < 0 || (vocab && static_cast<size_t>(id) >= vocab)) {
      minilog::fail_with("Prompt token ", id, " is outside the vocabulary of ", vocab, " ids");
    }
  }
  check_sampling(request.sampling, sample_limit_ ? sample_limit_ : vocab);
  if (!request.stops.empty() && !tokenizer_) minilog::fail_with("Stop strings need a tokenizer");
  if (request.eos_ids.empty() && tokenizer_) request.eos_ids = tokenizer_->eos_ids();
  request_ = std::move(request);
  followed_ = grammar_;
  followed_trigger_ = trigger_;
  awaited_.clear();
  if (followed_ && followed_trigger_.empty()) {
    matcher_.emplace(followed_->automaton());
  } else {
    matcher_.reset();
  }
  sampler_.emplace(request_.sampling);
  history_.assign(prompt.begin(), prompt.end());
  held_.clear();
  if (decoder_) decoder_->reset(prompt);
  fed_ = true;

  const std::vector<int>& have = cached();
  const size_t reuse = have.size() && n > have.size() && std::equal(have.begin(), have.end(), prompt.begin())
                           ? have.size()
                           : 0;
  // Until the passes complete, the caches hold nothing known.
  expected_token_len_ = kUnknown;
  int token = -1;
  if (reuse) {
    for (size_t i = reuse; i < n; ++i) {
      token = next_pass_with(llm_, prompt[i]);
      cached_.push_back(prompt[i]);
    }
  } else {
    token = first_pass(llm_, prompt.data(), n);
    cached_ = prompt;
  }
  expected_token_len_ = llm_.token_len;
  next_ = choose(token);
  stats_.prompt_tokens = n;
  stats_.reused_tokens = reuse;
  stats_.prompt_seconds = seconds_since(started_);
  ready_ = true;
}

int Session::choose(int device_token) {
  if (!llm_.logits_head) return device_token;
  // The pass took the argmax already.
  if (sampler_->plain_greedy() && !matcher_ && static_cast<size_t>(device_token) < sample_limit_) return device_token;
  head_logits(llm_, logits_);
  if (logits_.size() > sample_limit_) logits_.resize(sample_limit_);
  if (matcher_ && !mask_logits()) return -1;
  return sampler_->sample(logits_, history_, stats_.generated_tokens);
}

void Session::set_grammar(std::shared_ptr<grammar::TokenMasks> masks, const Tokenizer* tokenizer, std::string trigger) {
  if (masks && !llm_.logits_head) {
    minilog::fail_with("This model's head chooses the token on the device, so its output cannot follow a grammar; "
                       "it needs a logits head");
  }
  if (masks && tokenizer != tokenizer_) minilog::fail_with("The grammar was compiled for another tokenizer");
  grammar_ = std::move(masks);
  trigger_ = std::move(trigger);
}

void Session::await_trigger(int token) {
  // Control tokens have no bytes for masks, but their text may be the trigger.
  const std::string& bytes = followed_->vocabulary().bytes(token);
  awaited_ += bytes.empty() ? tokenizer_->decode({token}) : bytes;
  const size_t at = awaited_.find(followed_trigger_);
  if (at == std::string::npos) {
    const size_t keep = followed_trigger_.size() - 1;
    if (awaited_.size() > keep) awaited_.erase(0, awaited_.size() - keep);
    return;
  }
  matcher_.emplace(followed_->automaton());
  // A token that ran past the trigger into bytes the grammar refuses leaves
  // this output free.
  if (!matcher_->advance(std::string_view(awaited_).substr(at + followed_trigger_.size()))) {
    matcher_.reset();
    followed_.reset();
  }
}

bool Session::mask_logits() {
  followed_->allowed(*matcher_, allowed_);
  const size_t vocab = followed_->vocabulary().size();
  // End ids are allowed exactly where the grammar may end.
  for (const int id : request_.eos_ids) {
    if (id >= 0 && static_cast<size_t>(id) < vocab) allowed_.set(id, matcher_->can_end());
  }
  return grammar::mask_scores(allowed_, logits_);
}

bool Session::step(int& token, std::string& text) {
  token = -1;
  text.clear();
  logprobs_ready_ = false;
  if (finish_ != LLM_FINISH_NONE) return false;
  if (!ready_ || cached().empty()) minilog::fail_with("The session has no prompt: start it first");
  if (!fed_) {
    if (llm_.token_len > llm_.seq_len) {
      end(LLM_FINISH_CAPACITY, text);
      return false;
    }
    expected_token_len_ = kUnknown;
    ready_ = false;  // until the pass completes
    const int device_token = llm_.logits_head ? next_pass_with(llm_, last_) : next_pass(llm_);
    cached_.push_back(last_);
    expected_token_len_ = llm_.token_len;
    next_ = choose(device_token);
    fed_ = true;
    ready_ = true;
  }
  const int t = next_;
  if (t < 0) {  // the grammar allows no token
    if (!matcher_->can_end()) minilog::fail_with("No token of the vocabulary can continue the grammar's output");
    end(LLM_FINISH_STOP, text);
    return false;
  }
  if (std::find(request_.eos_ids.begin(), request_.eos_ids.end(), t) != request_.eos_ids.end()) {
    end(LLM_FINISH_EOS, text);
    return false;
  }
  // A token head may choose a padding id, which has no text.
  if (!llm_.logits_head && tokenizer_ && tokenizer_->vocab_size() &&
      (t < 0 || static_cast<size_t>(t) >= tokenizer_->vocab_size())) {
    end(LLM_FINISH_UNKNOWN_TOKEN, text);
    return false;
  }
  token = last_ = t;
  logprobs_ready_ = llm_.logits_head && request_.sampling.logprobs >= 0;
  fed_ = false;
  history_.push_back(t);
  if (++stats_.generated_tokens == 1) stats_.first_token_seconds = seconds_since(started_);
  stats_.generate_seconds = seconds_since(started_);
  if (decoder_) held_ += decoder_->push(t);
  if (matcher_) {
    if (!matcher_->advance(followed_->vocabulary().bytes(t)))
      minilog::fail_with("Token ", t, " leaves the grammar");  // the mask allowed it: a defect
  } else if (followed_) {
    await_trigger(t);
  }
  if (release_text(text)) {
    finish_ = LLM_FINISH_STOP;
    return false;
  }
  if (matcher_ && matcher_->complete()) {  // nothing may follow
    end(LLM_FINISH_STOP, text);
    return false;
  }
  if (request_.max_new && stats_.generated_tokens >= request_.max_new) {
    end(LLM_FINISH_LENGTH, text);
    return false;
  }
  return true;
}

void Session::end(llm_finish reason, std::string& text) {
  if (decoder_) held_ += decoder_->flush();
  finish_ = release_text(text) ? LLM_FINISH_STOP : reason;
  text += held_;
  held_.clear();
  stats_.generate_seconds = seconds_since(started_);
}

bool Session::release_text(std::string& text) {
  size_t found = std::string::npos;
  for (const std::string& stop : request_.stops) found = std::min(found, held_.find(stop));
  if (found != std::string::npos) {
    text += held_.substr(0, found);
    held_.clear();
    return true;
  }
  size_t keep = 0;
  for (const std::string& stop : request_.stops) keep = std::max(keep, partial_stop(held_, stop));
  text += held_.substr(0, held_.size() - keep);
  held_.erase(0, held_.size() - keep);
  return false;
}

}  // namespace llmrun
