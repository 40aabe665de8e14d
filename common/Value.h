#pragma once
// Property-list values: string, integer, floating number, boolean, array,
// string-keyed dictionary, and null (the system's NSNull).
//
// Integer and floating numbers stay distinct and a boolean is never a number.
// Every place that reads a key uses one of the helpers below, so the rule for
// "a string", "a number", "a dictionary" is the same everywhere.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin {

using Value = nlohmann::json;
// A string-keyed dictionary of property-list values (a Value holding an object).
using Dictionary = nlohmann::json;

// "As a string": the value if it is a string.
std::optional<std::string> asString(const Value& value);
// "As a number": an integer or floating number as a double; never a boolean.
std::optional<double> asNumber(const Value& value);
// "As a dictionary": the value if it is a string-keyed dictionary.
std::optional<Dictionary> asDictionary(const Value& value);
// "As an array of dictionaries": the value if it is an array whose every
// element is a dictionary (an empty array qualifies).
std::optional<std::vector<Dictionary>> asArrayOfDictionaries(const Value& value);

// The same rules applied to dictionary[key]. A dictionary that is not an object,
// or a missing key, gives no value.
const Value* lookup(const Value& dictionary, std::string_view key);
std::optional<std::string> stringFor(const Value& dictionary, std::string_view key);
std::optional<double> numberFor(const Value& dictionary, std::string_view key);
std::optional<Dictionary> dictionaryFor(const Value& dictionary, std::string_view key);
std::optional<std::vector<Dictionary>> arrayOfDictionariesFor(const Value& dictionary,
                                                              std::string_view key);

// Writes a value as compact JSON text. Fails (no value) where JSON cannot
// express it: a non-finite number anywhere inside, or a string that is not
// valid UTF-8. Top-level scalars are allowed.
std::optional<std::string> writeJSON(const Value& value);

// Parses JSON text. Fails (no value) on anything that is not exactly one JSON
// value, on invalid UTF-8, and on nesting deeper than maxDepth (so hostile
// input cannot exhaust the stack).
std::optional<Value> parseJSON(std::string_view text, int maxDepth = 512);

// Nesting depth of a value (a scalar is 0, [] is 1). Iterative, so it is safe
// on any value, however deep.
int nestingDepth(const Value& value);

} // namespace tavrin
