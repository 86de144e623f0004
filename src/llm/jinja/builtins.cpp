#include "src/llm/jinja/builtins.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace llmrun::jinja {

void Budget::spend(size_t items) {
  steps_ += 1 + items / 64;
  if (steps_ > max_steps_) throw Error("the template does too much work (more than " + std::to_string(max_steps_) + " steps)");
}

void Budget::check_text(size_t size) const {
  if (size > max_text_) throw Error("a text grows beyond " + std::to_string(max_text_) + " bytes");
}

namespace {

// The byte offset of each character of UTF-8 text, and the text's size last.
std::vector<size_t> char_starts(const std::string& text) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  }
  starts.push_back(text.size());
  return starts;
}

const Text& text_of(const Value& value, const char* what) {
  if (!value.is_string()) throw Error(std::string(what) + " needs a string, not " + value.type_name());
  return *value.text;
}

int64_t int_of(const Value& value, const char* what) {
  if (value.kind == Value::Kind::Int) return value.integer;
  if (value.kind == Value::Kind::Bool) return value.boolean;
  throw Error(std::string(what) + " needs an integer, not " + value.type_name());
}

// Python's str.strip(chars) family; chars undefined or none: whitespace.
Text strip(const Text& text, const Value& chars, bool left, bool right) {
  const std::string set = chars.is_string() ? chars.str() : std::string(" \t\n\r\v\f");
  size_t begin = 0;
  size_t end = text.bytes.size();
  if (left) {
    while (begin < end && set.find(text.bytes[begin]) != std::string::npos) ++begin;
  }
  if (right) {
    while (end > begin && set.find(text.bytes[end - 1]) != std::string::npos) --end;
  }
  return text.slice(begin, end - begin);
}

Value split(const Text& text, const Value& separator, const Value& max_split) {
  int64_t splits_left = max_split.is_number() ? int_of(max_split, "split") : -1;
  List parts;
  if (separator.is_string()) {
    const std::string& sep = separator.str();
    if (sep.empty()) throw Error("split needs a non-empty separator");
    size_t start = 0;
    for (size_t at = text.bytes.find(sep); at != std::string::npos && splits_left != 0;
         at = text.bytes.find(sep, start), --splits_left) {
      parts.push_back(Value::of(text.slice(start, at - start)));
      start = at + sep.size();
    }
    parts.push_back(Value::of(text.slice(start, std::string::npos)));
    return Value::of(std::move(parts));
  }
  // Runs of whitespace separate; none at the ends.
  const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  size_t i = 0;
  const size_t n = text.bytes.size();
  while (true) {
    while (i < n && space(text.bytes[i])) ++i;
    if (i >= n) break;
    size_t j = i;
    if (splits_left == 0) {
      j = n;
      while (j > i && space(text.bytes[j - 1])) --j;
    } else {
      while (j < n && !space(text.bytes[j])) ++j;
      --splits_left;
    }
    parts.push_back(Value::of(text.slice(i, j - i)));
    i = j;
  }
  return Value::of(std::move(parts));
}

Text replace(const Text& text, const Value& old_value, const Value& new_value, const Value& count, Budget& budget) {
  const std::string& old_text = text_of(old_value, "replace").bytes;
  const Text& new_text = text_of(new_value, "replace");
  int64_t left = count.is_number() ? int_of(count, "replace") : -1;
  Text out;
  size_t start = 0;
  if (old_text.empty()) {
    // Python puts the new text between every character and at both ends.
    const std::vector<size_t> starts = char_starts(text.bytes);
    for (size_t c = 0; c + 1 < starts.size() && left != 0; ++c, --left) {
      out.append(new_text);
      out.append(text.slice(starts[c], starts[c + 1] - starts[c]));
      start = starts[c + 1];
      budget.check_text(out.bytes.size());
    }
    if (left != 0) out.append(new_text);
    out.append(text.slice(start, std::string::npos));
    return out;
  }
  for (size_t at = text.bytes.find(old_text); at != std::string::npos && left != 0;
       at = text.bytes.find(old_text, start), --left) {
    out.append(text.slice(start, at - start));
    out.append(new_text);
    start = at + old_text.size();
    budget.check_text(out.bytes.size());
  }
  out.append(text.slice(start, std::string::npos));
  budget.check_text(out.bytes.size());
  budget.spend(out.bytes.size());
  return out;
}

enum class Case { Upper, Lower, Title, Capitalize };

// ASCII letters only: other characters are left as they are.
Text change_case(const Text& text, Case to) {
  Text out = text;
  bool word_start = true;
  for (char& c : out.bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    const bool letter = std::isalpha(u) != 0;
    switch (to) {
      case Case::Upper: c = static_cast<char>(std::toupper(u)); break;
      case Case::Lower: c = static_cast<char>(std::tolower(u)); break;
      case Case::Title: c = static_cast<char>(word_start ? std::toupper(u) : std::tolower(u)); break;
      case Case::Capitalize: c = static_cast<char>(&c == &out.bytes[0] ? std::toupper(u) : std::tolower(u)); break;
    }
    word_start = !letter && !(u & 0x80);
  }
  return out;
}

Value join(const Value& items, const Value& separator, const Value& attribute, Budget& budget) {
  const Text sep = separator.is_string() ? *separator.text : Text();
  Text out;
  bool first = true;
  for (const Value& item : iterate(items)) {
    if (!first) out.append(sep);
    first = false;
    const Value& piece = attribute.is_undefined() ? item : subscript(item, attribute);
    out.append(piece.to_text());
    budget.check_text(out.bytes.size());
  }
  budget.spend(out.bytes.size());
  return Value::of(std::move(out));
}

// An attribute by a dotted path ("a.b"), as map() and selectattr() take it.
Value attribute_path(const Value& item, const std::string& path) {
  Value current = item;
  size_t start = 0;
  while (true) {
    const size_t dot = path.find('.', start);
    current = subscript(current, Value::of(path.substr(start, dot == std::string::npos ? std::string::npos : dot - start)));
    if (dot == std::string::npos) return current;
    start = dot + 1;
  }
}

// select/reject (by a test on each item) and selectattr/rejectattr (on an
// attribute of each item).
Value select(const Arguments& arguments, bool by_attribute, bool keep, Budget& budget) {
  size_t next = 1;
  std::string attribute;
  if (by_attribute) attribute = text_of(arguments.get(next++, "attribute"), "selectattr").bytes;
  const Value& test = arguments.get(next++, "test");
  Arguments test_arguments;
  test_arguments.positional.emplace_back();
  for (size_t i = next; i < arguments.positional.size(); ++i) test_arguments.positional.push_back(arguments.positional[i]);
  List out;
  for (const Value& item : iterate(arguments.positional[0])) {
    budget.spend();
    test_arguments.positional[0] = by_attribute ? attribute_path(item, attribute) : item;
    const bool passed = test.is_undefined() ? test_arguments.positional[0].truthy()
                                            : apply_test(text_of(test, "select").bytes, test_arguments);
    if (passed == keep) out.push_back(item);
  }
  return Value::of(std::move(out));
}

Value map(const Arguments& arguments, Budget& budget) {
  List out;
  const Value& attribute = arguments.get(99, "attribute");
  Arguments filter_arguments;
  filter_arguments.positional.emplace_back();
  for (size_t i = 2; i < arguments.positional.size(); ++i) filter_arguments.positional.push_back(arguments.positional[i]);
  for (const Value& item : iterate(arguments.positional[0])) {
    budget.spend();
    if (attribute.is_string()) {
      const Value found = attribute_path(item, attribute.str());
      const Value& fallback = arguments.get(99, "default");
      out.push_back(found.is_undefined() && !fallback.is_undefined() ? fallback : found);
    } else {
      filter_arguments.positional[0] = item;
      out.push_back(apply_filter(text_of(arguments.get(1, "filter"), "map").bytes, filter_arguments, budget));
    }
  }
  return Value::of(std::move(out));
}

Value unique(const Value& items, Budget& budget) {
  List out;
  for (const Value& item : iterate(items)) {
    budget.spend(out.size());
    bool seen = false;
    for (const Value& kept : out) seen = seen || equal(kept, item);
    if (!seen) out.push_back(item);
  }
  return Value::of(std::move(out));
}

Value items_of(const Value& value) {
  if (!value.is_dict()) throw Error(std::string("items needs a dictionary, not ") + value.type_name());
  List out;
  for (size_t i = 0; i < value.dict->items().size(); ++i) out.push_back(Value::of(List{value.dict->key(i), value.dict->items()[i].second}));
  return Value::of(std::move(out));
}

Value to_int(const Value& value, const Value& fallback) {
  switch (value.kind) {
    case Value::Kind::Int: return value;
    case Value::Kind::Bool: return Value::of(static_cast<int64_t>(value.boolean));
    case Value::Kind::Float:
      if (std::isfinite(value.number) && std::fabs(value.number) < 9.2e18) return Value::of(static_cast<int64_t>(value.number));
      break;
    case Value::Kind::String: {
      const std::string text = strip(*value.text, Value(), true, true).bytes;
      char* end = nullptr;
      errno = 0;
      const long long n = std::strtoll(text.c_str(), &end, 10);
      if (!text.empty() && *end == '\0' && errno == 0) return Value::of(static_cast<int64_t>(n));
      const double d = std::strtod(text.c_str(), &end);
      if (!text.empty() && *end == '\0' && std::isfinite(d) && std::fabs(d) < 9.2e18) return Value::of(static_cast<int64_t>(d));
      break;
    }
    default: break;
  }
  return fallback.is_undefined() ? Value::of(static_cast<int64_t>(0)) : fallback;
}

Value to_float(const Value& value, const Value& fallback) {
  if (value.is_number()) return Value::of(value.as_double());
  if (value.kind == Value::Kind::Bool) return Value::of(value.boolean ? 1.0 : 0.0);
  if (value.is_string()) {
    const std::string text = strip(*value.text, Value(), true, true).bytes;
    char* end = nullptr;
    const double d = std::strtod(text.c_str(), &end);
    if (!text.empty() && *end == '\0') return Value::of(d);
  }
  return fallback.is_undefined() ? Value::of(0.0) : fallback;
}

}  // namespace

size_t length_of(const Value& value) {
  switch (value.kind) {
    case Value::Kind::String: return char_starts(value.str()).size() - 1;
    case Value::Kind::List: return value.list->size();
    case Value::Kind::Dict: return value.dict->items().size();
    case Value::Kind::Undefined: return 0;
    default: throw Error(std::string("a ") + value.type_name() + " has no length");
  }
}

List iterate(const Value& value) {
  switch (value.kind) {
    case Value::Kind::List: return *value.list;
    case Value::Kind::Dict: {
      List keys;
      for (size_t i = 0; i < value.dict->items().size(); ++i) keys.push_back(value.dict->key(i));
      return keys;
    }
    case Value::Kind::String: {
      const std::vector<size_t> starts = char_starts(value.str());
      List chars;
      for (size_t i = 0; i + 1 < starts.size(); ++i) chars.push_back(Value::of(value.text->slice(starts[i], starts[i + 1] - starts[i])));
      return chars;
    }
    case Value::Kind::Undefined:
    case Value::Kind::None: return {};
    default: throw Error(std::string("a ") + value.type_name() + " cannot be iterated");
  }
}

Value subscript(const Value& target, const Value& index) {
  if (target.is_dict()) {
    if (!index.is_string()) return Value();
    const Value* found = target.dict->find(index.str());
    return found ? *found : Value();
  }
  if ((target.is_list() || target.is_string()) && (index.kind == Value::Kind::Int || index.kind == Value::Kind::Bool)) {
    int64_t i = int_of(index, "an index");
    if (target.is_list()) {
      const int64_t n = static_cast<int64_t>(target.list->size());
      if (i < 0) i += n;
      return i >= 0 && i < n ? (*target.list)[static_cast<size_t>(i)] : Value();
    }
    const std::vector<size_t> starts = char_starts(target.str());
    const int64_t n = static_cast<int64_t>(starts.size()) - 1;
    if (i < 0) i += n;
    if (i < 0 || i >= n) return Value();
    const size_t at = static_cast<size_t>(i);
    return Value::of(target.text->slice(starts[at], starts[at + 1] - starts[at]));
  }
  return Value();
}

Value slice(const Value& target, const Value& start_value, const Value& stop_value, const Value& step_value, Budget& budget) {
  const bool is_string = target.is_string();
  if (!is_string && !target.is_list()) {
    if (target.is_undefined() || target.is_none()) return Value();
    throw Error(std::string("a ") + target.type_name() + " cannot be sliced");
  }
  const std::vector<size_t> starts = is_string ? char_starts(target.str()) : std::vector<size_t>();
  const int64_t n = is_string ? static_cast<int64_t>(starts.size()) - 1 : static_cast<int64_t>(target.list->size());
  const auto given = [](const Value& v) { return !v.is_undefined() && !v.is_none(); };
  const int64_t step = given(step_value) ? int_of(step_value, "a slice") : 1;
  if (step == 0) throw Error("a slice step cannot be zero");
  // Python's rules for clamping the bounds.
  const auto bound = [&](const Value& v, int64_t fallback) {
    if (!given(v)) return fallback;
    int64_t i = int_of(v, "a slice");
    if (i < 0) i += n;
    if (step > 0) return std::clamp<int64_t>(i, 0, n);
    return std::clamp<int64_t>(i, -1, n - 1);
  };
  const int64_t start = bound(start_value, step > 0 ? 0 : n - 1);
  const int64_t stop = bound(stop_value, step > 0 ? n : -1);
  List items;
  Text text;
  for (int64_t i = start; step > 0 ? i < stop : i > stop; i += step) {
    const size_t at = static_cast<size_t>(i);
    if (is_string) {
      text.append(target.text->slice(starts[at], starts[at + 1] - starts[at]));
    } else {
      items.push_back((*target.list)[at]);
    }
  }
  budget.spend(is_string ? text.bytes.size() : items.size());
  return is_string ? Value::of(std::move(text)) : Value::of(std::move(items));
}

bool has_method(const Value& self, const std::string& name) {
  static const char* const kString[] = {"strip", "lstrip", "rstrip", "split", "startswith", "endswith", "replace",
                                        "upper", "lower", "title", "capitalize"};
  static const char* const kDict[] = {"items", "keys", "values", "get"};
  if (self.is_string()) return std::find(std::begin(kString), std::end(kString), name) != std::end(kString);
  if (self.is_dict()) return std::find(std::begin(kDict), std::end(kDict), name) != std::end(kDict);
  return false;
}

Value call_method(const Value& self, const std::string& name, const Arguments& arguments, Budget& budget) {
  if (self.is_dict()) {
    const Dict& dict = *self.dict;
    if (name == "items") return items_of(self);
    if (name == "keys") return Value::of(iterate(self));
    if (name == "values") {
      List values;
      for (const auto& item : dict.items()) values.push_back(item.second);
      return Value::of(std::move(values));
    }
    // get
    const Value found = subscript(self, arguments.get(0, "key"));
    if (!found.is_undefined()) return found;
    const Value& fallback = arguments.get(1, "default");
    return fallback.is_undefined() ? Value::none() : fallback;
  }
  const Text& text = *self.text;
  if (name == "strip") return Value::of(strip(text, arguments.get(0, "chars"), true, true));
  if (name == "lstrip") return Value::of(strip(text, arguments.get(0, "chars"), true, false));
  if (name == "rstrip") return Value::of(strip(text, arguments.get(0, "chars"), false, true));
  if (name == "split") return split(text, arguments.get(0, "sep"), arguments.get(1, "maxsplit"));
  if (name == "startswith" || name == "endswith") {
    const Value& affix_value = arguments.get(0, "prefix");
    List affixes = affix_value.is_list() ? *affix_value.list : List{affix_value};
    for (const Value& affix : affixes) {
      const std::string& a = text_of(affix, name.c_str()).bytes;
      const bool match = a.size() <= text.bytes.size() &&
                         text.bytes.compare(name == "startswith" ? 0 : text.bytes.size() - a.size(), a.size(), a) == 0;
      if (match) return Value::of(true);
    }
    return Value::of(false);
  }
  if (name == "replace") return Value::of(replace(text, arguments.get(0, "old"), arguments.get(1, "new"), arguments.get(2, "count"), budget));
  if (name == "upper") return Value::of(change_case(text, Case::Upper));
  if (name == "lower") return Value::of(change_case(text, Case::Lower));
  if (name == "title") return Value::of(change_case(text, Case::Title));
  return Value::of(change_case(text, Case::Capitalize));
}

Value apply_filter(const std::string& name, const Arguments& arguments, Budget& budget) {
  const Value& value = arguments.positional.at(0);
  const auto argument = [&](size_t position, const char* key) -> const Value& { return arguments.get(position, key); };
  if (name == "trim") return Value::of(strip(text_of(value, "trim"), argument(1, "chars"), true, true));
  if (name == "tojson") {
    const Value& indent = argument(1, "indent");
    const std::string json = to_json(value, indent.is_number() ? static_cast<int>(std::clamp<int64_t>(int_of(indent, "tojson"), 0, 16)) : -1);
    budget.check_text(json.size());
    budget.spend(json.size());
    // JSON holding the caller's data is data as a whole.
    return Value::of(Text(json, value.has_data()));
  }
  if (name == "length" || name == "count") return Value::of(static_cast<int64_t>(length_of(value)));
  if (name == "upper" || name == "lower" || name == "title" || name == "capitalize") {
    text_of(value, name.c_str());
    return call_method(value, name, Arguments(), budget);
  }
  if (name == "replace") {
    return Value::of(replace(text_of(value, "replace"), argument(1, "old"), argument(2, "new"), argument(3, "count"), budget));
  }
  if (name == "join") return join(value, argument(1, "d"), argument(2, "attribute"), budget);
  if (name == "first" || name == "last") {
    const List items = iterate(value);
    if (items.empty()) return Value();
    return name == "first" ? items.front() : items.back();
  }
  if (name == "default" || name == "d") {
    const bool use_default = argument(2, "boolean").truthy() ? !value.truthy() : value.is_undefined();
    if (!use_default) return value;
    const Value& fallback = argument(1, "default_value");
    return fallback.is_undefined() ? Value::of("") : fallback;
  }
  if (name == "items") return value.is_undefined() ? Value::of(List()) : items_of(value);
  if (name == "list") return Value::of(iterate(value));
  if (name == "string") return Value::of(value.to_text());
  if (name == "safe") return value;
  if (name == "int") return to_int(value, argument(1, "default"));
  if (name == "float") return to_float(value, argument(1, "default"));
  if (name == "abs") {
    if (value.kind == Value::Kind::Int && value.integer != std::numeric_limits<int64_t>::min()) return Value::of(std::abs(value.integer));
    if (value.kind == Value::Kind::Float) return Value::of(std::fabs(value.number));
    throw Error(std::string("abs needs a number, not ") + value.type_name());
  }
  if (name == "map") return map(arguments, budget);
  if (name == "select" || name == "reject") return select(arguments, false, name == "select", budget);
  if (name == "selectattr" || name == "rejectattr") return select(arguments, true, name == "selectattr", budget);
  if (name == "unique") return unique(value, budget);
  throw Error("unknown filter '" + name + "'");
}

bool apply_test(const std::string& name, const Arguments& arguments) {
  const Value& value = arguments.positional.at(0);
  using Kind = Value::Kind;
  if (name == "defined") return !value.is_undefined();
  if (name == "undefined") return value.is_undefined();
  if (name == "none") return value.is_none();
  if (name == "string") return value.is_string();
  if (name == "number") return value.is_number();
  if (name == "integer") return value.kind == Kind::Int;
  if (name == "float") return value.kind == Kind::Float;
  if (name == "boolean") return value.kind == Kind::Bool;
  if (name == "mapping") return value.is_dict();
  if (name == "iterable") return value.is_list() || value.is_dict() || value.is_string();
  if (name == "sequence") return value.is_list() || value.is_dict() || value.is_string();
  if (name == "callable") return value.kind == Kind::Callable;
  if (name == "true") return value.kind == Kind::Bool && value.boolean;
  if (name == "false") return value.kind == Kind::Bool && !value.boolean;
  if (name == "lower") return value.is_string() && change_case(*value.text, Case::Lower).bytes == value.str();
  if (name == "upper") return value.is_string() && change_case(*value.text, Case::Upper).bytes == value.str();
  if (name == "odd" || name == "even") {
    const int64_t n = int_of(value, name.c_str());
    return (n % 2 != 0) == (name == "odd");
  }
  if (name == "equalto" || name == "eq" || name == "==" || name == "sameas") return equal(value, arguments.get(1, "other"));
  if (name == "ne" || name == "!=") return !equal(value, arguments.get(1, "other"));
  if (name == "in") {
    const Value& container = arguments.get(1, "seq");
    for (const Value& item : iterate(container)) {
      if (equal(item, value)) return true;
    }
    return false;
  }
  throw Error("unknown test '" + name + "'");
}

}  // namespace llmrun::jinja
