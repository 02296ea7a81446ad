#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "logic/controller/packages.h"
#include "logic/controller/run_outcome.h"
#include "logic/downloader/downloader.h"
#include "logic/downloader/size_queries.h"
#include "utils/thread_checker.h"

namespace Zentak {

class IStatisticsTracker;
class ISplash;

// What the downloads tell the controller. Called on the logic thread.
class IPackageDownloadsObserver {
public:
    virtual ~IPackageDownloadsObserver() = default;
    // A batch ended, all downloaded or failed: the run can take its next step.
    virtual void OnDownloadsEnded() = 0;
};

// Brings the packages to the disk: their sizes, the disk-space check, the
// package folder, the downloader and its events, and what a failed download
// leads to. Made on the main thread, then used on the logic thread only,
// except where an operation says otherwise, until it is destroyed (on the
// main thread, which then receives a stopped batch's events).
class PackageDownloads : private IDownloaderEvents {
public:
    // `tempDir` is the run directory the packages are written to; `wake`
    // is called from the downloader's threads when it has work queued.
    PackageDownloads(
        IPackageDownloadsObserver& observer, Packages& packages, IStatisticsTracker& tracker,
        ISplash& splash, RunOutcome& outcome, std::string tempDir,
        const std::function<std::unique_ptr<IDownloader>(IDownloaderEvents&,
                                                         std::function<void()>)>& makeDownloader,
        std::function<void()> wake);
    ~PackageDownloads() override;

    // Asks the package's server for its size, unless the configuration
    // gave it; the answers are collected at the first disk check.
    void AskSize(InstallerItem& item);

    // Starts downloading every pending package that the package folder
    // cannot give; true when a batch was started. Refused, with the dialog
    // shown, when the disk is too small.
    bool Start();

    // Whether the run's volumes hold five times what the packages not yet
    // installed need; when not, the statistics and the user are told.
    bool EnoughDiskSpace();

    // After a failed batch: counts the failure and either answers true (the
    // first failure is retried at once) or shows the retry dialog or, after
    // too many, the no-connection message, with the cause told.
    bool RetryAfterFailure(const InstallerItem& failed);

    // Delivers the downloader's events.
    void Pump();

    // Ends a running batch (the user cancelled).
    void Cancel();

    // Ends the size queries; safe from any thread.
    void StopSizeQueries() { m_sizes.Stop(); }
    // Drops the size answers not yet collected (shut-down).
    void ForgetSizeQueries();

    // Failed batches so far; safe from any thread.
    int ErrorCount() const { return m_errorCount.load(); }

private:
    void CollectSizes();
    // Bytes of the package's file that a new attempt continues from: what an
    // earlier attempt left, for a package whose whole file is checked.
    std::uint64_t KeptBytes(const InstallerItem& item) const;
    // Takes the package from the package folder when a file there has its
    // sha256; true when it did (the package is then Downloaded).
    bool UseLocalPackage(InstallerItem& item, const boost::filesystem::path& folder,
                         const std::string& suffix);

    // IDownloaderEvents (from Pump).
    void OnItemDownloadStarted(const std::string& name, unsigned long long size) override;
    void OnItemProgressUpdated(const std::string& name, unsigned long long downloaded,
                               unsigned long long total, unsigned char percent) override;
    void OnItemDownloadFinished(const std::string& name, unsigned long long size) override;
    void OnWorkStarted(unsigned long long total) override;
    void OnWorkProgressUpdated(unsigned long long downloaded, unsigned long long total,
                               unsigned char percent) override;
    void OnWorkFinished(unsigned long long total) override;
    void OnWorkFailed(unsigned long long downloaded, unsigned long long total,
                      std::string error) override;

    IPackageDownloadsObserver& m_observer;
    Packages& m_packages;
    IStatisticsTracker& m_tracker;
    ISplash& m_splash;
    RunOutcome& m_outcome;
    const std::string m_tempDir;
    Util::ThreadChecker m_thread;
    std::unique_ptr<IDownloader> m_downloader;
    // Written on the logic thread, read by the exit button on any thread.
    std::atomic<int> m_errorCount{0};
    Clock::time_point m_downloadStart{};
    // The running batch's packages, and the percent last shown for it: the
    // bar counts every size known from the start and never goes back.
    std::vector<std::string> m_batchIds;
    int m_shownPercent = -1;
    // Size queries run in parallel while the configuration is read.
    SizeQueries m_sizes;
    std::list<std::pair<InstallerItem*, std::future<std::uint64_t>>> m_sizeQueries;
};

} // namespace Zentak
