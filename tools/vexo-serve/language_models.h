// The language models of the server: each with its tokenizer, chat template
// and a pool of runtimes, one per device. The OpenAI endpoints choose one by
// the request's "model" field.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <memory>
#include <string>
#include <vector>

#include "model_specs.h"

namespace vexo::serve {

class ChatTemplate;
class DevicePool;
class DeviceTurns;
class Metrics;
class ModelMetrics;
class Tokenizer;

class LanguageModel {
 public:
  explicit LanguageModel(ModelSpec spec);
  ~LanguageModel();
  // Loads the tokenizer, the chat template and a runtime on each device.
  // Throws std::runtime_error.
  void load(DeviceTurns& turns, Metrics& metrics);

  const std::string& name() const { return spec_.name; }
  // Every name it answers to, the reported one first.
  std::vector<std::string> names() const;
  bool answers_to(const std::string& name) const;
  // Valid once loaded.
  const Tokenizer& tokenizer() const { return *tokenizer_; }
  const ChatTemplate& chat_template() const { return *chat_template_; }
  DevicePool& pool() const { return *pool_; }
  bool loaded() const { return pool_ != nullptr; }
  ModelMetrics& metrics() const { return *metrics_; }

 private:
  const ModelSpec spec_;
  std::unique_ptr<Tokenizer> tokenizer_;
  std::unique_ptr<ChatTemplate> chat_template_;
  std::unique_ptr<DevicePool> pool_;
  ModelMetrics* metrics_ = nullptr;
};

// The list is fixed when the server starts; the models load afterwards and
// are used once the server is ready.
class LanguageModels {
 public:
  explicit LanguageModels(const std::vector<ModelSpec>& specs);
  ~LanguageModels();
  void load(DeviceTurns& turns, Metrics& metrics);
  void close();

  const std::vector<std::unique_ptr<LanguageModel>>& all() const { return models_; }
  const LanguageModel* find(const std::string& name) const;
  // The model a request's body names in "model"; without one, the only
  // language model. Throws ApiError (404, or 400 for a bad field).
  const LanguageModel& chosen_by(const nlohmann::json& body) const;

 private:
  std::vector<std::unique_ptr<LanguageModel>> models_;
};

}  // namespace vexo::serve
