#include "logic/config/config_check.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <set>
#include <sstream>

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "utils/ini_reader.h"
#include "utils/string_utils.h"

namespace Zentak {
namespace {

// The keys each section knows; an empty list takes any key.
const std::map<std::string, std::vector<std::string>>& KnownSections()
{
    static const std::map<std::string, std::vector<std::string>> sections = {
        {"Product", {"version", "build_name", "module_name", "require_sha256", "connections"}},
        {"Installer",
         {"id", "url", "mirrors", "display_name", "sha256", "size", "install_order",
          "install_args", "suppress_desktop_shortcuts", "check_app_running", "autodetect_arch"}},
        {"ProductParameters", {}},
        {"Splash", {"start", "progress", "wait", "ready"}},
        {"Statistics", {"url", "id"}},
        {"RunInstalled", {"id", "args", "autostart"}},
        {"Start", {"id", "args", "autostart"}},
        {"Mac_Environment", {}},
        {"Testing", {"crash"}},
    };
    return sections;
}

// Installer keys that are families: "search_installed_mac_<what>" and
// "run_installed<separator>id|args".
bool IsInstallerFamilyKey(const std::string& key)
{
    const std::string lower = Util::ToLower(key);
    return Util::StartsWith(lower, "search_installed_") || Util::StartsWith(lower, "run_installed");
}

struct Entry {
    std::string key;
    std::string value;
    int line;
};

struct Section {
    std::string name;  // as written
    std::string known; // the known name it matches, or empty
    int line;
    std::vector<Entry> entries;

    const Entry* Find(const std::string& key) const
    {
        for (const Entry& entry : entries) {
            if (Util::ToLower(entry.key) == key) {
                return &entry;
            }
        }
        return nullptr;
    }
};

// The sections and their keys in file order, with their lines. Only called
// on text the INI reader accepted, so every line is a comment, a section
// header or "key = value".
std::vector<Section> ReadSections(const std::string& text)
{
    std::vector<Section> sections;
    std::istringstream stream(text);
    std::string line;
    for (int number = 1; std::getline(stream, line); ++number) {
        const std::string trimmed(Util::Trim(std::string_view(line)));
        if (trimmed.empty() || trimmed[0] == ';' || trimmed[0] == '#') {
            continue;
        }
        if (trimmed[0] == '[') {
            Section section;
            section.name = std::string(Util::Trim(std::string_view(trimmed).substr(1, trimmed.find(']') - 1)));
            section.line = number;
            for (const auto& [known, keys] : KnownSections()) {
                if (Util::ToLower(known) == Util::ToLower(section.name)) {
                    section.known = known;
                }
            }
            sections.push_back(std::move(section));
            continue;
        }
        const std::size_t equals = trimmed.find('=');
        if (equals == std::string::npos || sections.empty()) {
            continue;
        }
        sections.back().entries.push_back(
            {std::string(Util::Trim(std::string_view(trimmed).substr(0, equals))),
             std::string(Util::Trim(std::string_view(trimmed).substr(equals + 1))), number});
    }
    return sections;
}

bool IsHttpUrl(const std::string& url)
{
    const std::string lower = Util::ToLower(url);
    return Util::StartsWith(lower, "http://") || Util::StartsWith(lower, "https://");
}

bool IsDecimal(const std::string& value)
{
    return !value.empty() && value.size() <= 19 &&
           std::all_of(value.begin(), value.end(),
                       [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

bool IsSha256(const std::string& value)
{
    return value.size() == 64 &&
           std::all_of(value.begin(), value.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

class Checker {
public:
    explicit Checker(std::string name) : m_name(std::move(name)) {}

    void Problem(int line, const std::string& text)
    {
        m_problems.push_back(m_name + ":" + std::to_string(line) + ": " + text);
    }

    void Check(const std::vector<Section>& sections)
    {
        std::vector<std::string> knownNames;
        for (const auto& [known, keys] : KnownSections()) {
            knownNames.push_back(known);
        }
        bool requireSha256 = false;
        for (const Section& section : sections) {
            if (section.known == "Product") {
                const Entry* require = section.Find("require_sha256");
                requireSha256 = requireSha256 || (require && Util::ToLower(require->value) == "true");
            }
        }
        bool anyInstaller = false;
        bool anyProduct = false;
        std::map<std::string, int> ids;
        for (const Section& section : sections) {
            if (section.known.empty()) {
                const std::string nearest = Util::NearestName(section.name, knownNames);
                Problem(section.line, "unknown section [" + section.name + "]" +
                                          (nearest.empty() ? "" : " (did you mean [" + nearest + "]?)"));
                continue;
            }
            CheckKeys(section);
            if (section.known == "Product") {
                anyProduct = true;
                Require(section, "version");
                if (const Entry* connections = section.Find("connections");
                    connections && (!IsDecimal(connections->value) || connections->value.size() > 2 ||
                                    std::stoi(connections->value) < 1 ||
                                    std::stoi(connections->value) > 16)) {
                    Problem(connections->line,
                            "connections must be a number from 1 to 16, not \"" + connections->value + "\"");
                }
            } else if (section.known == "Installer") {
                anyInstaller = true;
                CheckInstaller(section, requireSha256, ids);
            } else if (section.known == "Statistics") {
                Require(section, "url");
                Require(section, "id");
                CheckUrl(section.Find("url"));
            } else if (section.known == "Splash") {
                for (const Entry& entry : section.entries) {
                    CheckUrl(&entry);
                }
            }
        }
        if (!anyProduct) {
            Problem(1, "no [Product] section: the start page has no version to show");
        }
        if (!anyInstaller) {
            Problem(1, "no [Installer] section: nothing would be installed");
        }
    }

    std::vector<std::string> Problems() { return std::move(m_problems); }

private:
    void CheckKeys(const Section& section)
    {
        const std::vector<std::string>& keys = KnownSections().at(section.known);
        if (keys.empty()) {
            return;
        }
        for (const Entry& entry : section.entries) {
            const std::string lower = Util::ToLower(entry.key);
            if (std::find(keys.begin(), keys.end(), lower) != keys.end() ||
                (section.known == "Installer" && IsInstallerFamilyKey(entry.key))) {
                continue;
            }
            const std::string nearest = Util::NearestName(entry.key, keys);
            Problem(entry.line, "unknown key \"" + entry.key + "\" in [" + section.known + "]" +
                                    (nearest.empty() ? "" : " (did you mean " + nearest + "?)"));
        }
    }

    void Require(const Section& section, const std::string& key)
    {
        const Entry* entry = section.Find(key);
        if (!entry || entry->value.empty()) {
            Problem(section.line, "[" + section.known + "] has no " + key);
        }
    }

    void CheckUrl(const Entry* entry)
    {
        if (entry && !entry->value.empty() && !IsHttpUrl(entry->value)) {
            Problem(entry->line, entry->key + " is not an http or https URL: " + entry->value);
        }
    }

    void CheckInstaller(const Section& section, bool requireSha256, std::map<std::string, int>& ids)
    {
        Require(section, "id");
        Require(section, "url");
        CheckUrl(section.Find("url"));
        if (const Entry* mirrors = section.Find("mirrors")) {
            std::istringstream urls(mirrors->value);
            for (std::string url; urls >> url;) {
                if (!IsHttpUrl(url)) {
                    Problem(mirrors->line, "mirror is not an http or https URL: " + url);
                }
            }
        }
        if (const Entry* id = section.Find("id"); id && !id->value.empty()) {
            const auto [earlier, added] = ids.emplace(id->value, id->line);
            if (!added) {
                Problem(id->line, "installer id \"" + id->value + "\" is already used on line " +
                                      std::to_string(earlier->second));
            }
        }
        const Entry* sha256 = section.Find("sha256");
        if (sha256 && !IsSha256(sha256->value)) {
            Problem(sha256->line, "sha256 must be 64 hexadecimal digits, not \"" + sha256->value + "\"");
        }
        if (requireSha256 && !sha256) {
            Problem(section.line, "[Installer] has no sha256, which require_sha256 asks for");
        }
        if (const Entry* size = section.Find("size"); size && !IsDecimal(size->value)) {
            Problem(size->line, "size must be a number of bytes, not \"" + size->value + "\"");
        }
        if (const Entry* order = section.Find("install_order"); order && !IsDecimal(order->value)) {
            Problem(order->line, "install_order must be a number, not \"" + order->value + "\"");
        }
    }

    std::string m_name;
    std::vector<std::string> m_problems;
};

} // namespace

std::vector<std::string> CheckConfiguration(const std::string& text, const std::string& name)
{
    Checker checker(name);
    try {
        std::istringstream stream(text);
        boost::property_tree::ptree tree;
        Util::ReadIni(stream, tree);
    } catch (const boost::property_tree::ini_parser::ini_parser_error& error) {
        checker.Problem(static_cast<int>(error.line()), error.message());
        return checker.Problems();
    }
    checker.Check(ReadSections(text));
    return checker.Problems();
}

} // namespace Zentak
