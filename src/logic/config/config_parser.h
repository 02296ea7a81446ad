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

#include "logic/config/config_reader.h"
#include "logic/config/config_signature.h"
#include "logic/downloader/downloader.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"
#include "utils/process_outcome.h"

namespace Zentak {

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
    // ConfigurationError; one that cannot be read ends in OnConfigError) or
    // starts the download.
    void Start();

    // What the configuration is called in the causes of its failures: the
    // local file's path, or the file name of its URL.
    std::string SourceName() const;
    // Delivers the download's events, which parse the configuration.
    void DoMainThreadWork();

    // ReadConfiguration, kept where the parser's users look for it.
    static void ParseText(const std::string& text, IConfigParserObserver& observer)
    {
        ReadConfiguration(text, observer);
    }

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
    // Tracks the failure with `error` as its text and tells the observer
    // `cause`, the same text when not given.
    void FailConfiguration(const std::string& error, const std::string& cause = {});
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
