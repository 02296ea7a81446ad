#include "installer/application.h"

#include <iostream>

#include <glog/logging.h>

#include "logic/controller/installer_logic.h"
#include "logic/downloader/downloader.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"
#include "utils/json_line.h"
#include "utils/platform/process_executor.h"
#include "utils/settings.h"

namespace Zentak {
namespace {

// The program's own splash, executor, statistics and downloader.
ControllerParts ProgramParts()
{
    ControllerParts parts;
    parts.tracker = IStatisticsTracker::Create();
    parts.makeSplash = [](ISplashEventObserver& observer) { return CreateSplash(observer); };
    parts.makeExecutor = [](IProcessExecutorObserver& observer, std::function<void()> wake) {
        return GetProcessExecutor(observer, std::move(wake));
    };
    parts.makeDownloader = [](IDownloaderEvents& events, std::function<void()> wake) {
        return std::unique_ptr<IDownloader>(std::make_unique<Downloader>(events, std::move(wake)));
    };
    return parts;
}

class MacApplication : public IApplication {
public:
    int Run() override
    {
        const bool failed = m_logic.Start();
        LOG(INFO) << "Mac application stopped";
        if (failed) {
            return 1;
        }
        // A window run ends normally whatever the installation did; an
        // unattended one says by its code whether and why it did not install.
        if (!Settings::GetBool(Settings::ID::Unattended)) {
            return 0;
        }
        const int code = m_logic.UnattendedExitCode();
        const std::string result = m_logic.ResultText();
        if (Settings::GetBool(Settings::ID::ProgressJson)) {
            std::cout << JsonLine("result")
                             .Add("installed", m_logic.BundleInstallFinished())
                             .Add("text", result)
                             .Add("exit_code", code)
                             .Text()
                      << std::endl;
        } else {
            std::cout << "Result: " << result << " (exit code " << code << ")" << std::endl;
        }
        return code;
    }

    bool BundleInstalled() const override { return m_logic.BundleInstallFinished(); }

private:
    InstallerLogic m_logic{ProgramParts()};
};

} // namespace

std::unique_ptr<IApplication> IApplication::CreateInstance(int, char**)
{
    return std::make_unique<MacApplication>();
}

} // namespace Zentak
