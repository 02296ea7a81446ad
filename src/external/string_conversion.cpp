#include "external/string_conversion.h"

#include <cstdint>

namespace Zentak::Core {
namespace {

static_assert(sizeof(wchar_t) == 4, "wide strings are expected to hold UTF-32");

constexpr char32_t kReplacement = 0xFFFD;

// The range the second byte of a sequence must lie in depends on the lead
// byte: that is what rules out overlong forms, surrogates and values beyond
// U+10FFFF without decoding first.
struct LeadByte {
    int length;           // 0: never valid as a lead byte
    unsigned char low;    // allowed range of the second byte
    unsigned char high;
};

LeadByte ClassifyLead(unsigned char byte)
{
    if (byte >= 0xC2 && byte <= 0xDF) return {2, 0x80, 0xBF};
    if (byte == 0xE0) return {3, 0xA0, 0xBF};
    if (byte == 0xED) return {3, 0x80, 0x9F};
    if (byte >= 0xE1 && byte <= 0xEF) return {3, 0x80, 0xBF};
    if (byte == 0xF0) return {4, 0x90, 0xBF};
    if (byte >= 0xF1 && byte <= 0xF3) return {4, 0x80, 0xBF};
    if (byte == 0xF4) return {4, 0x80, 0x8F};
    return {0, 0, 0};
}

void AppendUtf8(std::string& out, char32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

} // namespace

std::wstring WstringFromUtf8(const std::string& utf8)
{
    std::wstring out;
    out.reserve(utf8.size());
    const size_t size = utf8.size();
    size_t i = 0;
    while (i < size) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        if (lead < 0x80) {
            out += static_cast<wchar_t>(lead);
            ++i;
            continue;
        }
        const LeadByte kind = ClassifyLead(lead);
        if (kind.length == 0) {
            out += static_cast<wchar_t>(kReplacement);
            ++i;
            continue;
        }
        char32_t code = lead & (0xFF >> (kind.length + 1));
        size_t taken = 1;
        bool complete = true;
        for (; taken < static_cast<size_t>(kind.length); ++taken) {
            if (i + taken >= size) {
                complete = false;
                break;
            }
            const auto byte = static_cast<unsigned char>(utf8[i + taken]);
            const unsigned char low = taken == 1 ? kind.low : 0x80;
            const unsigned char high = taken == 1 ? kind.high : 0xBF;
            if (byte < low || byte > high) {
                complete = false;
                break;
            }
            code = (code << 6) | (byte & 0x3F);
        }
        // An incomplete sequence is replaced once as a whole; the byte that
        // broke it starts the next sequence.
        out += static_cast<wchar_t>(complete ? code : kReplacement);
        i += taken;
    }
    return out;
}

std::string Utf8FromWstring(const std::wstring& wide)
{
    std::string out;
    out.reserve(wide.size());
    for (const wchar_t character : wide) {
        const auto code = static_cast<char32_t>(static_cast<std::uint32_t>(character));
        const bool valid = code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        AppendUtf8(out, valid ? code : kReplacement);
    }
    return out;
}

} // namespace Zentak::Core
