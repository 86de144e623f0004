// Post-processors: the special tokens put around a text's ids.
#include "src/llm/hf/components.h"
#include "src/utils/guard.h"

namespace llmrun::hf {

namespace {

int token_id(const std::unordered_map<std::string, int>& token_ids, const std::string& token) {
  const auto found = token_ids.find(token);
  if (found == token_ids.end()) minilog::fail_with("The tokenizer's post-processor names the token ", token, ", which it lacks");
  return found->second;
}

// Fixed ids before and after the text's.
class Around : public PostProcessor {
 public:
  Around(std::vector<int> before, std::vector<int> after) : before_(std::move(before)), after_(std::move(after)) {}
  void add_special(std::vector<int>& ids) const override {
    ids.insert(ids.begin(), before_.begin(), before_.end());
    ids.insert(ids.end(), after_.begin(), after_.end());
  }
  int first_special() const override { return before_.empty() ? -1 : before_.front(); }

 private:
  std::vector<int> before_, after_;
};

// The "single" template: special tokens around the sequence "A".
std::unique_ptr<PostProcessor> template_processing(const Json& config) {
  std::vector<int> before, after;
  bool seen_text = false;
  const Json& specials = config.contains("special_tokens") ? config["special_tokens"] : Json::object();
  for (const Json& item : field(config, "single")) {
    if (item.contains("Sequence")) {
      if (seen_text) minilog::fail_with("The tokenizer's template has the text twice");
      seen_text = true;
      continue;
    }
    if (!item.contains("SpecialToken")) minilog::fail_with("The tokenizer's template has the item ", item.dump());
    const std::string name = field(item["SpecialToken"], "id").get<std::string>();
    if (!specials.contains(name)) minilog::fail_with("The tokenizer's template names the token ", name, ", which it does not define");
    for (const Json& id : field(specials[name], "ids")) (seen_text ? after : before).push_back(id.get<int>());
  }
  return std::make_unique<Around>(std::move(before), std::move(after));
}

// [cls, id] / [sep, id] of BertProcessing and RobertaProcessing.
std::unique_ptr<PostProcessor> cls_sep(const Json& config, const std::unordered_map<std::string, int>& token_ids) {
  const auto id_of = [&](const char* name) {
    const Json& pair = field(config, name);
    if (!pair.is_array() || pair.size() != 2) minilog::fail_with("The tokenizer's post-processor \"", name, "\" is not [token, id]");
    return pair[1].is_number_integer() ? pair[1].get<int>() : token_id(token_ids, pair[0].get<std::string>());
  };
  return std::make_unique<Around>(std::vector<int>{id_of("cls")}, std::vector<int>{id_of("sep")});
}

class Sequence : public PostProcessor {
 public:
  Sequence(const Json& config, const std::unordered_map<std::string, int>& token_ids)
      : steps_(make_steps<PostProcessor>(config, "processors",
                                         [&](const Json& step) { return make_post_processor(step, token_ids); })) {}
  void add_special(std::vector<int>& ids) const override {
    for (const auto& step : steps_) step->add_special(ids);
  }
  int first_special() const override {
    int first = -1;
    for (const auto& step : steps_) first = step->first_special() >= 0 ? step->first_special() : first;
    return first;
  }

 private:
  std::vector<std::unique_ptr<PostProcessor>> steps_;
};

}  // namespace

std::unique_ptr<PostProcessor> make_post_processor(const Json& config, const std::unordered_map<std::string, int>& token_ids) {
  if (config.is_null()) return nullptr;
  const std::string type = config.value("type", std::string());
  if (type == "TemplateProcessing") return template_processing(config);
  if (type == "BertProcessing" || type == "RobertaProcessing") return cls_sep(config, token_ids);
  if (type == "ByteLevel") return std::make_unique<Around>(std::vector<int>{}, std::vector<int>{});  // offsets only
  if (type == "Sequence") return std::make_unique<Sequence>(config, token_ids);
  unsupported("post-processor", config);
}

}  // namespace llmrun::hf
