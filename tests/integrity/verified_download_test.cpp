// Checked and resumed downloads of the engine over real loopback transfers:
// the SHA-256 and size of the whole file, and ranges that continue what an
// earlier attempt left.
#include <atomic>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "downloader/download_recorder.h"
#include "downloader/one_file_download.h"
#include "logic/downloader/downloader.h"
#include "support/test_bytes.h"
#include "support/test_digest.h"
#include "support/test_environment.h"
#include "support/test_server.h"

namespace Zentak::Test {
namespace {

class VerifiedDownloadTest : public OneFileDownloadTest {
protected:
    // An item writing to Path(); with `resumeFrom`, `kept` is there first and
    // the stream appends to it.
    DownloadItem Item(const std::string& url, const std::string& sha256,
                      std::optional<std::uint64_t> size, const std::string& kept = {})
    {
        DownloadItem item;
        item.name = "pkg";
        item.url = url;
        item.path = Path();
        item.sha256 = sha256;
        item.size = size;
        if (!kept.empty()) {
            std::ofstream(item.path, std::ios::binary) << kept;
            item.resumeFrom = kept.size();
        }
        item.stream = std::make_unique<std::ofstream>(
            item.path, std::ios::out | std::ios::binary |
                           (kept.empty() ? std::ios::trunc : std::ios::app));
        return item;
    }
};

// The whole file is checked before it counts as downloaded; a file that
// does not match fails the batch with a text that says what differs, and is
// emptied so that no bad bytes stay behind.
TEST_F(VerifiedDownloadTest, WholeFileIsCheckedBeforeItCounts)
{
    const std::string body = Pattern(2 * 1024 * 1024 + 5, 7);
    const std::string digest = Sha256Hex(body);
    const std::string other = Sha256Hex("something else");
    const std::string size = std::to_string(body.size());
    struct Case {
        const char* what;
        std::string sha256;
        std::optional<std::uint64_t> size;
        std::string error; // empty: finished
    } cases[] = {
        {"hash and size match", digest, body.size(), ""},
        {"hash matches, no size", digest, std::nullopt, ""},
        {"size matches, no hash", "", body.size(), ""},
        {"hash differs", other, std::nullopt,
         "sha256 mismatch for pkg: expected " + other + ", got " + digest},
        {"file longer than its size", digest, body.size() - 1,
         "size mismatch for pkg: expected " + std::to_string(body.size() - 1) + " bytes, got more"},
        {"file shorter than its size", digest, body.size() + 1,
         "size mismatch for pkg: expected " + std::to_string(body.size() + 1) + " bytes, got " +
             size},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.what);
        m_events.events.clear();
        TestServer server;
        server.Expect("GET", "/pkg.tgz", Reply::Body(body), Times::Exactly(1));
        Run(Item(server.Url("/pkg.tgz"), test.sha256, test.size));
        if (test.error.empty()) {
            EXPECT_EQ(Last().kind, "WorkFinished") << Last().error;
            EXPECT_EQ(m_events.Of("pkg").back().kind, "ItemFinished");
            EXPECT_EQ(m_events.Of("pkg").back().total, body.size());
            EXPECT_TRUE(ReadFile(Path()) == body);
        } else {
            EXPECT_EQ(Last().kind, "WorkFailed");
            EXPECT_EQ(Last().error, test.error);
            EXPECT_NE(m_events.Of("pkg").back().kind, "ItemFinished");
            EXPECT_EQ(ReadFile(Path()), "") << "a file that failed its check is kept";
        }
    }
}

// The kept part of a file is continued with a range; the hash covers the
// whole joined file and progress counts whole-file bytes.
TEST_F(VerifiedDownloadTest, ResumeAsksOnlyForTheRest)
{
    const std::string body = Pattern(3 * 1024 * 1024, 11);
    const size_t kept = body.size() / 2 + 123;
    auto sent = std::make_shared<std::atomic<size_t>>(0);
    TestServer server;
    server.Expect("GET", "/pkg.tgz", Reply::Ranged(body, sent), Times::Exactly(1));
    Run(Item(server.Url("/pkg.tgz"), Sha256Hex(body), body.size(), body.substr(0, kept)));

    ASSERT_EQ(Last().kind, "WorkFinished") << Last().error;
    EXPECT_TRUE(ReadFile(Path()) == body);
    EXPECT_EQ(server.Requests().at(0).Header("Range"), "bytes=" + std::to_string(kept) + "-");
    EXPECT_EQ(sent->load(), body.size() - kept);
    EXPECT_EQ(m_events.Of("pkg").back().total, body.size());
    EXPECT_EQ(Last().total, body.size());
    // Progress starts beyond the kept part: no percent below it is reported.
    bool sawProgress = false;
    for (const auto& event : m_events.Of("pkg")) {
        if (event.kind == "ItemProgress") {
            sawProgress = true;
            EXPECT_EQ(event.total, body.size());
            EXPECT_GE(event.downloaded, kept);
        }
    }
    EXPECT_TRUE(sawProgress);
}

// A server that answers a range with the whole file: the file starts over
// in the same transfer and is still correct.
TEST_F(VerifiedDownloadTest, ServerIgnoringTheRangeStartsTheFileOver)
{
    const std::string body = Pattern(1024 * 1024 + 77, 13);
    const std::string raw = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\nContent-Type: application/octet-stream\r\n"
                            "Connection: close\r\n\r\n" + body;
    TestServer server;
    server.Expect("GET", "/pkg.tgz", Reply::Raw(raw), Times::Exactly(1));
    Run(Item(server.Url("/pkg.tgz"), Sha256Hex(body), body.size(), body.substr(0, 4096)));

    ASSERT_EQ(Last().kind, "WorkFinished") << Last().error;
    EXPECT_FALSE(server.Requests().at(0).Header("Range").empty());
    EXPECT_TRUE(ReadFile(Path()) == body) << "the whole file must not land after the kept part";
    EXPECT_EQ(m_events.Of("pkg").back().total, body.size());
}

// Replies that cannot continue the kept part fail the attempt and empty the
// file, so that the next attempt asks for the whole file; a kept part that
// does not belong to the file is caught by the hash.
TEST_F(VerifiedDownloadTest, UnusableKeptPartsAreDropped)
{
    const std::string body = Pattern(512 * 1024, 17);
    const std::string wrongRange =
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-19/" +
        std::to_string(body.size()) + "\r\nContent-Length: 10\r\nConnection: close\r\n\r\n" +
        body.substr(10, 10);
    std::string corrupted = body.substr(0, 1000);
    corrupted[500] = static_cast<char>(corrupted[500] ^ 0x55);
    struct Case {
        const char* what;
        Reply reply;
        std::string kept;
        std::string error;
    } cases[] = {
        {"range beyond the end", Reply::Status(416), body + "tail",
         "curl_multi_perform failed: http response code = 416"},
        {"another range than asked for", Reply::Raw(wrongRange), body.substr(0, 1000),
         "Item pkg: the request for the bytes from 1000 got status 206 with the range from 10"},
        {"kept part is not the file's start", Reply::Ranged(body), corrupted,
         "sha256 mismatch for pkg: expected " + Sha256Hex(body) + ", got " +
             Sha256Hex(corrupted + body.substr(1000))},
    };
    for (Case& test : cases) {
        SCOPED_TRACE(test.what);
        m_events.events.clear();
        TestServer server;
        server.Expect("GET", "/pkg.tgz", std::move(test.reply), Times::Exactly(1));
        Run(Item(server.Url("/pkg.tgz"), Sha256Hex(body), std::nullopt, test.kept));
        EXPECT_EQ(Last().kind, "WorkFailed");
        EXPECT_EQ(Last().error, test.error);
        EXPECT_EQ(ReadFile(Path()), "");
    }
}

} // namespace
} // namespace Zentak::Test
