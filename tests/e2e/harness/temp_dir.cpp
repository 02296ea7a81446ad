#include "harness/temp_dir.h"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace Zentak::E2e {

TempDir::TempDir(const std::string& prefix)
{
    const std::string pattern =
        (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    m_path = buffer.data();
}

TempDir::~TempDir()
{
    if (std::getenv("ZENTAK_E2E_KEEP_TEMP")) {
        std::cerr << "Kept temporary folder " << m_path << std::endl;
        return;
    }
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
    if (error) {
        std::cerr << "Unable to remove temporary folder " << m_path << ": " << error.message()
                  << std::endl;
    }
}

std::filesystem::path TempDir::Sub(const std::string& name, bool create) const
{
    const std::filesystem::path path = m_path / name;
    if (create) {
        std::filesystem::create_directories(path);
    }
    return path;
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string text;
    try {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception&) {
        // A read error (a /proc file of a process that just ended) leaves
        // what was read; libstdc++ throws it from the stream buffer itself.
    }
    return text;
}

} // namespace Zentak::E2e
