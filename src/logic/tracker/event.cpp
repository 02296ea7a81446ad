#include "logic/tracker/event.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <mutex>
#include <random>

#include "localization/translater.h"
#include "utils/platform/system_info.h"
#include "logic/tracker/events.h"
#include "utils/settings.h"

namespace Zentak::Tracking {
namespace {

constexpr const char* kTrackerVersion = "1.6.0";

// The process-wide generator, made on first use. std::random_device reads the
// system's random source but promises nothing about concurrent calls, and
// events are tracked from any thread.
class SystemRandom {
public:
    void Fill(std::array<unsigned char, 16>& bytes)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (size_t i = 0; i < bytes.size(); i += 4) {
            const std::uint32_t word = m_device();
            for (size_t j = 0; j < 4; ++j) {
                bytes[i + j] = static_cast<unsigned char>(word >> (8 * j));
            }
        }
    }

private:
    std::mutex m_mutex;
    std::random_device m_device;
};

SystemRandom& Random()
{
    static SystemRandom random;
    return random;
}

// A setting's text; `fallback` when the setting holds no value at all (or a
// value that is not text, such as a bare command-line flag), while an empty
// text stays empty.
std::string SettingOr(Settings::ID id, const char* fallback)
{
    return Settings::GetString(id, fallback);
}

std::string ReportedLanguage()
{
    const std::string current = Settings::CurrentLocale();
    const std::vector<std::string> locales = Translater::GetLocales();
    if (std::find(locales.begin(), locales.end(), current) != locales.end()) {
        return current;
    }
    return Translater::GetDefaultLocale();
}

// What stands in for text that an XML document cannot carry.
constexpr const char* kReplacementCharacter = "\xEF\xBF\xBD";

// The bounds of the second byte of a UTF-8 sequence that starts with `lead`
// (0xC2 to 0xF4); the later bytes are always 0x80 to 0xBF. These bounds keep
// out overlong forms, surrogates and code points past U+10FFFF.
struct SequenceShape {
    size_t length;
    unsigned char secondLow;
    unsigned char secondHigh;
};

SequenceShape ShapeOf(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF) {
        return {2, 0x80, 0xBF};
    }
    if (lead == 0xE0) {
        return {3, 0xA0, 0xBF};
    }
    if (lead == 0xED) {
        return {3, 0x80, 0x9F};
    }
    if (lead >= 0xE1 && lead <= 0xEF) {
        return {3, 0x80, 0xBF};
    }
    if (lead == 0xF0) {
        return {4, 0x90, 0xBF};
    }
    if (lead >= 0xF1 && lead <= 0xF3) {
        return {4, 0x80, 0xBF};
    }
    if (lead == 0xF4) {
        return {4, 0x80, 0x8F};
    }
    return {0, 0, 0};
}

// The multi-byte sequence at `start`: its length when it is well-formed;
// otherwise the length of its maximal subpart (the lead byte and the
// continuation bytes that could still have completed it, at least 1). Each
// maximal subpart becomes one replacement character, as Unicode recommends,
// so the same bytes always give the same text.
struct Sequence {
    size_t length;
    bool wellFormed;
};

Sequence ReadSequence(std::string_view text, size_t start)
{
    const SequenceShape shape = ShapeOf(static_cast<unsigned char>(text[start]));
    size_t count = 1;
    while (count < shape.length && start + count < text.size()) {
        const unsigned char next = static_cast<unsigned char>(text[start + count]);
        const unsigned char low = count == 1 ? shape.secondLow : 0x80;
        const unsigned char high = count == 1 ? shape.secondHigh : 0xBF;
        if (next < low || next > high) {
            break;
        }
        ++count;
    }
    return {count, shape.length != 0 && count == shape.length};
}

} // namespace

const std::string Event::m_sid = GenerateUUIDv4String();

Event::Event(std::string_view name)
{
    m_stream << "\t<event name=\"" << XmlEscape(name) << "\">\n";
}

void Event::AddParam(Param&& param)
{
    m_stream << "\t\t<param name=\"" << XmlEscape(param.name) << "\" type=\""
             << XmlEscape(param.type) << "\" value=\"" << XmlEscape(param.value) << "\"/>\n";
}

std::string Event::Fragment() const
{
    return m_stream.str() + "\t</event>\n";
}

std::string XmlEscape(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            case '"':
                escaped += "&quot;";
                break;
            case '\'':
                escaped += "&apos;";
                break;
            // A parser turns these into spaces inside an attribute; as
            // references they come back as they were.
            case '\t':
                escaped += "&#9;";
                break;
            case '\n':
                escaped += "&#10;";
                break;
            case '\r':
                escaped += "&#13;";
                break;
            default:
                // No XML 1.0 document may hold the other control characters,
                // not even as references.
                if (c < 0x20) {
                    escaped += kReplacementCharacter;
                } else {
                    escaped += static_cast<char>(c);
                }
            }
            ++i;
            continue;
        }
        const Sequence sequence = ReadSequence(text, i);
        // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are no XML characters either.
        const bool nonCharacter = sequence.wellFormed && sequence.length == 3 && c == 0xEF &&
                                  static_cast<unsigned char>(text[i + 1]) == 0xBF &&
                                  static_cast<unsigned char>(text[i + 2]) >= 0xBE;
        if (sequence.wellFormed && !nonCharacter) {
            escaped.append(text.data() + i, sequence.length);
        } else {
            escaped += kReplacementCharacter;
        }
        i += sequence.length;
    }
    return escaped;
}

std::string BuildEventFragment(std::string_view name, const std::vector<Event::Param>& params)
{
    Event event(name);
    for (Event::Param param : params) {
        event.AddParam(std::move(param));
    }
    return event.Fragment();
}

std::string BuildPackage(const std::list<std::string>& fragments)
{
    std::ostringstream package;
    package << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
            << "<package tracker=\"1.0.0.0\">\n";
    for (const std::string& fragment : fragments) {
        package << fragment;
    }
    package << "</package>\n";
    return package.str();
}

std::vector<Event::Param> StandardEventParams(const EventChain& chain)
{
    using ID = Settings::ID;
    return {
        {EventParam::kBuildName, SettingOr(ID::BuildName, "webinstaller")},
        {EventParam::kBundleId, SettingOr(ID::ProductId, "")},
        {EventParam::kModuleName, SettingOr(ID::ModuleName, "webinstaller")},
        {EventParam::kVersion, kTrackerVersion},
        {EventParam::kProductVersion, SettingOr(ID::ProductVersion, "1.0.0.0")},
        {EventParam::kDateTime, FormatLocalTime(std::chrono::system_clock::now())},
        {EventParam::kHuid, SettingOr(ID::HardwareId, "")},
        {EventParam::kSitemark, SettingOr(ID::SitemarkId, "")},
        {EventParam::kLanguage, ReportedLanguage()},
        {EventParam::kOsBits, Util::OSBits(), "numeric"},
        {EventParam::kOsEdition, Util::OSEdition()},
        {EventParam::kOsName, Util::OSName()},
        {EventParam::kOsVersion, Util::OSVersion(), "numeric"},
        {EventParam::kSid, Event::m_sid},
        {EventParam::kUniqueId, chain.uniqueId},
        {EventParam::kPreviousEvent, chain.previousName},
        {EventParam::kPreviousUniqueId, chain.previousId},
        {EventParam::kBundleName, SettingOr(ID::BundleName, "UNDEFINED")},
        {EventParam::kBundleVersion, SettingOr(ID::BundleVersion, "UNDEFINED")},
    };
}

std::string FormatLocalTime(std::chrono::system_clock::time_point time)
{
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    const size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return std::string(text, length);
}

std::string GenerateUUIDv4String()
{
    std::array<unsigned char, 16> bytes{};
    Random().Fill(bytes);
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);

    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    text.reserve(36);
    for (size_t i = 0; i < bytes.size(); ++i) {
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0F];
        if (i == 3 || i == 5 || i == 7 || i == 9) {
            text += '-';
        }
    }
    return text;
}

} // namespace Zentak::Tracking
