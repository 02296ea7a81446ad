// Many threads tracking at once, before and after Initialize: every event
// reaches the collector exactly once, each thread's events in its own order,
// and the chain of previous events links all of them into one line.
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "logic/tracker/statistics_tracker.h"
#include "support/test_environment.h"
#include "support/test_server.h"
#include "xml_check.h"

namespace Zentak::Test {
namespace {

TEST(TrackerThreadsTest, NoEventIsLostWhenManyThreadsTrackAtOnce)
{
    constexpr int kThreads = 8;
    constexpr int kEventsPerThread = 60;
    FixTimeZone();

    TestServer server;
    server.Expect("POST", "/stats", Reply::Status(200), Times::AtLeast(1));
    auto tracker = IStatisticsTracker::Create();

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&tracker, t] {
            for (int i = 0; i < kEventsPerThread; ++i) {
                tracker->TrackEvent("EVENT_T" + std::to_string(t),
                                    {{"THREAD", std::to_string(t)}, {"INDEX", std::to_string(i)}});
            }
        });
    }
    // Initialize while the threads are tracking, so that sending overlaps
    // with queueing.
    tracker->Initialize(server.Url("/stats"), "key");
    for (std::thread& thread : threads) {
        thread.join();
    }
    tracker.reset();
    server.Stop();

    std::vector<ParsedEvent> events;
    for (const RecordedRequest& request : server.Requests()) {
        ParsedPackage package = ParsePackage(request.body);
        ASSERT_TRUE(package.wellFormed) << package.error;
        for (ParsedEvent& event : package.events) {
            events.push_back(std::move(event));
        }
    }
    ASSERT_EQ(events.size(), static_cast<size_t>(kThreads * kEventsPerThread));

    std::map<int, int> nextIndex;
    std::map<std::string, std::string> nameById;
    std::map<std::string, std::string> idByPrevious;
    for (const ParsedEvent& event : events) {
        const int thread = std::stoi(event.Value("THREAD"));
        EXPECT_EQ(event.name, "EVENT_T" + std::to_string(thread));
        EXPECT_EQ(std::stoi(event.Value("INDEX")), nextIndex[thread]++) << "thread " << thread;
        const std::string id = event.Value("UNIQUE_ID");
        EXPECT_TRUE(nameById.emplace(id, event.name).second) << "repeated id " << id;
        EXPECT_TRUE(idByPrevious.emplace(event.Value("PREVIOUS_UNIQUE_ID"), id).second)
            << "two events follow " << event.Value("PREVIOUS_UNIQUE_ID");
    }
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(nextIndex[t], kEventsPerThread) << "thread " << t;
    }

    // Walk the chain from the first event: it must visit every event once,
    // and each link's previous name must be the name of the event it names.
    std::set<std::string> visited;
    std::string previous;
    for (auto link = idByPrevious.find(""); link != idByPrevious.end();
         link = idByPrevious.find(previous)) {
        ASSERT_TRUE(visited.insert(link->second).second) << "chain loops at " << link->second;
        previous = link->second;
    }
    EXPECT_EQ(visited.size(), events.size());
    for (const ParsedEvent& event : events) {
        const std::string previousId = event.Value("PREVIOUS_UNIQUE_ID");
        const std::string expectedName = previousId.empty() ? "" : nameById[previousId];
        EXPECT_EQ(event.Value("PREVIOUS_EVENT"), expectedName);
    }
}

} // namespace
} // namespace Zentak::Test
