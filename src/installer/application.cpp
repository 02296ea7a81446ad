#include "installer/application.h"

#include <glog/logging.h>

#include "logic/controller/installer_logic.h"
#include "utils/settings.h"

namespace Zentak {
namespace {

// An unattended run succeeds only when the whole bundle was installed.
constexpr int kUnattendedIncomplete = 3;

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
    InstallerLogic m_logic;
};

} // namespace

std::unique_ptr<IApplication> IApplication::CreateInstance(int, char**)
{
    return std::make_unique<MacApplication>();
}

} // namespace Zentak
