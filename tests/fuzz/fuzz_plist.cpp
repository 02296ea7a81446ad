// The preference plist layer reading a file it did not write: another
// program, an older version or a damaged disk may have left anything there.
// Reading must never crash or leak, and a value read is a string. The
// program also stores ids and languages into such files, so a string stored
// into whatever was read must reach the file and read back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>

#include "external/plist.h"
#include "fuzz_support.h"

namespace {

namespace fs = boost::filesystem;

fs::path g_folder;

void RemoveFolder()
{
    boost::system::error_code ignored;
    fs::remove_all(g_folder, ignored);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    Zentak::FuzzSupport::SilenceLogging();
    // Every store syncs the file; on a memory file system that costs nothing.
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    boost::system::error_code error;
    if (fs::is_directory("/dev/shm", error)) {
        folder = "/dev/shm";
    }
    std::string pattern = folder + "/fuzz-plist-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    g_folder = pattern;
    std::atexit(RemoveFolder);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const fs::path path = g_folder / "com.zentak.user.plist";
    {
        std::ofstream file(path.string(), std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        FUZZ_CHECK(file.good(), "cannot write the input to " + path.string());
    }
    {
        const auto dictionary = Zentak::Util::OpenPlistDictionary(path);
        FUZZ_CHECK(dictionary != nullptr, "no dictionary");
        for (const char* key : {"SITEMARK", "locale", "sendStatistics", ""}) {
            const std::string value = dictionary->GetString(key);
            FUZZ_CHECK(value.find('\0') == std::string::npos, "a value with a NUL byte");
        }
        // Destroyed here: with nothing stored, the file must stay as it was.
    }
    FUZZ_CHECK(fs::file_size(path) == size, "reading changed the file");

    const std::string id = "0f8fad5b-d9cb-469f-a165-70867728950e";
    try {
        Zentak::Util::OpenPlistDictionary(path)->SetString("SITEMARK", id);
    } catch (const std::exception& error) {
        FUZZ_CHECK(false, std::string("storing failed: ") + error.what());
    }
    FUZZ_CHECK(Zentak::Util::OpenPlistDictionary(path)->GetString("SITEMARK") == id,
               "a stored string did not read back");
    return 0;
}
