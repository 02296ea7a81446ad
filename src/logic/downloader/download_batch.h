#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "logic/downloader/download_item.h"
#include "logic/downloader/downloader.h"
#include "logic/downloader/events_dispatcher.h"
#include "logic/downloader/sha256.h"
#include "net/curl_easy.h"
#include "net/curl_multi.h"

namespace Zentak {

// One call of Downloader::Download: a multi handle, one transfer per item and
// the worker thread that drives them until all are done, one fails, or the
// batch is destroyed. Constructed and destroyed on the owner's thread; the
// worker touches only the atomics, its own entries and the pool.
class DownloadBatch : public EventsDispatcher<IDownloadBatchEvents> {
public:
    // Sets up every transfer in item order and starts the worker. A libcurl
    // failure during set-up throws; nothing keeps running then.
    DownloadBatch(IDownloaderEvents& events, std::shared_ptr<FakeThreadPool> pool,
                  std::vector<DownloadItem>&& items, long lowSpeedTime);
    // Stops the worker, waits for it and drops every transfer. A batch still
    // running queues OnWorkFailed with an empty text.
    ~DownloadBatch();

    DownloadBatch(const DownloadBatch&) = delete;
    DownloadBatch& operator=(const DownloadBatch&) = delete;

    // Why the batch failed, in plain words; set before its OnWorkFailed is
    // queued, empty for a stopped batch. Safe from any thread.
    std::string FailureCause() const;

private:
    class DownloadEntry;

    void Download();
    void Fail(const std::string& error);

    // Declared before the entries: an entry removes its session from the
    // multi handle when it is destroyed.
    Curl::CurlMulti m_multi;
    std::list<DownloadEntry> m_entries;
    std::atomic<bool> m_stop{false};
    std::atomic<unsigned long long> m_downloaded{0};
    std::atomic<unsigned long long> m_total{0};
    std::atomic<unsigned char> m_lastPercent{0};
    mutable std::mutex m_causeMutex;
    std::string m_cause;
    std::thread m_worker;
};

// One transfer of a batch: the item, its session and what libcurl last
// reported about it. Built on the owner's thread, then used by the worker only.
class DownloadBatch::DownloadEntry : public EventsDispatcher<IDownloadItemEvents> {
public:
    DownloadEntry(DownloadBatch& batch, IDownloaderEvents& events,
                  std::shared_ptr<FakeThreadPool> pool, DownloadItem&& item, long lowSpeedTime);
    ~DownloadEntry();

    DownloadEntry(const DownloadEntry&) = delete;
    DownloadEntry& operator=(const DownloadEntry&) = delete;

    bool Holds(const Curl::CurlEasy& session) const { return m_session == session; }

    // The transfer completed: makes sure every byte reached the stream's
    // target, closes a file, checks the whole file's size and SHA-256 when the
    // item gives them, and queues the finish event. Throws when the data
    // could not be written or does not match.
    void Finish();

    // Why this entry ended its own transfer or refused its data (a size or
    // hash mismatch, a range it cannot use); empty otherwise. libcurl only
    // knows that the write was refused, so the batch reports this instead.
    const std::string& Failure() const { return m_failure; }

private:
    static size_t OnData(char* data, size_t size, size_t count, void* entry);
    static size_t OnHeader(char* data, size_t size, size_t count, void* entry);
    static int OnProgress(void* entry, curl_off_t expected, curl_off_t received, curl_off_t,
                          curl_off_t);
    size_t Write(const char* data, size_t size);
    void Header(const std::string& line);
    // A resumed transfer: decides at its first body byte (or at its end)
    // whether the reply continues the kept part or starts the file over.
    bool SettleResume();
    bool StartOver();
    bool HashKeptPart();
    void Refuse(std::string reason);
    void UpdateProgress(unsigned long long expected, unsigned long long received);
    std::string Target() const;

    DownloadBatch& m_batch;
    DownloadItem m_item;
    unsigned long long m_lastDownloaded = 0;
    unsigned long long m_lastTotal = 0;
    Curl::CurlEasy m_session;
    unsigned char m_lastPercent = 0;

    // Integrity and resume; all used by the worker only.
    std::unique_ptr<Sha256> m_hash;       // when the item gives a SHA-256
    std::uint64_t m_offset = 0;           // bytes of the file before this reply's body
    std::uint64_t m_written = 0;          // body bytes of this reply written so far
    bool m_settled = true;                // false until a resumed reply has been judged
    long m_status = 0;                    // status of the latest reply header block
    std::optional<std::uint64_t> m_rangeStart; // first byte of its Content-Range
    bool m_dropFile = false;              // empty the target file when the entry goes
    std::string m_failure;
};

} // namespace Zentak
