#include "harness/scenario.h"

#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace Zentak::E2e {
namespace {

namespace fs = std::filesystem;

void WriteBytes(const fs::path& path, const std::string& bytes)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

// A 1x1 PNG picture.
const unsigned char kPicture[] = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48,
    0x44, 0x52, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00,
    0x00, 0x1f, 0x15, 0xc4, 0x89, 0x00, 0x00, 0x00, 0x0a, 0x49, 0x44, 0x41, 0x54, 0x78,
    0x9c, 0x63, 0x00, 0x01, 0x00, 0x00, 0x05, 0x00, 0x01, 0x0d, 0x0a, 0x2d, 0xb4, 0x00,
    0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

} // namespace

Scenario::Scenario(const std::vector<std::string>& serverArgs)
{
    m_server = std::make_unique<DevServer>(m_temp.Sub("content"), m_temp.Path() / "state",
                                           serverArgs);
}

std::uintmax_t Scenario::AddPackage(const std::string& id, const PackageContent& content)
{
    return MakePackage(PackageFile(id), content);
}

std::uintmax_t Scenario::AddCorruptPackage(const std::string& id, std::uintmax_t size)
{
    return MakeCorruptPackage(PackageFile(id), size);
}

std::string Scenario::PackageUrl(const std::string& id) const
{
    return m_server->Url("/content/packages/" + id + ".tar.gz");
}

fs::path Scenario::PackageFile(const std::string& id) const
{
    return m_server->ContentDir() / "packages" / (id + ".tar.gz");
}

std::string Scenario::AddPicture()
{
    WriteBytes(m_server->ContentDir() / "images" / "progress.png",
               std::string(reinterpret_cast<const char*>(kPicture), sizeof kPicture));
    return m_server->Url("/content/images/progress.png");
}

std::string Scenario::Config(const std::vector<PackageEntry>& packages,
                             const std::string& extraSections) const
{
    std::string text = "[Product]\nversion = 5.0.1\nbuild_name = e2e-build\n"
                       "module_name = e2e-module\n\n";
    for (const PackageEntry& package : packages) {
        text += "[Installer]\nid = " + package.id + "\n";
        text += "url = " + (package.url.empty() ? PackageUrl(package.id) : package.url) + "\n";
        if (!package.displayName.empty()) {
            text += "display_name = " + package.displayName + "\n";
        }
        text += "install_order = " + std::to_string(package.installOrder) + "\n";
        if (!package.runInstalledId.empty()) {
            text += "run_installed_id = " + package.runInstalledId + "\n";
        }
        text += "\n";
    }
    text += "[Statistics]\nurl = " + m_server->Url("/stats") + "\nid = e2e-key\n\n";
    return text + extraSections;
}

std::string Scenario::Publish(const std::string& text, const std::string& name)
{
    WriteBytes(m_server->ContentDir() / name, text);
    return m_server->Url("/content/" + name);
}

InstallerRun Scenario::Run(const std::string& configUrl) const
{
    InstallerRun run;
    run.args = {"--unattended", "--config-url=" + configUrl};
    run.home = home;
    run.tmp = tmp;
    run.env["ZENTAK_UID_SERVICE_URL"] = m_server->UidServiceUrl();
    // The console texts the tests look for are the English ones.
    run.env["LANG"] = "en_US.UTF-8";
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) {
        run.env[name] = std::nullopt;
    }
    run.timeout = std::chrono::seconds(240);
    return run;
}

void Scenario::FailDownloads(const std::string& id, int status, int times)
{
    const fs::path file = m_server->StateDir() / "faults.json";
    nlohmann::json faults = nlohmann::json::object();
    const std::string existing = ReadFile(file);
    if (!existing.empty()) {
        faults = nlohmann::json::parse(existing);
    }
    faults["/content/packages/" + id + ".tar.gz"] = {{"status", status}, {"times", times}};
    WriteBytes(file, faults.dump());
}

fs::path Scenario::InstalledProgram(const std::string& name) const
{
    return home / "Applications" / (name + ".app") / "Contents" / "MacOS" / name;
}

} // namespace Zentak::E2e
