#include "external/crash_handler.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <vector>

#include <cxxabi.h>
#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

// Everything the failure writer touches runs inside a signal handler, after a
// crash, possibly while another thread holds the heap lock or a mutex of
// ours. So the writer uses nothing but write(2), open(2), getpid(2) and
// memory prepared beforehand:
// - the report folder is fixed when the handler is installed;
// - breadcrumbs live in a fixed ring of preformatted lines, filled by the
//   sink under a mutex and read by the writer without it;
// - the client information is fetched at set-up and again with each
//   breadcrumb, and kept as text, so the writer never calls the callback
//   (a std::function may allocate, lock or throw).
// Reading without the lock means a report can show one line that another
// thread was overwriting at the moment of the crash; for a crash report this
// is a better trade than risking a deadlock on a lock held by the crashed
// thread itself.

namespace Zentak::CrashHandler {
namespace {

constexpr int kHandledSignals[] = {SIGSEGV, SIGILL, SIGFPE, SIGABRT, SIGBUS, SIGTERM};
constexpr size_t kBreadcrumbCount = 100;
constexpr size_t kBreadcrumbLength = 512;
constexpr size_t kClientTextLength = 256;

struct Breadcrumb {
    std::atomic<size_t> length{0};
    char text[kBreadcrumbLength];
};

// Process-wide, so that the signal path reaches it without any object.
// Zero-initialised statics: usable before and after any constructor ran.
Breadcrumb g_breadcrumbs[kBreadcrumbCount];
std::atomic<unsigned long long> g_breadcrumbsWritten{0};
std::mutex g_breadcrumbGuard;

// Two buffers, so a refresh never writes into the one the writer may read.
char g_clientText[2][kClientTextLength];
std::atomic<int> g_clientTextCurrent{0};
std::mutex g_clientTextGuard;

// "<log dir>/crash-"; the writer appends the pid and ".txt".
char g_reportPrefix[PATH_MAX];
std::atomic<bool> g_reportEnabled{false};
std::atomic<int> g_reportFd{-1};
std::atomic<bool> g_reportOpenTried{false};

std::mutex g_callbackGuard;
std::function<ClientInfo()> g_clientInfo; // guarded by g_callbackGuard

// Set while this thread calls the client-info callback from the sink, so a
// callback that logs after all cannot recurse into itself.
thread_local bool t_refreshingClientInfo = false;

static_assert(std::atomic<size_t>::is_always_lock_free, "the signal path needs lock-free atomics");
static_assert(std::atomic<int>::is_always_lock_free, "the signal path needs lock-free atomics");
static_assert(std::atomic<unsigned long long>::is_always_lock_free,
              "the signal path needs lock-free atomics");

void WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
}

void WriteText(int fd, const char* text)
{
    WriteAll(fd, text, std::strlen(text));
}

// Decimal digits of `value` into `buffer` (at least 21 bytes), terminated.
void FormatUnsigned(unsigned long long value, char* buffer)
{
    char digits[21];
    size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < count; ++i) {
        buffer[i] = digits[count - 1 - i];
    }
    buffer[count] = '\0';
}

void StoreClientText(const std::string& text)
{
    std::lock_guard<std::mutex> lock(g_clientTextGuard);
    const int next = 1 - g_clientTextCurrent.load(std::memory_order_relaxed);
    const size_t length = std::min(text.size(), kClientTextLength - 1);
    std::memcpy(g_clientText[next], text.data(), length);
    g_clientText[next][length] = '\0';
    g_clientTextCurrent.store(next, std::memory_order_release);
}

std::function<ClientInfo()> CurrentCallback()
{
    std::lock_guard<std::mutex> lock(g_callbackGuard);
    return g_clientInfo;
}

void RefreshClientText()
{
    if (t_refreshingClientInfo) {
        return;
    }
    const std::function<ClientInfo()> callback = CurrentCallback();
    if (!callback) {
        return;
    }
    t_refreshingClientInfo = true;
    try {
        StoreClientText(callback().hardwareId);
    } catch (...) {
        // Keep the previous text; a sink cannot report anything from here.
    }
    t_refreshingClientInfo = false;
}

void KeepBreadcrumb(const std::string& line)
{
    std::lock_guard<std::mutex> lock(g_breadcrumbGuard);
    const unsigned long long index = g_breadcrumbsWritten.load(std::memory_order_relaxed);
    Breadcrumb& slot = g_breadcrumbs[index % kBreadcrumbCount];
    const size_t length = std::min(line.size(), kBreadcrumbLength);
    slot.length.store(0, std::memory_order_release);
    std::memcpy(slot.text, line.data(), length);
    slot.length.store(length, std::memory_order_release);
    g_breadcrumbsWritten.store(index + 1, std::memory_order_release);
}

void WriteReportHeader(int fd)
{
    char number[24];
    WriteText(fd, "Crash report of process ");
    FormatUnsigned(static_cast<unsigned long long>(::getpid()), number);
    WriteText(fd, number);
    WriteText(fd, "\nClient information:\n  hardwareId: ");
    WriteText(fd, g_clientText[g_clientTextCurrent.load(std::memory_order_acquire)]);
    WriteText(fd, "\nLast log lines, oldest first:\n");
    const unsigned long long written = g_breadcrumbsWritten.load(std::memory_order_acquire);
    const unsigned long long first = written > kBreadcrumbCount ? written - kBreadcrumbCount : 0;
    for (unsigned long long i = first; i < written; ++i) {
        const Breadcrumb& slot = g_breadcrumbs[i % kBreadcrumbCount];
        const size_t length = std::min(slot.length.load(std::memory_order_acquire),
                                       kBreadcrumbLength);
        WriteAll(fd, slot.text, length);
        WriteText(fd, "\n");
    }
    WriteText(fd, "Failure:\n");
}

int OpenReport()
{
    char path[PATH_MAX];
    char number[24];
    FormatUnsigned(static_cast<unsigned long long>(::getpid()), number);
    const size_t prefixLength = std::strlen(g_reportPrefix);
    const size_t numberLength = std::strlen(number);
    static const char kSuffix[] = ".txt";
    if (prefixLength + numberLength + sizeof(kSuffix) > sizeof(path)) {
        return -1;
    }
    std::memcpy(path, g_reportPrefix, prefixLength);
    std::memcpy(path + prefixLength, number, numberLength);
    std::memcpy(path + prefixLength + numberLength, kSuffix, sizeof(kSuffix));
    return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

// glog calls this, line by line, from its failure signal handler; only one
// thread gets there, the others are held back by glog.
void WriteFailure(const char* data, size_t size)
{
    WriteAll(STDERR_FILENO, data, size);
    if (!g_reportEnabled.load(std::memory_order_acquire)) {
        return;
    }
    int fd = g_reportFd.load(std::memory_order_acquire);
    if (fd < 0 && !g_reportOpenTried.exchange(true)) {
        fd = OpenReport();
        if (fd >= 0) {
            WriteReportHeader(fd);
            g_reportFd.store(fd, std::memory_order_release);
        }
    }
    if (fd >= 0) {
        WriteAll(fd, data, size);
    }
}

std::string ReportFolder()
{
    if (!FLAGS_log_dir.empty()) {
        return FLAGS_log_dir;
    }
    // glog itself then writes to the first of its default folders.
    const std::vector<std::string>& folders = google::GetLoggingDirectories();
    return folders.empty() ? std::string() : folders.front();
}

std::string IsoLocalTime()
{
    timeval now{};
    ::gettimeofday(&now, nullptr);
    std::tm local{};
    const time_t seconds = now.tv_sec;
    ::localtime_r(&seconds, &local);
    char date[32];
    char zone[8];
    std::strftime(date, sizeof(date), "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof(zone), "%z", &local);
    char text[64];
    // %z gives "+0200"; the extended form of the date wants "+02:00".
    std::snprintf(text, sizeof(text), "%s.%03ld%.3s:%.2s", date,
                  static_cast<long>(now.tv_usec / 1000), zone, zone + 3);
    return text;
}

} // namespace

SentryBreadCrumbsLogSink::SentryBreadCrumbsLogSink(const std::unordered_set<int>& severities)
    : m_severities(severities)
{
    google::AddLogSink(this);
}

SentryBreadCrumbsLogSink::~SentryBreadCrumbsLogSink()
{
    google::RemoveLogSink(this);
}

void SentryBreadCrumbsLogSink::send(google::LogSeverity severity, const char* full_filename,
                                    const char* base_filename, int line,
                                    const google::LogMessageTime& time, const char* message,
                                    size_t message_len)
{
    (void)full_filename;
    if (m_severities.count(severity) == 0) {
        return;
    }
    // glog holds its own locks here, so nothing below may log.
    try {
        KeepBreadcrumb(
            google::LogSink::ToString(severity, base_filename, line, time, message, message_len));
    } catch (...) {
        return;
    }
    RefreshClientText();
}

} // namespace Zentak::CrashHandler

namespace Zentak::Core {

void SetupCommonCrashHandler(std::function<CrashHandler::ClientInfo()> clientInfo, bool)
{
    using namespace CrashHandler;
    {
        std::lock_guard<std::mutex> lock(g_callbackGuard);
        g_clientInfo = std::move(clientInfo);
    }
    StoreClientText(std::string());
    RefreshClientText();

    const std::string folder = ReportFolder();
    const std::string prefix = folder + "/crash-";
    if (!folder.empty() && prefix.size() < sizeof(g_reportPrefix)) {
        std::memcpy(g_reportPrefix, prefix.c_str(), prefix.size() + 1);
        g_reportOpenTried.store(false);
        g_reportEnabled.store(true, std::memory_order_release);
        LOG(INFO) << "Crash reports go to " << prefix << "<pid>.txt";
    } else {
        g_reportEnabled.store(false);
        LOG(ERROR) << "Crash reports are written to standard error only: unusable log folder \""
                   << folder << "\"";
    }

    google::InstallFailureWriter(&WriteFailure);
    google::InstallFailureSignalHandler();
}

void RemoveCommonCrashHandler()
{
    using namespace CrashHandler;
    for (int signalNumber : kHandledSignals) {
        struct sigaction action {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        ::sigaction(signalNumber, &action, nullptr);
    }
    g_reportEnabled.store(false, std::memory_order_release);
    {
        std::lock_guard<std::mutex> lock(g_callbackGuard);
        g_clientInfo = nullptr;
    }
    StoreClientText(std::string());
}

void TrackException(const std::string& type, const std::string& description) noexcept
{
    try {
        const std::string folder = FLAGS_log_dir;
        if (!folder.empty()) {
            nlohmann::json report = {
                {"type", type},
                {"description", description},
                {"time", CrashHandler::IsoLocalTime()},
            };
            if (const auto callback = CrashHandler::CurrentCallback()) {
                report["client"] = {{"hardwareId", callback().hardwareId}};
            }
            // Replacing invalid UTF-8 keeps dump() from throwing on odd what() texts.
            const std::string line =
                report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
            const std::string path = folder + "/exceptions.jsonl";
            // One write(2) with O_APPEND per report: lines of concurrent
            // reports, also from other processes, never interleave.
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (fd < 0) {
                const int error = errno;
                LOG(ERROR) << "Cannot open exception report file " << path << ": "
                           << std::strerror(error);
            } else {
                ssize_t written;
                do {
                    written = ::write(fd, line.data(), line.size());
                } while (written < 0 && errno == EINTR);
                const int error = errno;
                ::close(fd);
                if (written != static_cast<ssize_t>(line.size())) {
                    LOG(ERROR) << "Cannot write exception report file " << path << ": "
                               << (written < 0 ? std::strerror(error) : "short write");
                }
            }
        }
        LOG(WARNING) << "Exception tracked: " << type << ": " << description;
    } catch (...) {
        // Reporting must never disturb the caller; nothing left to report to.
    }
}

std::string TypeName(const std::exception& error)
{
    const char* mangled = typeid(error).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    if (status == 0 && demangled) {
        return demangled.get();
    }
    return mangled;
}

} // namespace Zentak::Core
