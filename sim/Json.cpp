#include "sim/Json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim::json {

const Value* Value::Find(const std::string& key) const
{
    for (const auto& [k, v] : Object) {
        if (k == key) {
            return &v;
        }
    }
    return nullptr;
}

namespace {

class Parser {
public:
    explicit Parser(const std::string& text) : m_text(text) {}

    std::optional<Value> Document(std::string* error)
    {
        Value v;
        if (ParseValue(v, 0)) {
            Skip();
            if (m_pos == m_text.size()) {
                return v;
            }
            Fail("unexpected text after the document");
        }
        *error = m_error;
        return std::nullopt;
    }

private:
    bool Fail(const char* what)
    {
        if (m_error.empty()) {
            m_error = "line " + std::to_string(m_line) + ", column " + std::to_string(m_pos - m_lineStart + 1) + ": " +
                      what;
        }
        return false;
    }
    void Skip()
    {
        while (m_pos < m_text.size()) {
            const char c = m_text[m_pos];
            if (c == '\n') {
                ++m_line;
                m_lineStart = m_pos + 1;
            } else if (c != ' ' && c != '\t' && c != '\r') {
                return;
            }
            ++m_pos;
        }
    }
    bool Literal(const char* word)
    {
        for (size_t i = 0; word[i] != 0; ++i) {
            if (m_pos + i >= m_text.size() || m_text[m_pos + i] != word[i]) {
                return Fail("unknown word (expected a value)");
            }
        }
        m_pos += std::char_traits<char>::length(word);
        return true;
    }
    static void PutUtf8(std::string& out, uint32_t cp)
    {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool Hex4(uint32_t& v)
    {
        if (m_pos + 4 > m_text.size()) {
            return Fail("cut-short \\u escape");
        }
        v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = m_text[m_pos++];
            v <<= 4;
            if (c >= '0' && c <= '9') v |= c - '0';
            else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
            else return Fail("bad \\u escape");
        }
        return true;
    }
    bool ParseString(std::string& out)
    {
        ++m_pos;  // the opening quote
        while (true) {
            if (m_pos >= m_text.size()) {
                return Fail("unterminated string");
            }
            const char c = m_text[m_pos++];
            if (c == '"') {
                return true;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                return Fail("control character in a string");
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_pos >= m_text.size()) {
                return Fail("unterminated string");
            }
            const char e = m_text[m_pos++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t cp = 0;
                if (!Hex4(cp)) return false;
                if (cp >= 0xD800 && cp < 0xDC00 && m_pos + 1 < m_text.size() && m_text[m_pos] == '\\' &&
                    m_text[m_pos + 1] == 'u') {
                    m_pos += 2;
                    uint32_t low = 0;
                    if (!Hex4(low)) return false;
                    if (low < 0xDC00 || low > 0xDFFF) return Fail("bad surrogate pair");
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                PutUtf8(out, cp);
                break;
            }
            default: return Fail("bad escape in a string");
            }
        }
    }
    bool ParseNumber(Value& v)
    {
        const size_t start = m_pos;
        if (m_text[m_pos] == '-') ++m_pos;
        bool integer = true;
        auto digits = [&] {
            const size_t d = m_pos;
            while (m_pos < m_text.size() && m_text[m_pos] >= '0' && m_text[m_pos] <= '9') ++m_pos;
            return m_pos > d;
        };
        if (!digits()) return Fail("bad number");
        if (m_pos < m_text.size() && m_text[m_pos] == '.') {
            ++m_pos;
            integer = false;
            if (!digits()) return Fail("bad number");
        }
        if (m_pos < m_text.size() && (m_text[m_pos] == 'e' || m_text[m_pos] == 'E')) {
            ++m_pos;
            integer = false;
            if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-')) ++m_pos;
            if (!digits()) return Fail("bad number");
        }
        const std::string token = m_text.substr(start, m_pos - start);
        v.Kind = Value::Type::Number;
        v.Number = std::strtod(token.c_str(), nullptr);
        v.Integer = integer && std::fabs(v.Number) < 9.0e18;
        v.IntegerValue = v.Integer ? std::strtoll(token.c_str(), nullptr, 10) : 0;
        return true;
    }
    bool ParseValue(Value& v, int depth)
    {
        if (depth > 64) {
            return Fail("nested too deeply");
        }
        Skip();
        v.Line = m_line;
        v.Column = static_cast<int>(m_pos - m_lineStart + 1);
        if (m_pos >= m_text.size()) {
            return Fail("expected a value");
        }
        const char c = m_text[m_pos];
        if (c == '{') {
            v.Kind = Value::Type::Object;
            ++m_pos;
            Skip();
            if (m_pos < m_text.size() && m_text[m_pos] == '}') {
                ++m_pos;
                return true;
            }
            while (true) {
                Skip();
                if (m_pos >= m_text.size() || m_text[m_pos] != '"') return Fail("expected a key in quotes");
                std::string key;
                if (!ParseString(key)) return false;
                Skip();
                if (m_pos >= m_text.size() || m_text[m_pos] != ':') return Fail("expected ':'");
                ++m_pos;
                Value member;
                if (!ParseValue(member, depth + 1)) return false;
                v.Object.emplace_back(std::move(key), std::move(member));
                Skip();
                if (m_pos < m_text.size() && m_text[m_pos] == ',') { ++m_pos; continue; }
                if (m_pos < m_text.size() && m_text[m_pos] == '}') { ++m_pos; return true; }
                return Fail("expected ',' or '}'");
            }
        }
        if (c == '[') {
            v.Kind = Value::Type::Array;
            ++m_pos;
            Skip();
            if (m_pos < m_text.size() && m_text[m_pos] == ']') {
                ++m_pos;
                return true;
            }
            while (true) {
                Value item;
                if (!ParseValue(item, depth + 1)) return false;
                v.Array.push_back(std::move(item));
                Skip();
                if (m_pos < m_text.size() && m_text[m_pos] == ',') { ++m_pos; continue; }
                if (m_pos < m_text.size() && m_text[m_pos] == ']') { ++m_pos; return true; }
                return Fail("expected ',' or ']'");
            }
        }
        if (c == '"') {
            v.Kind = Value::Type::String;
            return ParseString(v.String);
        }
        if (c == 't') { v.Kind = Value::Type::Bool; v.Bool = true; return Literal("true"); }
        if (c == 'f') { v.Kind = Value::Type::Bool; return Literal("false"); }
        if (c == 'n') { return Literal("null"); }
        if (c == '-' || (c >= '0' && c <= '9')) return ParseNumber(v);
        return Fail("expected a value");
    }

    const std::string& m_text;
    size_t m_pos = 0;
    int m_line = 1;
    size_t m_lineStart = 0;
    std::string m_error;
};

}  // namespace

std::optional<Value> Parse(const std::string& text, std::string* error)
{
    return Parser(text).Document(error);
}

std::string Quote(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

}  // namespace sim::json
