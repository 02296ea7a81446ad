#pragma once

#include <functional>
#include <string>
#include <unordered_set>

#include <glog/logging.h>

namespace Zentak::CrashHandler {

// What a crash report says about the client: the hardware id of the machine.
struct ClientInfo {
    std::string hardwareId;
};

// A glog sink that keeps the last log lines of the given severities as the
// breadcrumbs of a crash report, while it lives.
class SentryBreadCrumbsLogSink : public google::LogSink {
public:
    explicit SentryBreadCrumbsLogSink(const std::unordered_set<int>& severities);
    ~SentryBreadCrumbsLogSink() override;

    SentryBreadCrumbsLogSink(const SentryBreadCrumbsLogSink&) = delete;
    SentryBreadCrumbsLogSink& operator=(const SentryBreadCrumbsLogSink&) = delete;

    void send(google::LogSeverity severity, const char* full_filename, const char* base_filename,
              int line, const struct ::tm* tm_time, const char* message,
              size_t message_len) override;

private:
    std::unordered_set<int> m_severities;
};

} // namespace Zentak::CrashHandler

namespace Zentak::Core {

// Installs the failure signal handler: a fatal signal writes a crash report
// (signal, stack, breadcrumbs, client information) into the log directory.
// `clientInfo` may be called from any thread, also from the signal handler.
void SetupCommonCrashHandler(std::function<CrashHandler::ClientInfo()> clientInfo, bool);
void RemoveCommonCrashHandler();

// Reports a handled exception: one JSON line in exceptions.jsonl of the log
// directory and a warning in the log. Never throws; safe from any thread.
void TrackException(const std::string& type, const std::string& description) noexcept;

// The demangled dynamic type name of an exception, for TrackException.
std::string TypeName(const std::exception& error);

} // namespace Zentak::Core
