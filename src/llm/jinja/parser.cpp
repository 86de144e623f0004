#include "src/llm/jinja/parser.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "src/llm/jinja/lexer.h"
#include "src/utils/guard.h"

namespace llmrun::jinja {

namespace {

// Deep nesting would exhaust the stack of this recursive parser (and of the
// evaluator after it); real templates nest a few levels.
constexpr size_t kMaxNesting = 200;

class Parser {
 public:
  Parser(std::vector<Token> tokens, const std::string& origin) : tokens_(std::move(tokens)), origin_(origin) {}

  Body parse_all() {
    std::string end;
    Body body = parse_body({}, end);
    return body;
  }

 private:
  using Kind = Token::Kind;

  const Token& peek(size_t ahead = 0) const { return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)]; }
  const Token& next() {
    const Token& token = peek();
    if (pos_ < tokens_.size() - 1) ++pos_;
    return token;
  }
  [[noreturn]] void fail(const std::string& what) const { fail_at(peek().line, what); }
  [[noreturn]] void fail_at(size_t line, const std::string& what) const {
    minilog::fail_with(origin_, ":", line, ": ", what);
  }
  bool is_op(const char* op, size_t ahead = 0) const { return peek(ahead).kind == Kind::Operator && peek(ahead).text == op; }
  bool is_name(const char* name, size_t ahead = 0) const { return peek(ahead).kind == Kind::Name && peek(ahead).text == name; }
  bool accept_op(const char* op) {
    if (!is_op(op)) return false;
    next();
    return true;
  }
  bool accept_name(const char* name) {
    if (!is_name(name)) return false;
    next();
    return true;
  }
  void expect_op(const char* op) {
    if (!accept_op(op)) fail(std::string("expected '") + op + "'" + found());
  }
  std::string expect_name() {
    if (peek().kind != Kind::Name) fail("expected a name" + found());
    return next().text;
  }
  void expect_block_close() {
    if (peek().kind != Kind::BlockClose) fail("expected the end of the tag" + found());
    next();
  }
  std::string found() const {
    switch (peek().kind) {
      case Kind::End: return ", found the end of the template";
      case Kind::BlockClose: case Kind::OutputClose: return ", found the end of the tag";
      default: return ", found '" + peek().text + "'";
    }
  }

  struct Nesting {
    explicit Nesting(Parser& parser) : parser_(parser) {
      if (++parser_.nesting_ > kMaxNesting) parser_.fail("the template nests too deeply");
    }
    ~Nesting() { --parser_.nesting_; }
    Parser& parser_;
  };

  // Statements up to one of the `ends` block tags (whose name is stored in
  // `end`, its tag's name consumed) or the end of the template when `ends`
  // is empty.
  Body parse_body(const std::vector<const char*>& ends, std::string& end) {
    Nesting nesting(*this);
    Body body;
    const size_t start_line = tokens_[pos_ > 0 ? pos_ - 1 : 0].line;  // the opening tag's end
    while (true) {
      const Token& token = peek();
      switch (token.kind) {
        case Kind::End:
          if (!ends.empty()) fail_at(start_line, std::string("a block is not closed (expected {% ") + ends.back() + " %})");
          return body;
        case Kind::Text: {
          auto text = std::make_unique<Stmt>(Stmt::Kind::Text, token.line);
          text->text = next().text;
          body.push_back(std::move(text));
          break;
        }
        case Kind::OutputOpen: {
          auto output = std::make_unique<Stmt>(Stmt::Kind::Output, next().line);
          output->expr = parse_expression();
          if (peek().kind != Kind::OutputClose) fail("expected '}}'" + found());
          next();
          body.push_back(std::move(output));
          break;
        }
        case Kind::BlockOpen: {
          const Token& keyword = peek(1);
          for (const char* name : ends) {
            if (keyword.kind == Kind::Name && keyword.text == name) {
              next();
              end = next().text;
              return body;
            }
          }
          next();
          body.push_back(parse_statement());
          break;
        }
        default: fail("unexpected '" + token.text + "'");
      }
    }
  }

  std::unique_ptr<Stmt> parse_statement() {
    const size_t line = peek().line;
    const std::string keyword = expect_name();
    if (keyword == "if") return parse_if(line);
    if (keyword == "for") return parse_for(line);
    if (keyword == "set") return parse_set(line);
    if (keyword == "macro") return parse_macro(line);
    if (keyword == "call") return parse_call_block(line);
    if (keyword == "break" || keyword == "continue") {
      expect_block_close();
      return std::make_unique<Stmt>(keyword == "break" ? Stmt::Kind::Break : Stmt::Kind::Continue, line);
    }
    if (keyword == "generation") {
      expect_block_close();
      auto block = std::make_unique<Stmt>(Stmt::Kind::Block, line);
      std::string end;
      block->bodies.push_back(parse_body({"endgeneration"}, end));
      expect_block_close();
      return block;
    }
    fail_at(line, "unknown tag '" + keyword + "'");
  }

  std::unique_ptr<Stmt> parse_if(size_t line) {
    auto stmt = std::make_unique<Stmt>(Stmt::Kind::If, line);
    stmt->conditions.push_back(parse_expression());
    expect_block_close();
    while (true) {
      std::string end;
      stmt->bodies.push_back(parse_body({"elif", "else", "endif"}, end));
      if (end == "endif") break;
      if (end == "elif") {
        stmt->conditions.push_back(parse_expression());
        expect_block_close();
        continue;
      }
      expect_block_close();
      stmt->bodies.push_back(parse_body({"endif"}, end));
      break;
    }
    expect_block_close();
    return stmt;
  }

  std::unique_ptr<Stmt> parse_for(size_t line) {
    auto stmt = std::make_unique<Stmt>(Stmt::Kind::For, line);
    const bool parenthesised = accept_op("(");
    do {
      stmt->targets.push_back(expect_name());
    } while (accept_op(","));
    if (parenthesised) expect_op(")");
    if (!accept_name("in")) fail("expected 'in'" + found());
    stmt->expr = parse_or_conditional(false);
    if (accept_name("if")) stmt->condition = parse_or_conditional(false);
    accept_name("recursive");
    expect_block_close();
    std::string end;
    stmt->bodies.push_back(parse_body({"else", "endfor"}, end));
    if (end == "else") {
      expect_block_close();
      stmt->bodies.push_back(parse_body({"endfor"}, end));
    }
    expect_block_close();
    return stmt;
  }

  std::unique_ptr<Stmt> parse_set(size_t line) {
    auto stmt = std::make_unique<Stmt>(Stmt::Kind::Set, line);
    stmt->targets.push_back(expect_name());
    if (accept_op(".")) stmt->targets.push_back(expect_name());
    if (accept_op("=")) {
      stmt->expr = parse_expression();
      expect_block_close();
      return stmt;
    }
    if (stmt->targets.size() != 1) fail("expected '='" + found());
    expect_block_close();
    std::string end;
    stmt->bodies.push_back(parse_body({"endset"}, end));
    expect_block_close();
    return stmt;
  }

  std::vector<Parameter> parse_parameters() {
    std::vector<Parameter> parameters;
    expect_op("(");
    while (!accept_op(")")) {
      if (!parameters.empty()) expect_op(",");
      if (accept_op(")")) break;
      Parameter parameter;
      parameter.name = expect_name();
      if (accept_op("=")) parameter.default_value = parse_expression();
      parameters.push_back(std::move(parameter));
    }
    return parameters;
  }

  std::unique_ptr<Stmt> parse_macro(size_t line) {
    auto stmt = std::make_unique<Stmt>(Stmt::Kind::Macro, line);
    stmt->text = expect_name();
    stmt->parameters = parse_parameters();
    expect_block_close();
    std::string end;
    stmt->bodies.push_back(parse_body({"endmacro"}, end));
    if (peek().kind == Kind::Name) next();  // {% endmacro name %}
    expect_block_close();
    return stmt;
  }

  std::unique_ptr<Stmt> parse_call_block(size_t line) {
    auto stmt = std::make_unique<Stmt>(Stmt::Kind::CallBlock, line);
    if (is_op("(")) stmt->parameters = parse_parameters();
    stmt->expr = parse_expression();
    if (stmt->expr->kind != Expr::Kind::Call) fail_at(line, "a call block needs a macro call");
    expect_block_close();
    std::string end;
    stmt->bodies.push_back(parse_body({"endcall"}, end));
    expect_block_close();
    return stmt;
  }

  ExprPtr make(Expr::Kind kind, size_t line, std::vector<ExprPtr> operands = {}) {
    auto expr = std::make_unique<Expr>(kind, line);
    expr->operands = std::move(operands);
    return expr;
  }

  std::vector<ExprPtr> pair(ExprPtr a, ExprPtr b) {
    std::vector<ExprPtr> operands;
    operands.push_back(std::move(a));
    operands.push_back(std::move(b));
    return operands;
  }

  // A whole expression (bare tuples such as "a, b" are left out: chat
  // templates write them in parentheses).
  ExprPtr parse_expression() { return parse_or_conditional(true); }

  ExprPtr parse_or_conditional(bool with_conditional) {
    Nesting nesting(*this);
    ExprPtr expr = parse_or();
    while (with_conditional && is_name("if")) {
      const size_t line = next().line;
      ExprPtr condition = parse_or();
      ExprPtr otherwise = accept_name("else") ? parse_or_conditional(true) : nullptr;
      auto cond = make(Expr::Kind::Conditional, line, pair(std::move(expr), std::move(condition)));
      cond->operands.push_back(std::move(otherwise));
      expr = std::move(cond);
    }
    return expr;
  }

  ExprPtr parse_or() {
    ExprPtr expr = parse_and();
    while (is_name("or")) {
      const size_t line = next().line;
      expr = make(Expr::Kind::Or, line, pair(std::move(expr), parse_and()));
    }
    return expr;
  }

  ExprPtr parse_and() {
    ExprPtr expr = parse_not();
    while (is_name("and")) {
      const size_t line = next().line;
      expr = make(Expr::Kind::And, line, pair(std::move(expr), parse_not()));
    }
    return expr;
  }

  ExprPtr parse_not() {
    if (is_name("not")) {
      Nesting nesting(*this);
      const size_t line = next().line;
      std::vector<ExprPtr> operand;
      operand.push_back(parse_not());
      return make(Expr::Kind::Not, line, std::move(operand));
    }
    return parse_compare();
  }

  ExprPtr binary(const std::string& op, size_t line, ExprPtr a, ExprPtr b) {
    auto expr = make(Expr::Kind::Binary, line, pair(std::move(a), std::move(b)));
    expr->name = op;
    return expr;
  }

  ExprPtr parse_compare() {
    ExprPtr expr = parse_arithmetic();
    while (true) {
      const size_t line = peek().line;
      std::string op;
      for (const char* candidate : {"==", "!=", "<", ">", "<=", ">="}) {
        if (is_op(candidate)) op = candidate;
      }
      if (!op.empty()) {
        next();
      } else if (is_name("in")) {
        next();
        op = "in";
      } else if (is_name("not") && is_name("in", 1)) {
        next();
        next();
        op = "not in";
      } else {
        return expr;
      }
      expr = binary(op, line, std::move(expr), parse_arithmetic());
    }
  }

  // The arithmetic levels, loosest first: + -, then ~, then * / // %,
  // then **; each is left-associative over the next.
  ExprPtr parse_arithmetic(size_t level = 0) {
    static const std::vector<std::vector<const char*>> kLevels = {{"+", "-"}, {"~"}, {"*", "/", "//", "%"}, {"**"}};
    if (level == kLevels.size()) return parse_unary();
    ExprPtr expr = parse_arithmetic(level + 1);
    while (true) {
      const auto& ops = kLevels[level];
      const auto op = std::find_if(ops.begin(), ops.end(), [&](const char* candidate) { return is_op(candidate); });
      if (op == ops.end()) return expr;
      const size_t line = next().line;
      expr = binary(*op, line, std::move(expr), parse_arithmetic(level + 1));
    }
  }

  ExprPtr parse_unary() {
    if (is_op("-") || is_op("+")) {
      Nesting nesting(*this);
      const Token& op = next();
      std::vector<ExprPtr> operand;
      operand.push_back(parse_unary());
      if (op.text == "+") return std::move(operand[0]);
      return make(Expr::Kind::Negate, op.line, std::move(operand));
    }
    return parse_filters(parse_postfix(parse_primary()));
  }

  // Arguments of a call, filter or test: positional, then name=value.
  void parse_arguments(Expr& expr) {
    expect_op("(");
    while (!accept_op(")")) {
      if (!expr.operands.empty() || !expr.named.empty()) expect_op(",");
      if (accept_op(")")) break;
      if (peek().kind == Kind::Name && is_op("=", 1)) {
        std::string name = next().text;
        next();
        expr.named.emplace_back(std::move(name), parse_expression());
      } else {
        expr.operands.push_back(parse_expression());
      }
    }
  }

  ExprPtr parse_postfix(ExprPtr expr) {
    while (true) {
      const size_t line = peek().line;
      if (accept_op(".")) {
        auto attribute = make(Expr::Kind::Attribute, line);
        if (peek().kind == Kind::Integer) {
          // a.0 is the first item, as in Jinja.
          auto index = make(Expr::Kind::Index, line);
          index->operands.push_back(std::move(expr));
          index->operands.push_back(literal(Value::of(static_cast<int64_t>(std::strtoll(next().text.c_str(), nullptr, 10))), line));
          expr = std::move(index);
          continue;
        }
        attribute->name = expect_name();
        attribute->operands.push_back(std::move(expr));
        expr = std::move(attribute);
      } else if (is_op("[")) {
        next();
        expr = parse_subscript(std::move(expr), line);
      } else if (is_op("(")) {
        auto call = make(Expr::Kind::Call, line);
        // The callee sits apart from the arguments: it is operand 0 and the
        // arguments follow it.
        auto arguments = make(Expr::Kind::Call, line);
        parse_arguments(*arguments);
        call->operands.push_back(std::move(expr));
        for (auto& argument : arguments->operands) call->operands.push_back(std::move(argument));
        call->named = std::move(arguments->named);
        expr = std::move(call);
      } else {
        return expr;
      }
    }
  }

  ExprPtr parse_subscript(ExprPtr target, size_t line) {
    ExprPtr parts[3];
    size_t part = 0;
    bool is_slice = false;
    while (!accept_op("]")) {
      if (accept_op(":")) {
        is_slice = true;
        if (++part > 2) fail("a slice has at most three parts");
        continue;
      }
      if (parts[part]) fail("expected ']'" + found());
      parts[part] = parse_expression();
    }
    if (!is_slice) {
      if (!parts[0]) fail_at(line, "an empty subscript");
      return make(Expr::Kind::Index, line, pair(std::move(target), std::move(parts[0])));
    }
    auto slice = make(Expr::Kind::Slice, line);
    slice->operands.push_back(std::move(target));
    for (auto& p : parts) slice->operands.push_back(std::move(p));
    return slice;
  }

  ExprPtr parse_filters(ExprPtr expr) {
    while (true) {
      const size_t line = peek().line;
      if (accept_op("|")) {
        auto filter = make(Expr::Kind::Filter, line);
        filter->name = expect_name();
        filter->operands.push_back(std::move(expr));
        if (is_op("(")) parse_filter_arguments(*filter);
        expr = std::move(filter);
      } else if (is_name("is")) {
        next();
        auto test = make(Expr::Kind::Test, line);
        test->negated = accept_name("not");
        test->name = expect_name();
        test->operands.push_back(std::move(expr));
        if (is_op("(")) {
          parse_filter_arguments(*test);
        } else if (starts_operand()) {
          // "x is divisibleby 3", "x is equalto y": one argument without parentheses.
          test->operands.push_back(parse_postfix(parse_primary()));
        }
        expr = std::move(test);
      } else {
        return expr;
      }
    }
  }

  bool starts_operand() const {
    const Token& token = peek();
    if (token.kind == Kind::String || token.kind == Kind::Integer || token.kind == Kind::Float) return true;
    if (token.kind != Kind::Name) return false;
    for (const char* keyword : {"and", "or", "if", "else", "in", "not", "is"}) {
      if (token.text == keyword) return false;
    }
    return true;
  }

  // Filter and test arguments follow the value, which is operand 0.
  void parse_filter_arguments(Expr& expr) {
    auto arguments = make(Expr::Kind::Call, expr.line);
    parse_arguments(*arguments);
    for (auto& argument : arguments->operands) expr.operands.push_back(std::move(argument));
    expr.named = std::move(arguments->named);
  }

  ExprPtr literal(Value value, size_t line) {
    auto expr = make(Expr::Kind::Literal, line);
    expr->value = std::move(value);
    return expr;
  }

  ExprPtr parse_primary() {
    Nesting nesting(*this);
    const Token& token = peek();
    const size_t line = token.line;
    switch (token.kind) {
      case Kind::String: {
        std::string text = next().text;
        while (peek().kind == Kind::String) text += next().text;  // adjacent literals join
        return literal(Value::of(std::move(text)), line);
      }
      case Kind::Integer: {
        errno = 0;
        const long long value = std::strtoll(token.text.c_str(), nullptr, 10);
        if (errno == ERANGE) fail("the integer " + token.text + " is too large");
        next();
        return literal(Value::of(static_cast<int64_t>(value)), line);
      }
      case Kind::Float: return literal(Value::of(std::strtod(next().text.c_str(), nullptr)), line);
      case Kind::Name: {
        const std::string name = next().text;
        if (name == "true" || name == "True") return literal(Value::of(true), line);
        if (name == "false" || name == "False") return literal(Value::of(false), line);
        if (name == "none" || name == "None") return literal(Value::none(), line);
        auto expr = make(Expr::Kind::Name, line);
        expr->name = name;
        return expr;
      }
      case Kind::Operator:
        if (accept_op("(")) {
          if (accept_op(")")) return make(Expr::Kind::List, line);
          ExprPtr inner = parse_expression();
          if (is_op(",")) {
            auto tuple = make(Expr::Kind::List, line);
            tuple->operands.push_back(std::move(inner));
            while (accept_op(",")) {
              if (is_op(")")) break;
              tuple->operands.push_back(parse_expression());
            }
            inner = std::move(tuple);
          }
          expect_op(")");
          return inner;
        }
        if (accept_op("[")) {
          auto list = make(Expr::Kind::List, line);
          while (!accept_op("]")) {
            if (!list->operands.empty()) expect_op(",");
            if (accept_op("]")) break;
            list->operands.push_back(parse_expression());
          }
          return list;
        }
        if (accept_op("{")) {
          auto dict = make(Expr::Kind::Dict, line);
          while (!accept_op("}")) {
            if (!dict->operands.empty()) expect_op(",");
            if (accept_op("}")) break;
            dict->operands.push_back(parse_expression());
            expect_op(":");
            dict->operands.push_back(parse_expression());
          }
          return dict;
        }
        break;
      default: break;
    }
    fail("expected a value" + found());
  }

  std::vector<Token> tokens_;
  const std::string& origin_;
  size_t pos_ = 0;
  size_t nesting_ = 0;
};

}  // namespace

Body parse(const std::string& source, const std::string& origin) {
  return Parser(tokenize(source, origin), origin).parse_all();
}

}  // namespace llmrun::jinja
