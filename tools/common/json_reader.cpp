#include "json_reader.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <utility>

const JsonNode* JsonNode::member(const std::string& key) const {
    for (const auto& m : members) {
        if (m.first == key) return &m.second;
    }
    return nullptr;
}

namespace {

struct Reader {
    const std::string& text;
    const JsonRules& rules;
    size_t at = 0;
    std::string problem;

    bool fail(const std::string& what) {
        if (problem.empty()) problem = what + " at byte " + std::to_string(at);
        return false;
    }
    bool more() const { return at < text.size(); }
    char peek() const { return more() ? text[at] : '\0'; }

    void skip_space() {
        while (more() &&
               (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) {
            ++at;
        }
    }

    bool literal(const char* word) {
        size_t i = 0;
        for (; word[i] != '\0'; ++i) {
            if (at + i >= text.size() || text[at + i] != word[i]) return fail("unknown word");
        }
        at += i;
        return true;
    }

    bool digits() {
        const size_t from = at;
        while (more() && text[at] >= '0' && text[at] <= '9') ++at;
        return at > from;
    }

    bool number(JsonNode* node) {
        const size_t from = at;
        if (peek() == '-') ++at;
        if (peek() == '0') {
            ++at;
        } else if (!digits()) {
            return fail("bad number");
        }
        if (peek() == '.') {
            ++at;
            if (!digits()) return fail("bad fraction");
        }
        if (peek() == 'e' || peek() == 'E') {
            ++at;
            if (peek() == '+' || peek() == '-') ++at;
            if (!digits()) return fail("bad exponent");
        }
        const std::string token = text.substr(from, at - from);
        errno = 0;
        node->type = JsonNode::Type::NUMBER;
        node->number = std::strtod(token.c_str(), nullptr);
        // Out of range: infinity would pass for a figure, so it is refused.
        if (!std::isfinite(node->number)) return fail("number out of range");
        return true;
    }

    bool hex4(unsigned* value) {
        if (at + 4 > text.size()) return fail("short \\u escape");
        *value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text[at++];
            unsigned digit;
            if (c >= '0' && c <= '9') {
                digit = static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                digit = static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                digit = static_cast<unsigned>(c - 'A' + 10);
            } else {
                return fail("bad \\u escape");
            }
            *value = *value * 16 + digit;
        }
        return true;
    }

    static void put_utf8(unsigned code, std::string* out) {
        if (code < 0x80) {
            out->push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out->push_back(static_cast<char>(0xc0 | (code >> 6)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
        } else if (code < 0x10000) {
            out->push_back(static_cast<char>(0xe0 | (code >> 12)));
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
        } else {
            out->push_back(static_cast<char>(0xf0 | (code >> 18)));
            out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3f)));
            out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3f)));
            out->push_back(static_cast<char>(0x80 | (code & 0x3f)));
        }
    }

    bool escape(std::string* out) {
        if (!more()) return fail("unterminated string");
        const char c = text[at++];
        switch (c) {
            case '"':
            case '\\':
            case '/':
                out->push_back(c);
                return true;
            case 'b':
                out->push_back('\b');
                return true;
            case 'f':
                out->push_back('\f');
                return true;
            case 'n':
                out->push_back('\n');
                return true;
            case 'r':
                out->push_back('\r');
                return true;
            case 't':
                out->push_back('\t');
                return true;
            case 'u':
                break;
            default:
                return fail("bad escape");
        }
        unsigned code = 0;
        if (!hex4(&code)) return false;
        if (rules.no_surrogate_escapes && code >= 0xd800 && code <= 0xdfff) {
            return fail("surrogate escape");
        }
        if (code >= 0xdc00 && code <= 0xdfff) return fail("lone low surrogate");
        if (code >= 0xd800 && code <= 0xdbff) {
            unsigned low = 0;
            if (at + 2 > text.size() || text[at] != '\\' || text[at + 1] != 'u') {
                return fail("lone high surrogate");
            }
            at += 2;
            if (!hex4(&low)) return false;
            if (low < 0xdc00 || low > 0xdfff) return fail("lone high surrogate");
            code = 0x10000 + ((code - 0xd800) << 10) + (low - 0xdc00);
        }
        put_utf8(code, out);
        return true;
    }

    // One raw UTF-8 sequence, decoded to check it, copied as it is.
    bool raw_utf8(std::string* out) {
        const unsigned char lead = static_cast<unsigned char>(text[at]);
        const int extra = lead >= 0xf0 ? 3 : lead >= 0xe0 ? 2 : lead >= 0xc0 ? 1 : -1;
        if (extra < 0 || lead > 0xf4) return fail("invalid UTF-8 lead byte");
        unsigned code = lead & (0x3fu >> extra);
        const size_t from = at++;
        for (int i = 0; i < extra; ++i, ++at) {
            const unsigned char c = more() ? static_cast<unsigned char>(text[at]) : 0;
            if (c < 0x80 || c > 0xbf) return fail("invalid UTF-8 continuation");
            code = (code << 6) | (c & 0x3fu);
        }
        const unsigned least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[extra] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
            return fail("overlong, surrogate or out-of-range UTF-8");
        }
        out->append(text, from, at - from);
        return true;
    }

    bool string(std::string* out) {
        ++at;  // the opening quote
        for (;;) {
            if (!more()) return fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(text[at]);
            if (c == '"') {
                ++at;
                return true;
            }
            if (c < 0x20) return fail("control character in string");
            if (c == '\\') {
                ++at;
                if (!escape(out)) return false;
                continue;
            }
            if (c >= 0x80) {
                if (!raw_utf8(out)) return false;
                continue;
            }
            out->push_back(static_cast<char>(c));
            ++at;
        }
    }

    bool value(JsonNode* node, int depth) {
        skip_space();
        switch (peek()) {
            case '{':
                return object(node, depth + 1);
            case '[':
                return array(node, depth + 1);
            case '"':
                node->type = JsonNode::Type::STRING;
                return string(&node->text);
            case 't':
                node->type = JsonNode::Type::BOOLEAN;
                node->boolean = true;
                return literal("true");
            case 'f':
                node->type = JsonNode::Type::BOOLEAN;
                return literal("false");
            case 'n':
                node->type = JsonNode::Type::NUL;
                return literal("null");
            default:
                if (peek() == '-' || (peek() >= '0' && peek() <= '9')) return number(node);
                return fail(more() ? "unexpected character" : "unexpected end");
        }
    }

    bool array(JsonNode* node, int depth) {
        if (depth > JSON_MAX_DEPTH) return fail("nested too deeply");
        node->type = JsonNode::Type::ARRAY;
        ++at;
        skip_space();
        if (peek() == ']') {
            ++at;
            return true;
        }
        for (;;) {
            node->items.emplace_back();
            if (!value(&node->items.back(), depth)) return false;
            skip_space();
            if (peek() == ',') {
                ++at;
            } else if (peek() == ']') {
                ++at;
                return true;
            } else {
                return fail("expected , or ]");
            }
        }
    }

    bool object(JsonNode* node, int depth) {
        if (depth > JSON_MAX_DEPTH) return fail("nested too deeply");
        node->type = JsonNode::Type::OBJECT;
        ++at;
        skip_space();
        if (peek() == '}') {
            ++at;
            return true;
        }
        for (;;) {
            skip_space();
            if (peek() != '"') return fail("expected a member name");
            std::string name;
            if (!string(&name)) return false;
            if (rules.unique_members && node->member(name) != nullptr) {
                return fail("duplicate member name");
            }
            node->members.emplace_back(std::move(name), JsonNode{});
            skip_space();
            if (peek() != ':') return fail("expected :");
            ++at;
            if (!value(&node->members.back().second, depth)) return false;
            skip_space();
            if (peek() == ',') {
                ++at;
            } else if (peek() == '}') {
                ++at;
                return true;
            } else {
                return fail("expected , or }");
            }
        }
    }
};

}  // namespace

bool read_json(const std::string& text, JsonNode* node, std::string* error,
               const JsonRules& rules) {
    Reader reader{text, rules, 0, std::string()};
    *node = JsonNode{};
    bool ok = reader.value(node, 0);
    if (ok) {
        reader.skip_space();
        if (reader.more()) ok = reader.fail("text after the value");
    }
    if (!ok && error != nullptr) *error = reader.problem;
    return ok;
}
