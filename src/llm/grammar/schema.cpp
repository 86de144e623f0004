// JSON and JSON Schema as grammars.
#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "src/llm/grammar/grammar.h"
#include "src/utils/guard.h"

namespace llmrun::grammar {

namespace {

using minilog::fail_with;
// Objects keep their members in the order written: outputs follow it.
using json = nlohmann::ordered_json;

// Whitespace between two tokens of JSON is bounded, so that a model cannot
// fill its caches with it: enough for a line end and 30 columns of indent.
constexpr size_t kMaxSpace = 32;

const std::set<std::string> kAnnotations{"title",   "description", "$schema",  "$id",       "$comment",
                                         "default", "examples",    "deprecated", "readOnly", "writeOnly"};
const std::set<std::string> kKeywords{"type",     "properties", "required", "additionalProperties", "items",
                                      "prefixItems", "minItems", "maxItems", "enum",  "const",
                                      "anyOf",    "oneOf",      "$ref",     "$defs", "definitions",
                                      "minLength", "maxLength", "pattern",  "format"};

ExprPtr chars(const std::string& set) {
  std::vector<std::pair<uint8_t, uint8_t>> ranges;
  for (size_t i = 0; i < set.size(); ++i) {
    const auto lo = static_cast<uint8_t>(set[i]);
    if (i + 2 < set.size() && set[i + 1] == '-') {
      ranges.emplace_back(lo, static_cast<uint8_t>(set[i + 2]));
      i += 2;
    } else {
      ranges.emplace_back(lo, lo);
    }
  }
  return byte_ranges(std::move(ranges));
}

// The characters of a set as a JSON string writes them: raw where JSON
// allows, escaped otherwise (one escape form each).
ExprPtr json_chars(const CharRanges& set) {
  std::vector<ExprPtr> options;
  for (auto [lo, hi] : set) {
    for (uint32_t c = lo; c <= std::min<uint32_t>(hi, 0x5C); ++c) {
      if (c < 0x20 || c == '"' || c == '\\') {
        const std::string escaped = json(std::string(1, static_cast<char>(c))).dump();
        options.push_back(literal(escaped.substr(1, escaped.size() - 2)));
      }
    }
    const CharRanges raw{{0x20, 0x21}, {0x23, 0x5B}, {0x5D, 0x10FFFF}};
    for (const auto& [a, b] : raw) {
      const uint32_t from = std::max(lo, a), to = std::min(hi, b);
      if (from <= to) options.push_back(code_points(from, to));
    }
  }
  if (options.empty()) fail_with("A character class of a pattern matches nothing");
  return choice(std::move(options));
}

class SchemaCompiler {
 public:
  explicit SchemaCompiler(const json& root) : root_(root) {
    space_ = rules_.declare("space");
    rules_.define(space_, repeat(chars(" \t\n\r"), 0, kMaxSpace));
    value_ = rules_.declare("value");
  }

  std::shared_ptr<const Automaton> compile(const json& schema, const std::string& before, const std::string& after) {
    const int root = rules_.declare("root");
    rules_.define(root, sequence({literal(before), call(space_), call(rule_of(schema, "#")), call(space_), literal(after)}));
    rules_.define(value_, any_value());
    return rules_.compile(root);
  }

 private:
  ExprPtr space() { return call(space_); }

  ExprPtr string_body(size_t min, size_t max) {
    // Any character but '"', '\\' and controls, or an escape; \u escapes
    // of surrogates are left out so that lengths count as code points.
    const ExprPtr hex = chars("0-9a-fA-F");
    const ExprPtr unicode = sequence({literal("\\u"),
                                      choice({sequence({chars("0-9a-cA-C"), hex, hex, hex}),
                                              sequence({chars("dD"), chars("0-7"), hex, hex}),
                                              sequence({chars("e-fE-F"), hex, hex, hex})})});
    const ExprPtr character = choice({code_points(0x20, 0x21), code_points(0x23, 0x5B), code_points(0x5D, 0x10FFFF),
                                      sequence({literal("\\"), chars("\"\\\\/bfnrt")}), unicode});
    return sequence({literal("\""), repeat(character, min, max), literal("\"")});
  }
  ExprPtr integer() { return sequence({optional(literal("-")), choice({literal("0"), sequence({chars("1-9"), repeat(chars("0-9"), 0, kUnbounded)})})}); }
  ExprPtr number() {
    const ExprPtr digits = repeat(chars("0-9"), 1, kUnbounded);
    return sequence({integer(), optional(sequence({literal("."), digits})),
                     optional(sequence({chars("eE"), optional(chars("+-")), digits}))});
  }
  // A list of `item` between brackets, separated by commas.
  ExprPtr list(const char* open, ExprPtr item, const char* close) {
    const ExprPtr member = sequence({item, space()});
    return sequence({literal(open), space(),
                     optional(sequence({member, repeat(sequence({literal(","), space(), member}), 0, kUnbounded)})),
                     literal(close)});
  }
  ExprPtr any_value() {
    const ExprPtr value = call(value_);
    return choice({list("{", sequence({string_body(0, kUnbounded), space(), literal(":"), space(), value}), "}"),
                   list("[", value, "]"), string_body(0, kUnbounded), number(), literal("true"), literal("false"),
                   literal("null")});
  }

  // One rule per distinct schema, so that equal schemas share it and $ref may recurse.
  int rule_of(const json& schema, const std::string& where) {
    const std::string key = schema.dump();
    const auto found = memo_.find(key);
    if (found != memo_.end()) return found->second;
    const int rule = rules_.declare(where);
    memo_.emplace(key, rule);
    rules_.define(rule, expr_of(schema, where));
    return rule;
  }

  [[noreturn]] static void refuse(const std::string& where, const std::string& why) {
    fail_with("Cannot use the JSON Schema at ", where, ": ", why);
  }

  static size_t count(const json& s, const char* name, size_t fallback, const std::string& where) {
    if (!s.contains(name)) return fallback;
    const json& v = s[name];
    if (!v.is_number_unsigned()) refuse(where, std::string(name) + " must be a non-negative integer");
    return v.get<size_t>();
  }

  const json& resolve(const std::string& ref, const std::string& where) {
    if (ref == "#") return root_;
    for (const char* prefix : {"#/$defs/", "#/definitions/"}) {
      const std::string p = prefix;
      if (ref.compare(0, p.size(), p) != 0) continue;
      const std::string section = p.substr(2, p.size() - 3), name = ref.substr(p.size());
      if (root_.contains(section) && root_[section].is_object() && root_[section].contains(name)) {
        return root_[section][name];
      }
      refuse(where, "$ref " + ref + " names no definition");
    }
    refuse(where, "$ref " + ref + " is not supported (only #, #/$defs/NAME and #/definitions/NAME)");
  }

  ExprPtr expr_of(const json& s, const std::string& where) {
    if (s.is_boolean()) {
      if (!s.get<bool>()) refuse(where, "the schema false accepts nothing");
      return call(value_);
    }
    if (!s.is_object()) refuse(where, "a schema must be an object or a boolean");
    std::vector<std::string> constraints;
    for (const auto& [name, v] : s.items()) {
      if (kAnnotations.count(name)) continue;
      if (!kKeywords.count(name)) refuse(where, "the keyword \"" + name + "\" is not supported");
      if (name != "$defs" && name != "definitions") constraints.push_back(name);
    }
    auto alone = [&](const char* keyword, std::set<std::string> allowed) {
      for (const std::string& c : constraints) {
        if (c != keyword && !allowed.count(c)) refuse(where, std::string(keyword) + " beside " + c + " is not supported");
      }
    };
    if (s.contains("$ref")) {
      alone("$ref", {});
      if (!s["$ref"].is_string()) refuse(where, "$ref must be a string");
      const std::string ref = s["$ref"].get<std::string>();
      return call(rule_of(resolve(ref, where), ref));
    }
    for (const char* keyword : {"anyOf", "oneOf"}) {
      if (!s.contains(keyword)) continue;
      alone(keyword, {});
      const json& list = s[keyword];
      if (!list.is_array() || list.empty()) refuse(where, std::string(keyword) + " must be a non-empty array");
      std::vector<ExprPtr> options;
      for (size_t i = 0; i < list.size(); ++i) {
        options.push_back(call(rule_of(list[i], where + "/" + keyword + "/" + std::to_string(i))));
      }
      return choice(std::move(options));
    }
    std::vector<std::string> types;
    if (s.contains("type")) {
      const json& t = s["type"];
      if (t.is_string()) types.push_back(t.get<std::string>());
      else if (t.is_array()) for (const json& e : t) types.push_back(e.is_string() ? e.get<std::string>() : "");
      if (types.empty()) refuse(where, "type must be a type name or a list of them");
    }
    for (const char* keyword : {"enum", "const"}) {
      if (!s.contains(keyword)) continue;
      alone(keyword, {"type"});
      json values = keyword == std::string("const") ? json::array({s[keyword]}) : s[keyword];
      if (!values.is_array()) refuse(where, "enum must be an array");
      std::vector<ExprPtr> options;
      for (const json& v : values) {
        if (types.empty() || std::any_of(types.begin(), types.end(), [&](const std::string& t) { return has_type(v, t); })) {
          options.push_back(literal(v.dump()));
        }
      }
      if (options.empty()) refuse(where, std::string(keyword) + " leaves no value");
      return choice(std::move(options));
    }
    if (types.empty()) {
      // No type: the one the keywords imply, else any value.
      auto any_of = [&](std::initializer_list<const char*> names) {
        return std::any_of(names.begin(), names.end(), [&](const char* n) { return s.contains(n); });
      };
      if (any_of({"properties", "required", "additionalProperties"})) types.push_back("object");
      if (any_of({"items", "prefixItems", "minItems", "maxItems"})) types.push_back("array");
      if (any_of({"minLength", "maxLength", "pattern", "format"})) types.push_back("string");
      if (types.empty()) return call(value_);
    }
    std::vector<ExprPtr> options;
    for (const std::string& t : types) options.push_back(typed(s, t, where));
    return choice(std::move(options));
  }

  static bool has_type(const json& v, const std::string& t) {
    if (t == "integer") return v.is_number_integer();
    if (t == "number") return v.is_number();
    return (t == "string" && v.is_string()) || (t == "boolean" && v.is_boolean()) || (t == "null" && v.is_null()) ||
           (t == "object" && v.is_object()) || (t == "array" && v.is_array());
  }

  ExprPtr typed(const json& s, const std::string& t, const std::string& where) {
    if (t == "string") return string_of(s, where);
    if (t == "number") return number();
    if (t == "integer") return integer();
    if (t == "boolean") return choice({literal("true"), literal("false")});
    if (t == "null") return literal("null");
    if (t == "object") return object_of(s, where);
    if (t == "array") return array_of(s, where);
    refuse(where, "the type \"" + t + "\" is not supported");
  }

  ExprPtr string_of(const json& s, const std::string& where) {
    const size_t min = count(s, "minLength", 0, where), max = count(s, "maxLength", kUnbounded, where);
    if (max < min) refuse(where, "maxLength is below minLength");
    const bool counted = s.contains("minLength") || s.contains("maxLength");
    if (s.contains("format")) {
      if (counted || s.contains("pattern")) refuse(where, "format beside minLength, maxLength or pattern is not supported");
      if (!s["format"].is_string()) refuse(where, "format must be a string");
      return quoted(regex(format_pattern(s["format"].get<std::string>(), where), json_chars, true));
    }
    if (s.contains("pattern")) {
      if (counted) refuse(where, "pattern beside minLength or maxLength is not supported");
      if (!s["pattern"].is_string()) refuse(where, "pattern must be a string");
      return quoted(regex(s["pattern"].get<std::string>(), json_chars, false));
    }
    return string_body(min, max);
  }
  static ExprPtr quoted(ExprPtr body) { return sequence({literal("\""), std::move(body), literal("\"")}); }

  static std::string format_pattern(const std::string& format, const std::string& where) {
    static const std::string date =
        "[0-9]{4}-(?:(?:0[13578]|1[02])-(?:0[1-9]|[12][0-9]|3[01])|(?:0[469]|11)-(?:0[1-9]|[12][0-9]|30)|02-(?:0[1-9]|1[0-9]|2[0-8]))";
    static const std::string time = "(?:[01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9](?:\\.[0-9]{1,9})?(?:Z|[+-](?:[01][0-9]|2[0-3]):[0-5][0-9])";
    static const std::map<std::string, std::string> patterns{
        {"date", date},
        {"time", time},
        {"date-time", date + "T" + time},
        {"uuid", "[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}"},
        {"email", "[A-Za-z0-9_%+-]+(?:\\.[A-Za-z0-9_%+-]+)*@(?:[A-Za-z0-9](?:[A-Za-z0-9-]{0,61}[A-Za-z0-9])?\\.)+[A-Za-z]{2,24}"}};
    const auto found = patterns.find(format);
    if (found == patterns.end()) refuse(where, "the format \"" + format + "\" is not supported");
    return found->second;
  }

  ExprPtr object_of(const json& s, const std::string& where) {
    const json none = json::object();
    const json& properties = s.contains("properties") ? s["properties"] : none;
    if (!properties.is_object()) refuse(where, "properties must be an object");
    std::set<std::string> required;
    if (s.contains("required")) {
      if (!s["required"].is_array()) refuse(where, "required must be an array");
      for (const json& r : s["required"]) {
        if (!r.is_string()) refuse(where, "required must list names");
        if (!properties.contains(r.get<std::string>())) {
          refuse(where, "the required property \"" + r.get<std::string>() + "\" is not in properties");
        }
        required.insert(r.get<std::string>());
      }
    }
    // Members in the order of properties; others only where
    // additionalProperties allows them explicitly (they come last).
    std::vector<std::pair<ExprPtr, bool>> members;
    for (const auto& [name, sub] : properties.items()) {
      const ExprPtr value = call(rule_of(sub, where + "/properties/" + name));
      members.emplace_back(member(literal(json(name).dump()), value), required.count(name) > 0);
    }
    ExprPtr extra;
    if (s.contains("additionalProperties")) {
      const json& a = s["additionalProperties"];
      if (!(a.is_boolean() && !a.get<bool>())) {
        extra = member(string_body(0, kUnbounded), call(rule_of(a, where + "/additionalProperties")));
      }
    }
    const ExprPtr comma = sequence({literal(","), space()});
    // after[i]: the members from i on, each after a comma; first[i]: the
    // same when none is written yet. Rules keep optional members linear.
    const size_t n = members.size();
    std::vector<int> after(n + 1), first(n + 1);
    for (size_t i = 0; i <= n; ++i) {
      after[i] = rules_.declare(where + "/after");
      first[i] = rules_.declare(where + "/first");
    }
    rules_.define(after[n], extra ? repeat(sequence({comma, extra}), 0, kUnbounded) : sequence({}));
    rules_.define(first[n], extra ? optional(sequence({extra, call(after[n])})) : sequence({}));
    for (size_t i = n; i-- > 0;) {
      const ExprPtr with = sequence({comma, members[i].first, call(after[i + 1])});
      rules_.define(after[i], members[i].second ? with : choice({with, call(after[i + 1])}));
      const ExprPtr starting = sequence({members[i].first, call(after[i + 1])});
      rules_.define(first[i], members[i].second ? starting : choice({starting, call(first[i + 1])}));
    }
    return sequence({literal("{"), space(), call(first[0]), literal("}")});
  }
  ExprPtr member(ExprPtr key, ExprPtr value) {
    return sequence({std::move(key), space(), literal(":"), space(), std::move(value), space()});
  }

  ExprPtr array_of(const json& s, const std::string& where) {
    std::vector<ExprPtr> prefix;
    if (s.contains("prefixItems")) {
      if (!s["prefixItems"].is_array()) refuse(where, "prefixItems must be an array");
      for (size_t i = 0; i < s["prefixItems"].size(); ++i) {
        prefix.push_back(element(s["prefixItems"][i], where + "/prefixItems/" + std::to_string(i)));
      }
    }
    // Without items, elements past prefixItems are left out; without
    // either, elements are any values.
    ExprPtr rest;
    if (s.contains("items")) {
      if (!(s["items"].is_boolean() && !s["items"].get<bool>())) rest = element(s["items"], where + "/items");
    } else if (prefix.empty()) {
      rest = sequence({call(value_), space()});
    }
    const size_t min = count(s, "minItems", 0, where), max = count(s, "maxItems", kUnbounded, where);
    if (max < min) refuse(where, "maxItems is below minItems");
    const size_t k = prefix.size();
    if (!rest && min > k) refuse(where, "minItems asks for more elements than prefixItems gives");
    const ExprPtr comma = sequence({literal(","), space()});
    // Elements past the prefix: `need` written, up to `more`.
    ExprPtr tail = sequence({});
    if (rest && max > k) {
      const size_t need = min > k ? min - k : 0, more = max == kUnbounded ? kUnbounded : max - k;
      if (k > 0) {
        tail = repeat(sequence({comma, rest}), need, more);
      } else {
        const ExprPtr some = sequence({rest, repeat(sequence({comma, rest}), need ? need - 1 : 0,
                                                    more == kUnbounded ? kUnbounded : more - 1)});
        tail = need ? some : optional(some);
      }
    }
    for (size_t j = std::min(k, max); j-- > 0;) {
      const ExprPtr here = j ? sequence({comma, prefix[j], tail}) : sequence({prefix[j], tail});
      tail = j >= min ? optional(here) : here;
    }
    return sequence({literal("["), space(), tail, literal("]")});
  }
  ExprPtr element(const json& schema, const std::string& where) {
    return sequence({call(rule_of(schema, where)), space()});
  }

  const json& root_;
  RuleSet rules_;
  int space_, value_;
  std::map<std::string, int> memo_;
};

}  // namespace

std::shared_ptr<const Automaton> compile_json() { return compile_json_schema("true"); }

std::shared_ptr<const Automaton> compile_json_schema(const std::string& schema, const std::string& before,
                                                     const std::string& after) {
  json root;
  try {
    root = json::parse(schema);
  } catch (const json::exception& e) {
    fail_with("The JSON Schema is not valid JSON: ", e.what());
  }
  return SchemaCompiler(root).compile(root, before, after);
}

}  // namespace llmrun::grammar
