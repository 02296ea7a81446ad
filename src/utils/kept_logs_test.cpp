#include "utils/kept_logs.h"

#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

namespace Zentak::Util {
namespace {

namespace fs = boost::filesystem;

std::string Read(const fs::path& path)
{
    std::ifstream file(path.string());
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The program's log found through glog's link, copied, and only the newest
// ten copies kept; other files of the folder are left alone.
TEST(KeptLogsTest, CopiesTheCurrentLogAndKeepsTheNewestTen)
{
    const fs::path root = fs::temp_directory_path() / fs::unique_path("kept-logs-%%%%-%%%%");
    const fs::path logs = root / "run";
    const fs::path kept = root / "Kept Logs";
    fs::create_directories(logs);
    fs::create_directories(kept);
    std::ofstream((logs / "installer.host.user.log.INFO.20261208-101010.42").string()) << "why\n";
    fs::create_symlink("installer.host.user.log.INFO.20261208-101010.42", logs / "installer.INFO");
    for (int i = 0; i < 12; ++i) {
        std::ofstream((kept / ("installer-20200101-0000" + std::to_string(10 + i) + "-1.log")).string())
            << i;
    }
    std::ofstream((kept / "notes.txt").string()) << "mine";

    const fs::path log = CurrentLogFile(logs, "installer");
    ASSERT_FALSE(log.empty());
    EXPECT_TRUE(CurrentLogFile(logs, "other").empty());
    const fs::path copy = KeepLog(log, kept);
    ASSERT_FALSE(copy.empty());
    EXPECT_EQ(Read(copy), "why\n");

    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(kept)) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names.size(), 11u) << "ten logs and the notes";
    EXPECT_EQ(names.count("notes.txt"), 1u);
    EXPECT_EQ(names.count(copy.filename().string()), 1u);
    EXPECT_EQ(names.count("installer-20200101-000010-1.log"), 0u) << "the oldest goes first";
    EXPECT_EQ(names.count("installer-20200101-000021-1.log"), 1u);
    fs::remove_all(root);
}

} // namespace
} // namespace Zentak::Util
