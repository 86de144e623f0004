// The filters, tests and methods templates may use, and the bounds that keep
// a rendering small and short.
#pragma once

#include <string>

#include "src/llm/jinja/value.h"

namespace llmrun::jinja {

// Counts the work of one rendering against its bounds; throws an Error past
// them.
class Budget {
 public:
  Budget(size_t max_steps, size_t max_text) : max_steps_(max_steps), max_text_(max_text) {}
  // One loop iteration, or building `items` items or bytes.
  void spend(size_t items = 1);
  // A string of `size` bytes is about to be made.
  void check_text(size_t size) const;
  size_t max_text() const { return max_text_; }

 private:
  size_t steps_ = 0;
  size_t max_steps_;
  size_t max_text_;
};

// Evaluates {{ value | name(arguments) }}; arguments.positional[0] is the value.
Value apply_filter(const std::string& name, const Arguments& arguments, Budget& budget);
// Evaluates "value is name(arguments)"; arguments.positional[0] is the value.
bool apply_test(const std::string& name, const Arguments& arguments);
// Whether `self` has a method `name` (string and dictionary methods).
bool has_method(const Value& self, const std::string& name);
Value call_method(const Value& self, const std::string& name, const Arguments& arguments, Budget& budget);

// Python's slicing of strings (by character) and lists; absent bounds are
// undefined values.
Value slice(const Value& target, const Value& start, const Value& stop, const Value& step, Budget& budget);
// target[index] for lists (negative from the end), strings and dictionaries;
// undefined when absent.
Value subscript(const Value& target, const Value& index);
// The length as Python counts it (characters of a string).
size_t length_of(const Value& value);
// The items a for loop visits: a list's items, a dictionary's keys, a
// string's characters.
List iterate(const Value& value);

}  // namespace llmrun::jinja
