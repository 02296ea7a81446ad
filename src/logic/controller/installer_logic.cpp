#include "logic/controller/installer_logic.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <iostream>
#include <vector>

#include <glog/logging.h>

#include "external/crash_handler.h"
#include "localization/translater.h"
#include "logic/config/config_parser.h"
#include "logic/controller/package_downloads.h"
#include "logic/controller/package_installs.h"
#include "logic/controller/packages.h"
#include "logic/controller/run_outcome.h"
#include "logic/controller/splash_image_controller.h"
#include "logic/helpers/sitemark_provider.h"
#include "logic/tracker/events.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"
#include "utils/platform/system_info.h"
#include "utils/posix_compat.h"
#include "utils/settings.h"
#include "utils/string_utils.h"
#include "utils/temp_paths.h"
#include "utils/thread_checker.h"
#include "utils/wake_up_signal.h"

namespace Zentak {
namespace {

using ID = Settings::ID;
using State = InstallerItem::State;

constexpr const char* kVersion = "1.6.0";

} // namespace

// The stages and their loop on the logic thread, the splash's events on the
// main thread, and the two rooms that do the packages' work: it is the only
// one that talks to both.
class InstallerLogic::Impl : private ISplashEventObserver,
                             private IConfigParserObserver,
                             private ISplashImageControllerObserver,
                             private IPackageDownloadsObserver,
                             private IPackageInstallsObserver {
public:
    enum Stage : int {
        Configuring = 0,
        StartRequested = 1,
        Installing = 2,
        LaunchRequested = 4,
        Finished = 5,
    };

    explicit Impl(ControllerParts parts);
    ~Impl() override;

    // Runs the run on the calling thread (the logic thread) until it ends.
    void Start();
    ISplash& Splash() { return *m_splash; }
    bool BundleInstallFinished() const { return m_bundleFinished; }
    int UnattendedExitCode() const { return m_outcome.ExitCode(m_bundleFinished); }
    std::string ResultText() const { return m_outcome.ResultText(m_bundleFinished); }
    // Ends the run when the splash itself failed.
    void Abort() { OnExitButtonPressed(); }
    // Ends the run on a termination signal.
    void Interrupt(int signal)
    {
        m_outcome.Fail(RunFailure::Cancelled, "stopped by " + SignalName(signal));
        OnExitButtonPressed();
    }

private:
    void MainLoop();
    void RunTurn(int stage);
    void SetStage(Stage stage);
    std::function<void()> Waker()
    {
        return [this] { m_wakeUp.Raise(); };
    }

    // The run's next step once a download batch or an installer ended:
    // retry or ask about a failure, start the next installer, or finish.
    void Advance();
    void Retry();
    void Skip();
    void Cancel();

    // IPackageDownloadsObserver, IPackageInstallsObserver.
    void OnDownloadsEnded() override { Advance(); }
    void OnInstallEnded() override { Advance(); }
    bool RunEnded() const override { return m_stage == Finished; }

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
    void OnConfigError(const std::string& cause) override;

    // ISplashImageControllerObserver.
    void OnMainImageLoaded(std::string&&) override {}
    void OnProgressImageLoaded(ISplash::Page page, std::string&& data) override;
    void OnMainImageLoadError() override;

    // Declared first: every queue below raises it.
    WakeUpSignal m_wakeUp;
    // The logic thread: bound when the run starts on it.
    Util::ThreadChecker m_thread;

    // First: making the run directory is the first thing that can fail.
    std::string m_tempDir;
    RunOutcome m_outcome;
    std::atomic<int> m_stage{Configuring};
    std::shared_ptr<IStatisticsTracker> m_tracker;
    std::unique_ptr<ConfigParser> m_configParser;
    std::unique_ptr<SplashImageController> m_imageController;
    std::unique_ptr<ISplash> m_splash;
    Packages m_packages;
    std::unique_ptr<PackageDownloads> m_downloads;
    std::unique_ptr<PackageInstalls> m_installs;
    std::string m_productId;
    std::unique_ptr<Util::ILockableSync> m_instanceLock;
    bool m_instanceLockAcquired = false;
    std::vector<std::pair<ISplash::Page, std::string>> m_progressImages;
    std::vector<StartItem> m_runInstalledItems;
    std::vector<StartItem> m_startItems;
    bool m_autostart = false;
    std::atomic<bool> m_installerInfoChanged{false};
    std::string m_sitemark;
    Clock::time_point m_createdAt;

    // Retry, skip and cancel arrive on the main thread but change packages
    // and the downloader, which belong to the logic thread: they are handed
    // over through these flags.
    std::atomic<bool> m_retryRequested{false};
    std::atomic<bool> m_skipRequested{false};
    std::atomic<bool> m_cancelRequested{false};
    std::atomic<bool> m_bundleFinished{false};
};

InstallerLogic::Impl::Impl(ControllerParts parts)
    : m_tempDir(Util::GetTempDir().string()),
      m_outcome(*parts.errors),
      m_tracker(std::move(parts.tracker)),
      m_configParser(std::make_unique<ConfigParser>(static_cast<IConfigParserObserver&>(*this),
                                                    m_tracker, Waker())),
      m_imageController(std::make_unique<SplashImageController>(
          static_cast<ISplashImageControllerObserver&>(*this), m_tracker, Waker())),
      m_splash(parts.makeSplash(static_cast<ISplashEventObserver&>(*this))),
      m_downloads(std::make_unique<PackageDownloads>(
          static_cast<IPackageDownloadsObserver&>(*this), m_packages, *m_tracker, *m_splash,
          m_outcome, m_tempDir, std::move(parts.makeDownloader), Waker())),
      m_installs(std::make_unique<PackageInstalls>(static_cast<IPackageInstallsObserver&>(*this),
                                                   m_packages, *m_tracker, *m_splash, m_outcome,
                                                   std::move(parts.makeExecutor), Waker())),
      m_createdAt(Clock::now())
{
    m_thread.Detach();
    LOG(INFO) << "Installer started";
    LOG(INFO) << "Version: " << kVersion;
    LOG(INFO) << "Build commit: " << ZENTAK_BUILD_COMMIT;
    LOG(INFO) << "DistribName: " << Settings::GetString(ID::DistribName);
    LOG(INFO) << "Default locale: " << Translater::GetDefaultLocale() << ", available locales: ["
              << Util::Join(Translater::GetLocales(), ", ") << "]";
}

InstallerLogic::Impl::~Impl()
{
    LOG(INFO) << "InstallerLogic::Impl destruction started";
    // The rooms' collaborators report their last ends while they go.
    m_thread.Detach();
    m_downloads->ForgetSizeQueries();
    m_configParser.reset();
    m_imageController.reset();
    m_installs.reset();
    m_downloads.reset();
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
    ZENTAK_CHECK_THREAD(m_thread);
    try {
        m_productId = Settings::GetString(ID::ProductId);
        m_instanceLock = Util::CreateMutexInstance(m_productId.c_str());
        m_instanceLockAcquired = m_instanceLock->TryLock(0);

        const std::string productDisplayName = Settings::GetString(ID::ProductDisplayName);
        LOG(INFO) << "Product display name = " << productDisplayName;
        m_packages.SetProductDisplayName(productDisplayName);

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
                OnConfigError(ConfigurationProblem(m_configParser->SourceName(), error));
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
            Cancel();
        }
        if (m_skipRequested.exchange(false)) {
            Skip();
        }
        const int stage = m_stage.load();
        if (stage == Finished) {
            return;
        }
        RunTurn(stage);
        if (m_retryRequested.exchange(false)) {
            Retry();
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
        if (!m_downloads->Start() && m_packages.Any(State::Downloaded)) {
            // Every package came from the package folder: nothing to wait for.
            m_splash->SetPage(ISplash::Wait);
            Advance();
        }
        if (m_packages.Empty() && Settings::GetBool(ID::Unattended)) {
            // A window would wait for the user to close it; nobody will.
            LOG(INFO) << "Nothing to install, the unattended run ends";
            OnExitButtonPressed();
        }
        break;
    case Installing:
        m_downloads->Pump();
        m_imageController->DoMainThreadWork();
        m_installs->Pump();
        break;
    case LaunchRequested:
        m_installs->Launch(m_startItems);
        SetStage(Finished);
        break;
    default:
        break;
    }
}

void InstallerLogic::Impl::Advance()
{
    ZENTAK_CHECK_THREAD(m_thread);
    for (const InstallerItem& item : m_packages.Items()) {
        if (item.state == State::Downloading) {
            return;
        }
        if (item.state == State::InstallFailed) {
            if (m_installs->RetryAfterFailure(item)) {
                Retry();
            }
            return;
        }
        if (item.state == State::DownloadFailed) {
            if (m_downloads->RetryAfterFailure(item)) {
                Retry();
            }
            return;
        }
    }

    if (InstallerItem* waiting = m_installs->NextWaiting()) {
        if (m_downloads->EnoughDiskSpace()) {
            m_installs->StartInstall(*waiting);
        }
        return;
    }

    if (!m_installs->AllDone()) {
        return;
    }
    // An exit pressed at this very moment has ended the run already.
    int expected = Installing;
    if (!m_stage.compare_exchange_strong(expected, Finished)) {
        return;
    }
    m_wakeUp.Raise();
    m_tracker->TrackEvent(
        Events::kBundleInstallFinished,
        {{EventParam::kDownloadErrorCount, std::to_string(m_downloads->ErrorCount())},
         {EventParam::kInstallErrorCount, std::to_string(m_installs->ErrorCount())}});
    m_bundleFinished = true;
}

void InstallerLogic::Impl::Retry()
{
    m_packages.ResetFailed();
    m_downloads->Start();
    Advance();
}

void InstallerLogic::Impl::Skip()
{
    auto& items = m_packages.Items();
    auto failed = std::find_if(items.begin(), items.end(), [](const InstallerItem& item) {
        return item.state == State::InstallFailed || item.state == State::DownloadFailed;
    });
    if (failed != items.end()) {
        failed->state = State::Skipped;
    }
    Advance();
}

void InstallerLogic::Impl::Cancel()
{
    m_splash->SetPage(ISplash::Cancel);
    m_downloads->Cancel();
    SetStage(Finished);
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
    ZENTAK_CHECK_THREAD(m_thread);
    // Downloads, installer processes and launches are all found by id: a
    // second section with the same id would share the first one's entries
    // and the run could never see both finish.
    if (m_packages.Find(parsed.id)) {
        LOG(WARNING) << "Installer section with id \"" << parsed.id << "\" and url \""
                     << parsed.url << "\" ignored: an earlier section has the same id";
        return;
    }
    InstallerItem item = std::move(parsed);
    if (item.autodetectArch && item.url.size() >= 3 &&
        item.url.find("x64") != std::string::npos && Util::isRunningOnRosetta()) {
        item.url = Util::ReplaceAll(item.url, "/x64/", "/arm64/");
        m_tracker->TrackEvent(Events::kProductArchChanged, {{EventParam::kProductName, item.id}});
    }
    m_downloads->AskSize(m_packages.Add(std::move(item)));
}

void InstallerLogic::Impl::OnProductParametersParsed(ProductParameters&& parameters)
{
    m_installs->AddProductParameters(std::move(parameters));
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
    m_tracker->TrackEvent(
        Events::kBundleInstallStarted,
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
    m_packages.SortByInstallOrder();
    m_splash->SetPage(ISplash::Start);
}

void InstallerLogic::Impl::OnConfigError(const std::string& cause)
{
    m_outcome.Fail(RunFailure::Configuration, cause);
    ShowNoConnection(*m_tracker, *m_splash);
}

// ---- Splash pictures -------------------------------------------------------

void InstallerLogic::Impl::OnProgressImageLoaded(ISplash::Page page, std::string&& data)
{
    m_splash->SetProgressImage(page, std::move(data));
}

void InstallerLogic::Impl::OnMainImageLoadError()
{
    m_outcome.Fail(RunFailure::Configuration, "the start page's picture cannot be downloaded");
    ShowNoConnection(*m_tracker, *m_splash);
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
    // The splash may close while the rooms are being taken down.
    if (!m_downloads || !m_installs) {
        return;
    }
    // The logic thread may be waiting for sizes; they are not needed now.
    m_downloads->StopSizeQueries();
    LOG(INFO) << "Exit button pressed";
    if (stage == Configuring || stage == StartRequested || stage == Installing) {
        m_tracker->TrackEvent(
            Events::kBundleInstallCancelled,
            {{EventParam::kDownloadErrorCount, std::to_string(m_downloads->ErrorCount())},
             {EventParam::kInstallErrorCount, std::to_string(m_installs->ErrorCount())}});
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
    m_tracker->TrackEvent(Events::kBundleEulaAccepted,
                          {{EventParam::kAcceptanceResult, state ? "YES" : "NO"}});
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

// ---- InstallerLogic --------------------------------------------------------

InstallerLogic::InstallerLogic(ControllerParts parts)
{
    if (Settings::GetBool(ID::Debug)) {
        Settings::Set(ID::DebugInfo, true);
    }
    m_impl = std::make_unique<Impl>(std::move(parts));
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
    m_signals.Start([this](int signal) {
        if (Settings::GetBool(ID::Unattended) && !Settings::GetBool(ID::ProgressJson)) {
            std::cout << "Interrupted" << std::endl;
        }
        m_impl->Interrupt(signal);
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

int InstallerLogic::UnattendedExitCode() const
{
    return m_impl->UnattendedExitCode();
}

std::string InstallerLogic::ResultText() const
{
    return m_impl->ResultText();
}

} // namespace Zentak
