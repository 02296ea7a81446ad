#include "utils/key_value_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include <glog/logging.h>

#include "external/durable_file.h"

namespace Zentak::Util {
namespace {

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

std::string Merged(std::istream& existing, const std::map<std::string, std::string>& values)
{
    std::string text;
    std::set<std::string> written;
    for (std::string line; std::getline(existing, line);) {
        const std::size_t equals = line.find('=');
        const std::string key = equals == std::string::npos ? std::string() : line.substr(0, equals);
        const auto value = values.find(key);
        if (equals == std::string::npos || value == values.end()) {
            text += line + "\n";
        } else if (written.insert(key).second) {
            text += key + "=" + value->second + "\n";
        }
    }
    for (const auto& [key, value] : values) {
        if (written.count(key) == 0) {
            text += key + "=" + value + "\n";
        }
    }
    return text;
}

} // namespace

bool UpdateKeyValueFile(const boost::filesystem::path& path,
                        const std::map<std::string, std::string>& values)
{
    std::string text;
    {
        std::ifstream existing(path.string(), std::ios::binary);
        text = Merged(existing, values);
    }
    std::vector<char> temporary;
    const int fd = CreateLockedTemporary(path, temporary);
    if (fd < 0) {
        LOG(INFO) << "Error opening product configuration file " << path.string() << ": "
                  << std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; the file keeps the permissions it
    // had, a new one is as readable as the product.
    struct stat existing {};
    const mode_t mode = ::stat(path.c_str(), &existing) == 0 ? (existing.st_mode & 0777) : 0644;
    ::fchmod(fd, mode);
    // Renamed while still open, so its lock keeps other writers' clean-up
    // away until it has its final name.
    const bool replaced = WriteAll(fd, text) && SyncToStorage(fd) == 0 &&
                          ::rename(temporary.data(), path.c_str()) == 0;
    const int error = errno;
    if (!replaced) {
        ::unlink(temporary.data());
    }
    ::close(fd);
    if (!replaced) {
        LOG(INFO) << "Error writing product configuration file " << path.string() << ": "
                  << std::strerror(error);
        return false;
    }
    return true;
}

} // namespace Zentak::Util
