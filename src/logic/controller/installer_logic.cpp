#include "logic/controller/installer_logic.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <fstream>
#include <future>
#include <iostream>
#include <limits>
#include <list>
#include <vector>

#include <pthread.h>

#include <boost/filesystem.hpp>
#include <glog/logging.h>

#include "external/crash_handler.h"
#include "localization/process_locale.h"
#include "localization/translater.h"
#include "logic/config/config_parser.h"
#include "logic/downloader/size_queries.h"
#include "logic/downloader/downloader.h"
#include "logic/downloader/sha256.h"
#include "logic/helpers/sitemark_provider.h"
#include "logic/controller/splash_image_controller.h"
#include "logic/tracker/events.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"
#include "utils/ini_reader.h"
#include "utils/key_value_file.h"
#include "utils/mac/process_executor.h"
#include "utils/mac/system_info.h"
#include "utils/posix_compat.h"
#include "utils/settings.h"
#include "utils/string_utils.h"
#include "utils/temp_paths.h"
#include "utils/wake_up_signal.h"

namespace Zentak {
namespace {

using Clock = std::chrono::steady_clock;
using ID = Settings::ID;

constexpr const char* kVersion = "1.6.0";

// Whole seconds since `since`, truncated, and at least 1.
unsigned long long SecondsSince(Clock::time_point since)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - since);
    return std::max<long long>(1, seconds.count());
}

boost::filesystem::path InstallDir()
{
    const std::any value = Settings::Get(ID::InstallDir);
    if (const auto* path = std::any_cast<boost::filesystem::path>(&value)) {
        return *path;
    }
    if (const auto* text = std::any_cast<std::string>(&value)) {
        return *text;
    }
    return {};
}

// A name that stays one entry of the folder it is put in.
bool IsPlainFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

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

std::string JoinLocales()
{
    std::string joined;
    for (const std::string& locale : Translater::GetLocales()) {
        if (!joined.empty()) {
            joined += ", ";
        }
        joined += locale;
    }
    return joined;
}

} // namespace

class InstallerLogic::Impl : private ISplashEventObserver,
                             private IProcessExecutorObserver,
                             private IConfigParserObserver,
                             private ISplashImageControllerObserver,
                             private IDownloaderEvents {
public:
    enum Stage : int {
        Configuring = 0,
        StartRequested = 1,
        Installing = 2,
        LaunchRequested = 4,
        Finished = 5,
    };

    Impl();
    ~Impl() override;

    void Start();
    ISplash& Splash() { return *m_splash; }
    bool BundleInstallFinished() const { return m_bundleFinished; }
    // Ends the run when the splash itself failed.
    void Abort() { OnExitButtonPressed(); }

private:
    void MainLoop();
    void RunTurn(int stage);
    void SetStage(Stage stage);
    std::function<void()> Waker()
    {
        return [this] { m_wakeUp.Raise(); };
    }

    // Configuration and download flow.
    // True when a batch was started.
    bool StartDownloadingInstallers();
    // Bytes of the package's file that a new attempt continues from: what an
    // earlier attempt left, for a package whose whole file is checked.
    std::uint64_t KeptBytes(const InstallerItem& item) const;
    // Takes the package from the --package-dir folder when a file there has
    // its sha256; true when it did (the package is then Downloaded).
    bool UseLocalPackage(InstallerItem& item, const boost::filesystem::path& folder,
                         const std::string& suffix);
    bool NotEnoughDiskSpaceAvailable();
    void ShowNoConnectionPopup();
    void OnRetryPressedImpl();
    void CollectSizeQueries();
    InstallerItem* FindInstaller(const std::string& id);
    std::string RetryDialogName(const InstallerItem& item) const;

    // Installation and launch.
    void Install();
    void Run(const std::vector<StartItem>& items);
    void WriteCustomParamsForProduct(const std::string& name);
    void SkipImpl();
    void CancelImpl();

    // ISplashEventObserver (main thread, and OnExitButtonPressed from Close).
    void OnStartButtonPressed() override;
    void OnReadyButtonPressed() override;
    void OnExitButtonPressed() override;
    void OnEulaOpenSucceeded() override;
    void OnEulaOpenFailed() override;
    void OnEulaShown() override;
    void OnEulaHidden() override;
    void OnSkipPressed() override;
    void OnRetryPressed() override;
    void OnCancelPressed() override;
    void OnSelectInstallFolderPressed() override {}
    void OnConsentCheckboxStateChanged(bool state) override;

    // IProcessExecutorObserver.
    void OnProcessStarted(Mode mode, const std::string& name) override;
    void OnProcessFinished(Mode mode, const std::string& name, ProcessState state) override;

    // IConfigParserObserver.
    void OnBuildNameParsed(const std::string& value) override;
    void OnModuleNameParsed(const std::string& value) override;
    void OnInstallerParsed(InstallerItem&& item) override;
    void OnProductParametersParsed(ProductParameters&& parameters) override;
    void OnSplashImageParsed(ISplash::Page page, std::string&& url) override;
    void OnRunInstalledParsed(StartItem&& item) override;
    void OnStartParsed(StartItem&& item) override;
    void OnAutostartParsed(bool value) override;
    void OnStatisticsParsed(const std::string& url, const std::string& id) override;
    void OnConfigReady() override;
    void OnConfigError() override;

    // ISplashImageControllerObserver.
    void OnMainImageLoaded(std::string&&) override {}
    void OnProgressImageLoaded(ISplash::Page page, std::string&& data) override;
    void OnMainImageLoadError() override;

    // IDownloaderEvents (the packages' downloader).
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

    // Declared first: every queue below raises it.
    WakeUpSignal m_wakeUp;

    std::string m_tempDir;
    std::atomic<int> m_stage{Configuring};
    std::shared_ptr<IStatisticsTracker> m_tracker;
    std::unique_ptr<ConfigParser> m_configParser;
    std::unique_ptr<SplashImageController> m_imageController;
    std::unique_ptr<Downloader> m_downloader;
    std::unique_ptr<ISplash> m_splash;
    std::unique_ptr<IProcessExecutor> m_processExecutor;
    std::string m_productId;
    std::string m_productDisplayName;
    std::unique_ptr<Util::ILockableSync> m_instanceLock;
    bool m_instanceLockAcquired = false;
    std::list<InstallerItem> m_installers;
    std::vector<ProductParameters> m_productParameters;
    std::vector<std::pair<ISplash::Page, std::string>> m_progressImages;
    std::vector<StartItem> m_runInstalledItems;
    std::vector<StartItem> m_startItems;
    bool m_autostart = false;
    std::atomic<bool> m_installerInfoChanged{false};
    std::string m_sitemark;
    // Written on the logic thread, read by the exit button on any thread.
    std::atomic<int> m_downloadErrorCount{0};
    std::atomic<int> m_installErrorCount{0};
    Clock::time_point m_downloadStart{};
    Clock::time_point m_createdAt;
    std::atomic<bool> m_retryRequested{false};

    // Skip and cancel arrive on the main thread but change packages and the
    // downloader, which belong to the logic thread: they are handed over
    // like the retry request.
    std::atomic<bool> m_skipRequested{false};
    std::atomic<bool> m_cancelRequested{false};
    std::atomic<bool> m_bundleFinished{false};
    // Product launches whose outcome has not arrived yet (logic thread).
    int m_pendingLaunches = 0;

    // Expected-size queries run in parallel while the configuration is read;
    // their answers are collected before the first disk check.
    SizeQueries m_sizes;
    std::list<std::pair<InstallerItem*, std::future<std::uint64_t>>> m_sizeQueries;
};

InstallerLogic::Impl::Impl()
    : m_tempDir(Util::GetTempDir().string()),
      m_tracker(IStatisticsTracker::Create()),
      m_configParser(std::make_unique<ConfigParser>(static_cast<IConfigParserObserver&>(*this),
                                                    m_tracker, Waker())),
      m_imageController(std::make_unique<SplashImageController>(
          static_cast<ISplashImageControllerObserver&>(*this), m_tracker, Waker())),
      m_downloader(std::make_unique<Downloader>(static_cast<IDownloaderEvents&>(*this), Waker())),
      m_splash(CreateSplash(static_cast<ISplashEventObserver&>(*this))),
      m_processExecutor(
          GetProcessExecutor(static_cast<IProcessExecutorObserver&>(*this), Waker())),
      m_createdAt(Clock::now())
{
    LOG(INFO) << "Installer started";
    LOG(INFO) << "Version: " << kVersion;
    LOG(INFO) << "Build commit: " << ZENTAK_BUILD_COMMIT;
    LOG(INFO) << "DistribName: " << Settings::GetString(ID::DistribName);
    LOG(INFO) << "Default locale: " << Translater::GetDefaultLocale() << ", available locales: ["
              << JoinLocales() << "]";
}

InstallerLogic::Impl::~Impl()
{
    LOG(INFO) << "InstallerLogic::Impl destruction started";
    m_sizeQueries.clear();
    m_configParser.reset();
    m_imageController.reset();
    m_processExecutor.reset();
    m_downloader.reset();
    m_tracker.reset();
    m_splash.reset();
    LOG(INFO) << "InstallerLogic::Impl destructed";
}

void InstallerLogic::Impl::SetStage(Stage stage)
{
    m_stage.exchange(stage);
    m_wakeUp.Raise();
}

void InstallerLogic::Impl::Start()
{
    try {
        m_productId = Settings::GetString(ID::ProductId);
        m_instanceLock = Util::CreateMutexInstance(m_productId.c_str());
        m_instanceLockAcquired = m_instanceLock->TryLock(0);

        m_productDisplayName = Settings::GetString(ID::ProductDisplayName);
        LOG(INFO) << "Product display name = " << m_productDisplayName;

        m_sitemark = SitemarkProvider::GetSitemark(m_tracker);
        LOG(INFO) << "Sitemark used: " << m_sitemark;

        const Util::PreferredBrowserInfo browser = Util::GetPreferredBrowserInfo();
        if (!browser.name.empty()) {
            Settings::Set(ID::PreferredBrowser, browser.name);
        }
        LOG(INFO) << "Preferred browser: " << browser.name;

        if (m_stage != Finished) {
            LOG(INFO) << "Main loop entered";
            try {
                m_configParser->Start();
            } catch (const std::exception& error) {
                // A local configuration that cannot be read: tell the user
                // the way a failed download does, and let them end the run.
                LOG(ERROR) << "Configuration failed: " << error.what();
                Core::TrackException(Core::TypeName(error), error.what());
                OnConfigError();
            }
            MainLoop();
            LOG(INFO) << "Main loop exited";
        }
    } catch (const std::exception& error) {
        LOG(ERROR) << "Installer logic failed: " << error.what();
        Core::TrackException(Core::TypeName(error), error.what());
        m_stage.exchange(Finished);
    }
    m_splash->Close();
    m_instanceLock.reset();
}

void InstallerLogic::Impl::MainLoop()
{
    for (;;) {
        if (m_stage.load() == Finished) {
            return;
        }
        if (m_cancelRequested.exchange(false)) {
            CancelImpl();
        }
        if (m_skipRequested.exchange(false)) {
            SkipImpl();
        }
        const int stage = m_stage.load();
        if (stage == Finished) {
            return;
        }
        RunTurn(stage);
        if (m_retryRequested.exchange(false)) {
            OnRetryPressedImpl();
        }
        if (m_installerInfoChanged.exchange(false)) {
            m_splash->UpdateInstallerInfo();
        }
        // Everything that can give the loop work raises the signal; the
        // bounded wait only guards against a source that forgot to.
        m_wakeUp.WaitFor(std::chrono::seconds(1));
    }
}

void InstallerLogic::Impl::RunTurn(int stage)
{
    switch (stage) {
    case Configuring:
        m_configParser->DoMainThreadWork();
        m_imageController->DoMainThreadWork();
        break;
    case StartRequested:
        m_imageController->LoadProgressImages(std::move(m_progressImages));
        m_progressImages.clear();
        m_stage.exchange(Installing);
        m_splash->SetPage(ISplash::Progress);
        if (!StartDownloadingInstallers() &&
            std::any_of(m_installers.begin(), m_installers.end(), [](const InstallerItem& item) {
                return item.state == InstallerItem::State::Downloaded;
            })) {
            // Every package came from the package folder: nothing to wait for.
            m_splash->SetPage(ISplash::Wait);
            Install();
        }
        if (m_installers.empty() && Settings::GetBool(ID::Unattended)) {
            // A window would wait for the user to close it; nobody will.
            LOG(INFO) << "Nothing to install, the unattended run ends";
            OnExitButtonPressed();
        }
        break;
    case Installing:
        if (m_downloader) {
            m_downloader->DoMainThreadWork();
        }
        m_imageController->DoMainThreadWork();
        m_processExecutor->DoMainThreadWork();
        break;
    case LaunchRequested:
        Run(m_startItems);
        SetStage(Finished);
        break;
    default:
        break;
    }
}

// ---- Configuration results -------------------------------------------------

void InstallerLogic::Impl::OnBuildNameParsed(const std::string& value)
{
    if (!Settings::Has(ID::BuildName)) {
        Settings::Set(ID::BuildName, value);
    }
}

void InstallerLogic::Impl::OnModuleNameParsed(const std::string& value)
{
    if (!Settings::Has(ID::ModuleName)) {
        Settings::Set(ID::ModuleName, value);
    }
}

void InstallerLogic::Impl::OnInstallerParsed(InstallerItem&& parsed)
{
    // Downloads, installer processes and launches are all found by id: a
    // second section with the same id would share the first one's entries
    // and the run could never see both finish.
    if (FindInstaller(parsed.id)) {
        LOG(WARNING) << "Installer section with id \"" << parsed.id << "\" and url \""
                     << parsed.url << "\" ignored: an earlier section has the same id";
        return;
    }
    InstallerItem item = std::move(parsed);
    for (const auto& [key, value] : item.searchInstalled) {
        if (key == "exe_name") {
            item.exeName = value;
        } else if (key == "uninstall_registry_key_name" && item.displayName.empty()) {
            item.displayName = value;
        }
    }
    for (StartItem& start : item.runInstalled) {
        if (start.id.empty()) {
            start.id = item.id;
        }
    }
    if (item.autodetectArch && item.url.size() >= 3 &&
        item.url.find("x64") != std::string::npos && Util::isRunningOnRosetta()) {
        item.url = Util::ReplaceAll(item.url, "/x64/", "/arm64/");
        m_tracker->TrackEvent(Events::kProductArchChanged, {{EventParam::kProductName, item.id}});
    }
    m_installers.push_back(std::move(item));
    InstallerItem& stored = m_installers.back();
    if (stored.configuredSize) {
        // The configuration says how large the package is; no need to ask.
        return;
    }
    m_sizeQueries.emplace_back(&stored, m_sizes.Ask(stored.url));
}

void InstallerLogic::Impl::CollectSizeQueries()
{
    // A size the first query could not learn is asked once more, all of
    // them at once; after that it stays unknown. Asking before every
    // install, one after another, made a server whose size queries hang
    // cost minutes per package.
    std::list<std::pair<InstallerItem*, std::future<std::uint64_t>>> again;
    for (auto& [item, size] : m_sizeQueries) {
        item->learnedSize = size.get();
        if (item->learnedSize == 0) {
            again.emplace_back(item, m_sizes.Ask(item->url));
        }
    }
    for (auto& [item, size] : again) {
        item->learnedSize = size.get();
    }
    m_sizeQueries.clear();
}

void InstallerLogic::Impl::OnProductParametersParsed(ProductParameters&& parameters)
{
    m_productParameters.push_back(std::move(parameters));
}

void InstallerLogic::Impl::OnSplashImageParsed(ISplash::Page page, std::string&& url)
{
    if (page != ISplash::Start) {
        m_progressImages.emplace_back(page, std::move(url));
    }
}

void InstallerLogic::Impl::OnRunInstalledParsed(StartItem&& item)
{
    m_runInstalledItems.push_back(std::move(item));
}

void InstallerLogic::Impl::OnStartParsed(StartItem&& item)
{
    m_startItems.push_back(std::move(item));
}

void InstallerLogic::Impl::OnAutostartParsed(bool value)
{
    m_autostart = value;
}

void InstallerLogic::Impl::OnStatisticsParsed(const std::string& url, const std::string& id)
{
    m_tracker->Initialize(url, id);
    const std::string browser = Settings::GetString(ID::PreferredBrowser);
    m_tracker->TrackEvent(Events::kBundleInstallStarted,
                          {{EventParam::kInitializationTime, std::to_string(SecondsSince(m_createdAt))},
                           {EventParam::kPreferredBrowser,
                            Settings::Has(ID::PreferredBrowser) ? browser : "UNDEFINED"}});
    if (!m_instanceLockAcquired) {
        LOG(INFO) << "Bundle " << m_productId << " already installing";
        m_tracker->TrackEvent(Events::kBundleInstallRepeatedDetected);
        m_splash->ShowInstallerAlreadyRunningDialog("Zentak Reel Maker");
    }
}

void InstallerLogic::Impl::OnConfigReady()
{
    m_installerInfoChanged.exchange(true);
    m_wakeUp.Raise();
    LOG(INFO) << "Config parsed";
    m_installers.sort([](const InstallerItem& a, const InstallerItem& b) {
        return a.installOrder < b.installOrder;
    });
    m_splash->SetPage(ISplash::Start);
}

void InstallerLogic::Impl::OnConfigError()
{
    ShowNoConnectionPopup();
}

// ---- Splash pictures -------------------------------------------------------

void InstallerLogic::Impl::OnProgressImageLoaded(ISplash::Page page, std::string&& data)
{
    m_splash->SetProgressImage(page, std::move(data));
}

void InstallerLogic::Impl::OnMainImageLoadError()
{
    ShowNoConnectionPopup();
}

// ---- Downloads -------------------------------------------------------------

InstallerItem* InstallerLogic::Impl::FindInstaller(const std::string& id)
{
    auto it = std::find_if(m_installers.begin(), m_installers.end(),
                           [&](const InstallerItem& item) { return item.id == id; });
    return it == m_installers.end() ? nullptr : &*it;
}

std::string InstallerLogic::Impl::RetryDialogName(const InstallerItem& item) const
{
    return item.displayName.empty() ? m_productDisplayName : item.displayName;
}

bool InstallerLogic::Impl::StartDownloadingInstallers()
{
    const auto pending = std::count_if(m_installers.begin(), m_installers.end(),
                                       [](const InstallerItem& item) {
                                           return item.state == InstallerItem::State::Pending;
                                       });
    if (pending == 0 || NotEnoughDiskSpaceAvailable()) {
        return false;
    }

    std::string suffix;
    const std::string sitemark = Settings::GetString(ID::SitemarkId);
    if (!sitemark.empty()) {
        suffix = std::string(Util::GetSitemarkTag()) + sitemark + "_";
    }
    suffix += Util::GetPreferredBrowserInfo().tag;
    const boost::filesystem::path packageDir = Settings::GetString(ID::PackageDir);
    // A package of unknown size may take half the free space: an endless
    // body stops there instead of filling the disk, and the rest stays for
    // unpacking it.
    const std::uint64_t downloadBound = Util::GetDiscSpaceAvailableBytes(m_tempDir) / 2;

    std::vector<DownloadItem> items;
    for (InstallerItem& installer : m_installers) {
        if (installer.state != InstallerItem::State::Pending) {
            continue;
        }
        if (!packageDir.empty() && UseLocalPackage(installer, packageDir, suffix)) {
            continue;
        }
        installer.state = InstallerItem::State::Downloading;
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
    m_downloader->Download(std::move(items));
    return true;
}

std::uint64_t InstallerLogic::Impl::KeptBytes(const InstallerItem& item) const
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

bool InstallerLogic::Impl::UseLocalPackage(InstallerItem& item,
                                           const boost::filesystem::path& folder,
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
    item.state = InstallerItem::State::Downloaded;
    m_tracker->TrackEvent(Events::kProductLocalPackageUsed,
                          {{EventParam::kProductName, item.id}, {EventParam::kTotalSize, std::to_string(copied)}});
    return true;
}

bool InstallerLogic::Impl::NotEnoughDiskSpaceAvailable()
{
    CollectSizeQueries();
    // Sizes come from servers: a sum or product that would wrap around
    // stays at the largest value, which no disk holds.
    constexpr unsigned long long kMost = std::numeric_limits<unsigned long long>::max();
    unsigned long long sum = 0;
    for (InstallerItem& item : m_installers) {
        if (item.state == InstallerItem::State::Installed || item.state == InstallerItem::State::Skipped) {
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
        m_tracker->TrackEvent(Events::kNotEnoughDiskSpace,
                              {{EventParam::kRequiredBytes, std::to_string(required)},
                               {EventParam::kAvailableBytes, std::to_string(available)}});
        m_splash->ShowNotEnoughDiskSpaceDialog(volume.string(), required, available);
        return true;
    }
    return false;
}

void InstallerLogic::Impl::OnWorkStarted(unsigned long long total)
{
    if (m_downloadErrorCount != 0) {
        return;
    }
    m_downloadStart = Clock::now();
    m_tracker->TrackEvent(Events::kBundleDownloadStarted, {{EventParam::kTotalSize, std::to_string(total)}});
}

void InstallerLogic::Impl::OnWorkProgressUpdated(unsigned long long, unsigned long long,
                                                 unsigned char percent)
{
    m_splash->UpdateProgress(percent);
}

void InstallerLogic::Impl::OnItemDownloadStarted(const std::string& name, unsigned long long size)
{
    LOG(INFO) << "Product " << name << " download started";
    InstallerItem* item = FindInstaller(name);
    if (item && item->downloadErrors == 0) {
        m_tracker->TrackEvent(Events::kProductDownloadStarted,
                              {{EventParam::kProductName, name}, {EventParam::kTotalSize, std::to_string(size)}});
    }
}

void InstallerLogic::Impl::OnItemProgressUpdated(const std::string& name,
                                                 unsigned long long downloaded,
                                                 unsigned long long, unsigned char)
{
    if (InstallerItem* item = FindInstaller(name)) {
        item->receivedBytes = downloaded;
    }
}

void InstallerLogic::Impl::OnItemDownloadFinished(const std::string& name, unsigned long long size)
{
    LOG(INFO) << "Product " << name << " download finished";
    InstallerItem* item = FindInstaller(name);
    if (!item) {
        return;
    }
    item->state = InstallerItem::State::Downloaded;
    const unsigned long long seconds = SecondsSince(item->downloadStart);
    m_tracker->TrackEvent(Events::kProductDownloadFinished,
                          {{EventParam::kProductName, name},
                           {EventParam::kTotalSize, std::to_string(size)},
                           {EventParam::kErrorCount, std::to_string(item->downloadErrors)},
                           {EventParam::kTimeElapsed, std::to_string(seconds)},
                           {EventParam::kAverageSpeed, std::to_string(size / seconds)}});
}

void InstallerLogic::Impl::OnWorkFinished(unsigned long long total)
{
    LOG(INFO) << "All products downloaded";
    const unsigned long long seconds = SecondsSince(m_downloadStart);
    m_tracker->TrackEvent(Events::kBundleDownloadFinished,
                          {{EventParam::kTotalSize, std::to_string(total)},
                           {EventParam::kErrorCount, std::to_string(m_downloadErrorCount)},
                           {EventParam::kTimeElapsed, std::to_string(seconds)},
                           {EventParam::kAverageSpeed, std::to_string(total / seconds)}});
    m_splash->SetPage(ISplash::Wait);
    Install();
}

void InstallerLogic::Impl::OnWorkFailed(unsigned long long downloaded, unsigned long long total,
                                        std::string error)
{
    LOG(INFO) << "Download error. Downloaded " << downloaded << " of " << total << " bytes";
    for (InstallerItem& item : m_installers) {
        if (item.state == InstallerItem::State::Downloaded) {
            continue;
        }
        const unsigned long long seconds = SecondsSince(
            item.downloadStart != Clock::time_point{} ? item.downloadStart : m_downloadStart);
        if (item.state == InstallerItem::State::Downloading) {
            item.state = InstallerItem::State::DownloadFailed;
        }
        m_tracker->TrackEvent(Events::kProductDownloadError,
                              {{EventParam::kProductName, item.id},
                               {EventParam::kErrorCount, std::to_string(item.downloadErrors)},
                               {EventParam::kTimeElapsed, std::to_string(seconds)},
                               {EventParam::kAverageSpeed, std::to_string(item.receivedBytes / seconds)},
                               {EventParam::kCurlError, error}});
        ++item.downloadErrors;
    }
    const unsigned long long seconds = SecondsSince(m_downloadStart);
    m_tracker->TrackEvent(Events::kBundleDownloadError,
                          {{EventParam::kDownloadedSize, std::to_string(downloaded)},
                           {EventParam::kTotalSize, std::to_string(total)},
                           {EventParam::kErrorCount, std::to_string(m_downloadErrorCount)},
                           {EventParam::kTimeElapsed, std::to_string(seconds)},
                           {EventParam::kAverageSpeed, std::to_string(downloaded / seconds)},
                           {EventParam::kCurlError, error}});
    Install();
}

void InstallerLogic::Impl::ShowNoConnectionPopup()
{
    m_tracker->TrackEvent(Events::kNoConnectionPopupShown);
    m_splash->ShowNoConnectionError();
}

void InstallerLogic::Impl::OnRetryPressedImpl()
{
    for (InstallerItem& item : m_installers) {
        if (item.state == InstallerItem::State::DownloadFailed) {
            item.state = InstallerItem::State::Pending;
        } else if (item.state == InstallerItem::State::InstallFailed) {
            item.state = InstallerItem::State::Downloaded;
        }
    }
    StartDownloadingInstallers();
    Install();
}

// ---- Installation ----------------------------------------------------------

void InstallerLogic::Impl::Install()
{
    for (InstallerItem& item : m_installers) {
        if (item.state == InstallerItem::State::Downloading) {
            return;
        }
        if (item.state == InstallerItem::State::InstallFailed) {
            const int failures = m_installErrorCount++;
            if (failures <= 3) {
                OnRetryPressedImpl();
            } else {
                // A package that failed without an installer's own reason
                // is shown as a plain failure.
                const ProcessOutcome outcome = item.lastOutcome;
                m_splash->ShowRetryDialog(RetryDialogName(item),
                                          outcome == ProcessOutcome::Success ||
                                                  outcome == ProcessOutcome::None
                                              ? ProcessOutcome::Error
                                              : outcome);
            }
            return;
        }
        if (item.state == InstallerItem::State::DownloadFailed) {
            const int failures = m_downloadErrorCount++;
            if (failures == 0) {
                OnRetryPressedImpl();
            } else if (failures > 3) {
                ShowNoConnectionPopup();
            } else {
                m_splash->ShowRetryDialog(RetryDialogName(item), ProcessOutcome::None);
            }
            return;
        }
    }

    auto waiting = std::find_if(m_installers.begin(), m_installers.end(),
                                [](const InstallerItem& item) {
                                    return item.state == InstallerItem::State::Downloaded ||
                                           item.lastOutcome == ProcessOutcome::ProductRunning;
                                });
    if (waiting != m_installers.end()) {
        if (NotEnoughDiskSpaceAvailable()) {
            return;
        }
        EventParameters params{{EventParam::kProductName, waiting->id},
                               {EventParam::kInstallErrorCount, std::to_string(waiting->installErrors)},
                               {EventParam::kDownloadErrorCount, std::to_string(waiting->downloadErrors)}};
        const std::string browser = Settings::GetString(ID::PreferredBrowser);
        if (!browser.empty()) {
            params.emplace_back(EventParam::kPreferredBrowser, browser);
        }
        m_tracker->TrackEvent(Events::kProductInstallStarted, params);
        m_splash->SetCloseButtonState(ISplash::Disabled);
        waiting->state = InstallerItem::State::InstallRunning;
        m_processExecutor->Execute(IProcessExecutorObserver::Install, waiting->id, waiting->localPath, waiting->installArgs);
        return;
    }

    const bool allDone = std::all_of(m_installers.begin(), m_installers.end(),
                                     [](const InstallerItem& item) {
                                         return item.state == InstallerItem::State::Installed ||
                                                item.state == InstallerItem::State::Launched ||
                                                item.state == InstallerItem::State::Skipped;
                                     });
    // A launch is done when it has reported whether the product started, so
    // the bundle's end comes after the last launch's outcome.
    if (!allDone || m_pendingLaunches > 0) {
        return;
    }
    // An exit pressed at this very moment has ended the run already.
    int expected = Installing;
    if (!m_stage.compare_exchange_strong(expected, Finished)) {
        return;
    }
    m_wakeUp.Raise();
    m_tracker->TrackEvent(Events::kBundleInstallFinished,
                          {{EventParam::kDownloadErrorCount, std::to_string(m_downloadErrorCount.load())},
                           {EventParam::kInstallErrorCount, std::to_string(m_installErrorCount.load())}});
    m_bundleFinished = true;
}

void InstallerLogic::Impl::OnProcessStarted(Mode mode, const std::string& name)
{
    // A product launch is reported when its end tells whether it started;
    // the start notice also comes for a launch that failed to start.
    if (mode == IProcessExecutorObserver::Install) {
        if (!Util::SetLocale(Settings::CurrentLocale(), name)) {
            LOG(INFO) << "Set locale failed";
        }
    }
}

void InstallerLogic::Impl::OnProcessFinished(Mode mode, const std::string& name, ProcessState state)
{
    LOG(INFO) << name << " process finished with " << (state == ProcessOutcome::Success ? "success" : "error");
    if (mode == IProcessExecutorObserver::Run) {
        if (m_pendingLaunches > 0) {
            --m_pendingLaunches;
        }
        if (state == ProcessOutcome::Success) {
            m_tracker->TrackEvent(Events::kProductStartSucceeded, {{EventParam::kProductName, name}});
        } else {
            m_tracker->TrackEvent(Events::kProductStartFailed,
                                  {{EventParam::kProductName, name}, {EventParam::kExitState, ExitStateText(state)}});
        }
    }
    if (m_stage == Finished) {
        return;
    }
    InstallerItem* item = FindInstaller(name);
    if (!item) {
        Install();
        return;
    }
    item->lastOutcome = state;
    if (item->state != InstallerItem::State::InstallRunning) {
        Install();
        return;
    }
    if (Succeeded(state)) {
        item->state = InstallerItem::State::Installed;
        item->installedPath = InstallDir();
        if (!item->installedPath.empty()) {
            m_tracker->TrackEvent(Events::kProductInstallFinished,
                                  {{EventParam::kProductName, name},
                                   {EventParam::kDownloadErrorCount, std::to_string(item->downloadErrors)},
                                   {EventParam::kInstallErrorCount, std::to_string(item->installErrors)}});
            WriteCustomParamsForProduct(name);
            Run(item->runInstalled);
        } else {
            item->state = InstallerItem::State::InstallFailed;
            ++item->installErrors;
            m_tracker->TrackEvent(Events::kProductInstallFailed,
                                  {{EventParam::kProductName, name},
                                   {EventParam::kDownloadErrorCount, std::to_string(item->downloadErrors)},
                                   {EventParam::kInstallErrorCount, std::to_string(item->installErrors)}});
        }
        Install();
        return;
    }
    if (state == ProcessOutcome::ProductRunning) {
        m_splash->ShowProgramIsRunningDialog(RetryDialogName(*item));
        return;
    }
    item->state = InstallerItem::State::InstallFailed;
    ++item->installErrors;
    m_tracker->TrackEvent(Events::kProductInstallFailed,
                          {{EventParam::kProductName, name},
                           {EventParam::kDownloadErrorCount, std::to_string(item->downloadErrors)},
                           {EventParam::kInstallErrorCount, std::to_string(item->installErrors)},
                           {EventParam::kExitState, ExitStateText(state)}});
    Install();
}

void InstallerLogic::Impl::Run(const std::vector<StartItem>& items)
{
    for (const StartItem& start : items) {
        InstallerItem* item = FindInstaller(start.id);
        if (!item || item->installedPath.empty()) {
            continue;
        }
        m_tracker->TrackEvent(Events::kProductStarting, {{EventParam::kProductName, start.id}});
        m_processExecutor->Execute(IProcessExecutorObserver::Run, start.id, item->installedPath,
                                   start.args);
        item->state = InstallerItem::State::Launched;
        ++m_pendingLaunches;
    }
}

void InstallerLogic::Impl::WriteCustomParamsForProduct(const std::string& name)
{
    for (const ProductParameters& entry : m_productParameters) {
        if (entry.id != name) {
            continue;
        }
        InstallerItem* item = FindInstaller(entry.id);
        if (!item || item->installedPath.empty()) {
            LOG(INFO) << "The path to the application is empty";
            continue;
        }
        // One plain file name beside the installation folder, never a path
        // that leads elsewhere.
        if (!IsPlainFileName(entry.configFileName)) {
            LOG(WARNING) << "Product configuration file name \"" << entry.configFileName
                         << "\" of " << entry.id << " refused: not a plain file name";
            continue;
        }
        const boost::filesystem::path target =
            item->installedPath.parent_path() / entry.configFileName;
        // Written whole: a second install, or a second run, updates the
        // values instead of adding copies beside stale ones.
        Util::UpdateKeyValueFile(target, entry.parameters);
    }
}

// ---- Splash events ---------------------------------------------------------

void InstallerLogic::Impl::OnStartButtonPressed()
{
    if (Settings::GetBool(ID::TestCrash)) {
        // The crash reporter's own test: a fault on a thread of its own.
        std::thread([] { raise(SIGSEGV); }).detach();
    }
    LOG(INFO) << "Start button pressed";
    // Only the start page starts the run: a second press, or one that comes
    // after the run ended, changes nothing.
    int expected = Configuring;
    if (m_stage.compare_exchange_strong(expected, StartRequested)) {
        m_wakeUp.Raise();
    }
}

void InstallerLogic::Impl::OnReadyButtonPressed()
{
    LOG(INFO) << "Ready button pressed";
    int stage = m_stage.load();
    do {
        if (stage == Finished) {
            return;
        }
    } while (!m_stage.compare_exchange_weak(stage, LaunchRequested));
    m_wakeUp.Raise();
}

void InstallerLogic::Impl::OnExitButtonPressed()
{
    // The exit button, a dialog, a signal and the logic's own end may race:
    // only the one that moves the stage to Finished reports the end.
    int stage = m_stage.load();
    do {
        if (stage == Finished) {
            return;
        }
    } while (!m_stage.compare_exchange_weak(stage, Finished));
    m_wakeUp.Raise();
    // The logic thread may be waiting for sizes; they are not needed now.
    m_sizes.Stop();
    LOG(INFO) << "Exit button pressed";
    if (stage == Configuring || stage == StartRequested || stage == Installing) {
        m_tracker->TrackEvent(
            Events::kBundleInstallCancelled,
            {{EventParam::kDownloadErrorCount, std::to_string(m_downloadErrorCount.load())},
             {EventParam::kInstallErrorCount, std::to_string(m_installErrorCount.load())}});
    }
}

void InstallerLogic::Impl::OnEulaOpenSucceeded()
{
    m_tracker->TrackEvent(Events::kBundleEulaRequested, {{EventParam::kResult, "SUCCEEDED"}});
}

void InstallerLogic::Impl::OnEulaOpenFailed()
{
    m_tracker->TrackEvent(Events::kBundleEulaRequested, {{EventParam::kResult, "FAILED"}});
}

void InstallerLogic::Impl::OnEulaShown()
{
    m_tracker->TrackEvent(Events::kBundleEulaShown);
}

void InstallerLogic::Impl::OnEulaHidden()
{
    m_tracker->TrackEvent(Events::kBundleEulaHidden);
}

void InstallerLogic::Impl::OnConsentCheckboxStateChanged(bool state)
{
    m_tracker->TrackEvent(Events::kBundleEulaAccepted, {{EventParam::kAcceptanceResult, state ? "YES" : "NO"}});
}

void InstallerLogic::Impl::OnSkipPressed()
{
    m_skipRequested.exchange(true);
    m_wakeUp.Raise();
}

void InstallerLogic::Impl::OnRetryPressed()
{
    m_retryRequested.exchange(true);
    m_wakeUp.Raise();
}

void InstallerLogic::Impl::OnCancelPressed()
{
    m_cancelRequested.exchange(true);
    m_wakeUp.Raise();
}

void InstallerLogic::Impl::SkipImpl()
{
    auto failed = std::find_if(m_installers.begin(), m_installers.end(),
                               [](const InstallerItem& item) {
                                   return item.state == InstallerItem::State::InstallFailed ||
                                          item.state == InstallerItem::State::DownloadFailed;
                               });
    if (failed != m_installers.end()) {
        failed->state = InstallerItem::State::Skipped;
    }
    Install();
}

void InstallerLogic::Impl::CancelImpl()
{
    m_splash->SetPage(ISplash::Cancel);
    m_downloader.reset();
    SetStage(Finished);
}

// ---- InstallerLogic --------------------------------------------------------

InstallerLogic::InstallerLogic()
{
    if (Settings::GetBool(ID::Debug)) {
        Settings::Set(ID::DebugInfo, true);
    }
    m_impl = std::make_unique<Impl>();
}

InstallerLogic::~InstallerLogic()
{
    if (m_worker.joinable()) {
        m_worker.join();
    }
    m_impl.reset();
}

bool InstallerLogic::Start()
{
    m_signals.Start([this](int) {
        if (Settings::GetBool(ID::Unattended)) {
            std::cout << "Interrupted" << std::endl;
        }
        m_impl->Abort();
    });
    try {
        m_worker = std::thread([this] {
            // Named so that tools (and tests) can tell the logic thread apart.
            Util::SetCurrentThreadName("logic");
            m_impl->Start();
        });
        m_impl->Splash().RunSplash();
        m_signals.Stop();
        return false;
    } catch (const std::exception& error) {
        LOG(ERROR) << "Installer failed to start: " << error.what();
    } catch (...) {
        LOG(ERROR) << "Installer failed to start";
    }
    // The logic thread must not wait for a splash that is gone.
    m_signals.Stop();
    m_impl->Abort();
    return true;
}

bool InstallerLogic::BundleInstallFinished() const
{
    return m_impl->BundleInstallFinished();
}

} // namespace Zentak
