#include "external/crash_handler.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace Zentak::Core {
namespace {

namespace fs = boost::filesystem;

struct CustomError : std::runtime_error {
    CustomError() : std::runtime_error("custom") {}
};

// Collects the warnings that reach glog while it lives.
class WarningCollector : public google::LogSink {
public:
    WarningCollector() { google::AddLogSink(this); }
    ~WarningCollector() override { google::RemoveLogSink(this); }
    using google::LogSink::send;
    void send(google::LogSeverity severity, const char*, const char*, int,
              const google::LogMessageTime&, const char* message, size_t length) override
    {
        std::lock_guard<std::mutex> lock(m_guard);
        m_lines.emplace_back(std::to_string(severity) + " " + std::string(message, length));
    }
    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> lock(m_guard);
        return m_lines;
    }

private:
    std::mutex m_guard;
    std::vector<std::string> m_lines;
};

std::vector<std::string> ReadLines(const fs::path& path)
{
    std::ifstream in(path.string(), std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class TrackExceptionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // glibc rereads the zone file on every mktime(3) while TZ is unset,
        // under a lock ThreadSanitizer cannot see; glog's time stamps would
        // then show up as a race in threaded tests.
        ::setenv("TZ", ":/etc/localtime", 0);
        m_folder = fs::temp_directory_path() / fs::unique_path("track-test-%%%%-%%%%");
        fs::create_directories(m_folder);
        m_savedLogDir = FLAGS_log_dir;
        FLAGS_log_dir = m_folder.string();
    }
    void TearDown() override
    {
        RemoveCommonCrashHandler();
        FLAGS_log_dir = m_savedLogDir;
        boost::system::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
    fs::path Reports() const { return m_folder / "exceptions.jsonl"; }

    fs::path m_folder;
    std::string m_savedLogDir;
};

TEST_F(TrackExceptionTest, ConcurrentReportsStayWholeLines)
{
    SetupCommonCrashHandler([] { return CrashHandler::ClientInfo{"hw-1234"}; }, false);
    constexpr int kThreads = 6;
    constexpr int kReports = 40;
    // Odd texts: JSON escapes, line breaks, invalid UTF-8 and a long line.
    const std::vector<std::string> oddities = {
        "quote \" backslash \\ slash /", "line\nbreak\r\ttab", "bad utf-8 \xFF\xC3 end",
        std::string(6000, 'L'), std::string("nul \0 inside", 12)};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &oddities] {
            for (int i = 0; i < kReports; ++i) {
                TrackException("T" + std::to_string(t),
                               std::to_string(i) + "|" + oddities[i % oddities.size()]);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }

    const std::vector<std::string> lines = ReadLines(Reports());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kReports));
    const std::regex isoTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");
    std::map<std::string, std::set<int>> seen;
    for (const std::string& line : lines) {
        const nlohmann::json report = nlohmann::json::parse(line); // throws on a torn line
        const std::string description = report.at("description");
        const int index = std::stoi(description.substr(0, description.find('|')));
        const std::string odd = oddities[index % oddities.size()];
        if (odd.find('\xFF') == std::string::npos) {
            EXPECT_EQ(description, std::to_string(index) + "|" + odd);
        } else {
            EXPECT_EQ(description, std::to_string(index) + "|bad utf-8 \xEF\xBF\xBD\xEF\xBF\xBD end");
        }
        EXPECT_TRUE(std::regex_match(report.at("time").get<std::string>(), isoTime))
            << report.at("time");
        EXPECT_EQ(report.at("client").at("hardwareId"), "hw-1234");
        seen[report.at("type")].insert(index);
    }
    ASSERT_EQ(seen.size(), static_cast<size_t>(kThreads));
    for (const auto& [type, indices] : seen) {
        EXPECT_EQ(indices.size(), static_cast<size_t>(kReports)) << type;
    }
}

TEST_F(TrackExceptionTest, WorksWithoutHandlerAndLogsOneWarning)
{
    WarningCollector collector;
    TrackException("Empty statistics section", "no url");
    const std::vector<std::string> lines = ReadLines(Reports());
    ASSERT_EQ(lines.size(), 1u);
    const nlohmann::json report = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(report.at("type"), "Empty statistics section");
    EXPECT_EQ(report.at("description"), "no url");
    EXPECT_FALSE(report.contains("client"));
    EXPECT_EQ(collector.Lines(),
              std::vector<std::string>{"1 Exception tracked: Empty statistics section: no url"});
}

TEST_F(TrackExceptionTest, WithoutUsableLogFolderOnlyLogs)
{
    const struct {
        const char* name;
        std::string folder;
    } cases[] = {{"empty", ""}, {"through a file", (m_folder / "file" / "sub").string()}};
    std::ofstream(m_folder / "file") << "x";
    for (const auto& c : cases) {
        FLAGS_log_dir = c.folder;
        WarningCollector collector;
        EXPECT_NO_THROW(TrackException("T", "D")) << c.name;
        const std::vector<std::string> lines = collector.Lines();
        ASSERT_FALSE(lines.empty()) << c.name;
        EXPECT_EQ(lines.back(), "1 Exception tracked: T: D") << c.name;
    }
    EXPECT_FALSE(fs::exists(Reports()));
}

TEST_F(TrackExceptionTest, ClientInfoIsReadAtReportTimeAndForgottenOnRemove)
{
    std::string hardwareId = "first";
    SetupCommonCrashHandler([&hardwareId] { return CrashHandler::ClientInfo{hardwareId}; },
                            false);
    TrackException("T", "1");
    hardwareId = "";
    TrackException("T", "2");
    RemoveCommonCrashHandler();
    TrackException("T", "3");

    const std::vector<std::string> lines = ReadLines(Reports());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(nlohmann::json::parse(lines[0]).at("client").at("hardwareId"), "first");
    EXPECT_EQ(nlohmann::json::parse(lines[1]).at("client").at("hardwareId"), "");
    EXPECT_FALSE(nlohmann::json::parse(lines[2]).contains("client"));
}

TEST(TypeNameTest, NamesTheDynamicType)
{
    const CustomError custom;
    const std::exception& asBase = custom;
    EXPECT_EQ(TypeName(asBase), "Zentak::Core::(anonymous namespace)::CustomError");
    EXPECT_EQ(TypeName(std::runtime_error("x")), "std::runtime_error");
    EXPECT_EQ(TypeName(std::out_of_range("x")), "std::out_of_range");
    try {
        throw fs::filesystem_error("x", boost::system::error_code());
    } catch (const std::exception& error) {
        EXPECT_EQ(TypeName(error), "boost::filesystem::filesystem_error");
    }
}

} // namespace
} // namespace Zentak::Core
