#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "harness/process.h"

namespace Zentak::E2e {

// One statistics event as the development server's collector received it.
struct CollectedEvent {
    std::string name;
    std::vector<std::pair<std::string, std::string>> params; // in the order sent
    std::map<std::string, std::string> query; // query parameters of the request

    // The value of the first parameter of that name.
    std::optional<std::string> Param(const std::string& name) const;
};

// The events of a collector's events.jsonl, in the order received. Throws
// std::runtime_error on a line that is not such an event; a missing file
// gives no events.
std::vector<CollectedEvent> ReadCollectedEvents(const std::filesystem::path& file);

// Only the names of `events`, in order.
std::vector<std::string> EventNames(const std::vector<CollectedEvent>& events);

// tools/devserver/devserver.py of the source tree, running on 127.0.0.1 on a
// free port with the given content and state folders (the state folder is
// created; the content folder must exist). Starting waits, bounded, for the
// server's "listening" line and throws std::runtime_error when it does not
// come. `extraArgs` go to the server's command line (e.g. "--content-rate").
// The destructor stops the server. Used by one thread.
class DevServer {
public:
    DevServer(std::filesystem::path contentDir, std::filesystem::path stateDir,
              const std::vector<std::string>& extraArgs = {});
    ~DevServer();
    DevServer(const DevServer&) = delete;
    DevServer& operator=(const DevServer&) = delete;

    int Port() const { return m_port; }
    // "http://127.0.0.1:<port>"
    std::string BaseUrl() const;
    // BaseUrl() + path
    std::string Url(const std::string& path) const;
    // The web user id service's base URL on this server.
    std::string UidServiceUrl() const { return Url("/api/v1/uid"); }
    // The configuration the server wrote from config.ini.in.
    std::string ConfigUrl() const { return Url("/content/config.ini"); }

    const std::filesystem::path& ContentDir() const { return m_contentDir; }
    const std::filesystem::path& StateDir() const { return m_stateDir; }
    // Where the server's request log goes.
    std::filesystem::path LogFile() const { return m_stateDir / "devserver.log"; }

    std::vector<CollectedEvent> Events() const;

    // Stops the server (SIGTERM, bounded) and reports how it ended. The
    // state folder stays, so a new DevServer can start on it again.
    ProcessResult Stop();

private:
    std::filesystem::path m_contentDir;
    std::filesystem::path m_stateDir;
    std::unique_ptr<BackgroundProcess> m_process;
    int m_port = 0;
};

// The source tree's path of a file, e.g. "tools/devserver/devserver.py".
std::filesystem::path SourcePath(const std::string& relative);

// Writes the example product's content (two packages, a picture,
// config.ini.in) into `contentDir` with tools/devserver/make_example.sh.
// Throws std::runtime_error when the script fails.
void MakeExampleContent(const std::filesystem::path& contentDir);

} // namespace Zentak::E2e
