#include "installer/application.h"

#include <glog/logging.h>

#include "logic/controller/installer_logic.h"
#include "logic/downloader/downloader.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"
#include "utils/platform/process_executor.h"
#include "utils/settings.h"

namespace Zentak {
namespace {

// An unattended run succeeds only when the whole bundle was installed.
constexpr int kUnattendedIncomplete = 3;

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
        if (Settings::GetBool(Settings::ID::Unattended) && !m_logic.BundleInstallFinished()) {
            return kUnattendedIncomplete;
        }
        return 0;
    }

private:
    InstallerLogic m_logic{ProgramParts()};
};

} // namespace

std::unique_ptr<IApplication> IApplication::CreateInstance(int, char**)
{
    return std::make_unique<MacApplication>();
}

} // namespace Zentak
