#include "json_value.h"

#include <cstdlib>
#include <string>

namespace {

struct Parser {
    const std::string& text;
    size_t at = 0;
    std::string error;

    bool fail(const char* what) {
        if (error.empty()) error = std::string(what) + " at byte " + std::to_string(at);
        return false;
    }
    int peek() const { return at < text.size() ? static_cast<unsigned char>(text[at]) : -1; }
    void skip_space() {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') ++at;
    }
    bool literal(const char* word) {
        const std::string w(word);
        if (text.compare(at, w.size(), w) != 0) return fail("unknown literal");
        at += w.size();
        return true;
    }
    bool digits() {
        if (peek() < '0' || peek() > '9') return fail("digit expected");
        while (peek() >= '0' && peek() <= '9') ++at;
        return true;
    }
    bool number(JsonValue* v) {
        const size_t start = at;
        if (peek() == '-') ++at;
        if (peek() == '0') {
            ++at;
        } else if (!digits()) {
            return false;
        }
        if (peek() == '.' && (++at, !digits())) return false;
        if (peek() == 'e' || peek() == 'E') {
            ++at;
            if (peek() == '+' || peek() == '-') ++at;
            if (!digits()) return false;
        }
        v->type = JsonValue::Type::Number;
        v->number = std::strtod(text.substr(start, at - start).c_str(), nullptr);
        return true;
    }
    // A code point below U+10000 as UTF-8.
    static void append_utf8(std::string* out, unsigned long cp) {
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xC0 | (cp >> 6));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            *out += static_cast<char>(0xE0 | (cp >> 12));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool hex4(unsigned long* cp) {
        if (at + 4 > text.size()) return fail("short \\u escape");
        const std::string h = text.substr(at, 4);
        if (h.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return fail("bad \\u escape");
        }
        *cp = std::strtoul(h.c_str(), nullptr, 16);
        at += 4;
        return true;
    }
    // One raw UTF-8 sequence, decoded to check it, copied as it is.
    bool raw_utf8(std::string* out) {
        const int lead = peek();
        int extra = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : -1;
        if (extra < 0 || lead > 0xF4) return fail("invalid UTF-8 lead byte");
        unsigned long cp = static_cast<unsigned long>(lead) & (0x3Fu >> extra);
        const size_t start = at++;
        for (int i = 0; i < extra; ++i, ++at) {
            if (peek() < 0x80 || peek() > 0xBF) return fail("invalid UTF-8 continuation");
            cp = (cp << 6) | (static_cast<unsigned long>(peek()) & 0x3F);
        }
        const unsigned long least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return fail("overlong, surrogate or out-of-range UTF-8");
        }
        out->append(text, start, at - start);
        return true;
    }
    bool string(std::string* out) {
        if (peek() != '"') return fail("string expected");
        ++at;
        while (peek() != '"') {
            const int c = peek();
            if (c < 0) return fail("unterminated string");
            if (c < 0x20) return fail("raw control character in string");
            if (c >= 0x80) {
                if (!raw_utf8(out)) return false;
                continue;
            }
            ++at;
            if (c != '\\') {
                *out += static_cast<char>(c);
                continue;
            }
            const int e = peek();
            ++at;
            const char* plain = "\"\\/bfnrt";
            const char* decoded = "\"\\/\b\f\n\r\t";
            if (e > 0 && std::string(plain).find(static_cast<char>(e)) != std::string::npos) {
                *out += decoded[std::string(plain).find(static_cast<char>(e))];
            } else if (e == 'u') {
                unsigned long cp = 0;
                if (!hex4(&cp)) return false;
                if (cp >= 0xD800 && cp <= 0xDFFF) return fail("surrogate escape");
                append_utf8(out, cp);
            } else {
                return fail("bad escape");
            }
        }
        ++at;
        return true;
    }
    bool member(JsonValue* object) {
        std::string key;
        skip_space();
        if (!string(&key)) return false;
        if (object->find(key) != nullptr) return fail("duplicate member name");
        skip_space();
        if (peek() != ':') return fail("':' expected");
        ++at;
        object->members.emplace_back(key, JsonValue{});
        return value(&object->members.back().second);
    }
    bool object(JsonValue* v) {
        v->type = JsonValue::Type::Object;
        ++at;
        skip_space();
        if (peek() == '}') return ++at, true;
        for (;;) {
            if (!member(v)) return false;
            if (peek() == '}') return ++at, true;
            if (peek() != ',') return fail("',' or '}' expected");
            ++at;
        }
    }
    bool array(JsonValue* v) {
        v->type = JsonValue::Type::Array;
        ++at;
        skip_space();
        if (peek() == ']') return ++at, true;
        for (;;) {
            v->elements.emplace_back();
            if (!value(&v->elements.back())) return false;
            if (peek() == ']') return ++at, true;
            if (peek() != ',') return fail("',' or ']' expected");
            ++at;
        }
    }
    bool value(JsonValue* v) {
        skip_space();
        const int c = peek();
        bool ok = false;
        if (c == '{') {
            ok = object(v);
        } else if (c == '[') {
            ok = array(v);
        } else if (c == '"') {
            v->type = JsonValue::Type::String;
            ok = string(&v->string);
        } else if (c == 't' || c == 'f') {
            v->type = JsonValue::Type::Boolean;
            v->boolean = c == 't';
            ok = literal(c == 't' ? "true" : "false");
        } else if (c == 'n') {
            ok = literal("null");
        } else {
            ok = number(v);
        }
        skip_space();
        return ok;
    }
};

}  // namespace

const JsonValue* JsonValue::find(const std::string& key) const {
    for (const auto& member : members) {
        if (member.first == key) return &member.second;
    }
    return nullptr;
}

bool parse_json(const std::string& text, JsonValue* value, std::string* error) {
    Parser parser{text, 0, std::string()};
    *value = JsonValue{};
    bool ok = parser.value(value);
    if (ok && parser.at != text.size()) ok = parser.fail("trailing bytes");
    if (error != nullptr) *error = parser.error;
    return ok;
}
