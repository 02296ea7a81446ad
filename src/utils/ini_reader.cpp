#include "utils/ini_reader.h"

#include <algorithm>
#include <any>
#include <locale>
#include <regex>

#include <boost/property_tree/ini_parser.hpp>

#include "utils/platform/system_info.h"
#include "utils/settings.h"

namespace Zentak::Util {
namespace pt = boost::property_tree;

namespace {

std::string TrimByLocale(const std::string& text, const std::locale& locale)
{
    const auto& ctype = std::use_facet<std::ctype<char>>(locale);
    std::string::size_type begin = 0;
    while (begin < text.size() && ctype.is(std::ctype_base::space, text[begin])) {
        ++begin;
    }
    std::string::size_type end = text.size();
    while (end > begin && ctype.is(std::ctype_base::space, text[end - 1])) {
        --end;
    }
    return text.substr(begin, end - begin);
}

[[noreturn]] void Fail(const char* message, unsigned long line)
{
    throw pt::ini_parser::ini_parser_error(message, "", line);
}

} // namespace

void ReadIni(std::istream& stream, pt::ptree& tree)
{
    const std::locale locale = stream.getloc();
    const char newline = stream.widen('\n');
    pt::ptree result;
    // Sections are only ever appended, so the current one is always the last
    // child of the root; a null pointer means "before the first section".
    pt::ptree* section = nullptr;
    unsigned long lineNumber = 0;
    std::string line;

    while (stream.good()) {
        ++lineNumber;
        std::getline(stream, line, newline);
        if (stream.bad() || (stream.fail() && !stream.eof())) {
            Fail("read error", lineNumber);
        }
        line = TrimByLocale(line, locale);
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            continue;
        }
        if (line[0] == '[') {
            if (section && section->empty()) {
                result.pop_back();
            }
            const auto close = line.find(']');
            if (close == std::string::npos) {
                Fail("unmatched '['", lineNumber);
            }
            const std::string name = TrimByLocale(line.substr(1, close - 1), locale);
            section = &result.push_back(pt::ptree::value_type(name, pt::ptree()))->second;
            continue;
        }
        const auto equals = line.find('=');
        if (equals == 0) {
            Fail("key expected", lineNumber);
        }
        if (equals == std::string::npos) {
            Fail("'=' character not found in line", lineNumber);
        }
        const std::string key = TrimByLocale(line.substr(0, equals), locale);
        const std::string value = TrimByLocale(line.substr(equals + 1), locale);
        pt::ptree& target = section ? *section : result;
        if (target.find(key) != target.not_found()) {
            Fail("duplicate key name", lineNumber);
        }
        target.push_back(pt::ptree::value_type(key, pt::ptree(value)));
    }
    if (section && section->empty()) {
        result.pop_back();
    }
    tree.swap(result);
}

const char* GetStagingTag()
{
    return "_STG";
}

const char* GetSitemarkTag()
{
    return "_W";
}

std::string GetTaggedValueFromName(const std::string& name, const std::string& tag)
{
    const auto position = name.find(tag);
    if (position == std::string::npos) {
        return {};
    }
    const auto start = position + tag.size();
    const auto end = name.find('_', start);
    if (end == std::string::npos) {
        return {};
    }
    return name.substr(start, end - start);
}

std::string GetTaggedValueFromFilename(const std::string& tag)
{
    // The tags follow the name the rest of the run sees ("--distrib-name"
    // included).
    return GetTaggedValueFromName(CurrentDistribName(), tag);
}

std::string AppendStagingValue(const std::string& url, const std::string& staging)
{
    if (staging.empty()) {
        return url;
    }
    static const std::regex release("release", std::regex::ECMAScript);
    return std::regex_replace(url, release, "staging/" + staging);
}

std::string BuildUrl(const std::string& templateUrl, const UrlParameters& parameters)
{
    struct Fill {
        std::size_t at;
        std::size_t length;
        const std::string* value;
    };
    std::vector<Fill> fills;
    for (const auto& [key, value] : parameters) {
        const std::string placeholder = "-" + key + "-";
        auto taken = [&](std::size_t at) {
            return std::any_of(fills.begin(), fills.end(), [&](const Fill& fill) {
                return at < fill.at + fill.length && fill.at < at + placeholder.size();
            });
        };
        std::size_t at = templateUrl.find(placeholder);
        while (at != std::string::npos && taken(at)) {
            at = templateUrl.find(placeholder, at + 1);
        }
        if (at != std::string::npos) {
            fills.push_back({at, placeholder.size(), &value});
        }
    }
    std::sort(fills.begin(), fills.end(),
              [](const Fill& a, const Fill& b) { return a.at < b.at; });
    std::string result;
    std::size_t from = 0;
    for (const Fill& fill : fills) {
        result.append(templateUrl, from, fill.at - from);
        result += *fill.value;
        from = fill.at + fill.length;
    }
    result.append(templateUrl, from, std::string::npos);
    char separator = templateUrl.find('?') == std::string::npos ? '?' : '&';
    for (const auto& [key, value] : parameters) {
        result += separator;
        result += key;
        result += '=';
        result += value;
        separator = '&';
    }
    return result;
}

std::string AddUrlQueryParameter(const std::string& url, const std::string& key,
                                 const std::string& value)
{
    return BuildUrl(url, {{key, value}});
}

} // namespace Zentak::Util
