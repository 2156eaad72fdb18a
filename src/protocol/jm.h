// jm: the engine's small JSON reader. Values travel only from request text into
// the program; replies are built as text with jm::escape.
#pragma once

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace jm {

class Value;
using Object = std::map<std::string, Value>;  // byte-wise ascending key order
using Array = std::vector<Value>;

class Value {
  public:
    // Callers test the alternative by index: 0 null, 1 bool, 2 number, 3 string, 4 object, 5 array.
    std::variant<std::monostate, bool, double, std::string, Object, Array> v;

    size_t index() const { return v.index(); }

    Value get(const std::string& key) const {
        if (const auto* obj = std::get_if<Object>(&v)) {
            auto it = obj->find(key);
            if (it != obj->end()) return it->second;
        }
        return Value{};
    }

    std::string str(const std::string& def) const {
        if (const auto* s = std::get_if<std::string>(&v)) return *s;
        return def;
    }
};

// Recursive-descent reader over one text. Nesting is bounded so that a hostile
// line cannot exhaust the stack; deeper input is an ordinary failure.
class Parser {
  public:
    static constexpr int kMaxDepth = 512;

    // The text must outlive the parser.
    explicit Parser(const std::string& text) : s_(text) {}
    explicit Parser(std::string&&) = delete;

    size_t pos() const { return pos_; }
    bool atEnd() const { return pos_ >= s_.size(); }

    void skipWs() {
        while (pos_ < s_.size() && std::isspace(static_cast<unsigned char>(s_[pos_]))) ++pos_;
    }

    // Exactly one value surrounded by optional whitespace.
    bool document(Value& out) {
        skipWs();
        if (!value(out)) return false;
        skipWs();
        return atEnd();
    }

    bool value(Value& out) {
        skipWs();
        if (atEnd()) return false;
        switch (s_[pos_]) {
            case '{':
                return object(out);
            case '[':
                return array(out);
            case '"': {
                std::string text;
                if (!str(text)) return false;
                out.v = std::move(text);
                return true;
            }
            case 't':
                return literal("true", Value{{true}}, out);
            case 'f':
                return literal("false", Value{{false}}, out);
            case 'n':
                return literal("null", Value{}, out);
            default:
                return number(out);
        }
    }

    bool object(Value& out) {
        skipWs();
        if (atEnd() || s_[pos_] != '{') return false;
        DepthGuard guard(depth_);
        if (!guard.ok()) return false;
        ++pos_;
        out.v = Object{};
        auto& obj = std::get<Object>(out.v);
        skipWs();
        if (!atEnd() && s_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            std::string key;
            if (!str(key)) return false;
            skipWs();
            if (atEnd() || s_[pos_] != ':') return false;
            ++pos_;
            Value member;
            if (!value(member)) return false;
            obj.insert_or_assign(std::move(key), std::move(member));
            skipWs();
            if (atEnd()) return false;
            const char c = s_[pos_++];
            if (c == '}') return true;
            if (c != ',') return false;
        }
    }

    bool array(Value& out) {
        skipWs();
        if (atEnd() || s_[pos_] != '[') return false;
        DepthGuard guard(depth_);
        if (!guard.ok()) return false;
        ++pos_;
        out.v = Array{};
        auto& arr = std::get<Array>(out.v);
        skipWs();
        if (!atEnd() && s_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            Value item;
            if (!value(item)) return false;
            arr.push_back(std::move(item));
            skipWs();
            if (atEnd()) return false;
            const char c = s_[pos_++];
            if (c == ']') return true;
            if (c != ',') return false;
        }
    }

    bool str(std::string& out) {
        skipWs();
        if (atEnd() || s_[pos_] != '"') return false;
        ++pos_;
        out.clear();
        for (;;) {
            if (atEnd()) return false;
            const char c = s_[pos_++];
            if (c == '"') return true;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (atEnd()) return false;
            switch (s_[pos_++]) {
                case '"':
                    out.push_back('"');
                    break;
                case '\\':
                    out.push_back('\\');
                    break;
                case '/':
                    out.push_back('/');
                    break;
                case 'b':
                    out.push_back('\b');
                    break;
                case 'f':
                    out.push_back('\f');
                    break;
                case 'n':
                    out.push_back('\n');
                    break;
                case 'r':
                    out.push_back('\r');
                    break;
                case 't':
                    out.push_back('\t');
                    break;
                case 'u': {
                    if (s_.size() - pos_ < 4) return false;
                    const std::string hex = s_.substr(pos_, 4);
                    pos_ += 4;
                    appendUtf8(std::strtoul(hex.c_str(), nullptr, 16), out);
                    break;
                }
                default:
                    return false;
            }
        }
    }

    bool number(Value& out) {
        const size_t start = pos_;
        auto digits = [this] {
            while (!atEnd() && s_[pos_] >= '0' && s_[pos_] <= '9') ++pos_;
        };
        if (!atEnd() && s_[pos_] == '-') ++pos_;
        digits();
        if (!atEnd() && s_[pos_] == '.') {
            ++pos_;
            digits();
        }
        if (!atEnd() && (s_[pos_] == 'e' || s_[pos_] == 'E')) {
            ++pos_;
            if (!atEnd() && (s_[pos_] == '+' || s_[pos_] == '-')) ++pos_;
            digits();
        }
        if (pos_ == start) return false;
        const std::string span = s_.substr(start, pos_ - start);
        out.v = std::strtod(span.c_str(), nullptr);
        return true;
    }

  private:
    struct DepthGuard {
        int& depth;
        explicit DepthGuard(int& d) : depth(d) { ++depth; }
        ~DepthGuard() { --depth; }
        bool ok() const { return depth <= kMaxDepth; }
    };

    bool literal(const char* word, const Value& v, Value& out) {
        const std::string w(word);
        if (s_.compare(pos_, w.size(), w) != 0) return false;
        pos_ += w.size();
        out = v;
        return true;
    }

    // Code units are encoded one by one; surrogate pairs are not combined.
    static void appendUtf8(unsigned long c, std::string& out) {
        if (c <= 0x7F) {
            out.push_back(static_cast<char>(c));
        } else if (c <= 0x7FF) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }

    const std::string& s_;
    size_t pos_ = 0;
    int depth_ = 0;
};

// Contents of a JSON string literal for s, without the quotes.
inline std::string escape(const std::string& s) {
    std::string out;
    out.reserve(s.size() + 8);
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case 0x09:
                out += "\\t";
                break;
            case 0x0A:
                out += "\\n";
                break;
            case 0x0D:
                out += "\\r";
                break;
            case 0x22:
                out += "\\\"";
                break;
            case 0x5C:
                out += "\\\\";
                break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u%04x", c);
                    out += buf;
                } else {
                    out.push_back(ch);
                }
        }
    }
    return out;
}

}  // namespace jm
