#include "logic/controller/run_outcome.h"

#include <cstdio>

#include <glog/logging.h>

namespace Zentak {
namespace {

std::string Gigabytes(unsigned long long bytes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
    return text;
}

} // namespace

RunOutcome::RunOutcome(std::ostream& errors) : m_errors(errors) {}

void RunOutcome::Fail(RunFailure kind, const std::string& cause)
{
    LOG(WARNING) << "installer: " << cause;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_last = kind;
    m_lastCause = cause;
    m_errors << "installer: " << cause << std::endl;
}

RunFailure RunOutcome::LastFailure() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last;
}

std::string RunOutcome::LastCause() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastCause;
}

int RunOutcome::ExitCode(bool installed) const
{
    if (installed) {
        return kExitInstalled;
    }
    const RunFailure last = LastFailure();
    return last == RunFailure::None ? kExitCancelled : static_cast<int>(last);
}

std::string RunOutcome::ResultText(bool installed) const
{
    if (installed) {
        return "installed";
    }
    const std::string cause = LastCause();
    return cause.empty() ? "not installed: cancelled" : "not installed: " + cause;
}

std::string DiskSpaceCause(const std::string& volume, unsigned long long required,
                           unsigned long long available)
{
    return "not enough disk space on " + volume + ": " + Gigabytes(required) + " required, " +
           Gigabytes(available) + " available";
}

} // namespace Zentak
