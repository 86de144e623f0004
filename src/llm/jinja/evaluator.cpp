// Renders a parsed template: statements write to the output, expressions
// make values. Variables live in scopes (a for loop's body is one, a macro
// call another) over the template's top level.
#include <cmath>
#include <ctime>
#include <limits>
#include <unordered_map>

#include "src/llm/jinja/ast.h"
#include "src/llm/jinja/builtins.h"
#include "src/llm/jinja/parser.h"
#include "src/utils/guard.h"
#include "src/llm/jinja/template.h"

namespace llmrun::jinja {

namespace {

using Scope = std::unordered_map<std::string, Value>;

// Thrown by break and continue up to their loop.
struct LoopControl {
  bool is_break;
};

class Evaluator {
 public:
  Evaluator(const Limits& limits) : limits_(limits), budget_(limits.max_steps, limits.max_output) {
    frames_.push_back({Scope()});
    define_globals();
  }

  Scope& top() { return frames_.front().front(); }
  size_t line() const { return line_; }

  void render(const Body& body, Text& out) {
    for (const auto& stmt : body) execute(*stmt, out);
  }

 private:
  using Frame = std::vector<Scope>;

  void define_globals() {
    Scope& scope = globals_;
    scope["raise_exception"] = function([](const Arguments& arguments) -> Value {
      throw Error("raise_exception: " + arguments.get(0, "message").to_text().bytes);
    });
    scope["strftime_now"] = function([](const Arguments& arguments) {
      const std::string format = arguments.get(0, "format").to_text().bytes;
      const std::time_t now = std::time(nullptr);
      std::tm local{};
      localtime_r(&now, &local);
      char buffer[256];
      const size_t n = std::strftime(buffer, sizeof buffer, format.c_str(), &local);
      return Value::of(std::string(buffer, n));
    });
    scope["namespace"] = function([](const Arguments& arguments) {
      auto dict = std::make_shared<Dict>(false, true);
      const Value& initial = arguments.get(0, "");
      if (initial.is_dict()) {
        for (const auto& [key, value] : initial.dict->items()) dict->set(key, value);
      }
      for (const auto& [key, value] : arguments.named) dict->set(key, value);
      return Value::of(std::move(dict));
    });
    scope["dict"] = function([](const Arguments& arguments) {
      auto dict = std::make_shared<Dict>();
      for (const auto& [key, value] : arguments.named) dict->set(key, value);
      return Value::of(std::move(dict));
    });
    scope["range"] = function([this](const Arguments& arguments) {
      std::vector<int64_t> bounds;
      for (const Value& v : arguments.positional) {
        if (v.kind != Value::Kind::Int) throw Error("range needs integers");
        bounds.push_back(v.integer);
      }
      if (bounds.empty() || bounds.size() > 3) throw Error("range takes one to three integers");
      const int64_t start = bounds.size() > 1 ? bounds[0] : 0;
      const int64_t stop = bounds.size() > 1 ? bounds[1] : bounds[0];
      const int64_t step = bounds.size() > 2 ? bounds[2] : 1;
      if (step == 0) throw Error("range needs a step other than zero");
      List items;
      for (int64_t i = start; step > 0 ? i < stop : i > stop;) {
        budget_.spend();
        items.push_back(Value::of(i));
        if (__builtin_add_overflow(i, step, &i)) break;
      }
      return Value::of(std::move(items));
    });
  }

  static Value function(Callable::Function body) { return Value::of(std::make_shared<Callable>(std::move(body))); }

  Value lookup(const std::string& name) const {
    const Frame& frame = frames_.back();
    for (auto scope = frame.rbegin(); scope != frame.rend(); ++scope) {
      const auto found = scope->find(name);
      if (found != scope->end()) return found->second;
    }
    if (frames_.size() > 1) {
      const auto found = frames_.front().front().find(name);
      if (found != frames_.front().front().end()) return found->second;
    }
    const auto found = globals_.find(name);
    return found == globals_.end() ? Value() : found->second;
  }

  void write(Text& out, const Text& piece) {
    out.append(piece);
    if (out.bytes.size() > limits_.max_output) {
      throw Error("the output grows beyond " + std::to_string(limits_.max_output) + " bytes");
    }
  }

  void execute(const Stmt& stmt, Text& out) {
    line_ = stmt.line;
    switch (stmt.kind) {
      case Stmt::Kind::Text: write(out, Text(stmt.text)); return;
      case Stmt::Kind::Output: write(out, evaluate(*stmt.expr).to_text()); return;
      case Stmt::Kind::If:
        for (size_t i = 0; i < stmt.bodies.size(); ++i) {
          if (i >= stmt.conditions.size() || evaluate(*stmt.conditions[i]).truthy()) {
            render(stmt.bodies[i], out);
            return;
          }
        }
        return;
      case Stmt::Kind::For: run_for(stmt, out); return;
      case Stmt::Kind::Set: run_set(stmt); return;
      case Stmt::Kind::Macro: frames_.back().back()[stmt.text] = make_macro(stmt); return;
      case Stmt::Kind::CallBlock: run_call_block(stmt, out); return;
      case Stmt::Kind::Break: throw LoopControl{true};
      case Stmt::Kind::Continue: throw LoopControl{false};
      case Stmt::Kind::Block: render(stmt.bodies[0], out); return;
    }
  }

  void run_for(const Stmt& stmt, Text& out) {
    List items = iterate(evaluate(*stmt.expr));
    if (stmt.condition) {
      // The filter runs before the loop, so loop.length counts what passes.
      List kept;
      for (Value& item : items) {
        budget_.spend();
        frames_.back().emplace_back();
        bind_targets(stmt, item);
        const bool keep = evaluate(*stmt.condition).truthy();
        frames_.back().pop_back();
        if (keep) kept.push_back(std::move(item));
      }
      items = std::move(kept);
    }
    if (items.empty()) {
      if (stmt.bodies.size() > 1) render(stmt.bodies[1], out);
      return;
    }
    const int64_t n = static_cast<int64_t>(items.size());
    for (int64_t i = 0; i < n; ++i) {
      budget_.spend();
      frames_.back().emplace_back();
      auto loop = std::make_shared<Dict>();
      loop->set("index", Value::of(i + 1));
      loop->set("index0", Value::of(i));
      loop->set("revindex", Value::of(n - i));
      loop->set("revindex0", Value::of(n - i - 1));
      loop->set("first", Value::of(i == 0));
      loop->set("last", Value::of(i == n - 1));
      loop->set("length", Value::of(n));
      loop->set("previtem", i > 0 ? items[static_cast<size_t>(i - 1)] : Value());
      loop->set("nextitem", i + 1 < n ? items[static_cast<size_t>(i + 1)] : Value());
      frames_.back().back()["loop"] = Value::of(std::move(loop));
      bind_targets(stmt, items[static_cast<size_t>(i)]);
      try {
        render(stmt.bodies[0], out);
      } catch (const LoopControl& control) {
        frames_.back().pop_back();
        if (control.is_break) return;
        continue;
      }
      frames_.back().pop_back();
    }
  }

  void bind_targets(const Stmt& stmt, const Value& item) {
    Scope& scope = frames_.back().back();
    if (stmt.targets.size() == 1) {
      scope[stmt.targets[0]] = item;
      return;
    }
    const List parts = iterate(item);
    if (parts.size() != stmt.targets.size()) {
      throw Error("cannot unpack " + std::to_string(parts.size()) + " values into " + std::to_string(stmt.targets.size()));
    }
    for (size_t i = 0; i < parts.size(); ++i) scope[stmt.targets[i]] = parts[i];
  }

  void run_set(const Stmt& stmt) {
    Value value;
    if (stmt.expr) {
      value = evaluate(*stmt.expr);
    } else {
      Text text;
      render(stmt.bodies[0], text);
      value = Value::of(std::move(text));
    }
    if (stmt.targets.size() == 1) {
      frames_.back().back()[stmt.targets[0]] = std::move(value);
      return;
    }
    const Value target = lookup(stmt.targets[0]);
    if (!target.is_dict() || !target.dict->is_namespace()) {
      throw Error("cannot set an attribute of '" + stmt.targets[0] + "', which is not a namespace()");
    }
    target.dict->set(stmt.targets[1], std::move(value));
  }

  // A macro: a function that renders its body with its parameters bound,
  // in a frame of its own over the template's top level.
  Value make_macro(const Stmt& stmt) {
    return function([this, &stmt](const Arguments& arguments) {
      Value caller;
      for (const auto& [name, value] : arguments.named) {
        if (name == "caller") caller = value;
      }
      return Value::of(call_body(stmt.parameters, stmt.bodies[0], arguments, caller));
    });
  }

  Text call_body(const std::vector<Parameter>& parameters, const Body& body, const Arguments& arguments,
                 const Value& caller) {
    if (frames_.size() > limits_.max_call_depth) {
      throw Error("macro calls nest deeper than " + std::to_string(limits_.max_call_depth));
    }
    Scope scope;
    for (size_t i = 0; i < parameters.size(); ++i) {
      const Value& given = arguments.get(i, parameters[i].name);
      scope[parameters[i].name] = !given.is_undefined()      ? given
                                  : parameters[i].default_value ? evaluate(*parameters[i].default_value)
                                                                : Value();
    }
    List extra;
    for (size_t i = parameters.size(); i < arguments.positional.size(); ++i) extra.push_back(arguments.positional[i]);
    scope["varargs"] = Value::of(std::move(extra));
    if (!caller.is_undefined()) scope["caller"] = caller;
    const size_t saved_line = line_;
    frames_.push_back({std::move(scope)});
    Text out;
    try {
      render(body, out);
    } catch (...) {
      frames_.pop_back();
      throw;
    }
    frames_.pop_back();
    line_ = saved_line;
    return out;
  }

  void run_call_block(const Stmt& stmt, Text& out) {
    // caller() renders the block's body with the caller's parameters.
    const Value caller = function([this, &stmt](const Arguments& arguments) {
      return Value::of(call_body(stmt.parameters, stmt.bodies[0], arguments, Value()));
    });
    const Expr& call = *stmt.expr;
    const Value callee = evaluate(*call.operands[0]);
    if (callee.kind != Value::Kind::Callable) throw Error("a call block needs a macro");
    Arguments arguments = evaluate_arguments(call, 1);
    // The macro sees caller() as a variable of its body.
    arguments.named.emplace_back("caller", caller);
    write(out, callee.callable->call(arguments).to_text());
  }

  Arguments evaluate_arguments(const Expr& expr, size_t first) {
    Arguments arguments;
    for (size_t i = first; i < expr.operands.size(); ++i) arguments.positional.push_back(evaluate(*expr.operands[i]));
    for (const auto& [name, value] : expr.named) arguments.named.emplace_back(name, evaluate(*value));
    return arguments;
  }

  Value evaluate(const Expr& expr) {
    line_ = expr.line;
    switch (expr.kind) {
      case Expr::Kind::Literal: return expr.value;
      case Expr::Kind::Name: return lookup(expr.name);
      case Expr::Kind::Attribute: {
        const Value target = evaluate(*expr.operands[0]);
        return subscript(target, Value::of(expr.name));
      }
      case Expr::Kind::Index: {
        const Value target = evaluate(*expr.operands[0]);
        return subscript(target, evaluate(*expr.operands[1]));
      }
      case Expr::Kind::Slice: {
        const Value target = evaluate(*expr.operands[0]);
        Value bounds[3];
        for (size_t i = 0; i < 3; ++i) {
          if (expr.operands[i + 1]) bounds[i] = evaluate(*expr.operands[i + 1]);
        }
        return slice(target, bounds[0], bounds[1], bounds[2], budget_);
      }
      case Expr::Kind::Call: return evaluate_call(expr);
      case Expr::Kind::Filter: {
        Arguments arguments = evaluate_arguments(expr, 0);
        return apply_filter(expr.name, arguments, budget_);
      }
      case Expr::Kind::Test: {
        Arguments arguments = evaluate_arguments(expr, 0);
        return Value::of(apply_test(expr.name, arguments) != expr.negated);
      }
      case Expr::Kind::Not: return Value::of(!evaluate(*expr.operands[0]).truthy());
      case Expr::Kind::Negate: {
        const Value value = evaluate(*expr.operands[0]);
        if (value.kind == Value::Kind::Int && value.integer != std::numeric_limits<int64_t>::min()) return Value::of(-value.integer);
        if (value.kind == Value::Kind::Float) return Value::of(-value.number);
        throw Error(std::string("cannot negate a ") + value.type_name());
      }
      case Expr::Kind::And: {
        Value left = evaluate(*expr.operands[0]);
        return left.truthy() ? evaluate(*expr.operands[1]) : left;
      }
      case Expr::Kind::Or: {
        Value left = evaluate(*expr.operands[0]);
        return left.truthy() ? left : evaluate(*expr.operands[1]);
      }
      case Expr::Kind::Conditional:
        if (evaluate(*expr.operands[1]).truthy()) return evaluate(*expr.operands[0]);
        return expr.operands[2] ? evaluate(*expr.operands[2]) : Value();
      case Expr::Kind::List: {
        List items;
        for (const auto& operand : expr.operands) items.push_back(evaluate(*operand));
        budget_.spend(items.size());
        return Value::of(std::move(items));
      }
      case Expr::Kind::Dict: {
        auto dict = std::make_shared<Dict>();
        for (size_t i = 0; i + 1 < expr.operands.size(); i += 2) {
          const Value key = evaluate(*expr.operands[i]);
          dict->set(key.to_text().bytes, evaluate(*expr.operands[i + 1]));
        }
        return Value::of(std::move(dict));
      }
      case Expr::Kind::Binary: return binary(expr.name, evaluate(*expr.operands[0]), evaluate(*expr.operands[1]));
    }
    return Value();
  }

  Value evaluate_call(const Expr& expr) {
    const Expr& callee = *expr.operands[0];
    if (callee.kind == Expr::Kind::Attribute) {
      const Value self = evaluate(*callee.operands[0]);
      if (has_method(self, callee.name)) {
        const Arguments arguments = evaluate_arguments(expr, 1);
        return call_method(self, callee.name, arguments, budget_);
      }
    }
    const Value function = evaluate(callee);
    if (function.kind != Value::Kind::Callable) {
      throw Error("'" + (callee.kind == Expr::Kind::Name || callee.kind == Expr::Kind::Attribute ? callee.name : "value") +
                  "' is not a function (" + function.type_name() + ")");
    }
    const Arguments arguments = evaluate_arguments(expr, 1);
    const size_t line = line_;
    Value result = function.callable->call(arguments);
    line_ = line;
    return result;
  }

  Value binary(const std::string& op, const Value& a, const Value& b) {
    if (op == "~") return concat(a.to_text(), b.to_text());
    if (op == "==") return Value::of(equal(a, b));
    if (op == "!=") return Value::of(!equal(a, b));
    if (op == "in" || op == "not in") return Value::of(contains(b, a) == (op == "in"));
    if (op == "<" || op == ">" || op == "<=" || op == ">=") {
      int order = 0;
      if (a.is_number() && b.is_number()) {
        order = a.as_double() < b.as_double() ? -1 : a.as_double() > b.as_double() ? 1 : 0;
      } else if (a.is_string() && b.is_string()) {
        order = a.str().compare(b.str());
      } else {
        throw Error(std::string("cannot compare a ") + a.type_name() + " with a " + b.type_name());
      }
      if (op == "<") return Value::of(order < 0);
      if (op == ">") return Value::of(order > 0);
      if (op == "<=") return Value::of(order <= 0);
      return Value::of(order >= 0);
    }
    if (op == "+") {
      if (a.is_string() && b.is_string()) return concat(*a.text, *b.text);
      if (a.is_list() && b.is_list()) {
        List items = *a.list;
        items.insert(items.end(), b.list->begin(), b.list->end());
        budget_.spend(items.size());
        return Value::of(std::move(items));
      }
    }
    if (op == "*" && (a.is_string() || a.is_list()) && b.kind == Value::Kind::Int) return repeat(a, b.integer);
    if (op == "*" && (b.is_string() || b.is_list()) && a.kind == Value::Kind::Int) return repeat(b, a.integer);
    if (a.kind == Value::Kind::Bool || b.kind == Value::Kind::Bool) {
      return binary(op, a.kind == Value::Kind::Bool ? Value::of(static_cast<int64_t>(a.boolean)) : a,
                    b.kind == Value::Kind::Bool ? Value::of(static_cast<int64_t>(b.boolean)) : b);
    }
    if (!a.is_number() || !b.is_number()) {
      throw Error("cannot apply '" + op + "' to a " + a.type_name() + " and a " + b.type_name());
    }
    return arithmetic(op, a, b);
  }

  Value concat(const Text& a, const Text& b) {
    budget_.check_text(a.bytes.size() + b.bytes.size());
    budget_.spend(a.bytes.size() + b.bytes.size());
    Text out = a;
    out.append(b);
    return Value::of(std::move(out));
  }

  Value repeat(const Value& value, int64_t times) {
    if (times <= 0) return value.is_string() ? Value::of("") : Value::of(List());
    const size_t unit = value.is_string() ? value.str().size() : value.list->size();
    if (unit && static_cast<uint64_t>(times) > limits_.max_output / unit) throw Error("a repetition grows too large");
    budget_.spend(unit * static_cast<size_t>(times));
    if (value.is_string()) {
      Text out;
      for (int64_t i = 0; i < times; ++i) out.append(*value.text);
      return Value::of(std::move(out));
    }
    List items;
    for (int64_t i = 0; i < times; ++i) items.insert(items.end(), value.list->begin(), value.list->end());
    return Value::of(std::move(items));
  }

  static bool contains(const Value& container, const Value& item) {
    if (container.is_string()) {
      if (!item.is_string()) throw Error("'in <string>' needs a string on the left");
      return container.str().find(item.str()) != std::string::npos;
    }
    if (container.is_dict()) return item.is_string() && container.dict->find(item.str()) != nullptr;
    if (container.is_list()) {
      for (const Value& element : *container.list) {
        if (equal(element, item)) return true;
      }
      return false;
    }
    if (container.is_undefined() || container.is_none()) return false;
    throw Error(std::string("cannot look inside a ") + container.type_name());
  }

  static Value arithmetic(const std::string& op, const Value& a, const Value& b) {
    if (a.kind == Value::Kind::Int && b.kind == Value::Kind::Int && op != "/") {
      const int64_t x = a.integer;
      const int64_t y = b.integer;
      int64_t r = 0;
      bool overflow = false;
      if (op == "+") overflow = __builtin_add_overflow(x, y, &r);
      if (op == "-") overflow = __builtin_sub_overflow(x, y, &r);
      if (op == "*") overflow = __builtin_mul_overflow(x, y, &r);
      if (op == "//" || op == "%") {
        if (y == 0) throw Error("division by zero");
        if (x == std::numeric_limits<int64_t>::min() && y == -1) throw Error("integer overflow");
        int64_t q = x / y;
        int64_t m = x % y;
        if (m != 0 && ((m < 0) != (y < 0))) {
          --q;
          m += y;
        }
        r = op == "//" ? q : m;
      }
      if (op == "**") {
        if (y < 0) return Value::of(std::pow(static_cast<double>(x), static_cast<double>(y)));
        r = 1;
        for (int64_t i = 0; i < y && !overflow; ++i) {
          overflow = __builtin_mul_overflow(r, x, &r);
          if (r == 0 || r == 1) break;
        }
        if (x == -1) r = y % 2 ? -1 : 1;
      }
      if (overflow) throw Error("integer overflow");
      return Value::of(r);
    }
    const double x = a.as_double();
    const double y = b.as_double();
    if (op == "+") return Value::of(x + y);
    if (op == "-") return Value::of(x - y);
    if (op == "*") return Value::of(x * y);
    if (op == "**") return Value::of(std::pow(x, y));
    if (y == 0) throw Error("division by zero");
    if (op == "/") return Value::of(x / y);
    if (op == "//") return Value::of(std::floor(x / y));
    const double m = std::fmod(x, y);
    return Value::of(m != 0 && ((m < 0) != (y < 0)) ? m + y : m);
  }

  const Limits& limits_;
  Budget budget_;
  Scope globals_;
  std::vector<Frame> frames_;
  size_t line_ = 1;
};

}  // namespace

Template::Template(const std::string& source, std::string origin) : origin_(std::move(origin)), body_(parse(source, origin_)) {}
Template::~Template() = default;
Template::Template(Template&&) noexcept = default;
Template& Template::operator=(Template&&) noexcept = default;

Rendered Template::render(const nlohmann::ordered_json& data, const nlohmann::ordered_json& settings,
                          const Limits& limits) const {
  Evaluator evaluator(limits);
  Text out;
  try {
    for (const auto& [name, value] : settings.items()) evaluator.top()[name] = Value::from_json(value, false);
    for (const auto& [name, value] : data.items()) evaluator.top()[name] = Value::from_json(value, true);
    evaluator.render(body_, out);
  } catch (const Error& error) {
    minilog::fail_with(origin_, ":", evaluator.line(), ": ", error.what());
  } catch (const LoopControl&) {
    minilog::fail_with(origin_, ":", evaluator.line(), ": break or continue outside a loop");
  }
  Rendered rendered;
  rendered.text = std::move(out.bytes);
  for (size_t i = 0; i < out.data.size();) {
    if (!out.data[i]) {
      ++i;
      continue;
    }
    const size_t begin = i;
    while (i < out.data.size() && out.data[i]) ++i;
    rendered.data_ranges.emplace_back(begin, i);
  }
  return rendered;
}

}  // namespace llmrun::jinja
