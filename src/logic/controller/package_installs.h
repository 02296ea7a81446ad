#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "logic/controller/packages.h"
#include "logic/controller/run_outcome.h"
#include "utils/platform/process_executor.h"
#include "utils/thread_checker.h"

namespace Zentak {

class IStatisticsTracker;
class ISplash;

// What the installs ask of and tell the controller. Called on the logic
// thread.
class IPackageInstallsObserver {
public:
    virtual ~IPackageInstallsObserver() = default;
    // Whether the run has ended: a process that ends after that changes
    // nothing.
    virtual bool RunEnded() const = 0;
    // An installer ended (or a launch whose package changes nothing): the
    // run can take its next step.
    virtual void OnInstallEnded() = 0;
};

// Puts the downloaded packages in place and launches the products: the
// installers, the launches, the products' parameters files and the process
// executor's events. Made on the main thread, then used on the logic thread
// only, except where an operation says otherwise, until it is destroyed (on
// the main thread, which then receives the stopped processes' ends).
class PackageInstalls : private IProcessExecutorObserver {
public:
    // `wake` is called from the executor's threads when an end is queued.
    PackageInstalls(IPackageInstallsObserver& observer, Packages& packages,
                    IStatisticsTracker& tracker, ISplash& splash, RunOutcome& outcome,
                    const std::function<std::unique_ptr<IProcessExecutor>(
                        IProcessExecutorObserver&, std::function<void()>)>& makeExecutor,
                    std::function<void()> wake);
    ~PackageInstalls() override;

    void AddProductParameters(ProductParameters&& parameters);

    // The first package that waits for its installer: downloaded, or
    // stopped by its product running; null when none waits.
    InstallerItem* NextWaiting();
    // Starts the package's installer.
    void StartInstall(InstallerItem& item);

    // After a failed installer: counts the failure and either answers true
    // (the first few are retried at once) or shows the retry dialog, with
    // the cause told.
    bool RetryAfterFailure(const InstallerItem& failed);

    // Whether every package is installed, launched or skipped and every
    // launch has reported whether the product started.
    bool AllDone() const;

    // Launches the installed products of `items`.
    void Launch(const std::vector<StartItem>& items);

    // Delivers the ends of processes.
    void Pump();

    // Failed installers so far; safe from any thread.
    int ErrorCount() const { return m_errorCount.load(); }

private:
    void WriteProductParameters(const std::string& name);
    void TrackInstallFailed(const InstallerItem& item, std::optional<ProcessOutcome> outcome);

    // IProcessExecutorObserver. Started: on the executor's watching thread.
    void OnProcessStarted(Mode mode, const std::string& name) override;
    void OnProcessFinished(Mode mode, const std::string& name, ProcessState state,
                           const std::string& cause) override;

    IPackageInstallsObserver& m_observer;
    Packages& m_packages;
    IStatisticsTracker& m_tracker;
    ISplash& m_splash;
    RunOutcome& m_outcome;
    Util::ThreadChecker m_thread;
    std::vector<ProductParameters> m_productParameters;
    // Written on the logic thread, read by the exit button on any thread.
    std::atomic<int> m_errorCount{0};
    // Product launches whose outcome has not arrived yet.
    int m_pendingLaunches = 0;
    // Last: its watching threads report to the members above.
    std::unique_ptr<IProcessExecutor> m_executor;
};

} // namespace Zentak
