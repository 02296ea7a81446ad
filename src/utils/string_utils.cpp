#include "utils/string_utils.h"

#include <algorithm>
#include <cctype>

#include "external/string_conversion.h"

namespace Zentak::Util {
namespace {

// isspace on a negative char is undefined, and bytes of UTF-8 sequences must
// never be taken for whitespace whatever the C locale says about them.
bool IsAsciiSpace(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x80 && std::isspace(byte) != 0;
}

// Edits (insertions, deletions, substitutions) that turn `a` into `b`.
std::size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

std::string Join(const std::vector<std::string>& parts, const std::string& separator)
{
    std::string text;
    for (const std::string& part : parts) {
        text += (text.empty() ? "" : separator) + part;
    }
    return text;
}

std::string NearestName(const std::string& word, const std::vector<std::string>& names,
                        std::size_t most)
{
    std::string nearest;
    std::size_t best = most + 1;
    const std::string lower = ToLower(word);
    for (const std::string& name : names) {
        if (const std::size_t distance = EditDistance(lower, ToLower(name)); distance < best) {
            best = distance;
            nearest = name;
        }
    }
    return nearest;
}

void Trim(std::string& text)
{
    const std::string_view trimmed = Trim(std::string_view(text));
    if (trimmed.size() == text.size()) {
        return;
    }
    const auto begin = static_cast<std::string::size_type>(trimmed.data() - text.data());
    const auto length = trimmed.size();
    text.erase(begin + length);
    text.erase(0, begin);
}

std::string_view Trim(std::string_view text)
{
    std::string_view::size_type begin = 0;
    while (begin < text.size() && IsAsciiSpace(text[begin])) {
        ++begin;
    }
    std::string_view::size_type end = text.size();
    while (end > begin && IsAsciiSpace(text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    while (start <= text.size()) {
        auto end = text.find(separator, start);
        if (end == std::string::npos) {
            end = text.size();
        }
        if (end > start) {
            pieces.emplace_back(text, start, end - start);
        }
        start = end + 1;
    }
    return pieces;
}

std::string ReplaceAll(const std::string& text, const std::string& pattern,
                       const std::string& replacement)
{
    if (text.empty() || pattern.empty() || replacement.empty()) {
        return text;
    }
    std::string result;
    result.reserve(text.size());
    std::string::size_type position = 0;
    for (;;) {
        const auto found = text.find(pattern, position);
        if (found == std::string::npos) {
            result.append(text, position, std::string::npos);
            break;
        }
        result.append(text, position, found - position);
        result += replacement;
        position = found + pattern.size();
    }
    return result;
}

// Only ASCII bytes go through the C library: under a single-byte locale it
// would otherwise rewrite bytes of UTF-8 sequences.
std::string ToLower(const std::string& text)
{
    std::string result(text);
    for (char& c : result) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            c = static_cast<char>(std::tolower(byte));
        }
    }
    return result;
}

std::string ToUpper(const std::string& text)
{
    std::string result(text);
    for (char& c : result) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            c = static_cast<char>(std::toupper(byte));
        }
    }
    return result;
}

bool StartsWith(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

std::string FixLocaleName(const std::string& locale)
{
    std::string result(locale);
    const auto hyphen = result.find('-');
    if (hyphen != std::string::npos) {
        result[hyphen] = '_';
    }
    return result;
}

std::wstring ToWide(const std::string& utf8)
{
    return Core::WstringFromUtf8(utf8);
}

std::string ToMultiByte(const std::wstring& wide)
{
    return Core::Utf8FromWstring(wide);
}

} // namespace Zentak::Util
