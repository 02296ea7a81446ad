#include "utils/termination_signals.h"

#include <signal.h>

#include <glog/logging.h>

namespace Zentak {
namespace {

sigset_t TerminationSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    return signals;
}

} // namespace

TerminationSignalWatcher::TerminationSignalWatcher()
{
    const sigset_t signals = TerminationSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

TerminationSignalWatcher::~TerminationSignalWatcher()
{
    Stop();
}

void TerminationSignalWatcher::Start(std::function<void(int)> onSignal)
{
    Stop();
    m_stop = false;
    m_thread = std::thread([this, onSignal = std::move(onSignal)] {
        const sigset_t signals = TerminationSignals();
        while (!m_stop) {
            // Bounded, so that Stop is noticed.
            const timespec timeout{0, 200 * 1000 * 1000};
            const int signal = sigtimedwait(&signals, nullptr, &timeout);
            if (signal > 0) {
                LOG(INFO) << "Signal " << signal << " received, the installation ends";
                onSignal(signal);
            }
        }
    });
}

void TerminationSignalWatcher::Stop()
{
    m_stop = true;
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

} // namespace Zentak
