// A program that installs the crash handler, logs and then dies, so that a
// test can look at the report it leaves. Usage: <mode> <log folder> <id>.
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "external/crash_handler.h"

namespace {

std::string g_hardwareId; // written before any other thread exists

Zentak::CrashHandler::ClientInfo ClientInfo()
{
    return {g_hardwareId};
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        return 2;
    }
    const std::string mode = argv[1];
    FLAGS_log_dir = argv[2];
    google::InitGoogleLogging(argv[0]);
    Zentak::Core::SetupCommonCrashHandler(&ClientInfo, false);
    // Known only after set-up: the report must show the refreshed value.
    g_hardwareId = argv[3];

    if (mode == "removed") {
        Zentak::Core::RemoveCommonCrashHandler();
        std::raise(SIGSEGV);
        return 0;
    }

    const std::unordered_set<int> severities =
        mode == "filter" ? std::unordered_set<int>{2} : std::unordered_set<int>{0, 1, 2, 3};
    Zentak::CrashHandler::SentryBreadCrumbsLogSink sink(severities);

    if (mode == "threads") {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < 60; ++i) {
                    LOG(INFO) << "thread " << t << " line " << i;
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    } else {
        LOG(INFO) << "breadcrumb one";
        LOG(WARNING) << "breadcrumb two";
        LOG(ERROR) << "breadcrumb three";
        LOG(INFO) << "breadcrumb four";
    }

    if (mode == "terminate") {
        throw std::runtime_error("nobody catches this");
    }
    std::raise(SIGSEGV);
    return 0;
}
