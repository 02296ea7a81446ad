#pragma once

#include <functional>
#include <iostream>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "utils/termination_signals.h"

namespace Zentak {

class IDownloader;
class IDownloaderEvents;
class IProcessExecutor;
class IProcessExecutorObserver;
class ISplash;
class ISplashEventObserver;
class IStatisticsTracker;

// What the controller works with, made by the program (and by tests, as
// fakes). The splash, the executor and the downloader report to the
// controller's rooms, which exist only once the controller does: they are
// handed in as the means to make them, and made on the main thread while
// the controller is.
struct ControllerParts {
    std::shared_ptr<IStatisticsTracker> tracker;
    std::function<std::unique_ptr<ISplash>(ISplashEventObserver&)> makeSplash;
    // The second argument is to be called whenever an end is queued.
    std::function<std::unique_ptr<IProcessExecutor>(IProcessExecutorObserver&,
                                                    std::function<void()>)>
        makeExecutor;
    // The packages' downloader; the second argument as above.
    std::function<std::unique_ptr<IDownloader>(IDownloaderEvents&, std::function<void()>)>
        makeDownloader;
    // Where the causes of failures are told, line by line.
    std::ostream* errors = &std::cerr;
};

// The controller of the whole run. Constructed, started and destroyed on the
// main thread; its staged loop runs on a logic thread of its own.
class InstallerLogic {
public:
    explicit InstallerLogic(ControllerParts parts);
    ~InstallerLogic();
    InstallerLogic(const InstallerLogic&) = delete;
    InstallerLogic& operator=(const InstallerLogic&) = delete;

    // Starts the logic thread, then runs the splash on the calling thread
    // until it closes. Returns true when starting or the splash failed.
    bool Start();

    // Whether the whole bundle was installed ("BUNDLE_INSTALL_FINISHED").
    bool BundleInstallFinished() const;

    // The exit code of an unattended run: 0 when the bundle was installed,
    // else the kind of the last failure (see RunFailure), 3 when none.
    int UnattendedExitCode() const;
    // One line on how the run ended: "installed", or "not installed: "
    // and the last failure's cause.
    std::string ResultText() const;

    class Impl;

private:
    // First: its block of the termination signals must be in place before
    // any thread of the run starts.
    TerminationSignalWatcher m_signals;
    std::unique_ptr<Impl> m_impl;
    std::thread m_worker;
};

} // namespace Zentak
