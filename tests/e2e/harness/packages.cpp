#include "harness/packages.h"

#include <fstream>
#include <random>
#include <stdexcept>

#include "harness/process.h"
#include "harness/temp_dir.h"

namespace Zentak::E2e {
namespace {

namespace fs = std::filesystem;

void WriteText(const fs::path& path, const std::string& text)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

void WriteRandom(const fs::path& path, std::uintmax_t size)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 engine(std::random_device{}());
    std::string block(64 * 1024, '\0');
    for (std::uintmax_t left = size; left > 0;) {
        for (size_t i = 0; i < block.size(); i += sizeof(std::uint64_t)) {
            const std::uint64_t value = engine();
            block.replace(i, sizeof value, reinterpret_cast<const char*>(&value), sizeof value);
        }
        const std::uintmax_t count = std::min<std::uintmax_t>(left, block.size());
        out.write(block.data(), static_cast<std::streamsize>(count));
        left -= count;
    }
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

} // namespace

std::uintmax_t MakePackage(const fs::path& file, const PackageContent& content)
{
    TempDir work("zentak-package");
    const fs::path app = work.Path() / (content.appName + ".app");
    const fs::path program = app / "Contents" / "MacOS" / content.appName;
    WriteText(program, "#!/bin/sh\necho \"" + content.appName + " launched\" >>\"$HOME/" +
                           kLaunchLogName + "\"\n");
    fs::permissions(program, fs::perms::owner_all | fs::perms::group_read |
                                 fs::perms::group_exec | fs::perms::others_read |
                                 fs::perms::others_exec);
    WriteRandom(app / "Contents" / "Resources" / "filler.bin", content.fillerBytes);
    for (int i = 0; i < content.extraFiles; ++i) {
        WriteText(app / "Contents" / "Resources" / "many" / ("file" + std::to_string(i) + ".txt"),
                  "file " + std::to_string(i) + "\n");
    }
    if (!content.version.empty()) {
        WriteText(app / "Contents" / "Resources" / "version.txt", content.version);
    }
    fs::create_directories(file.parent_path());
    const ProcessResult tar =
        RunProcess({"tar", "-czf", file.string(), "-C", work.Path().string(), content.appName + ".app"},
                   {}, std::chrono::seconds(120));
    if (tar.exitCode != 0) {
        throw std::runtime_error("tar for " + file.string() + " failed: " + tar.Describe());
    }
    return fs::file_size(file);
}

std::uintmax_t MakeCorruptPackage(const fs::path& file, std::uintmax_t size)
{
    WriteRandom(file, size);
    return fs::file_size(file);
}

} // namespace Zentak::E2e
