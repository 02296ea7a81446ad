#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "logic/downloader/downloader.h"

namespace Zentak::Test {

// The owner's wake-up signal, as the controller's loop has one.
class WakeUp {
public:
    void Raise()
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_raised = true;
            ++m_count;
        }
        m_signal.notify_all();
    }
    // Waits at most `timeout` for a Raise since the last wait.
    void Wait(std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_signal.wait_for(lock, timeout, [this] { return m_raised; });
        m_raised = false;
    }
    int Count()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_signal;
    bool m_raised = false;
    int m_count = 0;
};

// Records every observer call of a downloader, in order, with the calling
// thread.
class DownloadRecorder : public IDownloaderEvents {
public:
    struct Event {
        std::string kind; // "ItemStarted", "ItemProgress", "ItemFinished", "WorkStarted", ...
        std::string name; // the item, empty for batch events
        unsigned long long downloaded = 0;
        unsigned long long total = 0;
        int percent = -1;
        std::string error;
        std::thread::id thread;
    };

    std::vector<Event> events;

    void OnItemDownloadStarted(const std::string& name, unsigned long long zero) override
    {
        Add("ItemStarted", name, zero);
    }
    void OnItemProgressUpdated(const std::string& name, unsigned long long downloaded,
                               unsigned long long total, unsigned char percent) override
    {
        Add("ItemProgress", name, downloaded, total, percent);
    }
    void OnItemDownloadFinished(const std::string& name, unsigned long long size) override
    {
        Add("ItemFinished", name, 0, size);
    }
    void OnWorkStarted(unsigned long long total) override { Add("WorkStarted", "", 0, total); }
    void OnWorkProgressUpdated(unsigned long long downloaded, unsigned long long total,
                               unsigned char percent) override
    {
        Add("WorkProgress", "", downloaded, total, percent);
    }
    void OnWorkFinished(unsigned long long total) override { Add("WorkFinished", "", 0, total); }
    void OnWorkFailed(unsigned long long downloaded, unsigned long long total,
                      std::string error) override
    {
        Add("WorkFailed", "", downloaded, total, -1, std::move(error));
    }

    // Batches ended so far (OnWorkFinished or OnWorkFailed).
    int Ended() const
    {
        int ended = 0;
        for (const Event& event : events) {
            ended += event.kind == "WorkFinished" || event.kind == "WorkFailed";
        }
        return ended;
    }

    // The events of one item, or of the batch for name "".
    std::vector<Event> Of(const std::string& name) const
    {
        std::vector<Event> selected;
        for (const Event& event : events) {
            if (event.name == name) {
                selected.push_back(event);
            }
        }
        return selected;
    }

    // "ItemStarted a, WorkStarted, ..." without progress events: the order
    // that does not depend on timing.
    std::string Outline() const
    {
        std::ostringstream text;
        for (const Event& event : events) {
            if (event.kind == "ItemProgress" || event.kind == "WorkProgress") {
                continue;
            }
            text << (text.tellp() > 0 ? ", " : "") << event.kind
                 << (event.name.empty() ? "" : " " + event.name);
        }
        return text.str();
    }

private:
    void Add(const char* kind, const std::string& name, unsigned long long downloaded = 0,
             unsigned long long total = 0, int percent = -1, std::string error = {})
    {
        Event event;
        event.kind = kind;
        event.name = name;
        event.downloaded = downloaded;
        event.total = total;
        event.percent = percent;
        event.error = std::move(error);
        event.thread = std::this_thread::get_id();
        events.push_back(std::move(event));
    }
};

// Pumps `downloader` on this thread, sleeping on `wakeUp` between turns as
// the controller's loop does, until `ended` batches have ended or `timeout`
// passed. True when they ended.
inline bool PumpUntilEnded(Downloader& downloader, DownloadRecorder& recorder, WakeUp& wakeUp,
                           int ended = 1,
                           std::chrono::milliseconds timeout = std::chrono::seconds(60))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        downloader.DoMainThreadWork();
        if (recorder.Ended() >= ended) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        wakeUp.Wait(std::chrono::milliseconds(500));
    }
}

// Downloads `item` alone in a batch of a downloader of its own, pumped on
// this thread; the events go to `recorder`. True when the batch ended.
inline bool DownloadOne(DownloadRecorder& recorder, WakeUp& wakeUp, DownloadItem item)
{
    Downloader downloader(recorder, [&wakeUp] { wakeUp.Raise(); });
    std::vector<DownloadItem> items;
    items.push_back(std::move(item));
    downloader.Download(std::move(items));
    return PumpUntilEnded(downloader, recorder, wakeUp);
}

} // namespace Zentak::Test
