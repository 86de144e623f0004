#include "src/llm/jinja/value.h"

#include <cmath>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace llmrun::jinja {

Text::Text(std::string text, bool is_data) : bytes(std::move(text)) {
  if (is_data && !bytes.empty()) data.assign(bytes.size(), true);
}

void Text::append(const Text& other) {
  if (other.has_data()) {
    data.resize(bytes.size(), false);
    data.insert(data.end(), other.data.begin(), other.data.end());
  } else if (has_data()) {
    data.insert(data.end(), other.bytes.size(), false);
  }
  bytes += other.bytes;
}

void Text::append(const std::string& other) {
  if (has_data()) data.insert(data.end(), other.size(), false);
  bytes += other;
}

Text Text::slice(size_t pos, size_t count) const {
  Text out;
  if (pos >= bytes.size()) return out;
  count = std::min(count, bytes.size() - pos);
  out.bytes = bytes.substr(pos, count);
  if (has_data()) {
    out.data.assign(data.begin() + static_cast<std::ptrdiff_t>(pos),
                    data.begin() + static_cast<std::ptrdiff_t>(pos + count));
    bool any = false;
    for (const bool flag : out.data) any = any || flag;
    if (!any) out.data.clear();
  }
  return out;
}

Value Value::none() {
  Value v;
  v.kind = Kind::None;
  return v;
}

Value Value::of(bool value) {
  Value v;
  v.kind = Kind::Bool;
  v.boolean = value;
  return v;
}

Value Value::of(int64_t value) {
  Value v;
  v.kind = Kind::Int;
  v.integer = value;
  return v;
}

Value Value::of(double value) {
  Value v;
  v.kind = Kind::Float;
  v.number = value;
  return v;
}

Value Value::of(Text value) {
  Value v;
  v.kind = Kind::String;
  v.text = std::make_shared<const Text>(std::move(value));
  return v;
}

Value Value::of(List value) {
  Value v;
  v.kind = Kind::List;
  size_t deepest = 0;
  for (const Value& item : value) deepest = std::max(deepest, item.depth());
  if (deepest >= kMaxValueDepth) throw Error("lists and dictionaries nest too deeply");
  v.list_depth = deepest + 1;
  v.list = std::make_shared<const List>(std::move(value));
  return v;
}

Value Value::of(std::shared_ptr<Dict> value) {
  Value v;
  v.kind = Kind::Dict;
  v.dict = std::move(value);
  return v;
}

Value Value::of(std::shared_ptr<Callable> value) {
  Value v;
  v.kind = Kind::Callable;
  v.callable = std::move(value);
  return v;
}

Value Value::from_json(const nlohmann::ordered_json& json, bool is_data) {
  // Checked before descending, so that a deep document cannot exhaust the
  // stack here either.
  const auto check_depth = [](const nlohmann::ordered_json& document) {
    size_t depth = 0;
    std::vector<std::pair<const nlohmann::ordered_json*, size_t>> pending{{&document, 1}};
    while (!pending.empty()) {
      const auto [node, level] = pending.back();
      pending.pop_back();
      if (!node->is_structured()) continue;
      depth = std::max(depth, level);
      if (depth > kMaxValueDepth) throw Error("the JSON nests too deeply");
      for (const auto& item : *node) pending.emplace_back(&item, level + 1);
    }
  };
  check_depth(json);
  return from_checked_json(json, is_data);
}

Value Value::from_checked_json(const nlohmann::ordered_json& json, bool is_data) {
  switch (json.type()) {
    case nlohmann::ordered_json::value_t::null: return none();
    case nlohmann::ordered_json::value_t::boolean: return of(json.get<bool>());
    case nlohmann::ordered_json::value_t::number_integer: return of(json.get<int64_t>());
    case nlohmann::ordered_json::value_t::number_unsigned: {
      const uint64_t n = json.get<uint64_t>();
      return n > static_cast<uint64_t>(INT64_MAX) ? of(static_cast<double>(n)) : of(static_cast<int64_t>(n));
    }
    case nlohmann::ordered_json::value_t::number_float: return of(json.get<double>());
    case nlohmann::ordered_json::value_t::string: return of(Text(json.get<std::string>(), is_data));
    case nlohmann::ordered_json::value_t::array: {
      List items;
      items.reserve(json.size());
      for (const auto& item : json) items.push_back(from_checked_json(item, is_data));
      return of(std::move(items));
    }
    case nlohmann::ordered_json::value_t::object: {
      auto dict = std::make_shared<Dict>(is_data);
      for (const auto& [key, item] : json.items()) dict->set(key, from_checked_json(item, is_data));
      return of(std::move(dict));
    }
    default: return Value();  // binary and discarded values have no meaning here
  }
}

size_t Value::depth() const {
  if (kind == Kind::List) return list_depth;
  if (kind == Kind::Dict) return dict->depth();
  return 0;
}

bool Value::contains(const Dict* other) const {
  if (kind == Kind::Dict) {
    if (dict.get() == other) return true;
    for (const auto& item : dict->items()) {
      if (item.second.contains(other)) return true;
    }
  } else if (kind == Kind::List) {
    for (const Value& item : *list) {
      if (item.contains(other)) return true;
    }
  }
  return false;
}

bool Value::has_data() const {
  switch (kind) {
    case Kind::String: return text->has_data();
    case Kind::List:
      for (const Value& item : *list) {
        if (item.has_data()) return true;
      }
      return false;
    case Kind::Dict:
      if (dict->data_keys() && !dict->items().empty()) return true;
      for (const auto& item : dict->items()) {
        if (item.second.has_data()) return true;
      }
      return false;
    default: return false;
  }
}

bool Value::truthy() const {
  switch (kind) {
    case Kind::Undefined:
    case Kind::None: return false;
    case Kind::Bool: return boolean;
    case Kind::Int: return integer != 0;
    case Kind::Float: return number != 0;
    case Kind::String: return !text->bytes.empty();
    case Kind::List: return !list->empty();
    case Kind::Dict: return !dict->items().empty();
    case Kind::Callable: return true;
  }
  return false;
}

namespace {

// Python's repr() of a float: the shortest form that reads back the same,
// with ".0" on whole numbers.
std::string float_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[32];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
    if (std::strtod(buffer, nullptr) == value) break;
  }
  std::string out = buffer;
  if (out.find_first_of(".eni") == std::string::npos) out += ".0";
  return out;
}

std::string quoted_repr(const std::string& text) {
  const bool use_double = text.find('\'') != std::string::npos && text.find('"') == std::string::npos;
  const char quote = use_double ? '"' : '\'';
  std::string out(1, quote);
  for (const char c : text) {
    switch (c) {
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      default:
        if (c == quote) out += '\\';
        out += c;
    }
  }
  return out + quote;
}

}  // namespace

Text Value::to_text() const {
  switch (kind) {
    case Kind::Undefined: return Text();
    case Kind::String: return *text;
    default: return repr();
  }
}

Text Value::repr() const {
  switch (kind) {
    case Kind::Undefined: return Text();
    case Kind::None: return Text("None");
    case Kind::Bool: return Text(boolean ? "True" : "False");
    case Kind::Int: return Text(std::to_string(integer));
    case Kind::Float: return Text(float_text(number));
    case Kind::String: return Text(quoted_repr(text->bytes), text->has_data());
    case Kind::List: {
      Text out("[");
      for (size_t i = 0; i < list->size(); ++i) {
        if (i) out.append(std::string(", "));
        out.append((*list)[i].repr());
      }
      out.append(std::string("]"));
      return out;
    }
    case Kind::Dict: {
      Text out("{");
      for (size_t i = 0; i < dict->items().size(); ++i) {
        if (i) out.append(std::string(", "));
        out.append(dict->key(i).repr());
        out.append(std::string(": "));
        out.append(dict->items()[i].second.repr());
      }
      out.append(std::string("}"));
      return out;
    }
    case Kind::Callable: return Text("<function>");
  }
  return Text();
}

const char* Value::type_name() const {
  switch (kind) {
    case Kind::Undefined: return "undefined";
    case Kind::None: return "none";
    case Kind::Bool: return "boolean";
    case Kind::Int: return "integer";
    case Kind::Float: return "float";
    case Kind::String: return "string";
    case Kind::List: return "list";
    case Kind::Dict: return "dict";
    case Kind::Callable: return "function";
  }
  return "value";
}

bool equal(const Value& a, const Value& b) {
  if (a.is_number() && b.is_number()) {
    if (a.kind == Value::Kind::Int && b.kind == Value::Kind::Int) return a.integer == b.integer;
    return a.as_double() == b.as_double();
  }
  if (a.kind != b.kind) return false;
  switch (a.kind) {
    case Value::Kind::Undefined:
    case Value::Kind::None: return true;
    case Value::Kind::Bool: return a.boolean == b.boolean;
    case Value::Kind::String: return a.str() == b.str();
    case Value::Kind::List:
      if (a.list->size() != b.list->size()) return false;
      for (size_t i = 0; i < a.list->size(); ++i) {
        if (!equal((*a.list)[i], (*b.list)[i])) return false;
      }
      return true;
    case Value::Kind::Dict:
      if (a.dict->items().size() != b.dict->items().size()) return false;
      for (const auto& [key, item] : a.dict->items()) {
        const Value* other = b.dict->find(key);
        if (!other || !equal(item, *other)) return false;
      }
      return true;
    default: return a.callable == b.callable;
  }
}

const Value* Dict::find(const std::string& key) const {
  const auto it = index_.find(key);
  return it == index_.end() ? nullptr : &items_[it->second].second;
}

void Dict::set(const std::string& key, Value value) {
  if (value.depth() >= kMaxValueDepth) throw Error("lists and dictionaries nest too deeply");
  // Only a namespace changes after it is made, so only it can become a cycle.
  if (is_namespace_ && value.contains(this)) throw Error("a dictionary cannot hold itself");
  depth_ = std::max(depth_, value.depth() + 1);
  const auto [it, inserted] = index_.emplace(key, items_.size());
  if (inserted) {
    items_.emplace_back(key, std::move(value));
  } else {
    items_[it->second].second = std::move(value);
  }
}

const Value& Arguments::get(size_t position, const std::string& name) const {
  static const Value undefined;
  if (position < positional.size()) return positional[position];
  for (const auto& [key, value] : named) {
    if (key == name) return value;
  }
  return undefined;
}

namespace {

void write_json(const Value& value, int indent, int depth, std::string& out) {
  const auto newline = [&](int level) {
    out += '\n';
    out.append(static_cast<size_t>(indent) * static_cast<size_t>(level), ' ');
  };
  switch (value.kind) {
    case Value::Kind::Undefined:
    case Value::Kind::None:
    case Value::Kind::Callable: out += "null"; return;
    case Value::Kind::Bool: out += value.boolean ? "true" : "false"; return;
    case Value::Kind::Int: out += std::to_string(value.integer); return;
    case Value::Kind::Float: out += float_text(value.number); return;
    case Value::Kind::String: out += nlohmann::json(value.str()).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); return;
    case Value::Kind::List:
    case Value::Kind::Dict: {
      const bool is_list = value.is_list();
      const size_t count = is_list ? value.list->size() : value.dict->items().size();
      out += is_list ? '[' : '{';
      if (count == 0) {
        out += is_list ? ']' : '}';
        return;
      }
      for (size_t i = 0; i < count; ++i) {
        if (i) out += indent >= 0 ? "," : ", ";
        if (indent >= 0) newline(depth + 1);
        if (is_list) {
          write_json((*value.list)[i], indent, depth + 1, out);
        } else {
          const auto& [key, item] = value.dict->items()[i];
          out += nlohmann::json(key).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
          out += ": ";
          write_json(item, indent, depth + 1, out);
        }
      }
      if (indent >= 0) newline(depth);
      out += is_list ? ']' : '}';
      return;
    }
  }
}

}  // namespace

std::string to_json(const Value& value, int indent) {
  std::string out;
  write_json(value, indent, 0, out);
  return out;
}

}  // namespace llmrun::jinja
