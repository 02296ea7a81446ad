#include "utils/kept_logs.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <vector>

#include <boost/filesystem/operations.hpp>

namespace Zentak::Util {
namespace fs = boost::filesystem;

namespace {

constexpr const char* kPrefix = "installer-";
constexpr const char* kSuffix = ".log";

bool IsKeptLog(const std::string& name)
{
    const std::string prefix = kPrefix;
    const std::string suffix = kSuffix;
    return name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

} // namespace

fs::path KeptLogsFolder()
{
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        return {};
    }
    return fs::path(home) / "Library" / "Logs" / "Zentak Installer";
}

fs::path CurrentLogFile(const fs::path& logDir, const std::string& program)
{
    boost::system::error_code error;
    const fs::path link = logDir / (program + ".INFO");
    const fs::path target = fs::canonical(link, error);
    if (error || !fs::is_regular_file(target, error)) {
        return {};
    }
    return target;
}

fs::path KeepLog(const fs::path& log, const fs::path& folder, std::size_t keep)
{
    boost::system::error_code error;
    fs::create_directories(folder, error);
    if (error) {
        return {};
    }
    char stamp[32] = {};
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    // The date first, so that names sort by age.
    const fs::path copy =
        folder / (std::string(kPrefix) + stamp + "-" + std::to_string(::getpid()) + kSuffix);
    fs::copy_file(log, copy, fs::copy_options::overwrite_existing, error);
    if (error) {
        return {};
    }

    std::vector<fs::path> kept;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (IsKeptLog(it->path().filename().string())) {
            kept.push_back(it->path());
        }
    }
    std::sort(kept.begin(), kept.end());
    for (std::size_t i = 0; i + keep < kept.size(); ++i) {
        fs::remove(kept[i], error);
    }
    return copy;
}

} // namespace Zentak::Util
