#include "utils/temp_paths.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

namespace Zentak::Util {
namespace {

namespace fs = boost::filesystem;

// Every test gets its own system temporary directory through TMPDIR and a
// fresh run directory state.
class TempPathsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* old = std::getenv("TMPDIR");
        if (old) {
            oldTmpDir_ = old;
        }
        std::string pattern = (fs::temp_directory_path() / "temp-paths-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(&pattern[0]), nullptr);
        root_ = pattern;
        ::setenv("TMPDIR", root_.c_str(), 1);
        ResetTempDirForTesting();
        SetTempNameDrawForTesting({});
    }

    void TearDown() override
    {
        ResetTempDirForTesting();
        SetTempNameDrawForTesting({});
        if (oldTmpDir_) {
            ::setenv("TMPDIR", oldTmpDir_->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
        boost::system::error_code error;
        fs::remove_all(root_, error);
    }

    // Hands out `numbers` in order, then fails the test.
    void DrawInOrder(std::vector<int> numbers)
    {
        auto next = std::make_shared<size_t>(0);
        SetTempNameDrawForTesting([numbers, next]() {
            if (*next >= numbers.size()) {
                ADD_FAILURE() << "more draws than expected";
                return 999999;
            }
            return numbers[(*next)++];
        });
    }

    std::set<std::string> Entries() const
    {
        std::set<std::string> names;
        for (fs::directory_iterator it(root_), end; it != end; ++it) {
            names.insert(it->path().filename().string());
        }
        return names;
    }

    fs::path root_;
    std::optional<std::string> oldTmpDir_;
};

void MakeFile(const fs::path& path)
{
    std::ofstream(path.string()) << "x";
}

// The descriptor of this process that refers to `path`, or -1.
int OwnDescriptorOf(const fs::path& path)
{
    struct stat wanted {};
    if (::stat(path.c_str(), &wanted) != 0) {
        return -1;
    }
    const long limit = std::min(::sysconf(_SC_OPEN_MAX), 65536L);
    for (int descriptor = 0; descriptor < limit; ++descriptor) {
        struct stat held {};
        if (::fstat(descriptor, &held) == 0 && held.st_dev == wanted.st_dev &&
            held.st_ino == wanted.st_ino) {
            return descriptor;
        }
    }
    return -1;
}

TEST_F(TempPathsTest, RunDirectoryIsMadeOnceAndLocked)
{
    const fs::path& first = GetTempDir();
    const fs::path& second = GetTempDir();
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(first.parent_path(), root_);
    EXPECT_TRUE(std::regex_match(first.filename().string(),
                                 std::regex("ZentakWebInstaller-(0|[1-9][0-9]*)")))
        << first;
    EXPECT_EQ(Entries(), std::set<std::string>{first.filename().string()});

    struct stat info {};
    ASSERT_EQ(::stat(first.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0700u);

    // The lock is held on an descriptor that children do not inherit.
    const fs::path lockFile = first / kTempDirLockFileName;
    const int own = OwnDescriptorOf(lockFile);
    ASSERT_GE(own, 0);
    EXPECT_NE(::fcntl(own, F_GETFD) & FD_CLOEXEC, 0);
    const int probe = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    EXPECT_EQ(::flock(probe, LOCK_EX | LOCK_NB), -1);
    EXPECT_EQ(errno, EWOULDBLOCK);
    ::close(probe);
}

TEST_F(TempPathsTest, ConcurrentFirstCallsShareOneDirectory)
{
    std::vector<const fs::path*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([&seen, i]() { seen[i] = &GetTempDir(); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const fs::path* path : seen) {
        EXPECT_EQ(path, seen.front());
    }
    EXPECT_EQ(Entries().size(), 1u);
}

TEST_F(TempPathsTest, TakenNamesAreDrawnAgain)
{
    MakeFile(root_ / "ZentakWebInstaller-42");
    fs::create_directory(root_ / "ZentakWebInstaller-43");
    DrawInOrder({42, 43, 44});
    EXPECT_EQ(GetTempDir(), root_ / "ZentakWebInstaller-44");
    EXPECT_TRUE(fs::is_regular_file(root_ / "ZentakWebInstaller-42"));
    EXPECT_TRUE(fs::is_empty(root_ / "ZentakWebInstaller-43"));
}

// A TMPDIR that names nothing (or a file) is passed over for the system's
// default folder, as the C library does; the run directory is still made
// and still removed.
TEST_F(TempPathsTest, UnusableTmpdirFallsBackToTheSystemFolder)
{
    MakeFile(root_ / "file");
    for (const fs::path& tmpdir : {root_ / "missing", root_ / "file"}) {
        SCOPED_TRACE(tmpdir.string());
        ResetTempDirForTesting();
        ::setenv("TMPDIR", tmpdir.c_str(), 1);
        fs::path runDir;
        ASSERT_NO_THROW(runDir = GetTempDir());
        EXPECT_EQ(runDir.parent_path(), fs::path(P_tmpdir));
        EXPECT_TRUE(fs::is_directory(runDir));
        EXPECT_NO_THROW(CleanupTempDir());
        EXPECT_FALSE(fs::exists(runDir));
    }
    EXPECT_FALSE(fs::exists(root_ / "missing"));
}

TEST_F(TempPathsTest, CreateTempPathNamesWithoutCreating)
{
    const std::regex digits("[0-9]+");
    const fs::path ini = CreateTempPath(root_, "ini", "");
    EXPECT_EQ(ini.parent_path(), root_);
    EXPECT_EQ(ini.extension(), ".ini");
    EXPECT_TRUE(std::regex_match(ini.stem().string(), digits)) << ini;

    const fs::path image = CreateTempPath(root_, ".png", "_splash");
    EXPECT_EQ(image.extension(), ".png");
    const std::string stem = image.stem().string();
    ASSERT_GT(stem.size(), 7u);
    EXPECT_EQ(stem.substr(stem.size() - 7), "_splash");
    EXPECT_TRUE(std::regex_match(stem.substr(0, stem.size() - 7), digits)) << image;

    EXPECT_TRUE(Entries().empty());
}

// A suffix made from outside text (a web user id such as "../../x") stays
// one name inside the directory, its dots not taken for the extension.
TEST_F(TempPathsTest, CreateTempPathKeepsAHostileSuffixInsideTheDirectory)
{
    const std::pair<std::string, std::string> cases[] = {
        {"_W../../../escaped_", "_W.._.._.._escaped_.dmg"},
        {"_W/abs/path_", "_W_abs_path_.dmg"},
        {"_Wa\\b.c_", "_Wa_b.c_.dmg"},
    };
    for (const auto& [suffix, ending] : cases) {
        SCOPED_TRACE(suffix);
        const fs::path path = CreateTempPath(root_, "dmg", suffix);
        EXPECT_EQ(path.parent_path(), root_);
        const std::string name = path.filename().string();
        ASSERT_GT(name.size(), ending.size());
        EXPECT_EQ(name.substr(name.size() - ending.size()), ending);
        EXPECT_TRUE(std::regex_match(name.substr(0, name.size() - ending.size()),
                                     std::regex("[0-9]+")))
            << name;
    }
    EXPECT_TRUE(Entries().empty());
}

TEST_F(TempPathsTest, CreateTempPathDrawsAgainWhenTaken)
{
    MakeFile(root_ / "7.ini");
    fs::create_directory(root_ / "8.ini");
    DrawInOrder({7, 8, 7, 9});
    EXPECT_EQ(CreateTempPath(root_, "ini", ""), root_ / "9.ini");
}

// A child process that takes its own run directory and holds it until the
// parent closes `release`.
class LiveInstaller {
public:
    LiveInstaller()
    {
        int ready[2];
        int release[2];
        if (::pipe(ready) != 0 || ::pipe(release) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            const std::string path = GetTempDir().string() + "\n";
            if (::write(ready[1], path.data(), path.size()) < 0) {
                ::_exit(1);
            }
            char byte;
            while (::read(release[0], &byte, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(release[0]);
        release_ = release[1];
        std::string text;
        pollfd wait{ready[0], POLLIN, 0};
        // Bounded: the child either answers at once or has died.
        while (::poll(&wait, 1, 20000) > 0) {
            char buffer[256];
            const ssize_t count = ::read(ready[0], buffer, sizeof(buffer));
            if (count <= 0) {
                break;
            }
            text.append(buffer, static_cast<size_t>(count));
            if (text.back() == '\n') {
                text.pop_back();
                directory_ = text;
                break;
            }
        }
        ::close(ready[0]);
    }

    void Finish()
    {
        if (release_ >= 0) {
            ::close(release_);
            release_ = -1;
        }
        if (pid_ > 0) {
            int status = 0;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    ~LiveInstaller() { Finish(); }

    const fs::path& directory() const { return directory_; }

private:
    pid_t pid_ = -1;
    int release_ = -1;
    fs::path directory_;
};

TEST_F(TempPathsTest, CleanupSparesOnlyLiveInstallersAndNonMatches)
{
    // Stale leftovers: without a lock file, and with one nobody holds.
    const fs::path staleBare = root_ / "ZentakWebInstaller-111";
    fs::create_directories(staleBare / "sub");
    MakeFile(staleBare / "sub" / "installer.log");
    const fs::path staleUnlocked = root_ / "ZentakWebInstaller-222";
    fs::create_directory(staleUnlocked);
    MakeFile(staleUnlocked / kTempDirLockFileName);
    // The prefix alone (19 characters) still matches.
    fs::create_directory(root_ / "ZentakWebInstaller-");
    // Not ours: the prefix without its hyphen, a file, another name.
    fs::create_directory(root_ / "ZentakWebInstaller");
    MakeFile(root_ / "ZentakWebInstaller-333");
    fs::create_directory(root_ / "other-ZentakWebInstaller-444");

    LiveInstaller other;
    ASSERT_FALSE(other.directory().empty());
    ASSERT_TRUE(fs::is_directory(other.directory()));
    EXPECT_EQ(other.directory().parent_path(), root_);

    const fs::path own = GetTempDir();
    MakeFile(own / "installer.log");
    ASSERT_NE(own, other.directory());

    CleanupTempDir();
    EXPECT_EQ(Entries(),
              (std::set<std::string>{"ZentakWebInstaller", "ZentakWebInstaller-333",
                                     "other-ZentakWebInstaller-444",
                                     other.directory().filename().string()}));
    EXPECT_TRUE(fs::exists(other.directory() / kTempDirLockFileName));

    // Once that installer has ended, its directory is a leftover too.
    other.Finish();
    CleanupTempDir();
    EXPECT_EQ(Entries(), (std::set<std::string>{"ZentakWebInstaller", "ZentakWebInstaller-333",
                                                "other-ZentakWebInstaller-444"}));
}

} // namespace
} // namespace Zentak::Util
