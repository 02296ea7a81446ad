#include "harness/dev_server.h"

#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "harness/temp_dir.h"

namespace Zentak::E2e {
namespace {

const std::string kListening = "devserver listening on http://127.0.0.1:";
// Python starts in well under a second; the bound only keeps a broken
// interpreter from hanging the test.
constexpr std::chrono::seconds kStartLimit{10};

// Proxy settings of the machine must not send loopback traffic elsewhere.
EnvironmentChanges WithoutProxies()
{
    EnvironmentChanges changes;
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY"}) {
        changes[name] = std::nullopt;
    }
    return changes;
}

} // namespace

std::optional<std::string> CollectedEvent::Param(const std::string& wanted) const
{
    for (const auto& [name, value] : params) {
        if (name == wanted) {
            return value;
        }
    }
    return std::nullopt;
}

std::vector<CollectedEvent> ReadCollectedEvents(const std::filesystem::path& file)
{
    std::vector<CollectedEvent> events;
    std::ifstream in(file);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        try {
            const nlohmann::json object = nlohmann::json::parse(line);
            CollectedEvent event;
            event.name = object.at("name").get<std::string>();
            for (const auto& pair : object.at("params")) {
                event.params.emplace_back(pair.at(0).get<std::string>(),
                                          pair.at(1).get<std::string>());
            }
            for (const auto& [key, value] : object.at("query").items()) {
                event.query[key] = value.get<std::string>();
            }
            events.push_back(std::move(event));
        } catch (const nlohmann::json::exception& error) {
            throw std::runtime_error(file.string() + " line " + std::to_string(number) + ": " +
                                     error.what());
        }
    }
    return events;
}

std::vector<std::string> EventNames(const std::vector<CollectedEvent>& events)
{
    std::vector<std::string> names;
    for (const CollectedEvent& event : events) {
        names.push_back(event.name);
    }
    return names;
}

std::filesystem::path SourcePath(const std::string& relative)
{
    return std::filesystem::path(ZENTAK_SOURCE_DIR) / relative;
}

void MakeExampleContent(const std::filesystem::path& contentDir)
{
    // Small packages keep the tests quick; they still take a few progress steps.
    EnvironmentChanges env;
    env["EXAMPLE_PAYLOAD_KIB"] = "256";
    const ProcessResult result =
        RunProcess({"/bin/bash", SourcePath("tools/devserver/make_example.sh").string(),
                    contentDir.string()},
                   env, std::chrono::seconds(60));
    if (result.exitCode != 0) {
        throw std::runtime_error("make_example.sh " + contentDir.string() + " failed: " +
                                 result.Describe());
    }
}

DevServer::DevServer(std::filesystem::path contentDir, std::filesystem::path stateDir,
                     const std::vector<std::string>& extraArgs)
    : m_contentDir(std::move(contentDir)), m_stateDir(std::move(stateDir))
{
    std::filesystem::create_directories(m_stateDir);
    std::vector<std::string> argv{"python3", SourcePath("tools/devserver/devserver.py").string(),
                                  "--root", m_contentDir.string(), "--state", m_stateDir.string(),
                                  "--port", "0"};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    m_process = std::make_unique<BackgroundProcess>(argv, WithoutProxies(), LogFile());
    const std::optional<std::string> line = m_process->ReadLine(kStartLimit);
    if (!line || line->compare(0, kListening.size(), kListening) != 0) {
        const ProcessResult ended = m_process->Stop();
        throw std::runtime_error("development server did not start (first line \"" +
                                 line.value_or("") + "\", " + ended.Describe() + "); log " +
                                 LogFile().string() + ":\n" + ReadFile(LogFile()));
    }
    m_port = std::stoi(line->substr(kListening.size()));
}

DevServer::~DevServer()
{
    Stop();
}

std::string DevServer::BaseUrl() const
{
    return "http://127.0.0.1:" + std::to_string(m_port);
}

std::string DevServer::Url(const std::string& path) const
{
    return BaseUrl() + path;
}

std::vector<CollectedEvent> DevServer::Events() const
{
    return ReadCollectedEvents(m_stateDir / "events.jsonl");
}

ProcessResult DevServer::Stop()
{
    return m_process->Stop();
}

} // namespace Zentak::E2e
