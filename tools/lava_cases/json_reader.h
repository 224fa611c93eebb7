// A small JSON reader for one line of a report stream: strict RFC 8259,
// bounded nesting, never reads past its input, whatever the bytes.
#ifndef LAVA_CASES_JSON_READER_H
#define LAVA_CASES_JSON_READER_H

#include <string>
#include <utility>
#include <vector>

struct JsonNode {
    enum class Type { NUL, BOOLEAN, NUMBER, STRING, ARRAY, OBJECT };
    Type type = Type::NUL;
    bool boolean = false;
    double number = 0;
    std::string text;                                       // a string, escapes decoded (UTF-8)
    std::vector<JsonNode> items;                            // of an array
    std::vector<std::pair<std::string, JsonNode>> members;  // of an object, in order

    // The first member called key of an object, or null.
    const JsonNode* member(const std::string& key) const;
};

// Deepest nesting of arrays and objects read_json accepts.
constexpr int JSON_MAX_DEPTH = 64;

// Reads text as one JSON value, white space around it allowed. False with a
// message that names the byte offset in *error when text is no such value.
bool read_json(const std::string& text, JsonNode* node, std::string* error);

#endif
