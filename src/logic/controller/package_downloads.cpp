#include "logic/controller/package_downloads.h"

#include <algorithm>
#include <fstream>
#include <ios>
#include <limits>
#include <vector>

#include <boost/filesystem.hpp>
#include <glog/logging.h>

#include "logic/downloader/sha256.h"
#include "logic/tracker/events.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"
#include "utils/ini_reader.h"
#include "utils/platform/system_info.h"
#include "utils/settings.h"
#include "utils/temp_paths.h"

namespace Zentak {
namespace {

using ID = Settings::ID;
using State = InstallerItem::State;

// The file name a package has on its server: the last element of its URL's
// path, without query or fragment; empty when the path ends in "/".
std::string PackageFileName(const std::string& url)
{
    const std::size_t schemeEnd = url.find("://");
    const std::size_t pathStart =
        url.find('/', schemeEnd == std::string::npos ? 0 : schemeEnd + 3);
    if (pathStart == std::string::npos) {
        return {};
    }
    const std::size_t pathEnd = url.find_first_of("?#", pathStart);
    const std::string path = url.substr(pathStart, pathEnd - pathStart);
    const std::string name = path.substr(path.rfind('/') + 1);
    return name == "." || name == ".." ? std::string() : name;
}

// Copies `from` to `to` and returns the SHA-256 of the bytes copied (what
// `to` then holds), or the empty text when either file fails. One pass: the
// bytes checked are the bytes installed.
std::string CopyWithSha256(const boost::filesystem::path& from, const boost::filesystem::path& to,
                           std::uint64_t& copied)
{
    std::ifstream source(from.string(), std::ios::in | std::ios::binary);
    std::ofstream target(to.string(), std::ios::out | std::ios::trunc | std::ios::binary);
    if (!source || !target) {
        return {};
    }
    Sha256 hash;
    std::vector<char> block(1024 * 1024);
    copied = 0;
    while (source) {
        source.read(block.data(), static_cast<std::streamsize>(block.size()));
        const std::streamsize count = source.gcount();
        if (count <= 0) {
            break;
        }
        hash.Update(block.data(), static_cast<std::size_t>(count));
        if (!target.write(block.data(), count)) {
            return {};
        }
        copied += static_cast<std::uint64_t>(count);
    }
    target.close();
    if (!source.eof() || !target) {
        return {};
    }
    return hash.HexDigest();
}

} // namespace

PackageDownloads::PackageDownloads(
    IPackageDownloadsObserver& observer, Packages& packages, IStatisticsTracker& tracker,
    ISplash& splash, RunOutcome& outcome, std::string tempDir,
    const std::function<std::unique_ptr<IDownloader>(IDownloaderEvents&, std::function<void()>)>&
        makeDownloader,
    std::function<void()> wake)
    : m_observer(observer),
      m_packages(packages),
      m_tracker(tracker),
      m_splash(splash),
      m_outcome(outcome),
      m_tempDir(std::move(tempDir)),
      m_downloader(makeDownloader(static_cast<IDownloaderEvents&>(*this), std::move(wake)))
{
    // Made with the controller on the main thread, used on the logic thread.
    m_thread.Detach();
}

PackageDownloads::~PackageDownloads()
{
    // A batch ended by the downloader's destruction reports on the
    // destroying thread, which takes the room over.
    m_thread.Detach();
    m_downloader.reset();
}

void PackageDownloads::ForgetSizeQueries()
{
    m_sizeQueries.clear();
}

void PackageDownloads::AskSize(InstallerItem& item)
{
    ZENTAK_CHECK_THREAD(m_thread);
    if (item.configuredSize) {
        // The configuration says how large the package is; no need to ask.
        return;
    }
    m_sizeQueries.emplace_back(&item, m_sizes.Ask(item.url));
}

void PackageDownloads::CollectSizes()
{
    // A size the first query could not learn is asked once more (of the
    // first mirror, when the package has one: the URL may be down), all of
    // them at once; after that it stays unknown. Asking before every
    // install, one after another, made a server whose size queries hang
    // cost minutes per package.
    std::list<std::pair<InstallerItem*, std::future<std::uint64_t>>> again;
    for (auto& [item, size] : m_sizeQueries) {
        item->learnedSize = size.get();
        if (item->learnedSize == 0) {
            again.emplace_back(item, m_sizes.Ask(item->mirrors.empty() ? item->url
                                                                       : item->mirrors.front()));
        }
    }
    for (auto& [item, size] : again) {
        item->learnedSize = size.get();
    }
    m_sizeQueries.clear();
}

bool PackageDownloads::Start()
{
    ZENTAK_CHECK_THREAD(m_thread);
    if (!m_packages.Any(State::Pending) || !EnoughDiskSpace()) {
        return false;
    }

    std::string suffix;
    const std::string sitemark = Settings::GetString(ID::SitemarkId);
    if (!sitemark.empty()) {
        suffix = std::string(Util::GetSitemarkTag()) + sitemark + "_";
    }
    suffix += Util::GetPreferredBrowserInfo().tag;
    const boost::filesystem::path packageDir = Settings::GetString(ID::PackageDir);
    // Packages of unknown size may take half the free space together, each
    // an equal share: an endless body stops there instead of filling the
    // disk, however many of them arrive at once, and the rest stays for
    // unpacking them.
    std::uint64_t unknownSizes = 0;
    for (const InstallerItem& installer : m_packages.Items()) {
        unknownSizes += installer.state == State::Pending && !installer.configuredSize ? 1 : 0;
    }
    const std::uint64_t downloadBound =
        Util::GetDiscSpaceAvailableBytes(m_tempDir) / 2 / std::max<std::uint64_t>(unknownSizes, 1);

    std::vector<DownloadItem> items;
    for (InstallerItem& installer : m_packages.Items()) {
        if (installer.state != State::Pending) {
            continue;
        }
        if (!packageDir.empty() && UseLocalPackage(installer, packageDir, suffix)) {
            continue;
        }
        installer.state = State::Downloading;
        std::uint64_t resumeFrom = 0;
        boost::system::error_code error;
        if (installer.localPath.empty() || !boost::filesystem::exists(installer.localPath, error)) {
            installer.localPath = Util::CreateTempPath(m_tempDir, "dmg", suffix);
        } else if ((resumeFrom = KeptBytes(installer)) == 0) {
            // The retry writes the same file anew. A fresh file instead of a
            // truncated one: closing a truncated, rewritten file makes the
            // file system write it back at once, which would slow a stop.
            boost::filesystem::remove(installer.localPath, error);
        }
        DownloadItem item;
        item.name = installer.id;
        item.url = installer.url;
        item.path = installer.localPath.string();
        item.sha256 = installer.sha256;
        item.size = installer.configuredSize;
        item.maxBytes = downloadBound;
        item.resumeFrom = resumeFrom;
        item.mirrors = installer.mirrors;
        item.connections = installer.connections;
        item.expectedSize = installer.ExpectedSize();
        const std::ios::openmode mode =
            std::ios::out | std::ios::binary | (resumeFrom > 0 ? std::ios::app : std::ios::trunc);
        item.stream = std::make_unique<std::ofstream>(installer.localPath.string(), mode);
        if (resumeFrom > 0) {
            LOG(INFO) << "Product " << installer.id << " download continues " << item.path
                      << " from byte " << resumeFrom;
        }
        installer.downloadStart = Clock::now();
        items.push_back(std::move(item));
    }
    if (items.empty() || !m_downloader) {
        return false;
    }
    m_batchIds.clear();
    for (const DownloadItem& item : items) {
        m_batchIds.push_back(item.name);
    }
    m_shownPercent = -1;
    m_downloader->Download(std::move(items));
    return true;
}

std::uint64_t PackageDownloads::KeptBytes(const InstallerItem& item) const
{
    // Without a hash nothing would vouch for the joined file.
    if (item.sha256.empty()) {
        return 0;
    }
    boost::system::error_code error;
    const std::uintmax_t size = boost::filesystem::file_size(item.localPath, error);
    if (error || size == 0) {
        return 0;
    }
    const std::uint64_t whole = item.ExpectedSize();
    // A file as long as the whole package failed its check or was not
    // finished for another reason: there is no rest to ask for.
    if (whole != 0 && size >= whole) {
        return 0;
    }
    return size;
}

bool PackageDownloads::UseLocalPackage(InstallerItem& item, const boost::filesystem::path& folder,
                                       const std::string& suffix)
{
    const std::string name = PackageFileName(item.url);
    if (name.empty()) {
        return false;
    }
    const boost::filesystem::path candidate = folder / name;
    boost::system::error_code error;
    if (!boost::filesystem::is_regular_file(candidate, error)) {
        LOG(INFO) << "Package folder has no " << candidate.string() << " for " << item.id
                  << ", downloading it";
        return false;
    }
    if (item.sha256.empty()) {
        LOG(INFO) << "Package file " << candidate.string() << " not used for " << item.id
                  << ": the configuration gives no sha256 to check it against, downloading it";
        return false;
    }
    // A private copy in the run directory, hashed while it is made: the
    // installer then runs exactly the bytes that were checked, whatever
    // happens to the folder meanwhile.
    const boost::filesystem::path target = Util::CreateTempPath(m_tempDir, "dmg", suffix);
    std::uint64_t copied = 0;
    const std::string digest = CopyWithSha256(candidate, target, copied);
    if (digest != item.sha256) {
        boost::filesystem::remove(target, error);
        if (digest.empty()) {
            LOG(INFO) << "Package file " << candidate.string() << " for " << item.id
                      << " cannot be copied to " << target.string() << ", downloading it";
        } else {
            LOG(INFO) << "Package file " << candidate.string() << " for " << item.id
                      << " does not match its sha256 (expected " << item.sha256 << ", got "
                      << digest << "), downloading it";
        }
        return false;
    }
    LOG(INFO) << "Product " << item.id << " taken from " << candidate.string();
    item.localPath = target;
    item.receivedBytes = copied;
    item.state = State::Downloaded;
    m_tracker.TrackEvent(Events::kProductLocalPackageUsed,
                         {{EventParam::kProductName, item.id},
                          {EventParam::kTotalSize, std::to_string(copied)}});
    return true;
}

bool PackageDownloads::EnoughDiskSpace()
{
    ZENTAK_CHECK_THREAD(m_thread);
    CollectSizes();
    // Sizes come from servers: a sum or product that would wrap around
    // stays at the largest value, which no disk holds.
    constexpr unsigned long long kMost = std::numeric_limits<unsigned long long>::max();
    unsigned long long sum = 0;
    for (const InstallerItem& item : m_packages.Items()) {
        if (item.state == State::Installed || item.state == State::Skipped) {
            continue;
        }
        const std::uint64_t size = item.ExpectedSize();
        sum = size > kMost - sum ? kMost : sum + size;
    }
    const unsigned long long required = sum > kMost / 5 ? kMost : sum * 5;
    LOG(INFO) << "Installation requires " << required << " bytes available on disk";

    for (const boost::filesystem::path& volume : {boost::filesystem::path(m_tempDir), InstallDir()}) {
        const unsigned long long available = Util::GetDiscSpaceAvailableBytes(volume);
        if (available >= required) {
            continue;
        }
        // Reported before the dialog: a splash that answers at once (the
        // console splash of an unattended run) must not have its answer
        // reach the statistics before the refusal it answers.
        m_tracker.TrackEvent(Events::kNotEnoughDiskSpace,
                             {{EventParam::kRequiredBytes, std::to_string(required)},
                              {EventParam::kAvailableBytes, std::to_string(available)}});
        m_outcome.Fail(RunFailure::DiskSpace, DiskSpaceCause(volume.string(), required, available));
        m_splash.ShowNotEnoughDiskSpaceDialog(volume.string(), required, available);
        return false;
    }
    return true;
}

bool PackageDownloads::RetryAfterFailure(const InstallerItem& failed)
{
    ZENTAK_CHECK_THREAD(m_thread);
    const int failures = m_errorCount++;
    if (failures == 0) {
        return true;
    }
    m_outcome.Fail(RunFailure::Download,
                   failed.id + ": " +
                       (failed.failureCause.empty() ? "download failed" : failed.failureCause) +
                       " (" + std::to_string(failed.downloadErrors) + " attempts)");
    if (failures > 3) {
        ShowNoConnection(m_tracker, m_splash);
    } else {
        m_splash.ShowRetryDialog(m_packages.DialogName(failed), ProcessOutcome::None);
    }
    return false;
}

void PackageDownloads::Pump()
{
    ZENTAK_CHECK_THREAD(m_thread);
    if (m_downloader) {
        m_downloader->DoMainThreadWork();
    }
}

void PackageDownloads::Cancel()
{
    ZENTAK_CHECK_THREAD(m_thread);
    m_downloader.reset();
}

void PackageDownloads::OnWorkStarted(unsigned long long total)
{
    if (m_errorCount != 0) {
        return;
    }
    m_downloadStart = Clock::now();
    m_tracker.TrackEvent(Events::kBundleDownloadStarted,
                         {{EventParam::kTotalSize, std::to_string(total)}});
}

void PackageDownloads::OnWorkProgressUpdated(unsigned long long downloaded,
                                             unsigned long long total, unsigned char)
{
    // The downloader's total grows as transfers report their sizes, which
    // would move the bar back; the sizes the configuration or the size
    // queries gave count from the first report on.
    unsigned long long known = 0;
    for (const std::string& id : m_batchIds) {
        if (const InstallerItem* item = m_packages.Find(id)) {
            known += item->ExpectedSize();
        }
    }
    const unsigned long long whole = std::max(total, known);
    if (whole == 0) {
        return;
    }
    const int percent =
        static_cast<int>(std::min<unsigned long long>(100, downloaded * 100 / whole));
    // A size a server states only when its transfer starts can still grow
    // the whole: the bar then waits instead of going back.
    if (percent <= m_shownPercent) {
        return;
    }
    m_shownPercent = percent;
    m_splash.UpdateProgress(percent);
}

void PackageDownloads::OnItemDownloadStarted(const std::string& name, unsigned long long size)
{
    LOG(INFO) << "Product " << name << " download started";
    InstallerItem* item = m_packages.Find(name);
    if (item && item->downloadErrors == 0) {
        m_tracker.TrackEvent(Events::kProductDownloadStarted,
                             {{EventParam::kProductName, name},
                              {EventParam::kTotalSize, std::to_string(size)}});
    }
}

void PackageDownloads::OnItemProgressUpdated(const std::string& name,
                                             unsigned long long downloaded, unsigned long long,
                                             unsigned char)
{
    if (InstallerItem* item = m_packages.Find(name)) {
        item->receivedBytes = downloaded;
    }
}

void PackageDownloads::OnItemDownloadFinished(const std::string& name, unsigned long long size)
{
    LOG(INFO) << "Product " << name << " download finished";
    InstallerItem* item = m_packages.Find(name);
    if (!item) {
        return;
    }
    item->state = State::Downloaded;
    const unsigned long long seconds = SecondsSince(item->downloadStart);
    m_tracker.TrackEvent(Events::kProductDownloadFinished,
                         {{EventParam::kProductName, name},
                          {EventParam::kTotalSize, std::to_string(size)},
                          {EventParam::kErrorCount, std::to_string(item->downloadErrors)},
                          {EventParam::kTimeElapsed, std::to_string(seconds)},
                          {EventParam::kAverageSpeed, std::to_string(size / seconds)}});
}

void PackageDownloads::OnWorkFinished(unsigned long long total)
{
    LOG(INFO) << "All products downloaded";
    const unsigned long long seconds = SecondsSince(m_downloadStart);
    m_tracker.TrackEvent(Events::kBundleDownloadFinished,
                         {{EventParam::kTotalSize, std::to_string(total)},
                          {EventParam::kErrorCount, std::to_string(m_errorCount)},
                          {EventParam::kTimeElapsed, std::to_string(seconds)},
                          {EventParam::kAverageSpeed, std::to_string(total / seconds)}});
    m_splash.SetPage(ISplash::Wait);
    m_observer.OnDownloadsEnded();
}

void PackageDownloads::OnWorkFailed(unsigned long long downloaded, unsigned long long total,
                                    std::string error)
{
    LOG(INFO) << "Download error. Downloaded " << downloaded << " of " << total << " bytes";
    const std::string cause = m_downloader ? m_downloader->FailureCause() : std::string();
    for (InstallerItem& item : m_packages.Items()) {
        if (item.state == State::Downloaded) {
            continue;
        }
        item.failureCause = cause.empty() ? error : cause;
        const unsigned long long seconds = SecondsSince(
            item.downloadStart != Clock::time_point{} ? item.downloadStart : m_downloadStart);
        if (item.state == State::Downloading) {
            item.state = State::DownloadFailed;
        }
        m_tracker.TrackEvent(Events::kProductDownloadError,
                             {{EventParam::kProductName, item.id},
                              {EventParam::kErrorCount, std::to_string(item.downloadErrors)},
                              {EventParam::kTimeElapsed, std::to_string(seconds)},
                              {EventParam::kAverageSpeed, std::to_string(item.receivedBytes / seconds)},
                              {EventParam::kCurlError, error}});
        ++item.downloadErrors;
    }
    const unsigned long long seconds = SecondsSince(m_downloadStart);
    m_tracker.TrackEvent(Events::kBundleDownloadError,
                         {{EventParam::kDownloadedSize, std::to_string(downloaded)},
                          {EventParam::kTotalSize, std::to_string(total)},
                          {EventParam::kErrorCount, std::to_string(m_errorCount)},
                          {EventParam::kTimeElapsed, std::to_string(seconds)},
                          {EventParam::kAverageSpeed, std::to_string(downloaded / seconds)},
                          {EventParam::kCurlError, error}});
    m_observer.OnDownloadsEnded();
}

} // namespace Zentak
