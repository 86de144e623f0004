#include "language_models.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "device.h"
#include "metrics.h"
#include "requests.h"
#include "scheduler.h"

namespace vexo::serve {

LanguageModel::LanguageModel(ModelSpec spec, DeviceTurns& turns, Metrics& metrics)
    : spec_(std::move(spec)),
      metrics_(metrics.model(spec_.name, true)),
      pool_(std::make_unique<DevicePool>(spec_.queue, turns, metrics_)) {}

LanguageModel::~LanguageModel() = default;

void LanguageModel::load() {
  chat_template_ = std::make_unique<ChatTemplate>(spec_.chat_template, spec_.tokenizer);
  tokenizer_ = std::make_unique<Tokenizer>(spec_.tokenizer);
  for (const int id : spec_.devices) pool_->add(std::make_unique<Device>(spec_.path, id, *tokenizer_));
}

std::vector<std::string> LanguageModel::names() const {
  std::vector<std::string> all{spec_.name};
  all.insert(all.end(), spec_.aliases.begin(), spec_.aliases.end());
  return all;
}

bool LanguageModel::answers_to(const std::string& name) const {
  return name == spec_.name || std::find(spec_.aliases.begin(), spec_.aliases.end(), name) != spec_.aliases.end();
}

LanguageModels::LanguageModels(const std::vector<ModelSpec>& specs, DeviceTurns& turns, Metrics& metrics) {
  for (const ModelSpec& spec : specs) {
    if (spec.language_model()) models_.push_back(std::make_unique<LanguageModel>(spec, turns, metrics));
  }
}

LanguageModels::~LanguageModels() = default;

void LanguageModels::load() {
  for (const auto& model : models_) model->load();
}

void LanguageModels::close() {
  for (const auto& model : models_) model->pool().close();
}

const LanguageModel* LanguageModels::find(const std::string& name) const {
  for (const auto& model : models_) {
    if (model->answers_to(name)) return model.get();
  }
  return nullptr;
}

const LanguageModel& LanguageModels::chosen_by(const nlohmann::json& body) const {
  const auto field = body.find("model");
  std::string served;
  for (const auto& model : models_) served += (served.empty() ? "'" : ", '") + model->name() + "'";
  if (field == body.end() || field->is_null()) {
    if (models_.size() == 1) return *models_.front();
    throw ApiError(404, "invalid_request_error",
                   models_.empty() ? "This server serves no language model"
                                   : "Name the model in 'model': this server serves " + served,
                   "model");
  }
  if (!field->is_string()) throw ApiError::invalid("'model' must be a string", "model");
  if (const LanguageModel* model = find(field->get<std::string>())) return *model;
  throw ApiError(404, "invalid_request_error",
                 "The model '" + field->get<std::string>() + "' does not exist; this server serves " +
                     (models_.empty() ? "no language model" : served),
                 "model");
}

}  // namespace vexo::serve
