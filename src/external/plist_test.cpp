#include "external/plist.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "support/test_environment.h"

namespace Zentak::Util {
namespace {

namespace fs = boost::filesystem;
using Test::ReadFile;

void WriteFile(const fs::path& path, const std::string& content)
{
    std::ofstream out(path.string(), std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> FolderEntries(const fs::path& folder)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

class PlistTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = fs::temp_directory_path() / fs::unique_path("plist-test-%%%%-%%%%");
        fs::create_directories(m_folder);
    }
    void TearDown() override
    {
        boost::system::error_code ignored;
        fs::permissions(m_folder, fs::owner_all, ignored);
        fs::remove_all(m_folder, ignored);
    }
    fs::path m_folder;
};

TEST_F(PlistTest, ComposedPathFollowsHomeAndFolderIsCreated)
{
    const fs::path home = m_folder / "home";
    fs::create_directories(home);
    ASSERT_EQ(::setenv("HOME", home.c_str(), 1), 0);
    EXPECT_EQ(ZentakPlistPath("install_env").string(),
              home.string() + "/Library/Preferences/com.zentak.install_env.plist");
    EXPECT_TRUE(fs::is_directory(home / "Library" / "Preferences"));
    EXPECT_EQ(GetPlistDirectory(), home / "Library" / "Preferences");

    CreateZentakPlistDictionary("install_env")->SetString("bundle_name", "Reel Maker");
    EXPECT_EQ(OpenZentakPlistDictionary("install_env")->GetString("bundle_name"), "Reel Maker");
}

TEST_F(PlistTest, StoredStringsReadBackUnchanged)
{
    struct Entry {
        std::string key;
        std::string value;
    };
    const std::vector<Entry> entries = {
        {"SITEMARK", "0b6c7f0e-3a52-4d1e-9a4f-2f5b8a1c9e77"},
        {"unicode", "Zentak Reel Maker \xE2\x9C\x93 \xE2\x80\x94 \xC3\x9Cn\xC3\xAF" "c\xC3\xB6"
                    "d\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E"},
        {"markup", "a & b <c> \"d\" 'e' ]]> &amp;"},
        {"key <&> \"quoted\"", "value"},
        {"empty", ""},
        {"spaces", "  leading and trailing  "},
        {"lines", "one\ntwo\r\nthree\tfour"},
    };
    const fs::path path = m_folder / "com.zentak.user.plist";
    {
        auto dictionary = OpenPlistDictionary(path);
        for (const Entry& entry : entries) {
            dictionary->SetString(entry.key, entry.value);
        }
        // The object itself sees what it stored.
        EXPECT_EQ(dictionary->GetString("markup"), entries[2].value);
    }
    auto reread = OpenPlistDictionary(path);
    for (const Entry& entry : entries) {
        EXPECT_EQ(reread->GetString(entry.key), entry.value) << entry.key;
    }
    EXPECT_EQ(reread->GetString("missing"), "");

    const std::string file = ReadFile(path.string());
    EXPECT_EQ(file.rfind("<?xml", 0), 0u) << file;
    EXPECT_NE(file.find("<plist"), std::string::npos);
    EXPECT_NE(file.find("<string>a &amp; b &lt;c&gt;"), std::string::npos) << file;
    EXPECT_NE(file.find("<string>one\ntwo&#13;\nthree\tfour</string>"), std::string::npos);
    EXPECT_EQ(FolderEntries(m_folder), std::vector<std::string>{"com.zentak.user.plist"});
}

TEST_F(PlistTest, UnusableFilesReadAsEmptyAndAreReplacedOnWrite)
{
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"garbage", "\x01\x02 not a plist at all \xFF"},
        {"truncated xml", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>k</key><str"},
        {"array root", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>v</string>"
                       "</array></plist>"},
        {"empty file", ""},
        {"truncated binary", "bplist00\xD1\x01\x02"},
    };
    for (const Case& c : cases) {
        const fs::path path = m_folder / "broken.plist";
        WriteFile(path, c.content);
        auto dictionary = OpenPlistDictionary(path);
        EXPECT_EQ(dictionary->GetString("k"), "") << c.name;
        dictionary->SetString("k", "fresh");
        EXPECT_EQ(OpenPlistDictionary(path)->GetString("k"), "fresh") << c.name;
    }
}

TEST_F(PlistTest, NonStringValuesReadAsEmpty)
{
    const fs::path path = m_folder / "typed.plist";
    WriteFile(path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<plist version=\"1.0\"><dict>"
                    "<key>number</key><integer>42</integer>"
                    "<key>flag</key><true/>"
                    "<key>text</key><string>kept</string>"
                    "</dict></plist>\n");
    auto dictionary = OpenPlistDictionary(path);
    EXPECT_EQ(dictionary->GetString("number"), "");
    EXPECT_EQ(dictionary->GetString("flag"), "");
    EXPECT_EQ(dictionary->GetString("text"), "kept");
}

// libplist takes a NUL character inside a string or key, then aborts the
// process on an assertion when the text is asked for, or reads past the end
// of its copy when the dictionary is written. A damaged preference file must
// not end the program: it reads as empty, like any other corrupt file, and a
// store replaces it.
TEST_F(PlistTest, NulCharacterInATextMakesTheFileReadAsEmpty)
{
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"xml string", std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                                   "<key>SITEMARK</key><string>0f8f\0\0ad5b</string>"
                                   "<key>text</key><string>kept</string></dict></plist>\n",
                                   164)},
        {"binary ASCII string",
         std::string("bplist00\xd2\x01\x02\x03\x04\x58SITEMARK\x54text\x53\x61\x00\x62"
                     "\x54kept\x08\x0d\x16\x1b\x1f\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00"
                     "\x00\x00\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                     "\x00\x00\x00\x00\x24",
                     73)},
        {"binary UTF-16 key",
         std::string("bplist00\xd2\x01\x02\x03\x04\x6a\x00S\x00I\x00T\x00E\x00\x00\x00M\x00"
                     "A\x00R\x00K\x20\xac\x54text\x51x\x54kept\x08\x0d\x22\x27\x29\x00\x00"
                     "\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x05\x00\x00\x00"
                     "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x2e",
                     83)},
    };
    for (const Case& c : cases) {
        const fs::path path = m_folder / "nul.plist";
        WriteFile(path, c.content);
        auto dictionary = OpenPlistDictionary(path);
        EXPECT_EQ(dictionary->GetString("SITEMARK"), "") << c.name;
        EXPECT_EQ(dictionary->GetString("text"), "") << c.name;
        dictionary->SetString("SITEMARK", "fresh");
        EXPECT_EQ(OpenPlistDictionary(path)->GetString("SITEMARK"), "fresh") << c.name;
        EXPECT_EQ(ReadFile(path.string()).find('\0'), std::string::npos) << c.name;
    }
}

// Every file the fuzzer found stopping or corrupting the plist layer is kept
// beside its seeds; each must read without harm, take a store and read it
// back.
TEST_F(PlistTest, FilesTheFuzzerFoundReadAndStoreSafely)
{
    const fs::path corpus = fs::path(ZENTAK_TEST_DATA_DIR).parent_path() / "fuzz" / "corpus" / "fuzz_plist";
    int found = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(corpus)) {
        if (entry.path().filename().string().rfind("regression-", 0) != 0) {
            continue;
        }
        ++found;
        const fs::path path = m_folder / "found.plist";
        fs::copy_file(entry.path(), path, fs::copy_options::overwrite_existing);
        {
            auto dictionary = OpenPlistDictionary(path);
            dictionary->GetString("SITEMARK");
            dictionary->SetString("SITEMARK", "stored");
        }
        EXPECT_EQ(OpenPlistDictionary(path)->GetString("SITEMARK"), "stored") << entry.path();
        EXPECT_EQ(ReadFile(path.string()).find('\0'), std::string::npos) << entry.path();
    }
    EXPECT_GE(found, 4);
}

// A repeated key: the binary reader kept both copies and found the first,
// a store replaced that one, and the file written then read back with the
// other, so a stored id was lost. The last copy is the value, and a store
// leaves one.
TEST_F(PlistTest, RepeatedKeysReadAsTheLastCopyAndAStoreSticks)
{
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"xml", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                "<key>SITEMARK</key><string>x</string><key>SITEMARK</key><string>y</string>"
                "</dict></plist>\n"},
        {"binary", std::string("bplist00\xd2\x01\x02\x03\x04\x58SITEMARK\x58SITEMARK\x51x\x51y"
                               "\x08\x0d\x16\x1f\x21\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00"
                               "\x00\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                               "\x00\x00\x00\x00\x23",
                               72)},
        {"binary, other value type last",
         std::string("bplist00\xd2\x01\x02\x03\x04\x58SITEMARK\x58SITEMARK\x51x\x10\x07"
                     "\x08\x0d\x16\x1f\x21\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00"
                     "\x00\x00\x00\x00\x05\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
                     "\x00\x00\x00\x00\x23",
                     72)},
    };
    const std::string expected[] = {"y", "y", ""};
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        const fs::path path = m_folder / "repeated.plist";
        WriteFile(path, c.content);
        auto dictionary = OpenPlistDictionary(path);
        EXPECT_EQ(dictionary->GetString("SITEMARK"), expected[i]) << c.name;
        dictionary->SetString("SITEMARK", "stored");
        EXPECT_EQ(OpenPlistDictionary(path)->GetString("SITEMARK"), "stored") << c.name;
        const std::string file = ReadFile(path.string());
        EXPECT_EQ(file.find("<key>SITEMARK</key>"), file.rfind("<key>SITEMARK</key>")) << c.name;
    }
}

TEST_F(PlistTest, OpeningWithoutStoringLeavesNoFile)
{
    const fs::path path = m_folder / "untouched.plist";
    EXPECT_EQ(OpenPlistDictionary(path)->GetString("k"), "");
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(PlistTest, CreateStartsEmptyAndWritesTheFileEvenWithoutEntries)
{
    const fs::path path = m_folder / "com.zentak.install_env.plist";
    OpenPlistDictionary(path)->SetString("old", "value");
    {
        auto dictionary = CreatePlistDictionary(path);
        EXPECT_EQ(dictionary->GetString("old"), "");
    }
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(OpenPlistDictionary(path)->GetString("old"), "");
    EXPECT_NE(ReadFile(path.string()).find("<dict"), std::string::npos);

    const fs::path fresh = m_folder / "fresh.plist";
    CreatePlistDictionary(fresh).reset();
    EXPECT_TRUE(fs::is_regular_file(fresh));
}

TEST_F(PlistTest, UnwritableFolderThrowsNamingThePathAndLeavesNoTemporaryFile)
{
    // The folder "path" runs through a regular file: no write can succeed,
    // also for root, who ignores permission bits.
    const fs::path blocker = m_folder / "blocker";
    WriteFile(blocker, "not a folder");
    const fs::path path = blocker / "com.zentak.user.plist";

    auto dictionary = OpenPlistDictionary(path);
    try {
        dictionary->SetString("k", "v");
        FAIL() << "SetString succeeded on " << path;
    } catch (const std::runtime_error& error) {
        const std::string text = error.what();
        EXPECT_NE(text.find(path.string()), std::string::npos) << text;
        EXPECT_NE(text.find(std::strerror(ENOTDIR)), std::string::npos) << text;
    }
    EXPECT_EQ(FolderEntries(m_folder), std::vector<std::string>{"blocker"});

    // The entry stays stored; once the folder exists, destruction writes it.
    fs::remove(blocker);
    fs::create_directories(blocker);
    dictionary.reset();
    EXPECT_EQ(OpenPlistDictionary(path)->GetString("k"), "v");
    EXPECT_EQ(FolderEntries(blocker), std::vector<std::string>{"com.zentak.user.plist"});
}

TEST_F(PlistTest, DestructionSwallowsAWriteFailure)
{
    const fs::path blocker = m_folder / "blocker";
    WriteFile(blocker, "not a folder");
    EXPECT_NO_THROW(CreatePlistDictionary(blocker / "x.plist").reset());
    EXPECT_EQ(FolderEntries(m_folder), std::vector<std::string>{"blocker"});
}

TEST_F(PlistTest, ReadOnlyFolderThrowsForOrdinaryUsers)
{
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root writes into read-only folders";
    }
    const fs::path folder = m_folder / "locked";
    fs::create_directories(folder);
    const fs::path path = folder / "a.plist";
    OpenPlistDictionary(path)->SetString("k", "before");
    fs::permissions(folder, fs::owner_read | fs::owner_exe);
    auto dictionary = OpenPlistDictionary(path);
    EXPECT_THROW(dictionary->SetString("k", "after"), std::runtime_error);
    dictionary.reset(); // its retry fails as well, quietly
    EXPECT_EQ(FolderEntries(folder), std::vector<std::string>{"a.plist"});
    EXPECT_EQ(OpenPlistDictionary(path)->GetString("k"), "before");
    fs::permissions(folder, fs::owner_all);
}

// A writer killed before its rename leaves its temporary file; the next
// write of the same plist removes it, but not the file of a writer that
// still holds it, nor the temporary files of another plist.
TEST_F(PlistTest, AWriteRemovesTemporaryFilesKilledWritersLeft)
{
    const fs::path path = m_folder / "com.zentak.install_env.plist";
    WriteFile(m_folder / ".com.zentak.install_env.plist.Ab12Cd", "<?xml");
    WriteFile(m_folder / ".com.zentak.install_env.plist.zzzzzz", "");
    WriteFile(m_folder / ".com.zentak.install_env.plist.Held00", "<?xml");
    WriteFile(m_folder / ".com.zentak.user.plist.Ab12Cd", "<?xml");
    const int held = ::open((m_folder / ".com.zentak.install_env.plist.Held00").c_str(), O_RDONLY);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);

    CreatePlistDictionary(path)->SetString("k", "v");
    ::close(held);

    std::vector<std::string> entries = FolderEntries(m_folder);
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{".com.zentak.install_env.plist.Held00",
                                                 ".com.zentak.user.plist.Ab12Cd",
                                                 "com.zentak.install_env.plist"}));
    EXPECT_EQ(OpenPlistDictionary(path)->GetString("k"), "v");
}

TEST_F(PlistTest, ConcurrentWritersNeverExposeAPartialFile)
{
    const fs::path path = m_folder / "shared.plist";
    OpenPlistDictionary(path)->SetString("k", "start");
    std::atomic<bool> writing{true};
    std::atomic<int> unreadable{0};
    std::thread reader([&] {
        for (int i = 0; i < 2000 && writing.load(); ++i) {
            if (OpenPlistDictionary(path)->GetString("k").empty()) {
                ++unreadable;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 3; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < 40; ++i) {
                OpenPlistDictionary(path)->SetString("k", "writer " + std::to_string(w) +
                                                              std::string(2000, 'x'));
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    writing = false;
    reader.join();
    EXPECT_EQ(unreadable.load(), 0);
    EXPECT_EQ(FolderEntries(m_folder), std::vector<std::string>{"shared.plist"});
}

} // namespace
} // namespace Zentak::Util
