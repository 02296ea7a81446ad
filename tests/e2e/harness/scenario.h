#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "harness/dev_server.h"
#include "harness/installer_run.h"
#include "harness/packages.h"
#include "harness/temp_dir.h"

namespace Zentak::E2e {

// One package entry of a configuration a test writes.
struct PackageEntry {
    std::string id;
    int installOrder = 0;
    std::string displayName;
    // Where it is downloaded from; empty: the package of that id on the
    // server (Scenario::PackageUrl).
    std::string url;
    // The id of a product to launch once this package is installed; empty
    // for none.
    std::string runInstalledId;
};

// A development server with content that the test makes itself (packages,
// configurations, a picture), plus a HOME and a TMPDIR for the program.
// Used by one thread.
class Scenario {
public:
    explicit Scenario(const std::vector<std::string>& serverArgs = {});

    DevServer& Server() { return *m_server; }
    std::vector<CollectedEvent> Events() const { return m_server->Events(); }

    // Makes content/packages/<id>.tar.gz and returns its size.
    std::uintmax_t AddPackage(const std::string& id, const PackageContent& content);
    // Makes content/packages/<id>.tar.gz from random bytes.
    std::uintmax_t AddCorruptPackage(const std::string& id, std::uintmax_t size);
    std::string PackageUrl(const std::string& id) const;
    std::filesystem::path PackageFile(const std::string& id) const;
    // A small PNG picture at content/images/progress.png; returns its URL.
    std::string AddPicture();

    // A whole configuration: a product section, one installer section per
    // entry, the statistics section pointing at the server's collector, then
    // `extraSections` as they stand.
    std::string Config(const std::vector<PackageEntry>& packages,
                       const std::string& extraSections = {}) const;
    // Writes content/<name> and returns its URL.
    std::string Publish(const std::string& text, const std::string& name = "config.ini");

    // An unattended run against `configUrl`, with the web user id service of
    // this server and English texts.
    InstallerRun Run(const std::string& configUrl) const;

    // Scripts the first `times` downloads (GET) of the package `id` to fail
    // with `status`.
    void FailDownloads(const std::string& id, int status, int times);

    // Installed program of the app `name` in HOME's Applications folder.
    std::filesystem::path InstalledProgram(const std::string& name) const;
    std::string LaunchLog() const { return ReadFile(home / kLaunchLogName); }

private:
    TempDir m_temp{"zentak-e2e"};
    std::unique_ptr<DevServer> m_server;

public:
    const std::filesystem::path home = m_temp.Sub("home");
    const std::filesystem::path tmp = m_temp.Sub("tmp");
    const std::filesystem::path stderrFile = m_temp.Path() / "installer-stderr.txt";
};

} // namespace Zentak::E2e
