#include "logic/controller/splash_image_controller.h"

#include <cstdio>
#include <cstring>
#include <streambuf>

#include <glog/logging.h>

#include "logic/tracker/events.h"
#include "utils/settings.h"
#include "utils/string_utils.h"
#include "utils/temp_paths.h"

namespace Zentak {

// Collects a picture's bytes and refuses everything past the limit, which
// makes the transfer fail with a write error.
class SplashImageController::BoundedBuffer : public std::streambuf {
public:
    std::string Take() { return std::move(m_data); }

protected:
    std::streamsize xsputn(const char* data, std::streamsize count) override
    {
        const std::size_t room = kMaxImageBytes - m_data.size();
        const std::size_t taken = std::min<std::size_t>(room, static_cast<std::size_t>(count));
        m_data.append(data, taken);
        return static_cast<std::streamsize>(taken);
    }

    int_type overflow(int_type c) override
    {
        if (traits_type::eq_int_type(c, traits_type::eof())) {
            return traits_type::not_eof(c);
        }
        const char byte = traits_type::to_char_type(c);
        return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
    }

private:
    std::string m_data;
};

namespace {

constexpr const char* kLocalePlaceholder = "--locale--";

const char* ImageType(ISplash::Page page)
{
    return page == ISplash::Start ? "main" : "progress";
}

class BufferStream : public std::ostream {
public:
    explicit BufferStream(std::shared_ptr<std::streambuf> buffer)
        : std::ostream(buffer.get()), m_buffer(std::move(buffer))
    {
    }

private:
    std::shared_ptr<std::streambuf> m_buffer;
};

} // namespace

SplashImageController::SplashImageController(ISplashImageControllerObserver& observer,
                                             std::shared_ptr<IStatisticsTracker> tracker,
                                             std::function<void()> onTaskQueued)
    : m_observer(observer),
      m_downloader(std::make_unique<Downloader>(static_cast<IDownloaderEvents&>(*this), std::move(onTaskQueued))),
      m_tracker(std::move(tracker))
{
}

SplashImageController::~SplashImageController()
{
    LOG(INFO) << "SplashImageController destruction started";
    m_downloader.reset();
    LOG(INFO) << "SplashImageController destructed";
}

std::string SplashImageController::AddStream(ISplash::Page page)
{
    const std::string name = std::to_string(++m_counter);
    auto inserted = m_streams.emplace(name, Stream{page, std::make_shared<BoundedBuffer>()});
    return inserted.first->first;
}

DownloadItem SplashImageController::MakeItem(const std::string& name, std::string url)
{
    DownloadItem item;
    item.name = name;
    item.url = std::move(url);
    item.stream = std::make_unique<BufferStream>(m_streams.at(name).buffer);
    return item;
}

void SplashImageController::LoadMainImage(const std::string& url)
{
    std::vector<DownloadItem> items;
    items.push_back(MakeItem(AddStream(ISplash::Start), url));
    m_downloader->Download(std::move(items));
}

void SplashImageController::LoadProgressImages(
    std::vector<std::pair<ISplash::Page, std::string>>&& images)
{
    std::vector<DownloadItem> items;
    for (auto& [page, url] : images) {
        const std::string name = AddStream(page);
        // An unset locale removes the place-holder (which ReplaceAll, given
        // an empty replacement, would leave alone).
        const std::string locale = Settings::CurrentLocale();
        for (auto at = url.find(kLocalePlaceholder); at != std::string::npos;
             at = url.find(kLocalePlaceholder, at + locale.size())) {
            url.replace(at, std::strlen(kLocalePlaceholder), locale);
        }
        items.push_back(MakeItem(name, std::move(url)));
    }
    // An empty batch fails by definition; without pictures there is nothing
    // to fetch and nothing failed.
    if (items.empty()) {
        return;
    }
    m_downloader->Download(std::move(items));
}

void SplashImageController::DoMainThreadWork()
{
    m_downloader->DoMainThreadWork();
}

void SplashImageController::OnImageDataReady(ISplash::Page page, std::string&& data)
{
    if (page == ISplash::Start) {
        m_observer.OnMainImageLoaded(std::move(data));
    } else {
        m_observer.OnProgressImageLoaded(page, std::move(data));
    }
}

void SplashImageController::OnItemDownloadStarted(const std::string& name, unsigned long long)
{
    auto it = m_streams.find(name);
    if (it == m_streams.end()) {
        return;
    }
    m_tracker->TrackEvent(Events::kImageDownloadStarted, {{EventParam::kImageType, ImageType(it->second.page)}});
}

void SplashImageController::OnItemDownloadFinished(const std::string& name, unsigned long long)
{
    auto it = m_streams.find(name);
    if (it == m_streams.end()) {
        return;
    }
    const ISplash::Page page = it->second.page;
    m_tracker->TrackEvent(Events::kImageDownloadCompleted, {{EventParam::kImageType, ImageType(page)}});
    std::string data = it->second.buffer->Take();
    if (Settings::GetBool(Settings::ID::DebugInfo)) {
        const auto path = Util::CreateTempPath(Util::GetTempDir(), "png",
                                               "_" + std::to_string(static_cast<int>(page)));
        if (FILE* file = std::fopen(path.c_str(), "wb")) {
            std::fwrite(data.data(), 1, data.size(), file);
            std::fclose(file);
        }
    }
    m_streams.erase(it);
    OnImageDataReady(page, std::move(data));
}

void SplashImageController::OnWorkFailed(unsigned long long, unsigned long long,
                                         std::string error)
{
    if (m_streams.size() == 1 && m_streams.begin()->second.page == ISplash::Start) {
        m_observer.OnMainImageLoadError();
        m_tracker->TrackEvent(Events::kImageDownloadFailed,
                              {{EventParam::kImageType, "main"}, {EventParam::kCurlError, error}});
        return;
    }
    m_tracker->TrackEvent(Events::kImageDownloadFailed,
                          {{EventParam::kImageType, "progress"}, {EventParam::kCurlError, error}});
}

} // namespace Zentak
