#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <boost/property_tree/ptree_fwd.hpp>

#include "logic/downloader/downloader.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"

namespace Zentak {

// Something to launch once installed: a package id and its arguments.
struct StartItem {
    std::string id;
    std::vector<std::string> args;
};

// Parameters handed to an installed product through its configuration file.
struct ProductParameters {
    std::string id;
    std::string config_file_name;
    std::map<std::string, std::string> parameters;
};

// One installer package: what the configuration says, then the
// controller's bookkeeping.
struct InstallerItem {
    enum State : unsigned {
        Pending = 0,
        Downloading = 1,
        Downloaded = 2,
        DownloadFailed = 3,
        InstallRunning = 4,
        Installed = 5,
        InstallFailed = 6,
        Launched = 7,
        Skipped = 8,
    };

    std::string id;
    std::string url;
    std::string display_name;
    int install_order = 0;
    std::vector<std::string> install_args;
    std::map<std::string, std::string> search_installed;
    std::string exe_name;
    std::vector<StartItem> run_installed;

    boost::filesystem::path localPath;
    unsigned state = Pending;
    boost::filesystem::path installedPath;
    int downloadErrors = 0;
    int installErrors = 0;
    unsigned long long expectedSize = 0;
    unsigned long long receivedBytes = 0;
    std::chrono::steady_clock::time_point downloadStart{};

    bool check_app_running = true;
    bool autodetect_arch = false;
    int lastProcessState = -1;
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
class ConfigParser : private IDownloaderEvents {
public:
    // `onTaskQueued` is called from the download's worker thread when an
    // event waits for DoMainThreadWork.
    ConfigParser(IConfigParserObserver& observer, std::shared_ptr<IStatisticsTracker> tracker,
                 std::function<void()> onTaskQueued = {});
    ~ConfigParser() override;

    // Reads a local file at once (throws on a syntax error) or starts the
    // download.
    void Start();
    // Delivers the download's events, which parse the configuration.
    void DoMainThreadWork();

    // Parses configuration text and reports it to the observer. Throws
    // boost::property_tree::ini_parser::ini_parser_error on a syntax error
    // and std::invalid_argument for a non-numeric install order.
    static void ParseText(const std::string& text, IConfigParserObserver& observer);

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

    void ParseConfig();

    IConfigParserObserver& m_observer;
    std::shared_ptr<std::stringstream> m_buffer; // shared with the download's stream
    std::unique_ptr<Downloader> m_downloader;
    std::shared_ptr<IStatisticsTracker> m_tracker;
};

} // namespace Zentak
