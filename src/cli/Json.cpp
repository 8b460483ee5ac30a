#include "cli/Json.h"

#include <cstdio>

namespace cli {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there do
// not form one (overlong forms, surrogates and code points above U+10FFFF
// are not valid).
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned c = b(i);
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    if (b(i + 1) < lo || b(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (b(i + k) < 0x80 || b(i + k) > 0xBF) return 0;
    return n;
}

void AppendEscape(std::string& out, unsigned v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", v);
    out += buf;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view s) {
    out += '"';
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const std::size_t n = Utf8Length(s, i);
            if (n == 0) {
                AppendEscape(out, c);  // a lone byte: the code point of its value
                ++i;
            } else {
                out.append(s.substr(i, n));
                i += n;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7F)
                AppendEscape(out, c);
            else
                out += static_cast<char>(c);
        }
        ++i;
    }
    out += '"';
}

bool IsJsonInteger(std::string_view s) {
    if (!s.empty() && s[0] == '-') s.remove_prefix(1);
    if (s.empty() || s.size() > 18) return false;
    if (s[0] == '0' && s.size() > 1) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

void JsonWriter::BeforeValue() {
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (!m_first.empty()) {
        if (!m_first.back()) m_out += ',';
        m_first.back() = false;
    }
}

void JsonWriter::BeginObject() {
    BeforeValue();
    m_out += '{';
    m_first.push_back(true);
}

void JsonWriter::EndObject() {
    m_out += '}';
    if (!m_first.empty()) m_first.pop_back();
}

void JsonWriter::BeginArray() {
    BeforeValue();
    m_out += '[';
    m_first.push_back(true);
}

void JsonWriter::EndArray() {
    m_out += ']';
    if (!m_first.empty()) m_first.pop_back();
}

void JsonWriter::Key(std::string_view k) {
    BeforeValue();
    AppendJsonString(m_out, k);
    m_out += ':';
    m_afterKey = true;
}

void JsonWriter::String(std::string_view s) {
    BeforeValue();
    AppendJsonString(m_out, s);
}

void JsonWriter::Int(long long v) {
    BeforeValue();
    m_out += std::to_string(v);
}

void JsonWriter::Bool(bool b) {
    BeforeValue();
    m_out += b ? "true" : "false";
}

void JsonWriter::Null() {
    BeforeValue();
    m_out += "null";
}

void JsonWriter::Number(std::string_view text) {
    if (!IsJsonInteger(text)) {
        String(text);
        return;
    }
    BeforeValue();
    m_out.append(text);
}

void JsonWriter::Decimal(std::string_view text) {
    const std::size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    bool ok = IsJsonInteger(whole);
    if (ok && dot != std::string_view::npos) {
        const std::string_view frac = text.substr(dot + 1);
        ok = !frac.empty() && frac.size() <= 18 &&
             frac.find_first_not_of("0123456789") == std::string_view::npos;
    }
    if (!ok) {
        String(text);
        return;
    }
    BeforeValue();
    m_out.append(text);
}

}  // namespace cli
