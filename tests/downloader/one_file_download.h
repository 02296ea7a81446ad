#pragma once

#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "downloader/download_recorder.h"
#include "logic/downloader/downloader.h"
#include "support/test_environment.h"

namespace Zentak::Test {

// Downloads of one file to Path(), in a folder of the test's own, with no
// proxy, a fixed time zone (glog's time stamps) and a 2 s low-speed limit.
class OneFileDownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearProxyEnvironment();
        FixTimeZone();
        Downloader::SetLowSpeedTimeForTesting(2);
    }
    void TearDown() override { Downloader::SetLowSpeedTimeForTesting(0); }

    std::string Path() const { return (m_directory / "pkg").string(); }

    // One batch of `item`; its events (only) are in m_events.
    void Run(DownloadItem item)
    {
        m_events.events.clear();
        ASSERT_TRUE(DownloadOne(m_events, m_wakeUp, std::move(item)));
    }

    const DownloadRecorder::Event& Last() const { return m_events.events.back(); }

    TemporaryDirectory m_directory;
    DownloadRecorder m_events;
    WakeUp m_wakeUp;
};

} // namespace Zentak::Test
