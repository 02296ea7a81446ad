#include "strict_xml.h"

#include <cstdint>

namespace Zentak::FuzzSupport {
namespace {

bool IsXmlChar(std::uint32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// Decodes the character at `pos` by arithmetic on the code point (the writer
// checks byte ranges instead, so the two do not share a mistake). False for
// a truncated, overlong or out-of-range sequence or a surrogate.
bool DecodeUtf8(std::string_view text, size_t& pos, std::uint32_t& c)
{
    const auto byte = [&](size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(pos);
    size_t length = 0;
    std::uint32_t minimum = 0;
    if (lead < 0x80) {
        c = lead;
        ++pos;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        c = lead & 0x1F;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        c = lead & 0x0F;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        c = lead & 0x07;
        minimum = 0x10000;
    } else {
        return false;
    }
    if (pos + length > text.size()) {
        return false;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80) {
            return false;
        }
        c = (c << 6) | (byte(pos + i) & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return false;
    }
    pos += length;
    return true;
}

void AppendUtf8(std::string& out, std::uint32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

class Reader {
public:
    Reader(std::string_view text, std::string& error) : m_text(text), m_error(error) {}

    bool Document(XmlElement& root)
    {
        if (!IsXmlText(m_text)) {
            return Error("characters that are not XML text");
        }
        if (!Declaration()) {
            return false;
        }
        SkipSpace();
        if (!Element(root, 0)) {
            return false;
        }
        SkipSpace();
        return m_pos == m_text.size() || Error("content after the root element");
    }

private:
    bool Error(const std::string& what)
    {
        m_error = what + " at byte " + std::to_string(m_pos);
        return false;
    }

    bool AtEnd() const { return m_pos >= m_text.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_text[m_pos]; }

    bool Take(std::string_view literal)
    {
        if (m_text.substr(m_pos, literal.size()) != literal) {
            return false;
        }
        m_pos += literal.size();
        return true;
    }

    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

    bool SkipSpace()
    {
        const size_t start = m_pos;
        while (!AtEnd() && IsSpace(m_text[m_pos])) {
            ++m_pos;
        }
        return m_pos > start;
    }

    // ASCII names only: the packages use no others, and anything else here
    // would be a writer fault worth seeing.
    bool Name(std::string& name)
    {
        const auto start = [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
        };
        const auto rest = [&](char c) {
            return start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
        };
        if (AtEnd() || !start(Peek())) {
            return Error("name expected");
        }
        const size_t begin = m_pos;
        while (!AtEnd() && rest(Peek())) {
            ++m_pos;
        }
        name.assign(m_text.substr(begin, m_pos - begin));
        return true;
    }

    bool Eq()
    {
        SkipSpace();
        if (!Take("=")) {
            return Error("'=' expected");
        }
        SkipSpace();
        return true;
    }

    bool QuotedLiteral(std::string& value)
    {
        const char quote = Peek();
        if (quote != '"' && quote != '\'') {
            return Error("quoted value expected");
        }
        ++m_pos;
        const size_t end = m_text.find(quote, m_pos);
        if (end == std::string_view::npos) {
            return Error("unterminated value");
        }
        value.assign(m_text.substr(m_pos, end - m_pos));
        m_pos = end + 1;
        return true;
    }

    bool Declaration()
    {
        if (!Take("<?xml")) {
            return Error("XML declaration expected");
        }
        std::string name;
        std::string value;
        if (!SkipSpace() || !Take("version") || !Eq() || !QuotedLiteral(value) || value != "1.0") {
            return Error("version 1.0 expected");
        }
        const size_t beforeSpace = m_pos;
        if (SkipSpace() && Take("encoding")) {
            if (!Eq() || !QuotedLiteral(value)) {
                return false;
            }
            if (value != "utf-8" && value != "UTF-8") {
                return Error("encoding other than UTF-8: " + value);
            }
        } else {
            m_pos = beforeSpace;
        }
        SkipSpace();
        return Take("?>") || Error("end of the XML declaration expected");
    }

    bool Reference(std::string& value)
    {
        // At the "&".
        ++m_pos;
        const size_t end = m_text.find(';', m_pos);
        if (end == std::string_view::npos || end == m_pos) {
            return Error("unterminated reference");
        }
        const std::string_view body = m_text.substr(m_pos, end - m_pos);
        m_pos = end + 1;
        if (body[0] != '#') {
            static const std::pair<std::string_view, char> entities[] = {
                {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}};
            for (const auto& [entity, character] : entities) {
                if (body == entity) {
                    value += character;
                    return true;
                }
            }
            return Error("undeclared entity " + std::string(body));
        }
        const bool hex = body.size() > 1 && body[1] == 'x';
        const std::string_view digits = body.substr(hex ? 2 : 1);
        if (digits.empty()) {
            return Error("empty character reference");
        }
        std::uint32_t code = 0;
        for (const char d : digits) {
            std::uint32_t digit = 0;
            if (d >= '0' && d <= '9') {
                digit = static_cast<std::uint32_t>(d - '0');
            } else if (hex && d >= 'a' && d <= 'f') {
                digit = static_cast<std::uint32_t>(d - 'a' + 10);
            } else if (hex && d >= 'A' && d <= 'F') {
                digit = static_cast<std::uint32_t>(d - 'A' + 10);
            } else {
                return Error("bad digit in character reference");
            }
            code = code * (hex ? 16 : 10) + digit;
            if (code > 0x10FFFF) {
                return Error("character reference out of range");
            }
        }
        if (!IsXmlChar(code)) {
            return Error("character reference to a non-XML character " + std::to_string(code));
        }
        AppendUtf8(value, code);
        return true;
    }

    bool AttributeValue(std::string& value)
    {
        const char quote = Peek();
        if (quote != '"' && quote != '\'') {
            return Error("quoted attribute value expected");
        }
        ++m_pos;
        value.clear();
        for (;;) {
            if (AtEnd()) {
                return Error("unterminated attribute value");
            }
            const char c = m_text[m_pos];
            if (c == quote) {
                ++m_pos;
                return true;
            }
            if (c == '<') {
                return Error("raw '<' in an attribute value");
            }
            if (c == '&') {
                if (!Reference(value)) {
                    return false;
                }
                continue;
            }
            if (c == '\r') {
                // End-of-line handling makes CR LF and a lone CR one line
                // feed, which the value normalisation then makes a space.
                ++m_pos;
                if (Peek() == '\n') {
                    ++m_pos;
                }
                value += ' ';
                continue;
            }
            value += (c == '\t' || c == '\n') ? ' ' : c;
            ++m_pos;
        }
    }

    bool Element(XmlElement& element, int depth)
    {
        if (depth > 16) {
            return Error("elements nested too deep for a package");
        }
        if (!Take("<")) {
            return Error("'<' expected");
        }
        if (!Name(element.name)) {
            return false;
        }
        for (;;) {
            const bool spaced = SkipSpace();
            if (Take("/>")) {
                return true;
            }
            if (Take(">")) {
                break;
            }
            if (!spaced) {
                return Error("white space expected before an attribute");
            }
            std::string name;
            std::string value;
            if (!Name(name) || !Eq() || !AttributeValue(value)) {
                return false;
            }
            for (const auto& attribute : element.attributes) {
                if (attribute.first == name) {
                    return Error("repeated attribute " + name);
                }
            }
            element.attributes.emplace_back(std::move(name), std::move(value));
        }
        for (;;) {
            SkipSpace();
            if (Take("</")) {
                std::string name;
                if (!Name(name)) {
                    return false;
                }
                if (name != element.name) {
                    return Error("end tag " + name + " closes " + element.name);
                }
                SkipSpace();
                return Take(">") || Error("'>' expected");
            }
            if (Peek() != '<' || m_text.substr(m_pos, 2) == "<!" || m_text.substr(m_pos, 2) == "<?") {
                return Error("text, comment or instruction inside " + element.name);
            }
            element.children.emplace_back();
            if (!Element(element.children.back(), depth + 1)) {
                return false;
            }
        }
    }

    std::string_view m_text;
    std::string& m_error;
    size_t m_pos = 0;
};

} // namespace

bool IsXmlText(std::string_view text)
{
    size_t pos = 0;
    while (pos < text.size()) {
        std::uint32_t c = 0;
        if (!DecodeUtf8(text, pos, c) || !IsXmlChar(c)) {
            return false;
        }
    }
    return true;
}

bool ParseStrictXml(std::string_view document, XmlElement& root, std::string& error)
{
    root = XmlElement{};
    Reader reader(document, error);
    return reader.Document(root);
}

} // namespace Zentak::FuzzSupport
