#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace Zentak::Test {

// Sets (or, with nullopt, removes) an environment variable and restores the
// previous state when destroyed. Use it while no other thread reads the
// environment.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, std::optional<std::string> value);
    ~ScopedEnvironment();

    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_previous;
};

// Removes the proxy variables that libcurl and the system proxy lookup read,
// so that a developer's or a CI machine's proxy does not reroute loopback
// tests. Call once at the start of a test program.
void ClearProxyEnvironment();

// Sets TZ (unless set) to the system zone. While TZ is unset glibc rereads
// the zone file on every localtime call, under a lock ThreadSanitizer cannot
// see, so glog's time stamps from several threads would be reported as races.
void FixTimeZone();

// A fresh directory under the system temporary directory, removed with its
// contents when destroyed.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();

    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

} // namespace Zentak::Test
