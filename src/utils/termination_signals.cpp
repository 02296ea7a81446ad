#include "utils/termination_signals.h"

#include <pthread.h>
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
        for (;;) {
            int signal = 0;
            if (sigwait(&signals, &signal) != 0) {
                continue;
            }
            // Stop wakes us with a signal sent to this thread alone.
            if (m_stop) {
                return;
            }
            LOG(INFO) << "Signal " << signal << " received, the installation ends";
            onSignal(signal);
        }
    });
}

void TerminationSignalWatcher::Stop()
{
    m_stop = true;
    if (m_thread.joinable()) {
        // Blocked here and taken by the watcher's sigwait: a signal sent to
        // that thread wakes it without reaching the rest of the process.
        pthread_kill(m_thread.native_handle(), SIGTERM);
        m_thread.join();
    }
}

std::string SignalName(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    default: return "signal " + std::to_string(signal);
    }
}

} // namespace Zentak
