#pragma once

#include <filesystem>
#include <string>

namespace Zentak::E2e {

// A fresh folder under the system temporary directory, removed with
// everything in it when the object goes. With ZENTAK_E2E_KEEP_TEMP set in the
// environment the folder is kept and its path logged, for looking at a run
// after the fact. Not copyable; used by one thread.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "zentak-e2e");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // Path() / name, created as a folder when `create` is true.
    std::filesystem::path Sub(const std::string& name, bool create = true) const;

private:
    std::filesystem::path m_path;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);

} // namespace Zentak::E2e
