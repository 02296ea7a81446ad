#pragma once

#include <atomic>
#include <chrono>
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
    DownloadEntry* EntryOf(const Curl::CurlEasy& session);

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

// One item of a batch: its file, where it comes from (the URL, then its
// mirrors) and the transfers that fetch it: one, or one per range of a
// segmented download. Built on the owner's thread, then used by the worker
// only.
class DownloadBatch::DownloadEntry : public EventsDispatcher<IDownloadItemEvents> {
public:
    DownloadEntry(DownloadBatch& batch, IDownloaderEvents& events,
                  std::shared_ptr<FakeThreadPool> pool, DownloadItem&& item, long lowSpeedTime);
    ~DownloadEntry();

    DownloadEntry(const DownloadEntry&) = delete;
    DownloadEntry& operator=(const DownloadEntry&) = delete;

    bool Holds(const Curl::CurlEasy& session) const;

    // One of the entry's sessions completed with `result`. True when the
    // whole item is done: every byte reached the file, its size and SHA-256
    // match, and the finish event is queued. False while it goes on (other
    // ranges still running, a range or the next source to start). Throws the
    // item's failure when no source is left.
    bool Completed(const Curl::CurlEasy& session, CURLcode result);

    // Between two rounds of the multi handle, where libcurl allows it:
    // starts and ends sessions as the transfers' replies asked, and hashes a
    // bounded share of what the ranges wrote ahead of the file's hashed start.
    void Tend();

private:
    struct Transfer;
    enum class Mode { Plain, Probing, Ranges };
    // Whether a failure may be cured by another source of the same file.
    enum class Blame { Source, Local };

    std::unique_ptr<Curl::CurlEasy> MakeSession(Transfer& transfer);
    void StartSource();
    void StartTransfer(std::uint64_t start, std::uint64_t end, bool ranged);
    void Split(Transfer& probe);
    void FallBack(Transfer& failed);
    void Restart(bool plainOnly);
    void SourceFailed(const std::string& reason, Blame blame, std::exception_ptr exception);
    bool AllFinished() const;
    bool Finish();

    static size_t OnData(char* data, size_t size, size_t count, void* transfer);
    static size_t OnHeader(char* data, size_t size, size_t count, void* transfer);
    static int OnProgress(void* transfer, curl_off_t expected, curl_off_t received, curl_off_t,
                          curl_off_t);
    size_t Write(Transfer& transfer, const char* data, size_t size);
    size_t WriteStream(Transfer& transfer, const char* data, size_t size);
    size_t WriteAt(Transfer& transfer, const char* data, size_t size);
    std::string Room(std::uint64_t whole) const;
    void Header(Transfer& transfer, const std::string& line);
    // Whether the reply of `transfer` can be used, decided at its first
    // body byte (or its end); may change the mode.
    bool Judge(Transfer& transfer);
    // A resumed transfer: whether the reply continues the kept part or
    // starts the file over.
    bool SettleResume(Transfer& transfer);
    bool StartOver(Transfer& transfer);
    bool HashKeptPart();
    // Hashes, from the file, up to `limit` bytes that the ranges wrote right
    // after the hashed start.
    void CatchUp(std::uint64_t limit);
    std::uint64_t ContiguousBytes() const;
    void Refuse(std::string reason, Blame blame = Blame::Source);
    void UpdateProgress(unsigned long long expected, unsigned long long received);
    std::string Target() const;

    DownloadBatch& m_batch;
    DownloadItem m_item;
    long m_lowSpeedTime;
    unsigned long long m_lastDownloaded = 0;
    unsigned long long m_lastTotal = 0;
    unsigned char m_lastPercent = 0;

    // Where the file comes from: the URL, then the mirrors, and why each
    // source tried so far failed.
    std::vector<std::string> m_sources;
    std::size_t m_source = 0;
    std::vector<std::string> m_sourceFailures;
    // The same in plain words, for the person ("HTTP 503 for <url>").
    std::vector<std::string> m_sourceCauses;

    Mode m_mode = Mode::Plain;
    std::list<Transfer> m_transfers;
    // Descriptor of the file when the transfers write at offsets (a
    // segmented download); -1 when the item's stream takes the bytes.
    int m_file = -1;
    std::uint64_t m_received = 0; // bytes written by all transfers of a segmented download
    bool m_restart = false;       // start the item anew at m_sources[m_source]
    bool m_plainOnly = false;     // ... with one plain request, no ranges

    // Integrity; used by the worker only.
    std::unique_ptr<Sha256> m_hash; // when the item gives a SHA-256
    std::uint64_t m_hashed = 0;     // bytes from the file's start that the hash has taken
    std::vector<char> m_readBlock;  // for hashing what the ranges wrote ahead
    std::uint64_t m_readBack = 0;   // bytes hashed from the file rather than as they came
    std::chrono::steady_clock::duration m_readBackTime{};
    bool m_dropFile = false;        // empty the target file when the entry goes
    Blame m_blame = Blame::Source;
    std::string m_failure;
};

} // namespace Zentak
