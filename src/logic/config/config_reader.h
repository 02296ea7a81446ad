#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "splash/splash.h"
#include "utils/process_outcome.h"

namespace Zentak {

// Something to launch once installed: a package id and its arguments.
struct StartItem {
    std::string id;
    std::vector<std::string> args;
};

// Parameters handed to an installed product through its configuration file.
struct ProductParameters {
    std::string id;
    std::string configFileName;
    std::map<std::string, std::string> parameters;
};

// One installer package: what the configuration says, then the
// controller's bookkeeping.
struct InstallerItem {
    enum class State {
        Pending,
        Downloading,
        Downloaded,
        DownloadFailed,
        InstallRunning,
        Installed,
        InstallFailed,
        Launched,
        Skipped,
    };

    std::string id;
    std::string url;
    std::string displayName;
    int installOrder = 0;
    std::vector<std::string> installArgs;
    std::map<std::string, std::string> searchInstalled;
    std::string exeName;
    std::vector<StartItem> runInstalled;
    // Optional integrity keys: "sha256" (64 hex digits, kept in lowercase;
    // empty when not given) and "size" (bytes). A package with a sha256 is
    // checked as it downloads, resumes a broken download and may come from
    // --package-dir.
    std::string sha256;
    std::optional<std::uint64_t> configuredSize;
    // Copies of the package elsewhere ("mirrors", whitespace-separated),
    // tried in order after `url` when it cannot deliver the package.
    std::vector<std::string> mirrors;
    // Connections one large package may be fetched over at once: the
    // product section's "connections" (1 to 16), the same for every package.
    int connections = kDefaultConnections;
    static constexpr int kDefaultConnections = 4;
    static constexpr int kMostConnections = 16;

    boost::filesystem::path localPath;
    State state = State::Pending;
    boost::filesystem::path installedPath;
    int downloadErrors = 0;
    int installErrors = 0;
    // What the package's server said its size is (0: unknown); asked only
    // when the configuration gives no size.
    std::uint64_t learnedSize = 0;
    unsigned long long receivedBytes = 0;
    std::chrono::steady_clock::time_point downloadStart{};

    bool checkAppRunning = true;
    bool autodetectArch = false;
    ProcessOutcome lastOutcome = ProcessOutcome::None;
    // Why its last download or install failed, in plain words.
    std::string failureCause;

    // The package's size as best known: the configuration's, else the
    // server's; 0 when neither says.
    std::uint64_t ExpectedSize() const { return configuredSize.value_or(learnedSize); }
};

// A configuration that is good INI but asks for what cannot be: a "sha256"
// that is not 64 hex digits, a "size" that is not a decimal byte count, a
// package without the sha256 that the product section's "require_sha256=true"
// asks for, a package URL or mirror of a scheme other than http and https,
// or "connections" outside 1 to 16. Thrown before any result of the
// configuration is reported.
class ConfigurationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Receives the configuration's results, section by section, on the thread
// that pumps the parser.
class IConfigParserObserver {
public:
    virtual ~IConfigParserObserver() = default;
    virtual void OnBuildNameParsed(const std::string& value) = 0;
    virtual void OnModuleNameParsed(const std::string& value) = 0;
    virtual void OnInstallerParsed(InstallerItem&& item) = 0;
    virtual void OnProductParametersParsed(ProductParameters&& parameters) = 0;
    virtual void OnSplashImageParsed(ISplash::Page page, std::string&& url) = 0;
    virtual void OnRunInstalledParsed(StartItem&& item) = 0;
    virtual void OnStartParsed(StartItem&& item) = 0;
    virtual void OnAutostartParsed(bool value) = 0;
    virtual void OnStatisticsParsed(const std::string& url, const std::string& id) = 0;
    virtual void OnConfigReady() = 0;
    // The configuration is not available or cannot be used; `cause` says
    // why in plain words ("HTTP 404 for <url>", "config.ini:3: unmatched '['").
    virtual void OnConfigError(const std::string& cause) = 0;
};

// Reads configuration text and reports it to the observer, section by
// section; the text alone decides, nothing is fetched. Throws
// boost::property_tree::ini_parser::ini_parser_error on a syntax error,
// std::invalid_argument for a non-numeric install order and
// ConfigurationError for unusable integrity keys.
void ReadConfiguration(const std::string& text, IConfigParserObserver& observer);

// Why ReadConfiguration refused the configuration from `source` (a path, or
// the file name of its URL), in plain words: "<source>:<line>: <problem>"
// for a syntax error, "<source>: <problem>" otherwise.
std::string ConfigurationProblem(const std::string& source, const std::exception& error);

} // namespace Zentak
