// Chat templates through the C interface: what the reference renderer
// cannot show (Python's semantics where it differs, which bytes are the
// messages' own, named templates), and templates from untrusted folders
// that must fail with their line, quickly, without harming the process.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "llm/generation.h"
#include "samples/samples.h"
#include "test_support.h"
#include "vexo.h"

namespace {

class ChatTemplates : public ::testing::Test {
 protected:
  std::string write(const std::string& name, const std::string& text) {
    const std::string path = dir.path(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  // Renders with a template file; the text, or "error: <the error line>".
  std::string render(const std::string& source, const std::string& messages = R"([{"role":"user","content":"hi"}])",
                     const char* tools = nullptr, const char* options = nullptr) {
    llm_chat_template* chat = llm_chat_template_load(write("t.jinja", source).c_str());
    if (!chat) return std::string("error: ") + vexo_get_last_error();
    llm_chat_prompt* prompt = llm_chat_template_apply(chat, messages.c_str(), tools, options);
    llm_chat_template_free(chat);
    if (!prompt) return std::string("error: ") + vexo_get_last_error();
    std::string text = llm_chat_prompt_text(prompt, nullptr);
    const size_t* flat = nullptr;
    ranges.clear();
    const size_t count = llm_chat_prompt_data_ranges(prompt, &flat);
    for (size_t i = 0; i < count; ++i) ranges.push_back(text.substr(flat[2 * i], flat[2 * i + 1] - flat[2 * i]));
    llm_chat_prompt_free(prompt);
    return text;
  }
  vexotest::TempDir dir;
  std::vector<std::string> ranges;  // the data ranges of the last render
};

TEST_F(ChatTemplates, RenderWithPythonsSemantics) {
  EXPECT_EQ(render("{{ -7 % 3 }} {{ -7 // 2 }} {{ 'ab' * 3 }} {{ none }} {{ true }} {{ 1.0 }} {{ [1, 'a', none] }} "
                   "{{ {'k': 'v'} }} {{ '👩‍👩‍👧' | length }} {{ 'héllo'[1:3] }} {{ 'x' ~ 1 ~ none }}"),
            "2 -4 ababab None True 1.0 [1, 'a', None] {'k': 'v'} 5 él x1None");
  // trim_blocks, lstrip_blocks, "-" and "+" on tags, and the final newline.
  EXPECT_EQ(render("a\n  {% if true %}\nb\n  {%+ if true %}c{% endif %}\n{%- endif %}\n{# note #}\nd {{- ' e ' -}} f\n"),
            "a\nb\n  cd e f");
  EXPECT_EQ(render("{{ strftime_now('%Y') | length }} {{ messages[0].content is defined }} {{ bos_token }}|"), "4 True |");
  EXPECT_EQ(render("{{ enable_thinking }} {{ add_generation_prompt }}", R"([])", nullptr,
                   R"({"enable_thinking": false, "add_generation_prompt": false})"),
            "False False");
}

TEST_F(ChatTemplates, MarkTheMessagesOwnBytesThroughStringOperations) {
  const std::string messages =
      R"([{"role":"user","content":"  <|im_end|>A,B  "},{"role":"assistant","content":"x","tool_calls":[{"function":{"name":"f","arguments":{"q":"<s>"}}}]}])";
  const std::string text =
      render("<|im_start|>{{ messages[0].content.strip().split(',') | join('<|sep|>') | upper }}"
             "{{ messages[0].content | replace('A', '<|a|>') | trim }}"
             "{{ messages[1].tool_calls[0].function.arguments | tojson }}{{ messages[1]['role'][0:3] }}",
             messages);
  EXPECT_EQ(text, "<|im_start|><|IM_END|>A<|SEP|>B<|im_end|><|a|>,B{\"q\": \"<s>\"}ass");
  // The template's own text, including the separator joined in and the
  // replacement, is never data; the messages' text always is.
  EXPECT_EQ(ranges, (std::vector<std::string>{"<|IM_END|>A", "B<|im_end|>", ",B{\"q\": \"<s>\"}ass"}));
}

TEST_F(ChatTemplates, ChooseTheToolUseTemplateWhenToolsAreGiven) {
  const std::string config = write("tokenizer_config.json", R"({"bos_token": {"content": "<B>"}, "eos_token": "<E>",
    "chat_template": [{"name": "default", "template": "{{ bos_token }}plain"},
                      {"name": "tool_use", "template": "{{ bos_token }}tools: {{ tools | map(attribute='name') | join(',') }}"}]})");
  llm_chat_template* chat = llm_chat_template_load(config.c_str());
  ASSERT_NE(chat, nullptr);
  EXPECT_STREQ(llm_chat_template_stop(chat), "<E>");
  const auto apply = [&](const char* tools) {
    llm_chat_prompt* prompt = llm_chat_template_apply(chat, "[]", tools, nullptr);
    std::string text = prompt ? llm_chat_prompt_text(prompt, nullptr) : "failed";
    llm_chat_prompt_free(prompt);
    return text;
  };
  EXPECT_EQ(apply(nullptr), "<B>plain");
  EXPECT_EQ(apply("[]"), "<B>plain");
  EXPECT_EQ(apply(R"([{"name": "a"}, {"name": "b"}])"), "<B>tools: a,b");
  llm_chat_template_free(chat);
  // The folder reads the same file; a line-format file still loads.
  chat = llm_chat_template_load(dir.path("").c_str());
  ASSERT_NE(chat, nullptr);
  llm_chat_template_free(chat);
  EXPECT_EQ(render("{{ x"), "error: " + dir.path("t.jinja") + ":1: the tag is not closed");
}

TEST_F(ChatTemplates, FailWithTheLineOnMalformedTemplatesAndBadInput) {
  const std::string file = dir.path("t.jinja");
  EXPECT_EQ(render("line 1\n{% if x %}\n{{ 1 + }}\n{% endif %}"), "error: " + file + ":3: expected a value, found the end of the tag");
  EXPECT_EQ(render("{% for x in y %}\n\n"), "error: " + file + ":1: a block is not closed (expected {% endfor %})");
  EXPECT_EQ(render("{% frobnicate %}"), "error: " + file + ":1: unknown tag 'frobnicate'");
  EXPECT_EQ(render("a\n\n{{ raise_exception('Roles must alternate') }}"), "error: " + file + ":3: raise_exception: Roles must alternate");
  EXPECT_EQ(render("{{ 'a' | nosuchfilter }}"), "error: " + file + ":1: unknown filter 'nosuchfilter'");
  EXPECT_EQ(render("{{ 1 / 0 }}"), "error: " + file + ":1: division by zero");
  EXPECT_EQ(render("{{ x }}", "not json"), "error: The messages are not valid JSON");
  EXPECT_EQ(render("{{ x }}", R"([{"content": "no role"}])"), "error: Each message needs to be a JSON object with a \"role\" text");
  const std::string deep_json = std::string(5000, '[') + std::string(5000, ']');
  EXPECT_EQ(render("{{ x }}", R"([{"role": "user", "content": )" + deep_json + "}]"),
            "error: The messages nest deeper than 100 levels");
}

TEST_F(ChatTemplates, StopHostileTemplatesWithinTheirBounds) {
  const std::string file = dir.path("t.jinja");
  EXPECT_EQ(render("{% for i in range(100000000) %}{% endfor %}"),
            "error: " + file + ":1: the template does too much work (more than 1000000 steps)");
  EXPECT_EQ(render("{% for a in range(9999) %}{% for b in range(9999) %}{% endfor %}{% endfor %}"),
            "error: " + file + ":1: the template does too much work (more than 1000000 steps)");
  EXPECT_EQ(render("{% set ns = namespace(s='xxxxxxxx') %}{% for i in range(64) %}{% set ns.s = ns.s ~ ns.s %}{% endfor %}"),
            "error: " + file + ":1: a text grows beyond 16777216 bytes");
  EXPECT_EQ(render("{% for i in range(100000) %}{{ 'x' * 200 }}{% endfor %}"),
            "error: " + file + ":1: the output grows beyond 16777216 bytes");
  EXPECT_EQ(render("{% macro f(n) %}{{ f(n + 1) }}{% endmacro %}{{ f(0) }}"),
            "error: " + file + ":1: macro calls nest deeper than 64");
  EXPECT_EQ(render("{% set ns = namespace(a=1) %}{% set ns.a = [ns] %}"),
            "error: " + file + ":1: a dictionary cannot hold itself");
  EXPECT_EQ(render("{% set ns = namespace(a=1) %}{% for i in range(200) %}{% set ns.a = [ns.a] %}{% endfor %}"),
            "error: " + file + ":1: lists and dictionaries nest too deeply");
  EXPECT_EQ(render("{{ " + std::string(1000, '(') + "1" + std::string(1000, ')') + " }}"),
            "error: " + file + ":1: the template nests too deeply");
  EXPECT_EQ(render(std::string(300, '{') + "% if x %}"), "error: " + file + ":1: the tag is not closed");
}

TEST_F(ChatTemplates, EncodeThePromptWithTheTokenizer) {
  vexo::samples::write_llm_tokenizer(dir.path("tokenizer.model"));
  llm_tokenizer* tokenizer = llm_tokenizer_load(dir.path("tokenizer.model").c_str());
  ASSERT_NE(tokenizer, nullptr);
  llm_chat_template* chat = llm_chat_template_for_tokenizer(dir.path("tokenizer.model").c_str());
  ASSERT_NE(chat, nullptr);  // no template beside it: ChatML
  llm_chat_prompt* prompt = llm_chat_template_apply(chat, R"([{"role":"user","content":"hello"}])", nullptr, nullptr);
  ASSERT_NE(prompt, nullptr);
  size_t length = 0;
  const std::string text = llm_chat_prompt_text(prompt, &length);
  EXPECT_EQ(text, "<|im_start|>user\nhello<|im_end|>\n<|im_start|>assistant\n");
  EXPECT_EQ(length, text.size());
  std::vector<int> ids(256), expected(256);
  const long n = llm_chat_prompt_encode(prompt, tokenizer, 1, ids.data(), ids.size());
  const long m = llm_tokenizer_encode(tokenizer, text.c_str(), 1, expected.data(), expected.size());
  ASSERT_GT(n, 0);
  ids.resize(static_cast<size_t>(n));
  expected.resize(static_cast<size_t>(m));
  EXPECT_EQ(ids, expected);
  llm_chat_prompt_free(prompt);
  llm_chat_template_free(chat);
  llm_tokenizer_free(tokenizer);
}

}  // namespace
