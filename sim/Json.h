// Simulator-only (not driver code): a small JSON reader and writer for device profiles. Errors
// are one line with the line and column where the text went wrong.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sim::json {

struct Member;

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type Kind = Type::Null;
    bool Bool = false;
    double Number = 0;
    bool Integer = false;  // the number was written without fraction or exponent
    int64_t IntegerValue = 0;
    std::string String;
    std::vector<Value> Array;
    std::vector<Member> Object;  // in document order
    int Line = 0;
    int Column = 0;

    const Value* Find(const std::string& key) const;
};

// One member of an object (a pair would need Value complete where Value is declared).
struct Member {
    Member(std::string key, Value value) : first(std::move(key)), second(std::move(value)) {}
    std::string first;
    Value second;
};

// Parses a whole document; std::nullopt and a one-line *error on failure.
std::optional<Value> Parse(const std::string& text, std::string* error);

// Text of a string literal, quoted and escaped.
std::string Quote(const std::string& text);

}  // namespace sim::json
