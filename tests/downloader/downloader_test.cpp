// The download engine over real loopback transfers.
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "logic/downloader/downloader.h"
#include "support/test_bytes.h"
#include "support/test_environment.h"
#include "support/test_proxy.h"
#include "support/test_server.h"
#include "downloader/download_recorder.h"

namespace Zentak::Test {
namespace {

using namespace std::chrono_literals;

std::string Failure(CURLcode code)
{
    return std::string("curl_multi_perform failed: ") + curl_easy_strerror(code);
}

class DownloaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearProxyEnvironment();
        FixTimeZone();
        unsetenv("CURL_CA_BUNDLE");
        Downloader::SetLowSpeedTimeForTesting(1);
    }
    void TearDown() override { Downloader::SetLowSpeedTimeForTesting(0); }

    DownloadItem FileItem(const std::string& name, const std::string& url)
    {
        DownloadItem item;
        item.name = name;
        item.url = url;
        item.path = (m_directory / name).string();
        item.stream = std::make_unique<std::ofstream>(
            item.path, std::ios::out | std::ios::trunc | std::ios::binary);
        return item;
    }

    std::string Content(const std::string& name) const { return ReadFile(m_directory / name); }

    // One batch from start to end; the events are in m_events.
    void RunBatch(std::vector<DownloadItem> items)
    {
        m_downloader->Download(std::move(items));
        ASSERT_TRUE(PumpUntilEnded(*m_downloader, m_events, m_wakeUp));
    }

    using Event = DownloadRecorder::Event;

    const Event& Last() const { return m_events.events.back(); }

    TemporaryDirectory m_directory;
    DownloadRecorder m_events;
    WakeUp m_wakeUp;
    std::unique_ptr<Downloader> m_downloader =
        std::make_unique<Downloader>(m_events, [this] { m_wakeUp.Raise(); });
};

// Progress of one item: whole percents, each reported once and only when it
// changes, matching the byte counts; at most 100 events.
void ExpectItemProgressIsThrottled(const std::vector<DownloadRecorder::Event>& events,
                                   unsigned long long size)
{
    int last = 0;
    int count = 0;
    for (const auto& event : events) {
        if (event.kind != "ItemProgress") {
            continue;
        }
        ++count;
        EXPECT_GT(event.percent, last) << "percent repeated or fell";
        EXPECT_EQ(event.total, size);
        EXPECT_EQ(static_cast<unsigned long long>(event.percent), event.downloaded * 100 / size);
        last = event.percent;
    }
    EXPECT_LE(count, 100);
    EXPECT_EQ(last, 100);
}

TEST_F(DownloaderTest, ParallelItemsArriveIntactWithEventsInOrder)
{
    const std::string sized = Pattern(3 * 1024 * 1024 + 17, 1);
    const std::string unsized = Pattern(700 * 1024, 2);
    const std::string text(200 * 1024, 't');
    TestServer server;
    server.Expect("GET", "/sized.bin", Reply::Body(sized), Times::Exactly(1));
    server.Expect("GET", "/unsized.bin", Reply::Chunked(unsized, 64 * 1024), Times::Exactly(1));
    server.Expect("GET", "/text.gz", Reply::Gzip(text), Times::Exactly(2));

    std::vector<DownloadItem> items;
    items.push_back(FileItem("sized", server.Url("/sized.bin")));
    items.push_back(FileItem("unsized", server.Url("/unsized.bin")));
    items.push_back(FileItem("text", server.Url("/text.gz")));
    items.back().decodeContent = true;
    items.push_back(FileItem("served", server.Url("/text.gz")));
    m_downloader->Download(std::move(items));

    // Nothing reaches the observer before the owner pumps.
    ASSERT_TRUE(server.WaitForRequests("/sized.bin", 1, 10s));
    EXPECT_TRUE(m_events.events.empty());
    ASSERT_TRUE(PumpUntilEnded(*m_downloader, m_events, m_wakeUp));

    EXPECT_EQ(Content("sized"), sized);
    EXPECT_EQ(Content("unsized"), unsized);
    EXPECT_EQ(Content("text"), text) << "gzip content encoding must be decoded when asked for";
    // A package or picture is stored as served: a .tar.gz that a server
    // labels "Content-Encoding: gzip" is still the .tar.gz.
    const std::string served = Content("served");
    EXPECT_NE(served, text);
    ASSERT_GE(served.size(), 2u);
    EXPECT_EQ(served.substr(0, 2), "\x1f\x8b") << "the gzip bytes as sent";
    for (const RecordedRequest& request : server.Requests()) {
        if (request.path == "/text.gz") {
            const std::string accepted = request.Header("Accept-Encoding");
            EXPECT_TRUE(accepted.find("gzip") != std::string::npos || accepted == "identity")
                << accepted;
        } else {
            EXPECT_EQ(request.Header("Accept-Encoding"), "identity") << request.path;
        }
    }

    for (const Event& event : m_events.events) {
        EXPECT_EQ(event.thread, std::this_thread::get_id()) << event.kind << " off the owner thread";
    }
    // Entries queue their start as they are set up, the worker its start after.
    const std::vector<Event>& all = m_events.events;
    ASSERT_GE(all.size(), 5u);
    EXPECT_EQ(all[0].kind + " " + all[0].name, "ItemStarted sized");
    EXPECT_EQ(all[1].kind + " " + all[1].name, "ItemStarted unsized");
    EXPECT_EQ(all[2].kind + " " + all[2].name, "ItemStarted text");
    EXPECT_EQ(all[3].kind + " " + all[3].name, "ItemStarted served");
    EXPECT_EQ(all[4].kind, "WorkStarted");
    EXPECT_EQ(all[4].total, 0u);

    for (const char* name : {"sized", "unsized", "text"}) {
        SCOPED_TRACE(name);
        const std::vector<Event> item = m_events.Of(name);
        ASSERT_GE(item.size(), 2u);
        EXPECT_EQ(item.front().kind, "ItemStarted");
        EXPECT_EQ(item.front().downloaded, 0u);
        EXPECT_EQ(item.back().kind, "ItemFinished");
        for (size_t i = 1; i + 1 < item.size(); ++i) {
            EXPECT_EQ(item[i].kind, "ItemProgress");
        }
    }
    ExpectItemProgressIsThrottled(m_events.Of("sized"), sized.size());
    EXPECT_EQ(m_events.Of("sized").back().total, sized.size());
    // A size never reported: no progress at all, and a finish with size 0.
    EXPECT_EQ(m_events.Of("unsized").size(), 2u);
    EXPECT_EQ(m_events.Of("unsized").back().total, 0u);

    const std::vector<Event> batch = m_events.Of("");
    ASSERT_GE(batch.size(), 2u);
    EXPECT_EQ(Last().kind, "WorkFinished");
    const unsigned long long compressed = m_events.Of("text").back().total;
    EXPECT_GT(compressed, 0u);
    EXPECT_LT(compressed, text.size());
    EXPECT_EQ(m_events.Of("served").back().total, compressed);
    EXPECT_EQ(Last().total, sized.size() + 2 * compressed)
        << "the batch total ignores unknown sizes";
    int previous = -1;
    for (const Event& event : batch) {
        if (event.kind != "WorkProgress") {
            continue;
        }
        EXPECT_NE(event.percent, previous) << "batch percent reported twice";
        EXPECT_LE(event.percent, 100);
        EXPECT_EQ(static_cast<unsigned long long>(event.percent), event.downloaded * 100 / event.total);
        previous = event.percent;
    }
    EXPECT_EQ(previous, 100);
}

TEST_F(DownloaderTest, FailedItemFailsTheWholeBatchWithItsStatus)
{
    TestServer server;
    server.Expect("GET", "/good", Reply::Body("fine"), Times::Exactly(1));
    server.Expect("GET", "/missing", Reply::Status(404), Times::Exactly(1));
    std::vector<DownloadItem> items;
    items.push_back(FileItem("good", server.Url("/good")));
    items.push_back(FileItem("missing", server.Url("/missing")));
    RunBatch(std::move(items));

    const std::string outline = m_events.Outline();
    EXPECT_TRUE(outline == "ItemStarted good, ItemStarted missing, WorkStarted, WorkFailed" ||
                outline ==
                    "ItemStarted good, ItemStarted missing, WorkStarted, ItemFinished good, WorkFailed")
        << outline;
    EXPECT_EQ(Last().error, "curl_multi_perform failed: http response code = 404");
    EXPECT_TRUE(m_events.Of("missing").size() == 1u) << "a failed item gets no finish event";

    // Nothing follows the failure.
    const size_t count = m_events.events.size();
    server.Stop();
    m_downloader->DoMainThreadWork();
    EXPECT_EQ(m_events.events.size(), count);
}

TEST_F(DownloaderTest, TransferFailuresCarryLibcurlsText)
{
    struct Case {
        const char* name;
        std::function<void(TestServer&)> script;
        std::string error;
        std::function<void(DownloadItem&)> item = nullptr;
    };
    auto limit = [](std::uint64_t bytes, bool decode = false) {
        return [bytes, decode](DownloadItem& item) {
            item.byteLimit = bytes;
            item.decodeContent = decode;
        };
    };
    const std::vector<Case> cases = {
        {"status 500", [](TestServer& s) { s.Expect("GET", "/x", Reply::Status(500)); },
         "curl_multi_perform failed: http response code = 500"},
        {"stall", [](TestServer& s) { s.Expect("GET", "/x", Reply::Stall(1000, "abc")); },
         "curl_multi_perform failed: Timeout was reached"},
        {"stall before any byte", [](TestServer& s) { s.Expect("GET", "/x", Reply::Stall(1000)); },
         "curl_multi_perform failed: Timeout was reached"},
        {"redirect loop",
         [](TestServer& s) { s.Expect("GET", "/x", Reply::Redirect("/x"), Times::Exactly(31)); },
         Failure(CURLE_TOO_MANY_REDIRECTS)},
        // Bounds are counted as the bytes arrive, whatever the server announces.
        {"over the byte limit",
         [](TestServer& s) { s.Expect("GET", "/x", Reply::Body(std::string(4097, 'b'))); },
         "x refused: larger than 4096 bytes", limit(4096)},
        {"over the byte limit without a length",
         [](TestServer& s) { s.Expect("GET", "/x", Reply::Chunked(std::string(1 << 20, 'b'))); },
         "x refused: larger than 4096 bytes", limit(4096)},
        {"decoded bytes over the limit",
         [](TestServer& s) { s.Expect("GET", "/x", Reply::Gzip(std::string(8u << 20, '\0'))); },
         "x refused: larger than 65536 bytes", limit(65536, true)},
        // Fast enough for the low-speed rule, too slow for the deadline.
        {"deadline",
         [](TestServer& s) {
             s.Expect("GET", "/x", Reply::Drip(std::string(100, 'd'), 1, 100ms));
         },
         "curl_multi_perform failed: Timeout was reached",
         [](DownloadItem& item) { item.timeoutSeconds = 1; }},
        {"local file", nullptr, Failure(CURLE_UNSUPPORTED_PROTOCOL)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestServer server;
        std::vector<DownloadItem> items;
        if (c.script) {
            c.script(server);
            items.push_back(FileItem("x", server.Url("/x")));
        } else {
            items.push_back(FileItem("x", "file:///etc/hostname"));
        }
        if (c.item) {
            c.item(items.back());
        }
        const size_t before = m_events.events.size();
        m_downloader->Download(std::move(items));
        ASSERT_TRUE(PumpUntilEnded(*m_downloader, m_events, m_wakeUp, m_events.Ended() + 1));
        EXPECT_EQ(Last().kind, "WorkFailed");
        EXPECT_EQ(Last().error, c.error);
        for (size_t i = before; i < m_events.events.size(); ++i) {
            EXPECT_NE(m_events.events[i].kind, "ItemFinished");
        }
    }
}

TEST_F(DownloaderTest, ConnectionResetMidBodyFailsTheBatch)
{
    TestServer server;
    server.Expect("GET", "/cut", Reply::Reset(Pattern(1 << 20), 64 * 1024), Times::Exactly(1));
    std::vector<DownloadItem> items;
    items.push_back(FileItem("cut", server.Url("/cut")));
    RunBatch(std::move(items));
    EXPECT_EQ(m_events.Outline(), "ItemStarted cut, WorkStarted, WorkFailed");
    EXPECT_TRUE(Last().error == Failure(CURLE_RECV_ERROR) ||
                Last().error == Failure(CURLE_PARTIAL_FILE))
        << Last().error;
}

TEST_F(DownloaderTest, RedirectIsFollowed)
{
    TestServer server;
    server.Expect("GET", "/old", Reply::Redirect("/new", 301), Times::Exactly(1));
    server.Expect("GET", "/new", Reply::Body("moved here"), Times::Exactly(1));
    std::vector<DownloadItem> items;
    items.push_back(FileItem("moved", server.Url("/old")));
    RunBatch(std::move(items));
    EXPECT_EQ(Last().kind, "WorkFinished");
    EXPECT_EQ(Content("moved"), "moved here");
}

TEST_F(DownloaderTest, EmptyBatchStartsAndFailsWithoutText)
{
    RunBatch({});
    ASSERT_EQ(m_events.events.size(), 2u);
    EXPECT_EQ(m_events.events[0].kind, "WorkStarted");
    EXPECT_EQ(m_events.events[0].total, 0u);
    EXPECT_EQ(m_events.events[1].kind, "WorkFailed");
    EXPECT_EQ(m_events.events[1].downloaded, 0u);
    EXPECT_EQ(m_events.events[1].total, 0u);
    EXPECT_EQ(m_events.events[1].error, "");
}

TEST_F(DownloaderTest, DownloadDuringARunningBatchStopsItFirst)
{
    TestServer server;
    server.Expect("GET", "/stalled", Reply::Stall(1000, "a"), Times::Exactly(1));
    server.Expect("GET", "/next", Reply::Body("next"), Times::Exactly(1));
    Downloader::SetLowSpeedTimeForTesting(0); // the stall must not end by itself

    std::vector<DownloadItem> first;
    first.push_back(FileItem("stalled", server.Url("/stalled")));
    m_downloader->Download(std::move(first));
    ASSERT_TRUE(server.WaitForRequests("/stalled", 1, 10s));

    std::vector<DownloadItem> second;
    second.push_back(FileItem("next", server.Url("/next")));
    m_downloader->Download(std::move(second));
    // The stopped batch's events, its failure last, arrive during the call.
    ASSERT_EQ(m_events.Outline(), "ItemStarted stalled, WorkStarted, WorkFailed");
    EXPECT_EQ(Last().error, "");

    ASSERT_TRUE(PumpUntilEnded(*m_downloader, m_events, m_wakeUp, 2));
    EXPECT_EQ(m_events.Outline(), "ItemStarted stalled, WorkStarted, WorkFailed, "
                                  "ItemStarted next, WorkStarted, ItemFinished next, WorkFinished");
    EXPECT_EQ(Content("next"), "next");
}

TEST_F(DownloaderTest, DestructionMidTransferReturnsAndCallsNoObserver)
{
    TestServer server;
    server.Expect("GET", "/drip", Reply::Drip(std::string(10000, 'd'), 10, 20ms), Times::Exactly(1));
    server.Expect("GET", "/stall", Reply::Stall(1000), Times::Exactly(1));
    Downloader::SetLowSpeedTimeForTesting(0);
    std::vector<DownloadItem> items;
    items.push_back(FileItem("drip", server.Url("/drip")));
    items.push_back(FileItem("stall", server.Url("/stall")));
    m_downloader->Download(std::move(items));
    ASSERT_TRUE(server.WaitForRequests("/drip", 1, 10s));
    ASSERT_TRUE(server.WaitForRequests("/stall", 1, 10s));
    // Let some drip progress arrive, and deliver part of it.
    for (int i = 0; i < 5; ++i) {
        m_wakeUp.Wait(100ms);
        m_downloader->DoMainThreadWork();
    }
    const size_t delivered = m_events.events.size();
    m_downloader.reset();
    const int wakeUpsAfterStop = m_wakeUp.Count();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(m_events.events.size(), delivered);
    EXPECT_EQ(m_wakeUp.Count(), wakeUpsAfterStop) << "the worker lives on after destruction";
    EXPECT_EQ(m_events.Ended(), 0);
}

TEST_F(DownloaderTest, TlsNeedsTheTrustedAuthority)
{
    TestServer server(TestServer::Scheme::Https);
    server.Expect("GET", "/secure", Reply::Body("secure content"), Times::Exactly(1));

    // Without the authority the TLS handshake fails, so the server never
    // sees a request.
    std::vector<DownloadItem> refused;
    refused.push_back(FileItem("refused", server.Url("/secure")));
    RunBatch(std::move(refused));
    EXPECT_EQ(Last().error, Failure(CURLE_PEER_FAILED_VERIFICATION));

    ScopedEnvironment bundle("CURL_CA_BUNDLE", server.CaFile());
    std::vector<DownloadItem> accepted;
    accepted.push_back(FileItem("accepted", server.Url("/secure")));
    m_downloader->Download(std::move(accepted));
    ASSERT_TRUE(PumpUntilEnded(*m_downloader, m_events, m_wakeUp, 2));
    EXPECT_EQ(Last().kind, "WorkFinished") << Last().error;
    EXPECT_EQ(Content("accepted"), "secure content");
}

// What was asked for over TLS is never fetched over plain HTTP.
TEST_F(DownloaderTest, RedirectFromHttpsToHttpIsRefused)
{
    TestServer plain;
    TestServer server(TestServer::Scheme::Https);
    server.Expect("GET", "/package", Reply::Redirect(plain.Url("/package"), 301), Times::Exactly(1));
    ScopedEnvironment bundle("CURL_CA_BUNDLE", server.CaFile());
    std::vector<DownloadItem> items;
    items.push_back(FileItem("package", server.Url("/package")));
    RunBatch(std::move(items));
    EXPECT_EQ(Last().error, Failure(CURLE_UNSUPPORTED_PROTOCOL));
    EXPECT_TRUE(plain.Requests().empty());
}

TEST_F(DownloaderTest, SystemProxyFromTheEnvironmentIsUsed)
{
    TestServer server;
    server.Expect("GET", "/proxied", Reply::Body("via proxy"), Times::Exactly(1));
    TestProxy proxy;
    // Upper case only: libcurl itself ignores HTTP_PROXY, so the request can
    // reach the proxy only through the system proxy lookup.
    ScopedEnvironment viaProxy("HTTP_PROXY", proxy.Url());
    std::vector<DownloadItem> items;
    items.push_back(FileItem("proxied", server.Url("/proxied?v=1")));
    RunBatch(std::move(items));
    EXPECT_EQ(Last().kind, "WorkFinished") << Last().error;
    EXPECT_EQ(Content("proxied"), "via proxy");
    EXPECT_EQ(proxy.RequestedUrls(), std::vector<std::string>{server.Url("/proxied?v=1")});
}

TEST_F(DownloaderTest, ObserverExceptionDoesNotReachThePump)
{
    struct Throwing : DownloadRecorder {
        void OnItemDownloadFinished(const std::string& name, unsigned long long size) override
        {
            DownloadRecorder::OnItemDownloadFinished(name, size);
            throw std::runtime_error("observer failure");
        }
    } throwing;
    TestServer server;
    server.Expect("GET", "/a", Reply::Body("a"), Times::Exactly(1));
    Downloader downloader(throwing, [this] { m_wakeUp.Raise(); });
    std::vector<DownloadItem> items;
    items.push_back(FileItem("a", server.Url("/a")));
    downloader.Download(std::move(items));
    EXPECT_NO_THROW(EXPECT_TRUE(PumpUntilEnded(downloader, throwing, m_wakeUp)));
    EXPECT_EQ(throwing.Outline(), "ItemStarted a, WorkStarted, ItemFinished a, WorkFinished");
}

} // namespace
} // namespace Zentak::Test
