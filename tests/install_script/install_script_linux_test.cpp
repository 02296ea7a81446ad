// The Linux install.sh on its own, run the way the launcher runs it: a
// package file and its folder (install), or a folder (launch), then the
// Mac_Environment pairs. Packages are made here, good and bad.

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness/dev_server.h"
#include "harness/installer_run.h"
#include "harness/packages.h"
#include "harness/process.h"
#include "harness/temp_dir.h"
#include "harness/tmpfs_mount_linux.h"

namespace Zentak::E2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// One member of a hand-made archive.
struct Member {
    std::string type; // "file", "zeros", "dir", "symlink", "hardlink", "chardev" or "fifo"
    std::string name;
    std::string data;   // file content
    int mode = 0644;    // file mode
    std::string target; // link target
};

Member Dir(std::string name)
{
    return {"dir", std::move(name), "", 0755, ""};
}
Member File(std::string name, std::string data = "data\n", int mode = 0644)
{
    return {"file", std::move(name), std::move(data), mode, ""};
}
Member Program(const std::string& app)
{
    return File(app + ".app/Contents/MacOS/" + app, "#!/bin/sh\nexit 0\n", 0755);
}
Member Symlink(std::string name, std::string target)
{
    return {"symlink", std::move(name), "", 0777, std::move(target)};
}
Member Hardlink(std::string name, std::string target)
{
    return {"hardlink", std::move(name), "", 0644, std::move(target)};
}
// `size` zero bytes, made by the archiver (they compress to almost nothing).
Member Zeros(std::string name, std::uintmax_t size)
{
    return {"zeros", std::move(name), std::to_string(size), 0644, ""};
}
Member Special(std::string type, std::string name)
{
    return {std::move(type), std::move(name), "", 0666, ""};
}

// Writes the members, names exactly as given (absolute ones and ".." too),
// as a gzip-compressed tar archive.
void MakeArchive(const fs::path& file, const std::vector<Member>& members)
{
    nlohmann::json list = nlohmann::json::array();
    for (const Member& member : members) {
        list.push_back({{"type", member.type}, {"name", member.name}, {"data", member.data},
                        {"mode", member.mode}, {"target", member.target}});
    }
    static const char* const kScript = R"(
import io, json, sys, tarfile, time
out, members = sys.argv[1], json.loads(sys.argv[2])
with tarfile.open(out, "w:gz", format=tarfile.GNU_FORMAT) as tar:
    for m in members:
        info = tarfile.TarInfo(m["name"])
        info.mtime = time.time()
        info.mode = m["mode"]
        data = m["data"].encode()
        if m["type"] == "dir":
            info.type = tarfile.DIRTYPE
        elif m["type"] == "symlink":
            info.type = tarfile.SYMTYPE
            info.linkname = m["target"]
        elif m["type"] == "hardlink":
            info.type = tarfile.LNKTYPE
            info.linkname = m["target"]
        elif m["type"] == "chardev":
            info.type = tarfile.CHRTYPE
            info.devmajor, info.devminor = 1, 1
        elif m["type"] == "fifo":
            info.type = tarfile.FIFOTYPE
        elif m["type"] == "zeros":
            data = bytes(int(m["data"]))
            info.size = len(data)
        else:
            info.size = len(data)
        tar.addfile(info, io.BytesIO(data) if m["type"] in ("file", "zeros") else None)
)";
    const ProcessResult made =
        RunProcess({"python3", "-c", kScript, file.string(), list.dump()}, {}, std::chrono::seconds(60));
    ASSERT_EQ(made.exitCode, 0) << made.Describe();
}

class InstallScriptTest : public ::testing::Test {
protected:
    // First: the folders below are made in it.
    TempDir m_temp{"zentak-install-script"};
    // A HOME with a space, so that every path the script handles needs quoting.
    const fs::path home = m_temp.Sub("home dir");
    const fs::path applications = home / "Applications";
    const fs::path packages = m_temp.Sub("packages");
    const fs::path outside = m_temp.Sub("outside");

    std::vector<std::string> Command(const std::vector<std::string>& args) const
    {
        std::vector<std::string> argv{"/bin/sh",
                                      SourcePath("resources/scripts/linux/install.sh").string()};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    EnvironmentChanges Environment() const
    {
        return {{"HOME", home.string()}, {"ZENTAK_APPLICATIONS_DIR", std::nullopt}};
    }

    // install.sh <package> <its folder> bundle_name <name>
    ProcessResult Install(const fs::path& package, const std::string& bundleName = "Prod") const
    {
        return RunProcess(Command({package.string(), package.parent_path().string(), "bundle_name",
                                   bundleName, "bundle_version", "1.0"}),
                          Environment(), std::chrono::seconds(120));
    }

    // Everything in the Applications folder, hidden entries included.
    std::vector<std::string> Installed() const
    {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(applications, error)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string InstalledVersion(const std::string& app) const
    {
        return ReadFile(applications / (app + ".app") / "Contents" / "Resources" / "version.txt");
    }
};

bool IsExecutableFile(const fs::path& path)
{
    return fs::is_regular_file(path) && access(path.c_str(), X_OK) == 0;
}

TEST_F(InstallScriptTest, InstallsAGoodPackageWithOneLine)
{
    const fs::path package = packages / "prod.tar.gz";
    MakePackage(package, {"Prod", 4096, 3, "1"});
    const ProcessResult result = Install(package);

    EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
    EXPECT_EQ(result.out, "install: Prod.app installed into " + applications.string() + "\n");
    EXPECT_EQ(Installed(), std::vector<std::string>{"Prod.app"});
    EXPECT_TRUE(IsExecutableFile(applications / "Prod.app" / "Contents" / "MacOS" / "Prod"));
    EXPECT_EQ(InstalledVersion("Prod"), "1");
    EXPECT_EQ(ReadFile(applications / "Prod.app/Contents/Resources/many/file2.txt"), "file 2\n");
}

// Every refused package: a non-zero exit, exactly one line saying why,
// nothing installed, nothing left behind, nothing written outside.
TEST_F(InstallScriptTest, RefusesBadPackagesWithOneLine)
{
    // The ".." and link members below lead here from the staging folder.
    const fs::path escapeFile = outside / "escaped";
    const fs::path outsideFile = outside / "victim.txt";
    std::ofstream(outsideFile) << "victim\n";

    struct Case {
        std::string name;
        std::function<void(const fs::path&)> make;
        std::vector<std::string> reasons; // the line holds one of them
    } cases[] = {
        {"corrupt archive", [](const fs::path& p) { MakeCorruptPackage(p, 4096); },
         {"is not a readable gzip tar archive"}},
        {"gzip text, not tar",
         [](const fs::path& p) {
             const ProcessResult made = RunProcess(
                 {"/bin/sh", "-c", "echo 'just some text' | gzip >\"$0\"", p.string()}, {},
                 std::chrono::seconds(30));
             ASSERT_EQ(made.exitCode, 0);
         },
         // tar may read such text as an archive without members.
         {"is not a readable gzip tar archive", "does not hold a single <Name>.app folder"}},
        {"empty archive", [](const fs::path& p) { MakeArchive(p, {}); },
         {"does not hold a single <Name>.app folder"}},
        {"two top-level folders",
         [](const fs::path& p) {
             MakeArchive(p, {Dir("Prod.app"), Program("Prod"), Dir("Other.app"), Program("Other")});
         },
         {"more than one top-level entry"}},
        {"top-level folder without .app",
         [](const fs::path& p) { MakeArchive(p, {File("Prod/Contents/MacOS/Prod", "", 0755)}); },
         {"does not hold a single <Name>.app folder"}},
        {"no program", [](const fs::path& p) { MakeArchive(p, {File("Prod.app/Contents/Info.plist")}); },
         {"has no program Contents/MacOS/Prod"}},
        {"program not executable",
         [](const fs::path& p) { MakeArchive(p, {File("Prod.app/Contents/MacOS/Prod", "", 0644)}); },
         {"has no program Contents/MacOS/Prod"}},
        {"a .. member",
         [&](const fs::path& p) {
             MakeArchive(p, {Program("Prod"), File("Prod.app/Contents/../../../../../../outside/escaped")});
         },
         {"holds a path that leaves its folder: Prod.app/Contents/../../../../../../outside/escaped"}},
        {"an absolute member",
         [&](const fs::path& p) { MakeArchive(p, {Program("Prod"), File(escapeFile.string())}); },
         {"holds an absolute path: " + escapeFile.string()}},
        {"an absolute link",
         [&](const fs::path& p) {
             MakeArchive(p, {Program("Prod"), Symlink("Prod.app/Contents/out", outside.string())});
         },
         {"holds a link that points outside: Prod.app/Contents/out"}},
        {"a relative link leaving the package",
         [](const fs::path& p) {
             MakeArchive(p, {Program("Prod"), Symlink("Prod.app/Contents/out", "../../../../../../outside")});
         },
         {"holds a link that points outside: Prod.app/Contents/out"}},
        {"a link, then a file through it",
         [&](const fs::path& p) {
             MakeArchive(p, {Program("Prod"), Symlink("Prod.app/Contents/out", outside.string()),
                             File("Prod.app/Contents/out/escaped")});
         },
         // tar itself refuses to write through a link it has just made.
         {"cannot be extracted", "holds a link that points outside: Prod.app/Contents/out"}},
        {"the product folder is a link",
         [&](const fs::path& p) { MakeArchive(p, {Symlink("Prod.app", outside.string())}); },
         {"holds a link that points outside: Prod.app"}},
        {"a link to a sibling product",
         [](const fs::path& p) {
             MakeArchive(p, {Program("Prod"), Symlink("Prod.app/Contents/sib", "../../Victim.app")});
         },
         {"holds a link that points outside: Prod.app/Contents/sib"}},
        {"a link climbing through another link",
         [](const fs::path& p) {
             MakeArchive(p, {Program("Prod"), Symlink("Prod.app/Contents/MacOS/up", "../.."),
                             Symlink("Prod.app/Contents/MacOS/out", "up/../escaped")});
         },
         {"holds a link that points outside: Prod.app/Contents/MacOS/out"}},
        {"a character device",
         [](const fs::path& p) { MakeArchive(p, {Program("Prod"), Special("chardev", "Prod.app/Contents/mem")}); },
         // Without root, tar cannot make the device in the first place.
         geteuid() == 0
             ? std::vector<std::string>{"holds a member that is not a file, folder or link: Prod.app/Contents/mem"}
             : std::vector<std::string>{"cannot be extracted"}},
        {"a FIFO",
         [](const fs::path& p) { MakeArchive(p, {Program("Prod"), Special("fifo", "Prod.app/Contents/pipe")}); },
         {"holds a member that is not a file, folder or link: Prod.app/Contents/pipe"}},
        {"a hard link to a file outside",
         [&](const fs::path& p) {
             MakeArchive(p, {Program("Prod"), Hardlink("Prod.app/Contents/hard", outsideFile.string())});
         },
         // tar takes the target as a path inside the package, where it is missing.
         {"cannot be extracted"}},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        const fs::path package = packages / "bad.tar.gz";
        fs::remove(package);
        test.make(package);
        const ProcessResult result = Install(package);

        EXPECT_NE(result.exitCode, 0) << result.Describe();
        EXPECT_EQ(result.termSignal, 0);
        const std::vector<std::string> lines = Lines(result.out);
        ASSERT_EQ(lines.size(), 1u) << "standard output:\n" << result.out;
        EXPECT_EQ(lines[0].rfind("install: ", 0), 0u) << lines[0];
        EXPECT_TRUE(std::any_of(test.reasons.begin(), test.reasons.end(),
                                [&](const std::string& reason) {
                                    return lines[0].find(reason) != std::string::npos;
                                }))
            << lines[0];
        EXPECT_NE(lines[0].find(package.string()), std::string::npos) << lines[0];
        EXPECT_TRUE(Installed().empty()) << Installed().front();
        EXPECT_FALSE(fs::exists(escapeFile));
        EXPECT_EQ(ReadFile(outsideFile), "victim\n");
        EXPECT_EQ(fs::hard_link_count(outsideFile), 1u);
        std::error_code error;
        fs::remove_all(applications, error);
    }
}

TEST_F(InstallScriptTest, ReplacesAnInstalledOlderVersion)
{
    const fs::path older = packages / "older.tar.gz";
    const fs::path newer = packages / "newer.tar.gz";
    MakePackage(older, {"Prod", 1024, 5, "1"});
    MakePackage(newer, {"Prod", 2048, 0, "2"});
    ASSERT_EQ(Install(older).exitCode, 0);
    ASSERT_EQ(InstalledVersion("Prod"), "1");

    const ProcessResult result = Install(newer);
    EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
    EXPECT_EQ(Lines(result.out).size(), 1u) << result.out;
    EXPECT_EQ(InstalledVersion("Prod"), "2");
    // The new copy replaces the old one; nothing of the old one is merged in.
    EXPECT_FALSE(fs::exists(applications / "Prod.app" / "Contents" / "Resources" / "many"));
    EXPECT_EQ(fs::file_size(applications / "Prod.app" / "Contents" / "Resources" / "filler.bin"),
              2048u);
    EXPECT_EQ(Installed(), std::vector<std::string>{"Prod.app"});
}

// Killed while the new version is being extracted: the installed copy stays
// whole. SIGTERM lets the script clean up; SIGKILL cannot be caught, and may
// leave its staging folder, but never half a product under the product's name.
TEST_F(InstallScriptTest, AnInterruptedInstallLeavesTheOldCopyIntact)
{
    const fs::path older = packages / "older.tar.gz";
    const fs::path newer = packages / "newer.tar.gz";
    MakePackage(older, {"Prod", 1024, 2, "1"});
    // Thousands of files: listing and extracting take long enough to be
    // caught in the middle.
    MakePackage(newer, {"Prod", 1024, 12000, "2"});

    for (const int signal : {SIGKILL, SIGTERM}) {
        SCOPED_TRACE("signal " + std::to_string(signal));
        std::error_code error;
        fs::remove_all(applications, error);
        ASSERT_EQ(Install(older).exitCode, 0);

        BackgroundProcess script(Command({newer.string(), packages.string(), "bundle_name", "Prod"}),
                                 Environment(), m_temp.Path() / "stderr.txt");
        // The extraction has begun once the product folder shows in the
        // staging folder.
        bool extracting = false;
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (!extracting && Clock::now() < deadline) {
            for (const auto& entry : fs::directory_iterator(applications, error)) {
                extracting = extracting || fs::exists(entry.path() / "root" / "Prod.app", error);
            }
            if (!extracting) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        ASSERT_TRUE(extracting) << "no extraction seen";
        // The whole group: the shell and its tar.
        ASSERT_EQ(kill(-script.Pid(), signal), 0);
        ASSERT_TRUE(script.WaitForExit(std::chrono::seconds(30)));
        const ProcessResult ended = script.Stop();
        EXPECT_NE(ended.exitCode, 0) << ended.Describe();

        EXPECT_EQ(InstalledVersion("Prod"), "1") << "the old copy was replaced or damaged";
        EXPECT_TRUE(IsExecutableFile(applications / "Prod.app" / "Contents" / "MacOS" / "Prod"));
        EXPECT_EQ(ReadFile(applications / "Prod.app/Contents/Resources/many/file1.txt"), "file 1\n");
        EXPECT_FALSE(fs::exists(applications / "Prod.app/Contents/Resources/many/file2.txt"));
        std::vector<std::string> visible;
        for (const std::string& name : Installed()) {
            if (name.front() != '.') {
                visible.push_back(name);
            }
        }
        EXPECT_EQ(visible, std::vector<std::string>{"Prod.app"});
        if (signal == SIGTERM) {
            EXPECT_EQ(Installed(), std::vector<std::string>{"Prod.app"}) << "staging folder left";
        }

        // A later attempt installs the new version whole.
        const ProcessResult again = Install(newer);
        EXPECT_EQ(again.exitCode, 0) << again.Describe() << "\n" << again.out;
        EXPECT_EQ(InstalledVersion("Prod"), "2");
        EXPECT_TRUE(fs::exists(applications / "Prod.app/Contents/Resources/many/file11999.txt"));
        // ... and tidies up what the killed one left behind.
        EXPECT_EQ(Installed(), std::vector<std::string>{"Prod.app"}) << "staging folder left";
    }
}

// Whatever rights unpack it, an installed product keeps no set-id bit and
// belongs to the owner of the Applications folder; links that stay inside
// the product (the usual framework layout) are kept as they are.
TEST_F(InstallScriptTest, InstalledProductHasNoSetIdBitsAndBelongsToTheFoldersOwner)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to unpack as an administrator would";
    }
    fs::create_directories(applications);
    ASSERT_EQ(chown(applications.c_str(), 4242, 4343), 0);
    const fs::path package = packages / "setid.tar.gz";
    const std::string framework = "Prod.app/Contents/Frameworks/F.framework/";
    MakeArchive(package, {File("Prod.app/Contents/MacOS/Prod", "#!/bin/sh\n", 04755),
                          File("Prod.app/Contents/sgid", "x", 02755),
                          File(framework + "Versions/A/F", "lib", 0644),
                          Symlink(framework + "Versions/Current", "A"),
                          Symlink(framework + "F", "Versions/Current/F"),
                          Symlink("Prod.app/Contents/self", "../Contents/MacOS/Prod")});
    const ProcessResult result = Install(package);
    ASSERT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;

    EXPECT_EQ(ReadFile(applications / (framework + "F")), "lib");
    int checked = 0;
    for (const auto& entry : fs::recursive_directory_iterator(applications / "Prod.app")) {
        struct stat info {};
        ASSERT_EQ(lstat(entry.path().c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & (S_ISUID | S_ISGID), 0u) << entry.path();
        EXPECT_EQ(info.st_uid, 4242u) << entry.path();
        EXPECT_EQ(info.st_gid, 4343u) << entry.path();
        ++checked;
    }
    EXPECT_GE(checked, 9);
    EXPECT_TRUE(IsExecutableFile(applications / "Prod.app/Contents/MacOS/Prod"));
}

// Packages that unpack to more than the volume holds are refused while they
// unpack; the installed copy stays and nothing of them is left. A small
// archive of zeros is cut at the free space; many small files take more
// blocks than the bytes they are made of, so the volume fills up first.
TEST_F(InstallScriptTest, PackagesLargerThanTheFreeSpaceAreRefusedWhileUnpacking)
{
    TmpfsMount volume(applications, "size=16m");
    if (!volume.Mounted()) {
        GTEST_SKIP() << "cannot mount a tmpfs here";
    }
    const fs::path older = packages / "older.tar.gz";
    MakePackage(older, {"Prod", 1024, 0, "1"});
    ASSERT_EQ(Install(older).exitCode, 0);

    const std::pair<std::string, std::function<void(const fs::path&)>> cases[] = {
        {"zeros",
         [](const fs::path& p) {
             MakeArchive(p, {Program("Prod"), Zeros("Prod.app/Contents/zeros", 40u << 20)});
         }},
        {"small files", [](const fs::path& p) { MakePackage(p, {"Prod", 0, 5000, "2"}); }},
    };
    for (const auto& [name, make] : cases) {
        SCOPED_TRACE(name);
        const fs::path package = packages / "large.tar.gz";
        make(package);
        ASSERT_LT(fs::file_size(package), 1u << 20);
        const ProcessResult result = Install(package);
        EXPECT_NE(result.exitCode, 0) << result.Describe();
        EXPECT_NE(result.out.find("does not fit into the free space of " + applications.string()),
                  std::string::npos)
            << result.out;
        EXPECT_EQ(Lines(result.out).size(), 1u) << result.out;
        EXPECT_EQ(InstalledVersion("Prod"), "1");
        EXPECT_EQ(Installed(), std::vector<std::string>{"Prod.app"});
    }
}

// Stopped at the worst moment, between the two renames (the old copy has
// stepped aside, the new one is not in its place yet): the old copy goes
// back and the staging folder goes. The stop comes from an `mv` first on
// PATH that signals the script once it has set the old copy aside.
TEST_F(InstallScriptTest, AStopBetweenTheRenamesPutsTheOldCopyBack)
{
    const fs::path older = packages / "older.tar.gz";
    const fs::path newer = packages / "newer.tar.gz";
    MakePackage(older, {"Prod", 1024, 0, "1"});
    MakePackage(newer, {"Prod", 1024, 0, "2"});
    const fs::path bin = m_temp.Sub("bin");
    for (const char* signal : {"TERM", "HUP", "INT"}) {
        SCOPED_TRACE(signal);
        ASSERT_EQ(Install(older).exitCode, 0);
        std::ofstream(bin / "mv") << "#!/bin/sh\n/bin/mv \"$@\" || exit\n"
                                  << "case \"$3\" in */previous) kill -" << signal
                                  << " $PPID ;; esac\n";
        fs::permissions(bin / "mv", fs::perms::owner_all);
        EnvironmentChanges env = Environment();
        env["PATH"] = bin.string() + ":/usr/bin:/bin";
        const ProcessResult result = RunProcess(
            Command({newer.string(), packages.string(), "bundle_name", "Prod"}), env,
            std::chrono::seconds(60));
        EXPECT_NE(result.exitCode, 0) << result.Describe();
        EXPECT_EQ(InstalledVersion("Prod"), "1");
        EXPECT_EQ(Installed(), std::vector<std::string>{"Prod.app"}) << "staging folder left";
    }
}

// The installer that reads the script's output may be gone (killed) by the
// time the script reports: the script still ends its work and tidies up.
TEST_F(InstallScriptTest, ANoLongerReadOutputDoesNotStopTheTidying)
{
    const fs::path older = packages / "older.tar.gz";
    const fs::path newer = packages / "newer.tar.gz";
    MakePackage(older, {"Prod", 1024, 0, "1"});
    MakePackage(newer, {"Prod", 1024, 0, "2"});
    ASSERT_EQ(Install(older).exitCode, 0);
    // The reader of the script's output has ended before the script writes.
    std::vector<std::string> command = Command({newer.string(), packages.string(), "bundle_name", "Prod"});
    std::string line;
    for (const std::string& word : command) {
        line += "'" + word + "' ";
    }
    const ProcessResult result =
        RunProcess({"/bin/sh", "-c", "exec 3>&1; { " + line + "; echo $? >&3; } | true"},
                   Environment(), std::chrono::seconds(60));
    EXPECT_EQ(result.out, "0\n") << result.Describe();
    EXPECT_EQ(InstalledVersion("Prod"), "2");
    EXPECT_EQ(Installed(), std::vector<std::string>{"Prod.app"}) << "staging folder left";
}

// A staging folder is taken over when no install holds its lock, whatever
// process ids it names (a zombie's or a reused one); one whose lock is held
// is left alone.
TEST_F(InstallScriptTest, LeftoverStagingFoldersAreJudgedByTheirLock)
{
    const fs::path older = packages / "older.tar.gz";
    const fs::path other = packages / "other.tar.gz";
    MakePackage(older, {"Prod", 1024, 0, "1"});
    MakePackage(other, {"Other", 1024, 0, "1"});
    ASSERT_EQ(Install(older).exitCode, 0);
    // Killed between its renames: the old copy stepped aside, the new one
    // never arrived; the pid it names lives (it is ours).
    const fs::path stale = applications / ".installing.stale1";
    fs::create_directories(stale);
    fs::rename(applications / "Prod.app", stale / "previous");
    std::ofstream(stale / "target") << (applications / "Prod.app").string() << "\n";
    std::ofstream(stale / "pid") << getpid() << "\n";
    // Another install that still runs holds its lock.
    const fs::path busy = applications / ".installing.busy01";
    fs::create_directories(busy);
    const int lock = open((busy / "lock").c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);
    // Planted by whoever may write the folder, for an install that runs as
    // root: an old copy to be put back outside, a lock that is a link to a
    // file not yet there, a staging folder that is a link.
    const fs::path planted = applications / ".installing.plant1";
    fs::create_directories(planted / "previous");
    std::ofstream(planted / "previous" / "x") << "x\n";
    std::ofstream(planted / "target") << (outside / "pwned").string() << "\n";
    fs::create_symlink(outside / "lock", planted / "lock");
    fs::create_symlink(outside, applications / ".installing.plant2");

    const ProcessResult result = Install(other, "Other");
    close(lock);
    EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
    EXPECT_EQ(InstalledVersion("Prod"), "1") << "the old copy did not come back";
    EXPECT_EQ(Installed(), (std::vector<std::string>{".installing.busy01", "Other.app", "Prod.app"}));
    EXPECT_TRUE(fs::is_empty(outside)) << "written through a planted staging folder";
}

// The launcher as an ordinary user (nobody): an Applications folder the user
// may write needs no administrator rights; one that needs them, without
// pkexec to ask for them, is refused with a line that says so.
TEST_F(InstallScriptTest, LauncherAsksForRightsOnlyWhenTheFolderNeedsThem)
{
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run the launcher as another user";
    }
    // Folders the other user can reach: under a world-readable folder.
    char pattern[] = "/tmp/zentak-launcher-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const fs::path shared = pattern;
    fs::permissions(shared, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    const fs::path userHome = shared / "home";
    fs::create_directories(userHome);
    ASSERT_EQ(chown(userHome.c_str(), 65534, 65534), 0);
    const fs::path package = shared / "prod.tar.gz";
    MakePackage(package, {"Prod", 1024, 0, "1"});
    // PATH without pkexec, whatever this machine has installed.
    const fs::path bin = shared / "bin";
    fs::create_directories(bin);
    for (const char* tool : {"id", "dirname"}) {
        fs::create_symlink(fs::path("/usr/bin") / tool, bin / tool);
    }

    const auto launch = [&](const std::string& path) {
        return RunProcess({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/bin/sh",
                           SourcePath("resources/scripts/linux/adminRightsLauncher.sh").string(),
                           SourcePath("resources/scripts/linux/install.sh").string(),
                           package.string(), shared.string(), "bundle_name", "Prod"},
                          {{"HOME", userHome.string()},
                           {"PATH", path},
                           {"ZENTAK_APPLICATIONS_DIR", std::nullopt}},
                          std::chrono::seconds(60));
    };
    const ProcessResult installed = launch("/usr/bin:/bin");
    EXPECT_EQ(installed.exitCode, 0) << installed.Describe() << "\n" << installed.out;
    struct stat info {};
    EXPECT_EQ(stat((userHome / "Applications/Prod.app/Contents/MacOS/Prod").c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65534u);

    // A folder of root's: rights are needed and cannot be asked for.
    fs::remove_all(userHome / "Applications");
    fs::create_directories(userHome / "Applications");
    ASSERT_EQ(chown((userHome / "Applications").c_str(), 0, 0), 0);
    const ProcessResult refused = launch(bin.string());
    EXPECT_EQ(refused.exitCode, 3) << refused.Describe();
    EXPECT_EQ(refused.out, "pkexec not found: cannot ask for administrator rights to install into " +
                               (userHome / "Applications").string() + "\n");
    fs::remove_all(shared);
}

// Given a folder, the script starts <bundle_name>.app in it, in a session of
// its own and with its output away from the script's, and does not wait
// for it.
TEST_F(InstallScriptTest, FolderModeStartsTheProductDetached)
{
    const fs::path program = applications / "Prod.app" / "Contents" / "MacOS" / "Prod";
    fs::create_directories(program.parent_path());
    std::ofstream(program) << "#!/bin/sh\n"
                              "echo 'product output'\n"
                              "cut -d' ' -f6 /proc/$$/stat >\"$HOME/session\"\n"
                              "sleep 2\n"
                              "echo done >\"$HOME/finished\"\n";
    fs::permissions(program, fs::perms::owner_all);

    const ProcessResult result =
        RunProcess(Command({applications.string(), home.string(), "bundle_name", "Prod",
                            "bundle_version", "1.0"}),
                   Environment(), std::chrono::seconds(60));
    EXPECT_EQ(result.exitCode, 0) << result.Describe() << "\n" << result.out;
    EXPECT_EQ(result.out.find("product output"), std::string::npos) << result.out;
    EXPECT_FALSE(fs::exists(home / "finished")) << "the script waited for the product";

    auto waitFor = [](const fs::path& file) {
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (ReadFile(file).empty() && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return !ReadFile(file).empty();
    };
    ASSERT_TRUE(waitFor(home / "session")) << "the product did not start";
    const std::string session = ReadFile(home / "session");
    EXPECT_NE(std::stol(session), static_cast<long>(getsid(0))) << "not a session of its own";
    EXPECT_TRUE(waitFor(home / "finished")) << "the product did not outlive the script";
}

TEST_F(InstallScriptTest, FolderModeRefusesWhatItCannotStartWithOneLine)
{
    fs::create_directories(applications / "Prod.app" / "Contents" / "MacOS");
    std::ofstream(applications / "Prod.app/Contents/MacOS/Prod") << "#!/bin/sh\nexit 0\n";
    fs::permissions(applications / "Prod.app/Contents/MacOS/Prod", fs::perms::owner_all);

    const std::vector<std::vector<std::string>> cases = {
        {applications.string(), home.string()},
        {applications.string(), home.string(), "bundle_version", "1.0"},
        {applications.string(), home.string(), "bundle_name", "../Applications/Prod"},
        {applications.string(), home.string(), "bundle_name", ".."},
        {applications.string(), home.string(), "bundle_name", "Missing"},
        {(home / "no-such-package.tar.gz").string(), home.string(), "bundle_name", "Prod"},
        {},
        {applications.string()},
    };
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const ProcessResult result = RunProcess(Command(args), Environment(), std::chrono::seconds(60));
        EXPECT_NE(result.exitCode, 0) << result.Describe();
        EXPECT_EQ(Lines(result.out).size(), 1u) << result.out;
        EXPECT_EQ(result.out.rfind("install: ", 0), 0u) << result.out;
    }
}

} // namespace
} // namespace Zentak::E2e
