// A small JSON reader: strict RFC 8259 (UTF-8 text, no NaN, infinities,
// leading zeros, trailing commas or raw control characters), bounded
// nesting, never reads past its input, whatever the bytes.
#ifndef TOOLS_COMMON_JSON_READER_H
#define TOOLS_COMMON_JSON_READER_H

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

// What read_json refuses beyond RFC 8259. A \u escape of half a surrogate
// pair without its other half is always refused: it stands for no character.
struct JsonRules {
    bool unique_members = false;        // an object may not name a member twice
    bool no_surrogate_escapes = false;  // not even a whole pair: characters past U+FFFF raw
};

// Both refusals: for text from a writer known to produce neither, such as
// the timing library's reports.
constexpr JsonRules JSON_STRICT{true, true};

// Reads text as one JSON value, white space around it allowed. False with a
// message that names the byte offset in *error when text is no such value.
bool read_json(const std::string& text, JsonNode* node, std::string* error,
               const JsonRules& rules = JsonRules{});

#endif
