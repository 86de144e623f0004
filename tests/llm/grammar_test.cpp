// Constrained output: the grammar engine against brute force on a small
// byte-level vocabulary, its refusals, and generation on the logits sample
// model under JSON Schemas. The outputs are validated again by a validator
// of another project (grammar_validate.js, which runs this test).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "llm/generation.h"
#include "llm/llmruntime.h"
#include "samples/samples.h"
#include "src/llm/grammar/grammar.h"
#include "src/llm/grammar/token_mask.h"
#include "test_support.h"

namespace {

namespace g = llmrun::grammar;
using nlohmann::json;

// Ids 0-2: unknown, begin, end (no bytes); 3-258: the single bytes; then
// pieces that span JSON symbols and pieces of UTF-8 characters.
std::vector<std::string> byte_vocabulary() {
  std::vector<std::string> v{"", "", ""};
  for (int b = 0; b < 256; ++b) v.emplace_back(1, static_cast<char>(b));
  for (const char* piece : {"{\"", "\":", "\":\"", "\",\"", "\"}", "}]", "},{", ", ", "\n  ", "  ", "true", "false",
                            "null", "12", "0.5", "e+", "\\u00", "\\n", "ab", "name", "\"name\"", "é", "中", "\xE4\xB8",
                            "\xAD\"", "😀", "2024-", "-01", "T12:", "00Z", "@x.", "com\"", "[]", "{}", "\"\"", "},"}) {
    v.emplace_back(piece);
  }
  return v;
}

// The ids a matcher accepts, one by one.
std::vector<int32_t> brute_force(const g::Matcher& matcher, const g::Vocabulary& vocabulary) {
  std::vector<int32_t> ids;
  for (int32_t id = 0; id < static_cast<int32_t>(vocabulary.size()); ++id) {
    g::Matcher copy = matcher;
    if (!vocabulary.bytes(id).empty() && copy.advance(vocabulary.bytes(id))) ids.push_back(id);
  }
  return ids;
}

const char* const kNested = R"({
  "type": "object",
  "properties": {
    "name": {"type": "string", "maxLength": 6},
    "kind": {"enum": ["a", "b", 3, null]},
    "when": {"type": "string", "format": "date-time"},
    "tags": {"type": "array", "items": {"type": "string", "pattern": "^[a-c]{1,3}$"}, "maxItems": 3},
    "pair": {"type": "array", "prefixItems": [{"type": "integer"}, {"type": "boolean"}]},
    "id": {"type": "string", "format": "uuid"},
    "mail": {"type": "string", "format": "email"},
    "next": {"anyOf": [{"type": "null"}, {"$ref": "#"}]},
    "any": true
  },
  "required": ["name", "kind", "next"],
  "additionalProperties": false
})";

TEST(Grammar, MasksMatchBruteForceOverRandomWalks) {
  const auto vocabulary = std::make_shared<const g::Vocabulary>(byte_vocabulary());
  const std::vector<std::shared_ptr<const g::Automaton>> grammars{
      g::compile_json_schema(kNested), g::compile_json(),
      g::compile_rules("root ::= item (\",\" item)* \n item ::= [a-z]+ | \"<\" root \">\" | \"é\"{2,3} # comment\n")};
  std::mt19937 random(7);
  for (const auto& automaton : grammars) {
    g::TokenMasks masks(automaton, vocabulary);
    for (int walk = 0; walk < 12; ++walk) {
      g::Matcher matcher(automaton);
      g::IdSet allowed;
      for (int step = 0; step < 40 && !matcher.complete(); ++step) {
        masks.allowed(matcher, allowed);
        const std::vector<int32_t> expected = brute_force(matcher, *vocabulary);
        std::vector<int32_t> got;
        for (int32_t id = 0; id < static_cast<int32_t>(vocabulary->size()); ++id) {
          if (allowed.has(id)) got.push_back(id);
        }
        ASSERT_EQ(got, expected) << "walk " << walk << " step " << step;
        if (expected.empty()) break;
        const int32_t pick = expected[random() % expected.size()];
        ASSERT_TRUE(matcher.advance(vocabulary->bytes(pick)));
      }
    }
  }
}

TEST(Grammar, AcceptsExactlyJson) {
  const auto json_value = g::compile_json();
  auto accepts = [](const std::shared_ptr<const g::Automaton>& a, const std::string& text) {
    g::Matcher m(a);
    return m.advance(text) && m.can_end();
  };
  for (const char* good : {"0", "-0.5e+10", "[1, {\"a\": [true, null]}]", "\"\\u00e9\\n\\\"\"", "\"中😀\"", " {} "}) {
    EXPECT_TRUE(accepts(json_value, good)) << good;
  }
  for (const char* bad : {"01", "1.", "-", "[1,]", "{\"a\"}", "\"\\x\"", "\"\\ud800\"", "\"\x01\"", "\"\xC3\"", "'a'",
                          "tru", "[1] 2"}) {
    EXPECT_FALSE(accepts(json_value, bad)) << bad;
  }
  // Whitespace is bounded.
  EXPECT_FALSE(accepts(json_value, "[" + std::string(40, ' ') + "]"));
  const auto schema = g::compile_json_schema(kNested);
  EXPECT_TRUE(accepts(schema, R"({"name": "x", "kind": 3, "tags": ["abc"], "next": {"name": "", "kind": null, "next": null}})"));
  EXPECT_FALSE(accepts(schema, R"({"kind": 3, "name": "x", "next": null})"));  // order of properties
  EXPECT_FALSE(accepts(schema, R"({"name": "toolong", "kind": 3, "next": null})"));
  EXPECT_FALSE(accepts(schema, R"({"name": "x", "kind": 3, "next": null, "extra": 1})"));
  EXPECT_TRUE(accepts(g::compile_json_schema(R"({"type": "string", "format": "date"})"), "\"2024-02-28\""));
  EXPECT_FALSE(accepts(g::compile_json_schema(R"({"type": "string", "format": "date"})"), "\"2024-02-30\""));
}

TEST(Grammar, RefusesWhatItCannotFollowByName) {
  auto refusal = [](auto compile, const std::string& text) {
    try {
      compile(text);
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
    return std::string("compiled");
  };
  auto schema = [](const std::string& t) { return g::compile_json_schema(t); };
  auto rules = [](const std::string& t) { return g::compile_rules(t); };
  EXPECT_NE(refusal(schema, R"({"type": "integer", "minimum": 3})").find("\"minimum\""), std::string::npos);
  EXPECT_NE(refusal(schema, R"({"type": "string", "format": "ipv4"})").find("\"ipv4\""), std::string::npos);
  EXPECT_NE(refusal(schema, R"({"type": "string", "pattern": "(a)\\1"})").find("back references"), std::string::npos);
  EXPECT_NE(refusal(schema, R"({"$ref": "#/$defs/missing"})").find("names no definition"), std::string::npos);
  EXPECT_NE(refusal(schema, "{").find("not valid JSON"), std::string::npos);
  EXPECT_NE(refusal(rules, "root ::= root \"a\" | \"b\"").find("calls itself"), std::string::npos);
  EXPECT_NE(refusal(rules, "root ::= missing").find("missing is not defined"), std::string::npos);
  EXPECT_NE(refusal(rules, "item ::= \"a\"").find("no rule named root"), std::string::npos);
  EXPECT_NE(refusal(rules, "root ::= [a-").find("grammar at byte"), std::string::npos);
}

// The callback tokenizer of byte_vocabulary().
struct ByteTokenizer {
  std::vector<std::string> pieces = byte_vocabulary();
  static long decode(void* user, const int* ids, size_t count, char* text, size_t capacity) {
    const auto& pieces = static_cast<ByteTokenizer*>(user)->pieces;
    std::string out;
    for (size_t i = 0; i < count; ++i) {
      if (ids[i] < 0 || static_cast<size_t>(ids[i]) >= pieces.size()) return -1;
      out += pieces[static_cast<size_t>(ids[i])];
    }
    if (capacity) {
      const size_t n = std::min(out.size(), capacity - 1);
      std::copy_n(out.data(), n, text);
      text[n] = '\0';
    }
    return static_cast<long>(out.size());
  }
  static long encode(void*, const char* text, int* ids, size_t capacity) {
    const size_t n = std::strlen(text);
    for (size_t i = 0; i < n && i < capacity; ++i) ids[i] = 3 + static_cast<unsigned char>(text[i]);
    return static_cast<long>(n);
  }
};

// Generates under schemas with many seeds and temperatures and checks each
// output parses; writes them for grammar_validate.js when
// VEXO_GRAMMAR_OUTPUTS names a file.
TEST(Grammar, GenerationFollowsSchemas) {
  vexotest::TempDir dir;
  ByteTokenizer bytes;
  const llm_tokenizer_callbacks callbacks{&bytes, ByteTokenizer::encode, ByteTokenizer::decode, bytes.pieces.size(), 1, 2};
  llm_tokenizer* tokenizer = llm_tokenizer_from_callbacks(&callbacks);
  ASSERT_NE(tokenizer, nullptr);
  vexo::samples::LlmOptions options;
  options.logits_head = true;
  options.vocab = static_cast<uint32_t>(bytes.pieces.size());
  options.seq_len = 2048;
  const std::string path = dir.path("llm.bmodel");
  vexo::samples::save_model(vexo::samples::llm_sample(options), path);
  llmbase llm = llmrun::llm_init(path.c_str(), 0);
  ASSERT_NE(llm, nullptr);
  llm_session* session = llm_session_create(llm, tokenizer);
  const std::vector<std::string> schemas{
      kNested,
      R"({"type": "array", "items": {"oneOf": [{"type": "integer"}, {"type": "string", "maxLength": 3}]}, "minItems": 1, "maxItems": 4})",
      R"({"$defs": {"leaf": {"type": ["boolean", "null"]}, "tree": {"type": "object", "properties": {"l": {"$ref": "#/$defs/tree"}, "v": {"$ref": "#/$defs/leaf"}}, "required": ["v"]}}, "$ref": "#/$defs/tree"})",
      R"({"type": "object", "properties": {"d": {"type": "string", "format": "date"}, "t": {"type": "string", "format": "time"}, "u": {"type": "string", "pattern": "^[中é]+x?$"}}, "required": ["d", "t", "u"]})"};
  json outputs = json::array();
  const std::vector<int> prompt{5, 6, 7};
  size_t complete = 0, total = 0;
  for (const std::string& schema : schemas) {
    llm_grammar* grammar = llm_grammar_compile(tokenizer, LLM_GRAMMAR_JSON_SCHEMA, schema.c_str());
    ASSERT_NE(grammar, nullptr) << schema;
    ASSERT_EQ(llm_session_set_grammar(session, grammar), 1);
    llm_grammar_free(grammar);  // the session keeps it
    for (uint64_t seed = 0; seed < 16; ++seed) {
      llm_request request;
      llm_request_defaults(&request);
      request.sampling.temperature = 0.1f * static_cast<float>(seed);  // 0 to 1.5
      request.sampling.seed = seed;
      std::string text;
      const int finish = llm_session_generate(
          session, prompt.data(), prompt.size(), &request,
          [](void* user, const llm_piece* piece) {
            static_cast<std::string*>(user)->append(piece->text, piece->text_len);
            return 0;
          },
          &text);
      ASSERT_GE(finish, 0);
      ++total;
      if (finish == LLM_FINISH_CAPACITY) continue;  // cut short: not a whole value
      ++complete;
      EXPECT_TRUE(finish == LLM_FINISH_EOS || finish == LLM_FINISH_STOP) << llm_finish_name(finish);
      EXPECT_TRUE(json::accept(text)) << text;
      outputs.push_back({{"schema", json::parse(schema)}, {"output", text}});
    }
  }
  EXPECT_GE(complete * 2, total) << "too many outputs cut short";
  // A grammar set during a generation waits for the next start.
  llm_grammar* list = llm_grammar_compile(tokenizer, LLM_GRAMMAR_JSON_SCHEMA, schemas[1].c_str());
  ASSERT_EQ(llm_session_set_grammar(session, list), 1);
  llm_grammar_free(list);
  llm_request request;
  llm_request_defaults(&request);
  ASSERT_EQ(llm_session_start(session, prompt.data(), prompt.size(), &request), 1);
  llm_piece piece;
  std::string text;
  for (int more = 1, steps = 0; more == 1; ++steps) {
    if (steps == 2) {
      ASSERT_EQ(llm_session_set_grammar(session, nullptr), 1);
    }
    more = llm_session_step(session, &piece);
    ASSERT_GE(more, 0);
    text.append(piece.text, piece.text_len);
  }
  EXPECT_TRUE(json::accept(text)) << text;
  // Token heads cannot follow a grammar.
  vexo::samples::LlmOptions token_head;
  token_head.vocab = options.vocab;
  vexo::samples::save_model(vexo::samples::llm_sample(token_head), dir.path("token.bmodel"));
  llmbase device_choice = llmrun::llm_init(dir.path("token.bmodel").c_str(), 0);
  llm_session* refusing = llm_session_create(device_choice, tokenizer);
  llm_grammar* any = llm_grammar_compile(tokenizer, LLM_GRAMMAR_JSON, nullptr);
  EXPECT_EQ(llm_session_set_grammar(refusing, any), 0);
  llm_grammar_free(any);
  llm_session_free(refusing);
  llmrun::llm_free(device_choice);
  if (const char* file = std::getenv("VEXO_GRAMMAR_OUTPUTS")) std::ofstream(file) << outputs.dump();
  llm_session_free(session);
  llmrun::llm_free(llm);
  llm_tokenizer_free(tokenizer);
}

}  // namespace
