#include "logic/config/config_reader.h"

#include <algorithm>
#include <sstream>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <glog/logging.h>

#include "external/crash_handler.h"
#include "logic/downloader/sha256.h"
#include "net/curl_easy.h"
#include "utils/ini_reader.h"
#include "utils/platform/system_info.h"
#include "utils/settings.h"
#include "utils/string_utils.h"

namespace Zentak {
namespace {

using boost::property_tree::ptree;
using ID = Settings::ID;

bool Is(const std::string& name, const char* expected)
{
    return boost::algorithm::iequals(name, expected);
}

bool IsTrue(const std::string& value)
{
    return boost::algorithm::iequals(value, "true");
}

// The key starts with `prefix` (any case) and has a separator and more after it.
bool HasKeyPrefix(const std::string& key, const std::string& prefix)
{
    return key.size() > prefix.size() && boost::algorithm::istarts_with(key, prefix);
}

void ParseProduct(const ptree& section, IConfigParserObserver& observer)
{
    for (const auto& [key, node] : section) {
        const std::string& value = node.data();
        if (Is(key, "version")) {
            Settings::Set(ID::ProductVersion, value);
        } else if (Is(key, "build_name")) {
            observer.OnBuildNameParsed(value);
        } else if (Is(key, "module_name")) {
            observer.OnModuleNameParsed(value);
        }
    }
}

bool IsDecimal(const std::string& value)
{
    return !value.empty() && value.size() <= 20 &&
           std::all_of(value.begin(), value.end(),
                       [](unsigned char c) { return c >= '0' && c <= '9'; });
}

// The words of a whitespace-separated list.
std::vector<std::string> Words(const std::string& value)
{
    std::vector<std::string> words;
    std::istringstream stream(value);
    for (std::string word; stream >> word;) {
        words.push_back(word);
    }
    return words;
}

// "connections" of the product sections (the last one counts), checked:
// 1 to 16 as a plain decimal number.
int Connections(const ptree& tree)
{
    int connections = InstallerItem::kDefaultConnections;
    for (const auto& [name, section] : tree) {
        if (!Is(name, "Product")) {
            continue;
        }
        for (const auto& [key, node] : section) {
            if (!Is(key, "connections")) {
                continue;
            }
            const std::string& value = node.data();
            if (!IsDecimal(value) || value.size() > 2 || std::stoi(value) < 1 ||
                std::stoi(value) > InstallerItem::kMostConnections) {
                throw ConfigurationError("Product: connections must be a whole number from 1 to " +
                                         std::to_string(InstallerItem::kMostConnections) +
                                         ", not \"" + value + "\"");
            }
            connections = std::stoi(value);
        }
    }
    return connections;
}

// "require_sha256=true" in any product section.
bool RequiresSha256(const ptree& tree)
{
    for (const auto& [name, section] : tree) {
        if (!Is(name, "Product")) {
            continue;
        }
        for (const auto& [key, node] : section) {
            if (Is(key, "require_sha256") && IsTrue(node.data())) {
                return true;
            }
        }
    }
    return false;
}

// The integrity keys and the URL scheme of every installer section, checked
// before anything of the configuration is reported: a package must not start
// downloading under a configuration that is then refused.
void CheckIntegrityKeys(const ptree& tree)
{
    const bool required = RequiresSha256(tree);
    for (const auto& [name, section] : tree) {
        if (!Is(name, "Installer")) {
            continue;
        }
        std::string id;
        bool hasSha256 = false;
        for (const auto& [key, node] : section) {
            if (Is(key, "id")) {
                id = node.data();
            }
        }
        for (const auto& [key, node] : section) {
            const std::string& value = node.data();
            if (Is(key, "url")) {
                if (const std::string refusal = Curl::SchemeRefusal(value); !refusal.empty()) {
                    throw ConfigurationError("Installer " + id + ": " + refusal);
                }
            } else if (Is(key, "mirrors")) {
                for (const std::string& mirror : Words(value)) {
                    if (const std::string refusal = Curl::SchemeRefusal(mirror); !refusal.empty()) {
                        throw ConfigurationError("Installer " + id + ": mirror " + refusal);
                    }
                }
            } else if (Is(key, "sha256")) {
                hasSha256 = true;
                if (!Sha256::IsHexDigest(value)) {
                    throw ConfigurationError("Installer " + id +
                                             ": sha256 must be 64 hexadecimal digits, not \"" +
                                             value + "\"");
                }
            } else if (Is(key, "size")) {
                bool valid = IsDecimal(value);
                if (valid) {
                    try {
                        (void)std::stoull(value, nullptr, 10);
                    } catch (const std::out_of_range&) {
                        valid = false;
                    }
                }
                if (!valid) {
                    throw ConfigurationError("Installer " + id +
                                             ": size must be a decimal number of bytes, not \"" +
                                             value + "\"");
                }
            }
        }
        if (required && !hasSha256) {
            throw ConfigurationError("Installer " + id +
                                     " has no sha256, which require_sha256 asks for");
        }
    }
}

void ParseInstaller(const ptree& section, IConfigParserObserver& observer, int connections)
{
    const std::string searchPrefix = "search_installed_" + Util::SystemName();
    const std::string runPrefix = "run_installed";
    InstallerItem item;
    item.connections = connections;
    for (const auto& [key, node] : section) {
        const std::string& value = node.data();
        if (Is(key, "id")) {
            item.id = value;
        } else if (Is(key, "url")) {
            item.url = value;
        } else if (Is(key, "display_name")) {
            item.displayName = value;
        } else if (Is(key, "sha256")) {
            item.sha256 = Sha256::Normalised(value);
        } else if (Is(key, "size")) {
            item.configuredSize = std::stoull(value, nullptr, 10);
        } else if (Is(key, "mirrors")) {
            item.mirrors = Words(value);
        } else if (Is(key, "install_order")) {
            item.installOrder = std::stoi(value, nullptr, 10);
        } else if (Is(key, "install_args")) {
            item.installArgs = Util::Split(value, ' ');
        } else if (Is(key, "suppress_desktop_shortcuts")) {
            if (IsTrue(value)) {
                item.installArgs.push_back("/DISABLE_SHORTCUTS");
            }
        } else if (HasKeyPrefix(key, searchPrefix)) {
            // The character after the prefix is a separator, normally "_".
            item.searchInstalled.emplace(key.substr(searchPrefix.size() + 1), value);
        } else if (HasKeyPrefix(key, runPrefix)) {
            const std::string rest = key.substr(runPrefix.size() + 1);
            if (Is(rest, "id")) {
                item.runInstalled.push_back(StartItem{value, {}});
            } else if (Is(rest, "args") && !item.runInstalled.empty()) {
                item.runInstalled.back().args = Util::Split(value, ' ');
            }
        } else if (Is(key, "check_app_running")) {
            if (Is(value, "false")) {
                item.checkAppRunning = false;
            }
        } else if (Is(key, "autodetect_arch")) {
            if (IsTrue(value)) {
                item.autodetectArch = true;
            }
        }
    }
    observer.OnInstallerParsed(std::move(item));
}

void ParseProductParameters(const ptree& section, IConfigParserObserver& observer)
{
    ProductParameters parameters;
    for (const auto& [key, node] : section) {
        const std::string& value = node.data();
        if (Is(key, "id")) {
            parameters.id = value;
            continue;
        }
        if (Is(key, "config_file_name")) {
            parameters.configFileName = value;
            continue;
        }
        if (Is(key, "bundle_name")) {
            Settings::Set(ID::BundleName, value);
        } else if (Is(key, "bundle_version")) {
            Settings::Set(ID::BundleVersion, value);
        }
        parameters.parameters.emplace(key, value);
    }
    if (!parameters.id.empty() && !parameters.configFileName.empty()) {
        observer.OnProductParametersParsed(std::move(parameters));
    }
}

void ParseSplash(const ptree& section, IConfigParserObserver& observer)
{
    const std::string staging = Settings::GetString(ID::Staging);
    for (const auto& [key, node] : section) {
        ISplash::Page page;
        if (Is(key, "start")) {
            page = ISplash::Start;
        } else if (Is(key, "progress")) {
            page = ISplash::Progress;
        } else if (Is(key, "wait")) {
            page = ISplash::Wait;
        } else if (Is(key, "ready")) {
            page = ISplash::Ready;
        } else {
            continue;
        }
        observer.OnSplashImageParsed(page, Util::AppendStagingValue(node.data(), staging));
    }
}

void ParseStatistics(const ptree& section, IConfigParserObserver& observer)
{
    std::string url;
    std::string id;
    for (const auto& [key, node] : section) {
        if (Is(key, "url")) {
            url = node.data();
        } else if (Is(key, "id")) {
            id = node.data();
        }
    }
    if (url.empty() || id.empty()) {
        Core::TrackException("Empty statistics section", "url = " + url + ", id = " + id);
    }
    observer.OnStatisticsParsed(url, id);
}

template <typename Deliver>
void ParseStartItems(const ptree& section, IConfigParserObserver& observer, Deliver deliver)
{
    StartItem current;
    for (const auto& [key, node] : section) {
        const std::string& value = node.data();
        if (Is(key, "id")) {
            if (!current.id.empty()) {
                deliver(std::move(current));
            }
            current = StartItem{value, {}};
        } else if (Is(key, "args")) {
            current.args.push_back(value);
        } else if (Is(key, "autostart")) {
            observer.OnAutostartParsed(IsTrue(value));
        }
    }
    if (!current.id.empty()) {
        deliver(std::move(current));
    }
}

void ParseMacEnvironment(const ptree& section)
{
    for (const auto& [key, node] : section) {
        if (Is(key, "bundle_name")) {
            Settings::Set(ID::BundleName, node.data());
        } else if (Is(key, "bundle_version")) {
            Settings::Set(ID::BundleVersion, node.data());
        }
    }
}

void ParseTesting(const ptree& section)
{
    for (const auto& entry : section) {
        if (Is(entry.first, "crash")) {
            Settings::Set(ID::TestCrash, true);
        }
    }
}

} // namespace

void ReadConfiguration(const std::string& text, IConfigParserObserver& observer)
{
    std::istringstream stream(text);
    ptree tree;
    Util::ReadIni(stream, tree);
    CheckIntegrityKeys(tree);
    const int connections = Connections(tree);
    for (const auto& [name, section] : tree) {
        if (Is(name, "Product")) {
            ParseProduct(section, observer);
        } else if (Is(name, "Installer")) {
            ParseInstaller(section, observer, connections);
        } else if (Is(name, "ProductParameters")) {
            ParseProductParameters(section, observer);
        } else if (Is(name, "Splash")) {
            ParseSplash(section, observer);
        } else if (Is(name, "Statistics")) {
            ParseStatistics(section, observer);
        } else if (Is(name, "RunInstalled")) {
            ParseStartItems(section, observer, [&](StartItem&& item) {
                observer.OnRunInstalledParsed(std::move(item));
            });
        } else if (Is(name, "Start")) {
            ParseStartItems(section, observer,
                            [&](StartItem&& item) { observer.OnStartParsed(std::move(item)); });
        } else if (Is(name, "Mac_Environment")) {
            ParseMacEnvironment(section);
        } else if (Is(name, "Testing")) {
            ParseTesting(section);
        }
    }
    observer.OnConfigReady();
}

std::string ConfigurationProblem(const std::string& source, const std::exception& error)
{
    if (const auto* syntax =
            dynamic_cast<const boost::property_tree::ini_parser::ini_parser_error*>(&error)) {
        return source + ":" + std::to_string(syntax->line()) + ": " + syntax->message();
    }
    if (dynamic_cast<const std::invalid_argument*>(&error) ||
        dynamic_cast<const std::out_of_range*>(&error)) {
        // The number conversions name only themselves.
        return source + ": a number is expected where the text is not one (" + error.what() + ")";
    }
    return source + ": " + error.what();
}

} // namespace Zentak
