#pragma once

#include <exception>
#include <functional>
#include <string>
#include <unordered_set>

#include <glog/logging.h>

// The crash reporter of the program and of libSitemark.
//
// A fatal signal (SIGSEGV, SIGILL, SIGFPE, SIGABRT, SIGBUS, SIGTERM) goes
// through glog's failure signal handler. Besides the usual dump on standard
// error, the dump lands in "crash-<pid>.txt" in the log directory
// (FLAGS_log_dir as it was when the handler was installed), headed by the
// client information and the last log lines kept by the breadcrumb sink.
// Handled exceptions go to "exceptions.jsonl" in the log directory, one JSON
// object per line.

namespace Zentak::CrashHandler {

// What a crash report says about the client: the hardware id of the machine.
struct ClientInfo {
    std::string hardwareId;
};

// A glog sink that keeps the last 100 log lines of the given severities
// (glog's 0 INFO to 3 FATAL) as the breadcrumbs of a crash report, while it
// lives. It registers itself with glog on construction and unregisters on
// destruction. Construct and destroy it on one thread; glog calls `send` from
// whichever thread logs. The kept lines belong to the process, not to one
// sink: they outlive the sink until the process ends.
class SentryBreadCrumbsLogSink : public google::LogSink {
public:
    explicit SentryBreadCrumbsLogSink(const std::unordered_set<int>& severities);
    ~SentryBreadCrumbsLogSink() override;

    SentryBreadCrumbsLogSink(const SentryBreadCrumbsLogSink&) = delete;
    SentryBreadCrumbsLogSink& operator=(const SentryBreadCrumbsLogSink&) = delete;

    // Older glog releases also declare a deprecated overload taking a
    // broken-down time (std::tm), which newer ones drop together with
    // LogMessageTime's std::tm constructor. Only the overload every release
    // calls is overridden; the other stays visible wherever glog has it.
    using google::LogSink::send;
    // The overload glog calls; keeps the line as glog formats it.
    void send(google::LogSeverity severity, const char* full_filename, const char* base_filename,
              int line, const google::LogMessageTime& time, const char* message,
              size_t message_len) override;

private:
    std::unordered_set<int> m_severities;
};

} // namespace Zentak::CrashHandler

namespace Zentak::Core {

// Installs the failure signal handler: a fatal signal writes a crash report
// (signal, stack, breadcrumbs, client information) into the log directory.
// Call once, on the main thread, after FLAGS_log_dir is set and glog is
// initialised. `clientInfo` may be called from any thread: at set-up, for each
// kept breadcrumb and for each tracked exception, never from the signal
// handler itself. It must not log. The boolean is accepted for the callers'
// sake and switches nothing: there is no crash upload to turn on or off.
void SetupCommonCrashHandler(std::function<CrashHandler::ClientInfo()> clientInfo, bool);
// Restores the default action of the handled signals and forgets the
// callback. Main thread, after the breadcrumb sink is gone.
void RemoveCommonCrashHandler();

// Reports a handled exception: one JSON line in exceptions.jsonl of the log
// directory ({"type", "description", "time", "client": {"hardwareId"}}; no
// "client" member while no handler is installed) and a warning in the log.
// With no log directory, only the warning is written. Never throws; safe from
// any thread.
void TrackException(const std::string& type, const std::string& description) noexcept;

// The demangled dynamic type name of an exception, for TrackException.
std::string TypeName(const std::exception& error);

} // namespace Zentak::Core
