// The language models of the server: each with its tokenizer, chat template
// and a pool of runtimes, one per device. The OpenAI endpoints choose one by
// the request's "model" field.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <memory>
#include <string>
#include <vector>

#include "served_models.h"

namespace vexo::serve {

class ChatTemplate;
class DevicePool;
class DeviceTurns;
class Metrics;
class ModelMetrics;
class Tokenizer;

class LanguageModel {
 public:
  LanguageModel(ModelSpec spec, DeviceTurns& turns, Metrics& metrics);
  ~LanguageModel();
  // Loads the tokenizer, the chat template and a runtime on each device.
  // Throws std::runtime_error.
  void load();

  const std::string& name() const { return spec_.name; }
  // Every name it answers to, the reported one first.
  std::vector<std::string> names() const;
  bool answers_to(const std::string& name) const;
  // Valid once loaded.
  const Tokenizer& tokenizer() const { return *tokenizer_; }
  const ChatTemplate& chat_template() const { return *chat_template_; }
  DevicePool& pool() const { return *pool_; }
  ModelMetrics& metrics() const { return metrics_; }

 private:
  const ModelSpec spec_;
  std::unique_ptr<Tokenizer> tokenizer_;
  std::unique_ptr<ChatTemplate> chat_template_;
  ModelMetrics& metrics_;
  // Made at once (empty), so that the server may close it while loading.
  const std::unique_ptr<DevicePool> pool_;
};

// The list is fixed when the server starts; the models load afterwards and
// are used once the server is ready.
class LanguageModels {
 public:
  // The language models among `specs`, not loaded yet.
  LanguageModels(const std::vector<ModelSpec>& specs, DeviceTurns& turns, Metrics& metrics);
  ~LanguageModels();
  void load();
  // Refuses new requests and wakes those waiting (also while loading).
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
