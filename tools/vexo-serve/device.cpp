#include "device.h"

#include <algorithm>
#include <stdexcept>

#include "vexo.h"
#include "common/tool.h"

namespace vexo::serve {

namespace {

// The library's size protocol: call with a buffer, again with a larger one
// when the result does not fit.
template <typename Element, typename Call>
std::vector<Element> sized(Call call, const char* what) {
  std::vector<Element> out(256);
  for (;;) {
    const long needed = call(out.data(), out.size());
    if (needed < 0) throw std::invalid_argument(what);
    // Text results leave room for their NUL.
    const size_t room = std::is_same<Element, char>::value ? out.size() - 1 : out.size();
    if (static_cast<size_t>(needed) <= room) {
      out.resize(static_cast<size_t>(needed));
      return out;
    }
    out.resize(static_cast<size_t>(needed) + 1);
  }
}

}  // namespace

Tokenizer::Tokenizer(const std::string& path) : handle_(llm_tokenizer_load(path.c_str())) {
  if (!handle_) throw std::runtime_error("cannot load the tokenizer " + path + vexo::tool::library_reason());
}

std::vector<int> Tokenizer::encode(const std::string& text, bool add_bos) const {
  return encode_in_slot([&](int* ids, size_t capacity) {
    return llm_tokenizer_encode(handle_.get(), text.c_str(), add_bos ? 1 : 0, ids, capacity);
  });
}

std::vector<int> Tokenizer::encode_in_slot(const std::function<long(int*, size_t)>& encode) const {
  std::unique_lock<std::mutex> lock(mutex_);
  finished_.wait(lock, [this] { return encoding_ < kEncodings; });
  ++encoding_;
  lock.unlock();
  struct Release {
    const Tokenizer& tokenizer;
    ~Release() {
      std::lock_guard<std::mutex> relock(tokenizer.mutex_);
      --tokenizer.encoding_;
      tokenizer.finished_.notify_one();
    }
  } release{*this};
  return sized<int>(encode, "the text cannot be tokenized");
}

std::string Tokenizer::decode(const std::vector<int>& ids) const {
  const size_t vocab = vocab_size();
  for (const int id : ids) {
    if (id < 0 || static_cast<size_t>(id) >= vocab)
      throw std::invalid_argument("token " + std::to_string(id) + " is outside the vocabulary of " +
                                  std::to_string(vocab) + " tokens");
  }
  const std::vector<char> text = sized<char>(
      [&](char* out, size_t capacity) {
        return llm_tokenizer_decode(handle_.get(), ids.data(), ids.size(), out, capacity);
      },
      "the tokens cannot be decoded");
  return std::string(text.begin(), text.end());
}

ChatTemplate::ChatTemplate(const std::string& path, const std::string& tokenizer_path)
    : handle_(path.empty() ? llm_chat_template_for_tokenizer(tokenizer_path.c_str())
                           : llm_chat_template_load(path.c_str())) {
  if (!handle_) {
    throw std::runtime_error("cannot load the chat template " + (path.empty() ? "of " + tokenizer_path : path) +
                             vexo::tool::library_reason());
  }
}

std::vector<int> ChatTemplate::encode(const std::string& messages, const std::string& tools,
                                      const std::string& options, const Tokenizer& tokenizer,
                                      const std::function<void(const std::string&)>& check) const {
  struct PromptFree {
    void operator()(llm_chat_prompt* prompt) const { llm_chat_prompt_free(prompt); }
  };
  const std::unique_ptr<llm_chat_prompt, PromptFree> prompt(llm_chat_template_apply(
      handle_.get(), messages.c_str(), tools.empty() ? nullptr : tools.c_str(), options.empty() ? nullptr : options.c_str()));
  if (!prompt) {
    throw std::invalid_argument(std::string("the messages cannot be rendered with the chat template: ") +
                                vexo_get_last_error());
  }
  // A template that writes the bos token itself gets no second one.
  const int bos = llm_tokenizer_bos_id(tokenizer.get());
  const std::string bos_text = bos >= 0 ? tokenizer.decode({bos}) : "";
  const std::string text = llm_chat_prompt_text(prompt.get(), nullptr);
  check(text);
  const bool add_bos = bos_text.empty() || text.rfind(bos_text, 0) != 0;
  return tokenizer.encode_in_slot([&](int* ids, size_t capacity) {
    return llm_chat_prompt_encode(prompt.get(), tokenizer.get(), add_bos ? 1 : 0, ids, capacity);
  });
}

Device::Device(const std::string& model, int id, const Tokenizer& tokenizer) : id_(id) {
  llm_ = llmrun::llm_init(model.c_str(), id);
  if (!llm_) {
    throw std::runtime_error("cannot load " + model + " on device " + std::to_string(id) +
                             " as a language model" + vexo::tool::library_reason());
  }
  session_ = llm_session_create(llm_, tokenizer.get());
  if (!session_) {
    llmrun::llm_free(llm_);
    throw std::runtime_error("cannot start a generation session on device " + std::to_string(id));
  }
  capacity_ = llm_session_capacity(session_);
  vocab_ = std::min(tokenizer.vocab_size(),
                    head_kind() == LLM_HEAD_LOGITS ? llm_get_head_size(llm_) : tokenizer.vocab_size());
}

Device::~Device() {
  llm_session_free(session_);
  llmrun::llm_free(llm_);
}

void Device::start(const std::vector<int>& prompt, const Settings& settings) {
  settings_ = settings;
  stop_pointers_.clear();
  for (const std::string& stop : settings_.stops) stop_pointers_.push_back(stop.c_str());
  llm_request request;
  llm_request_defaults(&request);
  request.sampling = settings_.sampling;
  request.sampling.logit_bias = settings_.logit_bias.data();
  request.sampling.logit_bias_count = settings_.logit_bias.size();
  request.max_new = settings_.max_new;
  request.stops = stop_pointers_.data();
  request.stop_count = stop_pointers_.size();
  if (!llm_session_set_grammar(session_, settings_.grammar.get()) ||
      !llm_session_start(session_, prompt.data(), prompt.size(), &request))
    throw std::runtime_error("the generation failed on device " + std::to_string(id_));
}

bool Device::step(std::string& text) {
  llm_piece piece{};
  const int rc = llm_session_step(session_, &piece);
  if (rc < 0) throw std::runtime_error("the generation failed on device " + std::to_string(id_));
  text.append(piece.text, piece.text_len);
  last_token_ = piece.token;
  return rc == 1;
}

bool Device::logprobs(TokenLogprobs& out) const {
  out.top.resize(LLM_MAX_LOGPROBS);
  const long count = llm_session_logprobs(session_, &out.chosen, out.top.data(), out.top.size());
  if (count < 0) return false;
  out.top.resize(std::min<size_t>(static_cast<size_t>(count), out.top.size()));
  return true;
}

const char* Device::finish_reason() const {
  const int finish = llm_session_finish(session_);
  if (finish == LLM_FINISH_UNKNOWN_TOKEN) return "unknown_token";
  return finish == LLM_FINISH_LENGTH || finish == LLM_FINISH_CAPACITY ? "length" : "stop";
}

Stats Device::stats() const {
  llm_session_stats stats{};
  llm_session_get_stats(session_, &stats);
  return {stats.prompt_tokens, stats.reused_tokens, stats.generated_tokens};
}

void Device::end() {
  const int* ids = nullptr;
  const size_t count = llm_session_cached_tokens(session_, &ids);
  cached_.assign(ids, ids + count);
}

}  // namespace vexo::serve
