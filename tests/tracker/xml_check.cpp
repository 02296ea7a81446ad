#include "xml_check.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace Zentak::Test {
namespace {

// Prints one JSON object: the parse error, or the root and every event with
// its parameters in document order.
constexpr const char* kScript = R"PY(
import json, sys
import xml.etree.ElementTree as ET
try:
    root = ET.parse(sys.argv[1]).getroot()
except ET.ParseError as error:
    print(json.dumps({"wellFormed": False, "error": str(error)}))
    sys.exit(0)
events = [{"name": event.get("name", ""),
           "params": [[p.get("name", ""), p.get("type", ""), p.get("value", "")]
                      for p in event.findall("param")]}
          for event in root.findall("event")]
print(json.dumps({"wellFormed": True, "root": root.tag,
                  "tracker": root.get("tracker", ""), "events": events}))
)PY";

// Quotes `text` for the shell as one word.
std::string ShellQuoted(const std::string& text)
{
    std::string quoted = "'";
    for (const char c : text) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

class TempFile {
public:
    explicit TempFile(const std::string& content)
    {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tracker-xml-XXXXXX";
        const int fd = mkstemp(pattern.data());
        if (fd < 0) {
            throw std::runtime_error("mkstemp failed for " + pattern);
        }
        close(fd);
        m_path = pattern;
        std::ofstream(m_path, std::ios::binary) << content;
    }
    ~TempFile() { std::remove(m_path.c_str()); }

    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

} // namespace

std::string ParsedEvent::Value(const std::string& name) const
{
    for (const ParsedParam& param : params) {
        if (param.name == name) {
            return param.value;
        }
    }
    return {};
}

ParsedPackage ParsePackage(const std::string& document)
{
    const TempFile file(document);
    const std::string command =
        "python3 -c " + ShellQuoted(kScript) + " " + ShellQuoted(file.Path()) + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        throw std::runtime_error("popen failed for python3");
    }
    std::string output;
    char buffer[4096];
    size_t count = 0;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output.append(buffer, count);
    }
    const int status = pclose(pipe);
    if (status != 0) {
        throw std::runtime_error("python3 failed (" + std::to_string(status) + "): " + output);
    }

    const nlohmann::json reply = nlohmann::json::parse(output);
    ParsedPackage package;
    package.wellFormed = reply.at("wellFormed").get<bool>();
    if (!package.wellFormed) {
        package.error = reply.at("error").get<std::string>();
        return package;
    }
    package.rootName = reply.at("root").get<std::string>();
    package.trackerAttribute = reply.at("tracker").get<std::string>();
    for (const auto& event : reply.at("events")) {
        ParsedEvent parsed{event.at("name").get<std::string>(), {}};
        for (const auto& param : event.at("params")) {
            parsed.params.push_back({param.at(0).get<std::string>(), param.at(1).get<std::string>(),
                                     param.at(2).get<std::string>()});
        }
        package.events.push_back(std::move(parsed));
    }
    return package;
}

} // namespace Zentak::Test
