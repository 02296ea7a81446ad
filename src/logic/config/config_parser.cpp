#include "logic/config/config_parser.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/property_tree/ptree.hpp>
#include <glog/logging.h>

#include "external/crash_handler.h"
#include "logic/downloader/sha256.h"
#include "net/curl_easy.h"
#include "logic/tracker/events.h"
#include "utils/ini_reader.h"
#include "utils/platform/system_info.h"
#include "utils/settings.h"
#include "utils/string_utils.h"
#include "utils/temp_paths.h"

namespace Zentak {
namespace {

using ID = Settings::ID;

// An output stream over a buffer that the parser keeps.
class BufferWriter : public std::ostream {
public:
    explicit BufferWriter(std::shared_ptr<std::stringstream> buffer)
        : std::ostream(buffer->rdbuf()), m_buffer(std::move(buffer))
    {
    }

private:
    std::shared_ptr<std::stringstream> m_buffer;
};

} // namespace

// The signature download's events; only its end matters.
class ConfigParser::SignatureEvents : public IDownloaderEvents {
public:
    explicit SignatureEvents(ConfigParser& parser) : m_parser(parser) {}

private:
    void OnItemDownloadStarted(const std::string&, unsigned long long) override {}
    void OnItemProgressUpdated(const std::string&, unsigned long long, unsigned long long,
                               unsigned char) override {}
    void OnItemDownloadFinished(const std::string&, unsigned long long) override {}
    void OnWorkStarted(unsigned long long) override {}
    void OnWorkProgressUpdated(unsigned long long, unsigned long long, unsigned char) override {}
    void OnWorkFinished(unsigned long long) override { m_parser.OnSignatureFinished(); }
    void OnWorkFailed(unsigned long long, unsigned long long, std::string error) override
    {
        m_parser.OnSignatureFailed(error);
    }

    ConfigParser& m_parser;
};

ConfigParser::ConfigParser(IConfigParserObserver& observer,
                           std::shared_ptr<IStatisticsTracker> tracker,
                           std::function<void()> onTaskQueued, std::string publicKeyPem)
    : m_observer(observer),
      m_buffer(std::make_shared<std::stringstream>()),
      m_downloader(std::make_unique<Downloader>(static_cast<IDownloaderEvents&>(*this), onTaskQueued)),
      m_tracker(std::move(tracker)),
      m_publicKey(std::move(publicKeyPem))
{
    if (!m_publicKey.empty()) {
        m_signature = std::make_shared<std::stringstream>();
        m_signatureEvents = std::make_unique<SignatureEvents>(*this);
        m_signatureDownloader =
            std::make_unique<Downloader>(*m_signatureEvents, std::move(onTaskQueued));
    }
}

ConfigParser::~ConfigParser()
{
    m_tracker.reset();
    m_downloader.reset();
    m_signatureDownloader.reset();
}

void ConfigParser::Start()
{
    const std::any configFile = Settings::Get(ID::ConfigFile);
    // A bare "--config-file" holds a flag: the cast throws to the caller.
    const std::string path = configFile.has_value() ? std::any_cast<std::string>(configFile) : "";
    if (!path.empty()) {
        std::ifstream file(path, std::ios::in | std::ios::binary);
        if (!file) {
            // Going on without it would offer a start page with nothing to
            // install: a configuration that is not there is a failed one.
            const int reason = errno;
            LOG(WARNING) << "Configuration file " << path << " cannot be opened";
            FailConfiguration("configuration file " + path + " " +
                              (reason == ENOENT ? std::string("not found")
                                                : "cannot be read: " + std::string(std::strerror(reason))));
            return;
        }
        *m_buffer << file.rdbuf();
        if (!m_publicKey.empty()) {
            const std::string signaturePath = path + ".sig";
            std::ifstream signature(signaturePath, std::ios::in | std::ios::binary);
            if (!signature) {
                FailConfiguration("configuration signature " + signaturePath +
                                  " not available: it cannot be opened");
                return;
            }
            *m_signature << signature.rdbuf();
            const std::string reason =
                CheckConfigSignature(m_publicKey, m_buffer->str(), m_signature->str());
            if (!reason.empty()) {
                LOG(ERROR) << "Configuration " << path << " refused: " << reason;
                FailConfiguration("configuration signature " + signaturePath + " rejected: " +
                                  reason);
                return;
            }
            LOG(INFO) << "Configuration signature " << signaturePath << " verified";
        }
        ParseConfig();
        return;
    }

    const std::string url = Util::AppendStagingValue(Settings::GetString(ID::ConfigUrl),
                                                     Settings::GetString(ID::Staging));
    if (const std::string refusal = Curl::SchemeRefusal(url); !refusal.empty()) {
        TrackDownloadStarted();
        FailConfiguration("configuration " + refusal);
        return;
    }
    m_downloadUrl = url;
    DownloadItem item;
    item.name = "config";
    item.url = url;
    item.stream = std::make_unique<BufferWriter>(m_buffer);
    item.decodeContent = true;
    item.byteLimit = kMaxConfigBytes;
    item.timeoutSeconds = kConfigDeadlineSeconds;
    std::vector<DownloadItem> items;
    items.push_back(std::move(item));
    m_downloader->Download(std::move(items));

    if (m_signatureDownloader) {
        // Fetched alongside, so a signed configuration costs no extra round trip.
        m_signatureUrl = ConfigSignatureUrl(url);
        DownloadItem signature;
        signature.name = "config signature";
        signature.url = m_signatureUrl;
        signature.stream = std::make_unique<BufferWriter>(m_signature);
        signature.byteLimit = kMaxSignatureBytes;
        signature.timeoutSeconds = kConfigDeadlineSeconds;
        std::vector<DownloadItem> signatures;
        signatures.push_back(std::move(signature));
        m_signatureDownloader->Download(std::move(signatures));
    }
}

void ConfigParser::DoMainThreadWork()
{
    m_downloader->DoMainThreadWork();
    if (m_signatureDownloader) {
        m_signatureDownloader->DoMainThreadWork();
    }
}

void ConfigParser::OnWorkStarted(unsigned long long)
{
    TrackDownloadStarted();
}

void ConfigParser::TrackDownloadStarted()
{
    if (!m_startTracked) {
        m_startTracked = true;
        m_tracker->TrackEvent(Events::kConfigDownloadStarted);
    }
}

void ConfigParser::OnWorkFinished(unsigned long long)
{
    if (m_signatureDownloader) {
        m_configArrival = Arrival::Arrived;
        CompleteSignedDownload();
        return;
    }
    m_tracker->TrackEvent(Events::kConfigDownloadCompleted);
    ParseDownloaded();
}

void ConfigParser::ParseDownloaded()
{
    m_ended = true;
    try {
        ParseConfig();
    } catch (const std::exception& error) {
        // A configuration we cannot read is as good as none: say so, so the
        // run ends in the no-connection dialog instead of waiting forever.
        LOG(ERROR) << "Configuration cannot be parsed: " << error.what();
        Core::TrackException(Core::TypeName(error), error.what());
        m_observer.OnConfigError(ConfigurationProblem(SourceName(), error));
    }
}

void ConfigParser::OnWorkFailed(unsigned long long, unsigned long long, std::string error)
{
    m_configArrival = Arrival::Failed;
    if (m_ended) {
        return;
    }
    FailConfiguration(error, m_downloader->FailureCause());
}

void ConfigParser::OnSignatureFinished()
{
    m_signatureArrival = Arrival::Arrived;
    CompleteSignedDownload();
}

void ConfigParser::OnSignatureFailed(const std::string& error)
{
    m_signatureArrival = Arrival::Failed;
    m_signatureError = error;
    CompleteSignedDownload();
}

void ConfigParser::CompleteSignedDownload()
{
    if (m_ended) {
        return;
    }
    if (m_signatureArrival == Arrival::Failed) {
        // No need to wait for the configuration: it cannot be used. Its
        // download may not even have reported its start yet; the events
        // still tell the story in order.
        TrackDownloadStarted();
        FailConfiguration("configuration signature " + m_signatureUrl + " not available: " +
                          (m_signatureError.empty() ? "download stopped" : m_signatureError));
        return;
    }
    if (m_configArrival != Arrival::Arrived || m_signatureArrival != Arrival::Arrived) {
        return;
    }
    const std::string reason =
        CheckConfigSignature(m_publicKey, m_buffer->str(), m_signature->str());
    if (!reason.empty()) {
        LOG(ERROR) << "Configuration " << m_downloadUrl << " refused: " << reason;
        FailConfiguration("configuration signature " + m_signatureUrl + " rejected: " + reason);
        return;
    }
    LOG(INFO) << "Configuration signature " << m_signatureUrl << " verified";
    m_tracker->TrackEvent(Events::kConfigDownloadCompleted);
    ParseDownloaded();
}

void ConfigParser::FailConfiguration(const std::string& error, const std::string& cause)
{
    m_ended = true;
    LOG(INFO) << "Configuration download failed: " << error;
    m_tracker->TrackEvent(Events::kConfigDownloadFailed, {{EventParam::kCurlError, error}});
    m_observer.OnConfigError(cause.empty() ? error : cause);
}

std::string ConfigParser::SourceName() const
{
    const std::string path = Settings::GetString(ID::ConfigFile);
    if (!path.empty() && m_downloadUrl.empty()) {
        return path;
    }
    const std::string url = m_downloadUrl.empty() ? Settings::GetString(ID::ConfigUrl) : m_downloadUrl;
    const std::size_t end = url.find_first_of("?#");
    const std::string withoutQuery = url.substr(0, end);
    const std::size_t slash = withoutQuery.rfind('/');
    return slash == std::string::npos ? withoutQuery : withoutQuery.substr(slash + 1);
}

void ConfigParser::ParseConfig()
{
    const std::string text = m_buffer->str();
    if (Settings::GetBool(ID::DebugInfo) || Settings::GetString(ID::ConfigFile).empty()) {
        const boost::filesystem::path copy = Util::CreateTempPath(Util::GetTempDir(), "ini", "");
        std::ofstream file(copy.string(), std::ios::out | std::ios::trunc | std::ios::binary);
        file << text;
        file.close();
        if (!file) {
            LOG(ERROR) << "Configuration copy " << copy.string() << " cannot be written";
        }
        Settings::Set(ID::ConfigFile, copy.string());
    }
    if (Settings::GetBool(ID::ProgressJson)) {
        // Standard output carries JSON lines only.
        LOG(INFO) << "Configuration:\n" << text;
    } else {
        std::cout << text << std::endl;
    }
    ParseText(text, m_observer);
}

} // namespace Zentak
