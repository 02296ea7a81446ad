#include "fault_checks.h"

#include <unistd.h>

#include <chrono>
#include <map>
#include <thread>
#include <regex>

#include "harness/temp_dir.h"

namespace Zentak::Faults {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The start of a glog line: severity, date, time.
const std::regex kGlogLine(R"(^[IWEF]\d{8} \d\d:\d\d:\d\d)");

std::map<std::string, int> Count(const std::vector<std::string>& names)
{
    std::map<std::string, int> counts;
    for (const std::string& name : names) {
        ++counts[name];
    }
    return counts;
}

void AddEventNames(const std::string& text, std::vector<std::string>& names)
{
    static const std::regex event(R"re(<event name="([^"]*)")re");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), event);
         it != std::sregex_iterator(); ++it) {
        names.push_back((*it)[1]);
    }
}

} // namespace

bool WaitForLine(E2e::BackgroundProcess& process, const std::string& prefix,
                 std::chrono::seconds limit)
{
    const auto deadline = Clock::now() + limit;
    while (Clock::now() < deadline) {
        const std::optional<std::string> line = process.ReadLine(500ms);
        if (line && line->rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

pid_t WaitForInstallScript(const std::string& needle, std::chrono::seconds limit)
{
    const auto deadline = Clock::now() + limit;
    for (;;) {
        std::error_code error;
        for (fs::directory_iterator it("/proc", error), end; !error && it != end;
             it.increment(error)) {
            const std::string name = it->path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            std::string command = E2e::ReadFile(it->path() / "cmdline");
            for (char& c : command) {
                c = c == '\0' ? ' ' : c;
            }
            if (Contains(command, "install.sh") && Contains(command, needle)) {
                return static_cast<pid_t>(std::stol(name));
            }
        }
        if (Clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(10ms);
    }
}

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

void UseLogDirectory(E2e::InstallerRun& run, const fs::path& logDir)
{
    run.args.push_back("--log-path=" + logDir.string());
}

std::string ReadLogs(const fs::path& logDir)
{
    std::string text;
    std::error_code error;
    for (fs::directory_iterator it(logDir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (it->is_regular_file() && !it->is_symlink() && Contains(name, ".INFO.")) {
            text += E2e::ReadFile(it->path());
        }
    }
    return text;
}

::testing::AssertionResult EndedCleanly(const E2e::ProcessResult& result)
{
    if (result.timedOut || result.termSignal != 0) {
        return ::testing::AssertionFailure() << "did not end by itself: " << result.Describe();
    }
    // 0 installed, 3 cancelled, 4 to 7 a failure of its kind.
    if (result.exitCode != 0 && (result.exitCode < 3 || result.exitCode > 7)) {
        return ::testing::AssertionFailure() << "unexpected " << result.Describe();
    }
    for (const char* report :
         {"Sanitizer", "runtime error:", "*** Check failure", "*** Aborted", "SIGSEGV"}) {
        if (Contains(result.err, report)) {
            return ::testing::AssertionFailure() << "\"" << report << "\" on stderr:\n"
                                                 << result.err;
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult TmpIsEmpty(const fs::path& tmp)
{
    std::string left;
    std::error_code error;
    for (fs::directory_iterator it(tmp, error), end; !error && it != end; it.increment(error)) {
        left += " " + it->path().filename().string();
    }
    if (!left.empty()) {
        return ::testing::AssertionFailure() << tmp << " still holds:" << left;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult HomeHoldsOnly(const fs::path& home,
                                         const std::vector<std::string>& products)
{
    std::string unexpected;
    std::error_code error;
    for (fs::recursive_directory_iterator it(home, error), end; !error && it != end;
         it.increment(error)) {
        const fs::path relative = it->path().lexically_relative(home);
        const std::string text = relative.generic_string();
        auto part = relative.begin();
        const std::string first = part->string();
        if (text == "Library" || text == "Library/Preferences" || text == "Applications" ||
            text == "zentak-e2e-launch.log") {
            continue;
        }
        // A product's parameters file lies beside the Applications folder.
        if (relative.parent_path().empty() && relative.extension() == ".cfg" &&
            it->is_regular_file()) {
            continue;
        }
        if (first == "Library" && relative.parent_path() == "Library/Preferences" &&
            relative.extension() == ".plist" && it->is_regular_file()) {
            continue;
        }
        // The kept logs of runs that did not install.
        if (text == "Library/Logs" || text == "Library/Logs/Zentak Installer" ||
            (relative.parent_path() == "Library/Logs/Zentak Installer" &&
             relative.extension() == ".log" && it->is_regular_file())) {
            continue;
        }
        if (first == "Applications") {
            const std::string app = std::next(part)->string();
            bool wanted = false;
            for (const std::string& product : products) {
                wanted = wanted || app == product + ".app";
            }
            if (wanted) {
                it.disable_recursion_pending();
                continue;
            }
        }
        // A whole unexpected folder is named once.
        if (it->is_directory()) {
            it.disable_recursion_pending();
        }
        unexpected += "\n  " + text;
    }
    for (const std::string& product : products) {
        const fs::path program =
            home / "Applications" / (product + ".app") / "Contents" / "MacOS" / product;
        if (!fs::is_regular_file(program)) {
            unexpected += "\n  missing or partial: " + program.string();
        }
    }
    if (!unexpected.empty()) {
        return ::testing::AssertionFailure() << "HOME " << home << " holds:" << unexpected;
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::string> TrackedEvents(const std::string& log)
{
    static const std::regex tracked(R"re(Event "([^"]*)" tracked)re");
    std::vector<std::string> names;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), tracked);
         it != std::sregex_iterator(); ++it) {
        names.push_back((*it)[1]);
    }
    return names;
}

std::vector<std::string> UnsentEvents(const std::string& log)
{
    std::vector<std::string> names;
    bool inBlock = false;
    std::string block;
    for (const std::string& line : E2e::Lines(log)) {
        if (std::regex_search(line, kGlogLine)) {
            if (inBlock) {
                AddEventNames(block, names);
                block.clear();
            }
            inBlock = Contains(line, "Some events were not sent:") ||
                      Contains(line, "Event would not be sent");
            continue;
        }
        if (inBlock) {
            block += line + "\n";
        }
    }
    if (inBlock) {
        AddEventNames(block, names);
    }
    return names;
}

::testing::AssertionResult NothingLost(const std::string& log,
                                       const std::vector<std::string>& delivered)
{
    const std::map<std::string, int> tracked = Count(TrackedEvents(log));
    std::map<std::string, int> accounted = Count(delivered);
    for (const auto& [name, count] : Count(UnsentEvents(log))) {
        accounted[name] += count;
    }
    std::string lost;
    for (const auto& [name, count] : tracked) {
        if (accounted[name] < count) {
            lost += " " + name + " (" + std::to_string(count - accounted[name]) + " of " +
                    std::to_string(count) + ")";
        }
    }
    if (tracked.empty()) {
        return ::testing::AssertionFailure() << "no tracked event in the log";
    }
    if (!lost.empty()) {
        return ::testing::AssertionFailure() << "neither delivered nor logged as unsent:" << lost;
    }
    return ::testing::AssertionSuccess();
}

std::vector<std::string> EventsInPackages(const std::vector<std::string>& bodies)
{
    std::vector<std::string> names;
    for (const std::string& body : bodies) {
        AddEventNames(body, names);
    }
    return names;
}

::testing::AssertionResult RunDirectoriesGone(const std::string& log)
{
    static const std::regex runDir(R"re((/[^ "'\n]*/ZentakWebInstaller-[0-9]+))re");
    std::string left;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), runDir);
         it != std::sregex_iterator(); ++it) {
        if (fs::exists(fs::path((*it)[1].str()))) {
            left += " " + (*it)[1].str();
        }
    }
    if (!left.empty()) {
        return ::testing::AssertionFailure() << "run directory left:" << left;
    }
    return ::testing::AssertionSuccess();
}

void CheckOutcome(const Outcome& outcome, const fs::path& tmp, const fs::path& home,
                  const std::vector<std::string>& products)
{
    EXPECT_TRUE(EndedCleanly(outcome.result)) << outcome.result.out;
    if (!tmp.empty()) {
        EXPECT_TRUE(TmpIsEmpty(tmp));
    }
    if (!home.empty()) {
        EXPECT_TRUE(HomeHoldsOnly(home, products));
    }
    EXPECT_TRUE(NothingLost(outcome.log, outcome.delivered));
    EXPECT_TRUE(RunDirectoriesGone(outcome.log));
}

Outcome RunAndCheck(E2e::InstallerRun run, const fs::path& logDir,
                    const std::vector<std::string>& products,
                    const std::function<std::vector<std::string>()>& delivered)
{
    UseLogDirectory(run, logDir);
    Outcome outcome;
    outcome.result = E2e::RunInstaller(run);
    outcome.log = ReadLogs(logDir);
    outcome.delivered = delivered();
    CheckOutcome(outcome, run.tmp, run.home, products);
    return outcome;
}

} // namespace Zentak::Faults
