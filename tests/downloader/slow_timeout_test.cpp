// The low-speed limits with their real durations (about 20 seconds together).
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "downloader/download_recorder.h"
#include "logic/downloader/download_size.h"
#include "logic/downloader/downloader.h"
#include "support/test_environment.h"
#include "support/test_server.h"

namespace Zentak::Test {
namespace {

TEST(SlowTimeout, StalledDownloadFailsTheBatchAfterFifteenSeconds)
{
    ClearProxyEnvironment();
    TestServer server;
    server.Expect("GET", "/stall", Reply::Stall(1000), Times::Exactly(1));
    TemporaryDirectory directory;
    DownloadRecorder events;
    WakeUp wakeUp;
    Downloader downloader(events, [&wakeUp] { wakeUp.Raise(); });
    std::vector<DownloadItem> items(1);
    items[0].name = "stalled";
    items[0].url = server.Url("/stall");
    items[0].stream = std::make_unique<std::ofstream>((directory / "stalled").string());
    downloader.Download(std::move(items));
    ASSERT_TRUE(PumpUntilEnded(downloader, events, wakeUp, 1, std::chrono::seconds(60)));
    EXPECT_EQ(events.Outline(), "ItemStarted stalled, WorkStarted, WorkFailed");
    EXPECT_EQ(events.events.back().error, "curl_multi_perform failed: Timeout was reached");
}

TEST(SlowTimeout, StalledSizeQueryReturnsZero)
{
    ClearProxyEnvironment();
    TestServer server;
    server.Expect("HEAD", "/stall", Reply::Hang(), Times::Exactly(1));
    EXPECT_EQ(GetDownloadSize(server.Url("/stall")), 0u);
}

} // namespace
} // namespace Zentak::Test
