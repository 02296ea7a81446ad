#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/filesystem/path.hpp>

#include "utils/process_outcome.h"

namespace Zentak {

class IProcessExecutorObserver {
public:
    enum Mode : int {
        Install = 0, // an installer package
        Run = 2,     // an installed product: detached, never timed out or terminated
    };

    // The executor ends each process with Success or Error.
    using ProcessState = ProcessOutcome;

    virtual ~IProcessExecutorObserver() = default;
    // Called on the thread that watches the new process, also when the start failed.
    virtual void OnProcessStarted(Mode mode, const std::string& name) = 0;
    // Called only from IProcessExecutor::DoMainThreadWork, on the owner's
    // thread. `cause` says in plain words why a process ended with Error
    // ("installer exited with code 1: <its last output line>"); empty on
    // success.
    virtual void OnProcessFinished(Mode mode, const std::string& name, ProcessState state,
                                   const std::string& cause) = 0;
};

// Runs installer packages and installed products through the launcher
// script. Execute, DoMainThreadWork and the destructor are called on the
// owner's thread only.
class IProcessExecutor {
public:
    virtual ~IProcessExecutor() = default;
    // Starts one process and returns at once. `name` must not be reused until
    // its OnProcessFinished has arrived. `args` is not used: the command line
    // is fixed.
    virtual void Execute(IProcessExecutorObserver::Mode mode, const std::string& name,
                         const boost::filesystem::path& path,
                         const std::vector<std::string>& args) = 0;
    // Delivers the ends queued since the last call.
    virtual void DoMainThreadWork() = 0;
};

// The observer must outlive the executor. `onWorkQueued` is called from the
// watching threads whenever an end is queued, so the owner can wake up.
std::unique_ptr<IProcessExecutor> GetProcessExecutor(IProcessExecutorObserver& observer,
                                                     std::function<void()> onWorkQueued = {});

} // namespace Zentak
