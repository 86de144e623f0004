// Values of the template language: undefined, none, booleans, integers,
// floats, strings, lists, dictionaries and callables. Lists and
// dictionaries are shared by reference, as in the language (a namespace()
// changed inside a loop is seen after it).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace llmrun::jinja {

// A failure while rendering; the evaluator adds the template's name and the
// line it was on.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How deeply lists and dictionaries may nest, so that printing, comparing
// and freeing them stays within the stack.
constexpr size_t kMaxValueDepth = 100;

// A string with, byte for byte, whether it came from the caller's data (a
// message's content, a tool's definition) rather than from the template.
// The marks follow the text through concatenation, slicing, stripping,
// splitting and replacing, so that the rendered prompt knows which of its
// bytes are data.
struct Text {
  std::string bytes;
  std::vector<bool> data;  // empty when no byte is data; else one flag per byte

  Text() = default;
  Text(std::string text, bool is_data = false);  // NOLINT: literals convert
  void append(const Text& other);
  void append(const std::string& other);
  Text slice(size_t pos, size_t count) const;
  bool has_data() const { return !data.empty(); }
};

struct Value;
using List = std::vector<Value>;
class Dict;
class Callable;

struct Value {
  enum class Kind { Undefined, None, Bool, Int, Float, String, List, Dict, Callable };
  Kind kind = Kind::Undefined;
  bool boolean = false;
  int64_t integer = 0;
  double number = 0;
  size_t list_depth = 0;  // 1 + the deepest item's depth, for lists
  std::shared_ptr<const Text> text;
  std::shared_ptr<const List> list;
  std::shared_ptr<Dict> dict;
  std::shared_ptr<Callable> callable;

  static Value none();
  static Value of(bool value);
  static Value of(int64_t value);
  static Value of(double value);
  static Value of(Text value);
  static Value of(std::string value) { return of(Text(std::move(value))); }
  static Value of(const char* value) { return of(Text(value)); }
  static Value of(List value);
  static Value of(std::shared_ptr<Dict> value);
  static Value of(std::shared_ptr<Callable> value);
  // A JSON document; its strings and keys are marked as data when `is_data`.
  static Value from_json(const nlohmann::ordered_json& json, bool is_data);

  bool is_undefined() const { return kind == Kind::Undefined; }
  bool is_none() const { return kind == Kind::None; }
  bool is_number() const { return kind == Kind::Int || kind == Kind::Float; }
  bool is_string() const { return kind == Kind::String; }
  bool is_list() const { return kind == Kind::List; }
  bool is_dict() const { return kind == Kind::Dict; }
  const std::string& str() const { return text->bytes; }
  double as_double() const { return kind == Kind::Int ? static_cast<double>(integer) : number; }

  size_t depth() const;
  bool contains(const Dict* dict) const;
  bool has_data() const;  // whether any string inside is marked as data
  bool truthy() const;
  // What {{ value }} prints (Python's str()).
  Text to_text() const;
  // Python's repr(), used for the items of printed lists and dictionaries.
  Text repr() const;
  const char* type_name() const;

 private:
  static Value from_checked_json(const nlohmann::ordered_json& json, bool is_data);
};

bool equal(const Value& a, const Value& b);

// Insertion-ordered, as the JSON it came from and as Python's dictionaries.
class Dict {
 public:
  explicit Dict(bool data_keys = false, bool is_namespace = false)
      : data_keys_(data_keys), is_namespace_(is_namespace) {}
  const Value* find(const std::string& key) const;
  // Throws an Error for a value that nests too deeply or holds this very
  // dictionary (a cycle).
  void set(const std::string& key, Value value);
  size_t depth() const { return depth_; }
  bool is_namespace() const { return is_namespace_; }
  const std::vector<std::pair<std::string, Value>>& items() const { return items_; }
  Value key(size_t index) const { return Value::of(Text(items_[index].first, data_keys_)); }
  bool data_keys() const { return data_keys_; }

 private:
  bool data_keys_;
  bool is_namespace_;
  size_t depth_ = 1;
  std::vector<std::pair<std::string, Value>> items_;
  std::unordered_map<std::string, size_t> index_;
};

// Arguments of a call: positional, then named.
struct Arguments {
  std::vector<Value> positional;
  std::vector<std::pair<std::string, Value>> named;
  // The argument at `position` or named `name`; undefined when absent.
  const Value& get(size_t position, const std::string& name) const;
};

class Callable {
 public:
  using Function = std::function<Value(const Arguments&)>;
  explicit Callable(Function function) : function_(std::move(function)) {}
  Value call(const Arguments& arguments) const { return function_(arguments); }

 private:
  Function function_;
};

// JSON as the template's tojson filter writes it: keys in insertion order,
// non-ASCII characters as they are, ", " and ": " between items, or lines
// indented by `indent` spaces when indent >= 0.
std::string to_json(const Value& value, int indent);

}  // namespace llmrun::jinja
