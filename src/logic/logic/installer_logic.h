#pragma once

#include <memory>
#include <thread>

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
    std::unique_ptr<Impl> m_impl;
    std::thread m_worker;
};

} // namespace Zentak
