#pragma once

#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "logic/downloader/downloader.h"
#include "logic/tracker/statistics_tracker.h"
#include "splash/splash.h"

namespace Zentak {

class ISplashImageControllerObserver {
public:
    virtual ~ISplashImageControllerObserver() = default;
    virtual void OnMainImageLoaded(std::string&& data) = 0;
    virtual void OnProgressImageLoaded(ISplash::Page page, std::string&& data) = 0;
    virtual void OnMainImageLoadError() = 0;
};

// Fetches the splash pictures into memory and hands each finished one to the
// observer. Used on the logic thread only; events run inside
// DoMainThreadWork.
class SplashImageController : private IDownloaderEvents {
public:
    // A picture larger than this fails like any failed download, so a server
    // that sends an endless body cannot grow the process without bound.
    static constexpr std::size_t kMaxImageBytes = 16 * 1024 * 1024;

    SplashImageController(ISplashImageControllerObserver& observer,
                          std::shared_ptr<IStatisticsTracker> tracker,
                          std::function<void()> onTaskQueued = {});
    ~SplashImageController() override;

    void LoadMainImage(const std::string& url);
    void LoadProgressImages(std::vector<std::pair<ISplash::Page, std::string>>&& images);
    void DoMainThreadWork();

private:
    class BoundedBuffer;
    struct Stream {
        ISplash::Page page;
        std::shared_ptr<BoundedBuffer> buffer;
    };

    std::string AddStream(ISplash::Page page);
    DownloadItem MakeItem(const std::string& name, std::string url);
    void OnImageDataReady(ISplash::Page page, std::string&& data);

    void OnItemDownloadStarted(const std::string& name, unsigned long long size) override;
    void OnItemProgressUpdated(const std::string&, unsigned long long, unsigned long long,
                               unsigned char) override {}
    void OnItemDownloadFinished(const std::string& name, unsigned long long size) override;
    void OnWorkStarted(unsigned long long) override {}
    void OnWorkProgressUpdated(unsigned long long, unsigned long long, unsigned char) override {}
    void OnWorkFinished(unsigned long long) override {}
    void OnWorkFailed(unsigned long long downloaded, unsigned long long total,
                      std::string error) override;

    ISplashImageControllerObserver& m_observer;
    std::unique_ptr<Downloader> m_downloader;
    std::map<std::string, Stream> m_streams;
    int m_counter = 0;
    std::shared_ptr<IStatisticsTracker> m_tracker;
};

} // namespace Zentak
