#pragma once

#include <mutex>
#include <ostream>
#include <string>

namespace Zentak {

// Why a run did not end with the bundle installed, by kind. The numbers are
// the exit codes of an unattended run and stay as they are.
enum class RunFailure : int {
    None = 0,
    Cancelled = 3,     // stopped by a signal
    Configuration = 4, // configuration unavailable, unreadable or refused
    Download = 5,      // a package could not be downloaded or failed its check
    Install = 6,       // a package's installer failed
    DiskSpace = 7,     // not enough disk space
};

// The exit code of an unattended run that installed the bundle, and of one
// that ended without a failure (a person or a signal stopped it).
constexpr int kExitInstalled = 0;
constexpr int kExitCancelled = static_cast<int>(RunFailure::Cancelled);

// The causes of a run's failures, as the person reads them: each one is
// written as "installer: <cause>" to the console's error stream and to the
// log the moment it stops or interrupts the run. Safe from any thread.
class RunOutcome {
public:
    explicit RunOutcome(std::ostream& errors);

    // Records a failure and says why. The last one recorded decides the
    // exit code.
    void Fail(RunFailure kind, const std::string& cause);

    RunFailure LastFailure() const;
    // The last failure's cause; empty when none was recorded.
    std::string LastCause() const;

    // The unattended exit code: 0 when installed, else the last failure's
    // code, or "cancelled" when the run ended without one (a person or a
    // signal stopped it).
    int ExitCode(bool installed) const;

    // "installed", or "not installed: " and the last failure's cause.
    std::string ResultText(bool installed) const;

private:
    std::ostream& m_errors;
    mutable std::mutex m_mutex;
    RunFailure m_last = RunFailure::None;
    std::string m_lastCause;
};

// "not enough disk space on <volume>: 5.1 GB required, 2.0 GB available".
std::string DiskSpaceCause(const std::string& volume, unsigned long long required,
                           unsigned long long available);

} // namespace Zentak
