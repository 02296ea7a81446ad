// Large files over several connections and files with mirrors, through real
// loopback transfers: ranges written where they belong, servers that will not
// or cannot serve ranges, broken ranges, checksums, and the next copy of a
// file when one source fails it.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "downloader/download_recorder.h"
#include "downloader/one_file_download.h"
#include "logic/controller/package_downloads.h"
#include "logic/downloader/downloader.h"
#include "logic/tracker/events.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"
#include "support/test_digest.h"
#include "support/test_environment.h"
#include "support/test_server.h"
#include "utils/settings.h"

namespace Zentak::Test {
namespace {

using Requests = std::vector<RecordedRequest>;

const std::size_t kSize = DownloadItem::kSegmentedMinimum + 4099;
const int kConnections = 4;

std::string Pattern(std::size_t size)
{
    std::string data(size, '\0');
    unsigned value = 29;
    for (char& c : data) {
        value = value * 1103515245u + 12345u;
        c = static_cast<char>(value >> 16);
    }
    return data;
}

const std::string& Body()
{
    static const std::string body = Pattern(kSize);
    return body;
}

// The first byte of each of the kConnections ranges, and the file's end.
std::uint64_t Boundary(int part)
{
    return kSize * static_cast<std::uint64_t>(part) / kConnections;
}

std::string RangeOf(int part)
{
    return "bytes=" + std::to_string(Boundary(part)) + "-" + std::to_string(Boundary(part + 1) - 1);
}

std::multiset<std::string> Ranges(const Requests& requests)
{
    std::multiset<std::string> ranges;
    for (const RecordedRequest& request : requests) {
        ranges.insert(request.Header("Range"));
    }
    return ranges;
}

// A 206 reply to the range from `first` to `last`, whose body breaks off
// after `sent` bytes (the whole range when `sent` is larger).
std::string RawRange(std::uint64_t first, std::uint64_t last, std::uint64_t claimedFirst,
                     std::uint64_t sent)
{
    const std::uint64_t length = last - first + 1;
    return "HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\n"
           "Content-Range: bytes " +
           std::to_string(claimedFirst) + "-" + std::to_string(claimedFirst + length - 1) + "/" +
           std::to_string(kSize) + "\r\nContent-Length: " + std::to_string(length) +
           "\r\nConnection: close\r\n\r\n" +
           Body().substr(claimedFirst, std::min(sent, length));
}

// Ranged replies, except that the first request for a range after the first
// one gets `fault(first, last)`.
Reply RangedWithOneFault(std::function<Reply(std::uint64_t, std::uint64_t)> fault)
{
    auto faulted = std::make_shared<std::atomic<bool>>(false);
    return Reply::Choose([fault, faulted](const httplib::Request& request) {
        const long long first = Reply::RangeStart(request);
        if (first > 0 && !faulted->exchange(true)) {
            const std::string range = request.get_header_value("Range");
            const std::uint64_t last = std::stoull(range.substr(range.find('-') + 1));
            return fault(static_cast<std::uint64_t>(first), last);
        }
        return Reply::Ranged(Body());
    });
}

class SegmentedDownloadTest : public OneFileDownloadTest {
protected:
    DownloadItem Item(const std::string& url, int connections, const std::string& sha256)
    {
        DownloadItem item;
        item.name = "pkg";
        item.url = url;
        item.path = Path();
        item.sha256 = sha256;
        item.connections = connections;
        item.expectedSize = kSize;
        item.stream = std::make_unique<std::ofstream>(
            item.path, std::ios::out | std::ios::binary | std::ios::trunc);
        return item;
    }
};

TEST_F(SegmentedDownloadTest, RangesServersAndChecksums)
{
    const std::string digest = Sha256Hex(Body());
    const std::string other = Sha256Hex("other");
    struct Case {
        const char* what;
        Reply reply;
        std::string sha256;
        std::string error; // empty: the file arrives whole
        std::function<void(const Requests&)> check;
        // Progress as one transfer's: every percent larger than the last,
        // up to 100 (a fall back to one transfer may start it over).
        bool steady = true;
    } cases[] = {
        {"ranges over four connections", Reply::Ranged(Body()), digest, "",
         [](const Requests& requests) {
             EXPECT_EQ(Ranges(requests), (std::multiset<std::string>{"bytes=0-", RangeOf(1),
                                                                     RangeOf(2), RangeOf(3)}));
         }},
        {"a server that ignores ranges",
         Reply::Raw("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kSize) +
                    "\r\nConnection: close\r\n\r\n" + Body()),
         digest, "",
         [](const Requests& requests) {
             EXPECT_EQ(Ranges(requests), std::multiset<std::string>{"bytes=0-"});
         }},
        // The first request asked for the whole file and carries on alone.
        {"one range answered with another",
         RangedWithOneFault([](std::uint64_t first, std::uint64_t last) {
             return Reply::Raw(RawRange(first, last, first + 1, last - first + 1));
         }),
         digest, "",
         [](const Requests& requests) {
             EXPECT_GE(requests.size(), 2u);
             EXPECT_EQ(requests.front().Header("Range"), "bytes=0-");
         },
         false},
        // The range that broke is asked for again, from where it stopped.
        {"a range that breaks in the middle",
         RangedWithOneFault([](std::uint64_t first, std::uint64_t last) {
             return Reply::Raw(RawRange(first, last, first, 1000));
         }),
         digest, "",
         [](const Requests& requests) {
             std::multiset<std::string> ranges = Ranges(requests);
             ASSERT_EQ(ranges.size(), 5u);
             bool resumed = false;
             for (int part = 1; part < kConnections; ++part) {
                 const std::string rest = "bytes=" + std::to_string(Boundary(part) + 1000) + "-" +
                                          std::to_string(Boundary(part + 1) - 1);
                 resumed = resumed || ranges.count(rest) == 1;
             }
             EXPECT_TRUE(resumed);
         }},
        {"a file that does not match its sha256", Reply::Ranged(Body()), other,
         "sha256 mismatch for pkg: expected " + other + ", got " + digest,
         [](const Requests& requests) { EXPECT_EQ(requests.size(), 4u); }},
    };
    for (Case& test : cases) {
        SCOPED_TRACE(test.what);
        TestServer server;
        server.Expect("GET", "/pkg.tgz", std::move(test.reply));
        Run(Item(server.Url("/pkg.tgz"), kConnections, test.sha256));
        server.Stop();
        test.check(server.Requests());
        const std::string file = ReadFile(Path());
        if (test.error.empty()) {
            ASSERT_EQ(Last().kind, "WorkFinished") << Last().error;
            EXPECT_EQ(Last().total, kSize);
            EXPECT_EQ(m_events.Of("pkg").back().total, kSize);
            EXPECT_TRUE(file == Body()) << "the file differs from what was served";
            std::map<std::string, int> percent;
            for (const auto& event : m_events.events) {
                if (test.steady && (event.kind == "ItemProgress" || event.kind == "WorkProgress")) {
                    EXPECT_EQ(event.total, kSize);
                    EXPECT_GT(event.percent, percent[event.kind]) << event.kind;
                    percent[event.kind] = event.percent;
                }
            }
            EXPECT_EQ(percent["WorkProgress"], test.steady ? 100 : 0);
        } else {
            EXPECT_EQ(Last().kind, "WorkFailed");
            EXPECT_EQ(Last().error, test.error);
            EXPECT_EQ(file, "") << "a file that failed its check is kept";
        }
    }
}

// A source that cannot deliver the file hands over to the next; a failure
// that another copy would not cure does not, and when every source failed
// the text names each with its reason.
TEST_F(SegmentedDownloadTest, MirrorsTakeOverFromFailingSources)
{
    const std::string body = Pattern(300 * 1024);
    const std::string digest = Sha256Hex(body);
    struct Case {
        const char* what;
        Reply first;
        std::size_t mirrorRequests;
        std::string error; // with <url> for the first source and <mirror> for the second
    } cases[] = {
        {"status 503", Reply::Status(503), 1, ""},
        {"status 404", Reply::Status(404), 1, ""},
        {"wrong bytes", Reply::Body(std::string(body.rbegin(), body.rend())), 1, ""},
        {"a reset", Reply::Reset(body, 1000), 1, ""},
        {"status 403 is no reason to ask elsewhere", Reply::Status(403), 0,
         "curl_multi_perform failed: http response code = 403"},
        {"every source failing", Reply::Status(500), 1,
         "every source of pkg failed: <url>: curl_multi_perform failed: http response code = "
         "500; <mirror>: curl_multi_perform failed: http response code = 502"},
    };
    for (Case& test : cases) {
        SCOPED_TRACE(test.what);
        const bool mirrorFails = test.error.find("<mirror>") != std::string::npos;
        TestServer primary;
        TestServer mirror;
        primary.Expect("GET", "/pkg.tgz", std::move(test.first), Times::Exactly(1));
        mirror.Expect("GET", "/copy/pkg.tgz",
                      mirrorFails ? Reply::Status(502) : Reply::Body(body),
                      Times::Exactly(test.mirrorRequests));
        DownloadItem item = Item(primary.Url("/pkg.tgz"), 1, digest);
        item.expectedSize = body.size();
        item.mirrors = {mirror.Url("/copy/pkg.tgz")};
        Run(std::move(item));
        std::string error = test.error;
        using Mark = std::pair<std::string, std::string>;
        for (const auto& [mark, url] : {Mark{"<url>", primary.Url("/pkg.tgz")},
                                        Mark{"<mirror>", mirror.Url("/copy/pkg.tgz")}}) {
            if (const auto at = error.find(mark); at != std::string::npos) {
                error.replace(at, mark.size(), url);
            }
        }
        if (error.empty()) {
            ASSERT_EQ(Last().kind, "WorkFinished") << Last().error;
            EXPECT_TRUE(ReadFile(Path()) == body);
        } else {
            EXPECT_EQ(Last().kind, "WorkFailed");
            EXPECT_EQ(Last().error, error);
        }
    }
}

// What the statistics hear of a package fetched over four connections is
// what they hear of the same package over one, times apart.
TEST(SegmentedDownloadStatistics, EqualThoseOfOneConnection)
{
    struct Tracker : IStatisticsTracker {
        void Initialize(const std::string&, const std::string&) override {}
        void TrackEvent(std::string name, const EventParameters& params) override
        {
            for (const auto& [key, value] : params) {
                const bool timed =
                    key == EventParam::kTimeElapsed || key == EventParam::kAverageSpeed;
                name += " " + key + "=" + (timed ? "<time>" : value);
            }
            events.push_back(name);
        }
        std::vector<std::string> events;
    };
    struct Splash : ISplash {
        void RunSplash() override {}
        void SetPage(Page) override {}
        void UpdateProgress(int percent) override { last = percent; }
        void UpdateInstallerInfo() override {}
        void Close() override {}
        void SetMainImage(std::string) override {}
        void SetProgressImage(Page, std::string) override {}
        void SetCloseButtonState(ButtonState) override {}
        void ShowNoConnectionError() override {}
        void ShowRetryDialog(const std::string&, ProcessOutcome) override {}
        void ShowPlatformRequiredDialog(const std::string&) override {}
        void ShowInstallerAlreadyRunningDialog(const std::string&) override {}
        void ShowNotEnoughDiskSpaceDialog(const std::string&, uint64_t, uint64_t) override {}
        void ShowProgramIsRunningDialog(const std::string&) override {}
        int last = -1;
    };
    struct Room : IPackageDownloadsObserver {
        void OnDownloadsEnded() override { ended = true; }
        bool ended = false;
    };

    ClearProxyEnvironment();
    FixTimeZone();
    TemporaryDirectory runDir;
    Settings::Set(Settings::ID::InstallDir, runDir.Path().string());
    std::vector<std::vector<std::string>> runs;
    for (int connections : {1, kConnections}) {
        TestServer server;
        server.Expect("GET", "/pkg.tgz", Reply::Ranged(Body()));
        Packages packages;
        InstallerItem installer;
        installer.id = "codecs";
        installer.url = server.Url("/pkg.tgz");
        installer.sha256 = Sha256Hex(Body());
        installer.configuredSize = kSize;
        installer.connections = connections;
        packages.Add(std::move(installer));
        Tracker tracker;
        Splash splash;
        Room room;
        WakeUp wakeUp;
        std::ostringstream causes;
        RunOutcome outcome(causes);
        PackageDownloads downloads(
            room, packages, tracker, splash, outcome, runDir.Path().string(),
            [](IDownloaderEvents& events, std::function<void()> wake) {
                return std::make_unique<Downloader>(events, std::move(wake));
            },
            [&] { wakeUp.Raise(); });
        ASSERT_TRUE(downloads.Start());
        for (int turn = 0; turn < 240 && !room.ended; ++turn) {
            wakeUp.Wait(std::chrono::milliseconds(250));
            downloads.Pump();
        }
        ASSERT_TRUE(room.ended);
        EXPECT_EQ(splash.last, 100);
        EXPECT_EQ(server.Requests().size(), connections == 1 ? 1u : 4u);
        runs.push_back(tracker.events);
    }
    const std::string size = "TOTAL_SIZE=" + std::to_string(kSize);
    ASSERT_EQ(runs[0].size(), 4u);
    EXPECT_NE(runs[0][2].find(size), std::string::npos) << runs[0][2];
    EXPECT_NE(runs[0][3].find(size), std::string::npos) << runs[0][3];
    EXPECT_EQ(runs[0], runs[1]);
}

} // namespace
} // namespace Zentak::Test
