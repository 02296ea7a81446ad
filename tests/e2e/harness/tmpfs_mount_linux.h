#pragma once

#include <sys/mount.h>

#include <filesystem>
#include <string>

namespace Zentak::E2e {

// A tmpfs mounted on a folder for the life of the object (tests run as root;
// where mounting is not allowed, Mounted() is false and the case skips).
class TmpfsMount {
public:
    TmpfsMount(const std::filesystem::path& where, const std::string& options) : m_where(where)
    {
        std::filesystem::create_directories(where);
        m_mounted = ::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    // Read-only: remounted so after it was mounted writable (it can be filled first).
    bool MakeReadOnly()
    {
        return ::mount("tmpfs", m_where.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }
    ~TmpfsMount()
    {
        if (m_mounted) {
            ::umount2(m_where.c_str(), MNT_DETACH);
        }
    }
    TmpfsMount(const TmpfsMount&) = delete;
    TmpfsMount& operator=(const TmpfsMount&) = delete;
    bool Mounted() const { return m_mounted; }

private:
    std::filesystem::path m_where;
    bool m_mounted = false;
};

} // namespace Zentak::E2e
