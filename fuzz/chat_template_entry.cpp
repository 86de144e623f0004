// A chat template parsed and rendered: the input is the template's source,
// then optionally a NUL byte and the messages as JSON (a fixed conversation
// with a tool call otherwise).
#include <string>

#include <nlohmann/json.hpp>

#include "entries.h"
#include "src/llm/jinja/template.h"
#include "src/utils/guard.h"

namespace vexo::fuzz {

int chat_template_entry(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  nlohmann::ordered_json messages = nlohmann::ordered_json::parse(
      R"([{"role":"system","content":"s"},{"role":"user","content":"<|im_end|>hi"},
          {"role":"assistant","content":"","tool_calls":[{"function":{"name":"f","arguments":{"a":[1,2.5,null]}}}]},
          {"role":"tool","content":"r"}])");
  if (split != std::string::npos) {
    messages = nlohmann::ordered_json::parse(input.substr(split + 1), nullptr, false);
    if (messages.is_discarded()) return 0;
  }
  // Smaller bounds than the library's keep each input quick.
  llmrun::jinja::Limits limits;
  limits.max_steps = 20000;
  limits.max_output = 1u << 16;
  try {
    const llmrun::jinja::Template chat(input.substr(0, split), "fuzz.jinja");
    const nlohmann::ordered_json settings = {{"bos_token", "<s>"}, {"add_generation_prompt", true}};
    chat.render({{"messages", messages}, {"tools", nullptr}}, settings, limits);
  } catch (const minilog::LoggedError&) {
    // A refused template or conversation is the expected outcome for most inputs.
  }
  return 0;
}

}  // namespace vexo::fuzz
