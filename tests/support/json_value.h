// A small strict JSON parser (RFC 8259) for checking what the library writes.
#ifndef TESTS_JSON_VALUE_H
#define TESTS_JSON_VALUE_H

#include <string>
#include <utility>
#include <vector>

struct JsonValue {
    enum class Type { Null, Boolean, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string string;                                      // UTF-8, escapes decoded
    std::vector<JsonValue> elements;                         // of an array
    std::vector<std::pair<std::string, JsonValue>> members;  // in order of appearance

    // The member named key of an object, or null.
    const JsonValue* find(const std::string& key) const;
};

// Parses text as exactly one JSON value with optional surrounding white
// space. Everything it accepts is valid RFC 8259 JSON: it rejects NaN,
// infinities, leading zeros, trailing commas, raw control characters and
// invalid UTF-8, and, stricter than the RFC, duplicate member names and
// surrogate escapes (the library writes neither). On
// failure returns false with a description and the byte offset in *error.
bool parse_json(const std::string& text, JsonValue* value, std::string* error);

#endif
