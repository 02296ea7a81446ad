#include "service_fixture.h"
#include "support/posix_compat.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <utility>

#include <glog/logging.h>

namespace Zentak::Test {
namespace {

std::string LoopbackUrl(int port, const std::string& path)
{
    return "https://127.0.0.1:" + std::to_string(port) + path;
}

} // namespace

Reply JsonReply(const nlohmann::json& body, int status)
{
    return Reply::Body(body.dump(), status).WithContentType("application/json");
}

Reply PiecewiseReply(std::string body, std::size_t piece)
{
    return Reply::Custom([body = std::move(body), piece](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider(
            "application/json", [body, piece](std::size_t offset, httplib::DataSink& sink) {
                if (offset >= body.size()) {
                    sink.done();
                    return true;
                }
                if (offset > 0) {
                    // Lets the previous piece leave on its own.
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                }
                const std::size_t size = std::min(piece, body.size() - offset);
                return sink.write(body.data() + offset, size);
            });
    });
}

void SitemarkServiceTest::SetUpTestSuite()
{
    ClearProxyEnvironment();
}

SitemarkServiceTest::SitemarkServiceTest()
    : m_homeVariable("HOME", m_home.Path().string()),
      m_caBundle("CURL_CA_BUNDLE", m_server.CaFile()),
      m_serviceUrl("ZENTAK_UID_SERVICE_URL", m_server.Url(kServiceRoot)),
      m_previousLogDir(FLAGS_log_dir)
{
    FLAGS_log_dir = m_home.Path().string();
}

SitemarkServiceTest::~SitemarkServiceTest()
{
    m_server.Stop();
    FLAGS_log_dir = m_previousLogDir;
}

std::vector<std::string> SitemarkServiceTest::Targets() const
{
    std::lock_guard<std::mutex> lock(*m_targetsMutex);
    return *m_targets;
}

void SitemarkServiceTest::ExpectJson(const std::string& path, const nlohmann::json& body, Times times)
{
    // The server records httplib's decoded path; escaping shows only in the
    // raw target, noted here.
    m_server.Expect("GET", kServiceRoot + path,
                    Reply::Custom([text = body.dump(), mutex = m_targetsMutex, targets = m_targets](
                                      const httplib::Request& request, httplib::Response& response) {
                        {
                            std::lock_guard<std::mutex> lock(*mutex);
                            targets->push_back(request.target);
                        }
                        response.set_content(text, "application/json");
                    }),
                    times);
}

std::vector<std::string> SitemarkServiceTest::ReportedExceptions() const
{
    std::vector<std::string> descriptions;
    std::ifstream file(m_home.Path() / "exceptions.jsonl");
    std::string line;
    for (int lines = 0; lines < 10000 && std::getline(file, line); ++lines) {
        const nlohmann::json report = nlohmann::json::parse(line, nullptr, false);
        if (report.is_object() && report.contains("description")) {
            descriptions.push_back(report["description"].get<std::string>());
        }
    }
    return descriptions;
}

std::filesystem::path SitemarkServiceTest::PlistPath(const std::string& name) const
{
    return m_home.Path() / "Library" / "Preferences" / ("com.zentak." + name + ".plist");
}

std::string SilentPort::Url(const std::string& path) const
{
    return LoopbackUrl(m_socket.Port(), path);
}

DroppingPort::DroppingPort()
{
    m_thread = std::thread([this] {
        // At most five minutes of 50 ms turns; the destructor ends it sooner.
        for (int turn = 0; turn < 6000 && !m_stop.load(); ++turn) {
            pollfd waiting{m_socket.Descriptor(), POLLIN, 0};
            if (::poll(&waiting, 1, 50) <= 0) {
                continue;
            }
            const int client = Test::AcceptConnection(m_socket.Descriptor());
            if (client < 0) {
                continue;
            }
            const linger reset{1, 0};
            ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
            ::close(client);
            ++m_dropped;
        }
    });
}

DroppingPort::~DroppingPort()
{
    m_stop = true;
    m_thread.join();
}

std::string DroppingPort::Url(const std::string& path) const
{
    return LoopbackUrl(m_socket.Port(), path);
}

} // namespace Zentak::Test
