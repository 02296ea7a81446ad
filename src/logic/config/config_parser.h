#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <boost/property_tree/ptree_fwd.hpp>

#include "logic/config/config_signature.h"
#include "logic/downloader/downloader.h"
#include "logic/tracker/statistics_tracker.h"
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

    // The package's size as best known: the configuration's, else the
    // server's; 0 when neither says.
    std::uint64_t ExpectedSize() const { return configuredSize.value_or(learnedSize); }
};

// A configuration that is good INI but asks for what cannot be: a "sha256"
// that is not 64 hex digits, a "size" that is not a decimal byte count, or a
// package without the sha256 that the product section's "require_sha256=true"
// asks for, or a package URL of a scheme other than http and https. Thrown
// before any result of the configuration is reported.
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
    virtual void OnConfigError() = 0;
};

// Obtains the configuration (a local file or a download), keeps a copy in
// the run directory, parses it and hands every result to the observer.
// Used on one thread (the logic thread) only; used once.
//
// With a public key (the build's, see BuildConfigPublicKey) the configuration
// must come with a detached Ed25519 signature: the configuration URL's path
// plus ".sig", fetched alongside it, or the local file's path plus ".sig". A
// signature that is missing or does not match fails the configuration like a
// failed download ("CONFIG_DOWNLOAD_FAILED" with the reason as "CURL_ERROR",
// then OnConfigError), and nothing of it is parsed.
class ConfigParser : private IDownloaderEvents {
public:
    // `onTaskQueued` is called from the download's worker thread when an
    // event waits for DoMainThreadWork. An empty `publicKeyPem` takes
    // configurations unsigned.
    ConfigParser(IConfigParserObserver& observer, std::shared_ptr<IStatisticsTracker> tracker,
                 std::function<void()> onTaskQueued = {},
                 std::string publicKeyPem = BuildConfigPublicKey());
    ~ConfigParser() override;

    // Reads a local file at once (throws on a syntax error or a
    // ConfigurationError) or starts the download.
    void Start();
    // Delivers the download's events, which parse the configuration.
    void DoMainThreadWork();

    // Parses configuration text and reports it to the observer. Throws
    // boost::property_tree::ini_parser::ini_parser_error on a syntax error,
    // std::invalid_argument for a non-numeric install order and
    // ConfigurationError for unusable integrity keys.
    static void ParseText(const std::string& text, IConfigParserObserver& observer);

    // Bounds of a downloaded configuration. It is held in memory and echoed
    // on the console, so a larger one (counted decoded, as it arrives) fails
    // the download; so does one that has not arrived within the deadline, a
    // server dripping it slower than any user waits. Either failure takes the
    // no-connection path.
    static constexpr std::uint64_t kMaxConfigBytes = 1024 * 1024;
    static constexpr std::uint64_t kMaxSignatureBytes = 64 * 1024;
    static constexpr long kConfigDeadlineSeconds = 60;

private:
    void OnItemDownloadStarted(const std::string&, unsigned long long) override {}
    void OnItemProgressUpdated(const std::string&, unsigned long long, unsigned long long,
                               unsigned char) override {}
    void OnItemDownloadFinished(const std::string&, unsigned long long) override {}
    void OnWorkStarted(unsigned long long total) override;
    void OnWorkProgressUpdated(unsigned long long, unsigned long long, unsigned char) override {}
    void OnWorkFinished(unsigned long long total) override;
    void OnWorkFailed(unsigned long long downloaded, unsigned long long total,
                      std::string error) override;

    class SignatureEvents;
    enum class Arrival { Waiting, Arrived, Failed };

    void ParseConfig();
    // Parses what was downloaded; a configuration that cannot be parsed ends
    // in OnConfigError.
    void ParseDownloaded();
    void OnSignatureFinished();
    void OnSignatureFailed(const std::string& error);
    // Once the configuration and its signature are both in: checks and parses.
    void CompleteSignedDownload();
    void FailConfiguration(const std::string& error);
    // "CONFIG_DOWNLOAD_STARTED", once.
    void TrackDownloadStarted();

    IConfigParserObserver& m_observer;
    std::shared_ptr<std::stringstream> m_buffer; // shared with the download's stream
    std::unique_ptr<Downloader> m_downloader;
    std::shared_ptr<IStatisticsTracker> m_tracker;

    // The signature: its own download, so that its failure has its own text.
    std::string m_publicKey;
    std::string m_downloadUrl;
    std::string m_signatureUrl;
    std::shared_ptr<std::stringstream> m_signature;
    std::unique_ptr<SignatureEvents> m_signatureEvents;
    std::unique_ptr<Downloader> m_signatureDownloader;
    Arrival m_configArrival = Arrival::Waiting;
    Arrival m_signatureArrival = Arrival::Waiting;
    std::string m_signatureError;
    bool m_ended = false; // the observer has been told how it went
    bool m_startTracked = false;
};

} // namespace Zentak
