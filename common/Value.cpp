#include "common/Value.h"

#include <cmath>
#include <utility>

namespace tavrin {

std::optional<std::string> asString(const Value& value) {
    if (value.is_string())
        return value.get<std::string>();
    return std::nullopt;
}

std::optional<double> asNumber(const Value& value) {
    // nlohmann keeps booleans apart from numbers, so is_number() never accepts one.
    if (value.is_number())
        return value.get<double>();
    return std::nullopt;
}

std::optional<Dictionary> asDictionary(const Value& value) {
    if (value.is_object())
        return value;
    return std::nullopt;
}

std::optional<std::vector<Dictionary>> asArrayOfDictionaries(const Value& value) {
    if (!value.is_array())
        return std::nullopt;
    std::vector<Dictionary> result;
    result.reserve(value.size());
    for (const auto& element : value) {
        if (!element.is_object())
            return std::nullopt;
        result.push_back(element);
    }
    return result;
}

const Value* lookup(const Value& dictionary, std::string_view key) {
    if (!dictionary.is_object())
        return nullptr;
    auto it = dictionary.find(key);
    return it == dictionary.end() ? nullptr : &*it;
}

std::optional<std::string> stringFor(const Value& dictionary, std::string_view key) {
    const Value* v = lookup(dictionary, key);
    return v ? asString(*v) : std::nullopt;
}

std::optional<double> numberFor(const Value& dictionary, std::string_view key) {
    const Value* v = lookup(dictionary, key);
    return v ? asNumber(*v) : std::nullopt;
}

std::optional<Dictionary> dictionaryFor(const Value& dictionary, std::string_view key) {
    const Value* v = lookup(dictionary, key);
    return v ? asDictionary(*v) : std::nullopt;
}

std::optional<std::vector<Dictionary>> arrayOfDictionariesFor(const Value& dictionary,
                                                              std::string_view key) {
    const Value* v = lookup(dictionary, key);
    return v ? asArrayOfDictionaries(*v) : std::nullopt;
}

namespace {

// True when every number inside is finite. Iterative to stay safe on deep values.
bool allNumbersFinite(const Value& root) {
    std::vector<const Value*> stack{&root};
    while (!stack.empty()) {
        const Value* v = stack.back();
        stack.pop_back();
        if (v->is_number_float()) {
            if (!std::isfinite(v->get<double>()))
                return false;
        } else if (v->is_structured()) {
            for (const auto& child : *v)
                stack.push_back(&child);
        }
    }
    return true;
}

} // namespace

int nestingDepth(const Value& root) {
    int deepest = 0;
    std::vector<std::pair<const Value*, int>> stack{{&root, 0}};
    while (!stack.empty()) {
        auto [v, depth] = stack.back();
        stack.pop_back();
        if (v->is_structured()) {
            deepest = std::max(deepest, depth + 1);
            for (const auto& child : *v)
                stack.emplace_back(&child, depth + 1);
        }
    }
    return deepest;
}

std::optional<std::string> writeJSON(const Value& value) {
    if (!allNumbersFinite(value))
        return std::nullopt;
    try {
        // The serializer recurses; refuse values deep enough to threaten the stack.
        if (nestingDepth(value) > 10000)
            return std::nullopt;
        return value.dump(-1, ' ', false, Value::error_handler_t::strict);
    } catch (const nlohmann::json::exception&) {
        return std::nullopt; // invalid UTF-8 in a string
    }
}

std::optional<Value> parseJSON(std::string_view text, int maxDepth) {
    // Check the nesting before parsing: the parser itself is recursive in places
    // (destruction of deep values), so deep input is refused up front.
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"')
            inString = true;
        else if (c == '[' || c == '{') {
            if (++depth > maxDepth)
                return std::nullopt;
        } else if (c == ']' || c == '}')
            --depth;
    }
    try {
        return Value::parse(text.begin(), text.end());
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

} // namespace tavrin
