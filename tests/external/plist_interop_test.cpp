// Our plists against an independent reader and writer: Python's plistlib.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "external/plist.h"

namespace {

namespace fs = boost::filesystem;

bool HavePython()
{
    return std::system("python3 -c 'import plistlib' >/dev/null 2>&1") == 0;
}

// Runs `command` and returns its standard output; fails the test when the
// command fails.
std::string RunCommand(const std::string& command)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "popen failed: " << command;
        return std::string();
    }
    std::string output;
    char buffer[4096];
    for (size_t read; (read = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0;) {
        output.append(buffer, read);
    }
    const int status = ::pclose(pipe);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
    return output;
}

const std::string kOddText = "Zentak Reel Maker \xE2\x9C\x93 \xE2\x80\x94 \xC3\x9Cn\xC3\xAF"
                             "c\xC3\xB6" "d\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"
                             " & <tag> \"q\" 'a' \r\n \t";

class PlistInteropTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!HavePython()) {
            GTEST_SKIP() << "python3 with plistlib is not available";
        }
        m_folder = fs::temp_directory_path() / fs::unique_path("plist-interop-%%%%-%%%%");
        fs::create_directories(m_folder);
    }
    void TearDown() override
    {
        boost::system::error_code ignored;
        fs::remove_all(m_folder, ignored);
    }
    fs::path m_folder;
};

TEST_F(PlistInteropTest, PlistlibReadsWhatWeWrite)
{
    const fs::path path = m_folder / "com.zentak.user.plist";
    {
        auto dictionary = Zentak::Util::OpenPlistDictionary(path);
        dictionary->SetString("k", kOddText);
        dictionary->SetString("SITEMARK", "0b6c7f0e-3a52-4d1e-9a4f-2f5b8a1c9e77");
    }
    const std::string output = RunCommand(
        "python3 -c \"import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); "
        "sys.stdout.buffer.write((d['k']+'|'+d['SITEMARK']+'|'+str(len(d))).encode('utf-8'))\" '" +
        path.string() + "'");
    EXPECT_EQ(output, kOddText + "|0b6c7f0e-3a52-4d1e-9a4f-2f5b8a1c9e77|2");
}

TEST_F(PlistInteropTest, WeReadWhatPlistlibWrites)
{
    for (const char* format : {"FMT_XML", "FMT_BINARY"}) {
        const fs::path path = m_folder / (std::string(format) + ".plist");
        RunCommand(std::string("python3 -c \"import plistlib,sys; "
                        "plistlib.dump({'k': sys.argv[2], 'n': 7, 'e': ''}, "
                        "open(sys.argv[1],'wb'), fmt=plistlib.") +
            format + ")\" '" + path.string() + "' '" + kOddText.substr(0, kOddText.find('\'')) +
            "'");
        auto dictionary = Zentak::Util::OpenPlistDictionary(path);
        EXPECT_EQ(dictionary->GetString("k"), kOddText.substr(0, kOddText.find('\''))) << format;
        EXPECT_EQ(dictionary->GetString("n"), "") << format;
        EXPECT_EQ(dictionary->GetString("e"), "") << format;
    }
}

} // namespace
