// A small JSON writer for zantu-cli's output: one object per line.
//
// Strings are written as valid UTF-8 JSON whatever bytes they hold: quotes,
// backslashes and control characters are escaped, valid UTF-8 sequences pass
// as they are, and a byte that is not part of one (the module may send any
// byte) is written as the code point of the same value (\u00XX), so no
// reader ever meets an invalid document.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace cli {

// Appends s as a JSON string literal, quotes included.
void AppendJsonString(std::string& out, std::string_view s);

// A JSON integer as "%d" writes it: an optional '-', then digits with no
// leading zero (or "0").
bool IsJsonInteger(std::string_view s);

class JsonWriter {
public:
    void BeginObject();
    void EndObject();
    void BeginArray();
    void EndArray();
    void Key(std::string_view k);
    void String(std::string_view s);
    void Int(long long v);
    void Bool(bool b);
    void Null();
    // A number already in JSON form (IsJsonInteger), else written as a string.
    void Number(std::string_view text);
    // A decimal ("12.50", "-3", "0.25") as a JSON number; other text as a string.
    void Decimal(std::string_view text);

    const std::string& Text() const { return m_out; }

private:
    void BeforeValue();
    std::string m_out;
    std::vector<bool> m_first;  // per open container: nothing written in it yet
    bool m_afterKey = false;
};

}  // namespace cli
