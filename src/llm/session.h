// A generation session: prompts in, tokens and text out, with the stop rules
// and the reuse of what the caches hold between requests. Internal to the
// library; llm/generation.h gives its C interface.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "llm/generation.h"
#include "src/llm/grammar/token_mask.h"
#include "llm/llmruntime.h"
#include "src/llm/sampler.h"
#include "src/llm/tokenizer.h"

namespace llmrun {

// The generation rules of one request, owned.
struct Request {
  llm_sampling sampling{};
  size_t max_new = 0;            // 0: no limit
  std::vector<int> eos_ids;      // empty: the tokenizer's end token
  std::vector<std::string> stops;
};
Request copy_request(const llm_request* request);

class Session {
 public:
  Session(LLMBase& llm, const Tokenizer* tokenizer);

  // Feeds the prompt and prepares the first token; throws on failure,
  // after which the session holds nothing.
  void start(const std::vector<int>& prompt, Request request);
  // One step; false when the generation has ended (text may still hold
  // the last of it). `token` is -1 when the step generated none.
  bool step(int& token, std::string& text);

  llm_finish finish() const { return finish_; }
  // Ends the generation at the caller's wish; the caches keep what they hold.
  void cancel() {
    if (finish_ == LLM_FINISH_NONE) finish_ = LLM_FINISH_CANCELLED;
  }
  const llm_session_stats& stats() const { return stats_; }
  // The log-probabilities of the token the last step generated; false when
  // none were recorded.
  bool logprobs(llm_logprob& chosen, const std::vector<llm_logprob>*& top) const;
  // The tokens whose rows the caches hold (empty when another user of the
  // model ran passes since).
  const std::vector<int>& cached() const;
  size_t capacity() const { return llm_.seq_len; }
  // Makes the next generations follow a grammar compiled for `tokenizer`
  // (null: none); throws when the head or the tokenizer does not fit. With
  // a `trigger`, the output is free until the trigger's text appears in it,
  // and the grammar applies to what follows.
  void set_grammar(std::shared_ptr<grammar::TokenMasks> masks, const Tokenizer* tokenizer, std::string trigger = "");

 private:
  using Clock = std::chrono::steady_clock;
  // The token the head proposes after the last pass.
  int choose(int device_token);
  void end(llm_finish reason, std::string& text);
  // Moves to `text` the part of the held text that cannot begin a stop
  // string; true when a stop string was found (it and what follows dropped).
  bool release_text(std::string& text);
  // Gives the ids the grammar refuses no chance; false when it allows none.
  bool mask_logits();
  // Watches the free output for the trigger; the grammar begins after it.
  void await_trigger(int token);

  LLMBase& llm_;
  const Tokenizer* tokenizer_;
  std::optional<StreamDecoder> decoder_;
  std::vector<int> cached_;
  size_t expected_token_len_ = 0;  // llm_.token_len while cached_ is valid

  // Ids the sampler may choose: the head's, within the tokenizer's.
  size_t sample_limit_ = 0;
  Request request_;
  std::optional<Sampler> sampler_;
  bool logprobs_ready_ = false;   // the sampler's record is the last step's token
  std::vector<int32_t> history_;  // prompt and generated tokens, for the penalty
  std::vector<float> logits_;
  int next_ = -1;                 // the proposed token
  bool ready_ = false;            // a start completed and no pass failed since
  bool fed_ = true;               // the last generated token is in the caches
  int last_ = -1;                 // the last generated token
  std::string held_;              // decoded text that may begin a stop string
  llm_finish finish_ = LLM_FINISH_NONE;
  llm_session_stats stats_{};
  std::shared_ptr<grammar::TokenMasks> grammar_;   // for the next starts
  std::shared_ptr<grammar::TokenMasks> followed_;  // the one this generation follows
  std::optional<grammar::Matcher> matcher_;        // the output's parse, with a grammar
  std::string trigger_, followed_trigger_;         // for the next starts / this generation
  std::string awaited_;  // the output's last bytes while the trigger is awaited
  grammar::IdSet allowed_;
  Clock::time_point started_;
};

}  // namespace llmrun
