#pragma once

#include <string>

namespace Zentak {

// One JSON object built field by field, for line-by-line output:
//     JsonLine("page").Add("page", "Progress").Text()
//     -> {"event":"page","page":"Progress"}
// Texts are escaped; bytes of 0x80 and above pass as they are (UTF-8).
class JsonLine {
public:
    explicit JsonLine(const std::string& event) { Add("event", event); }

    JsonLine& Add(const std::string& key, const std::string& value)
    {
        return Field(key, Quoted(value));
    }
    JsonLine& Add(const std::string& key, const char* value) { return Add(key, std::string(value)); }
    JsonLine& Add(const std::string& key, long long value) { return Field(key, std::to_string(value)); }
    JsonLine& Add(const std::string& key, int value) { return Add(key, static_cast<long long>(value)); }
    JsonLine& Add(const std::string& key, bool value) { return Field(key, value ? "true" : "false"); }

    std::string Text() const { return m_text + "}"; }

    static std::string Quoted(const std::string& text)
    {
        static const char* hex = "0123456789abcdef";
        std::string quoted = "\"";
        for (const char c : text) {
            switch (c) {
            case '"': quoted += "\\\""; break;
            case '\\': quoted += "\\\\"; break;
            case '\n': quoted += "\\n"; break;
            case '\r': quoted += "\\r"; break;
            case '\t': quoted += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    quoted += "\\u00";
                    quoted += hex[(c >> 4) & 0xf];
                    quoted += hex[c & 0xf];
                } else {
                    quoted += c;
                }
            }
        }
        return quoted + "\"";
    }

private:
    JsonLine& Field(const std::string& key, const std::string& value)
    {
        m_text += (m_text.empty() ? "{" : ",") + Quoted(key) + ":" + value;
        return *this;
    }

    std::string m_text;
};

} // namespace Zentak
