#include "logic/controller/package_installs.h"

#include <algorithm>
#include <iterator>
#include <optional>

#include <boost/filesystem.hpp>
#include <glog/logging.h>

#include "localization/process_locale.h"
#include "logic/tracker/events.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"
#include "utils/key_value_file.h"
#include "utils/settings.h"

namespace Zentak {
namespace {

using ID = Settings::ID;
using State = InstallerItem::State;

// A name that stays one entry of the folder it is put in.
bool IsPlainFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

} // namespace

PackageInstalls::PackageInstalls(IPackageInstallsObserver& observer, Packages& packages,
                                 IStatisticsTracker& tracker, ISplash& splash,
                                 RunOutcome& outcome,
                                 const std::function<std::unique_ptr<IProcessExecutor>(
                                     IProcessExecutorObserver&, std::function<void()>)>& makeExecutor,
                                 std::function<void()> wake)
    : m_observer(observer),
      m_packages(packages),
      m_tracker(tracker),
      m_splash(splash),
      m_outcome(outcome),
      m_executor(makeExecutor(static_cast<IProcessExecutorObserver&>(*this), std::move(wake)))
{
    // Made with the controller on the main thread, used on the logic thread.
    m_thread.Detach();
}

PackageInstalls::~PackageInstalls()
{
    // The executor delivers the ends of the processes it stops while it is
    // destroyed, on the destroying thread, which takes the room over.
    m_thread.Detach();
    // Its watching threads report here: it goes first.
    m_executor.reset();
}

void PackageInstalls::AddProductParameters(ProductParameters&& parameters)
{
    ZENTAK_CHECK_THREAD(m_thread);
    m_productParameters.push_back(std::move(parameters));
}

InstallerItem* PackageInstalls::NextWaiting()
{
    ZENTAK_CHECK_THREAD(m_thread);
    auto& items = m_packages.Items();
    auto waiting = std::find_if(items.begin(), items.end(), [](const InstallerItem& item) {
        return item.state == State::Downloaded ||
               item.lastOutcome == ProcessOutcome::ProductRunning;
    });
    return waiting == items.end() ? nullptr : &*waiting;
}

void PackageInstalls::StartInstall(InstallerItem& item)
{
    ZENTAK_CHECK_THREAD(m_thread);
    EventParameters params{{EventParam::kProductName, item.id},
                           {EventParam::kInstallErrorCount, std::to_string(item.installErrors)},
                           {EventParam::kDownloadErrorCount, std::to_string(item.downloadErrors)}};
    const std::string browser = Settings::GetString(ID::PreferredBrowser);
    if (!browser.empty()) {
        params.emplace_back(EventParam::kPreferredBrowser, browser);
    }
    m_tracker.TrackEvent(Events::kProductInstallStarted, params);
    m_splash.SetCloseButtonState(ISplash::Disabled);
    const auto& items = m_packages.Items();
    const auto position = std::find_if(items.begin(), items.end(),
                                       [&](const InstallerItem& each) { return &each == &item; });
    m_splash.ShowInstallStep(static_cast<int>(std::distance(items.begin(), position)) + 1,
                             static_cast<int>(items.size()), m_packages.DialogName(item));
    item.state = State::InstallRunning;
    m_executor->Execute(IProcessExecutorObserver::Install, item.id, item.localPath,
                        item.installArgs);
}

bool PackageInstalls::RetryAfterFailure(const InstallerItem& failed)
{
    ZENTAK_CHECK_THREAD(m_thread);
    const int failures = m_errorCount++;
    if (failures <= 3) {
        return true;
    }
    // A package that failed without an installer's own reason is shown as
    // a plain failure.
    const ProcessOutcome outcome = failed.lastOutcome;
    m_outcome.Fail(RunFailure::Install,
                   failed.id + ": " +
                       (failed.failureCause.empty() ? "installer failed" : failed.failureCause));
    m_splash.ShowRetryDialog(m_packages.DialogName(failed),
                             outcome == ProcessOutcome::Success || outcome == ProcessOutcome::None
                                 ? ProcessOutcome::Error
                                 : outcome);
    return false;
}

bool PackageInstalls::AllDone() const
{
    ZENTAK_CHECK_THREAD(m_thread);
    const auto& items = m_packages.Items();
    const bool allDone = std::all_of(items.begin(), items.end(), [](const InstallerItem& item) {
        return item.state == State::Installed || item.state == State::Launched ||
               item.state == State::Skipped;
    });
    // A launch is done when it has reported whether the product started, so
    // the bundle's end comes after the last launch's outcome.
    return allDone && m_pendingLaunches == 0;
}

void PackageInstalls::Pump()
{
    ZENTAK_CHECK_THREAD(m_thread);
    m_executor->DoMainThreadWork();
}

void PackageInstalls::OnProcessStarted(Mode mode, const std::string& name)
{
    // A product launch is reported when its end tells whether it started;
    // the start notice also comes for a launch that failed to start.
    if (mode == IProcessExecutorObserver::Install) {
        if (!Util::SetLocale(Settings::CurrentLocale(), name)) {
            LOG(INFO) << "Set locale failed";
        }
    }
}

void PackageInstalls::OnProcessFinished(Mode mode, const std::string& name, ProcessState state,
                                        const std::string& cause)
{
    ZENTAK_CHECK_THREAD(m_thread);
    LOG(INFO) << name << " process finished with "
              << (state == ProcessOutcome::Success ? "success" : "error");
    if (mode == IProcessExecutorObserver::Run) {
        if (m_pendingLaunches > 0) {
            --m_pendingLaunches;
        }
        if (state == ProcessOutcome::Success) {
            m_tracker.TrackEvent(Events::kProductStartSucceeded, {{EventParam::kProductName, name}});
        } else {
            m_tracker.TrackEvent(Events::kProductStartFailed,
                                 {{EventParam::kProductName, name},
                                  {EventParam::kExitState, ExitStateText(state)}});
        }
    }
    if (m_observer.RunEnded()) {
        return;
    }
    InstallerItem* item = m_packages.Find(name);
    if (!item) {
        m_observer.OnInstallEnded();
        return;
    }
    item->lastOutcome = state;
    item->failureCause = cause;
    if (item->state != State::InstallRunning) {
        m_observer.OnInstallEnded();
        return;
    }
    if (Succeeded(state)) {
        item->state = State::Installed;
        item->installedPath = InstallDir();
        if (!item->installedPath.empty()) {
            m_tracker.TrackEvent(
                Events::kProductInstallFinished,
                {{EventParam::kProductName, name},
                 {EventParam::kDownloadErrorCount, std::to_string(item->downloadErrors)},
                 {EventParam::kInstallErrorCount, std::to_string(item->installErrors)}});
            WriteProductParameters(name);
            Launch(item->runInstalled);
        } else {
            item->state = State::InstallFailed;
            item->failureCause = "no folder to install into";
            ++item->installErrors;
            TrackInstallFailed(*item, std::nullopt);
        }
        m_observer.OnInstallEnded();
        return;
    }
    if (state == ProcessOutcome::ProductRunning) {
        m_outcome.Fail(RunFailure::Install, name + ": " + m_packages.DialogName(*item) +
                                                " is running and must be closed first");
        m_splash.ShowProgramIsRunningDialog(m_packages.DialogName(*item));
        return;
    }
    item->state = State::InstallFailed;
    ++item->installErrors;
    TrackInstallFailed(*item, state);
    m_observer.OnInstallEnded();
}

void PackageInstalls::TrackInstallFailed(const InstallerItem& item,
                                         std::optional<ProcessOutcome> outcome)
{
    EventParameters params{
        {EventParam::kProductName, item.id},
        {EventParam::kDownloadErrorCount, std::to_string(item.downloadErrors)},
        {EventParam::kInstallErrorCount, std::to_string(item.installErrors)}};
    // An installer that succeeded without leaving a folder has no exit state
    // to report.
    if (outcome) {
        params.emplace_back(EventParam::kExitState, ExitStateText(*outcome));
    }
    m_tracker.TrackEvent(Events::kProductInstallFailed, params);
}

void PackageInstalls::Launch(const std::vector<StartItem>& items)
{
    ZENTAK_CHECK_THREAD(m_thread);
    for (const StartItem& start : items) {
        InstallerItem* item = m_packages.Find(start.id);
        if (!item || item->installedPath.empty()) {
            continue;
        }
        m_tracker.TrackEvent(Events::kProductStarting, {{EventParam::kProductName, start.id}});
        m_executor->Execute(IProcessExecutorObserver::Run, start.id, item->installedPath,
                            start.args);
        item->state = State::Launched;
        ++m_pendingLaunches;
    }
}

void PackageInstalls::WriteProductParameters(const std::string& name)
{
    for (const ProductParameters& entry : m_productParameters) {
        if (entry.id != name) {
            continue;
        }
        InstallerItem* item = m_packages.Find(entry.id);
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

} // namespace Zentak
