// The splash image controller against a loopback server: which picture
// reaches which page, the statistics of each fetch, the locale place-holder,
// the size bound and the debug copies.

#include "logic/controller/splash_image_controller.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_environment.h"
#include "support/test_server.h"
#include "utils/settings.h"
#include "utils/temp_paths.h"

namespace Zentak {
namespace {

using Test::Reply;
using Test::TestServer;
using Test::Times;
using Params = EventParameters;
namespace fs = std::filesystem;

// What the controller told its observer and the statistics, in one journal
// so that their relative order shows.
struct Entry {
    std::string what; // "main", "progress", "main error" or an event name
    ISplash::Page page = ISplash::Start;
    std::string data;
    Params params;
};

class Journal : public ISplashImageControllerObserver, public IStatisticsTracker {
public:
    void OnMainImageLoaded(std::string&& data) override
    {
        Add({"main", ISplash::Start, std::move(data), {}});
    }
    void OnProgressImageLoaded(ISplash::Page page, std::string&& data) override
    {
        Add({"progress", page, std::move(data), {}});
    }
    void OnMainImageLoadError() override { Add({"main error", ISplash::Start, {}, {}}); }

    void Initialize(const std::string&, const std::string&) override {}
    void TrackEvent(std::string name, const EventParameters& params) override
    {
        Add({std::move(name), ISplash::Start, {}, params});
    }

    std::vector<Entry> Entries() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_entries;
    }
    std::vector<Entry> Named(const std::string& what) const
    {
        std::vector<Entry> found;
        for (const Entry& entry : Entries()) {
            if (entry.what == what) {
                found.push_back(entry);
            }
        }
        return found;
    }
    // The kinds of entries in order.
    std::vector<std::string> Order() const
    {
        std::vector<std::string> order;
        for (const Entry& entry : Entries()) {
            order.push_back(entry.what);
        }
        return order;
    }

private:
    void Add(Entry entry)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_entries.push_back(std::move(entry));
    }

    mutable std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

// The owner's wake-up signal, raised whenever the controller has queued work.
class WakeUp {
public:
    void Raise()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_raised = true;
        }
        m_signal.notify_all();
    }
    void Wait(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_signal.wait_for(lock, timeout, [this] { return m_raised; });
        m_raised = false;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_signal;
    bool m_raised = false;
};

std::string Bytes(char fill, std::size_t size)
{
    std::string data(size, fill);
    for (std::size_t i = 0; i < size; i += 997) {
        data[i] = static_cast<char>(i / 997);
    }
    return data;
}

// A body of `limit` bytes without a length, sent a block at a time until the
// client stops reading.
Reply Endless(std::size_t limit)
{
    return Reply::Custom([limit](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "application/octet-stream", [limit](std::size_t offset, httplib::DataSink& sink) {
                static const std::string block(1024 * 1024, 'x');
                if (offset >= limit) {
                    sink.done();
                    return true;
                }
                return sink.write(block.data(), block.size());
            });
    });
}

class SplashImageControllerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Zentak::Test::ClearProxyEnvironment();
        Zentak::Test::FixTimeZone();
        Settings::Unset(Settings::ID::Locale);
        Settings::Unset(Settings::ID::DebugInfo);
    }
    void TearDown() override
    {
        m_controller.reset();
        m_server.Stop();
        Settings::Unset(Settings::ID::Locale);
        Settings::Unset(Settings::ID::DebugInfo);
    }

    // Pumps the controller until `done` holds; false when it did not within
    // the limit.
    bool PumpUntil(const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            m_wakeUp.Wait(std::chrono::milliseconds(100));
            m_controller->DoMainThreadWork();
        }
        return true;
    }

    bool PumpUntilSeen(const std::string& what, std::size_t count = 1)
    {
        return PumpUntil([&] { return m_journal.Named(what).size() >= count; });
    }

    TestServer m_server;
    std::shared_ptr<Journal> m_journal_ = std::make_shared<Journal>();
    Journal& m_journal = *m_journal_;
    WakeUp m_wakeUp;
    std::unique_ptr<SplashImageController> m_controller = std::make_unique<SplashImageController>(
        m_journal, std::shared_ptr<IStatisticsTracker>(m_journal_, m_journal_.get()),
        [this] { m_wakeUp.Raise(); });
};

TEST_F(SplashImageControllerTest, EachPictureReachesItsOwnPageWithItsEvents)
{
    const std::string main = Bytes('m', 3000);
    const std::string progress = Bytes('p', 5000);
    const std::string wait = Bytes('w', 7000);
    const std::string ready = Bytes('r', 1);
    m_server.Expect("GET", "/main.png", Reply::Body(main), Times::Exactly(1));
    m_server.Expect("GET", "/progress.png", Reply::Body(progress), Times::Exactly(1));
    m_server.Expect("GET", "/wait.png", Reply::Body(wait), Times::Exactly(1));
    m_server.Expect("GET", "/ready.png", Reply::Body(ready), Times::Exactly(1));

    m_controller->LoadMainImage(m_server.Url("/main.png"));
    ASSERT_TRUE(PumpUntilSeen("main"));
    EXPECT_EQ(m_journal.Order(),
              (std::vector<std::string>{"IMAGE_DOWNLOAD_STARTED", "IMAGE_DOWNLOAD_COMPLETED", "main"}));
    EXPECT_EQ(m_journal.Named("main").at(0).data, main);
    for (const Entry& event : m_journal.Named("IMAGE_DOWNLOAD_STARTED")) {
        EXPECT_EQ(event.params, (Params{{"IMAGE_TYPE", "main"}}));
    }

    m_controller->LoadProgressImages({{ISplash::Progress, m_server.Url("/progress.png")},
                                      {ISplash::Wait, m_server.Url("/wait.png")},
                                      {ISplash::Ready, m_server.Url("/ready.png")}});
    ASSERT_TRUE(PumpUntilSeen("progress", 3));
    std::map<int, std::string> delivered;
    for (const Entry& entry : m_journal.Named("progress")) {
        EXPECT_TRUE(delivered.emplace(entry.page, entry.data).second) << "page " << entry.page;
    }
    EXPECT_EQ(delivered, (std::map<int, std::string>{
                             {ISplash::Progress, progress}, {ISplash::Wait, wait}, {ISplash::Ready, ready}}));
    EXPECT_EQ(m_journal.Named("IMAGE_DOWNLOAD_STARTED").size(), 4u);
    EXPECT_EQ(m_journal.Named("IMAGE_DOWNLOAD_COMPLETED").size(), 4u);
    EXPECT_TRUE(m_journal.Named("IMAGE_DOWNLOAD_FAILED").empty());
    EXPECT_EQ(m_journal.Named("main").size(), 1u);

    // Each picture is reported completed before its bytes are passed on,
    // and each completion follows a start.
    int started = 0;
    int completed = 0;
    int passedOn = 0;
    for (const Entry& entry : m_journal.Entries()) {
        if (entry.what == "IMAGE_DOWNLOAD_STARTED") {
            ++started;
        } else if (entry.what == "IMAGE_DOWNLOAD_COMPLETED") {
            EXPECT_LT(completed++, started);
            if (completed > 1) {
                EXPECT_EQ(entry.params, (Params{{"IMAGE_TYPE", "progress"}}));
            }
        } else {
            EXPECT_LT(passedOn++, completed) << entry.what;
        }
    }
}

TEST_F(SplashImageControllerTest, LocalePlaceHoldersAreFilledInOrRemoved)
{
    struct Case {
        const char* locale; // nullptr: none set
        std::string path;
    } cases[] = {{"de-DE", "/img-de-DE/pic-de-DE.png"}, {nullptr, "/img-/pic-.png"}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.locale ? test.locale : "no locale");
        if (test.locale) {
            Settings::Set(Settings::ID::Locale, std::string(test.locale));
        } else {
            Settings::Unset(Settings::ID::Locale);
        }
        // Any other path is an unexpected request and fails the test.
        m_server.Expect("GET", test.path, Reply::Body("picture"), Times::Exactly(1));
        const std::size_t before = m_journal.Named("progress").size();
        m_controller->LoadProgressImages(
            {{ISplash::Progress, m_server.Url("/img---locale--/pic---locale--.png")}});
        ASSERT_TRUE(PumpUntilSeen("progress", before + 1));
        EXPECT_EQ(m_journal.Named("progress").back().data, "picture");
    }
}

TEST_F(SplashImageControllerTest, AFailedMainPictureTellsTheObserverThenTheStatistics)
{
    m_server.Expect("GET", "/main.png", Reply::Status(404), Times::Exactly(1));
    m_controller->LoadMainImage(m_server.Url("/main.png"));
    ASSERT_TRUE(PumpUntilSeen("IMAGE_DOWNLOAD_FAILED"));

    std::vector<std::string> order = m_journal.Order();
    order.erase(std::remove(order.begin(), order.end(), "IMAGE_DOWNLOAD_STARTED"), order.end());
    EXPECT_EQ(order, (std::vector<std::string>{"main error", "IMAGE_DOWNLOAD_FAILED"}));
    const Params params = m_journal.Named("IMAGE_DOWNLOAD_FAILED").at(0).params;
    ASSERT_EQ(params.size(), 2u);
    EXPECT_EQ(params[0], (std::pair<std::string, std::string>{"IMAGE_TYPE", "main"}));
    EXPECT_EQ(params[1].first, "CURL_ERROR");
    EXPECT_NE(params[1].second.find("404"), std::string::npos) << params[1].second;
}

TEST_F(SplashImageControllerTest, AFailedProgressBatchIsOnlyReported)
{
    m_server.Expect("GET", "/good.png", Reply::Body("good"), Times::AtLeast(0));
    m_server.Expect("GET", "/missing.png", Reply::Status(404), Times::Exactly(1));
    m_controller->LoadProgressImages({{ISplash::Progress, m_server.Url("/good.png")},
                                      {ISplash::Wait, m_server.Url("/missing.png")}});
    ASSERT_TRUE(PumpUntilSeen("IMAGE_DOWNLOAD_FAILED"));

    const std::vector<Entry> failures = m_journal.Named("IMAGE_DOWNLOAD_FAILED");
    ASSERT_EQ(failures.size(), 1u);
    ASSERT_EQ(failures[0].params.size(), 2u);
    EXPECT_EQ(failures[0].params[0], (std::pair<std::string, std::string>{"IMAGE_TYPE", "progress"}));
    EXPECT_EQ(failures[0].params[1].first, "CURL_ERROR");
    EXPECT_FALSE(failures[0].params[1].second.empty());
    EXPECT_TRUE(m_journal.Named("main error").empty());
    for (const Entry& entry : m_journal.Named("progress")) {
        EXPECT_EQ(entry.page, ISplash::Progress) << "the missing picture was passed on";
    }
}

// A picture may hold 16 MiB; one byte more, or a body that never ends,
// fails like any failed download instead of growing the process.
TEST_F(SplashImageControllerTest, PicturesAreBoundedAt16MiB)
{
    constexpr std::size_t kLimit = 16 * 1024 * 1024;
    struct Case {
        std::string name;
        ISplash::Page page;
        Reply reply;
        bool delivered;
    } cases[] = {
        {"exactly the limit", ISplash::Progress, Reply::Body(Bytes('a', kLimit)), true},
        {"one byte more", ISplash::Progress, Reply::Body(Bytes('b', kLimit + 1)), false},
        {"a main picture one byte more", ISplash::Start, Reply::Body(Bytes('c', kLimit + 1)), false},
        {"no length, 64 MiB", ISplash::Wait, Endless(4 * kLimit), false},
    };
    int index = 0;
    for (Case& test : cases) {
        SCOPED_TRACE(test.name);
        const std::string path = "/big" + std::to_string(++index) + ".png";
        m_server.Expect("GET", path, std::move(test.reply), Times::Exactly(1));
        m_controller = std::make_unique<SplashImageController>(
            m_journal, std::shared_ptr<IStatisticsTracker>(m_journal_, m_journal_.get()),
            [this] { m_wakeUp.Raise(); });
        const std::size_t pictures = m_journal.Named("progress").size() + m_journal.Named("main").size();
        const std::size_t failures = m_journal.Named("IMAGE_DOWNLOAD_FAILED").size();
        const std::size_t mainErrors = m_journal.Named("main error").size();
        if (test.page == ISplash::Start) {
            m_controller->LoadMainImage(m_server.Url(path));
        } else {
            m_controller->LoadProgressImages({{test.page, m_server.Url(path)}});
        }
        ASSERT_TRUE(PumpUntil([&] {
            return m_journal.Named("progress").size() + m_journal.Named("main").size() > pictures ||
                   m_journal.Named("IMAGE_DOWNLOAD_FAILED").size() > failures;
        }));
        if (test.delivered) {
            const Entry picture = m_journal.Entries().back();
            EXPECT_EQ(picture.what, "progress");
            EXPECT_EQ(picture.data.size(), kLimit);
            continue;
        }
        const Entry failure = m_journal.Entries().back();
        EXPECT_EQ(failure.what, "IMAGE_DOWNLOAD_FAILED");
        ASSERT_EQ(failure.params.size(), 2u);
        EXPECT_EQ(failure.params[0].second, test.page == ISplash::Start ? "main" : "progress");
        EXPECT_FALSE(failure.params[1].second.empty());
        EXPECT_EQ(m_journal.Named("main error").size() - mainErrors,
                  test.page == ISplash::Start ? 1u : 0u);
    }
}

// With DebugInfo a finished picture is also kept in the run directory as
// <digits>_<page>.png.
TEST_F(SplashImageControllerTest, DebugInfoKeepsACopyOfEachPicture)
{
    Zentak::Test::TemporaryDirectory temp;
    Zentak::Test::ScopedEnvironment tmpdir("TMPDIR", temp.Path().string());
    Util::ResetTempDirForTesting();
    const fs::path runDir = Util::GetTempDir().string();
    ASSERT_EQ(runDir.parent_path(), temp.Path());

    for (const bool debugInfo : {false, true}) {
        SCOPED_TRACE(debugInfo ? "DebugInfo on" : "DebugInfo off");
        Settings::Set(Settings::ID::DebugInfo, debugInfo);
        const std::string path = debugInfo ? "/on.png" : "/off.png";
        const std::string picture = Bytes(debugInfo ? '1' : '0', 20000);
        m_server.Expect("GET", path, Reply::Body(picture), Times::Exactly(1));
        const std::size_t before = m_journal.Named("progress").size();
        m_controller->LoadProgressImages({{ISplash::Progress, m_server.Url(path)}});
        ASSERT_TRUE(PumpUntilSeen("progress", before + 1));

        std::vector<fs::path> copies;
        for (const auto& entry : fs::directory_iterator(runDir)) {
            if (entry.path().extension() == ".png") {
                copies.push_back(entry.path());
            }
        }
        if (!debugInfo) {
            EXPECT_TRUE(copies.empty());
            continue;
        }
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_TRUE(std::regex_match(copies[0].filename().string(), std::regex("[0-9]+_4\\.png")))
            << copies[0];
        EXPECT_EQ(Zentak::Test::ReadFile(copies[0]), picture);
        // The observer still gets the bytes.
        EXPECT_EQ(m_journal.Named("progress").back().data, picture);
    }
    Util::CleanupTempDir();
    Util::ResetTempDirForTesting();
}

} // namespace
} // namespace Zentak
