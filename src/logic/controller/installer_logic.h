#pragma once

#include <memory>
#include <thread>

#include "utils/termination_signals.h"

namespace Zentak {

// The controller of the whole run. Constructed, started and destroyed on the
// main thread; its staged loop runs on a logic thread of its own.
class InstallerLogic {
public:
    InstallerLogic();
    ~InstallerLogic();
    InstallerLogic(const InstallerLogic&) = delete;
    InstallerLogic& operator=(const InstallerLogic&) = delete;

    // Starts the logic thread, then runs the splash on the calling thread
    // until it closes. Returns true when starting or the splash failed.
    bool Start();

    // Whether the whole bundle was installed ("BUNDLE_INSTALL_FINISHED").
    bool BundleInstallFinished() const;

    class Impl;

private:
    // First: its block of the termination signals must be in place before
    // any thread of the run starts.
    TerminationSignalWatcher m_signals;
    std::unique_ptr<Impl> m_impl;
    std::thread m_worker;
};

} // namespace Zentak
